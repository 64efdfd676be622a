"""Inputs meant to break the readers: replaced stages, tables edited while they are read, giant
broadcast images, integers beyond 64 bits, foreign byte orders, unaligned buffers, FIFOs. Each case
gives Python's answer or Python's exception, never a crash."""

import importlib
import json
import math
import os
import sys

import cv2
import numpy as np
import pytest

import board
import native_ocr.panelsight as panelsight
import native_ocr.segmark as segmark
import sevenseg
from segmark_reference import Reference
import separator_reference

# -- one piece or stage by stage: the same answers ------------------------------------------------

FIELDS = [
    ("clock", "12:34", "led_amber"), ("clock", "45.6 ", "led_amber"), ("clock", " 2:05", "led_red"),
    ("clock", "09:58", "lcd"), ("home_score", "47", "led_amber"), ("home_score", " 7", "lcd"),
    ("period", "3", "led_red"), ("down", "2", "led_amber"),
]


def read_field(role, crop, processing):
    if role == "clock":
        return panelsight.read_clock_from_crop(crop, "clock", processing)
    if role == "period":
        return panelsight.read_period_from_crop(crop, processing)
    if role == "down":
        return panelsight.read_single_digit_from_crop(crop, "down", processing)
    return panelsight.read_score_from_crop(crop, role, processing)


@pytest.mark.parametrize("role,text,style", FIELDS)
def test_a_read_in_one_piece_equals_the_read_through_replaced_stages(monkeypatch, role, text, style):
    b = board.render_board([board.Field(role, text, 40, 40, 70)], style=style)
    crop = panelsight.crop_zone_from_image(b.zones[role], b.frame)
    processing = board.processing_for(style)
    for settings in (processing, dict(processing, rotation=2.5, blur=3, morphology="close")):
        whole = read_field(role, crop, settings)
        # Wrappers that only call the originals force the call-back path stage by stage.
        for module, name in ((segmark, "read_slots"), (panelsight, "_evaluate_separator_window"),
                             (panelsight, "_detect_clock_separator_without_regions")):
            original = getattr(module, name)
            monkeypatch.setattr(module, name, lambda *a, _f=original, **k: _f(*a, **k))
            assert read_field(role, crop, settings) == whole, name
        monkeypatch.undo()
    if style == "led_amber":
        assert str(read_field(role, crop, processing)["value"]) == text.strip()


def test_the_detector_in_one_piece_equals_the_detector_through_its_stages(monkeypatch):
    crops = [board.render_board([board.Field("clock", t, 30, 40, 70)], style=s) for t in ("12:34", "45.6 ")
             for s in ("led_amber", "lcd")]
    crops = [panelsight.crop_zone_from_image(b.zones["clock"], b.frame) for b in crops]
    detect = panelsight._detect_clock_separator_without_regions
    wanted = [(detect(c), detect(c, 3.0), detect(c, per_window_blur=True)) for c in crops]
    original = panelsight._separator_hypothesis
    monkeypatch.setattr(panelsight, "_separator_hypothesis", lambda *a: original(*a))
    assert [(detect(c), detect(c, 3.0), detect(c, per_window_blur=True)) for c in crops] == wanted
    assert all(w[0] is not None for w in wanted)


# -- the digit table ---------------------------------------------------------------------------------

def test_a_digit_table_that_changes_while_it_is_read_cannot_crash_the_reader(monkeypatch):
    table = {d: [tuple(p) for p in v] for d, v in segmark.DIGIT_PATTERNS.items()}

    class Shrinking:
        """An entry that empties the table the moment it is looked at."""
        def __eq__(self, other):
            for variants in table.values():
                variants.clear()
            table.clear()
            return True
        __hash__ = None

        def __bool__(self):
            return self.__eq__(1)
    table[0] = [(Shrinking(),) * 7] + table[0]
    table[1] = list(table[1])
    monkeypatch.setattr(segmark, "DIGIT_PATTERNS", table)
    cell = sevenseg.digit_cell(8)
    result = segmark.read_digit_slot(cell, {"kind": "digit", "box": [0, 0, cell.shape[1] - 1, cell.shape[0] - 1]})
    assert result["status"] in ("digit", "unknown")


