"""Realistic scoreboard frames with known values, for measuring how the readers do on real-looking boards.

A board is drawn from a seed: its look (display kind, colours, face, camera and transport) and where
its fields sit are fixed per board; the values shown change from frame to frame. That is how a real
board behaves under a camera, and how the readers meet it: zones and settings are chosen once on a
still of the board and must go on reading its later frames.

    import realistic_board as rb
    board_spec = rb.make_board(7)                              # look + field placements, deterministic
    values = rb.random_values(board_spec, frame_seed=0)        # {"clock": "04:27", "home_score": 12, ...}
    frame, zones, truths = rb.render(board_spec, values, frame_seed=0)
    # frame: BGR uint8; zones: role -> {"x", "y", "width", "height", "role"} (fractions of the frame,
    # as an operator marks them); truths: role -> what a reader returns as "value" for that field
    # (int, or clock text such as "12:34", "5:07", "45.6", "9.4").

    for board_spec, frames in rb.benchmark_boards(seed=1, n_boards=50, frames_per_board=4):
        for frame, zones, truths in frames: ...          # H.264 boards go through one encoded clip

Values. `values` maps each field's role to what the board is asked to show: an int for the number fields
and, for clock fields, the full text "MM:SS" (minutes and seconds) or "SS.t" (seconds and tenths, shown
with a decimal point). The board's own habit decides whether a leading zero is shown or left blank
("05:07" or " 5:07", "07" or " 7"); the truth is then what the readers give for what was drawn
("05:07" or "5:07", 7 either way).

Look factors (`BoardSpec.look`, one `Look` per board; `BoardSpec.factors()` names each level):
- display: "led" (colours red, amber, green, white, yellow on a dark panel), "lcd_reflective" (dark
  segments on a light panel), "lcd_backlit" (light segments on a dim panel);
- ghost: "none", "faint", "strong" (unlit segments faintly visible, as on real LED and LCD boards);
- glare: "none", "gradient", "spots", "both" (a brightness ramp across the board, specular spots);
- italic: slant angle 0-12 degrees; face: "bars" (block, hex or gapped bar shapes) or "dots" (dot-matrix
  segments of round LEDs, 1-3 across);
- seven: "plain" (A, B, C) or "hooked" (with the upper-left bar F); six and nine: with or without tails;
- colon dots "round" or "square"; decimal point "colon" (under the colon) or "after" (right after the
  seconds digit); colon gap "narrow" (5-8 % of the clock face) or "wide" (12-16 %);
- leading digits "blank" or "zero" (clocks and scores separately);
- digit heights 15-150 px (per board, fields vary around it); anti-aliasing on or off; bloom around
  bright LEDs; keystone up to 7 % and roll up to 4 degrees; motion blur or defocus; camera noise;
- transport: "none", "jpeg" (quality 60-90) or "h264" (libx264 through the ffmpeg command line, CRF
  20-30, each still held for a few frames and the last, predicted one decoded back).

Zones are what an operator would mark: the bounding box of the field's digits in the frame, with margins
of 8-25 % of its size on each axis and shifted off-centre by up to 6 %.

Everything is deterministic for a seed (board) and a frame seed (noise and values); H.264 goes through
libx264 with one thread.
"""

import hashlib
import math
import os
import shutil
import subprocess
import tempfile
from dataclasses import dataclass, field

import cv2
import numpy as np

import sevenseg

CLOCK_ROLES = ("clock", "home_penalty_1", "home_penalty_2", "guest_penalty_1", "guest_penalty_2")
SCORE_PAIRS = (("home_score", "guest_score"), ("home_shots", "guest_shots"), ("to_go", "ball_on"),
               ("home_penalty_player_1", "guest_penalty_player_1"))
SINGLE_ROLES = ("down", "home_timeouts", "guest_timeouts")

# Bench groups of the roles: the reader family each is read with.
ROLE_GROUPS = ("clock", "score", "period", "single")

LED_COLOURS = {  # BGR, the LED's own colour at full drive
    "red": (40, 35, 235), "amber": (0, 165, 255), "green": (70, 225, 40),
    "white": (235, 235, 235), "yellow": (20, 225, 245),
}

# Segments of each digit on the faces boards use; the 7 may carry its upper-left bar, the 6 and 9 their tails.
_BASE_LIT = dict(sevenseg.LIT)


def role_group(role):
    if role in CLOCK_ROLES:
        return "clock"
    if role == "period":
        return "period"
    if role in SINGLE_ROLES:
        return "single"
    return "score"


