"""The receiver's state in the words the console shows: each state of each receiver, and the
empty states that say what to do next."""

import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "agent"))

from settings_store import validate  # noqa: E402
from status_words import describe  # noqa: E402

SETTINGS = validate({"srt": {"port": 9000}, "ndi": {"source": "BOARD"}})[0]
SOURCES = [{"name": "BOARD", "url_address": None}]


@pytest.mark.parametrize("kind, status, extra, level, words", [
    ("none", None, {}, "waiting", "No receiver is chosen: pick SRT or NDI"),
    ("srt", None, {"problem": "wancapture is not available"}, "error", "Wancapture is not available."),
    ("srt", None, {}, "waiting", "Starting the SRT receiver on port 9000."),
    ("srt", None, {"running": False}, "waiting", "The SRT receiver is not running."),
    ("srt", {"state": "listening"}, {}, "waiting", "Waiting for a caller on SRT port 9000"),
    ("srt", {"state": "connecting"}, {}, "waiting", "A caller connected on SRT port 9000"),
    ("srt", {"state": "connected", "width": 1280, "height": 720, "frame_rate_n": 30000, "frame_rate_d": 1001},
     {}, "ok", "Receiving 1280×720 at 29.97 fps from the SRT caller on port 9000."),
    ("srt", {"state": "connected", "width": 0, "height": 0, "frame_rate_n": 0, "frame_rate_d": 0},
     {}, "ok", "Receiving video from the SRT caller on port 9000."),
    ("srt", {"state": "error", "error": "expected H.264 video"}, {}, "error", "SRT receiver: expected H.264 video."),
    ("srt", {"state": "offline"}, {}, "waiting", "The SRT receiver is offline (port 9000)."),
    ("ndi", {"receiver_state": "no_source"}, {"sources": []}, "waiting",
     "No NDI source found: start an NDI sender on this network, then press Refresh."),
    ("ndi", {"receiver_state": "no_source"}, {"sources": SOURCES}, "waiting", "1 NDI source(s) found: pick one."),
    ("ndi", {"receiver_state": "connecting"}, {}, "waiting", "Connecting to the NDI source 'BOARD'."),
    ("ndi", {"receiver_state": "connected", "width": 1920, "height": 1080, "frame_rate_n": 25, "frame_rate_d": 1},
     {}, "ok", "Receiving 1920×1080 at 25 fps from the NDI source 'BOARD'."),
    ("ndi", {"receiver_state": "offline", "error": "No recent video frames"}, {}, "error",
     "The NDI source 'BOARD' sends no pictures (No recent video frames); retrying."),
    ("ndi", {"receiver_state": "offline", "error": None}, {}, "error", "The NDI source 'BOARD' is not on the network"),
    ("ndi", {"receiver_state": "error", "error": "NDI receiver error"}, {}, "error", "NDI receiver: NDI receiver error."),
    ("ndi", "not a document", {}, "waiting", "Starting the NDI receiver."),
])
def test_states_in_words(kind, status, extra, level, words):
    got_level, got_words = describe(kind, status, SETTINGS, **extra)
    assert got_level == level
    assert got_words.startswith(words)