def test_only_entries_equal_to_one_mark_a_lit_segment(monkeypatch):
    cell = sevenseg.digit_cell(8)
    slot = {"kind": "digit", "box": [0, 0, cell.shape[1] - 1, cell.shape[0] - 1]}
    standard = {d: list(v) for d, v in segmark.DIGIT_PATTERNS.items()}
    # 2 and "1" are true but not 1: the segment counts as unlit, as it does with a 0 there.
    odd = {d: [tuple(2 if (d == 8 and i == 6) else b for i, b in enumerate(p)) for p in v] for d, v in standard.items()}
    zeroed = {d: [tuple(0 if (d == 8 and i == 6) else b for i, b in enumerate(p)) for p in v] for d, v in standard.items()}
    monkeypatch.setattr(segmark, "DIGIT_PATTERNS", zeroed)
    want = segmark.read_digit_slot(cell, slot)
    monkeypatch.setattr(segmark, "DIGIT_PATTERNS", odd)
    got = segmark.read_digit_slot(cell, slot)
    assert {k: v for k, v in got.items() if k != "matched_pattern"} == \
        {k: v for k, v in want.items() if k != "matched_pattern"}
    monkeypatch.setattr(segmark, "DIGIT_PATTERNS", {d: [tuple(float(b) for b in p) for p in v]
                                                    for d, v in standard.items()})
    assert segmark.read_digit_slot(cell, slot)["char"] == 8


@pytest.mark.parametrize("table,error", [({8: [(1,) * 7]}, IndexError), ({0: [()], 1: [(1,) * 7]}, ValueError)])
def test_a_table_that_cannot_rank_spoils_only_cells_with_ink(monkeypatch, table, error):
    monkeypatch.setattr(segmark, "DIGIT_PATTERNS", table)
    blank = np.zeros((40, 20), np.uint8)
    slot = {"kind": "digit", "box": [0, 0, 19, 39]}
    assert segmark.read_digit_slot(blank, slot)["status"] == "empty"
    assert [r["status"] for r in segmark.read_slots(blank, [slot, slot])] == ["empty", "empty"]
    with pytest.raises(error):
        segmark.read_digit_slot(sevenseg.digit_cell(8), slot)


def test_constants_of_a_reimported_module_take_effect(monkeypatch):
    cell = sevenseg.digit_cell(8)
    slot = {"kind": "digit", "box": [0, 0, cell.shape[1] - 1, cell.shape[0] - 1]}
    monkeypatch.delitem(sys.modules, "native_ocr.segmark")
    fresh = importlib.import_module("native_ocr.segmark")
    monkeypatch.setattr(fresh, "DIGIT_PATTERNS", {k: v for k, v in fresh.DIGIT_PATTERNS.items() if k != 8})
    assert fresh.read_digit_slot(cell, slot)["char"] != 8
    assert segmark.read_digit_slot(cell, slot)["char"] != 8  # the same functions, the module now registered


# -- sizes and integers --------------------------------------------------------------------------------

@pytest.mark.parametrize("read", [
    lambda image, slot: segmark.read_digit_slot(image, slot),
    lambda image, slot: segmark.read_slots(image, [slot]),
])
def test_a_broadcast_image_of_two_to_the_32_rows_fails_as_an_allocation(read):
    image = np.broadcast_to(np.uint8(255), (2**32, 8))
    with pytest.raises(MemoryError):
        read(image, {"kind": "digit", "box": [0, 0, 7, 2**32 - 1]})
    # A small slot of the same image is read.
    assert read(image, {"kind": "digit", "box": [0, 0, 7, 15]}) is not None


@pytest.mark.parametrize("box,width,height", [
    ([5, 5, 5, 5], -10**30, 10), ([10**30, 0, -10**30, 3], 10**31, 10), ([2**63, 2**64, -2**63, 1], 2**70, 2**65),
    ([1.9, -1.9, 7, 8], 5, 6), ([True, 0, 3, 4], 2, 2**63 + 5),
])
def test_clip_box_counts_in_pythons_integers(box, width, height):
    assert segmark._clip_box(box, width, height) == Reference.clip_box(box, int(width), int(height))


# -- integers of any size: the module gives what the Python model gives, or raises what it raises ----

def bar_cell():
    cell = np.zeros((12, 10), np.uint8)
    cell[2:10, 3:6] = 1
    cell[2, 1:9] = 1
    cell[9, 2:8] = 1
    return cell