@dataclass
class Look:
    display: str            # "led", "lcd_reflective", "lcd_backlit"
    colour: str             # LED colour name, or "lcd" for the LCDs
    ink: tuple              # BGR of a lit (LED/backlit) or dark (reflective) segment
    panel: tuple            # BGR of the panel
    ghost: str              # "none", "faint", "strong"
    ghost_level: float      # unlit segment as a fraction of the ink contrast
    glare: str              # "none", "gradient", "spots", "both"
    italic_deg: float       # 0-12
    face: str               # "bars" or "dots"
    bar_style: str          # "block", "hex", "lcd" (bar shape of the "bars" face)
    dots_across: int        # LEDs across a segment on the dot-matrix face
    seven: str              # "plain" or "hooked"
    six_tail: bool
    nine_tail: bool
    colon_dot: str          # "round" or "square"
    decimal_at: str         # "colon" or "after"
    colon_gap: str          # "narrow" or "wide"
    colon_gap_frac: float   # separator gap as a fraction of the clock face width
    clock_leading: str      # "blank" or "zero"
    score_leading: str      # "blank" or "zero"
    digit_height: int       # board scale (the clock's digit height), pixels
    width_ratio: float      # digit width / height
    thickness_ratio: float  # bar thickness / digit width
    antialias: bool
    bloom: float            # 0 = none; strength of the halo around lit LEDs
    keystone: float         # -0.07..0.07: top edge narrower (>0) or wider (<0) than the bottom
    roll_deg: float         # -4..4
    blur: str               # "none", "motion", "defocus"
    blur_px: float          # motion length or defocus radius, pixels
    blur_angle: float       # direction of motion blur, degrees
    noise_sigma: float      # camera noise, grey levels
    transport: str          # "none", "jpeg", "h264"
    quality: int            # JPEG quality or x264 CRF


@dataclass
class FieldPlacement:
    role: str
    kind: str               # "clock", "score" (two digits), "digit" (one digit)
    x: float                # left edge of the face (unwarped board), pixels
    y: float                # top edge of the digits
    digit_height: float
    digit_width: float
    digit_gap: float        # between neighbouring digits
    colon_gap: float = 0.0  # clock only: between the digit pairs
    zone: dict = field(default_factory=dict)

    @property
    def places(self):
        return {"clock": 4, "score": 2, "digit": 1}[self.kind]

    def digit_xs(self):
        """Left edges of the digit places (of their upright footprint)."""
        xs, x = [], self.x
        for i in range(self.places):
            xs.append(x)
            x += self.digit_width + self.digit_gap
            if self.kind == "clock" and i == 1:
                x += self.colon_gap - self.digit_gap
        return xs

    @property
    def face_width(self):
        w = self.places * self.digit_width + (self.places - 1) * self.digit_gap
        if self.kind == "clock":
            w += self.colon_gap - self.digit_gap
        return w


@dataclass
class BoardSpec:
    seed: int
    width: int
    height: int
    look: Look
    fields: list
    homography: np.ndarray  # board plane -> frame (keystone and roll)

    @property
    def zones(self):
        return {f.role: dict(f.zone) for f in self.fields}

    def factors(self):
        """Factor name -> level of this board, for per-factor figures."""
        lk = self.look
        h = lk.digit_height
        return {
            "display": lk.display,
            "colour": lk.colour,
            "ghost": lk.ghost,
            "glare": lk.glare,
            "italic": "upright" if lk.italic_deg < 1 else ("3-7deg" if lk.italic_deg < 7 else "7-12deg"),
            "face": lk.face if lk.face == "dots" else f"bars_{lk.bar_style}",
            "seven": lk.seven,
            "six_nine": ("6tail" if lk.six_tail else "6bare") + "_" + ("9tail" if lk.nine_tail else "9bare"),
            "colon_dot": lk.colon_dot,
            "decimal_at": lk.decimal_at,
            "colon_gap": lk.colon_gap,
            "leading": f"clock_{lk.clock_leading}/score_{lk.score_leading}",
            "height": "15-24px" if h < 25 else ("25-49px" if h < 50 else ("50-99px" if h < 100 else "100-150px")),
            "antialias": "on" if lk.antialias else "off",
            "bloom": "on" if lk.bloom > 0 else "off",
            "perspective": "on" if (abs(lk.keystone) > 0.02 or abs(lk.roll_deg) > 1.5) else "mild",
            "blur": lk.blur,
            "noise": "low" if lk.noise_sigma < 3 else ("mid" if lk.noise_sigma < 6 else "high"),
            "transport": lk.transport,
        }


# ---------------------------------------------------------------- board

def _choice(rng, options, p=None):
    return options[int(rng.choice(len(options), p=p))]


