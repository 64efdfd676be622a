"""End-to-end demonstration: a rendered scoreboard is saved as a JPEG preview, every field is read
from the file through native_ocr.panelsight, and the readings are printed beside the values drawn."""

import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cv2  # noqa: E402

import board  # noqa: E402
import native_ocr.panelsight as panelsight  # noqa: E402

READERS = {
    "home_score": panelsight.read_score, "guest_score": panelsight.read_score,
    "home_shots": panelsight.read_score, "guest_shots": panelsight.read_score,
    "period": panelsight.read_period, "down": panelsight.read_single_digit,
    "home_timeouts": panelsight.read_single_digit,
}


def main():
    total = correct = 0
    with tempfile.TemporaryDirectory() as folder:
        for style in board.STYLES:
            b = board.render_board(board.standard_fields(), style=style, seed=1)
            preview = os.path.join(folder, f"preview_{style}.jpg")
            cv2.imwrite(preview, b.frame, [cv2.IMWRITE_JPEG_QUALITY, 90])
            print(f"board '{style}' ({b.frame.shape[1]}x{b.frame.shape[0]} JPEG)")
            for role, zone in b.zones.items():
                result = READERS[role](zone, preview)
                truth = int(b.truths[role])
                ok = result["value"] == truth
                total += 1
                correct += ok
                conf = [round(item.get("confidence", 0.0), 2) for item in result.get("ocr_items", [])]
                print(f"  {role:14s} drawn {b.truths[role]!r:5s} read {str(result['value']):>4s}  "
                      f"{result['reason']:14s} {'ok' if ok else 'WRONG'}  confidence {conf}")
        # The command line reads the same way; show one field through it.
        b = board.render_board(board.standard_fields(), style="lcd", seed=1)
        preview = os.path.join(folder, "preview_cli.png")
        cv2.imwrite(preview, b.frame)
        z = b.zones["home_score"]
        command = [sys.executable, "-m", "native_ocr", "read", "--role", "home_score",
                   "--zone", f"{z['x']:.4f},{z['y']:.4f},{z['width']:.4f},{z['height']:.4f}",
                   "--processing", json.dumps(z["processing"]), preview]
        done = subprocess.run(command, capture_output=True, text=True)
        cli = json.loads(done.stdout)
        print(f"command line: python3 -m native_ocr read --role home_score ... -> value {cli['value']}, "
              f"reason {cli['reason']}")
    print(f"accuracy: {correct}/{total} fields read right")
    return 0 if correct == total else 1


if __name__ == "__main__":
    sys.exit(main())
