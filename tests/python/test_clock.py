"""Clock reading: composition of the two digit pairs around the detected separator, the result's
shape, the three forms on rendered clocks, and the failure paths."""
import cv2
import numpy as np
import pytest

import board
import native_ocr.panelsight as panelsight
import native_ocr.segmark as segmark
from threads import mismatches_from_two_threads

CLOCK_KEYS = ["value", "raw_value", "digits", "digit_items", "ocr_items", "geometry_items", "separator_x",
              "separator_char", "clock_mode", "valid", "stable", "accepted", "reason", "debug"]
NO_FRAME = {"value": None, "valid": False, "reason": "no_frame"}
CROP = np.zeros((50, 200, 3), np.uint8)


def slot(status, char=None):
    return {"status": status, "char": char, "confidence": 1.0}


@pytest.fixture
def faked(monkeypatch):
    """Sets what the digit reader and the separator detection answer."""
    def fake(items, separator):
        monkeypatch.setattr(segmark, "read_slots", lambda binary, layout: list(items))
        monkeypatch.setattr(panelsight, "_detect_clock_separator_without_regions", lambda crop, angle: separator)
    return fake


COLON = {"x": 100.0, "char": ":", "mode": "minutes", "confidence": 0.91}
POINT = {"x": 100.0, "char": ".", "mode": "tenths", "confidence": 0.8}
D, E, U = (lambda c: slot("digit", c)), slot("empty"), slot("unknown")


@pytest.mark.parametrize("items,separator,value", [
    ([D(1), D(2), D(3), D(4)], COLON, "12:34"),
    ([E, D(5), D(0), D(7)], COLON, "5:07"),
    ([D(0), D(5), D(3), D(0)], COLON, "05:30"),
    ([D(4), D(5), D(6), E], POINT, "45.6"),
    ([D(4), D(5), D(6), D(8)], POINT, "45.6"),
    ([E, D(9), D(4), E], POINT, "9.4"),
    ([D(4), D(5), E, D(8)], POINT, None),
    ([D(1), D(2), U, D(4)], COLON, None),
    ([U, D(2), D(3), D(4)], POINT, None),
    ([E, E, D(3), D(4)], COLON, None),
    ([D(1), D(2), E, E], COLON, None),
    ([D(1), D(2), D(3), D(4)], None, "12:34"),
    ([D(1), D(2), D(3), D(4)], {}, "12:34"),
    ([D(1), D(2), D(3), D(4)], {"x": 90.0}, "12:34"),
    ([D(1), D(2)], COLON, None),
])
def test_composition(faked, items, separator, value):
    faked(items, separator)
    r = panelsight.read_clock_from_crop(CROP)
    assert list(r) == CLOCK_KEYS
    assert r["value"] == value and r["raw_value"] is r["value"]
    assert r["valid"] is r["accepted"] is (value is not None) and r["stable"] is True
    assert r["reason"] == ("raw" if value else "unrecognized")
    assert r["digits"] == [i.get("char") for i in items]
    assert len(r["ocr_items"]) == len(items[:2]) + 1 + len(items[2:4])


def test_separator_entry_and_debug(faked):
    faked([D(1), D(2), D(3), D(4)], COLON)
    r = panelsight.read_clock_from_crop(CROP)
    entry = r["ocr_items"][2]
    assert list(entry) == ["kind", "char", "status", "confidence", "box"]
    layout = panelsight.clock_slots(200, 50, separator_x=100.0)
    assert entry == {"kind": "separator", "char": ":", "status": "separator", "confidence": 0.91,
                     "box": layout[2]["box"]}
    assert r["geometry_items"] == layout and r["separator_x"] == 100.0
    assert (r["separator_char"], r["clock_mode"]) == (":", "minutes")
    assert r["debug"] == {"angle": 0.0, "crop_size": [200, 50], "layout": layout, "separator": COLON}

    faked([D(1), D(2), D(3), D(4)], None)
    r = panelsight.read_clock_from_crop(CROP)
    assert r["ocr_items"][2] == {"kind": "separator", "char": ":", "status": "unknown", "confidence": 0.0,
                                 "box": panelsight.clock_slots(200, 50)[2]["box"]}
    assert (r["separator_x"], r["separator_char"], r["clock_mode"], r["debug"]["separator"]) == \
        (None, ":", "minutes", None)

    faked([D(4), D(5), D(6), E], {"x": "80", "char": ".", "mode": "tenths", "confidence": "0.7"})
    r = panelsight.read_clock_from_crop(CROP)
    assert r["ocr_items"][2]["confidence"] == 0.7 and r["clock_mode"] == "tenths"
    assert r["geometry_items"] == panelsight.clock_slots(200, 50, separator_x=80)


