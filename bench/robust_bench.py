"""How well the readers read realistic boards: figures per role and per look factor, never a failure.

Boards come from tools/realistic_board.py (fixed seed): several stills per board, values changing,
look and zones fixed. Every field is read four ways:
  (a) the default path with default settings;
  (b) the default path with the settings a person would pick for the board's look (threshold half-way
      between panel and segment grey, inverted for dark-on-light LCDs, rotation against a visible roll);
  (c) the robust path: `native_ocr.calibrate.suggest_processing` on the board's first still, once per
      zone, then every still of the board read with those settings;
  (d) the command-line seven-segment reader `ssocr` on the same crops, with options per role and look.
For each: % exactly right, % wrong but marked valid, microseconds per field read.

    python3 bench/robust_bench.py                         # the full run (1500 fields)
    python3 bench/robust_bench.py --fields 200 --role clock --paths a,c
    python3 bench/robust_bench.py --dump /tmp/fails --paths c   # failing crops as PNG + index.json
    python3 bench/robust_bench.py --cache /tmp/boards --paths c  # boards kept between runs
"""

import argparse
import collections
import hashlib
import json
import math
import os
import pickle
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))

import cv2  # noqa: E402
import numpy as np  # noqa: E402

import native_ocr.panelsight as panelsight  # noqa: E402
import native_ocr.roles as roles  # noqa: E402
import realistic_board as rb  # noqa: E402

PATHS = ("a", "b", "c", "d")
PATH_TITLES = {
    "a": "(a) default path, default settings",
    "b": "(b) default path, per-look recipe",
    "c": "(c) robust path, calibrated once per board",
    "d": "(d) ssocr on the same crops",
}
FIELDS_PER_BOARD = {"clock": 1, "score": 2, "period": 1, "single": 1}


def _gray(bgr):
    b, g, r = bgr
    return 0.114 * b + 0.587 * g + 0.299 * r


def recipe(look):
    """The settings a person would pick for a look by eye: the threshold half-way between the panel's
    grey and the segments' grey, inverted when the segments are darker than the panel, and the
    rotation that undoes a roll they can see."""
    ink, panel = _gray(look.ink), _gray(look.panel)
    settings = {"threshold": int(round((ink + panel) / 2.0))}
    if ink < panel:
        settings["invert"] = True
    if abs(look.roll_deg) >= 2.0:
        settings["rotation"] = -round(look.roll_deg)
    return settings


def read_panelsight(zone, frame, processing):
    z = dict(zone)
    if processing:
        z["processing"] = processing
    reader = roles.reader_for(panelsight, z["role"], "_from_image")
    start = time.perf_counter()
    result = reader(z, frame)
    return result.get("value"), bool(result.get("valid")), time.perf_counter() - start


# ---------------------------------------------------------------- ssocr

def ssocr_command(role, look, path):
    """ssocr options a person would settle on: the digit count of the role (automatic where blank
    leading digits or a decimal point change it), iterative thresholding, max(R,G,B) luminance for
    coloured LEDs, light-on-dark inverted to ssocr's dark-on-light, and a closing for dot faces."""
    group = rb.role_group(role)
    cmd = ["ssocr", "-T", "-c", "decimal" if group == "clock" else "digits"]
    cmd += ["-d", "1" if group in ("period", "single") else "-1"]
    if look.display == "led":
        cmd += ["-l", "maximum"]
    commands = []
    if look.display != "lcd_reflective":
        commands.append("invert")
    if look.face == "dots":
        commands += ["closing", "2"]
    return cmd + commands + [path]


_TENTHS = re.compile(r"^(\d{1,2})\.(\d)$")


def ssocr_value(role, text):
    """The value of ssocr's output for the role, or None. One digit after a decimal point is a clock
    in tenths; ssocr takes a colon's two stacked dots for a "1", so a clock in minutes comes out as
    MM1SS or M1SS, and anything else is not taken as a reading."""
    text = text.strip()
    if not text or "_" in text:
        return None
    if rb.role_group(role) == "clock":
        m = _TENTHS.match(text)
        if m:
            return f"{m.group(1)}.{m.group(2)}"
        if not text.isdigit() or len(text) not in (4, 5) or text[-3] != "1":
            return None
        return f"{text[:-3]}:{text[-2:]}"
    if not text.isdigit() or len(text) > (2 if rb.role_group(role) == "score" else 1):
        return None
    return int(text)


