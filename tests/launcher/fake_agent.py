"""An agent for the launcher's process tests, steered by environment variables.

    fake_agent.py agent      what the launcher starts as Tessaryn-agent
    fake_agent.py receiver   a process of the agent's tree that waits for the stop files

FAKE_MODE:   "serve" (default) writes FAKE_URLS one after the other into tessaryn-url, then starts a
             tree of receivers and stays; "exit" ends at once.
FAKE_RECORD: a folder where every process notes what it did: starts (one line per agent start),
             pids (one per process of the tree: pid, name, the pid of the agent whose tree it is),
             seen (a receiver's line once both stop files exist).
FAKE_REFORKER: a number of processes in the tree that keep forking a successor and exiting.
FAKE_SIGNAL_PARENT: a signal name; the first agent ever started sends it to its parent (the holder).
"""

import json
import os
import signal
import sys
import time

RECORD = os.environ["FAKE_RECORD"]


def own_pid():
    """This process's number as the tests see it: the launcher may run the tree in a PID namespace
    of its own, where os.getpid() gives another number, but /proc is the tests' one."""
    return int(os.readlink("/proc/self"))


def note(name, text):
    with open(os.path.join(RECORD, name), "a") as stream:
        stream.write(text + "\n")


def tessaryn_folder():
    root = os.environ.get("LOCALAPPDATA") or os.environ.get("XDG_DATA_HOME")
    if not root and os.environ.get("HOME"):
        root = os.path.join(os.environ["HOME"], ".local", "share")
    return os.path.join(root, "Tessaryn") if root else None


def stop_files(folder):
    static = os.path.join(folder, "runtime", "app", "static")
    return [os.path.join(static, name) for name in ("ndi_stop.request", "srt_stop.request")]


def receiver(name):
    # Only a kill ends it, as with a receiver that does not stop by itself.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    note("pids", f"{own_pid()} {name} {os.environ.get('FAKE_TREE', '?')}")
    if name == "reforker":
        reforker()
    folder = tessaryn_folder()
    seen = False
    while True:
        if folder and not seen and all(os.path.exists(p) for p in stop_files(folder)):
            contents = [open(p, "rb").read().decode("latin-1") for p in stop_files(folder)]
            note("seen", json.dumps({"name": name, "contents": contents}))
            seen = True
        time.sleep(0.02)


def reforker():
    # Never the same process for long: each generation forks its successor and exits, so a
    # snapshot of the tree is always about to be out of date.
    while True:
        if os.fork() != 0:
            os._exit(0)


def spawn_receiver(name):
    os.spawnv(os.P_NOWAIT, sys.executable, [sys.executable, os.path.abspath(__file__), "receiver", name])


def daemonised_receiver(name):
    # Leaves the agent's process group and session and loses its parent, as a daemon does.
    if os.fork() == 0:
        os.setsid()
        if os.fork() == 0:
            os.execv(sys.executable, [sys.executable, os.path.abspath(__file__), "receiver", name])
        os._exit(0)


def write_url(folder, text):
    temporary = os.path.join(folder, ".url.tmp")
    with open(temporary, "wb") as stream:
        stream.write(text.encode("latin-1"))
    os.replace(temporary, os.path.join(folder, "tessaryn-url"))


def agent():
    note("starts", f"{own_pid()} {os.getcwd()}")
    note("pids", f"{own_pid()} agent {own_pid()}")
    os.environ["FAKE_TREE"] = str(own_pid())
    if os.environ.get("FAKE_MODE") == "exit":
        return 0
    folder = tessaryn_folder()
    if folder:
        static = os.path.join(folder, "runtime", "app", "static")
        os.makedirs(static, exist_ok=True)
        for path in stop_files(folder):
            if os.path.exists(path):
                os.unlink(path)
    spawn_receiver("child")
    daemonised_receiver("daemon")
    # Several chains, so that one of them is mid-fork whenever the tree is looked at.
    for _ in range(int(os.environ.get("FAKE_REFORKER", "0"))):
        spawn_receiver("reforker")
    signal_name = os.environ.get("FAKE_SIGNAL_PARENT")
    if signal_name and not os.path.exists(os.path.join(RECORD, "signalled")):
        note("signalled", f"{own_pid()} {signal_name}")
        try:
            os.kill(os.getppid(), getattr(signal, signal_name))
        except OSError as error:
            note("signalled", f"refused: {error}")
    urls = json.loads(os.environ.get("FAKE_URLS", '["http://127.0.0.1:4321"]'))
    pause = float(os.environ.get("FAKE_URL_PAUSE", "0"))
    for url in urls:
        if folder:
            write_url(folder, url)
        time.sleep(pause)
    note("urls-written", "done")
    while True:
        time.sleep(1)


if __name__ == "__main__":
    sys.exit(agent() if sys.argv[1] == "agent" else receiver(sys.argv[2]))
