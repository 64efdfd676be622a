import json
import subprocess
import sys
import threading
import types

import cv2
import numpy as np
import pytest

import board
import native_ocr.panelsight as panelsight
import native_ocr.segmark as segmark

FULL_KEYS = ["value", "digits", "valid", "reason", "ocr_items", "geometry_items", "debug"]
NO_FRAME = {"value": None, "valid": False, "reason": "no_frame"}
LAYOUT = {"value": None, "valid": False, "reason": "layout"}


def boxes(layout):
    return [s["box"] for s in layout]


# -- layouts ----------------------------------------------------------------------------------------

@pytest.mark.parametrize("args,expected", [
    ((100, 40, 2), [[0, 0, 49, 39], [50, 0, 99, 39]]),
    ((100, 40, 3), [[0, 0, 32, 39], [33, 0, 66, 39], [67, 0, 99, 39]]),
    ((5, 10, 2), [[0, 0, 2, 9], [2, 0, 4, 9]]),
    ((0, 0, 0), [[0, 0, 0, 0]]),
    ((-7, 3.9, 1.9), [[0, 0, 0, 2]]),
    ((100.9, 40, True), [[0, 0, 99, 39]]),
])
def test_equal_digit_slots(args, expected):
    layout = panelsight.equal_digit_slots(*args)
    assert boxes(layout) == expected
    assert [list(s) for s in layout] == [["kind", "slot", "box"]] * len(expected)
    assert [s["slot"] for s in layout] == list(range(len(expected)))
    assert all(type(v) is int for s in layout for v in s["box"])


@pytest.mark.parametrize("args,kwargs,expected", [
    ((200, 50), {}, [[0, 0, 46, 49], [47, 0, 94, 49], [94, 0, 104, 49], [106, 0, 152, 49], [153, 0, 199, 49]]),
    ((200, 50), {"separator_x": 20}, [[0, 0, 26, 49], [27, 0, 54, 49], [54, 0, 64, 49], [66, 0, 132, 49],
                                       [133, 0, 199, 49]]),
    ((200, 50), {"separator_x": "20"}, [[0, 0, 26, 49], [27, 0, 54, 49], [54, 0, 64, 49], [66, 0, 132, 49],
                                         [133, 0, 199, 49]]),
    ((40, 20), {}, [[0, 0, 8, 19], [9, 0, 17, 19], [18, 0, 21, 19], [22, 0, 30, 19], [31, 0, 39, 19]]),
])
def test_clock_slots(args, kwargs, expected):
    layout = panelsight.clock_slots(*args, **kwargs)
    assert boxes(layout) == expected
    assert [(s["kind"], s["slot"]) for s in layout] == [("digit", 0), ("digit", 1), ("separator", None),
                                                       ("digit", 2), ("digit", 3)]


def test_clock_separator_is_kept_within_the_middle():
    assert panelsight.clock_slots(200, 50, separator_x=190) == panelsight.clock_slots(200, 50, separator_x=140)
    assert panelsight.clock_slots(200, 50, separator_x=-1e9) == panelsight.clock_slots(200, 50, separator_x=60)


ROLE_LAYOUTS = [(role, 2) for role in ["home_score", "guest_score", "home_penalty_player_1", "home_penalty_player_2",
                                       "guest_penalty_player_1", "guest_penalty_player_2", "home_shots",
                                       "guest_shots", "to_go", "ball_on"]] + \
               [(role, 1) for role in ["period", "down", "home_timeouts", "guest_timeouts", "score", "", "Clock"]] + \
               [(role, 5) for role in ["clock", "home_penalty_1", "home_penalty_2", "guest_penalty_1",
                                       "guest_penalty_2"]]


@pytest.mark.parametrize("role,count", ROLE_LAYOUTS)
def test_layout_for_role(role, count):
    layout = panelsight.layout_for_role(role, 200, 50, separator_x=20)
    assert len(layout) == count
    if count == 5:
        assert layout == panelsight.clock_slots(200, 50, 20)
    else:
        assert layout == panelsight.equal_digit_slots(200, 50, count)


