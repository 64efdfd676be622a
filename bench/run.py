"""Benchmarks of the readers as the agent calls them: prints figures, asserts nothing."""

import argparse
import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))

import numpy as np  # noqa: E402

import board  # noqa: E402
import native_ocr.panelsight as panelsight  # noqa: E402
import native_ocr.segmark as segmark  # noqa: E402
import sevenseg  # noqa: E402


def per_call_us(fn, seconds=1.0, threads=1):
    """Microseconds per call, wall clock, with `threads` threads calling at once (aggregate rate)."""
    fn()
    counts = [0] * threads
    stop = time.perf_counter() + seconds
    barrier = threading.Barrier(threads + 1)

    def work(index):
        barrier.wait()
        n = 0
        while time.perf_counter() < stop:
            for _ in range(20):
                fn()
            n += 20
        counts[index] = n

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    start = time.perf_counter()
    barrier.wait()
    for w in workers:
        w.join()
    elapsed = time.perf_counter() - start
    return elapsed * 1e6 / sum(counts)


def clock_layout(width, height):
    """The four digit slots of a clock face around a central separator gap."""
    return [
        {"kind": "digit", "slot": 0, "box": [0, 0, 46, height - 1]},
        {"kind": "digit", "slot": 1, "box": [47, 0, 94, height - 1]},
        {"kind": "separator", "slot": None, "box": [94, 0, 104, height - 1]},
        {"kind": "digit", "slot": 2, "box": [106, 0, 152, height - 1]},
        {"kind": "digit", "slot": 3, "box": [153, 0, width - 1, height - 1]},
    ]


def bench_segmark():
    cell = sevenseg.digit_cell(8, 40, 64)
    slot = {"kind": "digit", "slot": 0, "box": [0, 0, 39, 63]}
    clock = np.zeros((70, 200), np.uint8)
    for x, digit in zip((0, 47, 106, 153), (1, 2, 3, 4)):
        sevenseg.draw_digit(clock, digit, x + 6, 8, 34, 54)
    layout = clock_layout(200, 70)
    assert [r["char"] for r in segmark.read_slots(clock, layout)] == [1, 2, 3, 4]
    print("digit reader (Python calls, result dicts included)")
    for threads in (1, 2):
        us = per_call_us(lambda: segmark.read_digit_slot(cell, slot), threads=threads)
        print(f"  read_digit_slot 40x64 cell      {threads} thread(s): {us:7.2f} us/slot")
        us = per_call_us(lambda: segmark.read_slots(clock, layout), threads=threads)
        print(f"  read_slots 4-digit clock 200x70 {threads} thread(s): {us:7.2f} us/call, {us / 4:6.2f} us/slot")


def bench_readers():
    fields = [board.Field("home_score", "47", 40, 40, 56), board.Field("period", "3", 300, 40, 56)]
    b = board.render_board(fields, style="led_amber")
    def widened(zone, width):
        # A zone marked with some margin, as operators do: the crop is `width` pixels wide.
        x1, y1, x2, y2 = panelsight.normalized_zone_bounds(zone, b.frame.shape[1], b.frame.shape[0])
        left = max(0, (x1 + x2 - width) // 2)
        return b.frame[y1:y2, left:left + width]
    score_crop = widened(b.zones["home_score"], 120)
    period_crop = widened(b.zones["period"], 60)
    assert panelsight.read_score_from_crop(score_crop)["value"] == 47
    assert panelsight.read_period_from_crop(period_crop)["value"] == 3
    print(f"field readers (crops {score_crop.shape[1]}x{score_crop.shape[0]} and "
          f"{period_crop.shape[1]}x{period_crop.shape[0]}, preparation included)")
    for threads in (1, 2):
        us = per_call_us(lambda: panelsight.read_score_from_crop(score_crop), threads=threads)
        print(f"  read_score_from_crop   {threads} thread(s): {us:7.2f} us/read")
        us = per_call_us(lambda: panelsight.read_period_from_crop(period_crop), threads=threads)
        print(f"  read_period_from_crop  {threads} thread(s): {us:7.2f} us/read")


def bench_clock():
    # Digits 78 pixels tall give a crop of about 200 x 97; the layout's separator slot is 11 wide.
    b = board.render_board([board.Field("clock", "12:34", 40, 40, 78)], style="led_amber")
    crop = panelsight.crop_zone_from_image(b.zones["clock"], b.frame)
    assert panelsight.read_clock_from_crop(crop)["value"] == "12:34"
    detect = panelsight._detect_clock_separator_without_regions
    print(f"clock reader (crop {crop.shape[1]}x{crop.shape[0]}, separator detection included)")
    for threads in (1, 2):
        us = per_call_us(lambda: panelsight.read_clock_from_crop(crop), threads=threads)
        print(f"  read_clock_from_crop                          {threads} thread(s): {us:8.1f} us/read")
        us = per_call_us(lambda: detect(crop), threads=threads)
        print(f"  separator detection, one blur of a sheet      {threads} thread(s): {us:8.1f} us/call")
        us = per_call_us(lambda: detect(crop, per_window_blur=True), threads=threads)
        print(f"  separator detection, a blur per window        {threads} thread(s): {us:8.1f} us/call")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build", help="build folder with the benchmark programs")
    args = parser.parse_args()
    bench_segmark()
    bench_readers()
    bench_clock()
    for program, title in (("segmark_bench", "digit reader core"), ("panelsight_bench", "crop preparation core")):
        core = os.path.join(args.build, "bench", program)
        if os.path.exists(core):
            print(f"{title} (C++, no Python layer)", flush=True)
            subprocess.run([core, "--benchmark_min_time=0.5"], check=False)


if __name__ == "__main__":
    main()