def read_ssocr(zone, frame, look, folder):
    crop = panelsight.crop_zone_from_image(zone, frame)
    if crop is None:
        return None, False, 0.0
    path = os.path.join(folder, "crop.png")
    cv2.imwrite(path, crop)
    start = time.perf_counter()
    done = subprocess.run(ssocr_command(zone["role"], look, path), capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    value = ssocr_value(zone["role"], done.stdout) if done.returncode == 0 else None
    return value, value is not None, elapsed


# ---------------------------------------------------------------- run

class Tally:
    def __init__(self):
        self.n = self.right = self.wrong_valid = 0
        self.seconds = []

    def add(self, right, valid, seconds):
        self.n += 1
        self.right += right
        self.wrong_valid += (valid and not right)
        self.seconds.append(seconds)

    def pct(self, k):
        return 100.0 * k / self.n if self.n else float("nan")

    def us(self):
        # The median: on a shared machine a mean is mostly the reads that were preempted.
        return 1e6 * float(np.median(self.seconds)) if self.n else float("nan")

    def cell(self):
        return f"{self.pct(self.right):5.1f} {self.pct(self.wrong_valid):5.1f}" if self.n else "    -     -"


def boards(seed, n_boards, frames, tmp, cache):
    """(board_spec, frames) of every board; with `cache`, boards rendered by an earlier run of the same
    renderer sources are loaded instead of drawn again."""
    if not cache:
        yield from rb.benchmark_boards(seed, n_boards, frames, cache_dir=tmp)
        return
    os.makedirs(cache, exist_ok=True)
    tools = os.path.dirname(os.path.abspath(rb.__file__))
    sources = hashlib.sha1()
    for name in ("realistic_board.py", "sevenseg.py"):
        with open(os.path.join(tools, name), "rb") as source:
            sources.update(source.read())
    for i in range(n_boards):
        key = hashlib.sha1(sources.digest() + f"{seed}:{i}:{frames}".encode()).hexdigest()[:20]
        path = os.path.join(cache, f"board_{key}.pickle")
        if os.path.exists(path):
            with open(path, "rb") as stored:
                yield pickle.load(stored)
            continue
        board = next(rb.benchmark_boards_from(seed, i, frames, cache_dir=tmp))
        with open(path + ".tmp", "wb") as out:
            pickle.dump(board, out)
        os.replace(path + ".tmp", path)
        yield board


def calibrator():
    try:
        import native_ocr.calibrate as calibrate
    except ImportError:
        return None
    return calibrate.suggest_processing


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=2026, help="board seed (default 2026)")
    parser.add_argument("--fields", type=int, default=1500, help="fields to read (default 1500)")
    parser.add_argument("--frames", type=int, default=3, help="stills per board (default 3)")
    parser.add_argument("--role", choices=rb.ROLE_GROUPS, help="read only fields of this role group")
    parser.add_argument("--paths", default="a,b,c,d", help="paths to run, e.g. a,c (default all)")
    parser.add_argument("--dump", metavar="DIR", help="write the crops a path reads wrong into DIR, with index.json")
    parser.add_argument("--cache", metavar="DIR", help="keep rendered boards in DIR and reuse them in later runs")
    parser.add_argument("--worst", type=int, default=12, help="factor levels listed as hardest (default 12)")
    args = parser.parse_args(argv)
    paths = [p for p in args.paths.split(",") if p]
    if any(p not in PATHS for p in paths) or not paths:
        parser.error("--paths takes letters among a,b,c,d")

    suggest = calibrator() if "c" in paths else None
    if "c" in paths and suggest is None:
        print("(c) not available: native_ocr.calibrate is not importable in this build")
        paths.remove("c")
    if "d" in paths and shutil.which("ssocr") is None:
        print("(d) not available: ssocr is not installed (tools/install-deps.sh installs it)")
        paths.remove("d")

    groups = [args.role] if args.role else list(rb.ROLE_GROUPS)
    per_board = args.frames * sum(FIELDS_PER_BOARD[g] for g in groups)
    n_boards = max(1, math.ceil(args.fields / per_board))
    tallies = {p: collections.defaultdict(Tally) for p in paths}
    calibration_seconds = []
    errors = []
    dumped = []
    if args.dump:
        os.makedirs(args.dump, exist_ok=True)

    # The first reads import the digit reader and run the separator's one-time self-check; keep
    # them out of the per-field times.
    warm = rb.clean_board(0)
    frame, zones, _ = rb.render_raw(warm, rb.random_values(warm, 0))
    for zone in zones.values():
        read_panelsight(zone, frame, None)

    started = time.perf_counter()
    render_seconds = 0.0
    read = 0
    with tempfile.TemporaryDirectory(prefix="robust_bench_") as tmp:
        board_source = boards(args.seed, n_boards, args.frames, tmp, args.cache)
        while read < args.fields:
            t0 = time.perf_counter()
            board_spec, frames = next(board_source)
            render_seconds += time.perf_counter() - t0
            factors = board_spec.factors()
            first_frame, zones, _ = frames[0]
            fields = [r for r in zones if rb.role_group(r) in groups]
            settings = {"a": {}, "b": {}, "c": {}}
            for role in fields:
                settings["b"][role] = recipe(board_spec.look)
                if "c" in paths:
                    t0 = time.perf_counter()
                    try:
                        settings["c"][role] = suggest(first_frame, zones[role])
                    except Exception as error:  # a figure, not a stop: the zone reads with the bare profile
                        errors.append(f"calibrating {role} of board {board_spec.seed}: {error!r}")
                        settings["c"][role] = {"profile": "robust"}
                    calibration_seconds.append(time.perf_counter() - t0)
            for k, (frame, zones, truths) in enumerate(frames):
                for role in fields:
                    if read >= args.fields:
                        break
                    read += 1
                    truth = truths[role]
                    for p in paths:
                        if p == "d":
                            value, valid, seconds = read_ssocr(zones[role], frame, board_spec.look, tmp)
                        else:
                            try:
                                value, valid, seconds = read_panelsight(zones[role], frame, settings[p].get(role))
                            except Exception as error:  # counted as no reading
                                errors.append(f"({p}) reading {role} of board {board_spec.seed}: {error!r}")
                                value, valid, seconds = None, False, 0.0
                        right = valid and value == truth
                        keys = ["all", "role:" + rb.role_group(role)] + [f"{n}={v}" for n, v in factors.items()]
                        for key in keys:
                            tallies[p][key].add(right, valid, seconds)
                        if args.dump and not right:
                            name = f"{p}_b{board_spec.seed}_f{k}_{role}.png"
                            cv2.imwrite(os.path.join(args.dump, name), panelsight.crop_zone_from_image(zones[role], frame))
                            dumped.append({"file": name, "path": p, "board": board_spec.seed, "frame": k, "role": role,
                                           "truth": truth, "value": value, "valid": valid, "zone": zones[role],
                                           "processing": settings.get(p, {}).get(role), "factors": factors})
    elapsed = time.perf_counter() - started

    print(f"realistic boards: seed {args.seed}, {read} fields on {n_boards} boards x {args.frames} stills "
          f"(rendering {render_seconds:.1f} s, whole run {elapsed:.1f} s)")
    print("right = % of fields read exactly right; wrong = % read wrong but marked valid; us/field = median")
    print(f"{'path':44s} {'right':>6s} {'wrong':>6s} {'us/field':>9s}")
    for p in paths:
        t = tallies[p]["all"]
        print(f"{PATH_TITLES[p]:44s} {t.pct(t.right):6.1f} {t.pct(t.wrong_valid):6.1f} {t.us():9.0f}")
    if "d" in paths:
        print("  (d) includes starting an ssocr process per field")
    if calibration_seconds:
        print(f"  calibration: {1e3 * np.median(calibration_seconds):.1f} ms per zone (median), "
              f"{1e3 * max(calibration_seconds):.1f} ms at most ({len(calibration_seconds)} zones)")

    if errors:
        print(f"  {len(errors)} calls raised; the first: {errors[0]}")

    header = "".join(f"   ({p}) right wrong" for p in paths)
    role_header = "".join(f"   ({p}) right wrong  us/field" for p in paths)
    print(f"\nper role{'':28s}{role_header}")
    for g in groups:
        key = "role:" + g
        n = tallies[paths[0]][key].n
        print(f"  {g:12s} {n:5d} fields{'':14s}" + "".join(
            f"   {tallies[p][key].cell():>15s} {tallies[p][key].us():9.0f}" for p in paths))

    factor_keys = sorted(k for k in tallies[paths[0]] if "=" in k)
    print(f"\nper factor level{'':20s}{header}")
    for key in factor_keys:
        n = tallies[paths[0]][key].n
        print(f"  {key:30s} {n:5d}" + "".join(f"   {tallies[p][key].cell():>15s}" for p in paths))

    for p in [q for q in ("a", "b") if q in paths]:
        worst = sorted((k for k in factor_keys if tallies[p][k].n >= 20),
                       key=lambda k: tallies[p][k].pct(tallies[p][k].right))[:args.worst]
        print(f"\nhardest factor levels for ({p}): " + ", ".join(
            f"{k} {tallies[p][k].pct(tallies[p][k].right):.0f}%" for k in worst))

    if args.dump:
        with open(os.path.join(args.dump, "index.json"), "w") as out:
            json.dump(dumped, out, indent=1, default=str)
        print(f"\n{len(dumped)} failing crops written to {args.dump} (index.json tells truth, value, settings, look)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