def test_layout_argument_types():
    assert panelsight.layout_for_role("clock", 80.7, 40) == panelsight.clock_slots(80, 40)
    assert panelsight.layout_for_role(role="score", width=80, height=30) == [
        {"kind": "digit", "slot": 0, "box": [0, 0, 79, 29]}]
    for call, name in [(lambda: panelsight.layout_for_role(None, 10, 10), "role"),
                       (lambda: panelsight.layout_for_role(b"clock", 10, 10), "role"),
                       (lambda: panelsight.equal_digit_slots("10", 10, 1), "width"),
                       (lambda: panelsight.equal_digit_slots(10, None, 1), "height"),
                       (lambda: panelsight.equal_digit_slots(10, 10, [1]), "count"),
                       (lambda: panelsight.clock_slots(10, 1j), "height")]:
        with pytest.raises(TypeError, match=name):
            call()
    with pytest.raises(ValueError):
        panelsight.clock_slots(100, 10, separator_x="middle")


# -- the digit reader is bound by name -----------------------------------------------------------------

def test_read_slots_goes_through_the_import_system(monkeypatch):
    calls = []
    fake = types.ModuleType("native_ocr.segmark")
    fake.read_slots = lambda binary, slots: calls.append((binary, slots)) or ["sentinel"]
    monkeypatch.setitem(sys.modules, "native_ocr.segmark", fake)
    image = np.zeros((4, 4), np.uint8)
    layout = panelsight.equal_digit_slots(4, 4, 1)
    assert panelsight._read_slots(image, layout) == ["sentinel"]
    assert calls[0][0] is image and calls[0][1] is layout
    monkeypatch.setattr(fake, "read_slots", lambda binary, slots: "replaced function")
    assert panelsight._read_slots(image, layout) == "replaced function"
    monkeypatch.setitem(sys.modules, "native_ocr.segmark", None)
    with pytest.raises(ImportError):
        panelsight._read_slots(image, layout)
    with pytest.raises(ImportError):
        panelsight.read_period_from_crop(np.zeros((20, 10, 3), np.uint8))


# -- reading rules, with the digit reader's answers chosen by the test -------------------------------

def slot_result(status, char=None):
    return {"kind": "digit", "slot": 0, "box": [0, 0, 1, 1], "char": char, "status": status, "confidence": 0.9}


@pytest.fixture
def answers(monkeypatch):
    """Makes the digit reader return the given slot results, whatever the image."""
    chosen = []

    def fake_read_slots(binary, slots):
        return [dict(r) for r in chosen]

    monkeypatch.setattr(segmark, "read_slots", fake_read_slots)
    return chosen


CROP = np.full((40, 60, 3), 30, np.uint8)


@pytest.mark.parametrize("tens,units,value,reason", [
    (("empty",), ("digit", 7), 7, "ok"),
    (("digit", 0), ("digit", 7), 7, "ok"),
    (("digit", 4), ("digit", 2), 42, "ok"),
    (("digit", 4), ("empty",), None, "missing_units"),
    (("digit", 4), ("unknown",), None, "missing_units"),
    (("unknown",), ("digit", 3), None, "unrecognized"),
    (("empty",), ("empty",), None, "missing_units"),
])
def test_score_rules(answers, tens, units, value, reason):
    answers[:] = [slot_result(*tens), slot_result(*units)]
    result = panelsight.read_score_from_crop(CROP)
    assert list(result) == FULL_KEYS
    assert (result["value"], result["valid"], result["reason"]) == (value, value is not None, reason)
    assert result["digits"] == [answers[0]["char"], answers[1]["char"]]
    assert result["ocr_items"] == answers
    assert result["geometry_items"] == panelsight.equal_digit_slots(60, 40, 2)
    assert result["debug"] == {"angle": 0.0, "crop_size": [60, 40], "layout": result["geometry_items"]}
    assert result["debug"]["layout"] is result["geometry_items"]


def test_score_with_other_than_two_results_is_a_layout_result(answers):
    answers[:] = [slot_result("digit", 1)] * 3
    result = panelsight.read_score_from_crop(CROP)
    assert result == dict(LAYOUT, ocr_items=answers)
    assert list(result) == ["value", "valid", "reason", "ocr_items"]


