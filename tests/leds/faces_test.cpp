// The seven LED faces: every byte of each resource and every decoded pixel,
// and the decoder's refusal of malformed bitmaps.
#include <gtest/gtest.h>

#include <QImage>
#include <array>
#include <climits>
#include <cstring>

#include "platform/bitmaps/bitmaps.h"
#include "platform/bitmaps/dib.h"

namespace {

const char* const kShape[13] = {
    "SSSSKKKKKSSSS", "SSKKoooooKKSS", "SKoooooooooKS", "SKooWWWooooKS", "KooWWWooooooK",
    "KooWWoooooooK", "KooWooooooooK", "KoooooooooooK", "KoooooooooooK", "SKoooooooooKS",
    "SKoooooooooKS", "SSKKoooooKKSS", "SSSSKKKKKSSSS",
};

// Standard 16-colour palette, as RGB.
constexpr uint32_t kPalette[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
                                   0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
enum { Black = 0, Maroon = 1, Green = 2, Olive = 3, Silver = 7, Gray = 8, Red = 9, Lime = 10, Yellow = 11, White = 15 };

struct Face {
    const char* name;
    int even;  // body colour where x + y is even
    int odd;
};
constexpr Face kFaces[] = {
    {"LED_GRAY", Silver, Gray},    {"LED_RED", Red, Maroon},      {"LED_GRE", Lime, Green},
    {"LED_YEL", Yellow, Olive},    {"LED_BRIRED", Red, Red},      {"LED_BRIGRE", Lime, Lime},
    {"LED_BRIYEL", Yellow, Yellow},
};

int indexAt(const Face& f, int x, int y) {
    switch (kShape[y][x]) {
        case 'S': return Silver;
        case 'K': return Black;
        case 'W': return White;
        default: return (x + y) % 2 == 0 ? f.even : f.odd;
    }
}

QByteArray expectedDib(const Face& f) {
    const uint8_t header[40] = {40, 0, 0, 0, 13, 0, 0, 0, 13, 0, 0, 0, 1, 0, 4, 0, 0, 0, 0, 0, 104};
    QByteArray out(reinterpret_cast<const char*>(header), 40);
    for (uint32_t rgb : kPalette) {
        const char quad[4] = {char(rgb & 0xFF), char(rgb >> 8 & 0xFF), char(rgb >> 16), 0};
        out.append(quad, 4);
    }
    for (int y = 12; y >= 0; --y) {
        char row[8] = {};
        for (int x = 0; x < 13; ++x) row[x / 2] = char(row[x / 2] | indexAt(f, x, y) << (x % 2 ? 0 : 4));
        out.append(row, 8);
    }
    return out;
}

}  // namespace

TEST(LedFaces, EveryByteAndPixelAsDrawn) {
    for (const Face& f : kFaces) {
        SCOPED_TRACE(f.name);
        const QByteArray dib = platform::FindBitmapResource(f.name);
        ASSERT_EQ(dib.size(), 208);
        const QByteArray want = expectedDib(f);
        for (int i = 0; i < 208; ++i) ASSERT_EQ(uint8_t(dib[i]), uint8_t(want[i])) << "byte " << i;

        const QImage img = platform::LoadBitmapA(f.name);
        ASSERT_EQ(img.size(), QSize(13, 13));
        for (int y = 0; y < 13; ++y)
            for (int x = 0; x < 13; ++x)
                ASSERT_EQ(img.pixel(x, y) & 0xFFFFFF, kPalette[indexAt(f, x, y)]) << x << "," << y;
    }
}

TEST(LedFaces, LookupByNameOnly) {
    EXPECT_FALSE(platform::LoadBitmapA("led_red").isNull());  // resource names ignore case
    EXPECT_TRUE(platform::LoadBitmapA("LED_BLUE").isNull());
    EXPECT_TRUE(platform::LoadBitmapA("").isNull());
    EXPECT_TRUE(platform::LoadBitmapA(nullptr).isNull());
    EXPECT_TRUE(platform::FindBitmapResource("../images/panel.png").isEmpty());
}

TEST(DibDecoder, RefusesMalformedBitmaps) {
    const QByteArray good = expectedDib(kFaces[1]);
    auto decode = [](const QByteArray& b) {
        return platform::dib::decode4({reinterpret_cast<const uint8_t*>(b.constData()), size_t(b.size())});
    };
    ASSERT_TRUE(decode(good));
    for (int n = 0; n < good.size(); ++n) EXPECT_FALSE(decode(good.left(n))) << "truncated to " << n;

    auto patched = [&](int at, int32_t value, int bytes) {
        QByteArray b = good;
        for (int i = 0; i < bytes; ++i) b[at + i] = char(uint32_t(value) >> (8 * i));
        return b;
    };
    EXPECT_FALSE(decode(patched(0, 12, 4))) << "old core header";
    EXPECT_FALSE(decode(patched(0, 100000, 4))) << "header larger than the data";
    EXPECT_FALSE(decode(patched(4, 0, 4))) << "zero width";
    EXPECT_FALSE(decode(patched(4, 50000, 4))) << "huge width";
    EXPECT_FALSE(decode(patched(8, 0, 4))) << "zero height";
    EXPECT_FALSE(decode(patched(8, INT_MIN, 4))) << "height that cannot be negated";
    EXPECT_FALSE(decode(patched(8, 14, 4))) << "more rows than bytes";
    EXPECT_FALSE(decode(patched(12, 2, 2))) << "two planes";
    EXPECT_FALSE(decode(patched(14, 8, 2))) << "8 bits per pixel";
    EXPECT_FALSE(decode(patched(16, 2, 4))) << "RLE4";
    EXPECT_FALSE(decode(patched(20, 50, 4))) << "image size below the rows";
    EXPECT_FALSE(decode(patched(32, 17, 4))) << "palette larger than 4 bits";
    // Eight colours: the face's red (index 9) is outside the palette.
    EXPECT_FALSE(decode(patched(32, 8, 4)));

    // Top-down rows are read top first.
    const auto flipped = decode(patched(8, -13, 4));
    const auto normal = decode(good);
    ASSERT_TRUE(flipped && normal);
    for (int y = 0; y < 13; ++y)
        for (int x = 0; x < 13; ++x) ASSERT_EQ(flipped->at(x, y), normal->at(x, 12 - y));
}

TEST(DibDecoder, BmpFileHeader) {
    QByteArray file("BM", 2);
    file.append(12, '\0');
    file.append(expectedDib(kFaces[0]));
    auto span = [](const QByteArray& b) { return std::span(reinterpret_cast<const uint8_t*>(b.constData()), size_t(b.size())); };
    file[10] = char(118);
    auto dib = platform::dib::fromBmpFile(span(file));
    ASSERT_TRUE(dib);
    EXPECT_EQ(dib->size(), 208u);
    file[10] = char(0xFF);
    file[11] = char(0x7F);  // pixels beyond the end
    EXPECT_FALSE(platform::dib::fromBmpFile(span(file)));
    file[0] = 'X';
    EXPECT_FALSE(platform::dib::fromBmpFile(span(file)));
}
