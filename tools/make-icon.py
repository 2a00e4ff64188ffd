#!/usr/bin/python3
"""Draws the program's icon, app/app.ico: the maker's logo in amber on a
black square, as six 32-bit images of 256, 128, 64, 48, 32 and 16 pixels.
The 256 pixel image is stored as PNG, the others as bitmaps with their
transparency mask, which every version of Windows reads.

The file comes out the same byte for byte on every run.

Usage: make-icon.py [output directory]   (default: app of the tree)
"""

import os
import struct
import sys

# Leave no compiled modules behind in the source tree.
sys.dont_write_bytecode = True
import zuvart

SIZES = (256, 128, 64, 48, 32, 16)


def pixels(size):
    """Rows of (r, g, b, a): the logo fitted into the square with a margin
    of one tenth of the side, centred."""
    scale = size * 0.8 / zuvart.LOGO_WIDTH
    origin = ((size - zuvart.LOGO_WIDTH * scale) / 2.0, (size - zuvart.LOGO_HEIGHT * scale) / 2.0)
    samples = 4 if size > 64 else 8
    cover = zuvart.coverage(zuvart.logo_shape(), size, size, scale, origin, samples)
    return [[tuple(zuvart.clamp8(c * v) for c in zuvart.AMBER) + (255,) for v in row]
            for row in cover]


def bitmap(size, rows):
    """A 32-bit DIB as icons store it: the header counts the height twice
    (colour rows and mask rows), rows run bottom up, BGRA order."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            colour.extend((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4       # all opaque: zero bits
    return header + bytes(colour) + bytes(mask_row * size)


def icon():
    images = []
    for size in SIZES:
        rows = pixels(size)
        if size == 256:
            images.append(zuvart.png_bytes(size, size, rows, alpha=True))
        else:
            images.append(bitmap(size, rows))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, data in zip(SIZES, images):
        side = 0 if size == 256 else size
        entries += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return directory + entries + b"".join(images)


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(zuvart.ROOT, "app")
    zuvart.write(os.path.join(output, "app.ico"), icon())


if __name__ == "__main__":
    main()
