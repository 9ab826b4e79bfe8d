#include "platform/bitmaps/bitmaps.h"

#include <QFile>
#include <atomic>
#include <cstring>

#include "platform/bitmaps/dib.h"

namespace platform {

namespace {

std::atomic<int> loads{0};

// Resource names are identifiers; anything else could reach files outside
// the bitmap folder.
bool validName(const char* name) {
    if (!name || !*name || std::strlen(name) > 64) return false;
    for (const char* p = name; *p; ++p) {
        const char c = *p;
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
    }
    return true;
}

std::span<const uint8_t> bytesOf(const QByteArray& a) {
    return {reinterpret_cast<const uint8_t*>(a.constData()), static_cast<size_t>(a.size())};
}

}  // namespace

QByteArray FindBitmapResource(const char* name) {
    if (!validName(name)) return {};
    QFile f(QStringLiteral(":/bitmaps/") + QString::fromLatin1(name).toUpper());
    if (!f.open(QIODevice::ReadOnly) || f.size() > (1 << 20)) return {};
    const QByteArray file = f.readAll();
    const auto dib = dib::fromBmpFile(bytesOf(file));
    if (!dib) return {};
    return QByteArray(reinterpret_cast<const char*>(dib->data()), static_cast<qsizetype>(dib->size()));
}

QImage decodeDib(const QByteArray& bytes) {
    const auto px = dib::decode4(bytesOf(bytes));
    if (!px) return {};
    QImage img(px->width, px->height, QImage::Format_RGB32);
    if (img.isNull()) return {};
    for (int y = 0; y < px->height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < px->width; ++x) line[x] = 0xFF000000u | px->at(x, y);
    }
    return img;
}

QImage LoadBitmapA(const char* name) {
    const QByteArray bytes = FindBitmapResource(name);
    if (bytes.isEmpty()) return {};
    QImage img = decodeDib(bytes);
    if (!img.isNull()) loads.fetch_add(1, std::memory_order_relaxed);
    return img;
}

int bitmapLoadCount() { return loads.load(std::memory_order_relaxed); }

}  // namespace platform
