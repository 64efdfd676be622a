"""Processing settings and image preparation, held against OpenCV's own Python calls."""
import cv2
import numpy as np
import pytest

import native_ocr.panelsight as panelsight
from threads import mismatches_from_two_threads

KEYS = ["threshold", "contrast", "brightness", "gamma", "rotation", "blur", "morphology", "morph_size",
        "grayscale", "binarize", "invert"]


def reference_normalize(settings=None):
    s = dict(panelsight.DEFAULT_PROCESSING)
    if settings:
        s.update(settings)
    s["threshold"] = int(min(max(int(s["threshold"]), 0), 255))
    s["contrast"] = float(min(max(float(s["contrast"]), 0.2), 4.0))
    s["brightness"] = int(min(max(int(s["brightness"]), -150), 150))
    s["gamma"] = float(min(max(float(s["gamma"]), 0.2), 3.0))
    s["rotation"] = float(min(max(float(s["rotation"]), -15.0), 15.0))
    s["blur"] = int(min(max(int(s["blur"]), 0), 15))
    s["morph_size"] = int(min(max(int(s["morph_size"]), 1), 9))
    if s["morphology"] not in ("none", "dilate", "erode", "close", "open"):
        s["morphology"] = "none"
    for key in ("grayscale", "binarize", "invert"):
        s[key] = bool(s[key])
    return s


def reference_process(image, settings=None):
    """The preparation sequence written with cv2's Python calls."""
    s = reference_normalize(settings)
    gray = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY) if image.ndim == 3 else image.copy()
    out = cv2.convertScaleAbs(gray, alpha=s["contrast"], beta=s["brightness"])
    exponent = 1.0 / s["gamma"]
    table = np.array([((i / 255.0) ** exponent) * 255 for i in range(256)]).astype("uint8")
    out = cv2.LUT(out, table)
    if abs(s["rotation"]) > 0.001:
        h, w = out.shape[:2]
        matrix = cv2.getRotationMatrix2D((w / 2.0, h / 2.0), s["rotation"], 1.0)
        out = cv2.warpAffine(out, matrix, (w, h), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT,
                             borderValue=0)
    if s["blur"] > 0:
        k = s["blur"] + 1 if s["blur"] % 2 == 0 else s["blur"]
        out = cv2.GaussianBlur(out, (k, k), 0)
    if s["binarize"]:
        _, out = cv2.threshold(out, s["threshold"], 255, cv2.THRESH_BINARY)
    if s["invert"]:
        out = cv2.bitwise_not(out)
    if s["morphology"] != "none":
        size = max(1, s["morph_size"])
        kernel = cv2.getStructuringElement(cv2.MORPH_RECT, (size, size))
        out = {"dilate": lambda: cv2.dilate(out, kernel, iterations=1),
               "erode": lambda: cv2.erode(out, kernel, iterations=1),
               "close": lambda: cv2.morphologyEx(out, cv2.MORPH_CLOSE, kernel),
               "open": lambda: cv2.morphologyEx(out, cv2.MORPH_OPEN, kernel)}[s["morphology"]]()
    return out


# -- settings ------------------------------------------------------------------------------------------

@pytest.mark.parametrize("settings,key,expected", [
    ({"threshold": 300}, "threshold", 255),
    ({"threshold": -5}, "threshold", 0),
    ({"threshold": 99.9}, "threshold", 99),
    ({"threshold": -0.9}, "threshold", 0),
    ({"threshold": "42"}, "threshold", 42),
    ({"threshold": " -7 "}, "threshold", 0),
    ({"threshold": True}, "threshold", 1),
    ({"threshold": 10 ** 40}, "threshold", 255),
    ({"threshold": np.uint8(77)}, "threshold", 77),
    ({"contrast": 10}, "contrast", 4.0),
    ({"contrast": 0}, "contrast", 0.2),
    ({"contrast": "1.5e0"}, "contrast", 1.5),
    ({"contrast": float("-inf")}, "contrast", 0.2),
    ({"brightness": -200}, "brightness", -150),
    ({"brightness": 149.99}, "brightness", 149),
    ({"gamma": 5}, "gamma", 3.0),
    ({"rotation": -20}, "rotation", -15.0),
    ({"rotation": 30}, "rotation", 15.0),
    ({"blur": 16}, "blur", 15),
    ({"morph_size": 0}, "morph_size", 1),
    ({"morph_size": 12}, "morph_size", 9),
    ({"morphology": "OPEN"}, "morphology", "none"),
    ({"morphology": "close"}, "morphology", "close"),
    ({"morphology": None}, "morphology", "none"),
    ({"morphology": 3}, "morphology", "none"),
    ({"invert": 1}, "invert", True),
    ({"binarize": 0}, "binarize", False),
    ({"grayscale": "false"}, "grayscale", True),
    ({"grayscale": ""}, "grayscale", False),
    ({"binarize": None}, "binarize", False),
    ({"invert": []}, "invert", False),
])
def test_conversion_and_clamping(settings, key, expected):
    s = panelsight.normalize_settings(settings)
    assert s[key] == expected and type(s[key]) is type(expected)
    assert s == reference_normalize(settings)


