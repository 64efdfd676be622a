"""Reader throughput as the agent sees it: alone, beside a CPU-busy pure-Python thread, and two
reader threads at once. Prints calls per second and the ratios; asserts nothing."""

import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))

import numpy as np  # noqa: E402

import board  # noqa: E402
import native_ocr.panelsight as panelsight  # noqa: E402
import native_ocr.segmark as segmark  # noqa: E402
import sevenseg  # noqa: E402

SECONDS = 1.5


def _calls_per_second(fn, readers, busy):
    """Aggregate calls per second of `readers` threads calling fn, with `busy` spinning threads."""
    fn()
    stop_busy = threading.Event()
    deadline = [0.0]
    counts = [0] * readers
    barrier = threading.Barrier(readers + 1)

    def spin():
        x = 0
        while not stop_busy.is_set():
            x = (x * 7 + 1) % 1000003

    def work(index):
        barrier.wait()
        n = 0
        while time.perf_counter() < deadline[0]:
            fn()
            n += 1
        counts[index] = n

    spinners = [threading.Thread(target=spin) for _ in range(busy)]
    for s in spinners:
        s.start()
    workers = [threading.Thread(target=work, args=(i,)) for i in range(readers)]
    for w in workers:
        w.start()
    start = time.perf_counter()
    deadline[0] = start + SECONDS
    barrier.wait()
    for w in workers:
        w.join()
    elapsed = time.perf_counter() - start
    stop_busy.set()
    for s in spinners:
        s.join()
    return sum(counts) / elapsed


def report(name, fn):
    alone = _calls_per_second(fn, 1, 0)
    beside = _calls_per_second(fn, 1, 1)
    two = _calls_per_second(fn, 2, 0)
    print(f"  {name:24s} alone {alone:9.0f}/s   beside a busy thread {beside:9.0f}/s ({100 * beside / alone:5.1f} %)"
          f"   two threads {two:9.0f}/s (x{two / alone:4.2f})", flush=True)


def main():
    clock_board = board.render_board([board.Field("clock", "12:34", 40, 40, 78)], style="led_amber")
    clock_crop = panelsight.crop_zone_from_image(clock_board.zones["clock"], clock_board.frame)
    score_board = board.render_board([board.Field("home_score", "47", 40, 40, 56)], style="led_amber")
    score_crop = panelsight.crop_zone_from_image(score_board.zones["home_score"], score_board.frame)
    cell = sevenseg.digit_cell(8, 40, 64)
    slot = {"kind": "digit", "slot": 0, "box": [0, 0, 39, 63]}
    assert panelsight.read_clock_from_crop(clock_crop)["value"] == "12:34"
    assert panelsight.read_score_from_crop(score_crop)["value"] == 47
    assert segmark.read_digit_slot(cell, slot)["char"] == 8
    print(f"readers under a busy interpreter (switch interval {sys.getswitchinterval() * 1000:.0f} ms, "
          f"{os.cpu_count()} cores)")
    report("read_clock_from_crop", lambda: panelsight.read_clock_from_crop(clock_crop))
    report("read_score_from_crop", lambda: panelsight.read_score_from_crop(score_crop))
    report("read_digit_slot", lambda: segmark.read_digit_slot(cell, slot))


if __name__ == "__main__":
    main()
