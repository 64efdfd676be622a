"""Small fields drawn with the faults real boards show, for the robust profile's tests: ghosts,
glare, dim red LEDs, italic and dot-matrix faces, the other faces of 6, 7 and 9, wide colon gaps,
decimal points after the seconds digit, dark-on-light LCDs and off-centre zones."""

import cv2
import numpy as np

import sevenseg

FACES = {
    "6": "ACDEFG", "6bare": "CDEFG", "7": "ABC", "7hooked": "ABCF", "9": "ABCDFG", "9bare": "ABCFG",
}


def lit_segments(ch, faces):
    """The lit segment letters of a digit character under the chosen faces."""
    d = int(ch)
    key = {6: faces.get("six", "6"), 7: faces.get("seven", "7"), 9: faces.get("nine", "9")}.get(d)
    return FACES[key] if key else sevenseg.LIT[d]


def _fill(mask, polys, names, x, y, h, slant, value):
    for name in names:
        pts = np.array(polys[name], dtype=np.float64)
        pts[:, 0] += slant * (h - pts[:, 1]) + x
        pts[:, 1] += y
        cv2.fillPoly(mask, [np.round(pts * 16).astype(np.int32)], value, lineType=cv2.LINE_AA, shift=4)


def render_field(text, height=60, ink=(0, 165, 255), panel=(16, 14, 12), ghost=0.0, glare=0.0, slant=0.0,
                 style="hex", dots=False, faces=None, colon_gap=0.08, decimal_at="colon",
                 margin=(0.15, 0.15, 0.2, 0.2), motion=0, noise=2.0, seed=0):
    """A BGR crop of one field. `text` holds one character per place ("12:34", "45.6 ", " 7", "3");
    a space leaves a place blank (its ghost still shows). `margin` is (left, right, top, bottom) as
    fractions of the face size. `motion` smears the face sideways over that many pixels, as a camera
    pan does."""
    faces = faces or {}
    dw = height * 0.55
    gap = dw * 0.35
    t = max(2.0, 0.2 * dw)
    places = [c for c in text if c not in ":."]
    sep_at = next((i for i, c in enumerate(text) if c in ":."), None)
    sep = text[sep_at] if sep_at is not None else None
    clock_gap = colon_gap * (4 * dw + 3 * gap) / (1 - colon_gap) if sep else 0.0
    xs, x = [], 0.0
    for i in range(len(places)):
        xs.append(x)
        x += dw + gap
        if sep and i == sep_at - 1:
            x += clock_gap - gap
    face_w = x - gap + slant * height
    ml, mr, mt, mb = margin
    W = int(round(face_w * (1 + ml + mr)))
    H = int(round(height * (1 + mt + mb)))
    ox, oy = face_w * ml, height * mt
    lit = np.zeros((H, W), np.uint8)
    ghosts = np.zeros((H, W), np.uint8)
    polys = sevenseg.segment_polygons(dw - slant * height, height, t, style)
    for px, ch in zip(xs, places):
        _fill(ghosts, polys, "ABCDEFG", ox + px, oy, height, slant, 255)
        if ch != " ":
            _fill(lit, polys, lit_segments(ch, faces), ox + px, oy, height, slant, 255)
    if sep:
        r = max(1.5, 0.06 * height)
        if decimal_at == "after" and sep == ".":
            cx = ox + xs[sep_at - 1] + dw + r * 1.8
        else:
            cx = ox + xs[sep_at - 1] + dw + (xs[sep_at] - xs[sep_at - 1] - dw) / 2.0
        for fy in ((0.3, 0.7) if sep == ":" else (0.92,)):
            cy = oy + fy * height
            cv2.circle(lit, (int(round((cx + slant * (height - fy * height)) * 16)), int(round(cy * 16))),
                       int(round(r * 16)), 255, -1, lineType=cv2.LINE_AA, shift=4)
    if dots:
        # Round LEDs along each bar: keep the lit pixels under a grid of discs.
        pitch = max(3, int(round(t * 0.9)))
        grid = np.zeros_like(lit)
        for gy in range(pitch // 2, H, pitch):
            for gx in range(pitch // 2, W, pitch):
                cv2.circle(grid, (gx, gy), max(1, int(pitch * 0.42)), 255, -1)
        lit = cv2.min(lit, grid)
        ghosts = cv2.min(ghosts, grid)
    a = lit.astype(np.float32)[..., None] / 255.0
    g = np.maximum(ghosts.astype(np.float32)[..., None] / 255.0 * ghost - a, 0)
    panel_f = np.array(panel, np.float32)
    ink_f = np.array(ink, np.float32)
    img = panel_f * (1 - a - g) + ink_f * a + (panel_f + (ink_f - panel_f)) * g
    if glare:
        ramp = np.linspace(0.0, glare * 200.0, W, dtype=np.float32)[None, :, None]
        img = img + ramp
    if motion:
        img = cv2.filter2D(img, -1, np.full((1, motion), 1.0 / motion, np.float32), borderType=cv2.BORDER_REPLICATE)
    rng = np.random.default_rng(seed)
    img = img + rng.normal(0, noise, img.shape)
    return np.clip(np.round(img), 0, 255).astype(np.uint8)
