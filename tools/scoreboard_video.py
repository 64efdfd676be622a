"""A synthetic scoreboard video with known values, for the pipeline demo and its end-to-end test.

The board shows a game clock counting down one second per second, both scores, the period and the
home shots. The shots go up by one every second, so they also tell which second of the video a
preview shows: the true values of any preview follow from its shots reading.
"""

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
