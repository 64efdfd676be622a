"""The importable reading surface of native_ocr.panelsight: constants, zone bounds, crops, boxes,
preview decoding, small-component removal and the zone accessors."""

import math
import pathlib
import threading

import cv2
import numpy as np
import pytest

from native_ocr import panelsight as ps

W, H = 640, 480


def zone(x=0.0, y=0.0, width=1.0, height=1.0, **extra):
    return {"x": x, "y": y, "width": width, "height": height, **extra}


def frame(height=H, width=W, channels=3):
    shape = (height, width, channels) if channels else (height, width)
    return (np.arange(np.prod(shape), dtype=np.int64) % 251).astype(np.uint8).reshape(shape)


class GeometryZone:
    """A zone object: geometry by item access, role and processing as attributes."""

    def __init__(self, geometry, role=None, processing=None):
        self._geometry = geometry
        self.role = role
        self.processing = processing

    def __getitem__(self, key):
        return self._geometry[key]


# --- module constants -------------------------------------------------------------------------

def test_default_processing_keys_values_and_types():
    expected = [
        ("threshold", 150, int), ("contrast", 1.0, float), ("brightness", 0, int),
        ("gamma", 1.0, float), ("rotation", 0.0, float), ("blur", 0, int),
        ("morphology", "none", str), ("morph_size", 1, int), ("grayscale", True, bool),
        ("binarize", True, bool), ("invert", False, bool),
    ]
    assert type(ps.DEFAULT_PROCESSING) is dict
    assert list(ps.DEFAULT_PROCESSING) == [key for key, _, _ in expected]
    for key, value, kind in expected:
        assert type(ps.DEFAULT_PROCESSING[key]) is kind, key
        assert ps.DEFAULT_PROCESSING[key] == value, key


def test_single_digit_roles():
    assert type(ps.SINGLE_DIGIT_ROLES) is frozenset
    assert ps.SINGLE_DIGIT_ROLES == {"down", "home_timeouts", "guest_timeouts"}


def test_module_order():
    names = ["DEFAULT_PROCESSING", "SINGLE_DIGIT_ROLES", "normalized_zone_bounds", "_box",
             "decode_bgr_image", "crop_zone_from_image", "crop_zone", "_remove_small_components",
             "_role", "_processing"]
    present = [name for name in vars(ps) if name in names]
    assert present == names


# --- normalized_zone_bounds -------------------------------------------------------------------

@pytest.mark.parametrize("z, size, expected", [
    (zone(), (W, H), (0, 0, 640, 480)),
    # (-0.1 + 0.3) * 640 is just under 128 in double precision
    (zone(x=-0.1, width=0.3), (W, H), (0, 0, 127, 480)),
    (zone(x=0.95, width=0.1), (W, H), (608, 0, 640, 480)),
    (zone(x=1.2, width=0.1), (W, H), (768, 0, 640, 480)),
    (zone(x=0.25, width=0.0), (W, H), (160, 0, 160, 480)),
    (zone(y=0.5, height=0.25), (W, H), (0, 240, 640, 360)),
    # the upper bound is not raised to 0, and truncation goes toward zero, not down
    (zone(x=-2.0, width=0.5), (W, H), (0, 0, -960, 480)),
    (zone(x=-0.01, width=0.005, y=-0.5, height=0.2), (W, H), (0, 0, -3, -144)),
    (zone(x=0.333, y=0.333, width=0.333, height=0.333), (101, 77), (33, 25, 67, 51)),
    (zone(x=1, y=0, width=1, height=1), (W, H), (640, 0, 640, 480)),
    (zone(x=0.5, width=True), (W, H), (320, 0, 640, 480)),
])
def test_bounds_table(z, size, expected):
    bounds = ps.normalized_zone_bounds(z, *size)
    assert type(bounds) is tuple
    assert all(type(v) is int for v in bounds)
    assert bounds == expected


def test_bounds_of_huge_values_are_exact_ints():
    bounds = ps.normalized_zone_bounds(zone(x=1e300, y=-1e300, width=0.0, height=0.0), W, H)
    assert bounds == (int(1e300 * W), 0, W, int(-1e300 * H))
    assert bounds[0] > 2 ** 64 and bounds[3] < -(2 ** 64)