def test_result_shape_types_and_order():
    for settings in (None, {}, {"threshold": 1}):
        s = panelsight.normalize_settings(settings)
        assert list(s) == KEYS
        assert [type(v) for v in s.values()] == [int, float, int, float, float, int, str, int, bool, bool, bool]
    assert panelsight.normalize_settings() == panelsight.DEFAULT_PROCESSING
    assert panelsight.normalize_settings() is not panelsight.DEFAULT_PROCESSING
    assert panelsight.normalize_settings({}) is not panelsight.normalize_settings({})


def test_extra_keys_follow_the_known_ones_in_the_callers_order():
    extra = object()
    s = panelsight.normalize_settings({"zeta": 1, "invert": True, "alpha": extra})
    assert list(s) == KEYS + ["zeta", "alpha"]
    assert s["alpha"] is extra and s["invert"] is True


def test_the_defaults_are_copied_never_changed():
    before = dict(panelsight.DEFAULT_PROCESSING)
    s = panelsight.normalize_settings({"threshold": "9"})
    s["contrast"] = 3.0
    with pytest.raises(ValueError):
        panelsight.normalize_settings({"threshold": "high"})
    assert panelsight.DEFAULT_PROCESSING == before


def test_a_matching_morphology_is_kept_as_given():
    class Name(str):
        pass
    name = Name("open")
    assert panelsight.normalize_settings({"morphology": name})["morphology"] is name


def test_settings_may_be_any_mapping_or_pairs():
    assert panelsight.normalize_settings([("threshold", 7)])["threshold"] == 7

    class Mapping:
        def keys(self):
            return ["blur"]

        def __getitem__(self, key):
            return 4
    assert panelsight.normalize_settings(Mapping())["blur"] == 4


@pytest.mark.parametrize("settings,error", [
    ({"threshold": None}, TypeError),
    ({"threshold": "1.5"}, ValueError),
    ({"threshold": [1]}, TypeError),
    ({"threshold": float("nan")}, ValueError),
    ({"threshold": float("inf")}, OverflowError),
    ({"contrast": "bright"}, ValueError),
    ({"gamma": None}, TypeError),
    ({"rotation": 10 ** 400}, OverflowError),
    ({"blur": {}}, TypeError),
])
def test_unconvertible_values_raise_pythons_error(settings, error):
    with pytest.raises(error):
        panelsight.normalize_settings(settings)
    with pytest.raises(error):
        panelsight.prepare_display_from_crop(np.zeros((4, 4, 3), np.uint8), processing=settings)


def test_the_defaults_are_read_when_called(monkeypatch):
    original = panelsight.DEFAULT_PROCESSING
    monkeypatch.setattr(panelsight, "DEFAULT_PROCESSING", {"threshold": 10})
    with pytest.raises(KeyError):
        panelsight.normalize_settings()
    monkeypatch.setattr(panelsight, "DEFAULT_PROCESSING", dict(original, threshold=10))
    assert panelsight.normalize_settings()["threshold"] == 10


# -- preparation against OpenCV ------------------------------------------------------------------------

def scene(rows=48, cols=90, seed=0):
    rng = np.random.default_rng(seed)
    image = rng.integers(0, 256, (rows, cols, 3), dtype=np.uint8)
    cv2.rectangle(image, (10, 8), (40, 30), (240, 230, 250), -1)
    return image


