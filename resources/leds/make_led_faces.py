#!/usr/bin/env python3
"""Writes the seven LED faces as 4-bit BMP files next to this script.

Each file is a 14-byte file header followed by the 208-byte DIB the program
loads: a 40-byte info header, the 16-colour palette, 13 rows of 8 bytes.
Run it again only if the faces change; the output is committed.
"""
import os
import struct

# The standard 16-colour palette as (R, G, B).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, MAROON, GREEN, OLIVE, SILVER, GRAY, RED, LIME, YELLOW, WHITE = 0, 1, 2, 3, 7, 8, 9, 10, 11, 15

SHAPE = [
    "SSSSKKKKKSSSS",
    "SSKKoooooKKSS",
    "SKoooooooooKS",
    "SKooWWWooooKS",
    "KooWWWooooooK",
    "KooWWoooooooK",
    "KooWooooooooK",
    "KoooooooooooK",
    "KoooooooooooK",
    "SKoooooooooKS",
    "SKoooooooooKS",
    "SSKKoooooKKSS",
    "SSSSKKKKKSSSS",
]

# name: (body colour where x + y is even, where it is odd)
FACES = {
    "LED_GRAY": (SILVER, GRAY),
    "LED_RED": (RED, MAROON),
    "LED_GRE": (LIME, GREEN),
    "LED_YEL": (YELLOW, OLIVE),
    "LED_BRIRED": (RED, RED),
    "LED_BRIGRE": (LIME, LIME),
    "LED_BRIYEL": (YELLOW, YELLOW),
}


def dib(even, odd):
    header = struct.pack("<IiiHHIIiiII", 40, 13, 13, 1, 4, 0, 104, 0, 0, 0, 0)
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in PALETTE)
    pixels = bytearray()
    for y in reversed(range(13)):  # bottom row first
        idx = []
        for x, ch in enumerate(SHAPE[y]):
            idx.append({"S": SILVER, "K": BLACK, "W": WHITE}.get(ch, even if (x + y) % 2 == 0 else odd))
        idx.append(0)  # pad to an even count
        row = bytes((idx[i] << 4) | idx[i + 1] for i in range(0, 14, 2))
        pixels += row + b"\0"  # rows are 4-byte aligned: 7 bytes + 1
    data = header + palette + bytes(pixels)
    assert len(data) == 208
    return data


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, (even, odd) in FACES.items():
        body = dib(even, odd)
        filehdr = b"BM" + struct.pack("<IHHI", 14 + len(body), 0, 0, 14 + 40 + 64)
        with open(os.path.join(here, name + ".bmp"), "wb") as f:
            f.write(filehdr + body)


if __name__ == "__main__":
    main()