@pytest.mark.parametrize("z, error", [
    (zone(x=math.nan), ValueError),
    (zone(height=math.nan), ValueError),
    (zone(x=math.inf), OverflowError),
    (zone(x=-math.inf), OverflowError),  # must not be clamped away to 0
    (zone(width=1e308, x=1e308), OverflowError),
    (zone(x="0.1"), TypeError),
    (zone(width=None), TypeError),
    ({"x": 0, "y": 0, "width": 1}, KeyError),
    ({}, KeyError),
])
def test_bounds_errors(z, error):
    with pytest.raises(error):
        ps.normalized_zone_bounds(z, W, H)


def test_bounds_read_geometry_by_item_access_and_keywords():
    obj = GeometryZone(zone(x=0.5, y=0.5, width=0.25, height=0.25), role="clock")
    assert ps.normalized_zone_bounds(image_height=H, image_width=W, zone=obj) == (320, 240, 480, 360)


# --- crop_zone_from_image ---------------------------------------------------------------------

@pytest.mark.parametrize("channels", [3, 0], ids=["colour", "gray"])
@pytest.mark.parametrize("z", [
    zone(),
    zone(x=-0.1, width=0.3),
    zone(x=0.95, width=0.1, y=0.9, height=0.5),
    zone(x=0.1, y=0.2, width=0.3, height=0.4),
])
def test_crop_is_a_view_of_the_zone(z, channels):
    image = frame(channels=channels)
    x1, y1, x2, y2 = ps.normalized_zone_bounds(z, W, H)
    crop = ps.crop_zone_from_image(z, image)
    assert crop.shape == image[y1:y2, x1:x2].shape
    assert crop.ndim == image.ndim
    np.testing.assert_array_equal(crop, image[y1:y2, x1:x2])
    assert np.shares_memory(crop, image)
    crop[...] = 7  # writing through the crop reaches the frame
    assert (image[y1:y2, x1:x2] == 7).all()


def test_crop_of_whole_frame_is_the_frame():
    image = frame()
    crop = ps.crop_zone_from_image(zone(), image)
    assert crop.shape == image.shape
    assert crop.__array_interface__["data"][0] == image.__array_interface__["data"][0]


@pytest.mark.parametrize("z", [
    zone(width=0.0),
    zone(height=0.0),
    zone(x=1.2, width=0.1),
    zone(y=1.0, height=0.5),
    zone(x=-2.0, width=1.5),  # end -320: Python slicing would wrap to 320 columns
    zone(y=-1.0, height=0.5),
    zone(x=0.5, width=-0.25),
    zone(x=1e300),
    zone(x=-1e300),
])
def test_crop_of_empty_selection_is_none(z):
    assert ps.crop_zone_from_image(z, frame()) is None
    assert ps.crop_zone_from_image(z, frame(channels=0)) is None


@pytest.mark.parametrize("image", [None, np.zeros((0, 0, 3), np.uint8), np.zeros((0, 5), np.uint8),
                                   np.zeros((4, 4, 0), np.uint8)],
                         ids=["none", "no-pixels", "no-rows", "no-channels"])
def test_crop_without_usable_image_is_none(image):
    assert ps.crop_zone_from_image(zone(), image) is None


def test_none_image_does_not_touch_zone():
    assert ps.crop_zone_from_image({}, None) is None


@pytest.mark.parametrize("view", [
    lambda a: a[::-1],
    lambda a: a[:, ::-2],
    lambda a: a[10:400:3, 5::2],
    lambda a: np.asfortranarray(a),
    lambda a: a.transpose(1, 0, 2),
], ids=["flipped", "negative-stride-cols", "strided", "fortran", "transposed"])
def test_crop_of_strided_frames(view):
    image = view(frame())
    h, w = image.shape[:2]
    z = zone(x=0.1, y=0.2, width=0.5, height=0.6)
    x1, y1, x2, y2 = ps.normalized_zone_bounds(z, w, h)
    crop = ps.crop_zone_from_image(z, image)
    np.testing.assert_array_equal(crop, image[y1:y2, x1:x2])
    assert np.shares_memory(crop, image)


