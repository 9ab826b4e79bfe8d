#pragma once
// Device-independent bitmaps as the program's bitmap resources hold them: an
// info header, a palette and the pixel rows. Plain C++, no window system.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace platform::dib {

struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> rgb;  // 0x00RRGGBB, top row first
    uint32_t at(int x, int y) const { return rgb[static_cast<size_t>(y) * static_cast<size_t>(width) + x]; }
};

// Named bitmaps are small pictures; the limit keeps a corrupt header from
// asking for a huge allocation.
inline constexpr int kMaxSide = 4096;

// Decodes an uncompressed 4-bit DIB (BITMAPINFOHEADER or a larger header,
// palette, pixels; bottom-up or top-down). Refuses anything else, and any
// bytes too short for what the header announces.
std::optional<Pixels> decode4(std::span<const uint8_t> dib);

// The DIB inside a .bmp file, after its 14-byte file header; nothing when the
// bytes do not start like a BMP file.
std::optional<std::span<const uint8_t>> fromBmpFile(std::span<const uint8_t> file);

}  // namespace platform::dib
