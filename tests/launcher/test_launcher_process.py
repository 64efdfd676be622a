"""The launcher as a process: single instance, supervision, page opening and the stop sequence."""

import json
import os
import shutil
import signal
import subprocess
import time

import pytest

from conftest import OTHER_UID, LauncherFolder, alive, as_user_wrapper, eventually, user_folder

GOOD = "http://127.0.0.1:4321"


def quit_and_wait(process):
    process.send_signal(signal.SIGTERM)
    return process.wait(timeout=30)


def test_second_instance_hands_the_open_request_over_and_exits_zero(folder):
    first = folder.start()
    eventually(lambda: folder.lines("opened") == [GOOD], what="the page to open by itself")
    second = subprocess.run([folder.launcher], env=folder.env(), capture_output=True, timeout=30)
    assert second.returncode == 0
    eventually(lambda: len(folder.lines("opened")) == 2, what="the first copy to open the page again")
    assert folder.lines("opened") == [GOOD, GOOD]
    # The second copy started no agent of its own.
    assert len(folder.lines("starts")) == 1
    assert first.poll() is None
    assert quit_and_wait(first) == 0


def test_restarts_stop_after_three_starts(folder):
    os.makedirs(folder.static())
    process = folder.start(folder.env(FAKE_MODE="exit"))
    eventually(lambda: len(folder.lines("starts")) == 3, what="three starts")
    # Each restart stopped everything first, so the stop files are there.
    assert open(folder.static("srt_stop.request"), "rb").read() == b"stop\n"
    # A fourth start would come within a tick and a stop sequence (about 1.2 s); allow several.
    time.sleep(4.0)
    assert len(folder.lines("starts")) == 3
    assert process.poll() is None, "the launcher stays in the tray after the last start"
    # The agent ran in the launcher's folder.
    assert all(line.split()[1] == folder.app for line in folder.lines("starts"))
    assert quit_and_wait(process) == 0


def test_quit_writes_both_stop_files_before_the_whole_tree_is_killed(folder):
    process = folder.start()
    names = eventually(lambda: {line.split()[1] for line in folder.lines("pids")} >= {"agent", "child", "daemon"}
                       and folder.lines("pids"), what="the agent's tree to start")
    pids = [int(line.split()[0]) for line in names]
    assert all(alive(pid) for pid in pids)
    assert quit_and_wait(process) == 0
    # Every receiver saw both stop files, with their content, while it was still alive: the files
    # came before the kill. The daemon had left the agent's session and lost its parent.
    seen = [json.loads(line) for line in folder.lines("seen")]
    assert sorted(s["name"] for s in seen) == ["child", "daemon"]
    assert all(s["contents"] == ["stop\n", "stop\n"] for s in seen)
    eventually(lambda: not any(alive(pid) for pid in pids), timeout=10, what="the tree to be gone")
    # The agent's logs were appended to.
    assert os.path.exists(os.path.join(folder.tessaryn, "tray-agent.log"))
    assert os.path.exists(os.path.join(folder.tessaryn, "tray-agent-error.log"))


def test_launcher_killed_outright_takes_the_tree_with_it(folder):
    process = folder.start()
    eventually(lambda: len(folder.lines("pids")) >= 3, what="the agent's tree to start")
    pids = folder.tree_pids()
    process.kill()
    process.wait()
    eventually(lambda: not any(alive(pid) for pid in pids), timeout=10, what="the tree to be gone")


@pytest.mark.parametrize("agent", ["missing", "not executable", "a folder"])
def test_agent_that_cannot_start_exits_one_after_stopping_everything(tmp_path, agent):
    folder = LauncherFolder(str(tmp_path), agent=False)
    if agent == "not executable":
        folder.write_agent("#!/bin/sh\nexit 0\n", mode=0o644)
    elif agent == "a folder":
        os.mkdir(os.path.join(folder.app, "Tessaryn-agent"))
    os.makedirs(folder.static())
    try:
        done = subprocess.run([folder.launcher], env=folder.env(), capture_output=True, timeout=30)
        assert done.returncode == 1
        for name in ("ndi_stop.request", "srt_stop.request"):
            assert open(folder.static(name), "rb").read() == b"stop\n"
    finally:
        folder.stop_all()


