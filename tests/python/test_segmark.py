import collections.abc
import threading

import numpy as np
import pytest

import native_ocr.segmark as segmark
import sevenseg
from segmark_reference import Reference

CLASSIFIED_KEYS = [
    "box", "glyph_box", "char", "status", "confidence", "empty_confidence", "ink_ratio", "segments",
    "fills", "segment_names", "segment_strengths", "segment_activation", "matched_pattern",
    "pattern_variant", "pattern_score", "runner_up", "runner_up_score", "geometry_source",
    "frame_method", "horizontal_frame_source", "horizontal_structure_position", "vertical_core_top",
    "vertical_core_bottom", "vertical_extended_top", "vertical_extended_bottom", "structural_top",
    "structural_bottom", "structural_left", "structural_right", "structural_width_ratio",
    "nominal_segment_length", "nominal_frame_width", "geometry_samples", "geometry_locked",
    "observed_width_ratio", "learned_left", "learned_right", "learned_width_ratio",
]
EMPTY_KEYS = ["box", "char", "status", "confidence", "empty_confidence", "ink_ratio"]
INTERNALS = [
    "_clip_box", "_as01", "_tight_bounds", "_contiguous_runs", "_remove_marginal_runs", "_runs_overlap",
    "_extend_from_core", "_horizontal_bar_extent", "_structural_frame", "_segment_strengths",
    "_activations", "_score_pattern", "_classify_frame", "_significant_component_count",
    "_single_vertical_mass", "_frame_from_cell",
]
THRESHOLDS = [
    ("STRUCTURAL_PROJECTION_RATIO", 0.2), ("STRUCTURAL_MIN_PIXELS", 2),
    ("MARGINAL_RUN_MAX_HEIGHT_RATIO", 0.1), ("MARGINAL_RUN_MIN_GAP_RATIO", 0.03),
    ("WIDE_GLYPH_MIN_WIDTH_RATIO", 0.45), ("HORIZONTAL_PROBE_CENTER_SPAN", 0.5),
    ("VERTICAL_STROKE_MAX_WIDTH_RATIO", 1.8), ("VERTICAL_STROKE_MAX_ASPECT", 0.45),
    ("VERTICAL_STROKE_MIN_ROWS", 4), ("COMPONENT_MIN_AREA", 4), ("COMPONENT_AREA_FRACTION", 0.15),
]


def slot(box, **extra):
    return {"kind": "digit", "slot": 0, "box": list(box), **extra}


def whole(image):
    h, w = image.shape[:2]
    return slot([0, 0, w - 1, h - 1])


def cell_with_ink(fraction, shape=(50, 20)):
    """A cell whose ink is one solid block covering exactly `fraction` of its pixels."""
    cell = np.zeros(shape, np.uint8)
    cell.flat[: int(round(fraction * cell.size))] = 255
    return cell


# -- module surface -------------------------------------------------------------------------------

def test_constants_are_attributes_in_import_order_with_their_types():
    names = [n for n in vars(segmark) if n.isupper()]
    assert names == ["SEGMENT_NAMES", "DIGIT_PATTERNS"] + [n for n, _ in THRESHOLDS]
    assert segmark.SEGMENT_NAMES == ("A", "B", "C", "D", "E", "F", "G")
    for name, value in THRESHOLDS:
        got = getattr(segmark, name)
        assert got == value and type(got) is type(value), name
    patterns = segmark.DIGIT_PATTERNS
    assert list(patterns) == list(range(10))
    assert sum(len(v) for v in patterns.values()) == 11
    for digit, variants in patterns.items():
        for variant in variants:
            assert type(variant) is tuple and len(variant) == 7
            lit = "".join(n for n, bit in zip("ABCDEFG", variant) if bit)
            assert lit == sevenseg.LIT[digit] or (digit == 9 and lit == "ABCFG")


def test_internal_steps_are_module_functions_and_the_numeric_helpers_are_not():
    for name in INTERNALS + ["read_slots", "read_digit_slot"]:
        assert callable(getattr(segmark, name)), name
    assert not hasattr(segmark, "_python_round") and not hasattr(segmark, "_mean")


