"""Calls every function of both modules with hostile arguments, for a fixed number of rounds from a
fixed seed. Any Python exception is an answer; a crash, a sanitizer report or a hang is a failure.

    python3 tests/fuzz/fuzz_modules.py [--rounds N] [--seed S]
"""

import argparse
import math
import random
import sys
import warnings

import numpy as np

import native_ocr.panelsight as panelsight
import native_ocr.segmark as segmark

DTYPES = ["?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "g", ">u2", ">i4", ">f4", ">f8",
          "c8", "U3", "O", "M8[s]"]
HUGE = [10**30, -10**30, 2**63, 2**63 - 1, -2**63, -2**63 - 1, 2**64, 2**62, 2**62 + 1, -2**62, 2**53 + 1, 10**400]


class Raises:
    """An object whose conversions all raise."""
    def __index__(self):
        raise RuntimeError("index")

    def __float__(self):
        raise RuntimeError("float")

    def __int__(self):
        raise RuntimeError("int")

    def __bool__(self):
        raise RuntimeError("bool")

    def __len__(self):
        raise RuntimeError("len")

    def __iter__(self):
        raise RuntimeError("iter")

    def __getitem__(self, key):
        raise RuntimeError("getitem")


class RaisingMapping(dict):
    def __getitem__(self, key):
        raise KeyError(key)

    def get(self, key, default=None):
        raise RuntimeError("get")


def array(rng, giant=False):
    dtype = rng.choice(DTYPES)
    ndim = rng.randrange(0, 5)
    shape = tuple(rng.choice([0, 1, 2, 3, 5, 17, 40]) for _ in range(ndim))
    kind = rng.randrange(8)
    try:
        # Zero-stride giants only where the rules never copy the whole image (NumPy itself would
        # try to allocate the copy elsewhere).
        if kind == 0 and giant:
            return np.broadcast_to(np.array(rng.choice([0, 255]), dtype=np.uint8),
                                   rng.choice([(2**32, 8), (8, 2**32), (2**31, 4, 3), (3, 2**33)]))
        base = np.random.default_rng(rng.randrange(1000)).integers(0, 256, size=shape).astype(dtype)
        if kind == 1 and ndim:
            base = base[::-1]
        if kind == 2 and ndim >= 2:
            base = base[:, ::-2]
        if kind == 3:
            base.setflags(write=False)
        if kind == 4 and base.dtype.itemsize > 1 and base.dtype.kind in "iuf":
            raw = bytearray(base.nbytes + 1)
            out = np.frombuffer(raw, dtype=base.dtype, offset=1, count=base.size).reshape(base.shape)
            out[...] = base
            base = out
        if kind == 5 and base.dtype.kind in "f" and base.size:
            base.flat[0] = rng.choice([math.nan, math.inf, -math.inf])
        return base
    except (TypeError, ValueError, OverflowError):
        return np.zeros((3, 3), np.uint8)


def scalar(rng):
    return rng.choice([0, 1, -1, 3, 7.5, math.nan, math.inf, -math.inf, True, False, None, "7", "x", b"1", [],
                       Raises(), 1e300, -0.0, complex(1, 1)] + HUGE)


def small(rng):
    """A value for a count or a size that a loop runs over: hostile, but not one that asks for 2^62
    iterations (Python's own range() would run as long)."""
    return rng.choice([0, 1, -1, 3, 7.5, math.nan, math.inf, -math.inf, True, None, "7", "x", Raises(), 40, 200,
                       -10**30])


def box(rng):
    if rng.random() < 0.2:
        return rng.choice([None, "abcd", [1, 2, 3], [1, 2, 3, 4, 5], Raises(), (x for x in range(4))])
    return [scalar(rng) if rng.random() < 0.3 else rng.randrange(-50, 60) for _ in range(4)]


def slot(rng):
    kind = rng.random()
    if kind < 0.1:
        return RaisingMapping(kind="digit", box=[0, 0, 3, 3])
    if kind < 0.15:
        return Raises()
    return {"kind": rng.choice(["digit", "digit", "separator", None, 3]), "slot": 0, "box": box(rng)}


def zone(rng):
    if rng.random() < 0.1:
        return rng.choice([RaisingMapping(x=0.1, y=0.1, width=0.5, height=0.5), Raises(), None, {}])
    z = {k: rng.choice([0.0, 0.1, 0.5, 1.0, 2.0, -1.0, math.nan, math.inf, 10**30, "0.5", None])
         for k in ("x", "y", "width", "height")}
    if rng.random() < 0.5:
        z["role"] = rng.choice(["clock", "home_score", "period", "down", 3, None, "\ud800"])
    if rng.random() < 0.5:
        z["processing"] = settings(rng)
    return z


def settings(rng):
    if rng.random() < 0.1:
        return rng.choice([RaisingMapping(threshold=3), Raises(), [("threshold", 3)], "x"])
    keys = ["threshold", "contrast", "brightness", "gamma", "rotation", "blur", "morph_size", "morphology",
            "invert", "binarize", "grayscale"]
    return {k: scalar(rng) if rng.random() < 0.5 else rng.choice(["open", "close", "none", 3, 1.5])
            for k in rng.sample(keys, rng.randrange(len(keys)))}


def image_or_none(rng, giant=False):
    if rng.random() < 0.3:
        # A plausible crop, so that deeper stages are reached.
        h, w = rng.randrange(1, 60), rng.randrange(1, 120)
        return np.random.default_rng(rng.randrange(1000)).integers(0, 256, (h, w, 3), dtype=np.uint8)
    return rng.choice([array(rng, giant), None, [[1, 2], [3, 4]], Raises()])