def test_roles(faked):
    faked([D(1), D(2), D(3), D(4)], COLON)
    for role in (None, "", "clock", "home_penalty_1"):
        assert panelsight.read_clock_from_crop(CROP, role=role)["value"] == "12:34"
    faked([D(1), D(2)], COLON)
    r = panelsight.read_clock_from_crop(CROP, "home_score")
    assert r["value"] is None and r["ocr_items"][2]["box"] is None
    with pytest.raises(TypeError):
        panelsight.read_clock_from_crop(CROP, role=5)


def test_no_frame():
    assert panelsight.read_clock_from_crop(None) == NO_FRAME
    assert panelsight.read_clock_from_crop(np.zeros((0, 4, 3), np.uint8)) == NO_FRAME
    zone = {"x": 0.1, "y": 0.1, "width": 0.5, "height": 0.5, "role": "clock"}
    assert panelsight.read_clock(zone, "/nonexistent/preview.jpg") == NO_FRAME
    assert panelsight.read_clock_zone(zone, "/nonexistent/preview.jpg") == NO_FRAME
    assert panelsight.read_clock_from_image(dict(zone, width=0), CROP) == NO_FRAME


CLOCKS = [("12:34", 70, "square"), (" 9:05", 50, "round"), ("45.6 ", 90, "square"), (" 0.8 ", 60, "round")]


# Slanted faces and dark-on-light LCDs have tests of their own below.
@pytest.mark.parametrize("style", [s for s in board.STYLES if s not in ("slanted", "lcd")])
def test_rendered_clocks_read_in_all_three_forms(style, tmp_path):
    fields = [board.Field("clock", text, 20, 20 + 100 * i, height) for i, (text, height, _) in enumerate(CLOCKS[:2])]
    fields += [board.Field("home_penalty_1", CLOCKS[2][0], 330, 20, CLOCKS[2][1]),
               board.Field("guest_penalty_1", CLOCKS[3][0], 330, 150, CLOCKS[3][1])]
    for shape in ("square", "round"):
        b = board.render_board(fields, style=style, width=640, height=300, dot_shape=shape)
        path = tmp_path / f"{style}_{shape}.png"
        cv2.imwrite(str(path), b.frame)
        for role, zone in b.zones.items():
            want = board.clock_value(b.truths[role])
            crop = panelsight.crop_zone_from_image(zone, b.frame)
            by_crop = panelsight.read_clock_from_crop(crop, role, zone.get("processing"))
            assert by_crop["value"] == want, (style, shape, role, by_crop["digits"], by_crop["debug"]["separator"])
            assert panelsight.read_clock_from_image(zone, b.frame) == by_crop
            by_file = panelsight.read_clock(zone, path)
            assert by_file["value"] == want and by_file == panelsight.read_clock_zone(zone, str(path))


def test_slanted_clocks_find_their_separator_and_a_gentle_slant_reads():
    # The digit reader takes upright faces; the separator is found on the slanted one all the same.
    for text, char in (("12:34", ":"), ("45.6 ", ".")):
        b = board.render_board([board.Field("clock", text, 30, 30, 70)], style="slanted")
        r = panelsight.read_clock_from_image(b.zones["clock"], b.frame)
        assert r["separator_char"] == char and r["ocr_items"][2]["status"] == "separator"
    b = board.render_board([board.Field("clock", " 9:05", 30, 30, 70)], style="slanted")
    assert panelsight.read_clock_from_image(b.zones["clock"], b.frame)["value"] == "9:05"


def test_dark_on_light_lcd_clocks_fall_back_to_a_centred_colon():
    b = board.render_board([board.Field("clock", "12:34", 30, 30, 70)], style="lcd")
    r = panelsight.read_clock_from_image(b.zones["clock"], b.frame)
    assert r["value"] == "12:34"


def test_zone_objects_and_roles_at_the_image_form():
    b = board.render_board([board.Field("clock", "12:34", 30, 30, 70)], style="led_red")
    zone = dict(b.zones["clock"])

    class Zone(dict):
        role = "home_penalty_2"
    assert panelsight.read_clock_from_image(Zone(zone), b.frame)["value"] == "12:34"
    assert panelsight.read_clock_from_image(dict(zone, role="period"), b.frame)["value"] is None
    with pytest.raises(KeyError):
        panelsight.read_clock_from_image({"x": 0, "y": 0, "width": 1}, b.frame)


def test_clock_reads_from_two_threads_match():
    b = board.render_board([board.Field("clock", "12:34", 20, 20, 70), board.Field("home_penalty_1", "45.6 ", 330, 20, 70)])
    calls = [(lambda want, z=z: panelsight.read_clock_from_image(z, b.frame)["value"] == want, want)
             for z, want in zip(b.zones.values(), ["12:34", "45.6"])]
    assert all(call(want) for call, want in calls)
    assert mismatches_from_two_threads(calls, rounds=15) == 0