@pytest.mark.parametrize("status,char,expected", [
    ("digit", 2, (2, [2], True, "ok")),
    ("empty", None, (None, [None], False, "empty")),
    ("unknown", None, (None, [None], False, "unknown")),
])
def test_period_rules(answers, status, char, expected):
    answers[:] = [slot_result(status, char)]
    result = panelsight.read_period_from_crop(CROP)
    assert (result["value"], result["digits"], result["valid"], result["reason"]) == expected
    assert result["geometry_items"] == panelsight.equal_digit_slots(60, 40, 1)


@pytest.mark.parametrize("role,status,char,expected", [
    ("home_timeouts", "digit", 3, (3, True, "ok")),
    ("down", "digit", "4", (4, True, "ok")),
    ("down", "digit", "x", (None, False, "digit")),
    ("guest_timeouts", "empty", None, (None, False, "empty")),
])
def test_single_digit_rules(answers, role, status, char, expected):
    answers[:] = [slot_result(status, char)]
    result = panelsight.read_single_digit_from_crop(CROP, role)
    assert (result["value"], result["valid"], result["reason"]) == expected
    assert result["digits"] == [char]
    assert type(result["value"]) in (int, type(None))


def test_single_digit_refuses_other_roles_before_looking_at_the_crop():
    for role in ["period", "home_score", None, ""]:
        assert panelsight.read_single_digit_from_crop(None, role) == LAYOUT
    assert panelsight.read_single_digit_from_crop(None, "down") == NO_FRAME
    assert panelsight.read_single_digit_from_crop(np.zeros((0, 5, 3), np.uint8), "down") == NO_FRAME


def test_score_role_defaults(answers):
    answers[:] = [slot_result("digit", 1), slot_result("digit", 2)]
    for role in [None, "", "home_score"]:
        assert panelsight.read_score_from_crop(CROP, role=role)["value"] == 12
    answers[:] = [slot_result("digit", 1)]
    assert panelsight.read_score_from_crop(CROP, role="period")["reason"] == "layout"


# -- whole boards in every look, through the three forms ----------------------------------------------

READERS = {
    "home_score": ("score", lambda t: int(t)), "guest_score": ("score", lambda t: int(t)),
    "home_shots": ("score", lambda t: int(t)), "guest_shots": ("score", lambda t: int(t)),
    "period": ("period", int), "down": ("single_digit", int), "home_timeouts": ("single_digit", int),
}


def read_three_ways(kind, zone, frame, path):
    crop = panelsight.crop_zone_from_image(zone, frame)
    by_crop = {
        "score": lambda: panelsight.read_score_from_crop(crop, zone["role"], zone.get("processing")),
        "period": lambda: panelsight.read_period_from_crop(crop, processing=zone.get("processing")),
        "single_digit": lambda: panelsight.read_single_digit_from_crop(crop, zone["role"], zone.get("processing")),
    }[kind]()
    by_image = getattr(panelsight, f"read_{kind}_from_image")(zone, frame)
    by_file = getattr(panelsight, f"read_{kind}")(zone, path)
    return by_crop, by_image, by_file


@pytest.mark.parametrize("style", board.STYLES)
def test_every_field_of_every_look_reads_right(style, tmp_path):
    b = board.render_board(board.standard_fields(), style=style, seed=3)
    path = tmp_path / "preview.png"  # lossless, so the file form sees the frame itself
    cv2.imwrite(str(path), b.frame)
    for role, zone in b.zones.items():
        kind, to_value = READERS[role]
        by_crop, by_image, by_file = read_three_ways(kind, zone, b.frame, path)
        assert by_crop["value"] == to_value(b.truths[role]), (style, role, by_crop)
        assert by_crop["valid"] and by_crop["reason"] == "ok"
        assert by_image == by_crop and by_file == by_crop


def test_a_jpeg_preview_reads_through_the_file_form(tmp_path):
    b = board.render_board(board.standard_fields(), style="led_red", seed=5)
    path = tmp_path / "srt_preview.jpg"
    cv2.imwrite(str(path), b.frame, [cv2.IMWRITE_JPEG_QUALITY, 80])
    assert panelsight.read_score(b.zones["home_score"], path)["value"] == 47
    assert panelsight.read_score(b.zones["guest_score"], str(path))["value"] == 3
    assert panelsight.read_period(b.zones["period"], path)["value"] == 2


