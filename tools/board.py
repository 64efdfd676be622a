"""Renders scoreboard frames with seven-segment fields at known places, with their true values.

A board is a dark panel with amber or red LED digits. Each field is returned with its zone in
fractions of the frame, the way an operator marks it, so that readers can be checked against the
values drawn.
"""

import cv2
import numpy as np

import sevenseg

LED_AMBER = (0, 170, 255)  # BGR
LED_RED = (40, 40, 235)


def draw_number(frame, text, x, y, digit_width, digit_height, color, gap=None, style="hex"):
    """Draws the digits of `text` (a space leaves a blank place) left to right from (x, y)."""
    gap = int(round(digit_width * 0.35)) if gap is None else gap
    layer = np.zeros(frame.shape[:2], np.uint8)
    for i, ch in enumerate(text):
        if ch == " ":
            continue
        sevenseg.draw_digit(layer, int(ch), x + i * (digit_width + gap), y, digit_width, digit_height,
                            thickness=max(2.0, 0.2 * digit_width), style=style)
    frame[layer > 0] = color
    return len(text) * digit_width + (len(text) - 1) * gap


def render_board(fields, width=640, height=360, background=(18, 14, 12), seed=0):
    """A BGR frame showing each field; `fields` maps a role to (text, x, y, digit_height) in pixels.

    Returns the frame and, per role, the zone (fractions of the frame) around the drawn digits.
    """
    rng = np.random.default_rng(seed)
    frame = np.empty((height, width, 3), np.uint8)
    frame[:] = background
    noise = rng.integers(0, 6, frame.shape, dtype=np.uint8)
    frame = cv2.add(frame, noise)
    zones = {}
    for role, (text, x, y, digit_height) in fields.items():
        digit_width = int(round(digit_height * 0.55))
        drawn = draw_number(frame, text, x, y, digit_width, digit_height, LED_AMBER if "score" in role else LED_RED)
        pad_x = digit_width * 0.15
        pad_y = digit_height * 0.12
        zones[role] = {
            "x": (x - pad_x) / width, "y": (y - pad_y) / height,
            "width": (drawn + 2 * pad_x) / width, "height": (digit_height + 2 * pad_y) / height,
            "role": role,
        }
    return frame, zones