BAD_URLS = [
    "http://localhost:4321",
    "http://127.0.0.1:4321/admin",
    "http://127.0.0.1:4321/?q=1",
    "http://127.0.0.1:",
    "http://127.0.0.1:4321\x00/evil",
    "http://127.0.0.1:4321" + "1" * 10240,
    "http://127.0.0.1:4321\nhttp://127.0.0.1:9",
]


def test_only_a_good_address_is_opened(folder):
    # Each bad address stays long enough for a few ticks; then the good one with a CRLF ending.
    env = folder.env(FAKE_URLS=json.dumps(BAD_URLS + [GOOD + "\r\n"]), FAKE_URL_PAUSE="0.5")
    process = folder.start(env)
    eventually(lambda: folder.lines("urls-written"), what="the agent to write its addresses")
    eventually(lambda: folder.lines("opened"), what="the good address to open")
    assert folder.lines("opened") == [GOOD]
    assert quit_and_wait(process) == 0


def test_without_localappdata_the_xdg_data_folder_is_used(folder):
    xdg = os.path.join(folder.root, "xdg")
    process = folder.start(folder.env(LOCALAPPDATA=None, XDG_DATA_HOME=xdg))
    eventually(lambda: folder.lines("opened") == [GOOD], what="the page to open from the XDG folder")
    assert os.path.exists(os.path.join(xdg, "Tessaryn", "tray-agent.log"))
    assert quit_and_wait(process) == 0
    assert open(os.path.join(xdg, "Tessaryn", "runtime", "app", "static", "srt_stop.request"), "rb").read() == b"stop\n"
    assert not os.path.exists(folder.tessaryn)


def test_without_any_data_folder_the_agent_still_runs_and_is_stopped(folder):
    process = folder.start(folder.env(LOCALAPPDATA=None, XDG_DATA_HOME=None, HOME=None))
    eventually(lambda: len(folder.lines("pids")) >= 3, what="the agent's tree to start")
    pids = folder.tree_pids()
    assert quit_and_wait(process) == 0
    eventually(lambda: not any(alive(pid) for pid in pids), timeout=10, what="the tree to be gone")
    # No folder, so no file anywhere: nothing opened, no logs, no stop files.
    assert folder.lines("opened") == []
    assert folder.lines("seen") == []
    assert not os.path.exists(folder.tessaryn)
    # Without redirection the agent wrote nothing: its output would have been the launcher's.
    assert b"no display" in process.stdout.read()


UNUSABLE_INSTANCE_FOLDERS = ["session folder missing", "session folder read-only", "/tmp folder made by another user"]


@pytest.mark.parametrize("case", UNUSABLE_INSTANCE_FOLDERS)
def test_a_launch_that_cannot_run_says_why_and_exits_one(tmp_path, case):
    # Each once exited 0 with at most one line on stderr: to a desktop user the launch did nothing.
    uid = os.geteuid()
    wrapper = []
    if case != "session folder missing" and uid == 0:
        # Root passes over permissions, and /tmp/tessaryn-0 is shared with the machine's root.
        uid = OTHER_UID + UNUSABLE_INSTANCE_FOLDERS.index(case)
        wrapper = as_user_wrapper(uid)
        made = user_folder(uid)
    elif case == "/tmp folder made by another user":
        pytest.skip("only root can make a folder in another user's name")
    else:
        made = LauncherFolder(str(tmp_path))
    changes = {}
    planted = None
    try:
        if case == "session folder missing":
            changes["XDG_RUNTIME_DIR"] = expected = os.path.join(made.root, "gone")
        elif case == "session folder read-only":
            os.chmod(made.session, 0o500)
            expected = made.session
        else:
            changes["XDG_RUNTIME_DIR"] = None
            planted = expected = f"/tmp/tessaryn-{uid}"
            if os.path.isdir(planted) and os.stat(planted).st_uid == 0:
                os.rmdir(planted)
            os.mkdir(planted, 0o700)
        done = subprocess.run([*wrapper, made.launcher], env=made.env(**changes), capture_output=True, timeout=60)
        assert done.returncode == 1
        message = next(line for line in done.stderr.decode().splitlines() if "Tessaryn cannot start: " in line)
        assert expected in message
        with open(os.path.join(made.tessaryn, "tray-agent-error.log")) as stream:
            assert message.split(": ", 1)[1] in stream.read()
        assert made.lines("starts") == []
    finally:
        if planted:
            os.rmdir(planted)
        made.stop_all()
        if wrapper:
            shutil.rmtree(made.root, ignore_errors=True)
