"""lancapture.exe under wine against the runtime double built as Processing.NDI.Lib.x64.dll: the
runtime found beside the program or through NDI_RUNTIME_DIR_V6, start-up failures, the published
documents and WIC previews, stop requests and the single running copy. The tables are the POSIX
tests', with the runtime's Windows file names."""

import re
import shutil
import subprocess
import threading
from pathlib import Path

import cv2
import numpy as np
import pytest

from wine_support import started_wine  # noqa: F401 (a fixture, used by every test)
from wine_support import BUILD, WAIT, environment, posix_test_module, wait_for, win_path, wine_command

POSIX, LAN = posix_test_module("lancapture", "test_lancapture_runtime")
PROGRAM = BUILD / "lancapture.exe"
DOUBLES = BUILD / "ndi_double"
# The POSIX file names of the runtime and the Windows names they stand for.
WINDOWS_NAMES = {"libndi.so.6": "Processing.NDI.Lib.x64.dll", "libndi.so": "Processing.NDI.Lib.dll"}


def windows_files(files):
    """A POSIX table's folder contents with the Windows names and the Windows build of each double."""
    if files is None:
        return None
    return {WINDOWS_NAMES.get(name, name): DOUBLES / Path(source).parent.name / "Processing.NDI.Lib.x64.dll"
            for name, source in files.items()}


def windows_name(posix_relative):
    for posix, windows in WINDOWS_NAMES.items():
        posix_relative = re.sub(re.escape(posix) + "$", windows, posix_relative)
    return posix_relative.replace("/", "\\")


def same_path(a, b):
    def normal(p):
        return re.sub(r"\\+", r"\\", p).lower()
    return normal(a) == normal(b)


class Workspace(LAN.Workspace):
    def environment(self, runtime_dir=None, extra=None):
        env = environment(NDI_RUNTIME_DIR_V6=None, KANTELLA_DEV_LATENCY=None,
                          NDI_DOUBLE_CONTROL=win_path(self.control), NDI_DOUBLE_REPORT=win_path(self.report))
        if runtime_dir is not None:
            env["NDI_RUNTIME_DIR_V6"] = runtime_dir if isinstance(runtime_dir, str) else win_path(runtime_dir)
        env.update(extra or {})
        return env


class Lancapture:
    """One lancapture.exe under wine, its console lines collected without their CRLF ends."""

    def __init__(self, workspace, runtime_dir=DOUBLES / "full", extra_env=None, program=PROGRAM):
        self.workspace = workspace
        self.proc = subprocess.Popen(wine_command(program), cwd=workspace.root, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=workspace.environment(runtime_dir, extra_env))
        self.out, self.err = [], []
        self.raw_out = bytearray()
        self._threads = [threading.Thread(target=self._pump, args=(self.proc.stdout, self.out), daemon=True),
                         threading.Thread(target=self._pump, args=(self.proc.stderr, self.err), daemon=True)]
        for t in self._threads:
            t.start()

    def _pump(self, stream, lines):
        for raw in iter(stream.readline, b""):
            # The C runtime writes its text-mode streams with CRLF line ends on Windows.
            raw = raw.replace(b"\r\n", b"\n")
            if lines is self.out:
                self.raw_out += raw
            lines.append(raw.rstrip(b"\n"))

    def lines(self, prefix):
        return [line for line in list(self.out) if line.startswith(prefix)]

    def wait_line(self, prefix, count=1):
        return wait_for(lambda: len(self.lines(prefix)) >= count and self.lines(prefix),
                        what=f"{count} console line(s) starting {prefix!r}; got {self.out!r} {self.err!r}")

    def wait_started(self):
        self.wait_line(LAN.START_LINES[2])

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.finish()

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


@pytest.fixture
def workspace(tmp_path):
    return Workspace(tmp_path / "work")


@pytest.fixture
def run(workspace):
    started = []

    def start(**kwargs):
        process = Lancapture(workspace, **kwargs)
        started.append(process)
        return process

    yield start
    for process in started:
        if process.proc.poll() is None:
            process.proc.kill()
            process.finish()


def runtime_folder(tmp_path, files):
    folder = tmp_path / "runtime-folder"
    folder.mkdir()
    for name, source in files.items():
        shutil.copy2(source, folder / name)
    return folder


@pytest.mark.parametrize("files,control,stderr", [c[1:] for c in POSIX.START_FAILURES],
                         ids=[c[0] for c in POSIX.START_FAILURES])
def test_start_failures_exit_1_with_their_messages(workspace, run, tmp_path, files, control, stderr):
    workspace.set_control(*control)
    folder = None if files is None else runtime_folder(tmp_path, windows_files(files))
    receiver = run(runtime_dir=folder)
    assert receiver.finish() == 1
    assert receiver.err == stderr
    assert receiver.out == []
    assert sorted(p.name for p in workspace.static.iterdir()) == []


@pytest.mark.parametrize("beside,named,suffix,loaded", [c[1:] for c in POSIX.RUNTIME_CHOICES],
                         ids=[c[0] for c in POSIX.RUNTIME_CHOICES])
