"""The robust reading profile ("profile": "robust" in a zone's processing) and the calibration
module: each fault real boards show, read right or refused, never read wrong and marked valid; the
specified path untouched without the key."""

import json
import subprocess
import sys

import cv2
import numpy as np
import pytest

import native_ocr.calibrate as calibrate
import native_ocr.panelsight as panelsight
from robust_fixtures import render_field

ROBUST = {"profile": "robust"}
RED = (40, 40, 235)
LCD_INK, LCD_PANEL = (40, 44, 40), (186, 196, 186)


def read(role, crop, processing=ROBUST):
    if role == "clock":
        return panelsight.read_clock_from_crop(crop, "clock", processing)
    if role == "period":
        return panelsight.read_period_from_crop(crop, processing)
    if role in panelsight.SINGLE_DIGIT_ROLES:
        return panelsight.read_single_digit_from_crop(crop, role, processing)
    return panelsight.read_score_from_crop(crop, role, processing)


# One line per fault; the expected value is None where the only right answer is "not valid".
FAULTS = [
    ("clean clock", "clock", "12:34", {}, "12:34"),
    ("clean score", "home_score", "47", {}, 47),
    ("blank leading score digit", "home_score", " 7", {}, 7),
    ("leading zero stays", "clock", "05:07", {}, "05:07"),
    ("blank leading minute", "clock", " 5:07", {}, "5:07"),
    ("ghosted unlit segments", "home_score", "41", {"ghost": 0.35}, 41),
    ("strong ghosts and a blank tens", "home_score", " 1", {"ghost": 0.28}, 1),
    ("ghosted clock", "clock", "10:17", {"ghost": 0.3}, "10:17"),
    ("dim red LED", "home_score", "38", {"ink": RED}, 38),
    ("glare gradient", "clock", "23:58", {"glare": 0.8}, "23:58"),
    ("italic 4 (12 degrees)", "home_score", "44", {"slant": 0.21}, 44),
    ("italic clock (6 degrees)", "clock", "14:41", {"slant": 0.1}, "14:41"),
    ("wide colon gap", "clock", "12:59", {"colon_gap": 0.13}, "12:59"),
    ("off-centre zone", "clock", "12:34", {"margin": (0.02, 0.3, 0.15, 0.15)}, "12:34"),
    ("decimal point under the colon gap", "clock", "45.6 ", {}, "45.6"),
    ("decimal point after the seconds", "clock", "45.6 ", {"decimal_at": "after"}, "45.6"),
    ("dark-on-light LCD tenths", "clock", "48.5 ", {"ink": LCD_INK, "panel": LCD_PANEL, "style": "lcd"}, "48.5"),
    ("dark-on-light LCD minutes", "clock", "48:50", {"ink": LCD_INK, "panel": LCD_PANEL, "style": "lcd"}, "48:50"),
    ("split 1s beside a colon", "clock", "11:37", {"style": "lcd"}, "11:37"),
    ("small digits, 16 px", "home_score", "49", {"height": 16}, 49),
    ("hooked 7", "period", "7", {"faces": {"seven": "7hooked"}}, 7),
    ("6 without its top bar", "period", "6", {"faces": {"six": "6bare"}}, 6),
    ("9 without its bottom bar", "period", "9", {"faces": {"nine": "9bare"}}, 9),
    ("dot-matrix face", "home_score", "52", {"dots": True, "height": 70}, 52),
    ("single digit role", "down", "3", {}, 3),
    ("slanted hex 7 beside a blank tens", "home_score", " 7", {"slant": 0.2, "style": "hex", "height": 26, "ghost": 0.2}, 7),
    ("small ghosted digits under a sideways pan", "home_score", "47", {"height": 26, "motion": 7, "ghost": 0.2, "style": "lcd"}, 47),
]


@pytest.mark.parametrize("name,role,text,look,expected", FAULTS, ids=[f[0] for f in FAULTS])
def test_robust_reads_each_fault(name, role, text, look, expected):
    result = read(role, render_field(text, **look))
    assert result["value"] == expected, (name, result["reason"], result["debug"])
    assert result["valid"] is (expected is not None)


def test_blank_bright_zone_is_not_an_eight():
    for panel in [(250, 250, 250), (16, 14, 12), (120, 140, 130)]:
        crop = np.full((60, 90, 3), panel, np.uint8)
        for role in ("home_score", "period", "clock"):
            result = read(role, crop)
            assert result["valid"] is False and result["value"] is None, (panel, role, result["reason"])


def test_a_solid_blob_is_not_an_eight():
    crop = np.full((70, 120, 3), 16, np.uint8)
    crop[10:60, 20:50] = (0, 165, 255)
    crop[10:60, 70:100] = (0, 165, 255)
    result = read("home_score", crop)
    assert result["valid"] is False


