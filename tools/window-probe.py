#!/usr/bin/python3
"""Looks at the program's window on an X display, for the demo's automatic
run: saves a picture of it and finds the buttons to click.

    window-probe.py shot FILE X Y WIDTH HEIGHT
    window-probe.py find KIND X Y WIDTH HEIGHT

X Y WIDTH HEIGHT is the window's place on the screen. "find" prints the
centre of a button relative to the window, or exits with 1 when it does not
show (yet). KIND is one of:

    check     CHECK FOR UPDATES on the device page
    lowest    the lowest button in the middle of the page: UPDATE on the
              device page, OK on a message page
    close     CLOSE on the change-list page

The window is drawn in white on black at a scale of 1 (512 x 512); a button
is a white frame, so the first row of a button holds a long white run, which
no letter of the window's font has.
"""

import subprocess
import sys

HEADER = 20          # height of the title bar
FOOTER_TOP = 492     # where the footer bar starts
MIN_BUTTON_RUN = 24  # white pixels in a row that only a button frame has


class Picture:
    def __init__(self, width, height, pixels):
        self.width = width
        self.height = height
        self.pixels = pixels

    def white(self, x, y):
        i = 3 * (y * self.width + x)
        p = self.pixels
        return p[i] >= 250 and p[i + 1] >= 250 and p[i + 2] >= 250

    def longest_run(self, y, x0, x1):
        """(length, start) of the longest white run in row y between x0 and x1."""
        best = (0, x0)
        run = 0
        for x in range(x0, x1):
            run = run + 1 if self.white(x, y) else 0
            if run > best[0]:
                best = (run, x - run + 1)
        return best

    def bands(self, x0, x1, y0, y1):
        """Runs of rows between y0 and y1 that hold white between x0 and x1."""
        found = []
        start = None
        for y in range(y0, y1):
            lit = any(self.white(x, y) for x in range(x0, x1))
            if lit and start is None:
                start = y
            if not lit and start is not None:
                found.append((start, y - 1))
                start = None
        if start is not None:
            found.append((start, y1 - 1))
        return found

    def ppm(self):
        return b"P6\n%d %d\n255\n" % (self.width, self.height) + bytes(self.pixels)


def read_ppm(data):
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[pos + 1:]


def capture(x, y, width, height):
    screen = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"],
                            check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
    screen_width, _, pixels = read_ppm(screen)
    rows = bytearray()
    for row in range(y, y + height):
        start = 3 * (row * screen_width + x)
        rows += pixels[start:start + 3 * width]
    return Picture(width, height, rows)


def find_check(picture):
    # The top edge of CHECK FOR UPDATES: page y 180, x 66 to 246.
    top = HEADER + 180
    length, _ = picture.longest_run(top, 60, 252)
    if length < 170:
        return None
    return (156, top + 14)


def find_button(picture, x0, x1, y0):
    bands = picture.bands(x0, x1, y0, FOOTER_TOP)
    if not bands:
        return None
    first, last = bands[-1]
    length, start = picture.longest_run(first, x0, x1)
    if length < MIN_BUTTON_RUN or last - first < 10:
        return None
    return (start + length // 2, (first + last) // 2)


def main():
    if len(sys.argv) != 7 or sys.argv[1] not in ("shot", "find"):
        sys.stderr.write(__doc__)
        return 2
    command, argument = sys.argv[1], sys.argv[2]
    x, y, width, height = (int(v) for v in sys.argv[3:7])
    picture = capture(x, y, width, height)
    if command == "shot":
        subprocess.run(["convert", "ppm:-", argument], input=picture.ppm(), check=True)
        return 0
    if argument == "check":
        found = find_check(picture)
    elif argument == "lowest":
        found = find_button(picture, 176, 336, HEADER + 180)
    elif argument == "close":
        found = find_button(picture, 400, 500, HEADER + 360)
    else:
        sys.stderr.write("window-probe.py: unknown kind %s\n" % argument)
        return 2
    if found is None:
        return 1
    print("%d %d" % found)
    return 0


if __name__ == "__main__":
    sys.exit(main())
