"""End-to-end demonstration: a rendered scoreboard preview is decoded, its zones cut out, made
binary and read digit by digit, and the readings are printed beside the values drawn."""

import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cv2  # noqa: E402
import numpy as np  # noqa: E402

import board  # noqa: E402
import native_ocr.panelsight as panelsight  # noqa: E402
import native_ocr.segmark as segmark  # noqa: E402

FIELDS = {
    "home_score": ("47", 60, 60, 90),
    "guest_score": ("03", 420, 60, 90),
    "period": ("3", 300, 200, 70),
    "home_shots": ("29", 60, 230, 60),
    "guest_shots": ("18", 440, 230, 60),
}


def equal_slots(width, height, count):
    """Equal digit slots across the crop, inclusive boxes."""
    slots = []
    for i in range(count):
        x1 = round(width * i / count)
        x2 = round(width * (i + 1) / count) - 1
        slots.append({"kind": "digit", "slot": i, "box": [x1, 0, x2, height - 1]})
    return slots


def main():
    frame, zones = board.render_board(FIELDS)
    with tempfile.TemporaryDirectory() as folder:
        preview = os.path.join(folder, "srt_preview.jpg")
        cv2.imwrite(preview, frame, [cv2.IMWRITE_JPEG_QUALITY, 85])
        decoded = panelsight.decode_bgr_image(preview)
        print(f"preview {preview}: {decoded.shape[1]}x{decoded.shape[0]}")
        correct = 0
        for role, (text, *_rest) in FIELDS.items():
            zone = zones[role]
            crop = panelsight.crop_zone_from_image(zone, decoded)
            gray = cv2.cvtColor(crop, cv2.COLOR_BGR2GRAY)
            binary = np.where(gray > 90, 255, 0).astype(np.uint8)
            results = segmark.read_slots(binary, equal_slots(binary.shape[1], binary.shape[0], len(text)))
            read = "".join("?" if r["char"] is None else str(r["char"]) for r in results)
            ok = read == text
            correct += ok
            bounds = panelsight.normalized_zone_bounds(zone, decoded.shape[1], decoded.shape[0])
            print(f"{role:12s} zone {bounds}  drawn {text:>3s}  read {read:>3s}  "
                  f"{'ok' if ok else 'WRONG'}  confidences {[round(r['confidence'], 2) for r in results]}")
        print(f"accuracy: {correct}/{len(FIELDS)} fields")
        return 0 if correct == len(FIELDS) else 1


if __name__ == "__main__":
    sys.exit(main())
