"""lancapture on 1080p BGRX frames at 30 fps from the runtime double: milliseconds from the capture
to the renamed preview, and the receiver's CPU time per second. Prints figures, asserts nothing."""

import argparse
import ctypes
import json
import os
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

IN_MOVED_TO = 0x00000080
WARM_UP_S = 2.0
MEASURE_S = 8.0


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


class RenameWatch:
    """Tells, with the wall-clock time it happened, each time a file is renamed into a folder."""

    def __init__(self, folder: Path):
        self.libc = ctypes.CDLL("libc.so.6", use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0 or self.libc.inotify_add_watch(self.fd, str(folder).encode(), IN_MOVED_TO) < 0:
            raise OSError(ctypes.get_errno(), "inotify")

    def renamed(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return []
        stamp = time.time_ns()
        data = os.read(self.fd, 65536)
        names, offset = [], 0
        while offset + 16 <= len(data):
            _, _, _, length = struct.unpack_from("iIII", data, offset)
            names.append(data[offset + 16:offset + 16 + length].rstrip(b"\0").decode())
            offset += 16 + length
        return [(name, stamp) for name in names]

    def close(self):
        os.close(self.fd)


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run(build: Path):
    program = build / "receivers" / "lancapture" / "lancapture"
    runtime = build / "tests" / "lancapture" / "ndi_double" / "full"
    if not program.exists() or not (runtime / "libndi.so.6").exists():
        print(f"lancapture bench: {program} or the runtime double is not built; skipped")
        return
    root = Path(tempfile.mkdtemp(prefix="lancapture-bench-"))
    try:
        static = root / "app" / "static"
        static.mkdir(parents=True)
        control = root / "double.control"
        control.write_text("source cam - ff0000 live\nvideo 1920 1080 0 30 1\nshared_frames 1\n")
        (static / "ndi_selection.txt").write_bytes(b"cam")
        env = dict(os.environ, NDI_RUNTIME_DIR_V6=str(runtime), NDI_DOUBLE_CONTROL=str(control),
                   KANTELLA_DEV_LATENCY="1")
        watch = RenameWatch(static)
        proc = subprocess.Popen([str(program)], cwd=root, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            start = time.monotonic()
            measuring_since, cpu_start = None, 0.0
            to_rename, encoded, seen = [], [], set()
            while time.monotonic() - start < WARM_UP_S + MEASURE_S + 5 and proc.poll() is None:
                if measuring_since is None and time.monotonic() - start >= WARM_UP_S:
                    measuring_since, cpu_start = time.monotonic(), cpu_seconds(proc.pid)
                if measuring_since is not None and time.monotonic() - measuring_since >= MEASURE_S:
                    break
                for name, stamp in watch.renamed(0.5):
                    if name != "ndi_preview.jpg" or measuring_since is None:
                        continue
                    # The latency record is replaced just before the preview it describes.
                    record = json.loads((static / "ndi_latency.json").read_text())
                    if record["frame_id"] in seen:
                        continue
                    seen.add(record["frame_id"])
                    to_rename.append((stamp - record["captured_unix_ns"]) / 1e6)
                    encoded.append(record["capture_to_publish_ms"])
            elapsed = time.monotonic() - measuring_since if measuring_since else 0.0
            cpu = cpu_seconds(proc.pid) - cpu_start if measuring_since else 0.0
        finally:
            (static / "ndi_stop.request").write_bytes(b"stop\n")
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            watch.close()
        if not to_rename:
            print("lancapture bench: no preview was published;", proc.stderr.read().decode(errors="replace")[:400])
            return
        print(f"lancapture 1080p BGRX, 30 fps, a preview every 6th frame ({len(to_rename)} previews):")
        print(f"  capture to renamed preview: median {percentile(to_rename, 0.5):.1f} ms, "
              f"p90 {percentile(to_rename, 0.9):.1f} ms, max {max(to_rename):.1f} ms")
        print(f"  of which capture to encoded file: median {percentile(encoded, 0.5):.1f} ms")
        print(f"  CPU: {1000 * cpu / elapsed:.0f} ms per second ({100 * cpu / elapsed:.1f}% of one core)")
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build", type=Path)
    args = parser.parse_args()
    try:
        run(args.build.resolve())
    except Exception as error:  # figures only: a benchmark never fails the build
        print(f"lancapture bench: not measured ({error})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
