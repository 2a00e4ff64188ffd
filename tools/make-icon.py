#!/usr/bin/python3
"""Draws the program's icon, app/app.ico: the maker's logo in amber on a
black square, as 32-bit images of 256, 128, 64, 48, 32, 24 and 16 pixels.
The three large ones scale the logo's outline; the small ones (taskbar,
Explorer's lists) are drawn for their size on the pixel grid: the letters
ZUV with strokes of whole pixels above the band, whose word SYSTEMS is cut
out only where it can still be read (48 pixels). The 256 pixel image is
stored as PNG, the others as bitmaps with their transparency mask, which
every version of Windows reads.

The file comes out the same byte for byte on every run.

Usage: make-icon.py [output directory]   (default: app of the tree)
"""

import os
import struct
import sys

# Leave no compiled modules behind in the source tree.
sys.dont_write_bytecode = True
import zuvart

SIZES = (256, 128, 64, 48, 32, 24, 16)

# For each small size: letter width, letter height, stroke, gap between
# letters, gap above the band, band height, and whether the band carries
# the word.
GRID = {
    16: (4, 7, 1, 1, 2, 2, False),
    24: (6, 10, 2, 1, 2, 3, False),
    32: (8, 13, 2, 2, 3, 4, False),
    48: (12, 20, 3, 3, 4, 7, True),
}


def letter(kind, w, h, s):
    """The set of (x, y) pixels of Z, U or V in a w x h box, stroke s."""
    on = set()
    for y in range(h):
        if kind == "Z":
            if y < s or y >= h - s:
                xs = range(w)
            else:
                # The diagonal from the top right to the bottom left.
                t = (y - s + 0.5) / (h - 2 * s)
                x = int(round((w - s) * (1.0 - t)))
                xs = range(max(0, x - (s - 1) // 2), min(w, x - (s - 1) // 2 + s))
        elif kind == "U":
            xs = range(w) if y >= h - s else list(range(s)) + list(range(w - s, w))
        else:
            # Two strokes that meet at the bottom centre.
            t = y / float(h - 1)
            x = int(round(t * (w - s) / 2.0))
            xs = set(range(x, x + s)) | set(range(w - x - s, w - x))
        on.update((x, y) for x in xs)
    return on


def grid_pixels(size):
    """The logo drawn for a small size, pixel by pixel."""
    w, h, s, gap, band_gap, band, word = GRID[size]
    # The V is one pixel wider where that lets its two strokes meet in one
    # point.
    widths = (w, w, w + (w - s) % 2)
    width = sum(widths) + 2 * gap
    height = h + band_gap + band
    left, top = (size - width + 1) // 2, (size - height) // 2
    on = set()
    x0 = left
    for kind, lw in zip("ZUV", widths):
        on.update((x0 + x, top + y) for x, y in letter(kind, lw, h, s))
        x0 += lw + gap
    band_top = top + h + band_gap
    on.update((x, y) for x in range(left, left + width) for y in range(band_top, band_top + band))
    if word:
        cells, columns = zuvart.text_cells("SYSTEMS")
        rows = max(r for _, r in cells) + 1
        word_left = left + (width - columns) // 2
        word_top = band_top + (band - rows) // 2
        on.difference_update((word_left + c, word_top + r) for c, r in cells)
    return [[tuple(zuvart.AMBER if (x, y) in on else (0, 0, 0)) + (255,) for x in range(size)]
            for y in range(size)]


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
        rows = grid_pixels(size) if size in GRID else pixels(size)
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