def _make_look(rng):
    display = _choice(rng, ("led", "lcd_reflective", "lcd_backlit"), p=[0.6, 0.2, 0.2])
    if display == "led":
        colour = _choice(rng, tuple(LED_COLOURS))
        ink = tuple(int(np.clip(c * rng.uniform(0.8, 1.0), 0, 255)) for c in LED_COLOURS[colour])
        base = rng.uniform(8, 30)
        panel = tuple(int(base + rng.uniform(-4, 4)) for _ in range(3))
    elif display == "lcd_reflective":
        colour = "lcd"
        base = rng.uniform(160, 215)
        panel = (int(base * rng.uniform(0.9, 1.0)), int(base), int(base * rng.uniform(0.9, 1.0)))
        dark = rng.uniform(25, 70)
        ink = (int(dark), int(dark * 1.05), int(dark))
    else:
        colour = "lcd"
        base = rng.uniform(35, 75)
        panel = (int(base * rng.uniform(1.0, 1.4)), int(base), int(base * rng.uniform(0.6, 1.0)))
        bright = rng.uniform(190, 245)
        ink = (int(bright * rng.uniform(0.85, 1.0)), int(bright), int(bright * rng.uniform(0.8, 1.0)))
    ghost = _choice(rng, ("none", "faint", "strong"), p=[0.4, 0.35, 0.25])
    ghost_level = {"none": 0.0, "faint": rng.uniform(0.05, 0.12), "strong": rng.uniform(0.15, 0.28)}[ghost]
    glare = _choice(rng, ("none", "gradient", "spots", "both"), p=[0.4, 0.3, 0.15, 0.15])
    italic = 0.0 if rng.random() < 0.5 else float(rng.uniform(2.0, 12.0))
    face = "dots" if (display == "led" and rng.random() < 0.25) else "bars"
    bar_style = _choice(rng, ("block", "hex", "lcd")) if display == "led" else _choice(rng, ("block", "lcd"))
    colon_gap = _choice(rng, ("narrow", "wide"))
    # Wide gaps come to 11-12 % of an operator's zone once its margins are added.
    gap_frac = float(rng.uniform(0.05, 0.08) if colon_gap == "narrow" else rng.uniform(0.12, 0.16))
    # Board scale: log-uniform digit heights, so small fields are as common as large ones.
    height = int(round(math.exp(rng.uniform(math.log(18), math.log(150)))))
    blur = _choice(rng, ("none", "motion", "defocus"), p=[0.5, 0.25, 0.25])
    blur_px = 0.0 if blur == "none" else float(max(1.0, height * rng.uniform(0.015, 0.05)))
    transport = _choice(rng, ("none", "jpeg", "h264"), p=[0.25, 0.4, 0.35])
    quality = int(rng.integers(60, 91)) if transport == "jpeg" else int(rng.integers(20, 31))
    perspective = rng.random() < 0.5
    return Look(
        display=display, colour=colour, ink=ink, panel=panel, ghost=ghost, ghost_level=float(ghost_level),
        glare=glare, italic_deg=italic, face=face, bar_style=bar_style, dots_across=int(rng.integers(1, 4)),
        seven=_choice(rng, ("plain", "hooked")), six_tail=bool(rng.random() < 0.6),
        nine_tail=bool(rng.random() < 0.6), colon_dot=_choice(rng, ("round", "square")),
        decimal_at=_choice(rng, ("colon", "after")), colon_gap=colon_gap, colon_gap_frac=gap_frac,
        clock_leading=_choice(rng, ("blank", "zero")), score_leading=_choice(rng, ("blank", "zero")),
        digit_height=height, width_ratio=float(rng.uniform(0.48, 0.62)),
        thickness_ratio=float(rng.uniform(0.16, 0.26)), antialias=bool(rng.random() < 0.8),
        bloom=float(rng.uniform(0.25, 0.7)) if (display == "led" and rng.random() < 0.4) else 0.0,
        keystone=float(rng.uniform(-0.07, 0.07)) if perspective else float(rng.uniform(-0.01, 0.01)),
        roll_deg=float(rng.uniform(-4, 4)) if perspective else float(rng.uniform(-0.8, 0.8)),
        blur=blur, blur_px=blur_px, blur_angle=float(rng.uniform(-20, 20)),
        noise_sigma=float(rng.uniform(0.5, 8.0)), transport=transport, quality=quality,
    )