def calls(rng):
    """(function, arguments) pairs covering every function of both modules."""
    a = lambda: image_or_none(rng)  # noqa: E731
    g = lambda: image_or_none(rng, giant=True)  # noqa: E731
    s = lambda: scalar(rng)  # noqa: E731
    n = lambda: small(rng)  # noqa: E731
    yield segmark.read_digit_slot, (g(), slot(rng))
    yield segmark.read_slots, (g(), [slot(rng) for _ in range(rng.randrange(4))])
    yield segmark._clip_box, (box(rng), s(), s())
    yield segmark._as01, (a(),)
    yield segmark._tight_bounds, (a(),)
    yield segmark._contiguous_runs, ([s() for _ in range(rng.randrange(5))],)
    yield segmark._remove_marginal_runs, ([[s(), s()] for _ in range(rng.randrange(4))], s())
    yield segmark._runs_overlap, ([s(), s()], [s(), s()])
    yield segmark._extend_from_core, (a(), [[s(), s()]], s())
    yield segmark._horizontal_bar_extent, (a(), s(), s(), s())
    yield segmark._structural_frame, (a(),)
    yield segmark._segment_strengths, (a(),)
    yield segmark._activations, ([s() for _ in range(rng.randrange(8))],)
    yield segmark._score_pattern, ([s() for _ in range(7)], [s() for _ in range(rng.randrange(8))])
    yield segmark._classify_frame, (a(),)
    yield segmark._significant_component_count, (a(),)
    yield segmark._single_vertical_mass, (a(), rng.choice([{"top": s(), "bottom": s(), "left": s(), "right": s()},
                                                           RaisingMapping()]))
    yield segmark._frame_from_cell, (a(),)
    yield panelsight.normalized_zone_bounds, (zone(rng), s(), s())
    yield panelsight._read_slots, (a(), [slot(rng)])
    yield panelsight.normalize_settings, (settings(rng),)
    yield panelsight.process_image, (g(), settings(rng))
    yield panelsight._box, (s(), s(), s(), s())
    yield panelsight.equal_digit_slots, (s(), s(), n())
    yield panelsight.clock_slots, (s(), s(), s())
    yield panelsight.layout_for_role, (rng.choice(["clock", "home_score", 3, "\ud800"]), s(), s(), s())
    yield panelsight.decode_bgr_image, (rng.choice(["/nonexistent", "/dev/null", "/", "", "\0", 3, Raises()]),)
    yield panelsight.crop_zone_from_image, (zone(rng), g())
    yield panelsight.crop_zone, (zone(rng), "/nonexistent")
    yield panelsight._remove_small_components, (a(), s())
    yield panelsight._clock_separator_mask, (a(), rng.choice([None, a()]))
    yield panelsight._separator_energy_map, (a(), rng.choice([None, a()]))
    yield panelsight._separator_runs, (a(),)
    yield panelsight._weighted_quantile, (a(), a(), s())
    yield panelsight._separator_groups, (a(), a(), a())
    yield panelsight._separator_topology, ([{"center_x": s(), "center_y": s(), "width": s(), "height": s(),
                                             "energy": s(), "y_normalized": s(), "reliability": s()}], s(), s())
    yield panelsight._separator_search_corridor, (n(), s())
    yield panelsight._evaluate_separator_window, (a(), s(), s(), rng.choice([None, a()]))
    yield panelsight._separator_spatial_prior, (s(), s(), s(), s(), s())
    yield panelsight._separator_hypothesis, (rng.choice([{"colon": None, "decimal": None}, RaisingMapping(), {}]),
                                             rng.choice([":", ".", 3]), s(), s())
    yield panelsight._reflect_blur_radius, (s(),)
    yield panelsight._reflected_sheet_blurs, ([a() for _ in range(rng.randrange(3))], rng.choice([7.0, 0.5, s()]))
    yield panelsight._separator_window_views, (a(),)
    yield panelsight._separator_window_blurs, (a(),)
    yield panelsight._detect_clock_separator_without_regions, (a(), s())
    yield panelsight.prepare_display_from_crop, (a(), s(), settings(rng))
    yield panelsight.prepare_display_from_image, (zone(rng), a(), s(), settings(rng))
    yield panelsight._role, (zone(rng),)
    yield panelsight._processing, (zone(rng),)
    yield panelsight.read_clock_from_crop, (a(), rng.choice(["clock", 3, None, ""]), settings(rng))
    yield panelsight.read_clock_from_image, (zone(rng), a())
    yield panelsight.read_score_from_crop, (g(), rng.choice(["home_score", "clock", 3, None]), settings(rng))
    yield panelsight.read_score_from_image, (zone(rng), a())
    yield panelsight.read_period_from_crop, (a(), settings(rng))
    yield panelsight.read_single_digit_from_crop, (a(), rng.choice(["down", "period", 3, []]), settings(rng))
    yield panelsight.read_single_digit_from_image, (zone(rng), a())
    yield panelsight.read_period, (zone(rng), "/nonexistent")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--seed", type=int, default=20261210)
    parser.add_argument("--trace", action="store_true", help="name each call before it is made")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    warnings.simplefilter("ignore")
    answered = raised = 0
    for _ in range(args.rounds):
        for function, arguments in calls(rng):
            if args.trace:
                print(function.__name__, flush=True)
            try:
                function(*arguments)
                answered += 1
            except Exception:  # noqa: BLE001 - any Python exception is a legitimate answer here
                raised += 1
    print(f"fuzz: {answered} answers, {raised} Python exceptions, seed {args.seed}, {args.rounds} rounds")
    return 0


if __name__ == "__main__":
    sys.exit(main())
