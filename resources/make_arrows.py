#!/usr/bin/env python3
"""Writes the four arrow bitmaps of the main dialog's buttons.

Each is 16 x 16 pixels, 1 bit per pixel: a black filled triangle, 10 pixels
at its base and 5 deep, centred on white. The .bmp files are committed, so a
build needs no Python; run this again only to change the arrows.

usage: make_arrows.py [OUTPUT_DIR]   (default: the folder of this script)
"""
import os
import struct
import sys

SIZE = 16
BASE = 10
DEPTH = 5


def up_arrow():
    """Rows of booleans (True = black), top row first; apex at the top."""
    top = (SIZE - DEPTH) // 2
    left = (SIZE - BASE) // 2
    rows = [[False] * SIZE for _ in range(SIZE)]
    for step in range(DEPTH):
        width = 2 * (step + 1)
        start = left + (BASE - width) // 2
        for x in range(start, start + width):
            rows[top + step][x] = True
    return rows


def flip_vertical(rows):
    return rows[::-1]


def flip_horizontal(rows):
    return [row[::-1] for row in rows]


def transpose(rows):
    return [list(column) for column in zip(*rows)]


def bmp_bytes(rows):
    """A 1-bpp BMP: palette entry 0 black, 1 white; rows stored bottom-up,
    each padded to 4 bytes, leftmost pixel in the highest bit."""
    stride = ((SIZE + 31) // 32) * 4
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, black in enumerate(row):
            if not black:
                line[x // 8] |= 0x80 >> (x % 8)
        pixels += line
    palette = bytes([0, 0, 0, 0, 255, 255, 255, 0])
    offset = 14 + 40 + len(palette)
    info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE, 1, 1, 0, len(pixels),
                       2835, 2835, 2, 2)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info + palette + bytes(pixels)


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    up = up_arrow()
    left = transpose(up)
    arrows = {
        "arrow_left.bmp": left,
        "arrow_right.bmp": flip_horizontal(left),
        "arrow_up.bmp": up,
        "arrow_down.bmp": flip_vertical(up),
    }
    for name, rows in arrows.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(bmp_bytes(rows))


if __name__ == "__main__":
    main()