def window_crop():
    crop = np.zeros((20, 30, 3), np.uint8)
    crop[5:7, 14:16] = 255
    crop[13:15, 14:16] = 255
    return crop


REF = Reference(segmark)
PROJECTION = np.array([0, 9, 9, 0, 0, 9, 0, 0, 0, 9, 9, 0], float)
BIG = 2**62 + 1  # just past the old clamping bound
TOO_BIG_FOR_A_FLOAT = 10**400

# (native function, Python model, arguments). Integers used to be clamped into +-2^62 first; "was"
# marks some rows that then gave another answer or exception. The _extend_from_core and
# _evaluate_separator_window rows show the two helpers where clamping is provably exact.
BIG_INTEGER_CASES = [
    (segmark._contiguous_runs, REF.contiguous_runs, ([BIG, 0],)),  # was [[2^62, 0]]
    (segmark._contiguous_runs, REF.contiguous_runs, ([0, 2**63, 2**63 + 1, 10**30],)),
    (segmark._contiguous_runs, REF.contiguous_runs, ([-2**63 - 1, -2**63, 2**63 - 1],)),
    (segmark._contiguous_runs, REF.contiguous_runs, ([True, 2, False, 1],)),
    (segmark._remove_marginal_runs, REF.remove_marginal_runs, ([[0, 0], [0, 0], [BIG, BIG]], BIG + 1)),  # was
    (segmark._remove_marginal_runs, REF.remove_marginal_runs, ([[0, 0], [5, 9], [-2**63 - 1] * 2], -2**63)),
    (segmark._remove_marginal_runs, REF.remove_marginal_runs, ([[0, 0], [10**30, 10**30]], 10**31)),  # was
    (segmark._remove_marginal_runs, REF.remove_marginal_runs, ([[0, 0], [4, 5]], TOO_BIG_FOR_A_FLOAT)),
    (segmark._remove_marginal_runs, REF.remove_marginal_runs, ([[False, True], [5, 9], [11, 11]], 12)),
    (segmark._runs_overlap, REF.runs_overlap, ([0, 2**62], [BIG, 0])),  # was True
    (segmark._runs_overlap, REF.runs_overlap, ([-10**30, 10**30], [2**64, 2**64])),
    (segmark._extend_from_core, REF.extend_from_core, (PROJECTION, [[10**30, -10**30]], 10**30)),
    (segmark._extend_from_core, REF.extend_from_core, (PROJECTION, [[-2**63 - 1, 1]], 2**63)),
    (segmark._extend_from_core, REF.extend_from_core, (PROJECTION, [[1, 2**64]], -10**30)),
    (segmark._extend_from_core, REF.extend_from_core, (PROJECTION, [[True, True]], True)),
    (segmark._horizontal_bar_extent, REF.horizontal_bar_extent, (bar_cell(), 0, 2, 2**62)),  # was (1, 8)
    (segmark._horizontal_bar_extent, REF.horizontal_bar_extent, (bar_cell(), 0, 9, 10**30)),
    (segmark._horizontal_bar_extent, REF.horizontal_bar_extent, (bar_cell(), -3, 2, -10**30)),  # was IndexError
    (segmark._horizontal_bar_extent, REF.horizontal_bar_extent, (bar_cell(), -12, -1, True)),  # was IndexError
    (segmark._horizontal_bar_extent, REF.horizontal_bar_extent, (bar_cell(), -13, 2, 1)),
    (segmark._horizontal_bar_extent, REF.horizontal_bar_extent, (bar_cell(), 2**64, 2**63, 1)),  # was IndexError
    (segmark._horizontal_bar_extent, REF.horizontal_bar_extent, (bar_cell(), 2**63, 2**63, 1)),  # OverflowError
    (segmark._horizontal_bar_extent, REF.horizontal_bar_extent, (bar_cell(), 10**30, 10**30, 1)),
    (segmark._horizontal_bar_extent, REF.horizontal_bar_extent, (bar_cell(), 5, 12, 1)),
    (segmark._horizontal_bar_extent, REF.horizontal_bar_extent, (bar_cell(), 1.0, 3, 1)),
    (segmark._single_vertical_mass, REF.single_vertical_mass,
     (bar_cell(), {"top": 0, "bottom": 10**30, "left": -2**63, "right": 5})),  # was False
    (segmark._single_vertical_mass, REF.single_vertical_mass,
     (bar_cell(), {"top": 0, "bottom": TOO_BIG_FOR_A_FLOAT, "left": 0, "right": 5})),  # was True
    (segmark._single_vertical_mass, REF.single_vertical_mass,
     (bar_cell(), {"top": -2**63 - 1, "bottom": 2**63, "left": 3, "right": 2**64})),
    (segmark._single_vertical_mass, REF.single_vertical_mass,
     (bar_cell(), {"top": True, "bottom": 10, "left": False, "right": 9})),
    (segmark._single_vertical_mass, REF.single_vertical_mass,
     (bar_cell(), {"top": 0.0, "bottom": 10, "left": 0, "right": 9})),
    (panelsight._separator_search_corridor, separator_reference.corridor, (-2**63, 10)),  # was search_right
    (panelsight._separator_search_corridor, separator_reference.corridor, (-10**30, 2**64)),
    (panelsight._separator_search_corridor, separator_reference.corridor, (True, False)),
    (panelsight._separator_search_corridor, separator_reference.corridor, (200, 10**30)),
    (panelsight._separator_search_corridor, separator_reference.corridor, (10**30, 5)),
    (panelsight._separator_search_corridor, separator_reference.corridor, (2**63, 2**63)),
    (panelsight._separator_search_corridor, separator_reference.corridor, (TOO_BIG_FOR_A_FLOAT, 5)),
    (panelsight._separator_search_corridor, separator_reference.corridor,
     (-TOO_BIG_FOR_A_FLOAT, -TOO_BIG_FOR_A_FLOAT)),  # was search_right
    (panelsight._evaluate_separator_window, separator_reference.evaluate, (window_crop(), 10**30, 11)),
    (panelsight._evaluate_separator_window, separator_reference.evaluate, (window_crop(), -10**30, 2**63)),
    (panelsight._evaluate_separator_window, separator_reference.evaluate, (window_crop(), 2**64, 10**30)),
    (panelsight._evaluate_separator_window, separator_reference.evaluate, (window_crop(), True, 11)),
]


