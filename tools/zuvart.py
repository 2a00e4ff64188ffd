"""Drawing helpers shared by the scripts that make the window's pictures,
the program's icon and its font: the glyph bitmaps, a small anti-aliased
polygon rasteriser, the maker's logo and a PNG writer.

Everything is plain Python with integer or IEEE double arithmetic only, so
that the scripts write the same files on every run.
"""

import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, ".."))
GLYPHS = os.path.join(HERE, "font", "glyphs.txt")

GLYPH_ROWS = 8
BASELINE_ROW = 5
CAP_TOP_ROW = 1

AMBER = (248, 180, 22)


# --- Glyph bitmaps ----------------------------------------------------------

def read_glyphs(path=GLYPHS):
    """Returns a list of (code point, or None for .notdef, rows) in file order."""
    glyphs = []
    key = None
    rows = []

    def finish():
        if key is None:
            return
        if len(rows) != GLYPH_ROWS:
            sys.exit("%s: glyph %s has %d rows, not %d" % (path, key, len(rows), GLYPH_ROWS))
        if len({len(r) for r in rows}) != 1:
            sys.exit("%s: the rows of glyph %s differ in width" % (path, key))
        glyphs.append((None if key == ".notdef" else int(key[2:], 16), list(rows)))

    with open(path, encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("# "):
                continue
            if line.startswith("U+") or line == ".notdef":
                finish()
                key = line
                rows = []
            elif set(line) <= {"#", "."}:
                rows.append(line)
            else:
                sys.exit("%s:%d: unexpected line %r" % (path, number, line))
    finish()
    return glyphs


def text_cells(text, glyphs=None):
    """Lays out text in the font's cells: returns (ink cells as (column, row)
    with row 0 at the capitals' top, width in cells). Only the cap-height rows
    are used, which is all that capitals and digits need."""
    if glyphs is None:
        glyphs = {code: rows for code, rows in read_glyphs() if code is not None}
    cells = []
    x = 0
    for i, ch in enumerate(text):
        rows = glyphs[ord(ch)]
        for r in range(CAP_TOP_ROW, BASELINE_ROW + 1):
            for c, cell in enumerate(rows[r]):
                if cell == "#":
                    cells.append((x + c, r - CAP_TOP_ROW))
        x += len(rows[0]) + (1 if i + 1 < len(text) else 0)
    return cells, x


# --- Rasterising --------------------------------------------------------------

def inside(polygon, x, y):
    """Even-odd point in polygon test."""
    result = False
    n = len(polygon)
    for i in range(n):
        x0, y0 = polygon[i]
        x1, y1 = polygon[(i + 1) % n]
        if (y0 > y) != (y1 > y):
            if x < x0 + (y - y0) * (x1 - x0) / (y1 - y0):
                result = not result
    return result


class Shape:
    """A figure in its own units, built by adding and cutting parts in
    order: a later part wins over an earlier one where they overlap. A part
    is a polygon (list of points), a rectangle (x0, y0, x1, y1) or a set of
    square cells of a given size."""

    def __init__(self):
        self.parts = []

    def add_polygon(self, points, cut=False):
        xs = [p[0] for p in points]
        ys = [p[1] for p in points]
        self.parts.append((not cut, (min(xs), min(ys), max(xs), max(ys)), "polygon", points))

    def add_rect(self, x0, y0, x1, y1, cut=False):
        self.parts.append((not cut, (x0, y0, x1, y1), "rect", None))

    def add_cells(self, cells, size, origin, cut=False):
        """cells: (column, row) pairs of squares of the given size whose
        column 0, row 0 starts at origin."""
        xs = [c for c, _ in cells]
        ys = [r for _, r in cells]
        box = (origin[0] + min(xs) * size, origin[1] + min(ys) * size,
               origin[0] + (max(xs) + 1) * size, origin[1] + (max(ys) + 1) * size)
        self.parts.append((not cut, box, "cells", (set(cells), size, origin)))

    def contains(self, x, y):
        result = False
        for solid, (x0, y0, x1, y1), kind, data in self.parts:
            if result == solid or not (x0 <= x < x1 and y0 <= y < y1):
                continue
            if kind == "rect":
                hit = True
            elif kind == "polygon":
                hit = inside(data, x, y)
            else:
                cells, size, origin = data
                hit = (int((x - origin[0]) // size), int((y - origin[1]) // size)) in cells
            if hit:
                result = solid
        return result


def coverage(shape, width, height, scale=1.0, origin=(0.0, 0.0), samples=4):
    """Fraction of each pixel covered by the shape, sampled on a regular
    samples x samples grid; pixel (px, py) maps to shape units
    ((px - origin.x) / scale, (py - origin.y) / scale)."""
    result = []
    step = 1.0 / samples
    offsets = [(i + 0.5) * step for i in range(samples)]
    total = samples * samples
    for py in range(height):
        row = []
        for px in range(width):
            hits = 0
            for oy in offsets:
                sy = (py + oy - origin[1]) / scale
                for ox in offsets:
                    sx = (px + ox - origin[0]) / scale
                    if shape.contains(sx, sy):
                        hits += 1
            row.append(hits / total)
        result.append(row)
    return result


# --- The maker's logo -----------------------------------------------------------

LOGO_WIDTH = 164
LOGO_HEIGHT = 84


def logo_shape():
    """The logo in a 164 x 84 unit box: the letters Z, U and V above a band
    with the word SYSTEMS cut out of it."""
    shape = Shape()
    stroke = 11
    top, bottom = 0, 52
    # Z
    shape.add_polygon([(0, top), (48, top), (48, top + stroke), (15, bottom - stroke),
                       (48, bottom - stroke), (48, bottom), (0, bottom), (0, bottom - stroke),
                       (33, top + stroke), (0, top + stroke)])
    # U
    shape.add_polygon([(58, top), (58 + stroke, top), (58 + stroke, bottom - stroke),
                       (106 - stroke, bottom - stroke), (106 - stroke, top), (106, top),
                       (106, bottom), (58, bottom)])
    # V
    shape.add_polygon([(116, top), (116 + stroke, top), (140, bottom - 15),
                       (164 - stroke, top), (164, top), (146, bottom), (134, bottom)])
    # The band, with the word cut out of it in cells of three units.
    band_top = 58
    shape.add_rect(0, band_top, LOGO_WIDTH, LOGO_HEIGHT)
    cell = 3
    cells, columns = text_cells("SYSTEMS")
    left = (LOGO_WIDTH - columns * cell) // 2
    word_top = band_top + (LOGO_HEIGHT - band_top - 5 * cell) // 2
    shape.add_cells(cells, cell, (left, word_top), cut=True)
    return shape


# --- PNG ------------------------------------------------------------------------------

def png_bytes(width, height, rows, alpha):
    """Encodes rows of (r, g, b) or (r, g, b, a) tuples as an 8-bit RGB or
    RGBA PNG."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xffffffff)

    raw = bytearray()
    for row in rows:
        raw.append(0)                      # no filter
        for pixel in row:
            raw.extend(pixel)
    header = struct.pack(">IIBBBBB", width, height, 8, 6 if alpha else 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def clamp8(value):
    return max(0, min(255, int(round(value))))
