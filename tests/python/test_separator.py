"""Clock separator detection: every stage held against the NumPy/OpenCV model, the stage rules of
their own, the detector's wiring through the module, and its failure paths."""
import math
import subprocess
import sys

import cv2
import numpy as np
import pytest

import board
import native_ocr.panelsight as panelsight
import separator_reference as ref
from threads import mismatches_from_two_threads

DETECTION_KEYS = ["x", "char", "mode", "confidence", "dots", "corridor", "physical_separator_box",
                  "candidate_window", "spatial_prior", "topological_score", "final_score", "hypothesis_char",
                  "best_colon", "best_decimal", "selected_hypothesis", "groups", "upper_group", "lower_group",
                  "colon_score", "decimal_score", "alignment", "similarity", "energy_profile"]
GROUP_KEYS = ["y_min", "y_max", "center_x", "center_y", "width", "height", "energy", "gray_energy",
              "binary_energy", "energy_fraction", "x_normalized", "y_normalized", "reliability"]
PUBLIC_GROUP_KEYS = ["y_min", "y_max", "center_x", "center_y", "x_normalized", "y_normalized", "width", "height",
                     "energy", "gray_energy", "binary_energy", "energy_fraction", "reliability"]
PUBLIC_HYPOTHESIS_KEYS = ["hypothesis_char", "candidate_window", "hypothesis_x", "overlap_ratio", "window_prior",
                          "group_prior", "spatial_prior", "topological_score", "final_score", "center_compatible"]


def clock_crop(text="12:34", style="led_amber", height=70, dot_shape="square", seed=0):
    b = board.render_board([board.Field("clock", text, 30, 40, height)], style=style, dot_shape=dot_shape, seed=seed)
    return panelsight.crop_zone_from_image(b.zones["clock"], b.frame)


def model_crops():
    """Clock faces of every look, size and separator, and noise, as the model sees them."""
    cases = []
    for style in board.STYLES:
        for text, shape, height in (("12:34", "square", 70), (" 9:05", "round", 40), ("45.6 ", "square", 110),
                                    (" 0.8 ", "round", 70)):
            cases.append(((style, text, shape, height), clock_crop(text, style, height, shape, seed=height)))
    rng = np.random.default_rng(7)
    for i in range(4):
        shape = (int(rng.integers(5, 90)), int(rng.integers(12, 200)), 3)
        cases.append((("noise", i), rng.integers(0, 256, shape, dtype=np.uint8)))
    return cases


MODEL_CROPS = model_crops()


@pytest.mark.parametrize("key,crop", MODEL_CROPS, ids=[str(k) for k, _ in MODEL_CROPS])
def test_every_stage_equals_the_model(key, crop):
    window = np.ascontiguousarray(crop)
    np.testing.assert_array_equal(panelsight._clock_separator_mask(window), ref.mask(window))
    energies = panelsight._separator_energy_map(window)
    assert type(energies) is tuple and all(e.dtype == np.float32 for e in energies)
    for got, want in zip(energies, ref.energy_map(window)):
        np.testing.assert_array_equal(got, want)
    assert panelsight._separator_groups(*energies) == ref.groups(*energies)
    assert panelsight._detect_clock_separator_without_regions(crop) == ref.detect(crop)
    assert panelsight._detect_clock_separator_without_regions(crop, per_window_blur=True) == ref.detect(crop)


@pytest.mark.parametrize("text,char,mode", [("12:34", ":", "minutes"), (" 9:05", ":", "minutes"),
                                            ("45.6 ", ".", "tenths"), (" 0.8 ", ".", "tenths")])
# The detector looks for lit dots; dark bars on a light panel show none (the reader then assumes a
# centred colon, see the clock reader's tests).
@pytest.mark.parametrize("style", [s for s in board.STYLES if s != "lcd"])
def test_clean_clocks_are_detected_with_their_separator(text, char, mode, style):
    for height, shape in ((44, "round"), (90, "square")):
        d = panelsight._detect_clock_separator_without_regions(clock_crop(text, style, height, shape))
        assert d is not None and (d["char"], d["mode"], d["hypothesis_char"]) == (char, mode, char), (height, shape)
        assert len(d["dots"]) == (2 if char == ":" else 1)


