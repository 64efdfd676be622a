"""Tessaryn.exe under wine with the stand-in Tessaryn-agent.exe: single instance with the open request
handed over, the restart limit, the page opened only for a good address, and the stop files written
before the job kills the agent's whole tree."""

import json
import shutil
import subprocess
import time

import pytest

from wine_support import started_wine  # noqa: F401 (a fixture, used by every test)
from wine_support import (BUILD, WAIT, environment, local_appdata, posix_test_module, run, tool, wait_for,
                          win_path, wine_command)

POSIX, _ = posix_test_module("launcher", "test_launcher_process")
GOOD = POSIX.GOOD
WM_LBUTTONUP, WM_RBUTTONDOWN = 0x0202, 0x0204


class LauncherFolder:
    """Tessaryn.exe beside the stand-in agent in a folder of its own, and a record folder for what the
    agent, its receivers and the browser stand-in did."""

    def __init__(self, root):
        self.app = root / "app"
        self.record = root / "record"
        self.app.mkdir()
        self.record.mkdir()
        for program in (BUILD / "Tessaryn.exe", BUILD / "tests_windows" / "Tessaryn-agent.exe"):
            shutil.copy2(program, self.app)
        self.launcher = self.app / "Tessaryn.exe"
        self.tessaryn = local_appdata() / "Tessaryn"
        # The prefix's data folder is shared by every test; each starts from none.
        shutil.rmtree(self.tessaryn, ignore_errors=True)
        self.processes = []

    def static(self, name=""):
        return self.tessaryn / "runtime" / "app" / "static" / name

    def env(self, **changes):
        return environment(FAKE_RECORD=win_path(self.record), **changes)

    def start(self, env=None):
        process = subprocess.Popen(wine_command(self.launcher), env=env or self.env(), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(process)
        # The tray window is what a second copy and the tests talk to.
        wait_for(lambda: tool("post", "0") == 0 or process.poll() is not None, what="the tray window")
        return process

    def lines(self, name):
        try:
            return (self.record / name).read_text().splitlines()
        except FileNotFoundError:
            return []

    def pids(self):
        return [line.split()[0] for line in self.lines("pids")]

    def quit(self, process):
        assert tool("post", "1002") == 0
        return process.wait(timeout=WAIT)

    def stop_all(self):
        for process in self.processes:
            if process.poll() is None:
                tool("post", "1002")
                try:
                    process.wait(timeout=WAIT)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


@pytest.fixture
def folder(tmp_path):
    made = LauncherFolder(tmp_path)
    yield made
    made.stop_all()


def test_second_instance_hands_the_open_request_over_and_exits_zero(folder):
    first = folder.start()
    wait_for(lambda: folder.lines("opened") == [GOOD], what="the page to open by itself")
    second = subprocess.run(wine_command(folder.launcher), env=folder.env(), stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=WAIT)
    assert second.returncode == 0
    wait_for(lambda: len(folder.lines("opened")) == 2, what="the first copy to open the page again")
    assert folder.lines("opened") == [GOOD, GOOD]
    # The second copy started no agent of its own.
    assert len(folder.lines("starts")) == 1
    assert first.poll() is None
    # A left click on the tray icon opens the page again; a right button down alone does nothing.
    assert tool("tray", str(WM_RBUTTONDOWN)) == 0
    assert tool("tray", str(WM_LBUTTONUP)) == 0
    wait_for(lambda: len(folder.lines("opened")) == 3, what="the page to open on a left click")
    assert folder.quit(first) == 0


def test_restarts_stop_after_three_starts(folder):
    folder.static().mkdir(parents=True)
    process = folder.start(folder.env(FAKE_MODE="exit"))
    wait_for(lambda: len(folder.lines("starts")) == 3, what="three starts")
    # Each restart stopped everything first, so the stop files are there.
    wait_for(lambda: folder.static("srt_stop.request").exists(), what="the stop files")
    assert folder.static("srt_stop.request").read_bytes() == b"stop\n"
    assert folder.static("ndi_stop.request").read_bytes() == b"stop\n"
    # A fourth start would come within a tick and a stop sequence (about 1.2 s); allow several.
    time.sleep(4.0)
    assert len(folder.lines("starts")) == 3
    assert process.poll() is None, "the launcher stays in the tray after the last start"
    # The agent ran in the launcher's folder.
    assert all(line.split(" ", 1)[1] == win_path(folder.app) for line in folder.lines("starts"))
    assert folder.quit(process) == 0


def test_quit_writes_both_stop_files_before_the_whole_tree_is_killed(folder):
    process = folder.start()
    wait_for(lambda: {line.split()[1] for line in folder.lines("pids")} >= {"agent", "child", "orphan"},
             what="the agent's tree to start")
    pids = folder.pids()
    assert all(tool("alive", pid) == 0 for pid in pids)
    assert folder.quit(process) == 0
    # Every receiver saw both stop files, with their content, while it was still alive: the files
    # came before the job was closed. The orphan had lost its parent but not its job.
    seen = [json.loads(line) for line in folder.lines("seen")]
    assert sorted(s["name"] for s in seen) == ["child", "orphan"]
    assert all(s["contents"] == ["stop\n", "stop\n"] for s in seen)
    wait_for(lambda: all(tool("alive", pid) == 1 for pid in pids), what="the tree to be gone")
    # The agent's standard streams were appended to the logs.
    agent = folder.lines("starts")[0].split()[0]
    assert (folder.tessaryn / "tray-agent.log").read_text() == f"agent {agent} started\n"
    assert (folder.tessaryn / "tray-agent-error.log").read_text() == f"agent {agent} error stream\n"


def test_only_a_good_address_is_opened(folder):
    # Each bad address stays long enough for a few ticks; then the good one with a CRLF ending.
    urls = POSIX.BAD_URLS + [GOOD + "\r\n"]
    env = folder.env(FAKE_URLS=",".join(url.encode("latin-1").hex() for url in urls), FAKE_URL_PAUSE_MS="500")
    process = folder.start(env)
    wait_for(lambda: folder.lines("urls-written"), what="the agent to write its addresses")
    wait_for(lambda: folder.lines("opened"), what="the good address to open")
    assert folder.lines("opened") == [GOOD]
    assert folder.quit(process) == 0



@pytest.mark.parametrize("agent", ["missing", "a folder", "not a program"])
def test_agent_that_cannot_start_exits_one_after_stopping_everything(folder, agent):
    program = folder.app / "Tessaryn-agent.exe"
    program.unlink()
    if agent == "a folder":
        program.mkdir()
    elif agent == "not a program":
        program.write_bytes(b"MZ but nothing else\n")
    folder.static().mkdir(parents=True)
    done = subprocess.run(wine_command(folder.launcher), env=folder.env(), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=WAIT)
    assert done.returncode == 1
    for name in ("ndi_stop.request", "srt_stop.request"):
        assert folder.static(name).read_bytes() == b"stop\n"
    assert folder.lines("starts") == []


def test_the_menu_shows_an_ampersand_in_the_version_text_as_written():
    # A Windows menu reads "&" as the marker of a keyboard shortcut: "R&D build" showed as "RD build".
    # Stored doubled, it shows as written.
    done = run(BUILD / "tests_windows" / "tray_menu_check.exe", "Open Tessaryn", "~R&D build", "~&", "Quit")
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode().replace("\r\n", "\n").splitlines() == [
        "1001 enabled Open Tessaryn", "1002 greyed R&&D build", "1003 greyed &&", "1004 enabled Quit"]