def test_runtime_search_order_and_stale_stop_request(workspace, run, tmp_path, beside, named, suffix, loaded):
    (tmp_path / "beside").mkdir()
    program = tmp_path / "beside" / "lancapture.exe"
    shutil.copy2(PROGRAM, program)
    for name, source in windows_files(beside).items():
        shutil.copy2(source, tmp_path / "beside" / name)
    (tmp_path / "named").mkdir()
    for name, source in windows_files(named).items():
        shutil.copy2(source, tmp_path / "named" / name)
    runtime_dir = win_path(tmp_path / "named") + suffix.replace("/", "\\")
    workspace.set_control(LAN.source_line("cam"))
    # A stop request left from an earlier run stops the program in its first iteration.
    workspace.write("ndi_stop.request", b"stop\n")
    receiver = run(runtime_dir=runtime_dir, program=program)
    assert receiver.finish() == 0, receiver.err
    assert receiver.err == []
    assert same_path(workspace.report_data()["library"], win_path(tmp_path) + "\\" + windows_name(loaded))
    LAN.assert_clean_report(workspace)
    assert sorted(p.name for p in workspace.static.iterdir()) == ["ndi_status.json", "ndi_stop.request"]
    status = receiver.status()
    assert status["receiver_running"] is False and status["receiver_state"] == "stopped"
    assert receiver.out[0] == LAN.START_LINES[0] and receiver.out[1].startswith(b"Receiver cr\xc3\xa9\xc3\xa9: ")
    assert receiver.out[2] == LAN.START_LINES[2]
    assert receiver.out[-2:] == [b"", LAN.LAST_LINE]


def test_video_previews_sources_latency_and_stop_by_file(workspace, run):
    workspace.set_control(LAN.source_line("cam", "192.0.2.7:5961", "0000ff"), "video 32 16 128 30 1", "extras 1")
    workspace.write("ndi_selection.txt", b"cam")
    receiver = run(extra_env={"KANTELLA_DEV_LATENCY": "1"})
    live = receiver.wait_status(lambda s: s["receiver_state"] == "connected", "connected")
    assert (live["width"], live["height"], live["frame_rate_n"], live["frame_rate_d"]) == (32, 16, 30, 1)
    preview = workspace.path("ndi_preview.jpg")
    latency = wait_for(lambda: workspace.document("ndi_latency.json"), what="a latency document")
    assert list(latency) == ["version", "frame_id", "captured_unix_ns", "published_unix_ns",
                             "capture_to_publish_ms", "jpeg_mtime_ns", "jpeg_size"]
    assert int(latency["frame_id"].split("-")[0]) % 6 == 0 and latency["jpeg_mtime_ns"] % 1000000000 == 0
    def decoded():
        image = cv2.imdecode(np.frombuffer(preview.read_bytes(), np.uint8), cv2.IMREAD_COLOR) if preview.exists() else None
        return (image,) if image is not None else None
    (image,) = wait_for(decoded, what="a decodable preview")
    assert image.shape == (16, 32, 3)
    # The double's quadrants: the source's colour (blue here), white, black and green, as B, G, R.
    quadrants = [image[y:y + 4, x:x + 8].reshape(-1, 3).mean(axis=0) for y, x in ((2, 4), (2, 20), (10, 4), (10, 20))]
    expected = [(255, 0, 0), (255, 255, 255), (0, 0, 0), (0, 255, 0)]
    assert all(np.abs(q - e).max() < 60 for q, e in zip(quadrants, expected)), quadrants
    sources = workspace.document("ndi_sources.json")
    assert [(s["name"], s["url_address"]) for s in sources["sources"]] == [("cam", "192.0.2.7:5961")]
    # An empty request is no request: the receiver keeps publishing.
    workspace.write("ndi_stop.request", b"")
    first = receiver.status()["updated_at"]
    receiver.wait_status(lambda s: s["updated_at"] > first and s["receiver_running"], "running on")
    assert receiver.stop_by_file() == 0, receiver.err
    assert receiver.err == []
    final = receiver.status()
    assert (final["receiver_running"], final["receiver_state"], final["active_source_name"]) == (False, "stopped", None)
    assert receiver.out[-2:] == [b"", LAN.LAST_LINE]
    assert not workspace.path("ndi_preview.tmp.jpg").exists()
    LAN.assert_clean_report(workspace)


def test_second_copy_exits_1_touching_nothing(workspace, run, tmp_path):
    workspace.set_control(LAN.source_line("cam"))
    first = run()
    first.wait_status(lambda s: s["receiver_running"], "first copy running")
    second_report = tmp_path / "second.report.json"
    second = run(extra_env={"NDI_DOUBLE_REPORT": win_path(second_report)})
    assert second.finish() == 1
    assert second.err == [b"Tessaryn NDI receiver is already running."]
    assert second.out == []
    assert not second_report.exists()
    assert first.proc.poll() is None
    assert first.stop_by_file() == 0


# The POSIX suites of discovery and capture, run as they are against lancapture.exe: their tests take
# the `workspace` and `run` fixtures above. Left out: the failed-publication table, whose messages
# carry the POSIX error texts and codes.
_SOURCES, _ = posix_test_module("lancapture", "test_lancapture_sources")
_VIDEO, _ = posix_test_module("lancapture", "test_lancapture_video")
for _suite in (_SOURCES, _VIDEO):
    for _name, _test in vars(_suite).items():
        if _name.startswith("test_") and _name != "test_failed_publications_are_reported_and_skipped":
            globals()[_name] = _test


# The failed-publication table with what the Windows C runtime and WIC say about a folder in the way.
BLOCKED = [(blocked, latency, message.replace(b": Is a directory", b": Permission denied")
            .replace(b"HRESULT=0x80070015", b"HRESULT=0x80070005"), published)
           for blocked, latency, message, published in _VIDEO.BLOCKED]


@pytest.mark.parametrize("blocked,latency,message,published", BLOCKED, ids=[b[0] for b in BLOCKED])
def test_failed_publications_are_reported_and_skipped(workspace, run, blocked, latency, message, published):
    _VIDEO.test_failed_publications_are_reported_and_skipped(workspace, run, blocked, latency, message, published)
