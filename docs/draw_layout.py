#!/usr/bin/env python3
"""Draws docs/tile-layout.png, the user guide's picture of a tile layout.

    draw_layout.py OUT.png            write the picture
    draw_layout.py --check OUT.png    exit 1 unless OUT.png shows what this script draws

The picture shows a bitmap of 21 by 12 pixels cut by
    tilesize 4 3
    tilespecs base 2 1 1 1 1 1
that is: grid origin (2, 1), a border of 1 pixel before and after each tile across and down,
tiles of 4 by 3 pixels, so a cell pitch of 6 across and 5 down. Tile (c, r) starts at
x = 2 + 1 + 6c, y = 1 + 1 + 5r. Uses only the standard library (and bmp_to_png beside it).
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bmp_to_png import Picture, read_png, write_png  # noqa: E402

# The layout drawn, in bitmap pixels.
X_ORIGIN, Y_ORIGIN = 2, 1
X_BEFORE, TILE_WIDTH, X_AFTER = 1, 4, 1
Y_BEFORE, TILE_HEIGHT, Y_AFTER = 1, 3, 1
COLUMNS, ROWS = 3, 2
X_PITCH = X_BEFORE + TILE_WIDTH + X_AFTER
Y_PITCH = Y_BEFORE + TILE_HEIGHT + Y_AFTER
BITMAP_WIDTH = X_ORIGIN + COLUMNS * X_PITCH + 1
BITMAP_HEIGHT = Y_ORIGIN + ROWS * Y_PITCH + 1

CELL = 28          # screen pixels per bitmap pixel
LEFT, TOP = 190, 70  # where the bitmap starts on the canvas
WIDTH = LEFT + BITMAP_WIDTH * CELL + 40
HEIGHT = TOP + BITMAP_HEIGHT * CELL + 270

WHITE = (255, 255, 255)
INK = (30, 30, 30)
PIXEL_LINE = (205, 205, 205)
OUTSIDE = (236, 236, 236)
BEFORE = (250, 210, 120)
AFTER = (150, 205, 235)
TILE = (110, 180, 110)
FIRST_PIXEL = (20, 90, 20)
ORIGIN_MARK = (200, 40, 40)

# A 5 by 7 font of our own: each glyph is seven rows of five bits, the top row first.
FONT = {
    " ": (0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00),
    "(": (0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02),
    ")": (0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08),
    ",": (0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08),
    "+": (0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00),
    "=": (0x00, 0x00, 0x1F, 0x00, 0x1F, 0x00, 0x00),
    ":": (0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00),
    "-": (0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00),
    "0": (0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E),
    "1": (0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E),
    "2": (0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F),
    "3": (0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E),
    "4": (0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02),
    "5": (0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E),
    "6": (0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E),
    "7": (0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08),
    "8": (0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E),
    "9": (0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C),
    "A": (0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11),
    "B": (0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E),
    "C": (0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E),
    "D": (0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C),
    "E": (0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F),
    "F": (0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10),
    "G": (0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F),
    "H": (0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11),
    "I": (0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E),
    "L": (0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F),
    "M": (0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11),
    "N": (0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11),
    "O": (0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E),
    "P": (0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10),
    "R": (0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11),
    "S": (0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E),
    "T": (0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04),
    "U": (0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E),
    "W": (0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A),
    "X": (0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11),
    "Y": (0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x04),
    "Z": (0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F),
}


class Canvas:
    def __init__(self, width, height):
        self.width = width
        self.height = height
        self.rows = [[WHITE] * width for _ in range(height)]

    def fill(self, left, top, w, h, colour):
        for y in range(max(top, 0), min(top + h, self.height)):
            row = self.rows[y]
            for x in range(max(left, 0), min(left + w, self.width)):
                row[x] = colour

    def text(self, left, top, words, colour=INK, size=2):
        """Writes upper-case text; returns the width it took."""
        x = left
        for character in words:
            glyph = FONT[character]
            for gy, bits in enumerate(glyph):
                for gx in range(5):
                    if bits & (0x10 >> gx):
                        self.fill(x + gx * size, top + gy * size, size, size, colour)
            x += 6 * size
        return x - left

    @staticmethod
    def text_width(words, size=2):
        return len(words) * 6 * size - size

    def centred_text(self, middle, top, words, colour=INK, size=2):
        self.text(middle - self.text_width(words, size) // 2, top, words, colour, size)

    def span_across(self, x0, x1, y, label, colour=INK):
        """A dimension line from x0 to x1 (screen) with end ticks, its label below it."""
        self.fill(x0, y, x1 - x0, 2, colour)
        self.fill(x0, y - 6, 2, 14, colour)
        self.fill(x1 - 2, y - 6, 2, 14, colour)
        self.centred_text((x0 + x1) // 2, y + 12, label, colour)

    def span_down(self, y0, y1, x, label, colour=INK):
        """A dimension line from y0 to y1 (screen) with end ticks, its label to its left."""
        self.fill(x, y0, 2, y1 - y0, colour)
        self.fill(x - 6, y0, 14, 2, colour)
        self.fill(x - 6, y1 - 2, 14, 2, colour)
        self.text(x - 14 - self.text_width(label), (y0 + y1) // 2 - 7, label, colour)


def screen_x(pixel_x):
    return LEFT + pixel_x * CELL


def screen_y(pixel_y):
    return TOP + pixel_y * CELL


def kind_of(pixel_x, pixel_y):
    """What a bitmap pixel is in the layout: outside the grid, a border, or a tile."""
    cell_x, cell_y = pixel_x - X_ORIGIN, pixel_y - Y_ORIGIN
    if cell_x < 0 or cell_y < 0 or cell_x >= COLUMNS * X_PITCH or cell_y >= ROWS * Y_PITCH:
        return OUTSIDE
    u, v = cell_x % X_PITCH, cell_y % Y_PITCH
    if u < X_BEFORE or v < Y_BEFORE:
        return BEFORE
    if u >= X_BEFORE + TILE_WIDTH or v >= Y_BEFORE + TILE_HEIGHT:
        return AFTER
    if u == X_BEFORE and v == Y_BEFORE:
        return FIRST_PIXEL
    return TILE


def draw():
    canvas = Canvas(WIDTH, HEIGHT)
    canvas.text(20, 16, "TILESIZE 4 3    TILESPECS BASE 2 1 1 1 1 1")

    for y in range(BITMAP_HEIGHT):
        for x in range(BITMAP_WIDTH):
            canvas.fill(screen_x(x), screen_y(y), CELL, CELL, PIXEL_LINE)
            canvas.fill(screen_x(x) + 1, screen_y(y) + 1, CELL - 2, CELL - 2, kind_of(x, y))

    # The tiles' names, in the middle of each tile.
    for row in range(ROWS):
        for column in range(COLUMNS):
            left = screen_x(X_ORIGIN + X_BEFORE + column * X_PITCH)
            top = screen_y(Y_ORIGIN + Y_BEFORE + row * Y_PITCH)
            middle = left + TILE_WIDTH * CELL // 2
            canvas.centred_text(middle, top + CELL + 4, "TILE")
            canvas.centred_text(middle, top + CELL + 24, f"({column},{row})")

    # Pixel (0, 0) and the grid origin.
    canvas.fill(LEFT - 4, TOP - 4, 8, 8, INK)
    canvas.text(LEFT - 10 - canvas.text_width("(0,0)"), TOP - 26, "(0,0)")
    origin_x, origin_y = screen_x(X_ORIGIN), screen_y(Y_ORIGIN)
    canvas.fill(origin_x - 5, origin_y - 5, 10, 10, ORIGIN_MARK)
    canvas.text(origin_x + 8, TOP - 26, "ORIGIN (2,1)", ORIGIN_MARK)

    # Across, under the bitmap: the origin, the first cell's parts, and the pitch.
    below = TOP + BITMAP_HEIGHT * CELL + 22
    canvas.span_across(screen_x(0), screen_x(X_ORIGIN), below + 100, "X ORIGIN 2", ORIGIN_MARK)
    cell_left = X_ORIGIN
    canvas.span_across(screen_x(cell_left), screen_x(cell_left + X_BEFORE), below + 50,
                       "BEFORE 1")
    canvas.span_across(screen_x(cell_left + X_BEFORE),
                       screen_x(cell_left + X_BEFORE + TILE_WIDTH), below, "TILE WIDTH 4")
    canvas.span_across(screen_x(cell_left + X_BEFORE + TILE_WIDTH),
                       screen_x(cell_left + X_PITCH), below + 50, "AFTER 1")
    canvas.span_across(screen_x(cell_left + X_PITCH), screen_x(cell_left + 2 * X_PITCH), below,
                       "PITCH 1+4+1 = 6")

    # Down, left of the bitmap: the origin, the first cell's tile height, and the pitch.
    left_of = LEFT - 16
    canvas.span_down(screen_y(0), screen_y(Y_ORIGIN), left_of, "Y ORIGIN 1", ORIGIN_MARK)
    canvas.span_down(screen_y(Y_ORIGIN + Y_BEFORE),
                     screen_y(Y_ORIGIN + Y_BEFORE + TILE_HEIGHT), left_of, "HEIGHT 3")
    canvas.span_down(screen_y(Y_ORIGIN + Y_PITCH), screen_y(Y_ORIGIN + 2 * Y_PITCH), left_of,
                     "PITCH 5")

    # The key.
    key_top = below + 150
    key = (((OUTSIDE, "OUTSIDE THE GRID"), (BEFORE, "BORDER BEFORE"), (AFTER, "BORDER AFTER")),
           ((TILE, "TILE"), (FIRST_PIXEL, "TILE ORIGIN, ITS TOP-LEFT PIXEL")))
    for line, entries in enumerate(key):
        x, y = 20, key_top + 30 * line
        for colour, label in entries:
            canvas.fill(x, y, 20, 20, PIXEL_LINE)
            canvas.fill(x + 1, y + 1, 18, 18, colour)
            x += 28 + canvas.text(x + 28, y + 3, label) + 28
    canvas.text(20, key_top + 70, "TILE (C,R) STARTS AT X = 2 + 1 + 6C, Y = 1 + 1 + 5R")
    return Picture(canvas.width, canvas.height, canvas.rows)


def main(arguments):
    check = arguments[:1] == ["--check"]
    if check:
        arguments = arguments[1:]
    if len(arguments) != 1:
        print("usage: draw_layout.py [--check] OUT.png", file=sys.stderr)
        return 2
    picture = draw()
    if not check:
        write_png(arguments[0], picture)
        return 0
    shown = read_png(arguments[0])
    if (shown.width, shown.height, shown.rows) != (picture.width, picture.height, picture.rows):
        print(f"{arguments[0]} is not the layout picture as drawn now", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
