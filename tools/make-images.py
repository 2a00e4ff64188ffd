#!/usr/bin/python3
"""Draws the window's pictures into qml/images:

  background.png  512 x 512 RGB   black with two bundles of thin light-grey
                                  curves, one along the top, one along the
                                  bottom edge
  close.png        16 x 16  RGB   white frame, black square, white cross
  zuv.png         164 x 84  RGBA  the maker's logo in amber
  orvik.png       160 x 100 RGBA  the device model's emblem and name, black
                                  with a white outline

The files come out the same byte for byte on every run.

Usage: make-images.py [output directory]   (default: qml/images of the tree)
"""

import math
import os
import sys

# Leave no compiled modules behind in the source tree.
sys.dont_write_bytecode = True
import zuvart

LINE = (220, 224, 223)


# --- background.png -----------------------------------------------------------------

def curve(i, x):
    """Height of curve i of the top bundle at x, and its slope."""
    t = x / 512.0
    phase = 2.0 * math.pi * (0.85 * t + 0.04 * i) + 0.6
    amplitude = 14.0 + 2.5 * i
    y = 40.0 + 3.2 * i + amplitude * math.sin(phase) * (0.35 + 0.65 * t)
    dy = (amplitude * math.cos(phase) * 2.0 * math.pi * 0.85 / 512.0 * (0.35 + 0.65 * t)
          + amplitude * math.sin(phase) * 0.65 / 512.0)
    return y, dy


def background():
    size = 512
    count = 9
    light = [[0.0] * size for _ in range(size)]
    for i in range(count):
        strength = 0.45 + 0.55 * (i % 3 == 1) if i % 2 else 0.7
        for px in range(size):
            y, dy = curve(i, px + 0.5)
            norm = math.sqrt(1.0 + dy * dy)
            for py in range(int(y) - 3, int(y) + 4):
                d = abs(py + 0.5 - y) / norm
                # A full-strength core about a pixel wide, smoothed edges.
                cover = min(1.0, max(0.0, (0.9 - d) / 0.5)) * strength
                if cover <= 0.0:
                    continue
                # The bottom bundle is the top one turned half round.
                for bx, by in ((px, py), (size - 1 - px, size - 1 - py)):
                    if 0 <= by < size:
                        light[by][bx] = 1.0 - (1.0 - light[by][bx]) * (1.0 - cover)
    rows = [[tuple(zuvart.clamp8(c * v) for c in LINE) for v in row] for row in light]
    return zuvart.png_bytes(size, size, rows, alpha=False)


# --- close.png ----------------------------------------------------------------------

def close():
    size = 16
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            frame = x < 2 or y < 2 or x >= size - 2 or y >= size - 2
            # The cross keeps one black pixel between itself and the frame.
            cross = 3 <= x <= 12 and 3 <= y <= 12 and (abs(x - y) <= 1 or abs(x + y - 15) <= 1)
            row.append((255, 255, 255) if frame or cross else (0, 0, 0))
        rows.append(row)
    return zuvart.png_bytes(size, size, rows, alpha=False)


# --- zuv.png ------------------------------------------------------------------------

def zuv():
    cover = zuvart.coverage(zuvart.logo_shape(), zuvart.LOGO_WIDTH, zuvart.LOGO_HEIGHT)
    rows = [[zuvart.AMBER + (zuvart.clamp8(255 * c),) for c in row] for row in cover]
    return zuvart.png_bytes(zuvart.LOGO_WIDTH, zuvart.LOGO_HEIGHT, rows, alpha=True)


# --- orvik.png ----------------------------------------------------------------------

def hexagon(cx, cy, radius):
    return [(cx + radius * math.sin(math.pi / 3 * k), cy - radius * math.cos(math.pi / 3 * k))
            for k in range(6)]


def orvik_shape():
    shape = zuvart.Shape()
    cx, cy = 80.0, 31.0
    # Wings to either side of the badge.
    for side in (-1, 1):
        shape.add_polygon([(cx + side * 18, cy - 9), (cx + side * 58, cy - 3),
                           (cx + side * 52, cy + 3), (cx + side * 18, cy + 7)])
    shape.add_polygon(hexagon(cx, cy, 27))
    shape.add_polygon(hexagon(cx, cy, 17), cut=True)
    shape.add_polygon([(cx, cy - 10), (cx + 7, cy), (cx, cy + 10), (cx - 7, cy)])
    # The model's name in the font's letters, five units a cell.
    cells, columns = zuvart.text_cells("ORVIK")
    cell = 5
    shape.add_cells(cells, cell, ((160 - columns * cell) // 2, 68))
    return shape


def orvik():
    width, height = 160, 100
    samples = 4
    outline = 1.5 * samples
    shape = orvik_shape()
    w, h = width * samples, height * samples
    fill = [[shape.contains((x + 0.5) / samples, (y + 0.5) / samples) for x in range(w)]
            for y in range(h)]

    # Widen the figure by the outline's width around its edge samples.
    reach = int(math.ceil(outline))
    disc = [(dx, dy) for dy in range(-reach, reach + 1) for dx in range(-reach, reach + 1)
            if dx * dx + dy * dy <= outline * outline]
    grown = [row[:] for row in fill]
    for y in range(h):
        for x in range(w):
            if not fill[y][x]:
                continue
            edge = (x == 0 or y == 0 or x == w - 1 or y == h - 1 or not fill[y][x - 1]
                    or not fill[y][x + 1] or not fill[y - 1][x] or not fill[y + 1][x])
            if not edge:
                continue
            for dx, dy in disc:
                gx, gy = x + dx, y + dy
                if 0 <= gx < w and 0 <= gy < h:
                    grown[gy][gx] = True

    rows = []
    for py in range(height):
        row = []
        for px in range(width):
            black = white = 0
            for y in range(py * samples, (py + 1) * samples):
                for x in range(px * samples, (px + 1) * samples):
                    if fill[y][x]:
                        black += 1
                    elif grown[y][x]:
                        white += 1
            covered = black + white
            grey = zuvart.clamp8(255.0 * white / covered) if covered else 0
            row.append((grey, grey, grey, zuvart.clamp8(255.0 * covered / samples ** 2)))
        rows.append(row)
    return zuvart.png_bytes(width, height, rows, alpha=True)


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(zuvart.ROOT, "qml", "images")
    for name, draw in (("background.png", background), ("close.png", close),
                       ("zuv.png", zuv), ("orvik.png", orvik)):
        zuvart.write(os.path.join(output, name), draw())


if __name__ == "__main__":
    main()