SETTINGS_TABLE = [
    None,
    {"threshold": 90, "contrast": 1.7, "brightness": -40},
    {"contrast": 0.2, "brightness": 150},
    {"gamma": 2.0},
    {"gamma": 0.5, "threshold": 60},
    {"rotation": 7.5},
    {"rotation": -15},
    {"rotation": 0.0011},
    {"blur": 2},
    {"blur": 15, "threshold": 100},
    {"binarize": False},
    {"binarize": False, "invert": True, "gamma": 1.3},
    {"invert": True},
    {"morphology": "dilate", "morph_size": 3},
    {"morphology": "erode", "morph_size": 2},
    {"morphology": "close", "morph_size": 5},
    {"morphology": "open", "morph_size": 9},
    {"morphology": "open", "binarize": False, "blur": 4, "rotation": 3, "gamma": 0.7, "contrast": 2.5},
]


@pytest.mark.parametrize("settings", SETTINGS_TABLE)
def test_process_image_equals_opencv(settings):
    for image in (scene(), scene(31, 17, seed=1)[:, :, 0].copy(), scene(20, 33, seed=2)[::-1, ::2]):
        out = panelsight.process_image(image, settings)
        expected = reference_process(image, settings)
        assert out.dtype == np.uint8 and out.shape == expected.shape
        np.testing.assert_array_equal(out, expected)


def test_the_gamma_table():
    ramp = np.arange(256, dtype=np.uint8).reshape(16, 16)
    plain = {"binarize": False}
    np.testing.assert_array_equal(panelsight.process_image(ramp, plain), ramp)
    squared = panelsight.process_image(ramp, dict(plain, gamma=2.0)).ravel()
    assert (squared[64], squared[128]) == (127, 180)
    halved = panelsight.process_image(ramp, dict(plain, gamma=0.5)).ravel()
    assert (halved[128], halved[255]) == (64, 255)


def test_default_settings_threshold_gray_at_150():
    image = scene()
    gray = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
    np.testing.assert_array_equal(panelsight.process_image(image), np.where(gray > 150, 255, 0).astype(np.uint8))


def test_rotation_below_the_deadband_changes_nothing():
    image = scene()
    still = panelsight.process_image(image)
    for angle in (0.001, -0.001):
        np.testing.assert_array_equal(panelsight.process_image(image, {"rotation": angle}), still)
    turned = panelsight.process_image(np.full((40, 60), 255, np.uint8), {"rotation": 10})
    assert turned[0, 0] == 0 and turned[20, 30] == 255


def test_blur_two_and_three_agree_and_one_is_identity():
    image = scene()
    np.testing.assert_array_equal(panelsight.process_image(image, {"blur": 2}),
                                  panelsight.process_image(image, {"blur": 3}))
    np.testing.assert_array_equal(panelsight.process_image(image, {"blur": 1}), panelsight.process_image(image))


def test_opening_removes_specks_smaller_than_its_square():
    image = np.zeros((30, 30), np.uint8)
    image[2:4, 2:4] = 255       # 2x2 speck: gone
    image[10:13, 10:13] = 255   # 3x3 square: kept
    image[20, 5:25] = 255       # one-pixel line: gone
    out = panelsight.process_image(image, {"morphology": "open", "morph_size": 3})
    expected = np.zeros_like(image)
    expected[10:13, 10:13] = 255
    np.testing.assert_array_equal(out, expected)


def test_input_is_never_modified_and_four_channels_are_accepted():
    image = scene()
    before = image.copy()
    panelsight.process_image(image, {"blur": 5, "morphology": "close", "rotation": 4})
    np.testing.assert_array_equal(image, before)
    bgra = cv2.cvtColor(image, cv2.COLOR_BGR2BGRA)
    np.testing.assert_array_equal(panelsight.process_image(bgra), reference_process(bgra))


def test_empty_images_come_back_as_the_same_object():
    for image in (None, np.zeros((0, 5, 3), np.uint8), np.zeros((4, 0), np.uint8), np.zeros((3, 4, 0), np.uint8),
                  np.zeros((0, 3), np.float64)):
        assert panelsight.process_image(image) is image


def test_one_dimensional_images_are_columns_as_opencv_sees_them():
    line = np.arange(0, 250, 10, dtype=np.uint8)
    out = panelsight.process_image(line)
    assert out.shape == (25, 1)
    np.testing.assert_array_equal(out[:, 0], np.where(line > 150, 255, 0))


