#!/usr/bin/python3
"""Write the launcher's default icon: make-icon.py OUTPUT.ico

A blue box with a white arrow pointing down into it (installing), at 16x16
and 32x32 pixels, 16 colours each: the form every Windows version from XP
on can show. Drawn here from a few shapes, so the icon is plain source and
the same bytes come out on every machine.
"""

import struct
import sys

# The 16-colour palette (B, G, R, 0); index 0 is unused (transparent).
PALETTE = [
    (0, 0, 0), (0x99, 0x4F, 0x1F), (0xD9, 0x8C, 0x3A), (0xFF, 0xFF, 0xFF),
] + [(0, 0, 0)] * 12
TRANSPARENT, DARK_BLUE, BLUE, WHITE = range(4)


def draw(size):
    """Rows of palette indices, top row first."""
    s = size / 32
    pixels = [[TRANSPARENT] * size for _ in range(size)]
    for y in range(size):
        for x in range(size):
            # The box: the lower three quarters, with a darker rim.
            if 2 * s <= x < 30 * s and 10 * s <= y < 30 * s:
                rim = x < 4 * s or x >= 28 * s or y < 12 * s or y >= 28 * s
                pixels[y][x] = DARK_BLUE if rim else BLUE
            # The arrow: a shaft from the top, then a head inside the box.
            middle = abs(x + 0.5 - 16 * s)
            if y < 16 * s and middle < 3 * s:
                pixels[y][x] = WHITE
            elif 16 * s <= y < 25 * s and middle < 25 * s - y:
                pixels[y][x] = WHITE
    return pixels


def image(size):
    """One icon image: BITMAPINFOHEADER, palette, 4-bit pixels, AND mask;
    rows bottom up, each padded to four bytes."""
    pixels = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for b, g, r in PALETTE)
    colour, mask = b"", b""
    for row in reversed(pixels):
        packed = bytes(row[x] << 4 | row[x + 1] for x in range(0, size, 2))
        colour += packed + b"\0" * (-len(packed) % 4)
        bits = 0
        for x, index in enumerate(row):
            if index == TRANSPARENT:
                bits |= 1 << (size - 1 - x)
        packed = bits.to_bytes(size // 8, "big")
        mask += packed + b"\0" * (-len(packed) % 4)
    return header + palette + colour + mask


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make-icon.py OUTPUT.ico")
    images = [(size, image(size)) for size in (16, 32)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = len(out) + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
