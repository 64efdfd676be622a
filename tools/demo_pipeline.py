"""The whole pipeline, end to end: a rendered scoreboard video is streamed over SRT into wancapture,
which the stand-in agent started under the Tessaryn launcher; the agent reads every zone of each
preview, and the readings are set beside the values the video shows.

    python3 tools/demo_pipeline.py --build build [--seconds 20]

Everything runs in a temporary folder (LOCALAPPDATA and the session folder point there), headless,
with a stand-in for xdg-open that only notes the address the launcher opens. The run ends by
itself and checks that no process it started is left.
"""

import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
from dataclasses import dataclass, field

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import scoreboard_video as video  # noqa: E402

FIELDS = ("clock", "home_score", "guest_score", "period")


@dataclass
class Outcome:
    states: list
    readings: list = field(default_factory=list)   # reading events from the agent, in order
    opened_url: str = None
    page_state: dict = None
    leftover_pids: list = field(default_factory=list)
    launcher_exit: int = None
    right: int = 0
    total: int = 0
    seconds_seen: set = field(default_factory=set)
    clock_skipped: bool = False


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise TimeoutError(f"timed out waiting for {what}")


def read_json(path):
    try:
        with open(path, "rb") as stream:
            return json.loads(stream.read())
    except (OSError, ValueError):
        return None


def descendants(root):
    """Living descendants of `root`, from the parent links in /proc."""
    parents = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat", "rb") as stream:
                fields = stream.read().rsplit(b")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if fields[0] not in (b"Z", b"X"):
            parents[int(name)] = int(fields[1])
    found, pending = [], [root]
    while pending:
        parent = pending.pop()
        children = [pid for pid, ppid in parents.items() if ppid == parent]
        found += children
        pending += children
    return found


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as stream:
            return stream.read().rsplit(b")", 1)[1].split()[0] not in (b"Z", b"X")
    except (OSError, IndexError):
        return False


def agent_events(log_path):
    events = []
    try:
        with open(log_path, "rb") as stream:
            for line in stream:
                try:
                    events.append(json.loads(line))
                except ValueError:
                    pass
    except OSError:
        pass
    return events


def score(outcome):
    """Each reading is matched to the second its shots name; every other field is compared."""
    by_shots = {state.shots: state for state in outcome.states}
    for reading in outcome.readings:
        fields = reading.get("fields", {})
        state = by_shots.get((fields.get("home_shots") or {}).get("value"))
        reading["state"] = state
        for name in FIELDS:
            got = fields.get(name, {})
            if got.get("skipped"):
                outcome.clock_skipped = True
                continue
            outcome.total += 1
            if state is not None and got.get("value") == state.truths()[name]:
                outcome.right += 1
        if state is not None:
            outcome.seconds_seen.add(state.second)


def run(build, seconds, passphrase=None, report=print):
    launcher = os.path.join(build, "launcher", "Tessaryn")
    for program in (launcher, os.path.join(build, "receivers", "wancapture", "wancapture")):
        if not os.access(program, os.X_OK):
            raise FileNotFoundError(f"{program} is not built")
    states = video.timeline(seconds)
    outcome = Outcome(states=states)
    with tempfile.TemporaryDirectory(prefix="tessaryn-demo-") as folder:
        data = os.path.join(folder, "data")
        session = os.path.join(folder, "session")
        stubs = os.path.join(folder, "bin")
        for path in (data, session, stubs):
            os.makedirs(path, mode=0o700)
        opened = os.path.join(folder, "opened")
        with open(os.path.join(stubs, "xdg-open"), "w") as stub:
            stub.write(f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{opened}"\n')
        os.chmod(os.path.join(stubs, "xdg-open"), 0o755)

        port = free_udp_port()
        tessaryn = os.path.join(data, "Tessaryn")
        os.makedirs(tessaryn)
        srt = {"port": port, "latency": 120}
        if passphrase:
            srt["passphrase"] = passphrase  # handed to wancapture through its secret pipe
        settings = {"receiver": "srt", "srt": srt, "read_interval_ms": 150,
                    "zones": video.zones()}
        with open(os.path.join(tessaryn, "agent-settings.json"), "w") as stream:
            json.dump(settings, stream, indent=2)

        movie = os.path.join(folder, "board.mp4")
        video.write_video(movie, states)
        report(f"rendered {seconds} s of scoreboard video ({video.WIDTH}x{video.HEIGHT}, {video.FPS} fps, H.264)")

        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(LOCALAPPDATA=data, XDG_RUNTIME_DIR=session, PATH=stubs + os.pathsep + env.get("PATH", ""))
        launcher_log = open(os.path.join(folder, "launcher.log"), "wb")
        tray = subprocess.Popen([launcher], env=env, stdout=launcher_log, stderr=subprocess.STDOUT)
        tree = set()
        try:
            status_path = os.path.join(tessaryn, "runtime", "app", "static", "srt_status.json")
            outcome.opened_url = wait_for(lambda: open(opened).read().strip() if os.path.exists(opened) else None,
                                          30, "the launcher to open the agent's page")
            report(f"launcher opened the agent's page {outcome.opened_url}")
            wait_for(lambda: (read_json(status_path) or {}).get("state") == "listening", 30,
                     "wancapture to listen")
            tree.update(descendants(tray.pid))
            report(f"wancapture listening on port {port}; streaming over SRT"
                   + (" with encryption" if passphrase else ""))
            target = f"srt://127.0.0.1:{port}?mode=caller"
            if passphrase:
                target += f"&passphrase={urllib.parse.quote(passphrase)}&pbkeylen=32"
            stream = subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-i", movie,
                                     "-c", "copy", "-f", "mpegts", target], env=env, timeout=seconds + 30)
            if stream.returncode != 0:
                raise RuntimeError("ffmpeg could not stream to wancapture")
            tree.update(descendants(tray.pid))
            # Give the agent time to read the last previews.
            time.sleep(1.0)
            with urllib.request.urlopen(outcome.opened_url + "/api/state", timeout=5) as answer:
                outcome.page_state = json.loads(answer.read())
        finally:
            tree.update(descendants(tray.pid))
            tray.send_signal(signal.SIGTERM)
            try:
                outcome.launcher_exit = tray.wait(timeout=20)
            except subprocess.TimeoutExpired:
                tray.kill()
                outcome.launcher_exit = tray.wait()
            launcher_log.close()
        outcome.leftover_pids = [pid for pid in tree if alive(pid)]
        events = agent_events(os.path.join(tessaryn, "tray-agent.log"))
        outcome.readings = [e for e in events if e.get("event") == "reading" and e.get("fields")]
        if not outcome.readings:
            # Nothing was read: what the agent and the launcher said is all there is to go on.
            for log in (os.path.join(tessaryn, "tray-agent-error.log"), os.path.join(folder, "launcher.log")):
                if os.path.exists(log):
                    with open(log, "rb") as stream:
                        report(f"--- {os.path.basename(log)}\n" + stream.read()[-3000:].decode("utf-8", "replace"))
    score(outcome)
    return outcome