def make_board(seed):
    """The board of `seed`: its look, its fields (a clock, two two-digit fields, the period and a
    single-digit field) placed on a frame, and each field's operator zone."""
    rng = np.random.default_rng([20261210, int(seed)])
    look = _make_look(rng)
    h0 = look.digit_height

    def placement(role, kind, height):
        height = float(max(15.0, height))
        dw = look.width_ratio * height
        gap = dw * rng.uniform(0.25, 0.45)
        fp = FieldPlacement(role, kind, 0.0, 0.0, height, dw, gap)
        if kind == "clock":
            inner = 4 * dw + 2 * gap
            dot = max(1.5, 1.1 * look.thickness_ratio * dw)
            # Even a narrow gap holds its dots clear of the digits.
            fp.colon_gap = max(look.colon_gap_frac * inner / (1.0 - look.colon_gap_frac),
                               dot + 2 * max(1.0, 0.12 * dw) + math.tan(math.radians(look.italic_deg)) * dot)
        return fp

    clock_role = "clock" if rng.random() < 0.8 else _choice(rng, CLOCK_ROLES[1:])
    pair = SCORE_PAIRS[int(rng.choice(len(SCORE_PAIRS), p=[0.55, 0.2, 0.15, 0.1]))]
    single = _choice(rng, SINGLE_ROLES)
    clock = placement(clock_role, "clock", h0)
    left = placement(pair[0], "score", h0 * rng.uniform(0.7, 1.0))
    right = placement(pair[1], "score", left.digit_height)
    period = placement("period", "digit", h0 * rng.uniform(0.5, 0.9))
    one = placement(single, "digit", h0 * rng.uniform(0.5, 0.9))
    rows = [[clock], [left, period, right], [one]]

    # Shelf layout on the board plane: rows centred, spaced so that neither the widest margins nor a
    # roll make zones overlap or leave the frame.
    pad = 0.8 * h0 + 24
    row_sizes = [(sum(f.face_width for f in row) + pad * (len(row) - 1), max(f.digit_height for f in row))
                 for row in rows]
    width = max(w for w, _ in row_sizes) + 2 * pad
    height = sum(h for _, h in row_sizes) + pad * (len(rows) + 1)
    width = int(math.ceil(width / 16.0)) * 16
    height = int(math.ceil(height / 16.0)) * 16
    y = pad
    for row, (row_w, row_h) in zip(rows, row_sizes):
        x = (width - row_w) / 2.0
        for f in row:
            f.x = x
            f.y = y + (row_h - f.digit_height) / 2.0
            x += f.face_width + pad
        y += row_h + pad

    homography = _homography(width, height, look.keystone, look.roll_deg)
    for f in (f for row in rows for f in row):
        f.zone = _operator_zone(rng, f, look, homography, width, height)
    return BoardSpec(int(seed), width, height, look, [f for row in rows for f in row], homography)


def _homography(width, height, keystone, roll_deg):
    cx, cy = width / 2.0, height / 2.0
    k = keystone * width / 2.0
    src = np.float32([[0, 0], [width, 0], [width, height], [0, height]])
    top = k if keystone > 0 else 0.0
    bottom = -k if keystone < 0 else 0.0
    dst = np.float32([[top, 0], [width - top, 0], [width - bottom, height], [bottom, height]])
    persp = cv2.getPerspectiveTransform(src, dst).astype(np.float64)
    rot = np.vstack([cv2.getRotationMatrix2D((cx, cy), roll_deg, 1.0), [0.0, 0.0, 1.0]])
    return rot @ persp


def _warp_points(h, pts):
    pts = np.asarray(pts, np.float64)
    ones = np.ones((len(pts), 1))
    out = np.hstack([pts, ones]) @ h.T
    return out[:, :2] / out[:, 2:3]


def _operator_zone(rng, f, look, homography, width, height, off_centre=0.06):
    x0, y0 = f.x, f.y
    x1, y1 = f.x + f.face_width, f.y + f.digit_height
    corners = _warp_points(homography, [[x0, y0], [x1, y0], [x1, y1], [x0, y1]])
    # A slanted face keeps the upright footprint: its digits are narrowed by the lean.
    bx0, by0 = corners.min(axis=0)
    bx1, by1 = corners.max(axis=0)
    bw, bh = bx1 - bx0, by1 - by0
    mx = rng.uniform(0.08, 0.25) * bw
    my = rng.uniform(0.08, 0.25) * bh
    zx0, zx1 = bx0 - mx, bx1 + mx
    zy0, zy1 = by0 - my, by1 + my
    # Off-centre, never so far that the margin on one side disappears.
    zw, zh = zx1 - zx0, zy1 - zy0
    dx = float(np.clip(rng.uniform(-off_centre, off_centre) * zw, -0.9 * mx, 0.9 * mx))
    dy = float(np.clip(rng.uniform(-off_centre, off_centre) * zh, -0.9 * my, 0.9 * my))
    zx0, zy0 = zx0 + dx, zy0 + dy
    return {"x": zx0 / width, "y": zy0 / height, "width": zw / width, "height": zh / height, "role": f.role}


# ---------------------------------------------------------------- values