# -- reading digits -------------------------------------------------------------------------------

DIGIT_TABLE = [(style, size, thickness)
               for style in sevenseg.STYLES
               for size in [(40, 64), (24, 40), (60, 100)]
               for thickness in (None, 0.12)]


@pytest.mark.parametrize("style,size,thickness", DIGIT_TABLE)
def test_rendered_digits_read_correctly(style, size, thickness):
    cw, ch = size
    image, slots = sevenseg.digit_row(list(range(10)), cw, ch, style=style,
                                      thickness=None if thickness is None else max(2, thickness * cw))
    results = segmark.read_slots(image, slots)
    assert [r["char"] for r in results] == list(range(10))
    assert all(r["status"] == "digit" and type(r["char"]) is int for r in results)


def test_clear_eight_has_every_segment_and_a_runner_up_other_than_eight():
    result = segmark.read_digit_slot(sevenseg.digit_cell(8), slot([0, 0, 39, 63]))
    assert list(result) == ["kind", "slot"] + CLASSIFIED_KEYS
    assert result["char"] == 8 and result["status"] == "digit"
    assert result["segments"] == [1] * 7 and result["matched_pattern"] == [1] * 7
    assert result["pattern_variant"] == 0 and result["runner_up"] != 8
    assert result["fills"] == result["segment_strengths"]
    assert result["fills"] is not result["segment_strengths"]


def test_classified_result_types():
    r = segmark.read_digit_slot(sevenseg.digit_cell(4), slot([0, 0, 39, 63]))
    ints = ["pattern_variant", "runner_up", "vertical_core_top", "vertical_core_bottom",
            "vertical_extended_top", "vertical_extended_bottom", "structural_top", "structural_bottom",
            "structural_left", "structural_right", "nominal_frame_width", "geometry_samples", "char"]
    floats = ["confidence", "empty_confidence", "ink_ratio", "pattern_score", "runner_up_score",
              "structural_width_ratio", "nominal_segment_length", "observed_width_ratio"]
    assert all(type(r[k]) is int for k in ints)
    assert all(type(r[k]) is float for k in floats)
    for key in ["box", "glyph_box", "segments", "matched_pattern"]:
        assert type(r[key]) is list and all(type(v) is int for v in r[key]), key
    for key in ["fills", "segment_strengths", "segment_activation"]:
        assert type(r[key]) is list and len(r[key]) == 7 and all(type(v) is float for v in r[key])
    assert r["segment_names"] == list("ABCDEFG") and type(r["segment_names"]) is list
    assert (r["geometry_source"], r["geometry_samples"], r["geometry_locked"]) == ("disabled", 0, False)
    assert r["learned_left"] is r["learned_right"] is r["learned_width_ratio"] is None


@pytest.mark.parametrize("fraction,expected", [
    (0.0, (1.0, 1.0, 0.0)),
    (0.02, (1 - 0.02 / 0.06, 1 - 0.02 / 0.06, 0.02)),
    (0.024, (0.6, 0.6, 0.024)),
])
def test_sparse_cells_are_empty(fraction, expected):
    result = segmark.read_digit_slot(cell_with_ink(fraction, (50, 20)), slot([0, 0, 19, 49]))
    assert list(result) == ["kind", "slot"] + EMPTY_KEYS
    assert (result["char"], result["status"]) == (None, "empty")
    got = (result["confidence"], result["empty_confidence"], result["ink_ratio"])
    assert got == pytest.approx(expected, abs=1e-12)
    assert all(type(v) is float for v in got)


def test_three_percent_ink_is_classified():
    result = segmark.read_digit_slot(cell_with_ink(0.03), slot([0, 0, 19, 49]))
    assert result["status"] in ("digit", "unknown") and "glyph_box" in result