def test_detection_result_shape():
    crop = clock_crop("12:34")
    d = panelsight._detect_clock_separator_without_regions(crop)
    assert list(d) == DETECTION_KEYS
    h = crop.shape[0]
    assert d["corridor"]["selected"] == d["candidate_window"] and d["candidate_window"][3] == h - 1
    assert list(d["corridor"]) == ["search", "selected"]
    assert all(type(v) is int for v in d["physical_separator_box"] + d["candidate_window"])
    assert list(d["upper_group"]) == PUBLIC_GROUP_KEYS and list(d["selected_hypothesis"]) == PUBLIC_HYPOTHESIS_KEYS
    assert d["final_score"] == round(d["confidence"], 4) and type(d["confidence"]) is float
    for key in ("spatial_prior", "topological_score", "final_score", "colon_score", "decimal_score", "alignment",
                "similarity"):
        assert type(d[key]) is float
    assert len(d["energy_profile"]) == 6
    decimal = panelsight._detect_clock_separator_without_regions(clock_crop("45.6 "))
    assert decimal["upper_group"] is None and len(decimal["dots"]) == 1 and decimal["mode"] == "tenths"


# -- stage rules ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("bits,expected", [
    ([False, True, True, False, True], [[1, 2], [4, 4]]),
    ([False] * 4, []),
    ([True] * 5, [[0, 4]]),
    ([], []),
    (np.array([0, 2, 2, 0], np.int64), []),   # as int8 the steps are 2 and -2: no run edges
    (np.array([1, 0, 257], np.int64), [[0, 0], [2, 2]]),  # 257 wraps to 1 as int8
])
def test_runs(bits, expected):
    assert panelsight._separator_runs(np.asarray(bits)) == expected == ref.runs(bits)


@pytest.mark.parametrize("values,weights,q,expected", [
    ([3, 1, 2], [1, 1, 1], 0.5, 2.0),
    ([3, 1, 2], [0, 0, 0], 0.5, 0.0),
    ([3, 1, 2], [1, 1, 1], 1.0, 3.0),
    ([3, 1, 2], [1, 1, 1], 0.0, 1.0),
    ([], [], 0.5, 0.0),
    ([5, 5, 1, 1], np.array([0.25, 0.25, 0.25, 0.25], np.float32), 0.5, 1.0),
])
def test_weighted_quantile(values, weights, q, expected):
    got = panelsight._weighted_quantile(np.asarray(values), np.asarray(weights), q)
    assert got == expected and type(got) is float


def energy_of(rows, width=6, height=40, value=1.0):
    combined = np.zeros((height, width), np.float32)
    for top, bottom in rows:
        combined[top:bottom + 1] = value
    return np.zeros_like(combined), np.zeros_like(combined), combined


def test_group_rules():
    assert panelsight._separator_groups(*energy_of([])) == ([], [])
    # For h = 40 the moving average is 3 rows (each band grows a row either side) and max_gap is 1.
    merged, _ = panelsight._separator_groups(*energy_of([(10, 14), (18, 22)]))
    split, _ = panelsight._separator_groups(*energy_of([(10, 14), (19, 23)]))
    assert [(g["y_min"], g["y_max"]) for g in merged] == [(9, 23)]
    assert [(g["y_min"], g["y_max"]) for g in split] == [(9, 15), (18, 24)]
    # Short bands at an edge go (8 % of 40 is 3.2 rows); taller ones stay.
    edge, _ = panelsight._separator_groups(*energy_of([(0, 1), (20, 30)]))
    assert [g["y_min"] for g in edge] == [19]
    tall_edge, _ = panelsight._separator_groups(*energy_of([(0, 5), (20, 30)]))
    assert [g["y_min"] for g in tall_edge] == [0, 19]
    # A band with less than 3 % of the energy is dropped.
    b, g, c = energy_of([(20, 35)])
    c[5] = 0.02
    assert [x["y_min"] for x in panelsight._separator_groups(b, g, c)[0]] == [19]
    # Four rows still give six profile slices, two of them empty.
    _, profile = panelsight._separator_groups(*energy_of([(0, 3)], height=4))
    assert len(profile) == 6 and profile.count(0.0) >= 2
    # Two rows are fewer than the 3-row average, whose output is then 3 long: the band past the
    # last row holds only the rows there are.
    short = panelsight._separator_groups(*energy_of([(0, 1)], width=5, height=2))
    assert short == ref.groups(*energy_of([(0, 1)], width=5, height=2))
    # With h * w <= 100 the reliability scale is 1.0.
    small, _ = panelsight._separator_groups(*energy_of([(3, 6)], width=4, height=20))
    assert small[0]["reliability"] == 1.0
    assert list(small[0]) == GROUP_KEYS
    for rows in ([(10, 14), (18, 22)], [(0, 1), (20, 30)], [(0, 3)]):
        assert panelsight._separator_groups(*energy_of(rows)) == ref.groups(*energy_of(rows))


