"""The whole pipeline, end to end: a scoreboard video with injected faults is rendered frame by
frame and streamed live over SRT into wancapture, which the stand-in agent started under the
Tessaryn launcher; the agent reads every zone of each preview and puts values on air through its
tracker. The values on air are set beside the values the video showed, with the latency from a
change in the sent video to its publication.

    python3 tools/demo_pipeline.py --build build [--passphrase ...]

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
import threading
import time
import urllib.parse
import urllib.request
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "agent"))

import cv2  # noqa: E402
import numpy as np  # noqa: E402

import scoreboard_video as video  # noqa: E402
from preview_watch import PreviewWatch  # noqa: E402

SRT_LATENCY_MS = 120
# The tracker's settings for the run, which the checks below follow: the field dark for 3 s must
# go blank with previews to spare even when a busy machine spaces them out.
BLANK_AFTER_S = 1.5
STALE_AFTER_S = 2.0
# A value on air counts as right when the field showed it within this many frames before the
# frame of the preview it was published with (a held value is old, not wrong).
HOLD_WINDOW_FRAMES = 5 * video.FAULT_FPS


@dataclass
class Outcome:
    frames: list
    send_times: list = field(default_factory=list)      # wall-clock time each frame went to the encoder
    previews: list = field(default_factory=list)        # (mtime_ns, JPEG bytes) as wancapture published them
    preview_frames: dict = field(default_factory=dict)  # mtime_ns -> frame number drawn in it
    readings: list = field(default_factory=list)        # the agent's reading events, in order
    published: list = field(default_factory=list)       # the agent's published events, in order
    opened_url: str = None
    page_state: dict = None
    fields_object: dict = None
    fields_list: list = None
    leftover_pids: list = field(default_factory=list)
    launcher_exit: int = None
    calibration: bool = False
    # Checks and figures, filled by analyse().
    wrong_on_air: list = field(default_factory=list)
    late_changes: list = field(default_factory=list)
    blank_problems: list = field(default_factory=list)
    stale_reached: bool = False
    latency: dict = field(default_factory=dict)
    agent_share: list = field(default_factory=list)
    to_preview: list = field(default_factory=list)      # frame sent -> its preview renamed into place
    wake: list = field(default_factory=list)            # preview renamed -> the agent starts reading it
    raw_latency: list = field(default_factory=list)     # change sent -> first reading that read it right
    load: tuple = None                                  # the machine's load average at the end
    accuracy: dict = field(default_factory=dict)
    unpublished_values: int = 0


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


def end_process(process, timeout=20):
    """Asks PROCESS to stop (SIGTERM), kills it when it has not within TIMEOUT seconds; its exit status."""
    process.send_signal(signal.SIGTERM)
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        return process.wait()


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


class PreviewKeeper:
    """Keeps a copy of every preview wancapture publishes, keyed by its modification time, so that
    the frame each reading saw can be told afterwards."""

    def __init__(self, path, previews):
        self.path = path
        self.previews = previews
        self.stopping = threading.Event()
        self.watch = PreviewWatch()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        seen = None
        self.watch.watch(self.path)
        while not self.stopping.is_set():
            self.watch.wait(0.1)
            try:
                with open(self.path, "rb") as stream:
                    info = os.fstat(stream.fileno())
                    if info.st_mtime_ns == seen:
                        continue
                    data = stream.read()
            except OSError:
                continue
            seen = info.st_mtime_ns
            self.previews.append((info.st_mtime_ns, data))

    def stop(self):
        self.stopping.set()
        self.thread.join(5)
        self.watch.close()


def stream_video(target, frames, send_times, env):
    """Renders the frames and hands each to a live H.264 encoder at its time, noting when; the
    encoder sends MPEG-TS over SRT as it goes, with no look-ahead and no buffering."""
    encoder = subprocess.Popen(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "bgr24",
         "-s", f"{video.WIDTH}x{video.HEIGHT}", "-framerate", str(video.FAULT_FPS), "-i", "-",
         "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-crf", "18",
         "-g", str(video.FAULT_FPS), "-pix_fmt", "yuv420p", "-flush_packets", "1", "-muxdelay", "0",
         "-f", "mpegts", target], stdin=subprocess.PIPE, env=env)
    try:
        start = time.monotonic() + 0.2
        for frame in frames:
            image = np.ascontiguousarray(video.render_fault_frame(frame))
            delay = start + frame.index / video.FAULT_FPS - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            send_times.append(time.time())
            encoder.stdin.write(image.tobytes())
            encoder.stdin.flush()
    finally:
        encoder.stdin.close()
    if encoder.wait(timeout=30) != 0:
        raise RuntimeError("ffmpeg could not stream to wancapture")


def run(build, passphrase=None, report=print, seconds=video.FAULT_SECONDS):
    launcher = os.path.join(build, "launcher", "Tessaryn")
    for program in (launcher, os.path.join(build, "receivers", "wancapture", "wancapture")):
        if not os.access(program, os.X_OK):
            raise FileNotFoundError(f"{program} is not built")
    outcome = Outcome(frames=video.fault_script(seconds))
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
        srt = {"port": port, "latency": SRT_LATENCY_MS}
        if passphrase:
            srt["passphrase"] = passphrase  # handed to wancapture through its secret pipe
        settings = {"receiver": "srt", "srt": srt, "read_interval_ms": 150, "zones": video.fault_zones(),
                    "live": {"tracker": {"blank_after_s": BLANK_AFTER_S, "stale_after_s": STALE_AFTER_S}}}
        with open(os.path.join(tessaryn, "agent-settings.json"), "w") as stream:
            json.dump(settings, stream, indent=2)

        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(LOCALAPPDATA=data, XDG_RUNTIME_DIR=session, PATH=stubs + os.pathsep + env.get("PATH", ""))
        launcher_log = open(os.path.join(folder, "launcher.log"), "wb")
        tray = subprocess.Popen([launcher], env=env, stdout=launcher_log, stderr=subprocess.STDOUT)
        tree = set()
        keeper = None
        try:
            static = os.path.join(tessaryn, "runtime", "app", "static")
            outcome.opened_url = wait_for(lambda: open(opened).read().strip() if os.path.exists(opened) else None,
                                          30, "the launcher to open the agent's page")
            report(f"launcher opened the agent's page {outcome.opened_url}")
            wait_for(lambda: (read_json(os.path.join(static, "srt_status.json")) or {}).get("state") == "listening",
                     30, "wancapture to listen")
            tree.update(descendants(tray.pid))
            keeper = PreviewKeeper(os.path.join(static, "srt_preview.jpg"), outcome.previews)
            target = f"srt://127.0.0.1:{port}?mode=caller&latency={SRT_LATENCY_MS * 1000}"
            if passphrase:
                target += f"&passphrase={urllib.parse.quote(passphrase)}&pbkeylen=32"
            report(f"wancapture listening on port {port}; streaming {seconds} s of a {video.WIDTH}x{video.HEIGHT} "
                   f"board at {video.FAULT_FPS} fps, H.264 over SRT (latency {SRT_LATENCY_MS} ms)"
                   + (" with encryption" if passphrase else ""))
            stream_video(target, outcome.frames, outcome.send_times, env)
            tree.update(descendants(tray.pid))
            # The stream has ended: no more previews, so every field must turn stale.
            time.sleep(STALE_AFTER_S + 1.5)
            for route, name in (("/api/state", "page_state"), ("/api/fields", "fields_object"),
                                ("/api/fields/list", "fields_list")):
                with urllib.request.urlopen(outcome.opened_url + route, timeout=5) as answer:
                    setattr(outcome, name, json.loads(answer.read()))
        finally:
            if keeper is not None:
                keeper.stop()
            tree.update(descendants(tray.pid))
            outcome.launcher_exit = end_process(tray)
            launcher_log.close()
        outcome.leftover_pids = [pid for pid in tree if alive(pid)]
        outcome.load = os.getloadavg()
        events = agent_events(os.path.join(tessaryn, "tray-agent.log"))
        serving = [e for e in events if e.get("event") == "serving"]
        outcome.calibration = bool(serving and serving[0].get("calibration"))
        outcome.readings = [e for e in events if e.get("event") == "reading" and e.get("fields")]
        outcome.published = [e for e in events if e.get("event") == "published"]
        if not outcome.readings:
            # Nothing was read: what the agent and the launcher said is all there is to go on.
            for log in (os.path.join(tessaryn, "tray-agent-error.log"), os.path.join(folder, "launcher.log")):
                if os.path.exists(log):
                    with open(log, "rb") as stream:
                        report(f"--- {os.path.basename(log)}\n" + stream.read()[-3000:].decode("utf-8", "replace"))
    analyse(outcome)
    return outcome


# -- What the run shows --------------------------------------------------------------------------

def _percentile(values, q):
    return float(np.percentile(np.asarray(values, dtype=float), q)) if values else float("nan")


def _frame_of(outcome, reading):
    return outcome.preview_frames.get(reading.get("preview_mtime_ns"))


def _mode(value):
    return "tenths" if isinstance(value, str) and "." in value else "minutes"


def analyse(outcome):
    for mtime_ns, data in outcome.previews:
        image = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR)
        index = video.read_frame_code(image)
        if index is not None and index < len(outcome.frames):
            outcome.preview_frames[mtime_ns] = index
    frames = outcome.frames
    names = video.FAULT_FIELD_NAMES

    # No wrong value on air: each value on air after a reading was shown by its field in the frames
    # up to the one that reading saw.
    for reading in outcome.readings:
        index = _frame_of(outcome, reading)
        if index is None:
            continue
        for name in names:
            value = reading["fields"].get(name, {}).get("on_air")
            if value is None:
                continue
            shown = {frames[k].values[name] for k in range(max(0, index - HOLD_WINDOW_FRAMES), index + 1)}
            if value not in shown:
                outcome.wrong_on_air.append((name, value, index))

    # A value read alike by two readings in a row is on air by the second (three for a change of
    # clock mode that is not the count into the last minute).
    for name in names:
        history = []
        for reading in outcome.readings:
            got = reading["fields"].get(name, {})
            history.append((got.get("value") if got.get("valid") else None, got.get("on_air")))
            raws = [raw for raw, _ in history[-3:]]
            raw, on_air = history[-1]
            if raw is None or on_air == raw or len(raws) < 2 or raws[-2] != raw:
                continue
            if name == "clock" and _mode(raw) != _mode(on_air) and not (len(raws) == 3 and raws[0] == raw):
                continue
            outcome.late_changes.append((name, raw, on_air, _frame_of(outcome, reading)))

    # The dark field: held while dark for less than the blank time, blank after it, back after.
    dark_name = "guest_shots"
    dark = [(r, _frame_of(outcome, r)) for r in outcome.readings]
    dark = [(r, i) for r, i in dark if i is not None and i in video.DARK_FRAMES]
    first_dark = next((r for r, _ in dark if not r["fields"][dark_name].get("valid")), None)
    if not dark or first_dark is None:
        outcome.blank_problems.append("no preview of the dark field was read")
    else:
        start = first_dark["preview_mtime_ns"] / 1e9
        last_value = frames[video.DARK_FRAMES.start - 1].values[dark_name]
        blank_seen = False
        for reading, index in dark:
            got = reading["fields"][dark_name]
            if reading["preview_mtime_ns"] / 1e9 - start >= BLANK_AFTER_S and not got.get("valid"):
                expected = (None, "blank")
            elif got.get("valid"):
                continue
            else:
                expected = (last_value, "held")
            if (got.get("on_air"), got.get("state")) != expected:
                outcome.blank_problems.append(f"frame {index}: {got.get('on_air')}/{got.get('state')}, "
                                              f"expected {expected[0]}/{expected[1]}")
            blank_seen |= expected[1] == "blank"
        if not blank_seen:
            outcome.blank_problems.append("the dark field never read dark for the blank time")
    outcome.stale_reached = bool(outcome.fields_list) and all(s["state"] == "stale" for s in outcome.fields_list)

    # Latency: from the first frame that showed a value to the publication that put it on air.
    latency = {"clock": [], "other": []}
    for name in names:
        previous_on_air = None
        publications = []
        for reading in outcome.readings:
            on_air = reading["fields"].get(name, {}).get("on_air")
            index = _frame_of(outcome, reading)
            if on_air != previous_on_air and on_air is not None and index is not None:
                publications.append((on_air, index, reading["published_at"]))
            previous_on_air = on_air
        for value, index, published_at in publications:
            first = index
            while first > 0 and frames[first - 1].values[name] == value:
                first -= 1
            if frames[first].values[name] != value or first == 0:
                continue   # a held value, or the board's first value
            latency["clock" if name == "clock" else "other"].append(published_at - outcome.send_times[first])
        changes = sum(1 for k in range(1, len(frames)) if frames[k].values[name] != frames[k - 1].values[name]
                      and frames[k].values[name] is not None)
        outcome.unpublished_values += max(0, changes - len([p for p in publications if p[1] > 0]))
    outcome.latency = latency
    # The same changes to their first right raw reading: what confirmation adds is the difference.
    for name in names:
        for k in range(1, len(frames)):
            value = frames[k].values[name]
            if value is None or value == frames[k - 1].values[name]:
                continue
            for reading in outcome.readings:
                index = _frame_of(outcome, reading)
                got = reading["fields"].get(name, {})
                if index is not None and index >= k and frames[index].values[name] == value \
                        and got.get("valid") and got.get("value") == value:
                    outcome.raw_latency.append(reading["published_at"] - outcome.send_times[k])
                    break
                if index is not None and index >= k and frames[index].values[name] != value:
                    break
    outcome.agent_share = [r["published_at"] - r["preview_mtime_ns"] / 1e9 for r in outcome.readings]
    outcome.wake = [r["time"] - r["preview_mtime_ns"] / 1e9 for r in outcome.readings]
    outcome.to_preview = [mtime_ns / 1e9 - outcome.send_times[index] for mtime_ns, index in outcome.preview_frames.items()
                          if index < len(outcome.send_times)]
    outcome.accuracy = path_accuracy(outcome)


def path_accuracy(outcome):
    """Raw readings of the previews the pipeline published, by both reading paths: the default
    settings, and the robust path with settings calibrated once per zone on the first preview.
    Counted on fields that were neither damaged nor under glare in that frame."""
    import native_ocr.panelsight as panelsight
    from native_ocr.roles import reader_for
    try:
        from native_ocr.calibrate import suggest_processing
    except ImportError:
        suggest_processing = None
    zones = video.fault_zones()
    images = []
    for mtime_ns, data in outcome.previews:
        index = outcome.preview_frames.get(mtime_ns)
        if index is not None:
            images.append((index, cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR)))
    paths = {"default": {zone["name"]: zone for zone in zones}}
    if suggest_processing is not None and images:
        first = images[0][1]
        paths["calibrated robust"] = {zone["name"]: dict(zone, processing=suggest_processing(first, zone))
                                      for zone in zones}
    accuracy = {}
    for path, path_zones in paths.items():
        right = total = wrong_valid = faulted_wrong_valid = 0
        for index, image in images:
            frame = outcome.frames[index]
            for name, zone in path_zones.items():
                result = reader_for(panelsight, zone["role"], "_from_image")(zone, image)
                truth = frame.values[name]
                got = result.get("value") if result.get("valid") else None
                if name in frame.faults:
                    faulted_wrong_valid += got is not None and got != truth
                    continue
                total += 1
                right += got == truth
                wrong_valid += got is not None and got != truth
        accuracy[path] = {"right": right, "total": total, "wrong_valid": wrong_valid,
                          "faulted_wrong_valid": faulted_wrong_valid}
    if suggest_processing is None:
        accuracy["calibrated robust"] = None
    return accuracy


def _cell(value, state):
    text = "-" if value is None else str(value)
    return text + {"live": "", "held": "~", "blank": "_", "stale": "?", None: ""}.get(state, "")


def print_outcome(outcome, report=print):
    names = video.FAULT_FIELD_NAMES
    short = {"clock": "clock", "home_score": "home", "guest_score": "guest", "period": "per",
             "home_shots": "hsh", "guest_shots": "gsh", "home_timeouts": "hto", "guest_timeouts": "gto"}
    report("")
    report("Values on air beside the truth, one line per half second of video (first reading in it).")
    report("Each cell: truth/on air; ~ held, _ blank, ? stale, ! wrong. Faults: G glare, D damaged digit.")
    report("frame  " + " ".join(f"{short[n]:>13s}" for n in names))
    by_half = {}
    for reading in outcome.readings:
        index = _frame_of(outcome, reading)
        if index is not None:
            by_half.setdefault(index // 5, (index, reading))
    wrong = {(n, v, i) for n, v, i in outcome.wrong_on_air}
    for half in sorted(by_half):
        index, reading = by_half[half]
        frame = outcome.frames[index]
        cells = []
        for name in names:
            got = reading["fields"].get(name, {})
            truth = "-" if frame.values[name] is None else str(frame.values[name])
            mark = "!" if (name, got.get("on_air"), index) in wrong else ""
            cells.append(f"{truth}/{_cell(got.get('on_air'), got.get('state'))}{mark}")
        faults = ("G" if index in video.GLARE_FRAMES else "") + ("D" if index in video.DAMAGED_FRAMES else "")
        report(f"{index:4d}{faults:>2s} " + " ".join(f"{c:>13s}" for c in cells))
    report("")
    report(f"launcher exit code {outcome.launcher_exit}; "
           + ("no process left running" if not outcome.leftover_pids
              else f"processes left running: {outcome.leftover_pids}"))
    report(f"previews read: {len(outcome.readings)} ({len(outcome.preview_frames)} matched to their frame); "
           f"publications: {len(outcome.published)}")
    report(f"wrong values on air: {len(outcome.wrong_on_air)}"
           + (f" {outcome.wrong_on_air[:5]}" if outcome.wrong_on_air else ""))
    report(f"changes later than one extra preview: {len(outcome.late_changes)}"
           + (f" {outcome.late_changes[:5]}" if outcome.late_changes else ""))
    report("dark field: " + ("held, then blank after the blank time, as set" if not outcome.blank_problems
                             else "; ".join(outcome.blank_problems[:5])))
    report("after the stream ended: " + ("every field stale" if outcome.stale_reached else "NOT every field stale"))
    for kind, values in outcome.latency.items():
        report(f"latency, change in the sent video -> published ({kind}, {len(values)} changes): "
               f"p50 {1000 * _percentile(values, 50):.0f} ms, p95 {1000 * _percentile(values, 95):.0f} ms")
    both = outcome.latency.get("clock", []) + outcome.latency.get("other", [])
    report(f"latency, all fields ({len(both)} changes): p50 {1000 * _percentile(both, 50):.0f} ms, "
           f"p95 {1000 * _percentile(both, 95):.0f} ms; values never on air (shown between previews or "
           f"superseded): {outcome.unpublished_values}")
    report(f"latency, change in the sent video -> first preview that read it right ({len(outcome.raw_latency)} changes): "
           f"p50 {1000 * _percentile(outcome.raw_latency, 50):.0f} ms, "
           f"p95 {1000 * _percentile(outcome.raw_latency, 95):.0f} ms (before any confirmation)")
    report(f"agent's share after the preview rename ({len(outcome.agent_share)} previews, "
           f"{len(video.FAULT_FIELD_NAMES)} fields): p50 {1000 * _percentile(outcome.agent_share, 50):.1f} ms, "
           f"p95 {1000 * _percentile(outcome.agent_share, 95):.1f} ms")
    report(f"  of which: waking after the rename p50 {1000 * _percentile(outcome.wake, 50):.1f} ms, "
           f"p95 {1000 * _percentile(outcome.wake, 95):.1f} ms; before it, frame sent -> preview renamed "
           f"p50 {1000 * _percentile(outcome.to_preview, 50):.0f} ms, p95 {1000 * _percentile(outcome.to_preview, 95):.0f} ms "
           f"({len(outcome.preview_frames) / max(1.0, len(outcome.frames) / video.FAULT_FPS):.1f} previews/s)")
    for path, figures in outcome.accuracy.items():
        if figures is None:
            report(f"accuracy, {path} path: not available in this build (no native_ocr.calibrate)")
            continue
        report(f"accuracy, {path} path: {figures['right']}/{figures['total']} raw field readings right on clean "
               f"frames, {figures['wrong_valid']} wrong but valid; {figures['faulted_wrong_valid']} wrong but valid "
               f"on faulted frames")
    if outcome.load:
        report("machine load average (1, 5, 15 min) at the end: " + ", ".join(f"{x:.1f}" for x in outcome.load)
               + f" on {os.cpu_count()} cores: timings stretch with it")
    report("agent reads with: " + ("calibrated robust zones" if outcome.calibration else "the default path"))


def healthy(outcome):
    return (bool(outcome.readings) and not outcome.wrong_on_air and not outcome.late_changes
            and not outcome.blank_problems and outcome.stale_reached and not outcome.leftover_pids
            and outcome.launcher_exit == 0)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build", help="build folder (default: build)")
    parser.add_argument("--passphrase", help="encrypt the stream with this SRT passphrase (10 to 80 bytes)")
    args = parser.parse_args(argv)
    outcome = run(args.build, args.passphrase)
    print_outcome(outcome)
    return 0 if healthy(outcome) else 1


if __name__ == "__main__":
    sys.exit(main())