def test_crop_with_zone_object_matches_dict():
    geometry = zone(x=0.2, y=0.1, width=0.4, height=0.3)
    image = frame()
    crop = ps.crop_zone_from_image(image=image, zone=GeometryZone(geometry, "home_score", {}))
    np.testing.assert_array_equal(crop, ps.crop_zone_from_image(geometry, image))


def test_crop_raises_for_bad_zone_on_real_image():
    with pytest.raises(KeyError):
        ps.crop_zone_from_image({"x": 0, "y": 0}, frame())
    with pytest.raises(ValueError):
        ps.crop_zone_from_image(zone(x=math.nan), frame())


# --- _box -------------------------------------------------------------------------------------

@pytest.mark.parametrize("values, expected", [
    ((0.5, 1.5, 2.5, 3.5), [0, 2, 2, 4]),
    ((-1.5, 0, 10, 7.49), [-2, 0, 10, 7]),
    ((-0.5, 0.5000001, -2.5, 4.5), [0, 1, -2, 4]),
    ((np.float64(2.5), np.float32(3.5), np.int64(7), True), [2, 4, 7, 1]),
    ((2 ** 53 + 1, -(10 ** 30), 1e20, 0.0), [2 ** 53 + 1, -(10 ** 30), 10 ** 20, 0]),
])
def test_box_rounds_half_to_even(values, expected):
    result = ps._box(*values)
    assert type(result) is list
    assert all(type(v) is int for v in result)
    assert result == expected


@pytest.mark.parametrize("bad, error", [
    (math.inf, OverflowError), (-math.inf, OverflowError), (math.nan, ValueError),
    ("1", TypeError), (None, TypeError),
])
def test_box_errors_like_round(bad, error):
    with pytest.raises(error):
        ps._box(0, 0, bad, 0)


def test_box_keywords():
    assert ps._box(y2=3.5, x2=2.5, y1=1.5, x1=0.5) == [0, 2, 2, 4]


# --- _remove_small_components -----------------------------------------------------------------

def three_blobs():
    mask = np.zeros((12, 12), np.uint8)
    mask[0, 0:2] = 255                 # area 2
    mask[4, 0] = mask[5, 1] = mask[6, 2] = 1  # area 3, joined only diagonally, not 255
    mask[8:10, 6:11] = 200             # area 10
    return mask


def test_remove_small_components_keeps_areas_at_least_min_area():
    mask = three_blobs()
    before = mask.copy()
    result = ps._remove_small_components(mask, 3)
    expected = np.zeros_like(mask)
    expected[4, 0] = expected[5, 1] = expected[6, 2] = 255
    expected[8:10, 6:11] = 255
    np.testing.assert_array_equal(result, expected)
    assert result.dtype == np.uint8 and result.shape == mask.shape
    np.testing.assert_array_equal(mask, before)
    assert not np.shares_memory(result, mask)


def reference_removal(mask, min_area):
    count, labels, stats, _ = cv2.connectedComponentsWithStats(np.ascontiguousarray(mask),
                                                               connectivity=8)
    out = np.zeros_like(mask)
    for label in range(1, count):
        if stats[label, cv2.CC_STAT_AREA] >= min_area:
            out[labels == label] = 255
    return out


@pytest.mark.parametrize("min_area", [0, 1, 2.5, 4, 7, 10 ** 30, -(10 ** 30), math.nan, np.int64(3)])
@pytest.mark.parametrize("seed", [0, 1])
def test_remove_small_components_matches_labelling(min_area, seed):
    rng = np.random.default_rng(seed)
    mask = np.where(rng.random((40, 57)) < 0.3, 255, 0).astype(np.uint8)
    np.testing.assert_array_equal(ps._remove_small_components(mask, min_area),
                                  reference_removal(mask, min_area))


