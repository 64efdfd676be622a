"""What the wine tests share: the wine loader and the private prefix that run.sh prepared, Windows
paths for POSIX ones, and the folders of the Windows build."""

import glob
import os
import subprocess
import time
from pathlib import Path

import pytest

WINE = os.environ.get("TESSARYN_WINE", "")
BUILD = Path(os.environ.get("TESSARYN_WIN_BUILD", "/nonexistent"))
PREFIX = Path(os.environ.get("WINEPREFIX", "/nonexistent"))
TOOL = BUILD / "tests_windows" / "tessaryn_test_tool.exe"
# Generous bounds for polling: the checks are of states reached, never of how fast.
WAIT = 60.0


def win_path(path) -> str:
    """The Windows name of a POSIX path: the prefix maps drive Z: onto the root folder."""
    return "Z:" + str(Path(path).absolute()).replace("/", "\\")


def local_appdata() -> Path:
    """The prefix's %LOCALAPPDATA%: wine sets it from the user profile, whatever the environment says."""
    found = [p for p in glob.glob(str(PREFIX / "drive_c" / "users" / "*" / "AppData" / "Local"))
             if "/Public/" not in p]
    assert len(found) == 1, found
    return Path(found[0])


def environment(**changes):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update({k: v for k, v in changes.items() if v is not None})
    for k, v in changes.items():
        if v is None:
            env.pop(k, None)
    return env


def wine_command(program, *arguments):
    return [WINE, win_path(program), *[str(a) for a in arguments]]


def run(program, *arguments, env=None, cwd=None, timeout=WAIT):
    return subprocess.run(wine_command(program, *arguments), env=env or environment(), cwd=cwd,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)


def tool(*arguments, env=None):
    return run(TOOL, *arguments, env=env).returncode


@pytest.fixture(scope="session", autouse=True)
def started_wine():
    """One window look-up alone first: it brings up the prefix's desktop, and a program that starts
    while another one is bringing it up can hang."""
    subprocess.run([WINE, win_path(TOOL), "post", "0"], env=environment(), stdin=subprocess.DEVNULL,
                   capture_output=True, timeout=300)


def wait_for(predicate, timeout=WAIT, what="the condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)


TESTS = Path(__file__).resolve().parent.parent


def posix_test_module(folder, module):
    """A POSIX test module, for its tables, with the conftest of its own folder (each folder's is
    called conftest, so it is loaded apart and the name is given back afterwards)."""
    import importlib.util
    import sys
    saved_path, saved_conftest = list(sys.path), sys.modules.pop("conftest", None)
    sys.path.insert(0, str(TESTS / folder))
    try:
        location = importlib.util.spec_from_file_location(f"posix_{folder}_{module}", TESTS / folder / f"{module}.py")
        loaded = importlib.util.module_from_spec(location)
        location.loader.exec_module(loaded)
        return loaded, sys.modules.get("conftest")
    finally:
        sys.path[:] = saved_path
        sys.modules.pop("conftest", None)
        if saved_conftest is not None:
            sys.modules["conftest"] = saved_conftest