def outcome(function, args):
    try:
        return "returns", function(*args)
    except Exception as error:  # the exception's type is what must agree
        return "raises", type(error)


@pytest.mark.parametrize("native,model,args", BIG_INTEGER_CASES,
                         ids=[f"{n.__name__}-{i}" for i, (n, _, _) in enumerate(BIG_INTEGER_CASES)])
def test_integers_of_any_size_give_the_python_models_answer(native, model, args):
    assert outcome(native, args) == outcome(model, args)


def boxes(layout):
    return [slot["box"] for slot in layout]


@pytest.mark.parametrize("layout,expected", [
    # Slot edges are doubles (exact up to 2^53): 2^64 - 1 rounds to 2^64; the bottom row is exact.
    (lambda: panelsight.equal_digit_slots(2**64, 2**60 + 1, 2), [[0, 0, 2**63, 2**60], [2**63, 0, 2**64, 2**60]]),
    # A clock's last column is width - 1 exactly, whatever the doubles before it.
    (lambda: boxes(panelsight.clock_slots(10**30, 10**30))[-1][2:], [10**30 - 1, 10**30 - 1]),
    # Sizes below 1 count as 1, however negative.
    (lambda: panelsight.layout_for_role("period", -2**63 - 1, -10**400), [[0, 0, 0, 0]]),
])
def test_layouts_of_sizes_beyond_64_bits_are_not_saturated(layout, expected):
    got = layout()
    assert (boxes(got) if isinstance(got[0], dict) else got) == expected


@pytest.mark.parametrize("size", [(10**400, 5), (5, 10**400)])
def test_a_size_beyond_a_float_fails_as_pythons_float_arithmetic(size):
    with pytest.raises(OverflowError):
        panelsight.clock_slots(*size)


@pytest.mark.parametrize("window_width", [0, -1, -11, -2**63 - 1, -10**30])
def test_a_window_narrower_than_one_column_is_an_empty_band(window_width):
    # The band is columns left..right; with right before left it is empty (as for width 0), and
    # an empty band cannot be converted to gray. The model's slice would wrap a negative end
    # around to the crop's far side instead.
    with pytest.raises(cv2.error):
        panelsight._evaluate_separator_window(window_crop(), 5, window_width)