def group(cx, cy, h=40, w=11, energy=10.0, width=3.0, height=4, reliability=1.0):
    return {"y_min": 0, "y_max": 0, "center_x": cx, "center_y": cy, "width": width, "height": height,
            "energy": energy, "gray_energy": 0.0, "binary_energy": 0.0, "energy_fraction": 0.5,
            "x_normalized": cx / w, "y_normalized": cy / h, "reliability": reliability}


def test_topology_rules():
    assert panelsight._separator_topology([], 11, 40) == {"colon": None, "decimal": None, "colon_score": 0.0,
                                                          "decimal_score": 0.0}
    perfect = [group(5.5, 12.0), group(5.5, 28.0)]
    t = panelsight._separator_topology(perfect, 11, 40)
    assert t["colon_score"] == 1.0 and t["colon"]["upper"] is perfect[0] and t["colon"]["lower"] is perfect[1]
    assert list(t["colon"]) == ["score", "upper", "lower", "alignment", "similarity", "separation", "topology",
                                "centrality"]
    shifted = [group(5.5 - 1.1, 12.0), group(5.5 + 1.1, 28.0)]
    assert panelsight._separator_topology(shifted, 11, 40)["colon_score"] == pytest.approx(math.exp(-0.5), rel=1e-12)
    low = panelsight._separator_topology([group(5.0, 32.0, reliability=0.7)], 11, 40)
    assert low["colon"] is None and low["decimal_score"] == pytest.approx(0.7)
    middle = panelsight._separator_topology([group(5.0, 20.0, reliability=0.9)], 11, 40)
    assert middle["colon"] is None and middle["decimal_score"] == 0.9 * ((0 * 0.25 + 0.35) + 0.4 * (1.0 - 0.9))
    assert panelsight._separator_topology([group(3, 20.0), group(8, 20.0)], 11, 40)["colon"] is None
    twins = [group(5.5, 12.0), group(5.5, 12.0), group(5.5, 28.0)]
    assert panelsight._separator_topology(twins, 11, 40)["colon"]["upper"] is twins[0]
    for case in (perfect, shifted, twins):
        assert panelsight._separator_topology(case, 11, 40) == ref.topology(case, 11, 40)


@pytest.mark.parametrize("size,expected,start_range", [
    ((200, 60), (94, 104, 91, 107, 11, 3), (91, 97)),
    ((10, 20), (3, 6, 2, 7, 4, 1), (2, 4)),
    ((1000, 300), (472, 526, 453, 545, 55, 19), (453, 491)),
])
def test_corridor(size, expected, start_range):
    g = panelsight._separator_search_corridor(*size)
    assert list(g) == ["physical_left", "physical_right", "search_left", "search_right", "window_width",
                       "minimum_overlap", "max_shift"]
    assert (g["physical_left"], g["physical_right"], g["search_left"], g["search_right"], g["window_width"],
            g["max_shift"]) == expected and g["minimum_overlap"] == 0.65
    assert ref.starts(g) == list(range(start_range[0], start_range[1] + 1))
    assert g == ref.corridor(*size)


def test_narrow_slots_are_widened_and_windows_kept_inside():
    g = panelsight._separator_search_corridor(5, 10)
    assert (g["physical_left"], g["physical_right"], g["window_width"], g["max_shift"]) == (1, 2, 3, 1)
    crop = clock_crop()
    w = crop.shape[1]
    e = panelsight._evaluate_separator_window(crop, w - 2, 11)
    assert (e["left"], e["right"]) == (w - 11, w - 1)
    whole = panelsight._evaluate_separator_window(crop, 5, w + 20)
    assert (whole["left"], whole["right"]) == (0, w - 1)
    assert list(e) == ["left", "right", "groups", "energy_profile", "colon", "decimal", "colon_score",
                       "decimal_score"]
    dark = panelsight._evaluate_separator_window(np.zeros((40, 60, 3), np.uint8), 20, 11)
    assert (dark["groups"], dark["energy_profile"], dark["colon"], dark["decimal"]) == ([], [], None, None)


