"""Draws the launcher's application icon, a lit seven-segment 8 on a dark board, and writes it as a
Windows .ico file with the sizes the shell asks for (16, 32 and 48 pixels, 32-bit with alpha).

    make_icon.py OUTPUT.ico
"""

import struct
import sys

SIZES = (16, 32, 48)
BOARD = (32, 28, 24, 255)   # B, G, R, A
SEGMENT = (40, 170, 255, 255)
CLEAR = (0, 0, 0, 0)


def pixel(size, x, y):
    margin = size // 8
    if not (margin <= x < size - margin and 0 <= y < size):
        return CLEAR
    # The digit's box inside the board, and the stroke width of its segments.
    left, right = size * 5 // 16, size * 11 // 16 - 1
    top, bottom = size * 3 // 16, size * 13 // 16 - 1
    middle = (top + bottom) // 2
    stroke = max(1, size // 12)
    horizontal = left <= x <= right and any(abs(y - row) < stroke for row in (top, middle, bottom))
    vertical = top <= y <= bottom and any(abs(x - column) < stroke for column in (left, right))
    return SEGMENT if horizontal or vertical else BOARD


def image(size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    # Rows are stored bottom to top; the alpha channel makes the AND mask all zero.
    colour = b"".join(bytes(pixel(size, x, y)) for y in reversed(range(size)) for x in range(size))
    mask_row = ((size + 31) // 32) * 4
    return header + colour + bytes(mask_row * size)


def icon():
    images = [image(size) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as stream:
        stream.write(icon())
