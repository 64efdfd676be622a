"""Real wancapture processes on loopback ports, fed by the real ffmpeg and srt-live-transmit."""

import json
import os
import signal
import socket
import struct
import subprocess
import threading
import time

import pytest

WANCAPTURE = os.environ.get("WANCAPTURE", "")
SANITIZED = os.environ.get("WANCAPTURE_SANITIZED") == "1"
USAGE = (
    "usage: wancapture [--port 9000] [--latency 120]\n"
    "                  [--key-length 32] [--stream-id TEXT]\n"
    "                  [--secret-fd N] [--secret-handle N]\n"
    "                  [--preview app/static/srt_preview.jpg]\n"
    "                  [--status app/static/srt_status.json]\n"
    "Listens on IPv4 0.0.0.0 for one SRT caller.\n"
    "A passphrase is read from --secret-fd, never from the command line.\n"
)
# Generous bounds for polling: the checks are of states reached, never of how fast.
WAIT = 60.0 if SANITIZED else 30.0


def secret_record(passphrase: bytes, announced=None) -> bytes:
    return struct.pack(">I", len(passphrase) if announced is None else announced) + passphrase


def free_udp_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=WAIT, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError(f"timed out waiting for {what}")


def secret_pipe(record: bytes) -> int:
    """A pipe's read end holding `record`, as the agent hands it over."""
    read_end, write_end = os.pipe()
    os.write(write_end, record)
    os.close(write_end)
    return read_end


class Receiver:
    """One wancapture process, its console lines and its published files."""

    def __init__(self, folder, port=None, args=(), pass_fds=(), stdin=subprocess.DEVNULL, env=None):
        self.folder = folder
        self.port = port if port is not None else free_udp_port()
        self.out = folder / "out"
        self.out.mkdir(exist_ok=True)
        self.status_path = self.out / "srt_status.json"
        self.preview_path = self.out / "srt_preview.jpg"
        self.stop_path = self.out / "srt_stop.request"
        command = [WANCAPTURE, "--port", str(self.port), "--status", "out/srt_status.json",
                   "--preview", "out/srt_preview.jpg", *args]
        self.proc = subprocess.Popen(command, cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     stdin=stdin, pass_fds=pass_fds, env=env)
        for fd in pass_fds:
            os.close(fd)
        self.stdout_lines, self.stderr_lines = [], []
        self.bad_documents = []
        self._readers = [threading.Thread(target=self._pump, args=(self.proc.stdout, self.stdout_lines), daemon=True),
                         threading.Thread(target=self._pump, args=(self.proc.stderr, self.stderr_lines), daemon=True)]
        for t in self._readers:
            t.start()
        self.wait_line("wancapture listening on 0.0.0.0:%d, latency" % self.port)

    @staticmethod
    def _pump(stream, lines):
        for raw in iter(stream.readline, b""):
            lines.append(raw.decode("utf-8", "replace"))

    def status(self):
        """The published document, or None before the first one. A partial document is a fault."""
        try:
            text = self.status_path.read_text()
        except FileNotFoundError:
            return None
        try:
            return json.loads(text)
        except json.JSONDecodeError:
            self.bad_documents.append(text)
            raise

    def wait_status(self, what="status", **expected):
        def matches():
            s = self.status()
            return s if s and all(s.get(k) == v for k, v in expected.items()) else None
        return wait_for(matches, what=f"{what} {expected}; last {self.status()}; stderr {self.stderr()}")

    def wait_line(self, text, count=1, stream="stdout"):
        lines = self.stdout_lines if stream == "stdout" else self.stderr_lines

        def seen():
            if self.proc.poll() is not None and sum(text in line for line in lines) < count:
                time.sleep(0.2)  # let the pump take the last lines before giving up
                if sum(text in line for line in lines) < count:
                    raise AssertionError(f"wancapture exited ({self.proc.returncode}) before {text!r}: "
                                         f"{self.stdout()} {self.stderr()}")
            return sum(text in line for line in lines) >= count
        wait_for(seen, what=f"{text!r} x{count} on {stream}; stdout {self.stdout()!r} stderr {self.stderr()!r}")

    def stdout(self):
        return "".join(self.stdout_lines)

    def stderr(self):
        return "".join(self.stderr_lines)

    def request_stop(self):
        self.stop_path.write_text("stop\n")

    def finish(self, how="request"):
        """Stops the receiver and returns its exit code after checking the final document."""
        if how == "request":
            self.request_stop()
        else:
            self.proc.send_signal(how)
        code = self.proc.wait(timeout=WAIT)
        for t in self._readers:
            t.join(timeout=5)
        assert self.stdout_lines and self.stdout_lines[-1] == "wancapture stopped\n", self.stdout()
        final = self.status()
        assert final["state"] == "offline" and final["error"] is None, final
        assert not self.bad_documents
        return code

    def peak_memory_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)


