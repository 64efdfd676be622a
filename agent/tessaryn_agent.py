"""The stand-in agent: what `Tessaryn` starts as `Tessaryn-agent`.

It serves the operator's console on the loopback address and announces it in `tessaryn-url`, starts
the receiver the settings choose in the runtime folder, reads every zone of each new preview with
native_ocr.panelsight as soon as the receiver replaces it, and shows the readings on its console and
as JSON lines on standard output (which the launcher appends to `tray-agent.log`). The console edits
the settings; so may the user, in the settings file, which is read again whenever it changes. The readings go
through a tracker; the values it puts on air are served to graphics systems (live_outputs.py) and
printed as "published" lines. A stop signal stops the receiver through its stop request before the
agent ends.
"""

import argparse
import json
import os
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from agent_files import AgentFiles, data_root, write_atomically  # noqa: E402
from console_api import ConsoleApi  # noqa: E402
from field_reading import FieldReader  # noqa: E402
from live_outputs import LiveOutputs, live_settings  # noqa: E402
from page import AgentState, PageServer  # noqa: E402
from preview_watch import PreviewWatch  # noqa: E402
from receivers import Receiver  # noqa: E402
from settings_store import SettingsStore  # noqa: E402

VERSION = "Tessaryn agent stand-in 0.1.0"

_emit_lock = threading.Lock()


def emit(record):
    with _emit_lock:
        sys.stdout.write(json.dumps(record, separators=(",", ":")) + "\n")
        sys.stdout.flush()


def read_json(path):
    try:
        with open(path, "rb") as stream:
            return json.loads(stream.read().decode("utf-8"))
    except (OSError, ValueError):
        return None


class Agent:
    def __init__(self, files, programs, settings_path):
        self.files = files
        self.programs = programs
        self.store = SettingsStore(settings_path)
        # The outputs' settings are taken once, at start.
        files.make_folders()
        self.store.ensure_file()
        self.store.reload_if_changed()
        self._settings_applied = False
        live, self.live_problems = live_settings(self.store.settings)
        self.live = LiveOutputs(live, os.path.join(files.folder, "fields"), emit)
        self.state = AgentState()
        self.page = PageServer(self.state, routes=self.live.route)
        self.receiver = None
        self.receiver_key = None
        self.stopping = threading.Event()
        self.watch = PreviewWatch()
        import native_ocr.panelsight as panelsight
        self.reader = FieldReader(panelsight, files.snapshot,
                                  calibrate=self.store.settings.get("calibrate", True) is not False, emit=emit)
        ConsoleApi(self).register(self.page)

    def announce(self):
        write_atomically(self.files.version, VERSION + "\n")
        write_atomically(self.files.page_url, self.page.url)
        emit({"event": "serving", "url": self.page.url, "websocket": self.live.websocket_url,
              "preview_watch": self.watch.mechanism, "calibration": self.reader.suggest_processing is not None})
        for problem in self.live_problems:
            emit({"event": "settings_problem", "problem": problem})

    def apply_settings(self):
        settings = self.store.settings
        kind = settings["receiver"]
        config = settings.get(kind, {}) if kind != "none" else {}
        # lancapture follows a new source through its selection file; only a new SRT setting needs
        # a new receiver.
        key = json.dumps([kind, config if kind == "srt" else {}], sort_keys=True)
        for problem in self.store.problems:
            emit({"event": "settings_problem", "problem": problem})
        self.state.update(problems=list(self.store.problems), receiver=kind)
        if key == self.receiver_key:
            if self.receiver is not None:
                self.receiver.config = config
                if kind == "ndi":
                    self.receiver.select(config.get("source", ""))
            return
        if self.receiver is not None:
            self.receiver.stop()
            self.receiver = None
        if self.receiver_key is not None and json.loads(self.receiver_key)[0] != kind:
            # The other receiver's picture and readings are not of this source.
            self.reader.frame = None
            self.state.set_preview(None)
            self.state.update(reading=None, receiver_status=None)
        self.receiver_key = key
        if kind != "none":
            self.receiver = Receiver(kind, self.programs.get(kind), self.files, config, emit)
            self.receiver.start()

    def read_preview(self):
        """Reads a new preview if there is one and publishes what the tracker puts on air."""
        zones = self.store.settings["zones"]
        reading = self.reader.read_if_new(self.receiver.path("preview"), zones)
        if reading is None:
            return None
        results = [(name, role, result) for name, role, result in self.reader.results if result is not None]
        changed = self.live.observe(results, self.reader.capture_time, [zone["name"] for zone in zones])
        published_at = time.time()
        if changed:
            emit({"event": "published", "time": round(published_at, 4),
                  "preview_mtime_ns": self.reader.capture_ns, "fields": changed})
        reading["published_at"] = round(published_at, 4)
        reading["preview_mtime_ns"] = self.reader.capture_ns
        for state in self.live.fields(self.reader.capture_time):
            field = reading["fields"].get(state["name"])
            if field is not None:
                field.update(on_air=state["value"], state=state["state"])
        return reading

    def step(self):
        if self.store.reload_if_changed() or not self._settings_applied:
            self._settings_applied = True
            self.apply_settings()
        if self.receiver is None:
            self.publish_time_changes()
            return
        self.watch.watch(self.receiver.path("preview"))
        reading = self.read_preview()
        self.receiver.supervise()
        status = read_json(self.receiver.path("status"))
        if self.receiver.problem:
            status = dict(status or {}, error=self.receiver.problem)
        self.state.update(receiver_status=status, receiver_running=self.receiver.running())
        self.publish_time_changes()
        if reading is not None:
            self.state.set_preview(self.reader.data)
            self.state.update(reading=reading)
            emit(reading)

    def publish_time_changes(self):
        changed = self.live.tick(time.time())
        if changed:
            emit({"event": "published", "time": round(time.time(), 4), "fields": changed})

    def run(self):
        self.files.make_folders()
        self.live.start()
        self.page.start()
        self.announce()
        while not self.stopping.is_set():
            self.step()
            # A new preview ends the wait at once; otherwise the receiver and the settings are
            # looked after at the read interval.
            self.watch.wait(min(self.store.settings["read_interval_ms"] / 1000.0, 0.25))
        self.shutdown()

    def shutdown(self):
        if self.receiver is not None:
            self.receiver.stop()
        self.watch.close()
        self.live.stop()
        self.page.stop()
        # The address names a page that no longer exists; leave it only if another agent wrote its own.
        try:
            with open(self.files.page_url, "r", encoding="ascii") as stream:
                ours = stream.read() == self.page.url
            if ours:
                os.unlink(self.files.page_url)
        except (OSError, UnicodeDecodeError):
            pass
        emit({"event": "stopped"})


def main(argv=None):
    parser = argparse.ArgumentParser(description="Stand-in agent for the Tessaryn launcher.")
    parser.add_argument("--wancapture", default="", help="path of the SRT receiver program")
    parser.add_argument("--lancapture", default="", help="path of the NDI receiver program")
    parser.add_argument("--settings", help="settings file (default: agent-settings.json in the data folder)")
    args = parser.parse_args(argv)

    root = data_root()
    if root is None:
        print("Tessaryn-agent: no data folder (LOCALAPPDATA, XDG_DATA_HOME or HOME)", file=sys.stderr)
        return 1
    files = AgentFiles(root)
    agent = Agent(files, {"srt": args.wancapture, "ndi": args.lancapture}, args.settings or files.settings)

    def stop(signal_number, frame):
        agent.stopping.set()

    for signal_number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signal_number, stop)
    agent.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