@pytest.mark.parametrize("args,expected", [
    ((94, 104, 99.0, 94, 104), dict(spatial_prior=1.0, overlap_ratio=1.0, window_prior=1.0, group_prior=1.0,
                                    center_compatible=True)),
    ((97, 107, 99.0, 94, 104), dict(overlap_ratio=8 / 11, window_prior=math.exp(-0.5 * (1.35 / 4.95) ** 2))),
    ((94, 104, 92.4, 94, 104), dict(center_compatible=True)),
    ((94, 104, 92.3, 94, 104), dict(center_compatible=False, spatial_prior=0.0)),
    ((94, 104, 94 - 11 * 0.15, 94, 104), dict(center_compatible=True)),
    ((120, 130, 99.0, 94, 104), dict(overlap_ratio=0.0, spatial_prior=0.0)),
])
def test_spatial_prior(args, expected):
    p = panelsight._separator_spatial_prior(*args)
    assert list(p) == ["spatial_prior", "overlap_ratio", "window_prior", "group_prior", "center_compatible"]
    for key, value in expected.items():
        assert p[key] == pytest.approx(value, rel=1e-12) and type(p[key]) is type(value), key
    assert p == ref.spatial_prior(*args)
    assert panelsight._separator_spatial_prior(5, 5, 5.0, 10, 2)["overlap_ratio"] == 0.0  # width falls back to 1


def test_hypotheses():
    upper, lower = group(4.0, 12.0, energy=3.0), group(6.0, 28.0, energy=1.0)
    evaluated = {"left": 90, "right": 100, "colon": {"upper": upper, "lower": lower}, "decimal": None,
                 "colon_score": 0.9, "decimal_score": 0.0}
    h = panelsight._separator_hypothesis(evaluated, ":", 90, 100)
    assert list(h) == ["char", "window", "x", "topological_score", "final_score", "spatial_prior", "overlap_ratio",
                       "window_prior", "group_prior", "center_compatible"]
    assert h["x"] == 94.5 and h["window"] is evaluated and h["final_score"] == 0.9 * h["spatial_prior"]
    assert panelsight._separator_hypothesis(evaluated, ".", 90, 100) is None
    assert panelsight._separator_hypothesis({"decimal": None}, ":", 90, 100) is None  # no "colon" key at all
    faint = dict(evaluated, colon={"upper": group(4.0, 12.0, energy=0.25), "lower": group(6.0, 28.0, energy=0.25)})
    assert panelsight._separator_hypothesis(faint, ":", 90, 100)["x"] == 90 + (4.0 * 0.25 + 6.0 * 0.25)
    decimal = dict(evaluated, decimal={"score": 0.8, "lower": lower}, decimal_score=0.8)
    for char in ("x", None, "."):
        d = panelsight._separator_hypothesis(decimal, char, 90, 100)
        assert d["char"] == char and d["x"] == 96.0 and d["topological_score"] == 0.8
    outside = dict(decimal, left=40, right=50)
    assert panelsight._separator_hypothesis(outside, ".", 90, 100)["final_score"] == 0.0
    assert h == ref.hypothesis(evaluated, ":", 90, 100)


# -- the shared blur -----------------------------------------------------------------------------------

@pytest.mark.parametrize("sigma,radius", [(7.0, 21), (1.0, 3), (2.5, 8), (0.25, 1)])
def test_blur_radius(sigma, radius):
    assert panelsight._reflect_blur_radius(sigma) == radius
    assert panelsight._reflect_blur_radius() == 21


def test_sheet_blurs_equal_the_blur_of_each_image():
    rng = np.random.default_rng(3)
    assert panelsight._reflected_sheet_blurs([]) == []
    for height in (1, 2, 9, 87, 130):
        grays = [rng.integers(0, 256, (height, int(w)), dtype=np.uint8) for w in rng.integers(1, 30, 6)]
        grays.append(np.where(rng.random((height, 13)) > 0.9, 255, 0).astype(np.uint8))
        for sigma in (7.0, 2.5):
            blurs = panelsight._reflected_sheet_blurs(grays, sigma)
            for gray, blurred in zip(grays, blurs):
                np.testing.assert_array_equal(blurred, cv2.GaussianBlur(gray, (0, 0), sigma))
    one = rng.integers(0, 256, (20, 7), dtype=np.uint8)
    np.testing.assert_array_equal(panelsight._reflected_sheet_blurs([one])[0], cv2.GaussianBlur(one, (0, 0), 7))
    with pytest.raises(cv2.error):
        panelsight._reflected_sheet_blurs([np.zeros((5, 3), np.uint8), np.zeros((6, 3), np.uint8)])