def test_failure_reasons_on_real_crops():
    b = board.render_board([board.Field("home_score", "4 ", 40, 40, 80), board.Field("period", " ", 300, 40, 80),
                            board.Field("guest_score", "88", 420, 40, 80)], style="led_amber")
    assert panelsight.read_score_from_image(b.zones["home_score"], b.frame)["reason"] == "missing_units"
    assert panelsight.read_period_from_image(b.zones["period"], b.frame)["reason"] == "empty"
    smeared = b.frame.copy()
    z = b.zones["guest_score"]
    x1, y1, x2, y2 = panelsight.normalized_zone_bounds(z, smeared.shape[1], smeared.shape[0])
    tens = smeared[y1:y2, x1:(x1 + x2) // 2]
    tens[:] = 0  # the tens place shows a diagonal slash instead of its digit: no segment pattern
    cv2.line(tens, (5, 5), (tens.shape[1] - 5, tens.shape[0] - 5), (0, 170, 255), 8)
    result = panelsight.read_score_from_image(z, smeared)
    assert result["reason"] == "unrecognized" and result["ocr_items"][0]["status"] == "unknown"


# -- short results and argument rules ------------------------------------------------------------------

ALL_FILE_FORMS = [panelsight.read_score, panelsight.read_period, panelsight.read_single_digit]


@pytest.mark.parametrize("reader", ALL_FILE_FORMS)
def test_missing_or_undecodable_files_give_no_frame(reader, tmp_path):
    zone = {"x": 0, "y": 0, "width": 1, "height": 1, "role": "down"}
    assert reader(zone, tmp_path / "missing.jpg") == NO_FRAME
    garbage = tmp_path / "garbage.jpg"
    garbage.write_bytes(b"\xff\xd8 not really a jpeg")
    assert reader(zone, garbage) == NO_FRAME


@pytest.mark.parametrize("zone_change", [{"width": 0}, {"x": 1.2}, {"x": -0.5, "width": 0.1}, {"height": -0.2}])
def test_zones_that_select_nothing_give_no_frame(zone_change):
    frame = np.zeros((60, 80, 3), np.uint8)
    zone = dict({"x": 0.1, "y": 0.1, "width": 0.5, "height": 0.5, "role": "down"}, **zone_change)
    assert panelsight.read_score_from_image(zone, frame) == NO_FRAME
    assert panelsight.read_period_from_image(zone, frame) == NO_FRAME
    assert panelsight.read_single_digit_from_image(zone, frame) == NO_FRAME


def test_zone_roles_at_the_image_form():
    frame = board.render_board(board.standard_fields()).frame
    zone = dict(board.render_board(board.standard_fields()).zones["home_score"])
    del zone["role"]
    assert panelsight.read_single_digit_from_image(zone, frame) == LAYOUT
    assert panelsight.read_score_from_image(zone, frame)["value"] == 47


class ZoneObject:
    """A zone as an object: geometry by item access, role and processing as attributes."""

    def __init__(self, mapping, role, processing):
        self.mapping, self.role, self.processing = mapping, role, processing

    def __getitem__(self, key):
        return self.mapping[key]


def test_zone_objects_read_like_dicts():
    b = board.render_board(board.standard_fields(), style="lcd")
    zone = b.zones["home_shots"]
    as_object = ZoneObject({k: zone[k] for k in ("x", "y", "width", "height")}, "home_shots", zone["processing"])
    assert panelsight.read_score_from_image(as_object, b.frame) == panelsight.read_score_from_image(zone, b.frame)
    assert panelsight.read_score_from_image(as_object, b.frame)["value"] == 29


def test_malformed_arguments_raise():
    frame = np.zeros((60, 80, 3), np.uint8)
    with pytest.raises(KeyError):
        panelsight.read_score_from_image({"x": 0, "y": 0, "width": 1}, frame)
    with pytest.raises(ValueError):
        panelsight.read_score_from_crop(frame, processing={"threshold": "high"})
    with pytest.raises(TypeError):
        panelsight.read_period_from_crop(frame, processing={"blur": None})
    with pytest.raises(cv2.error):
        panelsight.read_period_from_crop(frame.astype(np.float32))
    with pytest.raises(TypeError):
        panelsight.read_score_from_crop(frame, role=7)


def test_gray_frames_and_odd_settings_still_read():
    b = board.render_board(board.standard_fields(), style="led_amber")
    gray = cv2.cvtColor(b.frame, cv2.COLOR_BGR2GRAY)
    assert panelsight.read_score_from_image(b.zones["home_score"], gray)["value"] == 47
    odd = {"threshold": "90", "contrast": 99, "blur": -3, "morphology": "OPEN", "extra": object()}
    result = panelsight.read_period_from_image(dict(b.zones["period"], processing=odd), b.frame)
    assert result["value"] == 2
    assert result["debug"]["angle"] == 0.0


def test_keyword_arguments():
    crop = CROP
    assert panelsight.read_score_from_crop(crop=crop, role="guest_score", processing=None)["reason"] in (
        "missing_units", "ok", "unrecognized")
    assert panelsight.read_single_digit_from_crop(crop=None, role="down") == NO_FRAME
    assert panelsight.read_period(zone={"x": 0, "y": 0, "width": 1, "height": 1}, preview_path="/nonexistent") == NO_FRAME


def test_readers_from_two_threads_give_the_single_thread_results():
    b = board.render_board(board.standard_fields(), style="jpeg", seed=11)

    def read_all():
        return [panelsight.read_score_from_image(b.zones[r], b.frame) for r in ("home_score", "guest_score")] + \
               [panelsight.read_period_from_image(b.zones["period"], b.frame)]

    expected = read_all()
    out = [None, None]
    barrier = threading.Barrier(2)

    def work(i):
        barrier.wait()
        out[i] = [read_all() for _ in range(20)]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == expected for per in out for r in per)


