#pragma once
// Named bitmaps from the program's own resources, asked for by name the way
// the LED control asks for its faces ("LED_RED"). The bitmaps are stored as
// BMP files under the resource prefix /bitmaps.

#include <QByteArray>
#include <QImage>

namespace platform {

// The DIB bytes (info header, palette, pixels) of the named bitmap; empty when
// the program has no bitmap of that name. Names are matched without regard to
// case, like resource names.
QByteArray FindBitmapResource(const char* name);

// Loads the named bitmap: a new image, or a null image when the name is unknown
// or its bytes are malformed.
QImage LoadBitmapA(const char* name);

// An RGB32 image of a 4-bit DIB, or a null image when the bytes are refused.
QImage decodeDib(const QByteArray& dib);

// How many bitmaps LoadBitmapA has decoded in this process.
int bitmapLoadCount();

}  // namespace platform
