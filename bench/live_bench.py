"""The agent's share of the latency, piece by piece, on previews of the eight-field fault board:
waking on a renamed preview (inotify and the 20 ms poll), reading every zone of a preview, and
the tracker with the live outputs. Figures only; nothing here fails on a slow machine.

    PYTHONPATH=build/python python3 bench/live_bench.py
"""

import os
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, os.path.join(ROOT, "agent"))

import cv2  # noqa: E402
import numpy as np  # noqa: E402

import native_ocr.panelsight as panelsight  # noqa: E402
import scoreboard_video as video  # noqa: E402
from field_reading import FieldReader  # noqa: E402
from live_outputs import DEFAULT_LIVE, LiveOutputs  # noqa: E402
from preview_watch import PreviewWatch  # noqa: E402


def figures(values):
    ms = np.asarray(values) * 1000.0
    return f"p50 {np.percentile(ms, 50):6.2f} ms  p95 {np.percentile(ms, 95):6.2f} ms  (n={len(ms)})"


def publish(path, data):
    """Replaces the preview as the receivers do; returns the time just before the rename."""
    with open(path + ".tmp", "wb") as stream:
        stream.write(data)
    renaming = time.perf_counter()
    os.replace(path + ".tmp", path)
    return renaming


def wake_latency(folder, use_inotify, count=60):
    path = os.path.join(folder, f"wake-{use_inotify}.jpg")
    publish(path, b"0")
    watch = PreviewWatch(use_inotify=use_inotify)
    watch.watch(path)
    delays = []
    for k in range(count):
        renamed = []
        thread = threading.Thread(target=lambda: (time.sleep(0.01),
                                                  renamed.append(publish(path, str(k).encode()))))
        thread.start()
        watch.wait(2.0)
        woke = time.perf_counter()
        thread.join()
        delays.append(woke - renamed[0] if renamed else float("nan"))
    watch.close()
    return watch.mechanism if use_inotify else "poll", delays


def main():
    with tempfile.TemporaryDirectory() as folder:
        for use_inotify in (True, False):
            mechanism, delays = wake_latency(folder, use_inotify)
            print(f"wake after a preview rename ({mechanism:7s}):   {figures(delays)}")

        frames = video.fault_script()[::10]
        previews = []
        for frame in frames:
            ok, data = cv2.imencode(".jpg", video.render_fault_frame(frame), [cv2.IMWRITE_JPEG_QUALITY, 85])
            previews.append(data.tobytes())
        zones = video.fault_zones()
        reader = FieldReader(panelsight, os.path.join(folder, "snapshot.jpg"))
        live = LiveOutputs(dict(DEFAULT_LIVE, text_files=True), os.path.join(folder, "fields"), lambda record: None)
        live.start()
        path = os.path.join(folder, "srt_preview.jpg")
        reading, tracking = [], []
        for data in previews:
            publish(path, data)
            start = time.perf_counter()
            reader.read_if_new(path, zones)
            read = time.perf_counter()
            live.observe(reader.results, reader.capture_time, [zone["name"] for zone in zones])
            done = time.perf_counter()
            reading.append(read - start)
            tracking.append(done - read)
        live.stop()
        total = [a + b for a, b in zip(reading, tracking)]
        print(f"read {len(zones)} zones of a {video.WIDTH}x{video.HEIGHT} preview: {figures(reading)}")
        print(f"tracker and live outputs:              {figures(tracking)}")
        print(f"agent's share without waking:          {figures(total)}")
        print(f"load average (1 min) {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
