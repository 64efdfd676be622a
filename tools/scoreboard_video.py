"""A synthetic scoreboard video with known values, for the pipeline demo and its end-to-end test.

The board shows a game clock counting down one second per second, both scores, the period and the
home shots. The shots go up by one every second, so they also tell which second of the video a
preview shows: the true values of any preview follow from its shots reading.
"""

import functools
import subprocess
from dataclasses import dataclass

import numpy as np

import board
import sevenseg

WIDTH, HEIGHT = 640, 360
FPS = 10
STYLE = "led_amber"
FIRST_SHOTS = 10

# Clock geometry: MM:SS, digits of this height, a colon slot between the pairs.
_CLOCK_Y, _CLOCK_HEIGHT, _CLOCK_X = 22, 100, 150


@dataclass(frozen=True)
class State:
    second: int
    clock: str   # "MM:SS"
    home: int
    guest: int
    period: int
    shots: int

    def truths(self):
        return {"clock": self.clock, "home_score": self.home, "guest_score": self.guest,
                "period": self.period, "home_shots": self.shots}


def timeline(seconds, clock_start=(7, 30)):
    """One state per second of video; goals fall on fixed seconds, the period turns halfway."""
    states = []
    minutes, secs = clock_start
    home, guest = 3, 1
    for k in range(seconds):
        if k and k % 4 == 0:
            home += 1
        if k and k % 7 == 0:
            guest += 1
        left = minutes * 60 + secs - k
        states.append(State(k, f"{left // 60:02d}:{left % 60:02d}", home, guest,
                            1 if k < seconds // 2 else 2, FIRST_SHOTS + k))
    return states


def _fields(state):
    return [
        board.Field("home_score", f"{state.home:2d}", 50, 170, 90),
        board.Field("guest_score", f"{state.guest:2d}", 450, 170, 90),
        board.Field("period", str(state.period), 300, 180, 70),
        board.Field("home_shots", f"{state.shots:2d}", 268, 282, 50),
    ]


def _clock_geometry():
    digit_width = int(round(_CLOCK_HEIGHT * 0.55))
    gap = int(round(digit_width * 0.4))
    colon = digit_width // 2
    xs, x = [], _CLOCK_X
    for i in range(4):
        xs.append(x)
        x += digit_width + gap + (colon + gap if i == 1 else 0)
    return digit_width, gap, colon, xs


def _draw_clock(frame, clock):
    digit_width, gap, colon, xs = _clock_geometry()
    lit = np.zeros(frame.shape[:2], np.uint8)
    digits = clock.replace(":", "")
    for x, ch in zip(xs, digits):
        sevenseg.draw_digit(lit, int(ch), x, _CLOCK_Y, digit_width, _CLOCK_HEIGHT,
                            thickness=max(2.0, 0.2 * digit_width), style="hex")
    dot = max(4, digit_width // 6)
    cx = xs[1] + digit_width + gap + colon // 2 - dot // 2
    for fy in (0.32, 0.68):
        y = int(_CLOCK_Y + fy * _CLOCK_HEIGHT) - dot // 2
        lit[y:y + dot, cx:cx + dot] = 255
    frame[lit > 0] = board._INK[STYLE]


def clock_zone():
    digit_width, gap, colon, xs = _clock_geometry()
    pad_y = 0.12 * _CLOCK_HEIGHT
    left = xs[0] - gap / 2.0
    right = xs[3] + digit_width + gap / 2.0
    return {"x": left / WIDTH, "y": (_CLOCK_Y - pad_y) / HEIGHT, "width": (right - left) / WIDTH,
            "height": (_CLOCK_HEIGHT + 2 * pad_y) / HEIGHT, "role": "clock"}


def render(state):
    """The frame of one state and the zones an operator would mark on it."""
    drawn = board.render_board(_fields(state), style=STYLE, width=WIDTH, height=HEIGHT, seed=state.second)
    _draw_clock(drawn.frame, state.clock)
    zones = dict(drawn.zones)
    zones["clock"] = clock_zone()
    return drawn.frame, zones


def zones():
    """The zones of the board (they do not move from state to state), in reading order."""
    _, marked = render(timeline(1)[0])
    return [dict(marked[role], name=role) for role in ("clock", "home_score", "guest_score", "period", "home_shots")]


def write_video(path, states, fps=FPS):
    """Encodes the states, one second each, as H.264 in an MP4 file (keyframe every second)."""
    encoder = subprocess.Popen(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt", "bgr24",
         "-s", f"{WIDTH}x{HEIGHT}", "-r", str(fps), "-i", "-", "-c:v", "libx264", "-preset", "veryfast",
         "-crf", "18", "-g", str(fps), "-pix_fmt", "yuv420p", path],
        stdin=subprocess.PIPE)
    try:
        for state in states:
            frame = np.ascontiguousarray(render(state)[0])
            for _ in range(fps):
                encoder.stdin.write(frame.tobytes())
    finally:
        encoder.stdin.close()
    if encoder.wait() != 0:
        raise RuntimeError("ffmpeg could not encode the scoreboard video")


# -- The fault-injection video: what a live graphic must survive --------------------------------
#
# 25 frames a second of a board with eight fields and a known value in every field of every
# frame; the script runs in tenths of a second, so the clock's tenths change every 2 or 3 frames,
# and each flash or damage lasts 4 frames (160 ms: at most one preview of five a second sees
# it). Over 24 seconds: the clock runs, stops for 3 s, runs on through 1:00 into seconds and
# tenths; goals, shots and a timeout change; two glare flashes wash over the clock and the home
# score; the home score's units digit loses a bar for two frames (19 then looks like 15); the
# guest shots go dark for 3 s. A frame counter in the bottom left corner tells which frame a
# preview shows.

FAULT_FPS = 25
FAULT_SECONDS = 24
FAULT_STYLE = "led_amber"
# When things happen, in tenths of a second from the start.
_GLARE_TENTHS = (50, 143)
_DAMAGED_TENTHS = (110,)
_DARK_TENTHS = range(80, 110)
_STOPPED_TENTHS = range(40, 70)
_FAULT_FRAMES = 4


def _tenths(index):
    return index * 10 // FAULT_FPS


def _frames_from(tenths):
    return (tenths * FAULT_FPS + 9) // 10


GLARE_FRAMES = tuple(_frames_from(t) + k for t in _GLARE_TENTHS for k in range(_FAULT_FRAMES))
DAMAGED_FRAMES = tuple(_frames_from(t) + k for t in _DAMAGED_TENTHS for k in range(_FAULT_FRAMES))
DARK_FRAMES = range(_frames_from(_DARK_TENTHS.start), _frames_from(_DARK_TENTHS.stop))
STOPPED_FRAMES = range(_frames_from(_STOPPED_TENTHS.start), _frames_from(_STOPPED_TENTHS.stop))
_GLARE_CENTRE, _GLARE_RADIUS = (150, 70), 150
_GLARED = ("clock", "home_score")
_CODE_BITS, _CODE_CELL, _CODE_X, _CODE_Y = 12, 12, 8, 342


@dataclass(frozen=True)
class Frame:
    index: int
    values: dict        # field name -> value shown (clock text or integer), None when dark
    faults: tuple       # fields drawn damaged or under glare in this frame
    clock_running: bool

    @property
    def time(self):
        return self.index / FAULT_FPS


def _clock_tenths(tick):
    """Tenths of a second left on the clock at TICK: 1:15 at the start, stopped for 3 s."""
    stopped = _STOPPED_TENTHS
    ran = min(tick, stopped.start) + max(0, tick - stopped.stop)
    return 750 - ran


def _clock_face(tenths):
    """The clock as board.Field text: minutes and seconds down to 1:00, then seconds and tenths."""
    if tenths >= 600:
        seconds = tenths // 10
        return f"{seconds // 60:2d}:{seconds % 60:02d}"
    return f"{tenths // 10:2d}.{tenths % 10} "


def _faces(tick):
    """Field name -> text drawn (board.Field text, spaces blank) at TICK tenths of a second."""
    home = 17 + (tick >= 30) + (tick >= 100) + (tick >= 200)
    guest = 4 + (tick >= 60) + (tick >= 150)
    faces = {
        "clock": _clock_face(_clock_tenths(tick)),
        "home_score": f"{home:2d}", "guest_score": f"{guest:2d}", "period": "2",
        "home_shots": f"{21 + tick // 20:2d}", "guest_shots": f"{14 + tick // 30:2d}",
        "home_timeouts": "3" if tick < 130 else "2", "guest_timeouts": "1",
    }
    if tick in _DARK_TENTHS:
        faces["guest_shots"] = "  "
    return faces


_FAULT_FIELDS = {  # name -> (x, y, digit height)
    "clock": (190, 20, 80), "home_score": (40, 40, 80), "guest_score": (470, 40, 80), "period": (303, 135, 60),
    "home_shots": (50, 200, 56), "guest_shots": (480, 200, 56),
    "home_timeouts": (200, 232, 50), "guest_timeouts": (400, 232, 50),
}
FAULT_FIELD_NAMES = tuple(_FAULT_FIELDS)


def fault_script(seconds=FAULT_SECONDS):
    frames = []
    for index in range(seconds * FAULT_FPS):
        values = {}
        for name, text in _faces(_tenths(index)).items():
            if not text.strip():
                values[name] = None
            elif name == "clock":
                values[name] = board.clock_value(text)
            else:
                values[name] = int(text)
        faults = set()
        if index in GLARE_FRAMES:
            faults.update(_GLARED)
        if index in DAMAGED_FRAMES:
            faults.add("home_score")
        frames.append(Frame(index, values, tuple(sorted(faults)), index not in STOPPED_FRAMES))
    return frames


@functools.lru_cache(maxsize=2)
def _fault_board(tick):
    """The board at TICK, drawn once: the frames of one tenth of a second differ only in their
    counter (the caller copies it)."""
    fields = [board.Field(name, text, *_FAULT_FIELDS[name]) for name, text in _faces(tick).items()]
    return board.render_board(fields, style=FAULT_STYLE, width=WIDTH, height=HEIGHT, seed=tick)


def fault_zones():
    """The zones an operator marks on the board, named after their roles, in board order."""
    drawn = _fault_board(0)
    return [dict(drawn.zones[name], name=name) for name in FAULT_FIELD_NAMES]


def _damage_units_bar(frame, name):
    """Paints the upper right bar of the field's units digit over with the panel."""
    x, y, height = _FAULT_FIELDS[name]
    f = board.Field(name, "00", x, y, height)
    dw = f.digit_width
    left = x + (dw + f.gap) + dw - max(2.0, 0.2 * dw) - 2
    frame[y:y + height // 2, int(left):int(x + (dw + f.gap) + dw + 2)] = board._PANEL_DARK


def _glare(frame):
    """A bright flash fading out from one point, as a light swinging into the camera gives."""
    ys, xs = np.mgrid[0:HEIGHT, 0:WIDTH]
    cx, cy = _GLARE_CENTRE
    weight = np.exp(-(((xs - cx) ** 2 + (ys - cy) ** 2) / (2.0 * (_GLARE_RADIUS / 2.0) ** 2)))[..., None] * 0.85
    white = np.full_like(frame, 235)
    return (frame * (1.0 - weight) + white * weight).astype(np.uint8)


def _draw_code(frame, index):
    """The frame number in binary as white and black cells between two white markers."""
    bits = [1] + [(index >> (_CODE_BITS - 1 - k)) & 1 for k in range(_CODE_BITS)] + [1]
    for k, bit in enumerate(bits):
        x = _CODE_X + k * _CODE_CELL
        frame[_CODE_Y:_CODE_Y + _CODE_CELL, x:x + _CODE_CELL] = 255 if bit else 0


def read_frame_code(image):
    """The frame number drawn into IMAGE, or None when the markers are not there."""
    if image is None or image.shape[0] != HEIGHT or image.shape[1] != WIDTH:
        return None
    gray = image if image.ndim == 2 else image.mean(axis=2)
    bits = []
    for k in range(_CODE_BITS + 2):
        x = _CODE_X + k * _CODE_CELL
        cell = gray[_CODE_Y + 3:_CODE_Y + _CODE_CELL - 3, x + 3:x + _CODE_CELL - 3]
        bits.append(1 if cell.mean() > 128 else 0)
    if bits[0] != 1 or bits[-1] != 1:
        return None
    value = 0
    for bit in bits[1:-1]:
        value = value * 2 + bit
    return value


def render_fault_frame(frame):
    """The BGR image of one frame of the fault script."""
    image = _fault_board(_tenths(frame.index)).frame.copy()
    if frame.index in DAMAGED_FRAMES:
        _damage_units_bar(image, "home_score")
    if frame.index in GLARE_FRAMES:
        image = _glare(image)
    _draw_code(image, frame.index)
    return image
