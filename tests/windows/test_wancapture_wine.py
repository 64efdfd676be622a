"""wancapture.exe under wine, built from the same sources as the Linux program over the Windows
platform layer and the cross-built FFmpeg, libsrt and mbedtls: the real Linux ffmpeg calls it over
SRT on a loopback port. Also its command line, its secret read with ReadFile from an inherited pipe
handle (--secret-handle), its stops and the DLLs it needs."""

import os
import signal
import subprocess
import threading
import time

import cv2
import numpy as np
import pytest

from wine_support import started_wine  # noqa: F401 (a fixture, used by every test)
from wine_support import BUILD, PREFIX, TOOL, WAIT, posix_test_module, run, wait_for, wine_command

PROGRAM = BUILD / "wancapture.exe"
POSIX, POSIX_CONFTEST = posix_test_module("receivers", "test_wancapture_cli")
secret_record = POSIX_CONFTEST.secret_record
free_udp_port = POSIX_CONFTEST.free_udp_port
jpeg_size = POSIX_CONFTEST.jpeg_size
PASSPHRASE = b"tessaryn-wine-secret-7"


def text(raw: bytes) -> str:
    # The C runtime writes its text-mode streams with CRLF line ends on Windows.
    return raw.decode().replace("\r\n", "\n")


# Every row ends before the network side would start: a refusal, the usage text or the self-test.
REFUSED = POSIX.REFUSED


@pytest.mark.parametrize("args,code,err", REFUSED, ids=[" ".join(a)[:40] for a, _, _ in REFUSED])
def test_command_line(tmp_path, args, code, err):
    done = run(PROGRAM, *args, cwd=tmp_path)
    assert (done.returncode, text(done.stderr), done.stdout) == (code, err, b"")


@pytest.mark.parametrize("record,err", POSIX.SECRETS, ids=[r.hex()[:24] or "empty" for r, _ in POSIX.SECRETS])
def test_refused_secret_through_a_handle(tmp_path, record, err):
    done = run(TOOL, "secret", record.hex() or "-", PROGRAM, cwd=tmp_path)
    assert (done.returncode, text(done.stderr), done.stdout) == (2, err, b"")
    assert not (tmp_path / "app").exists()


def test_a_handle_that_is_not_open_cannot_be_read(tmp_path):
    done = run(PROGRAM, "--secret-handle", "4242", cwd=tmp_path)
    assert (done.returncode, text(done.stderr)) == (2, POSIX.CANT_READ)


def test_self_test_passes():
    done = run(PROGRAM, "--self-test")
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")


def imported_dlls(program):
    out = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(program)], capture_output=True, text=True,
                         check=True).stdout
    return {line.split(":", 1)[1].strip().lower() for line in out.splitlines() if "DLL Name:" in line}


@pytest.mark.parametrize("program", ["wancapture.exe", "lancapture.exe", "Tessaryn.exe"])
def test_programs_need_only_system_dlls(program):
    dlls = imported_dlls(BUILD / program)
    system = {p.name.lower() for p in (PREFIX / "drive_c" / "windows" / "system32").iterdir()}
    assert dlls and dlls <= system, dlls - system
    assert not any(name.startswith(("lib", "av", "sw", "srt", "mbed")) for name in dlls), dlls