def test_unknown_glyph_keeps_all_keys():
    cell = np.zeros((40, 20), np.uint8)
    cell[2:6, 2:18] = cell[18:22, 2:18] = cell[34:38, 2:18] = 255  # three bars: two segments off any digit
    result = segmark.read_digit_slot(cell, slot([0, 0, 19, 39]))
    assert result["char"] is None and result["status"] == "unknown"
    assert list(result) == ["kind", "slot"] + CLASSIFIED_KEYS
    assert result["pattern_score"] < 0.58 and type(result["runner_up"]) is int


@pytest.mark.parametrize("shape", [(0, 10), (10, 0), (0, 0), (0, 5, 3)])
def test_zero_sized_image_is_empty_with_full_confidence(shape):
    result = segmark.read_digit_slot(np.zeros(shape, np.uint8), slot([0, 0, 5, 5]))
    assert result["status"] == "empty"
    assert (result["confidence"], result["empty_confidence"], result["ink_ratio"]) == (1.0, 1.0, 0.0)
    assert result["box"] == [0, 0, 0, 0] or 0 in shape[:2]


# -- slots and layouts ------------------------------------------------------------------------------

def test_layout_yields_one_result_per_digit_slot_in_order_and_leaves_slots_alone():
    image, _ = sevenseg.digit_row([1, 2, None, 3, 4], 40, 64)
    layout = [
        {"kind": "digit", "slot": 0, "box": [0, 0, 39, 63]},
        {"kind": "digit", "slot": 1, "box": [40, 0, 79, 63]},
        {"kind": "separator", "slot": None, "box": [80, 0, 119, 63]},
        {"kind": "digit", "slot": 2, "box": [120, 0, 159, 63]},
        {"kind": "digit", "slot": 3, "box": [160, 0, 199, 63], "extra": "kept"},
        {"slot": 9, "box": [0, 0, 1, 1]},  # no kind: skipped
    ]
    before = [dict(s) for s in layout]
    results = segmark.read_slots(image, layout)
    assert [r["char"] for r in results] == [1, 2, 3, 4]
    assert [r["slot"] for r in results] == [0, 1, 2, 3]
    assert results[3]["extra"] == "kept" and list(results[3])[:4] == ["kind", "slot", "box", "extra"]
    assert layout == before
    assert all(r is not s for r, s in zip(results, layout))
    assert segmark.read_slots(image, [s for s in layout if s.get("kind") != "digit"]) == []
    assert segmark.read_slots(None, iter([])) == []  # the image is not looked at without digit slots


class SlotMapping(collections.abc.Mapping):
    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


def test_mapping_slots_are_copied_into_plain_dicts():
    cell = sevenseg.digit_cell(7)
    result = segmark.read_slots(cell, [SlotMapping({"kind": "digit", "box": (0, 0, 39, 63), "slot": 5})])[0]
    assert type(result) is dict and result["char"] == 7 and result["slot"] == 5
    assert list(result)[:3] == ["kind", "box", "slot"] and result["box"] == [0, 0, 39, 63]


@pytest.mark.parametrize("box,expected", [
    ([-5, 3, 500, 2], [0, 2, 99, 3]),
    ([7.9, 0, 2, 0], [2, 0, 7, 0]),
    ([3.9, -0.5, 60, 20], [3, 0, 60, 20]),
    ((60, 20, 3, 0), [3, 0, 60, 20]),
    (["4", "1", "9", "8"], [4, 1, 9, 8]),
    ([10 ** 30, -(10 ** 30), 2, 2], [2, 0, 99, 2]),
    ([True, 0, 5, 5], [1, 0, 5, 5]),
])
def test_boxes_are_truncated_clipped_and_ordered(box, expected):
    image = np.zeros((40, 100), np.uint8)
    assert segmark.read_digit_slot(image, slot(box))["box"] == expected
    assert segmark._clip_box(box, 100, 40) == expected


