#include "platform/bitmaps/dib.h"

namespace platform::dib {

namespace {

uint16_t u16(std::span<const uint8_t> b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

uint32_t u32(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

int32_t i32(std::span<const uint8_t> b, size_t at) { return static_cast<int32_t>(u32(b, at)); }

constexpr size_t kInfoHeaderSize = 40;
constexpr size_t kFileHeaderSize = 14;

}  // namespace

std::optional<Pixels> decode4(std::span<const uint8_t> dib) {
    if (dib.size() < kInfoHeaderSize) return std::nullopt;
    const uint32_t headerSize = u32(dib, 0);
    if (headerSize < kInfoHeaderSize || headerSize > dib.size()) return std::nullopt;

    const int64_t width = i32(dib, 4);
    const int64_t rawHeight = i32(dib, 8);
    const bool topDown = rawHeight < 0;
    const int64_t height = topDown ? -rawHeight : rawHeight;
    if (width < 1 || width > kMaxSide || height < 1 || height > kMaxSide) return std::nullopt;
    if (u16(dib, 12) != 1 || u16(dib, 14) != 4) return std::nullopt;  // planes, bits per pixel
    if (u32(dib, 16) != 0) return std::nullopt;                         // BI_RGB only

    const uint32_t colours = u32(dib, 32) == 0 ? 16 : u32(dib, 32);
    if (colours > 16) return std::nullopt;

    const size_t stride = static_cast<size_t>((width * 4 + 31) / 32 * 4);
    const size_t pixelBytes = stride * static_cast<size_t>(height);
    const uint32_t sizeImage = u32(dib, 20);
    if (sizeImage != 0 && sizeImage < pixelBytes) return std::nullopt;

    const size_t paletteAt = headerSize;
    const size_t pixelsAt = paletteAt + colours * 4;
    if (pixelsAt > dib.size() || dib.size() - pixelsAt < pixelBytes) return std::nullopt;

    uint32_t palette[16] = {};
    for (uint32_t i = 0; i < colours; ++i) {
        const size_t q = paletteAt + i * 4;  // RGBQUAD: blue, green, red, reserved
        palette[i] = static_cast<uint32_t>(dib[q + 2]) << 16 | static_cast<uint32_t>(dib[q + 1]) << 8 | dib[q];
    }

    Pixels out;
    out.width = static_cast<int>(width);
    out.height = static_cast<int>(height);
    out.rgb.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int64_t row = 0; row < height; ++row) {
        const size_t src = pixelsAt + static_cast<size_t>(row) * stride;
        const int64_t y = topDown ? row : height - 1 - row;
        for (int64_t x = 0; x < width; ++x) {
            const uint8_t pair = dib[src + static_cast<size_t>(x / 2)];
            const uint8_t index = (x % 2 == 0) ? pair >> 4 : pair & 0x0F;
            if (index >= colours) return std::nullopt;
            out.rgb[static_cast<size_t>(y * width + x)] = palette[index];
        }
    }
    return out;
}

std::optional<std::span<const uint8_t>> fromBmpFile(std::span<const uint8_t> file) {
    if (file.size() < kFileHeaderSize + kInfoHeaderSize || file[0] != 'B' || file[1] != 'M') return std::nullopt;
    // The pixels must lie inside the file, after the headers.
    const uint32_t offBits = u32(file, 10);
    if (offBits < kFileHeaderSize + kInfoHeaderSize || offBits > file.size()) return std::nullopt;
    return file.subspan(kFileHeaderSize);
}

}  // namespace platform::dib