@pytest.mark.parametrize("view", [
    lambda a: a[::-1, ::2], lambda a: a.T, lambda a: a[:, :, None],
], ids=["negative-stride", "transposed", "channel-axis"])
def test_remove_small_components_strided_masks(view):
    rng = np.random.default_rng(5)
    base = np.where(rng.random((30, 44)) < 0.35, 255, 0).astype(np.uint8)
    mask = view(base)
    result = ps._remove_small_components(min_area=4, mask=mask)
    assert result.shape == mask.shape
    np.testing.assert_array_equal(result.reshape(result.shape[:2]),
                                  reference_removal(mask.reshape(mask.shape[:2]), 4))


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0)])
def test_remove_small_components_empty_mask(shape):
    result = ps._remove_small_components(np.zeros(shape, np.uint8), 1)
    assert result.shape == shape and result.dtype == np.uint8


@pytest.mark.parametrize("mask", [
    np.zeros((4, 4), np.int8), np.zeros((4, 4), np.uint16), np.zeros((4, 4), np.float32),
    np.zeros((4, 4), bool), np.zeros((4, 4), np.int64), np.zeros((4, 4, 3), np.uint8),
    np.zeros((2, 2, 2, 1), np.uint8),
], ids=["int8", "uint16", "float32", "bool", "int64", "three-channel", "four-d"])
def test_remove_small_components_rejects_unlabellable_masks(mask):
    with pytest.raises(cv2.error):
        ps._remove_small_components(mask, 1)


def test_remove_small_components_rejects_non_numeric_min_area():
    with pytest.raises(TypeError):
        ps._remove_small_components(three_blobs(), "3")


# --- decode_bgr_image -------------------------------------------------------------------------

@pytest.fixture
def colour_jpeg(tmp_path):
    path = tmp_path / "colour.jpg"
    assert cv2.imwrite(str(path), frame(90, 120))
    return path


def test_decode_colour_jpeg(colour_jpeg):
    image = ps.decode_bgr_image(colour_jpeg)  # a pathlib.Path
    assert image.shape == (90, 120, 3) and image.dtype == np.uint8
    np.testing.assert_array_equal(image, cv2.imread(str(colour_jpeg), cv2.IMREAD_COLOR))
    again = ps.decode_bgr_image(preview_path=str(colour_jpeg))
    np.testing.assert_array_equal(again, image)
    assert not np.shares_memory(again, image)
    image[...] = 0  # the caller owns the array
    assert again.any()


def test_decode_gray_jpeg_gives_three_equal_channels(tmp_path):
    path = tmp_path / "gray.jpg"
    gray = frame(50, 70, channels=0)
    assert cv2.imwrite(str(path), gray)
    image = ps.decode_bgr_image(path)
    assert image.shape == (50, 70, 3)
    assert (image[..., 0] == image[..., 1]).all() and (image[..., 1] == image[..., 2]).all()
    assert np.abs(image[..., 0].astype(int) - gray).mean() < 8


def test_decode_unusual_path_text(tmp_path):
    path = tmp_path / "ünïcode score.jpg"
    assert cv2.imwrite(str(path), frame(10, 10))
    assert ps.decode_bgr_image(path).shape == (10, 10, 3)


@pytest.mark.parametrize("content", [
    None, b"", b"not an image at all" * 50, b"\xff\xd8\xff\xe0" + b"\x00" * 64,
], ids=["missing", "empty", "garbage", "jpeg-magic-only"])
def test_decode_unreadable_files_give_none(tmp_path, content):
    path = tmp_path / "preview.jpg"
    if content is not None:
        path.write_bytes(content)
    assert ps.decode_bgr_image(path) is None


def test_decode_odd_paths_give_none(tmp_path, colour_jpeg):
    assert ps.decode_bgr_image(tmp_path) is None  # a folder
    assert ps.decode_bgr_image(str(colour_jpeg) + "\0.png") is None
    assert ps.decode_bgr_image("\ud800.jpg") is None


@pytest.mark.parametrize("fraction", [0.01, 0.05, 0.5, 0.9])
def test_decode_truncated_jpeg_never_crashes(tmp_path, colour_jpeg, fraction):
    data = colour_jpeg.read_bytes()
    path = tmp_path / "truncated.jpg"
    path.write_bytes(data[:max(1, int(len(data) * fraction))])
    image = ps.decode_bgr_image(path)
    if fraction <= 0.01:
        assert image is None  # cut inside the headers
    else:
        assert image is None or (image.shape == (90, 120, 3) and image.dtype == np.uint8)


