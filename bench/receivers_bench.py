"""Benchmarks of the SRT receiver: prints figures, asserts nothing.

- CPU seconds that wancapture spends per second of a 1080p30 H.264 stream from a real SRT caller
  (the stream is encoded once beforehand and sent with stream copy, so the sender costs little);
- milliseconds from a decoded frame to the renamed preview file (wancapture_bench, C++).
"""

import argparse
import json
import os
import socket
import subprocess
import sys
import tempfile
import time

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime + stime


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


def state_of(path):
    try:
        return json.loads(path.read_text())
    except (OSError, ValueError):
        return None


def stream_cpu(wancapture, seconds=20):
    import pathlib
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        ts = tmp / "1080p30.ts"
        subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=size=1920x1080:rate=30", "-t", str(seconds), "-c:v", "libx264", "-preset",
                        "veryfast", "-b:v", "6M", "-g", "60", "-pix_fmt", "yuv420p", "-f", "mpegts", str(ts)],
                       check=True)
        (tmp / "out").mkdir()
        port = free_port()
        status = tmp / "out" / "srt_status.json"
        receiver = subprocess.Popen([wancapture, "--port", str(port), "--status", "out/srt_status.json",
                                     "--preview", "out/srt_preview.jpg"], cwd=tmp,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            sender = subprocess.Popen(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-i",
                                       str(ts), "-c", "copy", "-f", "mpegts",
                                       f"srt://127.0.0.1:{port}?mode=caller&latency=120000"])
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and (state_of(status) or {}).get("state") != "connected":
                time.sleep(0.02)
            cpu0, t0 = cpu_seconds(receiver.pid), time.monotonic()
            previews = set()
            while sender.poll() is None:
                s = state_of(status)
                if s and s.get("last_frame_time"):
                    previews.add(s["last_frame_time"])
                time.sleep(0.05)
            cpu1, t1 = cpu_seconds(receiver.pid), time.monotonic()
            (tmp / "out" / "srt_stop.request").write_text("stop\n")
            receiver.wait(timeout=30)
        finally:
            if receiver.poll() is None:
                receiver.kill()
        wall = t1 - t0
        return (cpu1 - cpu0) / wall, wall, len(previews) / wall


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    args = parser.parse_args()
    wancapture = os.path.abspath(os.path.join(args.build, "receivers", "wancapture", "wancapture"))
    bench = os.path.join(args.build, "bench", "wancapture_bench")
    print("SRT receiver (wancapture)", flush=True)
    if not os.path.exists(wancapture):
        print("  not built")
        return 0
    try:
        per_second, wall, rate = stream_cpu(wancapture)
        print(f"  1080p30 H.264 over SRT: {per_second:.3f} CPU s per stream second "
              f"(over {wall:.1f} s, {rate:.1f} previews/s)")
    except Exception as error:  # a benchmark reports, it never fails the run
        print(f"  stream measurement failed: {error}")
    if os.path.exists(bench):
        sys.stdout.flush()
        subprocess.run([bench, "--benchmark_min_time=0.5"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