def test_washed_out_digit_is_refused_not_misread():
    crop = render_field("43", ghost=0.0)
    half = crop.shape[1] // 2
    # The tens digit washed out to a third of its contrast, nearly the panel's own level.
    crop[:, :half] = (crop[:, :half].astype(np.float32) * 0.22 + 20).astype(np.uint8)
    result = read("home_score", crop)
    assert result["value"] in (43, None)
    assert result["value"] != 3


def test_moving_zone_edges_through_the_margin_keeps_the_reading():
    crop = render_field("12:34", margin=(0.25, 0.25, 0.25, 0.25))
    h, w = crop.shape[:2]
    values = set()
    for left in range(0, int(w * 0.12), 3):
        for right in range(0, int(w * 0.12), 4):
            values.add(read("clock", crop[:, left:w - right])["value"])
    assert values == {"12:34"}


@pytest.mark.parametrize("role,text", [("clock", "12:34"), ("home_score", "47"), ("period", "2")])
def test_results_keep_the_reader_keys(role, text):
    crop = render_field(text)
    robust = read(role, crop)
    plain = read(role, crop, None)
    assert list(robust) == list(plain)
    assert list(robust["debug"])[:len(plain["debug"])] == list(plain["debug"])
    for key in ("profile", "channel", "polarity", "slant", "threshold", "confidence"):
        assert key in robust["debug"]
    assert len(robust["ocr_items"]) == len(plain["ocr_items"])


@pytest.mark.parametrize("processing", [None, {}, {"profile": "default"}, {"profile": "ROBUST"},
                                        {"profile": 1}, {"threshold": 60}])
def test_other_profiles_keep_the_specified_path(processing):
    crop = render_field("12:34", ink=RED)
    for role in ("clock", "home_score", "period"):
        got = read(role, crop, processing)
        again = read(role, crop, dict(processing or {}, threshold=(processing or {}).get("threshold", 150)))
        assert got["value"] == again["value"]
        assert "profile" not in got.get("debug", {})
    display = panelsight.prepare_display_from_crop(crop, True, processing)
    assert list(display) == ["binary", "angle", "crop_size", "separator", "processing"]


def test_image_and_file_forms_take_the_robust_path(tmp_path):
    crop = render_field("12:34", ink=RED)
    frame = np.zeros((200, 400, 3), np.uint8)
    frame[:] = crop[0, 0]
    h, w = crop.shape[:2]
    frame[50:50 + h, 100:100 + w] = crop
    zone = {"x": 100 / 400, "y": 50 / 200, "width": w / 400, "height": h / 200, "role": "clock",
            "processing": {"profile": "robust"}}
    path = str(tmp_path / "frame.png")
    import cv2
    cv2.imwrite(path, frame)
    assert panelsight.read_clock_from_image(zone, frame)["value"] == "12:34"
    assert panelsight.read_clock(zone, path)["value"] == "12:34"
    assert panelsight.read_clock_zone(zone, path)["debug"]["profile"] == "robust"
    display = panelsight.prepare_display_from_image(zone, frame, True, zone["processing"])
    assert display["separator"]["char"] == ":"
    assert display["binary"].shape == (h, w) and set(np.unique(display["binary"])) <= {0, 255}


def test_robust_short_results_and_errors():
    assert read("clock", None) == {"value": None, "valid": False, "reason": "no_frame"}
    assert read("home_score", np.zeros((0, 5, 3), np.uint8))["reason"] == "no_frame"
    assert panelsight.read_single_digit_from_crop(None, "period", ROBUST)["reason"] == "layout"
    with pytest.raises(ValueError):
        read("clock", render_field("12:34"), {"profile": "robust", "threshold": "high"})
    assert read("clock", render_field("12:34"), {"profile": "robust", "robust_channel": "purple"})["value"] == "12:34"


# -- calibration ------------------------------------------------------------------------------------

def board(fields):
    """A frame holding each (role, crop) side by side, with its zones."""
    h = max(c.shape[0] for _, c in fields) + 20
    w = sum(c.shape[1] for _, c in fields) + 20 * (len(fields) + 1)
    frame = np.zeros((h, w, 3), np.uint8)
    frame[:] = fields[0][1][0, 0]
    zones, x = {}, 20
    for role, crop in fields:
        ch, cw = crop.shape[:2]
        frame[10:10 + ch, x:x + cw] = crop
        zones[role] = {"x": x / w, "y": 10 / h, "width": cw / w, "height": ch / h, "role": role}
        x += cw + 20
    return frame, zones