@pytest.mark.parametrize("slot_value,error", [
    ({"kind": "digit"}, KeyError),
    ({"kind": "digit", "box": [1, 2, 3]}, ValueError),
    ({"kind": "digit", "box": [1, 2, 3, 4, 5]}, ValueError),
    ({"kind": "digit", "box": [1, 2, None, 4]}, TypeError),
    ({"kind": "digit", "box": [1, 2, "x", 4]}, ValueError),
    ({"kind": "digit", "box": [1, 2, float("nan"), 4]}, ValueError),
    ({"kind": "digit", "box": [1, 2, float("inf"), 4]}, OverflowError),
    ({"kind": "digit", "box": 7}, TypeError),
])
def test_malformed_slots_raise(slot_value, error):
    image = np.zeros((10, 10), np.uint8)
    with pytest.raises(error):
        segmark.read_digit_slot(image, slot_value)
    with pytest.raises(error):
        segmark.read_slots(image, [slot_value])


def test_slot_without_get_raises_attribute_error_and_no_partial_list():
    image = np.zeros((10, 10), np.uint8)
    with pytest.raises(AttributeError):
        segmark.read_slots(image, [slot([0, 0, 9, 9]), ("digit", [0, 0, 1, 1])])


@pytest.mark.parametrize("call", [
    lambda: segmark.read_digit_slot(np.zeros((4, 4), np.uint8)),
    lambda: segmark.read_digit_slot(np.zeros((4, 4), np.uint8), slot([0, 0, 1, 1]), 3),
    lambda: segmark.read_slots(binary=np.zeros((4, 4), np.uint8)),
    lambda: segmark.read_slots(np.zeros((4, 4), np.uint8), slots=[], extra=1),
])
def test_wrong_argument_counts_raise_type_error_naming_the_function(call):
    with pytest.raises(TypeError, match="read_"):
        call()


def test_keyword_arguments():
    cell = sevenseg.digit_cell(2)
    by_position = segmark.read_digit_slot(cell, slot([0, 0, 39, 63]))
    assert segmark.read_digit_slot(slot=slot([0, 0, 39, 63]), binary=cell) == by_position
    assert segmark.read_slots(slots=[slot([0, 0, 39, 63])], binary=cell) == [by_position]


# -- image layouts and types --------------------------------------------------------------------------

def test_three_channel_image_reads_as_its_channel_maximum():
    gray = sevenseg.digit_cell(5)
    colour = np.zeros(gray.shape + (3,), np.uint8)
    colour[..., 1] = gray
    colour[:5, :5, 2] = 9  # ink in another channel only
    expected = segmark.read_digit_slot(colour.max(axis=2), whole(gray))
    assert segmark.read_digit_slot(colour, whole(gray)) == expected


@pytest.mark.parametrize("dtype", [np.bool_, np.int8, np.int16, np.uint16, np.int32, np.uint32, np.int64,
                                   np.uint64, np.float16, np.float32, np.float64, np.longdouble])
def test_any_numeric_dtype_counts_values_above_zero_as_ink(dtype):
    gray = sevenseg.digit_cell(3)
    expected = segmark.read_digit_slot(gray, whole(gray))
    assert segmark.read_digit_slot((gray > 0).astype(dtype), whole(gray)) == expected


def test_negative_and_nan_values_are_not_ink():
    gray = sevenseg.digit_cell(6).astype(np.float64)
    expected = segmark.read_digit_slot(gray, whole(gray))
    noisy = gray.copy()
    noisy[gray == 0] = -1.0
    noisy[:3, :3] = np.nan
    assert segmark.read_digit_slot(noisy, whole(gray)) == expected
    colour = np.stack([gray, gray, gray], axis=2)
    colour[gray > 0, 0] = np.nan  # the channel maximum of a pixel with a NaN is NaN: not ink
    assert segmark.read_digit_slot(colour, whole(gray))["status"] == "empty"


