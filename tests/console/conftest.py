"""The agent as the console's user meets it: this build's receivers, a board streamed over SRT, the
runtime double standing in for NDI, and a headless browser."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(ROOT / "tools"))

import scoreboard_video  # noqa: E402

BUILD = Path(os.environ.get("TESSARYN_BUILD", ROOT / "build"))
WANCAPTURE = BUILD / "receivers" / "wancapture" / "wancapture"
LANCAPTURE = Path(os.environ.get("LANCAPTURE", BUILD / "receivers" / "lancapture" / "lancapture"))
NDI_DOUBLE = Path(os.environ.get("NDI_DOUBLE_DIR", BUILD / "tests" / "lancapture" / "ndi_double")) / "full"
ARTEFACTS = Path(os.environ.get("TESSARYN_ARTEFACTS", BUILD / "artefacts" / "console"))
AGENT = ROOT / "agent" / "tessaryn_agent.py"
# Generous bounds for polling: the checks are of states reached, never of how fast.
WAIT = 60.0


try:
    from selenium.common.exceptions import StaleElementReferenceException
except ImportError:
    class StaleElementReferenceException(Exception):
        pass


def wait_for(condition, what, timeout=WAIT):
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        try:
            value = condition()
            if value:
                return value
            last = value
        # A file being replaced, an answer not there yet, an element the page has just redrawn.
        except (OSError, ValueError, KeyError, StaleElementReferenceException) as error:
            last = error
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}; last: {last!r}")


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def source_line(name, colour="ff0000", mode="live"):
    return f"source hex:{name.encode().hex()} - {colour} {mode}\n"


class Console:
    """One agent with this build's receivers in a private data folder."""

    def __init__(self, folder: Path, settings):
        self.folder = folder
        self.tessaryn = folder / "data" / "Tessaryn"
        self.static = self.tessaryn / "runtime" / "app" / "static"
        self.static.mkdir(parents=True)
        self.settings_path = self.tessaryn / "agent-settings.json"
        self.settings_path.write_text(json.dumps(settings))
        self.control = folder / "double.control"
        self.control.write_text("")
        env = dict(os.environ, LOCALAPPDATA=str(folder / "data"), NDI_RUNTIME_DIR_V6=str(NDI_DOUBLE),
                   NDI_DOUBLE_CONTROL=str(self.control), NDI_DOUBLE_REPORT=str(folder / "double.report.json"),
                   PYTHONDONTWRITEBYTECODE="1")
        self.env = env
        self.process = subprocess.Popen([sys.executable, str(AGENT), "--wancapture", str(WANCAPTURE),
                                         "--lancapture", str(LANCAPTURE)], env=env, cwd=str(folder),
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.events = []
        self._reader = threading.Thread(target=self._read_events, daemon=True)
        self._reader.start()
        self.url = wait_for(lambda: self.event("serving"), "the agent to serve")["url"]
        self.streams = []
        self._callers = []
        self._stopping = threading.Event()

    def _read_events(self):
        for line in self.process.stdout:
            self.events.append(json.loads(line))

    def event(self, name):
        return next((e for e in reversed(self.events) if e.get("event") == name), None)

    def call(self, path, body=None, host=None):
        """(status, JSON answer) of the agent's API."""
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.url + path, data=data, method="GET" if body is None else "POST")
        if body is not None:
            request.add_header("Content-Type", "application/json")
        if host:
            request.add_header("Host", host)
        try:
            with urllib.request.urlopen(request, timeout=20) as answer:
                return answer.status, json.loads(answer.read() or b"null")
        except urllib.error.HTTPError as error:
            raw = error.read()
            try:
                return error.code, json.loads(raw)
            except ValueError:
                return error.code, raw.decode("utf-8", "replace")

    def state(self):
        return self.call("/api/state")[1]

    def set_sources(self, *names):
        temp = self.control.with_suffix(".tmp")
        temp.write_text("".join(source_line(name) for name in names) + "video 320 180 0 30 1\n")
        os.replace(temp, self.control)

    def stream(self, movie, port):
        """Sends MOVIE over SRT to PORT again and again until the console stops, calling again
        whenever the connection ends (as a sender does when the receiver was restarted)."""
        command = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-stream_loop", "-1", "-i", str(movie),
                   "-c", "copy", "-f", "mpegts", f"srt://127.0.0.1:{port}?mode=caller"]

        def call_again():
            while not self._stopping.is_set():
                caller = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL)
                self.streams.append(caller)
                while caller.poll() is None and not self._stopping.is_set():
                    time.sleep(0.1)
                if caller.poll() is None:
                    caller.terminate()
                caller.wait()
                self._stopping.wait(0.5)

        thread = threading.Thread(target=call_again, daemon=True)
        thread.start()
        self._callers.append(thread)

    def stop(self):
        self._stopping.set()
        for thread in self._callers:
            thread.join(timeout=30)
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        code = self.process.wait(timeout=60)
        self._reader.join(timeout=10)
        return code


@pytest.fixture
def console_factory(tmp_path):
    started = []

    def start(settings):
        console = Console(tmp_path, settings)
        started.append(console)
        return console

    yield start
    for console in started:
        if console.process.poll() is None:
            assert console.stop() == 0


@pytest.fixture(scope="session")
def board_movie(tmp_path_factory):
    """A few seconds of one unchanging board, so that every preview has the same true values."""
    state = scoreboard_video.timeline(8)[7]
    path = tmp_path_factory.mktemp("movie") / "board.mp4"
    scoreboard_video.write_video(str(path), [state] * 3)
    return path, state


def chromium_missing():
    return shutil.which("chromium") is None or shutil.which("chromedriver") is None


@pytest.fixture
def browser(tmp_path):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    profile = tmp_path / "chromium-profile"
    for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--no-first-run",
                     "--disable-dev-shm-usage", f"--user-data-dir={profile}", "--window-size=1400,1300"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    driver.set_page_load_timeout(60)
    ARTEFACTS.mkdir(parents=True, exist_ok=True)
    yield driver
    driver.quit()