def test_window_views_and_blurs_follow_the_window_starts():
    crop = np.ascontiguousarray(clock_crop())[:, :200] if clock_crop().shape[1] >= 200 else None
    crop = np.zeros((60, 200, 3), np.uint8) if crop is None else crop
    crop[:, :, 1] = np.arange(200, dtype=np.uint8)
    views = panelsight._separator_window_views(crop)
    assert len(views) == 7 and all(v.shape == (60, 11, 3) and v.flags.c_contiguous for v in views)
    assert [int(v[0, 0, 1]) for v in views] == list(range(91, 98))
    blurs = panelsight._separator_window_blurs(crop)
    for view, blurred in zip(views, blurs):
        np.testing.assert_array_equal(blurred, cv2.GaussianBlur(cv2.cvtColor(view, cv2.COLOR_BGR2GRAY), (0, 0), 7))


SELF_CHECK = """
import numpy as np
import native_ocr.panelsight as ps
check = ps._ensure_reflected_sheet_blur
print(getattr(check, "ready", "absent"))
real = ps._reflected_sheet_blurs
ps._reflected_sheet_blurs = lambda grays, sigma=7.0: [g.copy() for g in real(grays, sigma)][:1] + [g + 1 for g in grays[1:]]
try:
    ps._detect_clock_separator_without_regions(np.zeros((30, 80, 3), np.uint8))
except RuntimeError as error:
    print("refused:", error, getattr(check, "ready", "absent"))
ps._reflected_sheet_blurs = real
ps._detect_clock_separator_without_regions(np.zeros((30, 80, 3), np.uint8))
print(check.ready)
calls = []
ps._reflected_sheet_blurs = lambda grays, sigma=7.0: calls.append(1) or real(grays, sigma)
check()
print("calls after ready:", len(calls))
check.ready = False
check()
print("calls after reset:", len(calls), check.ready)
"""


def test_the_self_check_runs_once_and_refuses_a_wrong_sheet():
    done = subprocess.run([sys.executable, "-c", SELF_CHECK], capture_output=True, text=True, check=True)
    assert done.stdout.splitlines() == [
        "absent",
        "refused: Reflected separator blur does not match the per-window Gaussian blur absent",
        "True",
        "calls after ready: 0",
        "calls after reset: 1 True",
    ]


# -- the detector ------------------------------------------------------------------------------------

def test_no_crop_or_no_separator_gives_none():
    for crop in (None, np.zeros((0, 10, 3), np.uint8), np.zeros((20, 0, 3), np.uint8), np.zeros((40, 120, 3), np.uint8),
                 np.full((40, 120, 3), 200, np.uint8)):
        assert panelsight._detect_clock_separator_without_regions(crop) is None


def test_tiny_crops_never_break():
    for shape in ((1, 1, 3), (2, 5, 3), (2, 40, 3), (60, 2, 3), (5, 3, 3)):
        crop = np.random.default_rng(sum(shape)).integers(0, 256, shape, dtype=np.uint8)
        assert panelsight._detect_clock_separator_without_regions(crop) == ref.detect(crop)
        assert panelsight.read_clock_from_crop(crop)["reason"] in ("raw", "unrecognized")


def test_angle():
    crop = clock_crop()
    plain = panelsight._detect_clock_separator_without_regions(crop)
    assert panelsight._detect_clock_separator_without_regions(crop, 0.59) == plain
    for angle in (0.6, -0.6, 3.0):
        d = panelsight._detect_clock_separator_without_regions(crop, angle=angle)
        assert d == ref.detect(crop, angle) and d is not None
        assert d["candidate_window"][3] == crop.shape[0] - 1
    for angle in (400.0, -720.0, 1e300, math.inf, math.nan):  # far outside any tilt: still no crash
        assert panelsight._detect_clock_separator_without_regions(crop, angle) == ref.detect(crop, angle)
    with pytest.raises(TypeError):
        panelsight._detect_clock_separator_without_regions(crop, "3")
    tilted = cv2.warpAffine(crop, cv2.getRotationMatrix2D((crop.shape[1] / 2, crop.shape[0] / 2), -4, 1.0),
                            crop.shape[1::-1])
    assert panelsight._detect_clock_separator_without_regions(tilted, 4.0)["char"] == ":"


