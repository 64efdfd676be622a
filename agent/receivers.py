"""Starting, watching and stopping the one video receiver the settings choose.

Both receivers run with the runtime folder as their working directory, so that their relative
`app/static/` paths and the launcher's stop files name the same files. Nothing but files passes
between them and the agent, apart from wancapture's one-time secret record.
"""

import json
import os
import struct
import subprocess
import threading
import time

from agent_files import write_atomically

# wancapture takes a passphrase of 10 to 80 bytes, or none.
PASSPHRASE_BYTES = (10, 80)
# How long a receiver gets to publish its final status after a stop request.
STOP_WAIT_S = 3.0
# A receiver that ended by itself is started again after this pause, unless it refused its
# command line (exit code 2): the same command would be refused again.
RESTART_PAUSE_S = 2.0
REFUSED = 2

PUBLISHED = {
    "srt": {"preview": "srt_preview.jpg", "status": "srt_status.json", "stop": "srt_stop.request"},
    "ndi": {"preview": "ndi_preview.jpg", "status": "ndi_status.json", "stop": "ndi_stop.request",
            "sources": "ndi_sources.json", "latency": "ndi_latency.json",
            "selection": "ndi_selection.txt", "refresh": "ndi_refresh.request"},
}
PROGRAMS = {"srt": "wancapture", "ndi": "lancapture"}


def secret_record(passphrase):
    """The record wancapture reads from its secret descriptor: a 4-byte big-endian length, then
    the passphrase bytes."""
    return struct.pack(">I", len(passphrase)) + passphrase


def passphrase_problem(passphrase):
    low, high = PASSPHRASE_BYTES
    if passphrase and not low <= len(passphrase) <= high:
        return f"the SRT passphrase must have {low} to {high} bytes"
    return None


def wancapture_arguments(srt, secret_descriptor=None):
    arguments = ["--port", str(int(srt["port"])), "--latency", str(int(srt["latency"])),
                 "--preview", "app/static/srt_preview.jpg", "--status", "app/static/srt_status.json"]
    if srt.get("stream_id"):
        arguments += ["--stream-id", str(srt["stream_id"])]
    if int(srt.get("key_length") or 0):
        arguments += ["--key-length", str(int(srt["key_length"]))]
    if secret_descriptor is not None:
        arguments += ["--secret-fd", str(secret_descriptor)]
    return arguments