def random_values(board_spec, frame_seed):
    """Values a board could show, different per frame seed: a clock in minutes or in tenths, scores
    0-99 (small ones more often), digits 0-9."""
    rng = np.random.default_rng([int(board_spec.seed), int(frame_seed), 7])
    values = {}
    for f in board_spec.fields:
        group = role_group(f.role)
        if group == "clock":
            if rng.random() < 0.3:
                values[f.role] = f"{int(rng.integers(0, 60)):02d}.{int(rng.integers(0, 10))}"
            else:
                minutes = int(rng.integers(0, 10)) if rng.random() < 0.5 else int(rng.integers(10, 60))
                values[f.role] = f"{minutes:02d}:{int(rng.integers(0, 60)):02d}"
        elif group == "score":
            values[f.role] = int(rng.integers(0, 10)) if rng.random() < 0.4 else int(rng.integers(10, 100))
        else:
            values[f.role] = int(rng.integers(0, 10))
    return values


def shown(board_spec, role, value):
    """(places, separator, truth): the characters drawn in each digit place (None = blank), the
    separator (":" or "." for clocks, None otherwise) and what a reader gives for them."""
    look = board_spec.look
    f = next(f for f in board_spec.fields if f.role == role)
    if f.kind == "clock":
        text = str(value)
        sep = text[2]
        left, right = text[:2], text[3:]
        if len(text) != (5 if sep == ":" else 4) or sep not in ":." or not (left + right).isdigit():
            raise ValueError(f"clock value must be MM:SS or SS.t, got {value!r}")
        places = [int(c) for c in left] + [int(c) for c in right] + ([None] if sep == "." else [])
        if look.clock_leading == "blank" and places[0] == 0:
            places[0] = None
        lt = "".join(str(p) for p in places[:2] if p is not None)
        truth = f"{lt}.{places[2]}" if sep == "." else f"{lt}:{right}"
        return places, sep, truth
    value = int(value)
    if f.kind == "score":
        if not 0 <= value <= 99:
            raise ValueError(f"two-digit value out of range: {value}")
        places = [value // 10, value % 10]
        if places[0] == 0 and look.score_leading == "blank":
            places[0] = None
        return places, None, value
    if not 0 <= value <= 9:
        raise ValueError(f"one-digit value out of range: {value}")
    return [value], None, value


# ---------------------------------------------------------------- drawing

def _segments(look, digit):
    lit = _BASE_LIT[digit]
    if digit == 7 and look.seven == "hooked":
        lit = "ABCF"
    if digit == 6 and not look.six_tail:
        lit = "CDEFG"
    if digit == 9 and not look.nine_tail:
        lit = "ABCFG"
    return lit


def _scale(look):
    if not look.antialias:
        return 1
    return 4 if look.digit_height < 40 else 2


def _draw_segment(canvas, poly, look, f, x, scale, slant):
    """One segment into the canvas (float32 supersampled), as a bar or as a row of round LEDs."""
    h = f.digit_height
    pts = np.array(poly, np.float64)
    if look.face == "dots":
        (px0, py0), (px1, py1) = pts.min(axis=0), pts.max(axis=0)
        horizontal = (px1 - px0) >= (py1 - py0)
        t = (py1 - py0) if horizontal else (px1 - px0)
        n = look.dots_across
        step = t / n
        length = (px1 - px0) if horizontal else (py1 - py0)
        along = max(1, int(round(length / step)))
        astep = length / along
        r = 0.42 * min(step, astep)
        centres = []
        for i in range(along):
            for j in range(n):
                if horizontal:
                    centres.append((px0 + (i + 0.5) * astep, py0 + (j + 0.5) * step))
                else:
                    centres.append((px0 + (j + 0.5) * step, py0 + (i + 0.5) * astep))
        shift = 4
        for cx, cy in centres:
            sx = (cx + slant * (h - cy) + x) * scale
            sy = (cy + f.y) * scale
            cv2.circle(canvas, (int(round(sx * 16)), int(round(sy * 16))), max(1, int(round(r * scale * 16))),
                       1.0, -1, lineType=cv2.LINE_AA if look.antialias else cv2.LINE_8, shift=shift)
        return
    pts[:, 0] += slant * (h - pts[:, 1]) + x
    pts[:, 1] += f.y
    fixed = np.round(pts * scale * 16).astype(np.int32)
    cv2.fillPoly(canvas, [fixed], 1.0, lineType=cv2.LINE_8, shift=4)


def _draw_dot(canvas, look, cx, cy, size, scale):
    if look.colon_dot == "round":
        cv2.circle(canvas, (int(round(cx * scale * 16)), int(round(cy * scale * 16))),
                   max(1, int(round(size / 2.0 * scale * 16))), 1.0, -1,
                   lineType=cv2.LINE_AA if look.antialias else cv2.LINE_8, shift=4)
    else:
        half = size / 2.0
        pts = np.array([[cx - half, cy - half], [cx + half, cy - half], [cx + half, cy + half],
                        [cx - half, cy + half]]) * scale * 16
        cv2.fillPoly(canvas, [np.round(pts).astype(np.int32)], 1.0, lineType=cv2.LINE_8, shift=4)


def _separator_dots(look, f):
    """(colon dot centres, decimal point centre, dot size) of a clock field, on the board plane."""
    slant = math.tan(math.radians(look.italic_deg))
    h = f.digit_height
    t = look.thickness_ratio * f.digit_width
    size = max(1.5, 1.1 * t)  # as the gap reserves it in make_board
    xs = f.digit_xs()
    # With a slant the upright footprint's bottom-right corner sits slant * h left of its right edge.
    right_of_pair = xs[1] + f.digit_width - slant * h
    gap_mid = (right_of_pair + xs[2]) / 2.0

    def lean(y):
        return slant * (f.y + h - y)

    colon = [(gap_mid + lean(f.y + r * h), f.y + r * h) for r in (0.3, 0.7)]
    dy = f.y + h - size / 2.0
    if look.decimal_at == "colon":
        decimal = (gap_mid + lean(dy), dy)
    else:
        clearance = max(1.0, 0.12 * f.digit_width)
        decimal = (min(gap_mid, right_of_pair + clearance + size / 2.0) + lean(dy), dy)
    return colon, decimal, size


def _draw_field(canvas, look, f, places, sep, scale, ghost):
    """Lit segments of `places` (or, with ghost=True, every segment and dot the field has)."""
    slant = math.tan(math.radians(look.italic_deg))
    h = f.digit_height
    dw = f.digit_width
    t = max(1.2, look.thickness_ratio * dw)
    polys = sevenseg.segment_polygons(dw - slant * h, h, t, "block" if look.face == "dots" else look.bar_style)
    for x, ch in zip(f.digit_xs(), places):
        names = "ABCDEFG" if ghost else ("" if ch is None else _segments(look, ch))
        for name in names:
            _draw_segment(canvas, polys[name], look, f, x, scale, slant)
    if f.kind == "clock":
        colon, decimal, size = _separator_dots(look, f)
        if ghost or sep == ":":
            for cx, cy in colon:
                _draw_dot(canvas, look, cx, cy, size, scale)
        if ghost or sep == ".":
            _draw_dot(canvas, look, decimal[0], decimal[1], size, scale)


def _mask(board_spec, shown_places, ghost=False):
    look = board_spec.look
    scale = _scale(look)
    canvas = np.zeros((board_spec.height * scale, board_spec.width * scale), np.float32)
    for f in board_spec.fields:
        places, sep = shown_places.get(f.role, ([None] * f.places, None))
        _draw_field(canvas, look, f, places, sep, scale, ghost)
    if scale > 1:
        canvas = cv2.resize(canvas, (board_spec.width, board_spec.height), interpolation=cv2.INTER_AREA)
    return canvas


def _disk(radius):
    r = max(0.5, radius)
    n = int(math.ceil(r)) * 2 + 1
    yy, xx = np.mgrid[:n, :n] - n // 2
    k = np.clip(r + 0.5 - np.sqrt(xx * xx + yy * yy), 0.0, 1.0).astype(np.float32)
    return k / k.sum()


def _line(length, angle_deg):
    n = int(math.ceil(length)) | 1
    k = np.zeros((n, n), np.float32)
    c = n // 2
    a = math.radians(angle_deg)
    dx, dy = math.cos(a) * length / 2.0, math.sin(a) * length / 2.0
    cv2.line(k, (int(round(c - dx)), int(round(c - dy))), (int(round(c + dx)), int(round(c + dy))), 1.0, 1,
             lineType=cv2.LINE_AA)
    return k / k.sum()


def _scene(board_spec, lit, ghost, rng_board):
    """Colour of the board plane before the camera: panel, ghosts, lit segments, glare."""
    look = board_spec.look
    panel = np.array(look.panel, np.float32)
    ink = np.array(look.ink, np.float32)
    amount = np.clip(lit + look.ghost_level * np.clip(ghost - lit, 0.0, 1.0), 0.0, 1.0)
    img = panel + amount[..., None] * (ink - panel)
    if look.glare in ("gradient", "both"):
        angle = rng_board.uniform(0, 2 * math.pi)
        yy, xx = np.mgrid[:board_spec.height, :board_spec.width].astype(np.float32)
        ramp = (xx / board_spec.width - 0.5) * math.cos(angle) + (yy / board_spec.height - 0.5) * math.sin(angle)
        ramp = np.clip(ramp + 0.5, 0.0, 1.0) * rng_board.uniform(0.15, 0.45)
        img = img + ramp[..., None] * (255.0 - img)
    if look.glare in ("spots", "both"):
        spots = np.zeros((board_spec.height, board_spec.width), np.float32)
        for _ in range(int(rng_board.integers(1, 4))):
            cx = rng_board.uniform(0, board_spec.width)
            cy = rng_board.uniform(0, board_spec.height)
            r = rng_board.uniform(0.04, 0.15) * min(board_spec.width, board_spec.height)
            yy, xx = np.ogrid[:board_spec.height, :board_spec.width]
            spots += rng_board.uniform(0.25, 0.6) * np.exp(-((xx - cx) ** 2 + (yy - cy) ** 2) / (2 * r * r))
        spots = np.clip(spots, 0.0, 0.85)
        img = img + spots[..., None] * (255.0 - img)
    return img


def _camera(board_spec, img, lit_frame, rng_frame):
    """The camera's view of the scene: perspective and roll, bloom, blur, noise; uint8 BGR."""
    look = board_spec.look
    interp = cv2.INTER_LINEAR if look.antialias else cv2.INTER_NEAREST
    border = tuple(float(c) for c in look.panel)
    img = cv2.warpPerspective(img, board_spec.homography, (board_spec.width, board_spec.height), flags=interp,
                              borderMode=cv2.BORDER_CONSTANT, borderValue=border)
    if look.bloom > 0:
        lit = cv2.warpPerspective(lit_frame, board_spec.homography, (board_spec.width, board_spec.height), flags=interp)
        sigma = max(1.0, 0.06 * look.digit_height)
        halo = cv2.GaussianBlur(lit, (0, 0), sigma) * look.bloom
        img = img + halo[..., None] * np.array(look.ink, np.float32)
    if look.blur == "motion":
        img = cv2.filter2D(img, -1, _line(max(2.0, look.blur_px * 2), look.blur_angle))
    elif look.blur == "defocus":
        img = cv2.filter2D(img, -1, _disk(look.blur_px))
    img = img + rng_frame.normal(0.0, look.noise_sigma, img.shape).astype(np.float32)
    return np.clip(np.round(img), 0, 255).astype(np.uint8)


def _ghost_mask(board_spec):
    cached = getattr(board_spec, "_ghost", None)
    if cached is None:
        cached = _mask(board_spec, {}, ghost=True)
        board_spec._ghost = cached
    return cached


def render_raw(board_spec, values, frame_seed=0):
    """The camera frame before transport, the zones and the truths."""
    drawn, truths = {}, {}
    for f in board_spec.fields:
        if f.role not in values:
            continue
        places, sep, truth = shown(board_spec, f.role, values[f.role])
        drawn[f.role] = (places, sep)
        truths[f.role] = truth
    lit = _mask(board_spec, drawn)
    rng_board = np.random.default_rng([int(board_spec.seed), 11])  # glare is the board's, not the frame's
    scene = _scene(board_spec, lit, _ghost_mask(board_spec), rng_board)
    frame = _camera(board_spec, scene, lit, np.random.default_rng([int(board_spec.seed), int(frame_seed), 13]))
    zones = {f.role: dict(f.zone) for f in board_spec.fields if f.role in truths}
    return frame, zones, truths


def jpeg_round_trip(frame, quality):
    ok, data = cv2.imencode(".jpg", frame, [cv2.IMWRITE_JPEG_QUALITY, int(quality)])
    if not ok:
        raise RuntimeError("JPEG encoding failed")
    return cv2.imdecode(data, cv2.IMREAD_COLOR)


def h264_round_trip(frames, crf, hold=3, cache_dir=None):
    """The frames after an H.264 round trip through the ffmpeg command line (libx264, one thread):
    each frame is held for `hold` video frames (10 fps, keyframe every 50) and the last of them,
    a predicted frame, is decoded back. Results are cached in `cache_dir` when given."""
    if not frames:
        return []
    h, w = frames[0].shape[:2]
    raw = b"".join(np.ascontiguousarray(f).tobytes() for f in frames)
    key = hashlib.sha1(raw + f"{w}x{h}:{crf}:{hold}".encode()).hexdigest()
    if cache_dir is not None:
        cached = os.path.join(cache_dir, key + ".npy")
        if os.path.exists(cached):
            return list(np.load(cached))
    if shutil.which("ffmpeg") is None:
        raise RuntimeError("ffmpeg is not installed (tools/install-deps.sh installs it)")
    # ffmpeg is not ours to check: the sanitizer runtimes a test interpreter preloads stay out of it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    with tempfile.TemporaryDirectory() as tmp:
        clip = os.path.join(tmp, "clip.mp4")
        encode = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt", "bgr24",
                  "-s", f"{w}x{h}", "-r", "10", "-i", "-", "-c:v", "libx264", "-preset", "veryfast",
                  "-crf", str(int(crf)), "-g", "50", "-threads", "1", "-pix_fmt", "yuv420p", clip]
        feed = b"".join(np.ascontiguousarray(f).tobytes() * hold for f in frames)
        subprocess.run(encode, input=feed, check=True, env=env)
        decode = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-threads", "1", "-i", clip,
                  "-f", "rawvideo", "-pix_fmt", "bgr24", "-"]
        out = subprocess.run(decode, capture_output=True, check=True, env=env).stdout
    video = np.frombuffer(out, np.uint8).reshape(-1, h, w, 3)
    if len(video) != hold * len(frames):
        raise RuntimeError(f"ffmpeg gave {len(video)} frames back, expected {hold * len(frames)}")
    result = [video[(i + 1) * hold - 1].copy() for i in range(len(frames))]
    if cache_dir is not None:
        np.save(os.path.join(cache_dir, key + ".npy"), np.stack(result))
    return result


