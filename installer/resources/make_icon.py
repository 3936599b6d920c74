#!/usr/bin/env python3
"""Draws Spoolrig's application icon, a small receipt printer with a paper
strip coming out of its top, and writes it as a Windows .ico file with a
32x32 and a 16x16 image of 16 colours (4 bits per pixel, the 16-colour
palette of Windows). Run it from anywhere: python3 make_icon.py [output.ico]
"""
import struct
import sys
from pathlib import Path

# The 16-colour Windows palette as (B, G, R) for the DIB colour table.
PALETTE = [
    (0x00, 0x00, 0x00), (0x00, 0x00, 0x80), (0x00, 0x80, 0x00), (0x00, 0x80, 0x80),
    (0x80, 0x00, 0x00), (0x80, 0x00, 0x80), (0x80, 0x80, 0x00), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0x00, 0x00, 0xFF), (0x00, 0xFF, 0x00), (0x00, 0xFF, 0xFF),
    (0xFF, 0x00, 0x00), (0xFF, 0x00, 0xFF), (0xFF, 0xFF, 0x00), (0xFF, 0xFF, 0xFF),
]
# Palette indices by role: index 1 is dark red
# (B,G,R = 0,0,0x80), 8 dark grey, 7 light grey, 10 bright green.
TRANSPARENT = None
BLACK, DARK_RED, DARK_GREY, LIGHT_GREY, GREEN, WHITE = 0, 1, 8, 7, 10, 15

# 32x32 drawing, one character per pixel.
KEY = {".": TRANSPARENT, "k": BLACK, "r": DARK_RED, "d": DARK_GREY, "l": LIGHT_GREY,
       "g": GREEN, "w": WHITE}
ICON_32 = """
................................
.........kkkkkkkkkkkkkk.........
.........kwwwwwwwwwwwwk.........
.........kwkkkkkkkkkkwk.........
.........kwwwwwwwwwwwwk.........
.........kwkkkkkkkwwwwk.........
.........kwwwwwwwwwwwwk.........
.........kwkkkkkkkkkwwk.........
.........kwwwwwwwwwwwwk.........
.........kwkkkkwwkkkkwk.........
.........kwwwwwwwwwwwwk.........
.........kwwwwwwwwwwwwk.........
....kkkkkkwwwwwwwwwwwwkkkkkkk...
...kllllllkkkkkkkkkkkkllllllk...
...klllllddddddddddddddlllllk...
...kllllllllllllllllllllllllk...
...kllllllllllllllllllllllllk...
...kllllllllllllllllllllllllk...
...kllllllllllllllllllllllllk...
...klllllllllllllllllllggllldk..
...klllllllllllllllllllggllldk..
...kllllllllllllllllllllllllldk.
...klllrrrrlllllllllllllllllldk.
...kllllllllllllllllllllllllldk.
...kddddddddddddddddddddddddddk.
...kddddddddddddddddddddddddddk.
....kkkkkkkkkkkkkkkkkkkkkkkkkk..
.....kk..................kk.....
................................
................................
................................
................................
"""
ICON_16 = """
................
.....kkkkkk.....
.....kwwwwk.....
.....kwkkwk.....
.....kwwwwk.....
.....kwkkwk.....
..kkkkwwwwkkkk..
.kllllkkkkllllk.
.klldddddddlllk.
.kllllllllllglk.
.kllllllllllllk.
.klrrllllllllk..
.kdddddddddddk..
..kkkkkkkkkkk...
................
................
"""


def parse(art, size):
    rows = [line for line in art.strip("\n").split("\n")]
    assert len(rows) == size, (size, len(rows))
    for row in rows:
        assert len(row) == size, (size, row)
    return [[KEY[c] for c in row] for row in rows]


def dib(pixels, size):
    """A BITMAPINFOHEADER, colour table, XOR bitmap (4 bpp) and AND mask,
    rows bottom-up, each padded to 4 bytes, as icon images store them."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    table = b"".join(bytes((b, g, r, 0)) for (b, g, r) in PALETTE)
    xor = bytearray()
    mask = bytearray()
    for row in reversed(pixels):
        line = bytearray()
        for x in range(0, size, 2):
            hi = row[x] if row[x] is not None else 0
            lo = row[x + 1] if row[x + 1] is not None else 0
            line.append((hi << 4) | lo)
        while len(line) % 4:
            line.append(0)
        xor += line
        bits = bytearray()
        for x in range(0, size, 8):
            byte = 0
            for bit in range(8):
                if row[x + bit] is None:
                    byte |= 0x80 >> bit
            bits.append(byte)
        while len(bits) % 4:
            bits.append(0)
        mask += bits
    return header + table + bytes(xor) + bytes(mask)


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    blobs = []
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
        blobs.append(data)
    return out + b"".join(blobs)


def main():
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("spoolrig.ico")
    images = [(32, dib(parse(ICON_32, 32), 32)), (16, dib(parse(ICON_16, 16), 16))]
    target.write_bytes(ico(images))


if __name__ == "__main__":
    main()