def test_strided_and_flipped_views_read_like_their_copies():
    image, slots = sevenseg.digit_row([1, 9, 0, 8], 40, 64)
    wide = np.zeros((image.shape[0] * 2, image.shape[1] * 3), np.uint8)
    wide[::2, ::3] = image
    views = [wide[::2, ::3], image[::-1, ::-1], np.asfortranarray(image), image.T.copy().T,
             np.broadcast_to(image[:, :, None], image.shape + (3,))]
    for view in views:
        assert segmark.read_slots(view, slots) == segmark.read_slots(np.ascontiguousarray(view), slots)


@pytest.mark.parametrize("binary,error", [
    (np.zeros(10, np.uint8), ValueError),
    (np.zeros((4, 4, 3, 2), np.uint8), ValueError),
    (np.zeros((4, 4, 0), np.uint8), ValueError),
    (np.zeros((4, 4), object), TypeError),
    (np.zeros((4, 4), complex), TypeError),
    (np.zeros((4, 4), "U1"), TypeError),
    ([[0, 1], [1, 0]], AttributeError),
    (None, AttributeError),
])
def test_unusable_images_raise(binary, error):
    with pytest.raises(error):
        segmark.read_digit_slot(binary, slot([0, 0, 1, 1]))


# -- constants are read at call time ---------------------------------------------------------------------

def test_changed_constants_take_effect_on_the_next_call(monkeypatch):
    cell = sevenseg.digit_cell(8)
    assert segmark.read_digit_slot(cell, whole(cell))["char"] == 8
    monkeypatch.setattr(segmark, "DIGIT_PATTERNS", {k: v for k, v in segmark.DIGIT_PATTERNS.items() if k != 8})
    assert segmark.read_digit_slot(cell, whole(cell))["char"] != 8
    monkeypatch.setattr(segmark, "SEGMENT_NAMES", ("a", "b", "c", "d", "e", "f", "g"))
    assert segmark.read_digit_slot(cell, whole(cell))["segment_names"] == list("abcdefg")
    projection = np.array([0, 1, 1, 1, 5, 5, 0])
    assert segmark._extend_from_core(projection, [[4, 5]], 1) == (4, 5)
    monkeypatch.setattr(segmark, "STRUCTURAL_MIN_PIXELS", 1)
    assert segmark._extend_from_core(projection, [[4, 5]], 1) == (1, 5)


def test_a_digit_table_that_cannot_rank_raises_like_python():
    cell = sevenseg.digit_cell(8)
    original = segmark.DIGIT_PATTERNS
    try:
        segmark.DIGIT_PATTERNS = {8: [(1,) * 7]}
        with pytest.raises(IndexError):
            segmark.read_digit_slot(cell, whole(cell))
        segmark.DIGIT_PATTERNS = {0: [()], 1: [(1,) * 7]}
        with pytest.raises(ValueError):
            segmark.read_digit_slot(cell, whole(cell))
        del segmark.DIGIT_PATTERNS
        with pytest.raises(NameError):
            segmark.read_digit_slot(cell, whole(cell))
    finally:
        segmark.DIGIT_PATTERNS = original


# -- against the reference model -----------------------------------------------------------------------