def transport(board_spec, frames, cache_dir=None):
    """The frames as they arrive after the board's transport."""
    look = board_spec.look
    if look.transport == "jpeg":
        return [jpeg_round_trip(f, look.quality) for f in frames]
    if look.transport == "h264":
        return h264_round_trip(frames, look.quality, cache_dir=cache_dir)
    return list(frames)


def render(board_spec, values, frame_seed=0, cache_dir=None):
    """(frame_bgr, zones, truths) for one still of the board, transport included. For several
    stills of one H.264 board, `render_frames` encodes them as one clip (and is much faster)."""
    frame, zones, truths = render_raw(board_spec, values, frame_seed)
    return transport(board_spec, [frame], cache_dir)[0], zones, truths


def render_frames(board_spec, values_list, first_frame_seed=0, cache_dir=None):
    """[(frame_bgr, zones, truths)] for several stills of one board, in order."""
    raw = [render_raw(board_spec, v, first_frame_seed + i) for i, v in enumerate(values_list)]
    frames = transport(board_spec, [r[0] for r in raw], cache_dir)
    return [(frame, zones, truths) for frame, (_, zones, truths) in zip(frames, raw)]


def benchmark_boards(seed, n_boards, frames_per_board, cache_dir=None):
    """Yields (board_spec, frames) for `n_boards` boards, frames a list of (frame_bgr, zones, truths) with
    `frames_per_board` stills each; the first still is the one to calibrate on."""
    for i in range(n_boards):
        yield from benchmark_boards_from(seed, i, frames_per_board, cache_dir)


