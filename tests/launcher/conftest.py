"""A launcher folder per test: a copy of the built Tessaryn beside a fake Tessaryn-agent, a private
data folder and session folder, and an xdg-open that only notes what it was asked to open."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
LAUNCHER = os.environ.get("TESSARYN_LAUNCHER", "")


def eventually(condition, timeout=30.0, what="the condition"):
    """Polls until `condition()` gives a true value; the generous timeout only bounds a hang."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as stream:
            return stream.read().rsplit(b")", 1)[1].split()[0] not in (b"Z", b"X")
    except (OSError, IndexError):
        return False


def marked_processes(record):
    """Every living process of the agent's tree of the folder whose record is `record`, however it
    forked, detached or renamed itself: the agent is started with FAKE_IN_TREE=1 and passes it on.
    (The launcher and the xdg-open stand-in it starts have FAKE_RECORD only.)"""
    markers = {f"FAKE_RECORD={record}".encode(), b"FAKE_IN_TREE=1"}
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/environ", "rb") as stream:
                environment = stream.read().split(b"\0")
        except OSError:
            continue
        if markers <= set(environment) and alive(int(name)):
            found.append(int(name))
    return found


class LauncherFolder:
    def __init__(self, root, agent=True):
        self.root = root
        self.app = os.path.join(root, "app")
        self.data = os.path.join(root, "data")
        self.session = os.path.join(root, "session")
        self.record = os.path.join(root, "record")
        self.stubs = os.path.join(root, "stubs")
        for path in (self.app, self.data, self.session, self.record, self.stubs):
            os.makedirs(path, mode=0o700)
        # A copy, not a link: the launcher finds its agent beside its own resolved path.
        self.launcher = os.path.join(self.app, "Tessaryn")
        shutil.copy2(LAUNCHER, self.launcher)
        if agent:
            self.write_agent(f'#!/bin/sh\nFAKE_IN_TREE=1 exec {sys.executable} {os.path.join(HERE, "fake_agent.py")} agent\n')
        with open(os.path.join(self.stubs, "xdg-open"), "w") as stub:
            stub.write(f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{self.record}/opened"\n')
        os.chmod(os.path.join(self.stubs, "xdg-open"), 0o755)
        self.processes = []

    def write_agent(self, script, mode=0o755):
        path = os.path.join(self.app, "Tessaryn-agent")
        with open(path, "w") as stream:
            stream.write(script)
        os.chmod(path, mode)

    @property
    def tessaryn(self):
        return os.path.join(self.data, "Tessaryn")

    def static(self, name=""):
        return os.path.join(self.tessaryn, "runtime", "app", "static", name)

    def env(self, **changes):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "LOCALAPPDATA", "XDG_DATA_HOME")}
        env.update(LOCALAPPDATA=self.data, XDG_RUNTIME_DIR=self.session, FAKE_RECORD=self.record,
                   PATH=self.stubs + os.pathsep + env.get("PATH", ""))
        for key, value in changes.items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = value
        return env

    def start(self, env=None, wrapper=()):
        """`wrapper`: a command the launcher is run through (another user, a sandbox)."""
        process = subprocess.Popen([*wrapper, self.launcher], env=env or self.env(), stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT)
        self.processes.append(process)
        return process

    def lines(self, name):
        try:
            with open(os.path.join(self.record, name)) as stream:
                return stream.read().splitlines()
        except FileNotFoundError:
            return []

    def tree_pids(self):
        return [int(line.split()[0]) for line in self.lines("pids")]

    def stop_all(self):
        for process in self.processes:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        # Whatever a failed test left behind of the fake tree.
        for pid in self.tree_pids():
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
        # A process that keeps forking needs several rounds.
        for _ in range(100):
            left = marked_processes(self.record)
            if not left:
                break
            for pid in left:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            time.sleep(0.01)


# Accounts no one uses, for running the launcher as an ordinary user when the tests run as root.
OTHER_UID = 54321


def as_user_wrapper(uid):
    return ["setpriv", "--reuid", str(uid), "--regid", str(uid), "--clear-groups"]


def user_folder(uid):
    """A launcher folder owned by `uid`, where that user can reach it (pytest's folders are closed to
    other users); the caller removes folder.root. Only root can make one."""
    root = tempfile.mkdtemp(prefix="tessaryn-launcher-", dir="/tmp")
    os.chmod(root, 0o755)
    made = LauncherFolder(root)
    for directory, _, files in os.walk(root):
        for name in [directory, *(os.path.join(directory, f) for f in files)]:
            os.chown(name, uid, uid)
    return made


@pytest.fixture
def folder(tmp_path):
    if not LAUNCHER:
        pytest.fail("TESSARYN_LAUNCHER names no launcher")
    made = LauncherFolder(str(tmp_path))
    yield made
    made.stop_all()
