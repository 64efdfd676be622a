"""The clock separator detection written plainly with NumPy and OpenCV's Python calls, as a model to
hold the module against. Two choices pin down what NumPy leaves to the machine: the float32 power
1.5 is the C library's powf (NumPy's own SIMD power differs in the last bit on some CPUs), and exp
is math.exp."""
import ctypes
import math

import cv2
import numpy as np

import native_ocr.panelsight as panelsight

_libm = ctypes.CDLL("libm.so.6")
_libm.powf.restype = ctypes.c_float
_libm.powf.argtypes = [ctypes.c_float, ctypes.c_float]
_powf = np.frompyfunc(lambda v: _libm.powf(float(v), 1.5), 1, 1)


def power_1_5(a):
    return _powf(a).astype(np.float32).reshape(a.shape)


def mask(crop, blurred_gray=None):
    gray = cv2.cvtColor(crop, cv2.COLOR_BGR2GRAY)
    hsv = cv2.cvtColor(crop, cv2.COLOR_BGR2HSV)
    _, _, val = cv2.split(hsv)
    bright_cut = max(int(np.percentile(val, 94)), 135)
    bright = np.where(val >= bright_cut, 255, 0).astype(np.uint8)
    blur = blurred_gray if blurred_gray is not None else cv2.GaussianBlur(gray, (0, 0), 7)
    detail = cv2.subtract(gray, blur)
    detail_cut = max(int(np.percentile(detail, 94)), 8)
    gray_cut = max(int(np.percentile(gray, 82)), 105)
    local = np.where((gray >= gray_cut) & (detail >= detail_cut), 255, 0).astype(np.uint8)
    m = cv2.bitwise_or(bright, local)
    h, w = m.shape
    min_area = max(3, int(h * w * 1.5e-05))
    count, labels, stats, _ = cv2.connectedComponentsWithStats(m, connectivity=8)
    kept = np.zeros_like(m)
    for label in range(1, count):
        if stats[label, cv2.CC_STAT_AREA] >= min_area:
            kept[labels == label] = 255
    return cv2.morphologyEx(kept, cv2.MORPH_CLOSE, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (3, 3)))


def energy_map(corridor, blurred_gray=None):
    gray = cv2.cvtColor(corridor, cv2.COLOR_BGR2GRAY).astype(np.float32)
    binary = (mask(corridor, blurred_gray) > 0).astype(np.float32)
    background = float(np.percentile(gray, 55))
    highlight = float(np.percentile(gray, 99))
    energy = power_1_5(np.clip((gray - background) / max(highlight - background, 1.0), 0.0, 1.0))
    combined = 0.5 * binary + 0.5 * energy
    return binary, energy, combined


def runs(bits):
    padded = np.pad(np.asarray(bits).astype(np.int8), (1, 1), constant_values=0)
    d = np.diff(padded)
    starts = np.flatnonzero(d == 1)
    ends = np.flatnonzero(d == -1) - 1
    return [[int(s), int(e)] for s, e in zip(starts, ends)]


def weighted_quantile(values, weights, quantile):
    order = np.argsort(values, kind="stable")
    v = np.asarray(values)[order]
    cumulative = np.cumsum(np.asarray(weights)[order])
    if v.size == 0 or cumulative[-1] <= 0:
        return 0.0
    index = int(np.searchsorted(cumulative, quantile * cumulative[-1], side="left"))
    return float(v[min(index, v.size - 1)])