def srt_url(port, passphrase=None, latency="120000"):
    """A caller's address; ffmpeg takes the latency in microseconds, srt-live-transmit in ms."""
    url = f"srt://127.0.0.1:{port}?mode=caller&latency={latency}"
    if passphrase is not None:
        url += f"&passphrase={passphrase}"
    return url


def ffmpeg_caller(port, size="320x180", rate=30, seconds=3.0, codec="libx264", fmt="mpegts", passphrase=None,
                  realtime=True):
    """The real ffmpeg as SRT caller: a test pattern encoded live."""
    command = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error"]
    if realtime:
        command += ["-re"]
    command += ["-f", "lavfi", "-i", f"testsrc=size={size}:rate={rate}", "-t", str(seconds),
                "-c:v", codec, "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", str(rate)]
    if codec == "libx264":
        command += ["-tune", "zerolatency"]
    if codec == "libx265":
        command += ["-x265-params", "log-level=error"]
    command += ["-f", fmt, srt_url(port, passphrase)]
    return subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def encode_ts(path, size="320x180", rate=30, seconds=2.0):
    subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    f"testsrc=size={size}:rate={rate}", "-t", str(seconds), "-c:v", "libx264", "-preset",
                    "ultrafast", "-pix_fmt", "yuv420p", "-g", str(rate), "-f", "mpegts", str(path)], check=True)
    return path.read_bytes()


class PipeCaller:
    """An SRT caller whose bytes the test writes itself (through srt-live-transmit's standard input),
    for streams no encoder would make: garbage, cut packets, nothing at all."""

    def __init__(self, port, passphrase=None):
        self.proc = subprocess.Popen(["srt-live-transmit", "-q", "-a:no", "-c:1316", "file://con",
                                      srt_url(port, passphrase, latency="120")], stdin=subprocess.PIPE,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def send(self, data: bytes, chunk=1316 * 7, pause=0.005):
        """False once the link is gone (the receiver hung up and the tool exited)."""
        try:
            for i in range(0, len(data), chunk):
                self.proc.stdin.write(data[i:i + chunk])
                self.proc.stdin.flush()
                time.sleep(pause)
        except BrokenPipeError:
            return False
        return True

    def close(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture
def receiver_factory(tmp_path):
    started = []

    def start(**kwargs):
        r = Receiver(tmp_path, **kwargs)
        started.append(r)
        return r
    yield start
    for r in started:
        r.kill()


@pytest.fixture
def senders():
    procs = []
    yield procs
    for p in procs:
        proc = p.proc if isinstance(p, PipeCaller) else p
        if proc.poll() is None:
            try:
                os.kill(proc.pid, signal.SIGCONT)
            except ProcessLookupError:
                pass
            proc.kill()
            proc.wait()


def jpeg_size(path):
    import cv2
    import numpy as np
    image = cv2.imdecode(np.frombuffer(path.read_bytes(), np.uint8), cv2.IMREAD_COLOR)
    assert image is not None, "preview does not decode as JPEG"
    return image.shape[1], image.shape[0]