@pytest.mark.parametrize("image", [
    np.zeros((4, 5), np.float32),
    np.zeros((4, 5, 3), np.uint16),
    np.zeros((4, 5), bool),
    np.zeros((4, 5, 1), np.uint8),
    np.zeros((4, 5, 2), np.uint8),
    np.zeros((4, 5, 3, 1), np.uint8),
])
def test_images_opencv_refuses_raise_its_error(image):
    with pytest.raises(cv2.error):
        panelsight.process_image(image)
    with pytest.raises(cv2.error):
        panelsight.prepare_display_from_crop(image)


def test_non_arrays():
    with pytest.raises(AttributeError):
        panelsight.process_image([[1, 2], [3, 4]])

    class Wrapped:
        def __init__(self, array):
            self.shape = array.shape
            self._array = array

        def __array__(self, dtype=None, copy=None):
            return self._array
    image = scene()
    np.testing.assert_array_equal(panelsight.process_image(Wrapped(image)), panelsight.process_image(image))


# -- the prepared display ------------------------------------------------------------------------------

def test_prepared_display():
    crop = scene(40, 100)
    d = panelsight.prepare_display_from_crop(crop, processing={"rotation": 30, "threshold": "120"})
    assert list(d) == ["binary", "angle", "crop_size", "separator", "processing"]
    assert d["crop_size"] == [100, 40] and type(d["crop_size"]) is list
    assert d["angle"] == 15.0 and type(d["angle"]) is float
    assert d["separator"] is None
    assert d["processing"] == panelsight.normalize_settings({"rotation": 30, "threshold": "120"})
    np.testing.assert_array_equal(d["binary"], reference_process(crop, {"rotation": 30, "threshold": 120}))


def test_empty_crops_give_none():
    for crop in (None, np.zeros((0, 0, 3), np.uint8), np.zeros((5, 0), np.uint8)):
        assert panelsight.prepare_display_from_crop(crop) is None
    # Nothing to prepare, so settings are not looked at.
    assert panelsight.prepare_display_from_crop(None, processing={"threshold": "high"}) is None


def test_chained_forms(tmp_path):
    frame = scene(120, 160, seed=4)
    zone = {"x": 0.25, "y": 0.1, "width": 0.5, "height": 0.5, "processing": {"threshold": 250}}
    settings = {"threshold": 80, "blur": 3}
    direct = panelsight.prepare_display_from_crop(frame[12:72, 40:120], False, settings)
    by_image = panelsight.prepare_display_from_image(zone, frame, processing=settings)
    path = tmp_path / "frame.png"
    cv2.imwrite(str(path), frame)
    by_file = panelsight.prepare_display(zone, str(path), False, settings)
    for other in (by_image, by_file):
        np.testing.assert_array_equal(other["binary"], direct["binary"])
        assert other["processing"]["threshold"] == 80  # the argument, not the zone's own settings
        assert other["crop_size"] == [80, 60]
    assert panelsight.prepare_display(zone, tmp_path / "missing.png") is None
    assert panelsight.prepare_display_from_image(dict(zone, width=0), frame) is None
    with pytest.raises(KeyError):
        panelsight.prepare_display_from_image({"x": 0, "y": 0, "width": 1}, frame)


def test_separator_detection_is_called_only_when_asked(monkeypatch):
    crop = scene(30, 80)
    calls = []

    def detect(*args, **kwargs):
        calls.append((args, kwargs))
        return {"separator_x": 41.0}
    monkeypatch.setattr(panelsight, "_detect_clock_separator_without_regions", detect, raising=False)
    assert panelsight.prepare_display_from_crop(crop, detect_separator=False)["separator"] is None
    assert calls == []
    d = panelsight.prepare_display_from_crop(crop, detect_separator=1)
    assert d["separator"] == {"separator_x": 41.0}
    (args, kwargs), = calls
    assert args[0] is crop and args[1] == 0.0 and type(args[1]) is float and kwargs == {}
    monkeypatch.setattr(panelsight, "_detect_clock_separator_without_regions", lambda c, a: None)
    assert panelsight.prepare_display_from_crop(crop, True)["separator"] is None


def test_preparing_from_two_threads_gives_the_single_thread_results():
    crops = [scene(60, 120, seed=s) for s in range(6)]
    settings = {"rotation": 5, "blur": 5, "morphology": "close", "morph_size": 3}
    calls = [(lambda want, c=c: np.array_equal(panelsight.prepare_display_from_crop(c, False, settings)["binary"], want),
              panelsight.process_image(c, settings)) for c in crops]
    assert mismatches_from_two_threads(calls, rounds=30) == 0