def test_suggestion_is_complete_deterministic_and_robust():
    look = {"ink": LCD_INK, "panel": LCD_PANEL, "slant": 0.12}
    frame, zones = board([("clock", render_field("12:34", **look)), ("home_score", render_field("47", **look))])
    for zone in zones.values():
        first = calibrate.suggest_processing(frame, zone)
        assert first == calibrate.suggest_processing(frame.copy(), dict(zone))
        assert first["profile"] == "robust"
        assert list(first)[:11] == list(panelsight.DEFAULT_PROCESSING)
        assert first["robust_polarity"] == "dark" and first["invert"] is True
        assert 0.08 <= first["robust_slant"] <= 0.16
        assert json.loads(json.dumps(first)) == first


def test_a_suggestion_keeps_reading_later_frames():
    look = {"ink": RED, "ghost": 0.3, "slant": 0.1}
    still, zones = board([("clock", render_field("10:00", **look)), ("home_score", render_field(" 0", **look))])
    settings = {role: calibrate.suggest_processing(still, z) for role, z in zones.items()}
    for clock, score in [("59:48", "17"), ("07:11", " 9"), ("20:36", "84")]:
        frame, later = board([("clock", render_field(clock, **look)), ("home_score", render_field(score, **look))])
        c = dict(later["clock"], processing=settings["clock"])
        s = dict(later["home_score"], processing=settings["home_score"])
        assert panelsight.read_clock_from_image(c, frame)["value"] == clock
        assert panelsight.read_score_from_image(s, frame)["value"] == int(score)


def test_a_still_that_does_not_read_leaves_the_lean_to_each_frame():
    # A lean locked from a still that did not read would be locked wrong more often than not (an
    # italic 4 read upright is a confident 9 on every later frame).
    blob = np.full((70, 120, 3), 16, np.uint8)
    blob[10:60, 20:50] = (0, 165, 255)
    blob[10:60, 70:100] = (0, 165, 255)
    frame, zones = board([("home_score", blob)])
    got = calibrate.suggest_processing(frame, zones["home_score"])
    assert got["profile"] == "robust" and "robust_slant" not in got
    slanted, zones = board([("home_score", render_field("47", slant=0.12))])
    assert 0.08 <= calibrate.suggest_processing(slanted, zones["home_score"])["robust_slant"] <= 0.16


@pytest.mark.parametrize("zone", [{"x": 2.0, "y": 0, "width": 0.1, "height": 0.1, "role": "clock"},
                                  {"x": 0, "y": 0, "width": 0, "height": 1}])
def test_suggestion_for_an_empty_zone_is_the_plain_robust_profile(zone):
    got = calibrate.suggest_processing(np.zeros((40, 40, 3), np.uint8), zone)
    assert got == dict(panelsight.normalize_settings(None), profile="robust")


# -- command line -----------------------------------------------------------------------------------

def test_command_line_robust_and_calibrate(tmp_path):
    import cv2
    frame, zones = board([("clock", render_field("12:34", ink=RED, glare=0.6))])
    path = str(tmp_path / "board.png")
    cv2.imwrite(path, frame)
    z = zones["clock"]
    args = [sys.executable, "-m", "native_ocr", "read", path, "--role", "clock",
            "--zone", ",".join(str(z[k]) for k in ("x", "y", "width", "height"))]
    for flag in ("--robust", "--calibrate"):
        out = subprocess.run(args + [flag], capture_output=True, text=True)
        assert out.returncode == 0, out.stderr
        doc = json.loads(out.stdout)
        assert doc["value"] == "12:34"
        if flag == "--calibrate":
            assert doc["processing"]["profile"] == "robust"


def _led_digit(canvas, x0, y0, pitch, lit):
    """A dot-matrix digit of round LEDs, 5 across and 9 down, whose right column stands one LED
    apart from the rest, as on boards that wire each bar separately."""
    cells = {"A": [(c, 0) for c in range(4)], "D": [(c, 8) for c in range(4)], "G": [(c, 4) for c in range(4)],
             "F": [(0, r) for r in range(5)], "E": [(0, r) for r in range(4, 9)],
             "B": [(5, r) for r in range(5)], "C": [(5, r) for r in range(4, 9)]}
    for name in lit:
        for c, r in cells[name]:
            cv2.circle(canvas, (int(x0 + c * pitch), int(y0 + r * pitch)), int(pitch * 0.4), (60, 220, 60), -1)


@pytest.mark.parametrize("text", ["47", "74", "17"])
def test_dot_matrix_pieces_beside_a_bar_belong_to_its_digit(text):
    # The top bar of a 7, or the left and middle bars of a 4, stand apart from the digit's right
    # column of LEDs: they are part of that digit, never separator dots beside a 1.
    lit = {"1": "BC", "4": "FGBC", "7": "ABC"}
    pitch = 12
    crop = np.full((9 * pitch + 40, 2 * 8 * pitch + 40, 3), 12, np.uint8)
    for i, ch in enumerate(text):
        _led_digit(crop, 20 + i * 8 * pitch, 20, pitch, lit[ch])
    result = read("home_score", crop)
    assert result["valid"] is True and result["value"] == int(text), result["debug"]