class WineReceiver:
    """wancapture.exe, started by the test tool when it is handed a secret, its console lines with CRLF
    made LF, and a history of its published states."""

    def __init__(self, folder, args=(), record=None):
        self.folder = folder
        self.port = free_udp_port()
        self.out = folder / "out"
        self.out.mkdir(exist_ok=True)
        self.status_path = self.out / "srt_status.json"
        program = [PROGRAM, "--port", self.port, "--status", "out\\srt_status.json",
                   "--preview", "out/srt_preview.jpg", *args]
        if record is not None:
            program = [TOOL, "secret", record.hex(), *program]
        self.proc = subprocess.Popen(wine_command(*program), cwd=folder, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.stdout_lines, self.stderr_lines, self.states = [], [], []
        self._threads = [threading.Thread(target=self._pump, args=(self.proc.stdout, self.stdout_lines), daemon=True),
                         threading.Thread(target=self._pump, args=(self.proc.stderr, self.stderr_lines), daemon=True),
                         threading.Thread(target=self._watch, daemon=True)]
        for t in self._threads:
            t.start()
        self.wait_line("wancapture listening on 0.0.0.0:%d, latency 120 ms" % self.port)

    @staticmethod
    def _pump(stream, lines):
        for raw in iter(stream.readline, b""):
            lines.append(raw.decode("utf-8", "replace").replace("\r\n", "\n"))

    def _watch(self):
        # Every state the document shows in turn; a partial document would fail json.loads. One
        # more look once the program has ended, for the document it wrote last.
        while True:
            ended = self.proc.poll() is not None
            s = self.status()
            if s is not None and (not self.states or self.states[-1] != s["state"]):
                self.states.append(s["state"])
            if ended:
                return
            time.sleep(0.01)

    def status(self):
        import json
        try:
            return json.loads(self.status_path.read_text())
        except FileNotFoundError:
            return None

    def wait_status(self, what, **expected):
        def matches():
            s = self.status()
            return s if s and all(s.get(k) == v for k, v in expected.items()) else None
        return wait_for(matches, what=f"{what} {expected}; last {self.status()}; stderr {self.stderr()!r}")

    def wait_line(self, line, stream="stdout"):
        lines = self.stdout_lines if stream == "stdout" else self.stderr_lines

        def seen():
            if any(line in x for x in lines):
                return True
            if self.proc.poll() is not None:
                time.sleep(0.3)
                assert any(line in x for x in lines), f"exited ({self.proc.returncode}) before {line!r}: " \
                    f"{self.stdout()!r} {self.stderr()!r}"
            return False
        wait_for(seen, what=f"{line!r} on {stream}; stdout {self.stdout()!r} stderr {self.stderr()!r}")

    def stdout(self):
        return "".join(self.stdout_lines)

    def stderr(self):
        return "".join(self.stderr_lines)

    def finish(self, how="request"):
        """Stops it by the stop-request file or by Ctrl+C; the exit code."""
        if how == "request":
            (self.out / "srt_stop.request").write_text("stop\n")
        else:
            # wine turns the SIGINT of a terminal's Ctrl+C into the console's Ctrl+C event of the
            # program it runs (started directly, the wine process is the program's).
            self.proc.send_signal(signal.SIGINT)
        code = self.proc.wait(timeout=WAIT)
        for t in self._threads:
            t.join(timeout=5)
        assert self.stdout_lines[-1:] == ["wancapture stopped\n"], self.stdout()
        final = self.status()
        assert final["state"] == "offline" and final["error"] is None, final
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)


def caller(port, source="testsrc=size=320x180:rate=25", seconds=30.0, passphrase=None, rate=25):
    """The real Linux ffmpeg as SRT caller: a lavfi source encoded live with libx264 into MPEG-TS."""
    command = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi", "-i", source,
               "-t", str(seconds), "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency",
               "-pix_fmt", "yuv420p", "-g", str(rate), "-f", "mpegts",
               POSIX_CONFTEST.srt_url(port, passphrase.decode() if passphrase else None)]
    return subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


@pytest.fixture
def started(tmp_path):
    receivers, callers = [], []

    def receiver(**kwargs):
        r = WineReceiver(tmp_path, **kwargs)
        receivers.append(r)
        return r
    yield receiver, callers
    for p in callers:
        if p.poll() is None:
            p.kill()
            p.wait()
    for r in receivers:
        r.kill()


