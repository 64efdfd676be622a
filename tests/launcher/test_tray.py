"""The tray icon on a virtual X display with a freedesktop tray host: the icon shows, a left click
opens the page, the right-click menu's Quit stops everything."""

import os
import shutil
import signal
import struct
import subprocess

import numpy as np
import pytest

from conftest import eventually

TOOLS = ("Xvfb", "trayer", "xwd", "xdotool")
GOOD = "http://127.0.0.1:4321"


def screenshot(display):
    """The root window as an (height, width, 3) BGR array, from xwd's dump."""
    data = subprocess.run(["xwd", "-root", "-silent", "-display", display], capture_output=True,
                          check=True, timeout=30).stdout
    header = struct.unpack(">25I", data[:100])
    header_size, width, height = header[0], header[4], header[5]
    byte_order, bits_per_pixel, bytes_per_line, colours = header[7], header[11], header[12], header[19]
    assert bits_per_pixel in (24, 32) and byte_order == 0, "a little-endian true-colour display"
    pixels = np.frombuffer(data, np.uint8, count=bytes_per_line * height, offset=header_size + colours * 12)
    step = bits_per_pixel // 8
    return pixels.reshape(height, bytes_per_line)[:, :width * step].reshape(height, width, step)[:, :, :3]


def amber_pixels(image):
    """Where the icon's lit segments are: amber is bright red, middling green, no blue."""
    b, g, r = (image[:, :, i].astype(int) for i in range(3))
    return np.argwhere((r > 200) & (g > 120) & (g < 220) & (b < 70))


@pytest.fixture
def display():
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        pytest.skip(f"no tray check: {', '.join(missing)} not installed (tools/install-deps.sh installs them)")
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "640x240x24", "-nolisten", "tcp"],
                              pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as stream:
        number = stream.readline().strip()
    if not number:
        server.kill()
        server.wait()
        pytest.skip("no tray check: Xvfb did not start")
    name = f":{number}"
    host = subprocess.Popen(["trayer", "--edge", "top", "--align", "left", "--widthtype", "pixel", "--width", "200",
                             "--height", "32", "--transparent", "false", "--SetDockType", "false"],
                            env=dict(os.environ, DISPLAY=name), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    yield name, host
    for process in (host, server):
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def test_tray_icon_click_and_quit_from_the_menu(folder, display):
    name, host = display
    os.makedirs(folder.tessaryn, exist_ok=True)
    with open(os.path.join(folder.tessaryn, "tessaryn-version.txt"), "wb") as stream:
        stream.write(b"Fake agent 9.9\r\n")
    launcher = folder.start(folder.env(DISPLAY=name, NO_AT_BRIDGE="1"))

    def icon_shown():
        if host.poll() is not None:
            pytest.skip("no tray check: the tray host did not stay up on this display")
        found = amber_pixels(screenshot(name))
        return [found] if len(found) >= 12 else None

    (icon,) = eventually(icon_shown, what="the tray icon to show")
    y, x = (int(v) for v in icon.mean(axis=0))
    assert y < 40 and x < 200, "the icon sits in the tray area"
    eventually(lambda: folder.lines("opened") == [GOOD], what="the page to open by itself")

    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], env=dict(os.environ, DISPLAY=name),
                   check=True, timeout=30)
    eventually(lambda: folder.lines("opened") == [GOOD, GOOD], what="a left click to open the page")

    before = screenshot(name)
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "3"], env=dict(os.environ, DISPLAY=name),
                   check=True, timeout=30)
    # The menu is drawn below the tray; three items need more room than two.
    menu = eventually(lambda: (np.abs(screenshot(name)[40:].astype(int) - before[40:]).sum(axis=2) > 60)
                      .any(axis=1).sum() > 60 or None, what="the menu to show")
    assert menu
    # The last item is Quit.
    subprocess.run(["xdotool", "key", "Up", "Return"], env=dict(os.environ, DISPLAY=name), check=True, timeout=30)
    assert launcher.wait(timeout=30) == 0
    for request in ("ndi_stop.request", "srt_stop.request"):
        assert open(folder.static(request), "rb").read() == b"stop\n"


def test_a_launch_that_cannot_run_says_why_in_a_dialog(folder, display):
    name, _ = display
    env = folder.env(DISPLAY=name, NO_AT_BRIDGE="1", XDG_RUNTIME_DIR=os.path.join(folder.root, "gone"))
    launcher = folder.start(env)
    # The dialog is a window of its own, titled as the program, that waits for the user.
    found = eventually(lambda: subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Tessaryn$"],
                                              env=dict(os.environ, DISPLAY=name), capture_output=True,
                                              timeout=30).stdout.split(), what="the dialog")
    assert launcher.poll() is None
    subprocess.run(["xdotool", "windowfocus", "--sync", found[-1].decode(), "key", "Return"],
                   env=dict(os.environ, DISPLAY=name), check=True, timeout=30)
    assert launcher.wait(timeout=30) == 1
    assert b"Tessaryn cannot start: " in launcher.stdout.read()
    assert folder.lines("starts") == []
