#pragma once
// The built-in intermediate image: a single-message image made by the
// project's generator at build time and compiled into the program.

#include <cstdint>

namespace firmware {
extern const uint8_t kInternalImage[];
extern const int32_t kInternalImageSize;
inline constexpr int32_t kInternalImageLength = 52576;
}  // namespace firmware