def test_callers_come_and_go_and_previews_follow_the_sizing_rule(started):
    receiver, callers = started
    r = receiver()
    assert r.states[:1] == ["listening"] or r.wait_status("start", state="listening")
    # Above 1920 pixels wide: scaled to 1920 on the longer side.
    callers.append(caller(r.port, "testsrc=size=2400x1350:rate=10", seconds=8, rate=10))
    first = r.wait_status("first caller", state="connected", width=1920, height=1080)
    assert (first["frame_rate_n"], first["frame_rate_d"], first["decoder"]) == (10, 1, "native")
    assert abs(first["last_frame_time"] - time.time()) < 120 and first["error"] is None
    assert jpeg_size(r.out / "srt_preview.jpg") == (1920, 1080)
    left = r.wait_status("after the caller left", state="listening", error=None)
    # The caller closes at its end; a close lost on the way shows as a stall instead.
    assert {"SRT sender disconnected; listening again\n", "SRT sender stalled; listening again\n"} & \
        set(r.stdout_lines), r.stdout()
    assert (left["width"], left["height"], left["decoder"]) == (1920, 1080, "native")

    callers.append(caller(r.port, "testsrc=size=320x180:rate=25"))
    r.wait_status("second caller", state="connected", width=320, height=180)
    assert jpeg_size(r.out / "srt_preview.jpg") == (320, 180)
    r.wait_line("receiving 320x180")
    assert r.finish() == 0
    # What the agent saw, in order (a state replaced within a poll may be missed, never reordered).
    states = r.states
    first_connected = states.index("connected")
    assert states[:first_connected + 1] == ["listening", "connecting", "connected"], states
    assert "listening" in states[first_connected:], states
    assert states[-1] == "offline", states
    assert r.stdout_lines[:4] == ["wancapture listening on 0.0.0.0:%d, latency 120 ms\n" % r.port,
                                  "SRT sender connected\n", "decoder: native\n", "receiving 1920x1080\n"]
    assert "wancapture listening on 0.0.0.0:%d\n" % r.port in r.stdout_lines
    # A loaded machine may lose packets, which the decoder reports; nothing else goes there.
    assert "srt listen failed" not in r.stderr() and "expected" not in r.stderr(), r.stderr()
    assert sorted(p.name for p in r.out.iterdir()) == ["srt_preview.jpg", "srt_status.json", "srt_stop.request"]


def test_preview_channels_and_a_path_without_folder(started, tmp_path):
    receiver, callers = started
    r = receiver(args=["--preview", "srt.jpg"])
    # A flat colour through H.264: R 48, G 96, B 192 must come out in that order.
    callers.append(caller(r.port, "color=c=0x3060C0:size=320x240:rate=25"))
    r.wait_status("colour caller", state="connected", width=320, height=240)
    image = cv2.imdecode(np.frombuffer((tmp_path / "srt.jpg").read_bytes(), np.uint8), cv2.IMREAD_COLOR)
    b, g, r_ = (int(v) for v in image[120, 160])
    assert abs(r_ - 0x30) < 16 and abs(g - 0x60) < 16 and abs(b - 0xC0) < 16, (r_, g, b)
    assert r.finish() == 0
    # The temporary twin kept the image extension and is gone once moved over the preview.
    assert not (tmp_path / "srt.tmp.jpg").exists()


def test_caller_that_stops_sending_stalls(started):
    receiver, callers = started
    r = receiver()
    quiet = caller(r.port)
    callers.append(quiet)
    r.wait_status("caller", state="connected")
    os.kill(quiet.pid, signal.SIGSTOP)  # the caller goes quiet without closing
    try:
        r.wait_line("SRT sender stalled; listening again")
        r.wait_status("listening after the stall", state="listening", error=None)
    finally:
        os.kill(quiet.pid, signal.SIGKILL)
    assert r.finish() == 0
    assert r.states[-2:] == ["listening", "offline"], r.states


def test_encrypted_stream_through_the_secret_handle(started, tmp_path):
    receiver, callers = started
    r = receiver(record=secret_record(PASSPHRASE))
    mismatch = caller(r.port, seconds=3, passphrase=b"not-the-secret-1")
    callers.append(mismatch)
    s = r.wait_status("mismatch", state="error")
    assert s["error"] == "SRT encryption settings do not match the sender"
    mismatch.wait(timeout=WAIT)
    r.wait_status("listening after the mismatch", state="listening", error=None)

    callers.append(caller(r.port, passphrase=PASSPHRASE))
    r.wait_status("matching caller", state="connected", width=320, height=180)
    assert r.finish() == 0
    published = [p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()]
    for blob in [r.stdout().encode(), r.stderr().encode()] + published:
        assert PASSPHRASE not in blob


def test_ctrl_c_stops_it_while_connected(started):
    receiver, callers = started
    r = receiver()
    callers.append(caller(r.port))
    r.wait_status("caller", state="connected")
    assert r.finish("ctrl-c") == 0