def _shown(field_reading):
    if field_reading is None:
        return "-"
    if field_reading.get("skipped"):
        return "skipped"
    value = field_reading.get("value")
    return "?" if value is None else str(value)


def print_outcome(outcome, report=print):
    report("")
    report("second  true: clock home guest period shots  |  first reading of that second  | previews read")
    first = {}
    count = {}
    for reading in outcome.readings:
        state = reading.get("state")
        key = state.second if state is not None else None
        count[key] = count.get(key, 0) + 1
        first.setdefault(key, reading)
    for state in outcome.states:
        t = state.truths()
        line = f"{state.second:4d}    {t['clock']} {t['home_score']:4d} {t['guest_score']:5d} {t['period']:6d} {t['home_shots']:5d}"
        reading = first.get(state.second)
        if reading is None:
            report(line + "  |  (no preview read)")
            continue
        f = reading["fields"]
        marks = []
        for name in ("clock", "home_score", "guest_score", "period", "home_shots"):
            shown = _shown(f.get(name))
            right = name == "home_shots" or shown == "skipped" or f[name].get("value") == t[name]
            marks.append(shown + ("" if right else "!"))
        report(line + "  |  " + " ".join(f"{m:>6s}" for m in marks) + f"  | {count[state.second]}")
    if None in count:
        report(f"  {count[None]} previews whose shots matched no second of the video")
    report("")
    skipped = " (clock zones skipped: no clock reader in this build)" if outcome.clock_skipped else ""
    report(f"launcher exit code {outcome.launcher_exit}; "
           + ("no process left running" if not outcome.leftover_pids
              else f"processes left running: {outcome.leftover_pids}"))
    report(f"accuracy: {outcome.right}/{outcome.total} field readings right over {len(outcome.readings)} previews, "
           f"{len(outcome.seconds_seen)}/{len(outcome.states)} seconds of video seen{skipped}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build", help="build folder (default: build)")
    parser.add_argument("--seconds", type=int, default=20, help="length of the video in seconds")
    parser.add_argument("--passphrase", help="encrypt the stream with this SRT passphrase (10 to 80 bytes)")
    args = parser.parse_args(argv)
    outcome = run(args.build, args.seconds, args.passphrase)
    print_outcome(outcome)
    ok = (outcome.total > 0 and outcome.right == outcome.total and not outcome.leftover_pids
          and outcome.launcher_exit == 0)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
