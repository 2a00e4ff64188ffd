#!/usr/bin/python3
"""Builds qml/fonts/E4_2017.TTF, the blocky display font of every text in
the window, from the glyph bitmaps in tools/font/glyphs.txt.

Each ink cell of a bitmap becomes a square of one eighth of the em
(1024 units per em); the squares of a glyph are merged into closed outlines,
so the glyphs stay crisp at the window's 16 pixel text size. The output is
the same byte for byte on every run.

Usage: make-font.py [output directory]   (default: qml/fonts of the tree)
"""

import os
import sys

from fontTools.agl import UV2AGL
from fontTools.fontBuilder import FontBuilder
from fontTools.pens.ttGlyphPen import TTGlyphPen

# Leave no compiled modules behind in the source tree.
sys.dont_write_bytecode = True
from zuvart import ROOT, read_glyphs

UNITS_PER_EM = 1024
CELL = UNITS_PER_EM // 8
ROWS = 8
BASELINE_ROW = 5            # the last row, which stands on the baseline
ASCENT = (BASELINE_ROW + 1) * CELL
DESCENT = (ROWS - BASELINE_ROW - 1) * CELL
FAMILY = "E4 2017"
VERSION = "Version 1.000"
# Fixed, so that the font file does not change between runs: 1 January
# 2017, in seconds since 1904 as TrueType counts.
TIMESTAMP = 3566073600


def glyph_name(code):
    if code is None:
        return ".notdef"
    if code == 0x00A0:
        return "uni00A0"
    return UV2AGL.get(code, "uni%04X" % code)


def outline(rows):
    """Merges the ink cells into closed contours: clockwise around ink,
    counter-clockwise around holes, as TrueType expects."""
    edges = {}
    for r, row in enumerate(rows):
        y0 = (BASELINE_ROW - r) * CELL
        y1 = y0 + CELL
        for c, cell in enumerate(row):
            if cell != "#":
                continue
            x0 = c * CELL
            x1 = x0 + CELL
            square = [(x0, y0), (x0, y1), (x1, y1), (x1, y0)]
            for i in range(4):
                a, b = square[i], square[(i + 1) % 4]
                if (b, a) in edges:
                    del edges[(b, a)]      # shared with a neighbour: inside
                else:
                    edges[(a, b)] = True

    outgoing = {}
    for a, b in sorted(edges):
        outgoing.setdefault(a, []).append(b)

    def direction(a, b):
        return ((b[0] > a[0]) - (b[0] < a[0]), (b[1] > a[1]) - (b[1] < a[1]))

    contours = []
    while outgoing:
        start = min(outgoing)
        points = [start]
        current = start
        heading = None
        while True:
            ends = outgoing[current]
            if len(ends) > 1 and heading is not None:
                # Two cells that touch at a corner only: turn right, which
                # keeps each cell's outline on its own side of the corner.
                right = (heading[1], -heading[0])
                ends.sort(key=lambda e: direction(current, e) != right)
            nxt = ends.pop(0)
            if not ends:
                del outgoing[current]
            heading = direction(current, nxt)
            if nxt == start:
                break
            points.append(nxt)
            current = nxt
        contours.append(simplify(points))
    return contours


def simplify(points):
    """Drops the points in the middle of straight runs."""
    result = []
    n = len(points)
    for i in range(n):
        prev, here, nxt = points[i - 1], points[i], points[(i + 1) % n]
        cross = (here[0] - prev[0]) * (nxt[1] - here[1]) - (here[1] - prev[1]) * (nxt[0] - here[0])
        if cross != 0:
            result.append(here)
    return result


def build(glyphs, output):
    order = [glyph_name(code) for code, _ in glyphs]
    if len(set(order)) != len(order):
        sys.exit("two glyphs share a name")
    cmap = {code: glyph_name(code) for code, _ in glyphs if code is not None}

    fb = FontBuilder(UNITS_PER_EM, isTTF=True)
    fb.font.recalcTimestamp = False
    fb.updateHead(created=TIMESTAMP, modified=TIMESTAMP, fontRevision=1.0)
    fb.setupGlyphOrder(order)
    fb.setupCharacterMap(cmap)

    outlines = {}
    metrics = {}
    for code, rows in glyphs:
        name = glyph_name(code)
        pen = TTGlyphPen(None)
        contours = outline(rows)
        for contour in contours:
            pen.moveTo(contour[0])
            for point in contour[1:]:
                pen.lineTo(point)
            pen.closePath()
        outlines[name] = pen.glyph()
        xs = [x for contour in contours for x, _ in contour]
        metrics[name] = ((len(rows[0]) + 1) * CELL, min(xs) if xs else 0)
    fb.setupGlyf(outlines)
    fb.setupHorizontalMetrics(metrics)
    fb.setupHorizontalHeader(ascent=ASCENT, descent=-DESCENT, lineGap=0)
    fb.setupNameTable({
        "familyName": FAMILY,
        "styleName": "Regular",
        "uniqueFontIdentifier": FAMILY + " Regular",
        "fullName": FAMILY,
        "psName": FAMILY.replace(" ", "") + "-Regular",
        "version": VERSION,
    }, mac=False)
    fb.setupOS2(
        sTypoAscender=ASCENT, sTypoDescender=-DESCENT, sTypoLineGap=0,
        usWinAscent=ASCENT, usWinDescent=DESCENT,
        sxHeight=4 * CELL, sCapHeight=5 * CELL,
        achVendID="ZUV ", fsType=0, fsSelection=0x40 | 0x80,
        usWeightClass=400, version=4)
    fb.setupPost(isFixedPitch=0, underlinePosition=-CELL, underlineThickness=CELL)
    os.makedirs(output, exist_ok=True)
    fb.save(os.path.join(output, "E4_2017.TTF"))


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "qml", "fonts")
    build(read_glyphs(), output)


if __name__ == "__main__":
    main()