def groups(binary, gray_energy, combined):
    h, w = combined.shape
    projection = combined.sum(axis=1).astype(np.float32)
    size = max(3, int(round(h * 0.04)))
    if size % 2 == 0:
        size += 1
    smooth = np.convolve(projection, np.ones(size, np.float32) / float(size), mode="same")
    smooth = np.maximum(smooth - np.percentile(smooth, 10), 0.0)
    peak = smooth.max(initial=0)
    if peak <= 0:
        return [], []
    active = smooth >= peak * 0.18
    max_gap = max(1, int(round(h * 0.035)))
    bands = []
    for start, end in runs(active):
        if bands and start - bands[-1][1] - 1 <= max_gap:
            bands[-1][1] = end
        else:
            bands.append([start, end])
    total = float(combined.sum())
    scale = max(0.01 * h * w, 1.0)
    out = []
    for top, bottom in bands:
        height = bottom - top + 1
        if (top == 0 or bottom == h - 1) and height <= h * 0.08:
            continue
        band = combined[top:bottom + 1]
        energy = float(band.sum())
        fraction = energy / max(total, 1.0)
        if energy <= 0 or fraction < 0.03:
            continue
        ys, xs = np.indices(band.shape)
        ys = ys + top
        weights = band.ravel()
        cx = float(np.sum(xs.ravel() * weights)) / energy
        cy = float(np.sum(ys.ravel() * weights)) / energy
        left = weighted_quantile(xs.ravel(), weights, 0.05)
        right = weighted_quantile(xs.ravel(), weights, 0.95)
        out.append({"y_min": int(top), "y_max": int(bottom), "center_x": cx, "center_y": cy,
                    "width": right - left + 1.0, "height": int(height), "energy": energy,
                    "gray_energy": float(gray_energy[top:bottom + 1].sum()),
                    "binary_energy": float(binary[top:bottom + 1].sum()), "energy_fraction": fraction,
                    "x_normalized": cx / max(w, 1), "y_normalized": cy / max(h, 1),
                    "reliability": min(energy / scale, 1.0)})
    profile = [round(float(combined[k * h // 6:(k + 1) * h // 6].sum()) / max(total, 1.0), 4) for k in range(6)]
    return out, profile


def topology(group_list, corridor_width, corridor_height):
    clip = lambda v: float(np.clip(v, 0.0, 1.0))  # noqa: E731
    upper = [g for g in group_list if g["y_normalized"] < 0.55]
    lower = [g for g in group_list if g["y_normalized"] > 0.45]
    best = None
    for u in upper:
        for lo in lower:
            if not lo["center_y"] > u["center_y"]:
                continue
            presence = math.sqrt(u["reliability"] * lo["reliability"])
            dx = abs(u["center_x"] - lo["center_x"])
            alignment = math.exp(-0.5 * (dx / max(corridor_width * 0.2, 1.0)) ** 2)
            ratio = lambda k: min(u[k], lo[k]) / max(u[k], lo[k])  # noqa: E731
            similarity = (ratio("energy") * ratio("width") * ratio("height")) ** (1.0 / 3.0)
            sep = (lo["center_y"] - u["center_y"]) / max(corridor_height, 1)
            separation = clip((sep - 0.12) / 0.18) * clip((0.8 - sep) / 0.2)
            topo = 0.5 * clip((0.6 - u["y_normalized"]) / 0.2) + 0.5 * clip((lo["y_normalized"] - 0.4) / 0.2)
            pair_x = (u["center_x"] + lo["center_x"]) / 2.0
            centrality = 1.0 - min(abs(pair_x / max(corridor_width, 1) - 0.5) / 0.5, 1.0)
            s = similarity * 0.2 + 0.25
            s = s + separation * 0.25
            s = s + topo * 0.15
            s = s + centrality * 0.15
            score = (alignment * presence) * s
            if best is None or score > best["score"]:
                best = {"score": score, "upper": u, "lower": lo, "alignment": alignment, "similarity": similarity,
                        "separation": separation, "topology": topo, "centrality": centrality}
    upper_reliability = max((g["reliability"] for g in upper), default=0.0)
    decimal = None
    for lo in lower:
        position = clip((lo["y_normalized"] - 0.5) / 0.25)
        score = lo["reliability"] * ((position * 0.25 + 0.35) + 0.4 * (1.0 - upper_reliability))
        if decimal is None or score > decimal["score"]:
            decimal = {"score": score, "lower": lo}
    return {"colon": best, "decimal": decimal, "colon_score": float(best["score"]) if best else 0.0,
            "decimal_score": float(decimal["score"]) if decimal else 0.0}


def corridor(crop_width, crop_height):
    layout = panelsight.layout_for_role("clock", crop_width, crop_height)
    sep = next(s for s in layout if s.get("kind") == "separator")
    left, right = sep["box"][0], sep["box"][2]
    width = max(3, right - left + 1)
    max_shift = max(1, int(width * (1.0 - 0.65)))
    return {"physical_left": left, "physical_right": right, "search_left": max(0, left - max_shift),
            "search_right": min(crop_width - 1, right + max_shift), "window_width": width,
            "minimum_overlap": 0.65, "max_shift": max_shift}


def starts(geometry):
    last = max(geometry["search_left"], geometry["search_right"] - geometry["window_width"] + 1)
    out = list(range(geometry["search_left"], last + 1))
    if geometry["physical_left"] not in out:
        out = sorted(out + [geometry["physical_left"]])
    return out


def evaluate(crop, left, window_width, blurred_gray=None):
    h, w = crop.shape[:2]
    left = max(0, min(int(left), w - window_width))
    right = min(left + window_width - 1, w - 1)
    window = crop[:, left:right + 1]
    group_list, profile = groups(*energy_map(window, blurred_gray))
    result = {"left": int(left), "right": int(right), "groups": group_list, "energy_profile": profile}
    result.update(topology(group_list, right - left + 1, h))
    return result


def spatial_prior(candidate_left, candidate_right, hypothesis_x, physical_left, physical_right):
    width = max(physical_right - physical_left + 1, 1.0)
    center = (physical_left + physical_right) / 2.0
    candidate_center = (candidate_left + candidate_right) / 2.0
    overlap = max(0.0, min(candidate_right, physical_right) - max(candidate_left, physical_left) + 1)
    overlap_ratio = float(np.clip(overlap / width, 0.0, 1.0))
    deadband = width * 0.15
    window_excess = max(0.0, abs(candidate_center - center) - deadband)
    group_excess = max(0.0, abs(hypothesis_x - center) - deadband)
    window_prior = math.exp(-0.5 * (window_excess / max(width * 0.45, 1.0)) ** 2)
    group_prior = math.exp(-0.5 * (group_excess / max(width * 0.65, 1.0)) ** 2)
    margin = width * 0.15
    compatible = physical_left - margin <= hypothesis_x <= physical_right + margin
    prior = (window_prior * overlap_ratio) * group_prior if compatible else 0.0
    return {"spatial_prior": float(np.clip(prior, 0.0, 1.0)), "overlap_ratio": overlap_ratio,
            "window_prior": window_prior, "group_prior": group_prior, "center_compatible": compatible}


def hypothesis(evaluated, char, physical_left, physical_right):
    if char == ":":
        candidate = evaluated.get("colon")
        if candidate is None:
            return None
        u, lo = candidate["upper"], candidate["lower"]
        local_x = (u["center_x"] * u["energy"] + lo["center_x"] * lo["energy"]) / max(u["energy"] + lo["energy"], 1.0)
        topo = float(evaluated["colon_score"])
    else:
        candidate = evaluated.get("decimal")
        if candidate is None:
            return None
        local_x = candidate["lower"]["center_x"]
        topo = float(evaluated["decimal_score"])
    x = float(evaluated["left"] + local_x)
    spatial = spatial_prior(evaluated["left"], evaluated["right"], x, physical_left, physical_right)
    result = {"char": char, "window": evaluated, "x": x, "topological_score": topo,
              "final_score": float(topo * spatial["spatial_prior"])}
    result.update(spatial)
    return result


def detect(crop, angle=0.0, per_window_blur=False):
    if crop is None or crop.size == 0:
        return None
    source = crop
    if abs(angle) >= 0.6:
        h, w = crop.shape[:2]
        m = cv2.getRotationMatrix2D((w / 2, h / 2), angle, 1.0)
        source = cv2.warpAffine(crop, m, (w, h), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT,
                                borderValue=0)
    h, w = source.shape[:2]
    g = corridor(w, h)
    evaluations = []
    for start in starts(g):
        # The per-window blur is the reference the shared sheet blur must equal.
        evaluations.append(evaluate(source, start, g["window_width"]))
    colons = [x for x in (hypothesis(e, ":", g["physical_left"], g["physical_right"]) for e in evaluations) if x]
    decimals = [x for x in (hypothesis(e, ".", g["physical_left"], g["physical_right"]) for e in evaluations) if x]
    best_colon = max(colons, key=lambda x: x["final_score"]) if colons else None
    best_decimal = max(decimals, key=lambda x: x["final_score"]) if decimals else None
    valid = [x for x in (best_colon, best_decimal) if x is not None and x["final_score"] >= 0.65]
    if not valid:
        return None
    selected = max(valid, key=lambda x: (x["final_score"], x["topological_score"]))
    best = selected["window"]
    if selected["char"] == ":":
        char, mode = ":", "minutes"
        upper, lower = best["colon"]["upper"], best["colon"]["lower"]
        local_x = (upper["center_x"] * upper["energy"] + lower["center_x"] * lower["energy"]) / max(
            upper["energy"] + lower["energy"], 1.0)
        chosen = [upper, lower]
    else:
        char, mode, upper = ".", "tenths", None
        lower = best["decimal"]["lower"]
        local_x = lower["center_x"]
        chosen = [lower]

    def public_group(gr):
        if gr is None:
            return None
        return {"y_min": int(gr["y_min"]), "y_max": int(gr["y_max"]),
                "center_x": round(float(best["left"] + gr["center_x"]), 2), "center_y": round(float(gr["center_y"]), 2),
                "x_normalized": round(float(gr["x_normalized"]), 4), "y_normalized": round(float(gr["y_normalized"]), 4),
                "width": round(float(gr["width"]), 2), "height": int(gr["height"]),
                "energy": round(float(gr["energy"]), 2), "gray_energy": round(float(gr["gray_energy"]), 2),
                "binary_energy": round(float(gr["binary_energy"]), 2),
                "energy_fraction": round(float(gr["energy_fraction"]), 4),
                "reliability": round(float(gr["reliability"]), 4)}

    def public_hypothesis(x):
        if x is None:
            return None
        return {"hypothesis_char": x["char"],
                "candidate_window": [int(x["window"]["left"]), 0, int(x["window"]["right"]), h - 1],
                "hypothesis_x": round(float(x["x"]), 2), "overlap_ratio": round(float(x["overlap_ratio"]), 4),
                "window_prior": round(float(x["window_prior"]), 4), "group_prior": round(float(x["group_prior"]), 4),
                "spatial_prior": round(float(x["spatial_prior"]), 4),
                "topological_score": round(float(x["topological_score"]), 4),
                "final_score": round(float(x["final_score"]), 4), "center_compatible": x["center_compatible"]}

    colon = best.get("colon")
    return {
        "x": best["left"] + local_x, "char": char, "mode": mode, "confidence": selected["final_score"],
        "dots": [[round(float(best["left"] + gr["center_x"]), 1), round(float(gr["center_y"]), 1)] for gr in chosen],
        "corridor": {"search": [int(g["search_left"]), 0, int(g["search_right"]), h - 1],
                     "selected": [int(best["left"]), 0, int(best["right"]), h - 1]},
        "physical_separator_box": [int(g["physical_left"]), 0, int(g["physical_right"]), h - 1],
        "candidate_window": [int(best["left"]), 0, int(best["right"]), h - 1],
        "spatial_prior": round(float(selected["spatial_prior"]), 4),
        "topological_score": round(float(selected["topological_score"]), 4),
        "final_score": round(float(selected["final_score"]), 4), "hypothesis_char": char,
        "best_colon": public_hypothesis(best_colon), "best_decimal": public_hypothesis(best_decimal),
        "selected_hypothesis": public_hypothesis(selected),
        "groups": [public_group(gr) for gr in best["groups"]],
        "upper_group": public_group(upper), "lower_group": public_group(lower),
        "colon_score": round(float(best_colon["topological_score"]) if best_colon else 0.0, 4),
        "decimal_score": round(float(best_decimal["topological_score"]) if best_decimal else 0.0, 4),
        "alignment": round(float(colon["alignment"]) if colon else 0.0, 4),
        "similarity": round(float(colon["similarity"]) if colon else 0.0, 4),
        "energy_profile": best["energy_profile"],
    }