class Receiver:
    """One receiver process of the kind "srt" or "ndi"."""

    def __init__(self, kind, program, files, config, emit):
        self.kind = kind
        self.program = program
        self.files = files
        self.config = config  # the "srt" or "ndi" part of the settings
        self.emit = emit
        self.process = None
        self.problem = None
        self.exit_code = None
        self._ended_at = None
        self._output = None

    def path(self, name):
        return self.files.published(PUBLISHED[self.kind][name])

    def start(self):
        self.problem = None
        self.exit_code = None
        if not self.program or not os.access(self.program, os.X_OK):
            self.problem = f"{PROGRAMS[self.kind]} is not available"
            self.emit({"event": "receiver", "kind": self.kind, "state": "unavailable", "problem": self.problem})
            return False
        if self.kind == "srt":
            return self._start_wancapture()
        return self._start_lancapture()

    def _start_wancapture(self):
        passphrase = str(self.config.get("passphrase") or "").encode("utf-8")
        self.problem = passphrase_problem(passphrase)
        if self.problem:
            self.emit({"event": "receiver", "kind": "srt", "state": "refused", "problem": self.problem})
            return False
        read_end = None
        if passphrase:
            # The record is far smaller than a pipe's buffer, so it is written whole before the
            # start and wancapture finds it waiting; the passphrase never appears on a command line.
            read_end, write_end = os.pipe()
            try:
                os.write(write_end, secret_record(passphrase))
            finally:
                os.close(write_end)
        try:
            self._spawn([self.program] + wancapture_arguments(self.config, read_end),
                        pass_fds=(read_end,) if read_end is not None else ())
        finally:
            if read_end is not None:
                os.close(read_end)
        return True

    def _start_lancapture(self):
        # lancapture takes a non-empty stop request left from an earlier run as meant for itself.
        try:
            os.unlink(self.path("stop"))
        except FileNotFoundError:
            pass
        self.select(self.config.get("source", ""))
        self._spawn([self.program])
        return True

    def _spawn(self, command, pass_fds=()):
        self.process = subprocess.Popen(command, cwd=self.files.runtime, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, pass_fds=pass_fds)
        self._output = threading.Thread(target=self._relay_output, args=(self.process,), daemon=True)
        self._output.start()
        self.emit({"event": "receiver", "kind": self.kind, "state": "started", "pid": self.process.pid})

    def _relay_output(self, process):
        # The agent's standard output carries JSON lines only; the receiver's lines go inside them.
        for raw in process.stdout:
            self.emit({"event": "receiver_output", "receiver": PROGRAMS[self.kind],
                       "line": raw.decode("utf-8", "replace").rstrip("\r\n")})

    def select(self, source):
        """lancapture follows the source named in its selection file, byte for byte: written whole,
        so that it never reads half a name and connects to a source nobody chose."""
        if self.kind == "ndi":
            write_atomically(self.path("selection"), source_bytes(source))

    def request_refresh(self):
        """lancapture lists its sources again when the refresh request's content changes: a new
        time each press."""
        if self.kind == "ndi":
            write_atomically(self.path("refresh"), f"{time.time_ns()}\n")

    def running(self):
        return self.process is not None and self.process.poll() is None

    def supervise(self):
        """Notices an ended receiver and starts it again after a pause."""
        if self.process is None or self.process.poll() is None:
            return
        if self._ended_at is None:
            self.exit_code = self.process.returncode
            self._ended_at = time.monotonic()
            self.emit({"event": "receiver", "kind": self.kind, "state": "ended", "exit_code": self.exit_code})
            if self.exit_code == REFUSED:
                self.problem = f"{PROGRAMS[self.kind]} refused its settings"
        if self.exit_code != REFUSED and time.monotonic() - self._ended_at >= RESTART_PAUSE_S:
            self._ended_at = None
            self.process = None
            self.start()

    def stop(self):
        """A stop request first, so the receiver publishes its last status; a kill only if it
        does not end in time."""
        if self.process is None:
            return
        if self.process.poll() is None:
            with open(self.path("stop"), "w", encoding="ascii") as stream:
                stream.write("stop\n")
            try:
                self.process.wait(timeout=STOP_WAIT_S)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self._output is not None:
            self._output.join(timeout=1.0)
        self.emit({"event": "receiver", "kind": self.kind, "state": "stopped",
                   "exit_code": self.process.returncode})
        self.process = None


def source_bytes(name):
    """A source name as lancapture compares it. Names are read with invalid UTF-8 kept as escapes
    (lancapture publishes the runtime's bytes unrepaired), so they go back as the same bytes."""
    return name.encode("utf-8", "surrogateescape")


def read_published(path, limit=4 << 20):
    """A receiver's JSON document, or None while it is missing, partly replaced or not JSON."""
    try:
        with open(path, "rb") as stream:
            data = stream.read(limit + 1)
    except OSError:
        return None
    if len(data) > limit:
        return None
    try:
        return json.loads(data.decode("utf-8", "surrogateescape"))
    except ValueError:
        return None


def ndi_sources(document):
    """The names of the listed sources, in lancapture's order; [] for a missing or odd document."""
    if not isinstance(document, dict) or not isinstance(document.get("sources"), list):
        return []
    names = []
    for entry in document["sources"]:
        if isinstance(entry, dict) and isinstance(entry.get("name"), str) and entry["name"]:
            names.append({"name": entry["name"], "url_address": entry.get("url_address")
                          if isinstance(entry.get("url_address"), str) else None})
    return names