def test_replaced_corridor_stages_may_use_integers_of_any_size(monkeypatch):
    base = 10**30
    geometry = {"physical_left": base + 9, "physical_right": base + 12, "search_left": base,
                "search_right": base + 5, "window_width": 3, "minimum_overlap": 0.65, "max_shift": 1}
    seen = []

    def evaluate(crop, left, window_width, blurred_gray=None):
        seen.append(left)
        return {"left": left, "right": left + window_width - 1, "groups": [], "energy_profile": [],
                "colon": None, "decimal": None, "colon_score": 0.0, "decimal_score": 0.0}

    monkeypatch.setattr(panelsight, "_separator_search_corridor", lambda width, height: geometry)
    monkeypatch.setattr(panelsight, "_evaluate_separator_window", evaluate)
    assert panelsight._detect_clock_separator_without_regions(window_crop(), per_window_blur=True) is None
    assert seen == separator_reference.starts(geometry)  # was the clamped 2^62 once


@pytest.mark.parametrize("sigma", [7.0, 0.5, -1, -0.5, 1e10, 2.5, 1e300])
def test_reflect_blur_radius_is_pythons_arithmetic(sigma):
    assert panelsight._reflect_blur_radius(sigma) == (int(round(sigma * 6 + 1)) | 1) // 2


@pytest.mark.parametrize("sigma,error", [(math.nan, ValueError), (math.inf, OverflowError), (-math.inf, OverflowError),
                                         ("7", TypeError)])
def test_reflect_blur_radius_raises_where_python_raises(sigma, error):
    with pytest.raises(error):
        panelsight._reflect_blur_radius(sigma)


def fake_slots(monkeypatch, items):
    monkeypatch.setattr(segmark, "read_slots", lambda binary, slots: [dict(i) for i in items])


def test_a_replaced_digit_reader_may_return_integers_of_any_size(monkeypatch):
    crop = np.full((40, 60, 3), 200, np.uint8)
    fake_slots(monkeypatch, [{"status": "digit", "char": 10**20}, {"status": "digit", "char": 2**70}])
    assert panelsight.read_score_from_crop(crop)["value"] == 10 * 10**20 + 2**70


def test_missing_units_is_decided_before_the_tens_character_is_converted(monkeypatch):
    crop = np.full((40, 60, 3), 200, np.uint8)
    fake_slots(monkeypatch, [{"status": "digit", "char": "not a number"}, {"status": "unknown", "char": None}])
    result = panelsight.read_score_from_crop(crop)
    assert (result["value"], result["reason"]) == (None, "missing_units")


def test_only_clock_layouts_read_the_separator_position():
    assert panelsight.layout_for_role("home_score", 100, 40, "not a number") == \
        panelsight.layout_for_role("home_score", 100, 40)
    assert panelsight.layout_for_role("period", 30, 40, object()) == panelsight.equal_digit_slots(30, 40, 1)
    with pytest.raises(ValueError):
        panelsight.layout_for_role("clock", 100, 40, "not a number")


# -- arrays -------------------------------------------------------------------------------------------

@pytest.mark.parametrize("dtype", [">u2", ">i4", ">f4", ">f8", ">i8"])
def test_big_endian_arrays_read_like_native_ones(dtype):
    cell = sevenseg.digit_cell(8)
    slot = {"kind": "digit", "box": [0, 0, cell.shape[1] - 1, cell.shape[0] - 1]}
    native = cell.astype(np.dtype(dtype).newbyteorder("="))
    assert segmark.read_digit_slot(cell.astype(dtype), slot) == segmark.read_digit_slot(native, slot)
    assert segmark._as01(cell.astype(dtype)).tolist() == segmark._as01(native).tolist()


def unaligned(values, dtype):
    values = np.asarray(values, dtype)
    raw = bytearray(values.nbytes + 1)
    out = np.frombuffer(raw, dtype=dtype, offset=1, count=values.size).reshape(values.shape)
    out[...] = values
    assert not out.flags.aligned
    return out


