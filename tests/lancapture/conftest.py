"""The real lancapture binary in a temporary working directory, against the runtime double."""

import json
import os
import shutil
import signal
import subprocess
import threading
import time
from pathlib import Path

import pytest

LANCAPTURE = os.environ.get("LANCAPTURE", "")
DOUBLE_DIR = Path(os.environ.get("NDI_DOUBLE_DIR", "/nonexistent"))
FULL_DOUBLE = DOUBLE_DIR / "full" / "libndi.so.6"
INCOMPLETE_DOUBLE = DOUBLE_DIR / "without_connections" / "libndi.so.6"
SANITIZED = os.environ.get("LANCAPTURE_SANITIZED") == "1"
# Generous bounds for polling: the checks are of states reached, never of how fast.
WAIT = 90.0 if SANITIZED else 45.0

START_LINES = [b"Tessaryn NDI receiver actif.", None, b"S\xc3\xa9lection pilot\xc3\xa9e par app/static/ndi_selection.txt"]
LAST_LINE = "Tessaryn NDI receiver arrêté.".encode()


def wait_for(predicate, timeout=WAIT, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError(f"timed out waiting for {what}")


def text(raw: bytes) -> str:
    """Published bytes as Python text, invalid UTF-8 kept byte for byte (it is never repaired)."""
    return raw.decode("utf-8", "surrogateescape")


def source_line(name, url=None, colour="ff0000", mode="live") -> str:
    def token(value):
        if value is None:
            return "-"
        return "hex:" + (value.encode() if isinstance(value, str) else value).hex()
    return f"source {token(name)} {token(url)} {colour} {mode}\n"


class Workspace:
    """A working directory laid out as the agent's, the double's control and report files beside it."""

    def __init__(self, root: Path):
        self.root = root
        self.static = root / "app" / "static"
        self.static.mkdir(parents=True)
        self.control = root / "double.control"
        self.report = root / "double.report.json"
        self.control.write_text("")

    def path(self, name) -> Path:
        return self.static / name

    def set_control(self, *lines):
        # Replaced whole, so that the double never reads half a control file.
        temp = self.root / "double.control.tmp"
        temp.write_text("".join(line if line.endswith("\n") else line + "\n" for line in lines))
        os.replace(temp, self.control)

    def write(self, name, content: bytes):
        temp = self.static / (name + ".writing")
        temp.write_bytes(content)
        os.replace(temp, self.static / name)

    def document(self, name):
        try:
            raw = self.path(name).read_bytes()
        except FileNotFoundError:
            return None
        return json.loads(text(raw))

    def report_data(self):
        return json.loads(self.report.read_text())

    def environment(self, runtime_dir=None, extra=None):
        env = {k: v for k, v in os.environ.items()
               if k not in ("NDI_RUNTIME_DIR_V6", "KANTELLA_DEV_LATENCY")}
        env["NDI_DOUBLE_CONTROL"] = str(self.control)
        env["NDI_DOUBLE_REPORT"] = str(self.report)
        if runtime_dir is not None:
            env["NDI_RUNTIME_DIR_V6"] = str(runtime_dir)
        if SANITIZED:
            env.setdefault("ASAN_OPTIONS", "abort_on_error=0:detect_leaks=1")
        env.update(extra or {})
        return env


class Lancapture:
    """One lancapture process with its console output collected line by line."""

    def __init__(self, workspace: Workspace, runtime_dir=DOUBLE_DIR / "full", extra_env=None, program=LANCAPTURE):
        self.workspace = workspace
        self.proc = subprocess.Popen([str(program)], cwd=workspace.root, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=workspace.environment(runtime_dir, extra_env))
        self.out, self.err = [], []
        self.raw_out = bytearray()
        self._threads = [threading.Thread(target=self._pump, args=(self.proc.stdout, self.out, True), daemon=True),
                         threading.Thread(target=self._pump, args=(self.proc.stderr, self.err, False), daemon=True)]
        for t in self._threads:
            t.start()

    def _pump(self, stream, lines, keep_raw):
        for raw in iter(stream.readline, b""):
            if keep_raw:
                self.raw_out += raw
            lines.append(raw.rstrip(b"\n"))

    def wait_line(self, prefix: bytes, count=1):
        return wait_for(lambda: len(self.lines(prefix)) >= count and self.lines(prefix),
                        what=f"{count} console line(s) starting {prefix!r}; got {self.out!r} {self.err!r}")

    def lines(self, prefix: bytes):
        return [line for line in list(self.out) if line.startswith(prefix)]

    def wait_started(self):
        self.wait_line(START_LINES[2])

    def status(self):
        return self.workspace.document("ndi_status.json")

    def wait_status(self, predicate, what="status"):
        def check():
            status = self.status()
            return status if status is not None and predicate(status) else None
        return wait_for(check, what=f"{what}; last status {self.status()!r}, stderr {self.err!r}")

    def finish(self, timeout=WAIT):
        code = self.proc.wait(timeout=timeout)
        for t in self._threads:
            t.join(timeout=10)
        return code

    def stop_by_file(self):
        self.workspace.write("ndi_stop.request", b"stop\n")
        return self.finish()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.finish()


def assert_clean_report(workspace: Workspace):
    """The double saw every frame given back, no call outside the runtime's life, nothing left alive."""
    report = workspace.report_data()
    assert report["violations"] == {}
    assert report["outstanding"] == 0
    assert report["initialize_calls"] == 1 and report["destroy_calls"] == 1
    assert report["unloaded"] is True
    assert report["finders_created"] == report["finders_destroyed"] == 1
    assert report["receivers_created"] == report["receivers_destroyed"] == 1
    for kind in ("video", "audio", "metadata"):
        assert report["freed"][kind] == report["delivered"][kind], kind
    assert set(report["capture_timeouts"]) <= {"200"}
    assert set(report["wait_timeouts"]) <= {"0", "250"}
    return report


@pytest.fixture
def workspace(tmp_path):
    return Workspace(tmp_path)


@pytest.fixture
def run(workspace):
    """Starts lancapture processes for a test and makes sure none outlives it."""
    started = []

    def start(**kwargs):
        process = Lancapture(workspace, **kwargs)
        started.append(process)
        return process

    yield start
    for process in started:
        if process.proc.poll() is None:
            process.proc.send_signal(signal.SIGKILL)
            process.finish()


def copy_program_with_runtime(folder: Path, runtime: Path = None, runtime_name="libndi.so.6") -> Path:
    """A copy of the program in its own folder (its own folder is where it looks first)."""
    folder.mkdir(parents=True, exist_ok=True)
    program = folder / "lancapture"
    shutil.copy2(LANCAPTURE, program)
    if runtime is not None:
        shutil.copy2(runtime, folder / runtime_name)
    return program