# --- crop_zone --------------------------------------------------------------------------------

def test_crop_zone_reads_the_file(colour_jpeg):
    z = zone(x=0.25, y=0.5, width=0.5, height=0.5)
    crop = ps.crop_zone(preview_path=colour_jpeg, zone=z)
    decoded = cv2.imread(str(colour_jpeg), cv2.IMREAD_COLOR)
    np.testing.assert_array_equal(crop, decoded[45:90, 30:90])


def test_crop_zone_of_missing_file_is_none(tmp_path):
    assert ps.crop_zone(zone(), tmp_path / "missing.jpg") is None
    assert ps.crop_zone({}, tmp_path / "missing.jpg") is None


# --- _role and _processing --------------------------------------------------------------------

class DictWithAttributes(dict):
    role = "clock"
    processing = {"threshold": 1}


class RoleNone(dict):
    role = None


class Bare:
    pass


class Exploding:
    @property
    def role(self):
        raise RuntimeError("role")

    @property
    def processing(self):
        raise RuntimeError("processing")


SETTINGS = {"threshold": 90}


@pytest.mark.parametrize("z, expected", [
    ({"role": "home_score"}, "home_score"),
    ({}, None),
    ({"role": None}, None),
    (DictWithAttributes(role="period"), "clock"),  # the attribute wins
    (RoleNone(role="down"), "down"),               # a None attribute falls back to the entry
    (GeometryZone(zone(), role="to_go"), "to_go"),
    (GeometryZone(zone(), role=None), None),
    (Bare(), None),
    ("clock", None),
    (None, None),
])
def test_role(z, expected):
    assert ps._role(z) == expected


@pytest.mark.parametrize("z, expected", [
    ({"processing": SETTINGS}, SETTINGS),
    ({}, None),
    (DictWithAttributes(processing=SETTINGS), SETTINGS),  # dicts: the entry, not the attribute
    (DictWithAttributes(), None),
    (GeometryZone(zone(), processing=SETTINGS), SETTINGS),
    (Bare(), None),
])
def test_processing(z, expected):
    assert ps._processing(zone=z) is expected


def test_accessors_return_the_zone_objects_unchanged():
    role = "home_penalty_1"
    z = {"role": role, "processing": SETTINGS}
    assert ps._role(zone=z) is role
    assert ps._processing(z) is SETTINGS


@pytest.mark.parametrize("accessor", [ps._role, ps._processing])
def test_accessors_propagate_errors_other_than_missing_attribute(accessor):
    with pytest.raises(RuntimeError):
        accessor(Exploding())


# --- threads ----------------------------------------------------------------------------------

def test_threads_get_the_same_results_as_one_thread(tmp_path):
    paths = []
    for i in range(4):
        path = tmp_path / f"frame{i}.jpg"
        cv2.imwrite(str(path), np.roll(frame(120, 160), 17 * i, axis=1))
        paths.append(path)
    rng = np.random.default_rng(11)
    masks = [np.where(rng.random((60, 80)) < 0.3, 255, 0).astype(np.uint8) for _ in range(4)]
    z = zone(x=0.1, y=0.2, width=0.6, height=0.5)

    def work():
        out = []
        for path, mask in zip(paths, masks):
            out.append(ps.decode_bgr_image(path))
            out.append(ps.crop_zone(z, path).copy())
            out.append(ps._remove_small_components(mask, 3))
        return out

    expected = work()
    results = [None, None]
    errors = []

    def run(slot):
        try:
            rounds = [work() for _ in range(15)]
            results[slot] = rounds
        except Exception as error:  # reported below; a thread cannot fail the test itself
            errors.append(error)

    threads = [threading.Thread(target=run, args=(slot,)) for slot in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    for rounds in results:
        for got in rounds:
            assert len(got) == len(expected)
            for a, b in zip(got, expected):
                np.testing.assert_array_equal(a, b)