def test_unaligned_float_arrays_read_like_aligned_ones():
    rng = np.random.default_rng(5)
    energy = [rng.random((30, 11)).astype(np.float32) for _ in range(3)]
    want = panelsight._separator_groups(*energy)
    assert panelsight._separator_groups(*[unaligned(e, np.float32) for e in energy]) == want
    values, weights = rng.random(50), rng.random(50).astype(np.float32)
    assert panelsight._weighted_quantile(unaligned(values, np.float64), unaligned(weights, np.float32), 0.5) == \
        panelsight._weighted_quantile(values, weights, 0.5)


def test_a_replaced_ascontiguousarray_is_not_trusted(monkeypatch):
    image = np.random.default_rng(2).integers(0, 255, (30, 40, 3), dtype=np.uint8)
    flipped = image[::-1, ::-2]
    want = panelsight.process_image(np.ascontiguousarray(flipped))
    energy = np.random.default_rng(3).random((30, 11))
    groups = panelsight._separator_groups(energy, energy, energy)
    monkeypatch.setattr(np, "ascontiguousarray", lambda *a, **k: np.zeros(1, np.uint8))
    assert np.array_equal(panelsight.process_image(flipped), want)
    assert panelsight._separator_groups(energy, energy, energy) == groups


# -- files ---------------------------------------------------------------------------------------------

@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
def test_a_fifo_at_the_preview_path_reads_as_no_frame(tmp_path):
    fifo = tmp_path / "preview.jpg"
    os.mkfifo(fifo)
    zone = {"x": 0.1, "y": 0.1, "width": 0.5, "height": 0.5}
    assert panelsight.decode_bgr_image(str(fifo)) is None
    assert panelsight.read_score(zone, str(fifo))["reason"] == "no_frame"
    assert panelsight.decode_bgr_image(str(tmp_path)) is None  # a folder is no image either


def test_the_self_check_is_a_function_object_without_a_public_class():
    assert "_ReflectedSheetBlurSelfCheck" not in vars(panelsight)
    panelsight._ensure_reflected_sheet_blur()
    assert panelsight._ensure_reflected_sheet_blur.ready is True


# -- the command line ------------------------------------------------------------------------------

def run_cli(*args, **kwargs):
    import subprocess
    return subprocess.run([sys.executable, "-m", "native_ocr", *args], capture_output=True, text=True,
                          timeout=120, **kwargs)


@pytest.mark.parametrize("zone,processing", [
    ("nan,0,1,1", None), ("0,0,inf,1", None), ("0,-inf,1,1", None),
    ("0,0,1,1", '{"threshold": "abc"}'), ("0,0,1,1", '{"contrast": [1]}'), ("0,0,1,1", '{"contrast": NaN}'),
    ("0,0,1,1", '{"gamma": Infinity}'), ("0,0,1,1", "[" * 30000 + "]" * 30000),
    ("0,0,1,1", '{"a": ' * 15000 + "1" + "}" * 15000),
])
def test_command_line_refuses_unusable_zones_and_settings_with_a_message(tmp_path, zone, processing):
    image = tmp_path / "board.png"
    import cv2
    cv2.imwrite(str(image), np.zeros((40, 60, 3), np.uint8))
    args = ["read", "--role", "home_score", "--zone", zone, str(image)]
    if processing is not None:
        args[5:5] = ["--processing", processing]
    done = run_cli(*args)
    assert done.returncode == 2 and "usage" in done.stderr and "Traceback" not in done.stderr, done.stderr


def test_command_line_output_is_strict_json_and_a_closed_pipe_is_quiet(tmp_path):
    import subprocess
    image = tmp_path / "board.png"
    import cv2
    cv2.imwrite(str(image), np.full((40, 60, 3), 255, np.uint8))
    args = ["read", "--role", "clock", "--zone", "0,0,1,1", str(image)]
    done = run_cli(*args)
    json.loads(done.stdout, parse_constant=lambda name: pytest.fail(f"{name} in the output"))
    reader, writer = os.pipe()
    os.close(reader)  # nobody will read
    child = subprocess.run([sys.executable, "-m", "native_ocr", *args], stdout=writer, stderr=subprocess.PIPE,
                           text=True, timeout=120)
    os.close(writer)
    assert "Traceback" not in child.stderr and child.returncode == 1, child.stderr
