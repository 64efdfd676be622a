"""The agent's process tree cannot escape the launcher: whatever happens to the launcher or to the
process holding the tree, and whatever the tree does, nothing of it is left once the launcher is
gone. Run three ways: as the tests run (here, normally, a user allowed PID namespaces), as an
ordinary unprivileged user (a user namespace around the PID namespace), and in a sandbox that
refuses every new PID namespace (the subreaper holder)."""

import os
import shutil
import signal
import subprocess
import time

import pytest

from conftest import (LAUNCHER, OTHER_UID, LauncherFolder, alive, as_user_wrapper, eventually, marked_processes,
                      user_folder)
# Inside a user namespace of its own, the sandbox allows no new PID namespace.
REFUSING_SANDBOX = ["unshare", "--user", "--map-root-user", "sh", "-c",
                    'echo 0 > /proc/sys/user/max_pid_namespaces && exec "$0"']


def runs(command):
    try:
        return subprocess.run(command, capture_output=True, timeout=30).returncode == 0
    except OSError:
        return False


@pytest.fixture(params=["as started", "unprivileged", "namespaces refused"])
def contained(request, tmp_path):
    """(folder, wrapper, mode): a launcher folder and the command the launcher is run through."""
    if not LAUNCHER:
        pytest.fail("TESSARYN_LAUNCHER names no launcher")
    mode = request.param
    wrapper = []
    if mode == "unprivileged":
        if os.geteuid() != 0:
            pytest.skip("the tests run unprivileged already: 'as started' is this case")
        wrapper = as_user_wrapper(OTHER_UID)
        if not runs([*wrapper, "true"]):
            pytest.skip("setpriv cannot change user here")
        folder = user_folder(OTHER_UID)
    else:
        if mode == "namespaces refused":
            if not runs([*REFUSING_SANDBOX, "true"]):
                pytest.skip("no user namespace to build the sandbox from")
            wrapper = REFUSING_SANDBOX
        folder = LauncherFolder(str(tmp_path))
    yield folder, wrapper, mode
    folder.stop_all()
    if mode == "unprivileged":
        shutil.rmtree(folder.root, ignore_errors=True)


def tree_started(folder, names=("agent", "child", "daemon")):
    return eventually(lambda: {line.split()[1] for line in folder.lines("pids")} >= set(names)
                      and folder.lines("pids"), what="the agent's tree to start")


def check_containment(folder, mode):
    """The tree is held as the mode allows: in a PID namespace of its own, keeping its user's uid,
    unless namespaces are refused."""
    agent = int(folder.lines("starts")[0].split()[0])
    own = os.readlink(f"/proc/{agent}/ns/pid") != os.readlink("/proc/self/ns/pid")
    assert own == (mode != "namespaces refused")
    if mode == "unprivileged":
        with open(f"/proc/{agent}/status") as stream:
            uids = next(line for line in stream if line.startswith("Uid:")).split()[1:]
        assert uids == [str(OTHER_UID)] * 4


def quit_and_wait(process):
    process.send_signal(signal.SIGTERM)
    return process.wait(timeout=60)


def test_quit_leaves_nothing_of_a_tree_that_keeps_forking(contained):
    folder, wrapper, mode = contained
    env = folder.env(FAKE_REFORKER="1")
    # Each launch is one more chance for a fork to land between a snapshot of the tree and the kill.
    for launch in range(5):
        process = folder.start(env, wrapper)
        tree_started(folder, ("agent", "child", "daemon", "reforker"))
        if launch == 0:
            check_containment(folder, mode)
        assert quit_and_wait(process) == 0
        # The launcher waited for the tree: by the time it is gone, so is everything it held.
        assert marked_processes(folder.record) == [], f"left after quit {launch + 1}"
        # The weaker hold is said where the user who started the launcher sees it.
        said = b"allows no PID namespace" in process.stdout.read()
        assert said == (mode == "namespaces refused")
        os.unlink(os.path.join(folder.record, "pids"))
        os.unlink(os.path.join(folder.record, "starts"))


@pytest.mark.parametrize("signal_name", ["SIGKILL", "SIGTERM"])
def test_an_agent_that_signals_its_holder_never_leaves_two_trees(contained, signal_name):
    folder, wrapper, mode = contained
    if signal_name == "SIGKILL" and mode == "namespaces refused":
        pytest.skip("without a PID namespace a holder killed outright leaves its tree (a documented limit)")
    process = folder.start(folder.env(FAKE_SIGNAL_PARENT=signal_name), wrapper)
    eventually(lambda: folder.lines("signalled"), what="the agent to signal its holder")
    if signal_name == "SIGTERM":
        # The holder's own order to end the tree: it does, and the launcher starts the agent again.
        second = eventually(lambda: len(folder.lines("starts")) >= 2 and folder.lines("starts")[1].split()[0],
                            what="the agent to start again")
        eventually(lambda: {line.split()[1] for line in folder.lines("pids") if line.split()[2] == second}
                   >= {"agent", "child", "daemon"}, what="the second tree to start")
    # Time for a further restart to happen if there were to be one (a tick and a stop sequence).
    time.sleep(3.0)
    trees = {}
    for line in folder.lines("pids"):
        pid, name, tree = line.split()[:3]
        trees.setdefault(tree, []).append(int(pid))
    living = {tree: pids for tree, pids in trees.items() if any(alive(pid) for pid in pids)}
    assert len(living) == 1, f"trees alive: {living} of {trees}"
    # SIGKILL cannot reach the first process of a namespace from inside: the first tree stays.
    assert len(folder.lines("starts")) == (1 if signal_name == "SIGKILL" else 2)
    assert quit_and_wait(process) == 0
    assert marked_processes(folder.record) == []


def holder_of(launcher_pid):
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat", "rb") as stream:
                parent = int(stream.read().rsplit(b")", 1)[1].split()[1])
            with open(f"/proc/{name}/cmdline", "rb") as stream:
                arguments = stream.read().split(b"\0")
        except (OSError, IndexError, ValueError):
            continue
        if parent == launcher_pid and b"--agent-job-holder" in arguments:
            return int(name)
    return None


def test_launcher_and_holder_killed_together_leave_nothing(contained):
    folder, wrapper, mode = contained
    if mode == "namespaces refused":
        pytest.skip("without a PID namespace a holder killed outright leaves its tree (a documented limit)")
    process = folder.start(folder.env(), wrapper)
    tree_started(folder)
    holder = holder_of(process.pid)
    assert holder is not None
    os.kill(holder, signal.SIGKILL)
    process.kill()
    process.wait()
    eventually(lambda: not marked_processes(folder.record), timeout=30, what="the tree to be gone")
    # And the next launch runs its agent as the first did.
    os.unlink(os.path.join(folder.record, "pids"))
    again = folder.start(folder.env(), wrapper)
    tree_started(folder)
    assert quit_and_wait(again) == 0
    assert marked_processes(folder.record) == []
