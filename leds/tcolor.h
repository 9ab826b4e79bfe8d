#pragma once
// Colour values as the form framework keeps them: 0x00BBGGRR.

#include <cstdint>

using TColor = uint32_t;

inline constexpr TColor clRed = 0x000000FF;
inline constexpr TColor clGreen = 0x00008000;
inline constexpr TColor clYellow = 0x0000FFFF;
inline constexpr TColor clGray = 0x00808080;