def test_supplied_blurs():
    crop = clock_crop()
    blurs = panelsight._separator_window_blurs(crop)
    assert panelsight._detect_clock_separator_without_regions(crop, window_blurs=blurs) == \
        panelsight._detect_clock_separator_without_regions(crop)
    for wrong in (blurs[:-1], blurs + blurs[:1], []):
        with pytest.raises(ValueError, match="^Separator blur count does not match the search windows$"):
            panelsight._detect_clock_separator_without_regions(crop, window_blurs=wrong)
        assert panelsight._detect_clock_separator_without_regions(crop, window_blurs=wrong, per_window_blur=True) \
            == panelsight._detect_clock_separator_without_regions(crop)
    with pytest.raises(TypeError):
        panelsight._detect_clock_separator_without_regions(crop, 0.0, blurs)


def test_stages_are_looked_up_on_the_module(monkeypatch):
    crop = clock_crop()
    seen = []
    real_evaluate = panelsight._evaluate_separator_window

    def evaluate(*args, **kwargs):
        seen.append(args[1])
        return real_evaluate(*args, **kwargs)
    monkeypatch.setattr(panelsight, "_evaluate_separator_window", evaluate)
    assert panelsight._detect_clock_separator_without_regions(crop)["char"] == ":"
    assert seen == ref.starts(panelsight._separator_search_corridor(crop.shape[1], crop.shape[0]))

    real_hypothesis = panelsight._separator_hypothesis

    def colons_only(evaluated, char, left, right):
        return real_hypothesis(evaluated, char, left, right) if char == ":" else None
    monkeypatch.setattr(panelsight, "_separator_hypothesis", colons_only)
    assert panelsight._detect_clock_separator_without_regions(clock_crop("45.6 ")) is None

    monkeypatch.setattr(panelsight, "_separator_window_blurs", lambda source: ["wrong count"])
    with pytest.raises(ValueError):
        panelsight._detect_clock_separator_without_regions(crop)


def test_selection_between_colon_and_decimal(monkeypatch):
    crop = clock_crop()

    def scored(colon, decimal):
        def hypothesis(evaluated, char, left, right):
            final, topo = colon if char == ":" else decimal
            return {"char": char, "window": evaluated, "x": 95.0, "topological_score": topo, "final_score": final,
                    "spatial_prior": 1.0, "overlap_ratio": 1.0, "window_prior": 1.0, "group_prior": 1.0,
                    "center_compatible": True}
        return hypothesis

    def fake_window(*args, **kwargs):
        g = [group(5.0, 20.0), group(5.0, 50.0)]
        return {"left": 90, "right": 100, "groups": g, "energy_profile": [0.0] * 6,
                "colon": {"score": 0.9, "upper": g[0], "lower": g[1], "alignment": 1.0, "similarity": 1.0,
                          "separation": 1.0, "topology": 1.0, "centrality": 1.0},
                "decimal": {"score": 0.8, "lower": g[1]}, "colon_score": 0.9, "decimal_score": 0.8}
    monkeypatch.setattr(panelsight, "_evaluate_separator_window", fake_window)
    monkeypatch.setattr(panelsight, "_separator_hypothesis", scored((0.64, 0.99), (0.66, 0.7)))
    assert panelsight._detect_clock_separator_without_regions(crop)["char"] == "."
    monkeypatch.setattr(panelsight, "_separator_hypothesis", scored((0.8, 0.8), (0.8, 0.8)))
    assert panelsight._detect_clock_separator_without_regions(crop)["char"] == ":"
    monkeypatch.setattr(panelsight, "_separator_hypothesis", scored((0.6, 0.8), (0.6, 0.8)))
    assert panelsight._detect_clock_separator_without_regions(crop) is None


def test_bad_crops_raise_opencvs_error():
    for crop in (np.zeros((40, 120), np.uint8), np.zeros((40, 120, 3), np.float32), np.zeros((40, 120, 2), np.uint8)):
        with pytest.raises(cv2.error):
            panelsight._detect_clock_separator_without_regions(crop)


def test_detection_from_two_threads_gives_the_single_thread_results():
    crops = [clock_crop(t, s) for t in ("12:34", "45.6 ") for s in ("led_red", "lcd", "jpeg")]
    calls = [(lambda want, c=c: panelsight._detect_clock_separator_without_regions(c) == want,
              panelsight._detect_clock_separator_without_regions(c)) for c in crops]
    assert mismatches_from_two_threads(calls, rounds=10) == 0