def benchmark_boards_from(seed, index, frames_per_board, cache_dir=None):
    """Board `index` of `benchmark_boards(seed, ...)` alone (one item), the same as there."""
    board_spec = make_board(int(seed) * 100003 + int(index))
    values = [random_values(board_spec, k) for k in range(frames_per_board)]
    yield board_spec, render_frames(board_spec, values, cache_dir=cache_dir)


def clean_board(seed, display="led", colour="amber", centred=False):
    """A board of `seed` with every camera and transport factor off: upright bar face, no ghosts,
    glare, blur, perspective or noise; the faces and placements of the seed stay. `centred` puts
    every zone's field in its middle (margins stay)."""
    board_spec = make_board(seed)
    lk = board_spec.look
    lk.display, lk.colour = display, colour
    if display == "led":
        lk.ink, lk.panel = LED_COLOURS[colour], (16, 14, 12)
    elif display == "lcd_reflective":
        lk.colour, lk.ink, lk.panel = "lcd", (40, 44, 40), (186, 196, 186)
    else:
        lk.colour, lk.ink, lk.panel = "lcd", (225, 235, 210), (70, 60, 45)
    lk.ghost, lk.ghost_level, lk.glare = "none", 0.0, "none"
    lk.italic_deg, lk.face, lk.bloom = 0.0, "bars", 0.0
    lk.blur, lk.blur_px, lk.noise_sigma, lk.transport = "none", 0.0, 0.0, "none"
    lk.keystone, lk.roll_deg = 0.0, 0.0
    board_spec.homography = _homography(board_spec.width, board_spec.height, 0.0, 0.0)
    rng = np.random.default_rng([20261210, int(seed), 1])
    for f in board_spec.fields:
        f.zone = _operator_zone(rng, f, lk, board_spec.homography, board_spec.width, board_spec.height,
                                off_centre=0.0 if centred else 0.06)
    return board_spec