def random_cells(rng, count):
    for i in range(count):
        kind = i % 4
        if kind == 0:  # rendered digit, random geometry and speckle
            cw, ch = int(rng.integers(6, 70)), int(rng.integers(10, 110))
            cell = sevenseg.digit_cell(int(rng.integers(0, 10)), cw, ch, style=sevenseg.STYLES[i % 3],
                                       slant=float(rng.uniform(0, 0.15)), margin=float(rng.uniform(0, 0.25)),
                                       thickness=float(rng.uniform(1, max(2, cw / 3))))
            cell[rng.random(cell.shape) < 0.02] = 255
        elif kind == 1:  # random blobs
            h, w = int(rng.integers(1, 60)), int(rng.integers(1, 60))
            cell = np.zeros((h, w), np.uint8)
            for _ in range(int(rng.integers(0, 6))):
                y, x = int(rng.integers(0, h)), int(rng.integers(0, w))
                cell[y:y + int(rng.integers(1, 20)), x:x + int(rng.integers(1, 20))] = 255
        elif kind == 2:  # noise of random density
            h, w = int(rng.integers(1, 50)), int(rng.integers(1, 50))
            cell = ((rng.random((h, w)) < rng.uniform(0, 0.6)) * 255).astype(np.uint8)
        else:  # strokes and bars, the narrow-glyph placements
            h, w = int(rng.integers(8, 80)), int(rng.integers(4, 50))
            cell = np.zeros((h, w), np.uint8)
            x = int(rng.integers(0, w))
            t = int(rng.integers(1, 5))
            cell[int(rng.integers(0, h // 3 + 1)):h - int(rng.integers(0, h // 3 + 1)), x:x + t] = 255
            if rng.random() < 0.5:
                y = int(rng.integers(0, h))
                cell[y:y + t, int(rng.integers(0, w)):] = 255
            if rng.random() < 0.3:
                cell[int(rng.integers(0, h)), :] = 255
        yield cell


def assert_same(got, want):
    assert got == want
    assert list(got) == list(want)
    for key in want:
        assert type(got[key]) is type(want[key]), key


def test_slot_results_equal_the_reference_model():
    ref = Reference(segmark)
    rng = np.random.default_rng(20261210)
    for cell in random_cells(rng, 1200):
        h, w = cell.shape
        box = [int(rng.integers(-3, 3)), int(rng.integers(-3, 3)), w - 1 + int(rng.integers(-2, 4)),
               h - 1 + int(rng.integers(-2, 4))]
        s = {"kind": "digit", "slot": 0, "box": box}
        assert_same(segmark.read_digit_slot(cell, s), ref.read_digit_slot(cell, s))


def test_internal_steps_equal_the_reference_model():
    ref = Reference(segmark)
    rng = np.random.default_rng(7)
    for cell in random_cells(rng, 400):
        cell01 = (cell > 0).astype(np.uint8)
        want = ref.structural_frame(cell01)
        assert segmark._structural_frame(cell01) == want
        assert segmark._significant_component_count(cell01) == ref.significant_component_count(cell01)
        assert segmark._segment_strengths(cell01) == ref.segment_strengths(cell01)
        got_frame = segmark._frame_from_cell(cell01)
        want_frame = ref.frame_from_cell(cell01)
        if want is None:
            assert got_frame is None
            continue
        assert segmark._single_vertical_mass(cell01, want) == ref.single_vertical_mass(cell01, want)
        assert np.shares_memory(got_frame["frame"], cell01)
        assert np.array_equal(got_frame.pop("frame"), want_frame.pop("frame"))
        assert got_frame == want_frame
        got_cls = segmark._classify_frame(cell01)
        assert got_cls == ref.classify_frame(cell01)
        assert type(got_cls) is tuple
    for _ in range(500):
        n = int(rng.integers(1, 40))
        projection = rng.integers(0, 5, n)
        core = ref.contiguous_runs(np.flatnonzero(projection >= 4))
        gap = int(rng.integers(0, 4))
        assert segmark._extend_from_core(projection, core, gap) == ref.extend_from_core(projection, core, gap)
        runs = ref.contiguous_runs(np.flatnonzero(rng.random(n) < 0.5))
        assert segmark._remove_marginal_runs(runs, n) == ref.remove_marginal_runs(runs, n)
        acts = list(rng.random(7))
        pattern = tuple(int(b) for b in rng.integers(0, 2, 7))
        assert segmark._score_pattern(acts, pattern) == ref.score_pattern(acts, pattern)
        assert segmark._activations(acts) == ref.activations(acts)


# -- threads ----------------------------------------------------------------------------------------------

def test_two_threads_reading_at_once_get_the_single_thread_results():
    image, slots = sevenseg.digit_row([d % 10 for d in range(40)], 40, 64, style="hex")
    expected = segmark.read_slots(image, slots)
    results = [None, None]
    barrier = threading.Barrier(2)

    def work(index):
        barrier.wait()
        results[index] = [segmark.read_slots(image, slots) for _ in range(25)]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for per_thread in results:
        assert all(r == expected for r in per_thread)