# -- the command line ----------------------------------------------------------------------------------------

def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "native_ocr", *args], capture_output=True, text=True, timeout=60)


def test_command_line_reads_a_field(tmp_path):
    b = board.render_board(board.standard_fields(), style="lcd")
    path = tmp_path / "board.png"
    cv2.imwrite(str(path), b.frame)
    z = b.zones["home_score"]
    zone = f"{z['x']},{z['y']},{z['width']},{z['height']}"
    done = run_cli("read", "--role", "home_score", "--zone", zone, "--processing", json.dumps(z["processing"]),
                   str(path))
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert result["value"] == 47 and result["reason"] == "ok" and len(result["ocr_items"]) == 2
    clock = board.render_board([board.Field("clock", "12:34", 60, 40, 80)], style="led_red")
    cv2.imwrite(str(path), clock.frame)
    z = clock.zones["clock"]
    done = run_cli("read", "--role", "clock", "--zone", f"{z['x']},{z['y']},{z['width']},{z['height']}",
                   "--processing", json.dumps(z["processing"]), str(path))
    result = json.loads(done.stdout)
    assert done.returncode == 0 and result["value"] == "12:34" and result["separator_char"] == ":"
    assert result["debug"]["separator"]["mode"] == "minutes"
    missing = run_cli("read", "--role", "period", "--zone", "0,0,1,1", str(tmp_path / "none.jpg"))
    assert missing.returncode == 1 and json.loads(missing.stdout) == NO_FRAME


@pytest.mark.parametrize("args", [["read", "--role", "period", "--zone", "0,0,1", "x.jpg"],
                                  ["read", "--role", "period", "--zone", "0,0,1,1", "--processing", "[1]", "x.jpg"],
                                  ["read", "--zone", "0,0,1,1", "x.jpg"], []])
def test_command_line_refuses_bad_arguments(args):
    done = run_cli(*args)
    assert done.returncode == 2 and "usage" in done.stderr


def test_command_line_help():
    done = run_cli("read", "--help")
    assert done.returncode == 0 and "--zone" in done.stdout and "JSON" in done.stdout
