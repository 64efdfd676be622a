"""End-to-end demonstration: a rendered scoreboard is saved as a JPEG preview, every field is read
from the file through native_ocr.panelsight, and the readings are printed beside the values drawn.
Each field is read twice: with the zone's own settings on the default path, and on the robust path
with the settings native_ocr.calibrate suggests from the same preview."""

import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cv2  # noqa: E402

import board  # noqa: E402
import native_ocr.calibrate as calibrate  # noqa: E402
import native_ocr.panelsight as panelsight  # noqa: E402

import native_ocr.roles as roles  # noqa: E402

# Clock faces: the detector looks for lit separator dots, which every look but dark-on-light
# LCD shows; slanted faces are beyond the upright digit reader.
CLOCK_STYLES = ("led_red", "led_amber", "lcd_backlit", "blurred", "jpeg")
CLOCK_FIELDS = [board.Field("clock", "12:34", 60, 40, 80), board.Field("home_penalty_1", " 0.8 ", 360, 200, 60)]


def truth_of(role, text):
    return board.clock_value(text) if roles.field_kind(role) == "clock" else int(text)


def main():
    total = correct = robust_total = robust_correct = 0
    with tempfile.TemporaryDirectory() as folder:
        boards = [(style, board.standard_fields()) for style in board.STYLES]
        boards += [(style, CLOCK_FIELDS) for style in CLOCK_STYLES]
        for style, fields in boards:
            b = board.render_board(fields, style=style, seed=1)
            preview = os.path.join(folder, f"preview_{style}.jpg")
            cv2.imwrite(preview, b.frame, [cv2.IMWRITE_JPEG_QUALITY, 90])
            print(f"board '{style}' ({b.frame.shape[1]}x{b.frame.shape[0]} JPEG)")
            for role, zone in b.zones.items():
                result = roles.reader_for(panelsight, role)(zone, preview)
                truth = truth_of(role, b.truths[role])
                ok = result["value"] == truth
                total += 1
                correct += ok
                conf = [round(item.get("confidence", 0.0), 2) for item in result.get("ocr_items", [])]
                print(f"  {role:14s} drawn {b.truths[role]!r:7s} read {str(result['value']):>5s}  "
                      f"{result['reason']:14s} {'ok' if ok else 'WRONG'}  confidence {conf}")
                frame = panelsight.decode_bgr_image(preview)
                calibrated = dict(zone, processing=calibrate.suggest_processing(frame, zone))
                robust = roles.reader_for(panelsight, role)(calibrated, preview)
                robust_ok = robust["value"] == truth
                robust_total += 1
                robust_correct += robust_ok
                if not robust_ok:
                    print(f"  {'':14s} robust path read {robust['value']!r} ({robust['reason']}, "
                          f"{robust['debug'].get('detail')}) WRONG")
        # The command line reads the same way; show a score and a clock through it.
        for style, fields, role in (("lcd", board.standard_fields(), "home_score"),
                                    ("led_red", CLOCK_FIELDS, "clock")):
            b = board.render_board(fields, style=style, seed=1)
            preview = os.path.join(folder, f"preview_cli_{role}.png")
            cv2.imwrite(preview, b.frame)
            z = b.zones[role]
            command = [sys.executable, "-m", "native_ocr", "read", "--role", role,
                       "--zone", f"{z['x']:.4f},{z['y']:.4f},{z['width']:.4f},{z['height']:.4f}",
                       "--processing", json.dumps(z.get("processing", {})), preview]
            done = subprocess.run(command, capture_output=True, text=True)
            cli = json.loads(done.stdout)
            ok = cli["value"] == truth_of(role, b.truths[role])
            total += 1
            correct += ok
            print(f"command line: python3 -m native_ocr read --role {role} ... -> value {cli['value']}, "
                  f"reason {cli['reason']} {'ok' if ok else 'WRONG'}")
    print(f"accuracy: {correct}/{total} fields read right")
    print(f"accuracy on the robust path, calibrated on each preview: {robust_correct}/{robust_total} fields read right")
    return 0 if correct == total and robust_correct == robust_total else 1


if __name__ == "__main__":
    sys.exit(main())
