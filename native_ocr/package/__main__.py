"""Reads one scoreboard field from an image file and prints the reader's result as JSON.

    python3 -m native_ocr read --role home_score --zone 0.1,0.2,0.2,0.25 preview.jpg
    python3 -m native_ocr read --role clock --zone 0.1,0.2,0.3,0.2 --calibrate preview.jpg
"""

import argparse
import json
import math
import os
import sys

from native_ocr.roles import CLOCK_ROLES, SCORE_ROLES, reader_for  # noqa: F401  (kept importable here)


def _zone(text):
    try:
        x, y, w, h = (float(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError("expected four numbers X,Y,W,H (fractions of the frame)")
    if not all(math.isfinite(v) for v in (x, y, w, h)):
        raise argparse.ArgumentTypeError("the zone's four numbers must be finite")
    return {"x": x, "y": y, "width": w, "height": h}


def _no_constant(name):
    raise ValueError(f"{name} is not a number")


def _settings(text):
    try:
        # NaN and Infinity are not JSON; a nesting deeper than Python's stack is refused too.
        value = json.loads(text, parse_constant=_no_constant)
    except (ValueError, RecursionError) as error:
        raise argparse.ArgumentTypeError(f"not JSON: {error}")
    if not isinstance(value, dict):
        raise argparse.ArgumentTypeError("expected a JSON object of processing settings")
    return value


def _summarised(value):
    """The result with arrays replaced by their shape and type, so the output stays readable."""
    if isinstance(value, dict):
        return {k: _summarised(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_summarised(v) for v in value]
    if hasattr(value, "shape") and hasattr(value, "dtype"):
        return {"array": list(value.shape), "dtype": str(value.dtype)}
    if isinstance(value, float) and not math.isfinite(value):
        return None  # JSON has no NaN or infinity
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m native_ocr",
        description="Reads scoreboard fields from image files with native_ocr.panelsight.")
    commands = parser.add_subparsers(dest="command", required=True)
    read = commands.add_parser(
        "read", help="read one field of an image",
        description="Reads the field of ROLE inside ZONE of IMAGE and prints the result as JSON "
                    "(value, validity, reason and the per-slot evidence; arrays are summarised).")
    read.add_argument("--role", required=True,
                      help="field role: home_score, guest_score, period, down, home_timeouts, clock, ...")
    read.add_argument("--zone", required=True, type=_zone, metavar="X,Y,W,H",
                      help="the field's zone as fractions of the frame: left, top, width, height")
    read.add_argument("--processing", type=_settings, metavar="JSON",
                      help='processing settings as a JSON object, e.g. \'{"invert": true, "threshold": 110}\'')
    read.add_argument("--robust", action="store_true",
                      help='read with the robust profile (adds "profile": "robust" to the settings)')
    read.add_argument("--calibrate", action="store_true",
                      help="choose the settings from IMAGE itself with native_ocr.calibrate, read with "
                           "them and print them under \"processing\" beside the reading")
    read.add_argument("image", help="image file (JPEG, PNG, ...)")
    args = parser.parse_args(argv)

    import native_ocr.panelsight as panelsight

    zone = dict(args.zone, role=args.role)
    if args.processing is not None:
        try:
            panelsight.normalize_settings(args.processing)
        except (TypeError, ValueError, OverflowError) as error:
            read.error(f"argument --processing: a setting cannot be used: {error}")
        zone["processing"] = args.processing
    if args.robust:
        zone["processing"] = dict(zone.get("processing") or {}, profile="robust")
    if args.calibrate:
        import native_ocr.calibrate as calibrate

        # An undecodable image gives the plain robust profile, and the reader then says "no_frame".
        zone["processing"] = calibrate.suggest_processing(panelsight.decode_bgr_image(args.image), zone)
    result = reader_for(panelsight, args.role)(zone, args.image)
    if args.calibrate:
        result = dict(result, processing=zone["processing"])
    try:
        json.dump(_summarised(result), sys.stdout, indent=2, allow_nan=False)
        sys.stdout.write("\n")
        sys.stdout.flush()
    except BrokenPipeError:
        # Whoever read the output has gone; say nothing more and leave no flush for exit to fail.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0 if result.get("valid") else 1


if __name__ == "__main__":
    sys.exit(main())
