"""A slow, literal NumPy model of the digit reader, used as the oracle of the differential tests.

It is written step by step from the reader's documented rules, independently of the C++ code, so
that the two can only agree by both following the rules. It reads its thresholds from the module
under test so that both see the same values.
"""

import numpy as np


class Reference:
    def __init__(self, module):
        self.m = module

    # -- cell primitives ---------------------------------------------------------------------
    @staticmethod
    def clip_box(box, width, height):
        x1, y1, x2, y2 = [int(v) for v in box]
        x1 = max(0, min(x1, width - 1))
        x2 = max(0, min(x2, width - 1))
        y1 = max(0, min(y1, height - 1))
        y2 = max(0, min(y2, height - 1))
        return [min(x1, x2), min(y1, y2), max(x1, x2), max(y1, y2)]

    @staticmethod
    def as01(image):
        if image.ndim == 3:
            image = image.max(axis=2)
        return (image > 0).astype(np.uint8)

    @staticmethod
    def tight_bounds(mask):
        rows, cols = np.where(mask > 0)
        if rows.size == 0:
            return None
        return (int(cols.min()), int(rows.min()), int(cols.max()), int(rows.max()))

    @staticmethod
    def contiguous_runs(indices):
        if len(indices) == 0:
            return []
        runs = []
        start = previous = int(indices[0])
        for value in indices[1:]:
            value = int(value)
            if value > previous + 1:
                runs.append([start, previous])
                start = value
            previous = value
        runs.append([start, previous])
        return runs

    def remove_marginal_runs(self, runs, cell_height):
        runs = [list(r) for r in runs]
        max_height = cell_height * self.m.MARGINAL_RUN_MAX_HEIGHT_RATIO
        min_gap = cell_height * self.m.MARGINAL_RUN_MIN_GAP_RATIO
        while len(runs) >= 2:
            first = runs[0]
            gap = runs[1][0] - first[1] - 1
            if first[0] != 0 or first[1] - first[0] + 1 > max_height or gap < min_gap:
                break
            runs.pop(0)
        while len(runs) >= 2:
            last = runs[-1]
            gap = last[0] - runs[-2][1] - 1
            if last[1] != cell_height - 1 or last[1] - last[0] + 1 > max_height or gap < min_gap:
                break
            runs.pop()
        return runs

    @staticmethod
    def runs_overlap(first, second):
        return first[0] <= second[1] and first[1] >= second[0]

    def extend_from_core(self, projection, core_runs, max_gap):
        weak_runs = self.contiguous_runs(np.flatnonzero(np.asarray(projection) >= self.m.STRUCTURAL_MIN_PIXELS))
        linked = [w for w in weak_runs if any(self.runs_overlap(w, c) for c in core_runs)]
        if not linked:
            return None
        top = min(r[0] for r in linked)
        bottom = max(r[1] for r in linked)
        changed = True
        while changed:
            changed = False
            for run in weak_runs:
                if run in linked:
                    continue
                gap_above = top - run[1] - 1
                gap_below = run[0] - bottom - 1
                if 0 <= gap_above <= max_gap or 0 <= gap_below <= max_gap:
                    linked.append(run)
                    top = min(top, run[0])
                    bottom = max(bottom, run[1])
                    changed = True
        return (int(top), int(bottom))

    @staticmethod
    def mean(frame, x1, y1, x2, y2):
        height, width = frame.shape[:2]
        ix1, ix2, iy1, iy2 = round(x1), round(x2), round(y1), round(y2)
        ix1, ix2 = min(ix1, width), min(ix2, width)
        iy1, iy2 = min(iy1, height), min(iy2, height)
        ix1, ix2, iy1, iy2 = [0 if v <= 0 else v for v in (ix1, ix2, iy1, iy2)]
        if ix1 >= ix2 or iy1 >= iy2:
            return 0.0
        return float(frame[iy1:iy2, ix1:ix2].mean())

    # -- structural frame ------------------------------------------------------------------------
    def horizontal_bar_extent(self, cell, top, bottom, stroke_thickness):
        candidates = []
        for y in range(top, bottom + 1):
            runs = self.contiguous_runs(np.flatnonzero(cell[y] > 0))
            if not runs:
                continue
            run = max(runs, key=lambda r: r[1] - r[0] + 1)  # max keeps the first (leftmost) of equals
            width = run[1] - run[0] + 1
            if width >= 2 * max(stroke_thickness, 1):
                candidates.append((width, run[0], run[1]))
        if not candidates:
            return None
        best = max(candidates)
        return (int(best[1]), int(best[2]))

    def structural_frame(self, cell):
        m = self.m
        tight = self.tight_bounds(cell)
        if tight is None:
            return None
        lx1, ly1, lx2, ly2 = tight
        cell_height, cell_width = cell.shape
        hp = cell.sum(axis=1)
        hmax = float(hp.max()) if hp.size else 0.0
        hthr = float(max(hmax * m.STRUCTURAL_PROJECTION_RATIO, m.STRUCTURAL_MIN_PIXELS))
        row_runs = self.remove_marginal_runs(self.contiguous_runs(np.flatnonzero(hp >= hthr)), cell_height)
        if row_runs:
            core_top, core_bottom = row_runs[0][0], row_runs[-1][1]
            max_gap = max(round(cell_height * m.MARGINAL_RUN_MIN_GAP_RATIO), 1)
            ext = self.extend_from_core(hp, row_runs, max_gap)
            top, bottom = ext if ext is not None else (core_top, core_bottom)
        else:
            core_top = top = ly1
            core_bottom = bottom = ly2
        vp = cell[top:bottom + 1, :].sum(axis=0)
        vmax = float(vp.max()) if vp.size else 0.0
        vthr = float(max(vmax * m.STRUCTURAL_PROJECTION_RATIO, m.STRUCTURAL_MIN_PIXELS))
        active = np.flatnonzero(vp >= vthr)
        if active.size:
            left, right = int(active[0]), int(active[-1])
        else:
            left, right = lx1, lx2
        column_runs = self.contiguous_runs(active)
        hgap = max(round(cell_width * m.MARGINAL_RUN_MIN_GAP_RATIO), 1)
        support = self.extend_from_core(vp, column_runs, hgap)
        support_left, support_right = support if support is not None else (left, right)
        width_ratio = (right - left + 1) / max(cell_width, 1)
        stroke = int(right - left + 1)
        lengths = sorted((r[1] - r[0] + 1 for r in row_runs), reverse=True)
        if len(lengths) >= 2:
            nsl = float(np.mean(lengths[:2]))
        elif len(lengths) == 1:
            nsl = float(lengths[0])
        else:
            nsl = max((bottom - top + 1 - stroke) / 2.0, 1.0)
        nfw = int(round(2.0 * stroke + nsl))
        bar = self.horizontal_bar_extent(cell, top, bottom, stroke)
        if bar is not None:
            nfw = max(nfw, bar[1] - bar[0] + 1 + stroke)
        nfw = max(min(nfw, cell_width), stroke)
        return {
            "tight_box": [lx1, ly1, lx2, ly2],
            "vertical_core_top": int(core_top), "vertical_core_bottom": int(core_bottom),
            "vertical_extended_top": int(top), "vertical_extended_bottom": int(bottom),
            "top": int(top), "bottom": int(bottom), "left": left, "right": right,
            "support_left": int(support_left), "support_right": int(support_right),
            "width_ratio": float(width_ratio), "nominal_segment_length": float(nsl),
            "nominal_frame_width": int(nfw), "horizontal_bar_extent": bar,
        }

    # -- glyph checks and frame placement --------------------------------------------------------
    def significant_component_count(self, mask):
        height, width = mask.shape
        visited = np.zeros((height, width), np.uint8)
        areas = []
        for y, x in zip(*np.nonzero(mask > 0)):
            if visited[y, x]:
                continue
            stack = [(y, x)]
            visited[y, x] = 1
            area = 0
            while stack:
                cy, cx = stack.pop()
                area += 1
                for ny, nx in ((cy - 1, cx), (cy + 1, cx), (cy, cx - 1), (cy, cx + 1)):
                    if 0 <= ny < height and 0 <= nx < width and not visited[ny, nx] and mask[ny, nx] > 0:
                        visited[ny, nx] = 1
                        stack.append((ny, nx))
            areas.append(area)
        if not areas:
            return 0
        minimum = max(max(areas) * self.m.COMPONENT_AREA_FRACTION, self.m.COMPONENT_MIN_AREA)
        return sum(1 for a in areas if a >= minimum)

    def single_vertical_mass(self, cell, s):
        m = self.m
        top, bottom, left, right = s["top"], s["bottom"], s["left"], s["right"]
        glyph = cell[top:bottom + 1, left:right + 1]
        if glyph.size == 0 or self.significant_component_count(glyph) != 1:
            return False
        widths = []
        for row in glyph:
            runs = self.contiguous_runs(np.flatnonzero(row > 0))
            if runs:
                widths.append(max(r[1] - r[0] + 1 for r in runs))
        if len(widths) < m.VERTICAL_STROKE_MIN_ROWS:
            return False
        stroke = float(np.median(widths))
        if max(widths) >= max(stroke * m.VERTICAL_STROKE_MAX_WIDTH_RATIO, stroke + 2.0):
            return False
        height = max(bottom - top + 1, 1)
        return (right - left + 1) <= height * m.VERTICAL_STROKE_MAX_ASPECT

    def frame_from_cell(self, cell):
        s = self.structural_frame(cell)
        if s is None:
            return None
        cw = cell.shape[1]
        fy1, fy2 = s["top"], s["bottom"]
        bar = s["horizontal_bar_extent"] is not None
        if s["width_ratio"] >= self.m.WIDE_GLYPH_MIN_WIDTH_RATIO:
            fx1, fx2 = s["left"], s["right"]
            labels = ("wide", "projection_wide", "projection_wide")
        else:
            fw = s["nominal_frame_width"]
            center = (s["left"] + s["right"] + 1) / (2.0 * max(cw, 1))
            right_fits = s["right"] - fw + 1 >= 0
            left_fits = s["left"] + fw - 1 < cw
            if right_fits and not left_fits:
                side = "right"
            elif left_fits and not right_fits:
                side = "left"
            elif center >= 2.0 / 3.0:
                side = "right"
            elif center <= 1.0 / 3.0:
                side = "left"
            else:
                side = "ambiguous"
            right_cols = (max(s["support_right"] - fw + 1, 0), s["support_right"])
            if side == "right":
                fx1, fx2 = right_cols
                label = "horizontal_bar_extent" if bar else "nominal_width_right_anchored"
                labels = ("right", label, label)
            elif side == "left":
                fx1, fx2 = s["support_left"], min(s["support_left"] + fw - 1, cw - 1)
                label = "horizontal_bar_extent" if bar else "nominal_width_left_anchored"
                labels = ("left", label, label)
            elif self.single_vertical_mass(cell, s):
                fx1, fx2 = right_cols
                labels = ("right", "nominal_width_right_anchored", "nominal_width_right_anchored")
            else:
                fx1, fx2 = s["support_left"], s["support_right"]
                labels = ("ambiguous", "observed_fallback", "projection_vertical_preserved_horizontal")
        return {
            "frame": cell[fy1:fy2 + 1, fx1:fx2 + 1],
            "frame_box_local": [fx1, fy1, fx2, fy2],
            "observed_box_local": s["tight_box"],
            "source": "disabled",
            "frame_method": labels[2],
            "horizontal_frame_source": labels[1],
            "horizontal_structure_position": labels[0],
            "vertical_core_top": s["vertical_core_top"],
            "vertical_core_bottom": s["vertical_core_bottom"],
            "vertical_extended_top": s["vertical_extended_top"],
            "vertical_extended_bottom": s["vertical_extended_bottom"],
            "structural_top": s["top"], "structural_bottom": s["bottom"],
            "structural_left": s["left"], "structural_right": s["right"],
            "structural_width_ratio": s["width_ratio"],
            "nominal_segment_length": s["nominal_segment_length"],
            "nominal_frame_width": s["nominal_frame_width"],
        }

    # -- segments and classification -------------------------------------------------------------
    def segment_strengths(self, frame):
        m = self.as01(frame)
        h, w = m.shape
        if h < 8 or w < 5:
            return [0.0] * 7
        span = self.m.HORIZONTAL_PROBE_CENTER_SPAN
        hx1, hx2 = (0.5 - span / 2.0) * w, (0.5 + span / 2.0) * w
        hh = max(0.11 * h, 2.0)
        a = self.mean(m, hx1, 0.02 * h, hx2, 0.02 * h + hh)
        g = self.mean(m, hx1, 0.5 * h - hh / 2.0, hx2, 0.5 * h + hh / 2.0)
        d = self.mean(m, hx1, 0.98 * h - hh, hx2, 0.98 * h)
        vw = max(0.2 * w, 2.0)
        f = self.mean(m, 0.0, 0.15 * h, vw, 0.42 * h)
        b = self.mean(m, w - vw, 0.15 * h, w, 0.42 * h)
        e = self.mean(m, 0.0, 0.58 * h, vw, 0.85 * h)
        c = self.mean(m, w - vw, 0.58 * h, w, 0.85 * h)
        return [a, b, c, d, e, f, g]

    @staticmethod
    def activations(strengths):
        return [float(np.clip(v / 0.3, 0.0, 1.0)) for v in strengths]

    @staticmethod
    def score_pattern(acts, pattern):
        q = [a if expected == 1 else 1.0 - a for a, expected in zip(acts, pattern)]
        return float(np.clip(0.72 * float(np.mean(q)) + 0.28 * min(q), 0.0, 1.0))

    def classify_frame(self, frame):
        strengths = self.segment_strengths(frame)
        acts = self.activations(strengths)
        candidates = []
        for digit, patterns in self.m.DIGIT_PATTERNS.items():
            for variant, pattern in enumerate(patterns):
                candidates.append({"digit": digit, "variant": variant, "pattern": pattern,
                                   "score": self.score_pattern(acts, pattern)})
        candidates.sort(key=lambda c: c["score"], reverse=True)
        best = candidates[0]
        second = next((c for c in candidates[1:] if c["digit"] != best["digit"]), candidates[1])
        margin = max(best["score"] - second["score"], 0.0)
        confidence = float(np.clip(0.85 * best["score"] + 0.15 * min(margin / 0.18, 1.0), 0.0, 1.0))
        value = best["digit"] if best["score"] >= 0.58 else None
        return value, confidence, strengths, acts, best, second

    # -- the slot ----------------------------------------------------------------------------------
    def read_digit_slot(self, binary, slot):
        h, w = binary.shape[:2]
        x1, y1, x2, y2 = box = self.clip_box(slot["box"], w, h)
        cell = self.as01(binary[y1:y2 + 1, x1:x2 + 1])
        result = dict(slot)
        if cell.size == 0:
            result.update({"box": box, "char": None, "status": "empty", "confidence": 1.0,
                           "empty_confidence": 1.0, "ink_ratio": 0.0})
            return result
        ink_ratio = float(cell.mean())
        empty_confidence = float(np.clip(1.0 - ink_ratio / 0.06, 0.0, 1.0))
        if empty_confidence >= 0.6:
            result.update({"box": box, "char": None, "status": "empty", "confidence": empty_confidence,
                           "empty_confidence": empty_confidence, "ink_ratio": ink_ratio})
            return result
        info = self.frame_from_cell(cell)
        value, confidence, strengths, acts, best, second = self.classify_frame(info["frame"])
        olx1, _, olx2, _ = info["observed_box_local"]
        observed = (olx2 - olx1 + 1) / max(cell.shape[1], 1)
        fx1, fy1, fx2, fy2 = info["frame_box_local"]
        fills = [round(v, 3) for v in strengths]
        result.update({
            "box": box,
            "glyph_box": [x1 + fx1, y1 + fy1, x1 + fx2, y1 + fy2],
            "char": value,
            "status": "digit" if value is not None else "unknown",
            "confidence": float(confidence),
            "empty_confidence": empty_confidence,
            "ink_ratio": ink_ratio,
            "segments": [1 if a >= 0.5 else 0 for a in acts],
            "fills": fills,
            "segment_names": list(self.m.SEGMENT_NAMES),
            "segment_strengths": list(fills),
            "segment_activation": [round(a, 3) for a in acts],
            "matched_pattern": list(best["pattern"]),
            "pattern_variant": best["variant"],
            "pattern_score": round(best["score"], 3),
            "runner_up": second["digit"],
            "runner_up_score": round(second["score"], 3),
            "geometry_source": info["source"],
            "frame_method": info["frame_method"],
            "horizontal_frame_source": info["horizontal_frame_source"],
            "horizontal_structure_position": info["horizontal_structure_position"],
            "vertical_core_top": int(info["vertical_core_top"]),
            "vertical_core_bottom": int(info["vertical_core_bottom"]),
            "vertical_extended_top": int(info["vertical_extended_top"]),
            "vertical_extended_bottom": int(info["vertical_extended_bottom"]),
            "structural_top": int(info["structural_top"]),
            "structural_bottom": int(info["structural_bottom"]),
            "structural_left": int(info["structural_left"]),
            "structural_right": int(info["structural_right"]),
            "structural_width_ratio": round(info["structural_width_ratio"], 3),
            "nominal_segment_length": round(info["nominal_segment_length"], 3),
            "nominal_frame_width": int(info["nominal_frame_width"]),
            "geometry_samples": 0,
            "geometry_locked": False,
            "observed_width_ratio": round(observed, 3),
            "learned_left": None,
            "learned_right": None,
            "learned_width_ratio": None,
        })
        return result
