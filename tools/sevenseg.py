"""Draws seven-segment digits the way scoreboards show them, for test fixtures and the demo.

Each digit is drawn as filled polygons into a NumPy image with OpenCV, in one of a few looks:
"block" (plain rectangles touching at the corners), "hex" (pointed LED bars with small gaps),
"lcd" (thin bars with visible gaps between them). A slant shears the digit to the right going up,
as italic scoreboard faces do.
"""

import cv2
import numpy as np

SEGMENT_NAMES = "ABCDEFG"

# Lit segments of each digit. The 6 shows its top bar, the 7 has no upper-left bar, the 9 its bottom bar.
LIT = {
    0: "ABCDEF", 1: "BC", 2: "ABDEG", 3: "ABCDG", 4: "BCFG",
    5: "ACDFG", 6: "ACDEFG", 7: "ABC", 8: "ABCDEFG", 9: "ABCDFG",
}

STYLES = ("block", "hex", "lcd")


def _bar(x0, y0, x1, y1, pointed):
    """Polygon of a bar from (x0, y0) to (x1, y1), horizontal or vertical, pointed ends optional."""
    if y1 - y0 <= x1 - x0:  # horizontal
        t = (y1 - y0) / 2.0
        yc = (y0 + y1) / 2.0
        if pointed:
            return [(x0, yc), (x0 + t, y0), (x1 - t, y0), (x1, yc), (x1 - t, y1), (x0 + t, y1)]
        return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]
    t = (x1 - x0) / 2.0
    xc = (x0 + x1) / 2.0
    if pointed:
        return [(xc, y0), (x1, y0 + t), (x1, y1 - t), (xc, y1), (x0, y1 - t), (x0, y0 + t)]
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]


def segment_polygons(width, height, thickness, style="block"):
    """Polygons of the seven segments in a width x height digit box, origin at its top left."""
    t = float(thickness)
    w = float(width)
    h = float(height)
    gap = {"block": 0.0, "hex": max(1.0, t * 0.15), "lcd": max(1.0, t * 0.35)}[style]
    pointed = style == "hex"
    mid = h / 2.0
    return {
        "A": _bar(gap, 0.0, w - gap, t, pointed),
        "G": _bar(gap, mid - t / 2.0, w - gap, mid + t / 2.0, pointed),
        "D": _bar(gap, h - t, w - gap, h, pointed),
        "F": _bar(0.0, gap, t, mid - gap, pointed),
        "B": _bar(w - t, gap, w, mid - gap, pointed),
        "E": _bar(0.0, mid + gap, t, h - gap, pointed),
        "C": _bar(w - t, mid + gap, w, h - gap, pointed),
    }


def draw_digit(image, digit, x, y, width, height, thickness=None, style="block", slant=0.0, color=255):
    """Draws `digit` (0-9) into `image` with its box's top left corner at (x, y); returns the image."""
    if thickness is None:
        thickness = max(2.0, 0.18 * width)
    shift = 4  # sub-pixel vertex precision of cv2.fillPoly
    polys = segment_polygons(width, height, thickness, style)
    for name in LIT[digit]:
        pts = np.array(polys[name], dtype=np.float64)
        pts[:, 0] += slant * (height - pts[:, 1]) + x
        pts[:, 1] += y
        fixed = np.round(pts * (1 << shift)).astype(np.int32)
        cv2.fillPoly(image, [fixed], color, lineType=cv2.LINE_8, shift=shift)
    return image


def digit_cell(digit, cell_width=40, cell_height=64, style="block", slant=0.0, margin=0.12, thickness=None):
    """A binary (0/255) cell with one digit centred in it, as a prepared slot looks."""
    cell = np.zeros((cell_height, cell_width), np.uint8)
    mx = margin * cell_width
    my = margin * cell_height
    w = cell_width - 2 * mx - slant * (cell_height - 2 * my)
    draw_digit(cell, digit, mx, my, w, cell_height - 2 * my, thickness=thickness, style=style, slant=slant)
    return cell


def digit_row(digits, cell_width=40, cell_height=64, **kwargs):
    """Cells of several digits side by side (None leaves a blank cell), with their slot boxes."""
    cells = [digit_cell(d, cell_width, cell_height, **kwargs) if d is not None
             else np.zeros((cell_height, cell_width), np.uint8) for d in digits]
    image = np.hstack(cells) if cells else np.zeros((cell_height, 0), np.uint8)
    slots = [{"kind": "digit", "slot": i, "box": [i * cell_width, 0, (i + 1) * cell_width - 1, cell_height - 1]}
             for i in range(len(digits))]
    return image, slots
