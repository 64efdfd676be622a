"""Renders scoreboard frames with seven-segment fields at known places, with their true values.

Each field is drawn so that the equal digit slots of its zone fall centred on its digit places, and
is returned with the zone (fractions of the frame, the way an operator marks it), the text drawn
and the processing settings its look needs. Looks:

- "led_red", "led_amber": lit LED bars on a dark panel;
- "lcd": dark bars on a light panel (read with the image inverted);
- "lcd_backlit": light bars on a dim panel, as backlit displays show them;
- "slanted": LED bars leaning right, as italic faces do;
- "blurred": LED bars seen slightly out of focus;
- "jpeg": LED bars after strong JPEG compression.
"""

from dataclasses import dataclass, field

import cv2
import numpy as np

import sevenseg

STYLES = ("led_red", "led_amber", "lcd", "lcd_backlit", "slanted", "blurred", "jpeg")

_PANEL_DARK = (18, 14, 12)  # BGR
_PANEL_LCD = (178, 196, 186)
_PANEL_BACKLIT = (52, 60, 40)
_INK = {"led_red": (40, 40, 235), "led_amber": (0, 170, 255), "lcd": (38, 44, 40), "lcd_backlit": (205, 235, 190)}


@dataclass
class Field:
    role: str
    text: str  # one character per digit place; a space leaves the place blank
    x: int     # left edge of the first digit, pixels
    y: int     # top edge of the digits
    digit_height: int

    @property
    def digit_width(self):
        return int(round(self.digit_height * 0.55))

    @property
    def gap(self):
        return int(round(self.digit_width * 0.4))


@dataclass
class Board:
    frame: np.ndarray
    zones: dict = field(default_factory=dict)   # role -> zone mapping
    truths: dict = field(default_factory=dict)  # role -> the text drawn


def processing_for(style):
    """The processing settings an operator would give zones of this look."""
    if style == "lcd":
        return {"invert": True, "threshold": 110}
    if style == "led_red":
        # Red bars are dark in gray (about 98), so the default threshold would miss them.
        return {"threshold": 60}
    if style == "blurred":
        return {"threshold": 120}
    return {}


def render_board(fields, style="led_amber", width=640, height=360, seed=0, dot_shape="square"):
    """A BGR frame showing every field in the given look, with the zones around them."""
    rng = np.random.default_rng(seed)
    lit = np.zeros((height, width), np.uint8)
    board = Board(frame=None)
    slant = 0.05 if style == "slanted" else 0.0
    for f in fields:
        if len(f.text) == 5 and f.text[2] in ":.":
            x, y, w, h = _draw_clock(lit, f, slant, dot_shape)
            zone = {"x": x / width, "y": y / height, "width": w / width, "height": h / height, "role": f.role}
            settings = processing_for(style)
            if settings:
                zone["processing"] = dict(settings)
            board.zones[f.role] = zone
            board.truths[f.role] = f.text
            continue
        dw, gap = f.digit_width, f.gap
        for i, ch in enumerate(f.text):
            if ch != " ":
                sevenseg.draw_digit(lit, int(ch), f.x + i * (dw + gap), f.y, dw - slant * f.digit_height,
                                    f.digit_height, thickness=max(2.0, 0.2 * dw), style="hex", slant=slant)
        pad_y = 0.12 * f.digit_height
        zone = {
            "x": (f.x - gap / 2.0) / width,
            "y": (f.y - pad_y) / height,
            "width": len(f.text) * (dw + gap) / width,
            "height": (f.digit_height + 2 * pad_y) / height,
            "role": f.role,
        }
        settings = processing_for(style)
        if settings:
            zone["processing"] = dict(settings)
        board.zones[f.role] = zone
        board.truths[f.role] = f.text
    background = {"lcd": _PANEL_LCD, "lcd_backlit": _PANEL_BACKLIT}.get(style, _PANEL_DARK)
    ink = _INK.get(style, _INK["led_amber"])
    frame = np.empty((height, width, 3), np.uint8)
    frame[:] = background
    frame[lit > 0] = ink
    frame = cv2.add(frame, rng.integers(0, 8, frame.shape, dtype=np.uint8))
    if style == "blurred":
        frame = cv2.GaussianBlur(frame, (0, 0), 1.6)
    if style == "jpeg":
        ok, data = cv2.imencode(".jpg", frame, [cv2.IMWRITE_JPEG_QUALITY, 35])
        frame = cv2.imdecode(data, cv2.IMREAD_COLOR)
    board.frame = frame
    return board


def clock_value(text):
    """What a clock reader should give for a clock face written as four positions around the
    separator, e.g. "12:34", " 9:05", "45.6 " or " 0.8 "."""
    left, sep, right = text[:2], text[2], text[3:]
    if sep == ".":
        return left.strip() + "." + right[0]
    return left.strip() + ":" + right.strip()


def _draw_clock(lit, f, slant, dot_shape):
    """Draws a clock face so that the centred clock layout of its zone falls on its digits, with
    the separator in the layout's gap. Returns the zone's pixel rectangle (x, y, w, h)."""
    height = f.digit_height
    width = int(round(height * 2.6))
    pad_y = int(round(0.12 * height))
    gap = max(width * 0.055, 4.0)
    left_end = width / 2.0 - gap / 2.0
    right_start = width / 2.0 + gap / 2.0
    cells = [(0.0, left_end / 2.0), (left_end / 2.0, left_end), (right_start, right_start + (width - right_start) / 2.0),
             (right_start + (width - right_start) / 2.0, float(width))]
    digits = f.text[:2] + f.text[3:]
    for (c0, c1), ch in zip(cells, digits):
        if ch == " ":
            continue
        dw = 0.62 * (c1 - c0)
        x = f.x + (c0 + c1) / 2.0 - dw / 2.0
        sevenseg.draw_digit(lit, int(ch), x, f.y, dw - slant * height, height,
                            thickness=max(2.0, 0.2 * dw), style="hex", slant=slant)
    dot = max(2, int(round(gap * 0.55)))
    cx = f.x + width / 2.0
    rows = (0.3, 0.7) if f.text[2] == ":" else (0.93,)
    for r in rows:
        cy = f.y + r * height
        # A slanted face leans its dots like its digits.
        lean = slant * (height - (cy - f.y))
        x0, y0 = int(round(cx + lean - dot / 2.0)), int(round(cy - dot / 2.0))
        if dot_shape == "round":
            cv2.circle(lit, (int(round(cx + lean)), int(round(cy))), max(1, dot // 2), 255, -1, lineType=cv2.LINE_AA)
        else:
            lit[y0:y0 + dot, x0:x0 + dot] = 255
    return f.x, f.y - pad_y, width, height + 2 * pad_y


def standard_fields():
    """A hockey-style board: scores, shots, period, and the single-digit fields of other sports."""
    return [
        Field("home_score", "47", 60, 50, 90),
        Field("guest_score", " 3", 440, 50, 90),
        Field("period", "2", 300, 60, 70),
        Field("home_shots", "29", 60, 220, 56),
        Field("guest_shots", "18", 470, 220, 56),
        Field("down", "3", 250, 230, 50),
        Field("home_timeouts", "1", 360, 230, 50),
    ]
