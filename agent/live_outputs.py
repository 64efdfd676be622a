"""The values on air, for graphics systems: HTTP JSON, a WebSocket that pushes each change, and
one text file per field.

Every zone reading goes through a native_ocr.tracker.BoardTracker; only what it publishes leaves
the agent. The HTTP routes hang off the operator page's server; the WebSocket has its own port
(settings "live" "websocket_port", 0 for any free one) because a graphics system is configured
with one fixed address. All three outputs see the same states.
"""

import asyncio
import json
import numbers
import os
import re
import threading
import time
from http import HTTPStatus

from native_ocr.tracker import DEFAULT_CONFIG, BoardTracker

DEFAULT_LIVE = {"websocket_port": 0, "text_files": True, "tracker": {}}

_SAFE_NAME = re.compile(r"[^A-Za-z0-9_-]")


def live_settings(settings):
    """(live settings, problems) from the agent's settings; unusable entries fall back to defaults."""
    given = settings.get("live", {})
    problems = []
    if not isinstance(given, dict):
        return dict(DEFAULT_LIVE), ["live must be an object"]
    live = dict(DEFAULT_LIVE)
    port = given.get("websocket_port", 0)
    if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
        problems.append("live websocket_port must be a port number (0 for any free port)")
    else:
        live["websocket_port"] = port
    if not isinstance(given.get("text_files", True), bool):
        problems.append("live text_files must be true or false")
    else:
        live["text_files"] = given.get("text_files", True)
    tracker = given.get("tracker", {})
    usable = {}
    if not isinstance(tracker, dict):
        problems.append("live tracker must be an object")
        tracker = {}
    for key, value in tracker.items():
        if key not in DEFAULT_CONFIG:
            problems.append(f"live tracker: unknown setting {key}")
        elif isinstance(value, bool) or not isinstance(value, numbers.Real) or not 0 <= value < float("inf"):
            problems.append(f"live tracker: {key} must be a non-negative number")
        else:
            usable[key] = value
    live["tracker"] = usable
    return live, problems


def file_names(names):
    """Field name -> file name: letters, digits, - and _ only, so that no zone name can reach outside
    the folder; names that collide after that get a number."""
    result, used = {}, set()
    for name in names:
        base = _SAFE_NAME.sub("_", name) or "field"
        candidate, n = base, 2
        while candidate in used:
            candidate, n = f"{base}_{n}", n + 1
        used.add(candidate)
        result[name] = candidate + ".txt"
    return result


def _replace_text(path, text):
    """Atomic replacement without a flush to disk: readers must never see half a value, but a value
    lost in a power cut is replaced by the next one anyway, and a sync would cost the latency budget.
    A reader holding the file open can make the rename fail on some systems: retry briefly, then
    report False so that the caller tries again later."""
    temporary = f"{path}.tmp"
    with open(temporary, "w", encoding="utf-8", newline="") as stream:
        stream.write(text)
    for attempt in range(5):
        try:
            os.replace(temporary, path)
            return True
        except PermissionError:
            time.sleep(0.002 * (attempt + 1))
    try:
        os.unlink(temporary)
    except OSError:
        pass
    return False


class _TextWriter:
    """Writes the text files on a thread of their own: a rename can take milliseconds on a busy
    disk, and the WebSocket and HTTP outputs must not wait for it. Only the newest text of each
    file is written; a text overtaken before its turn is skipped."""

    def __init__(self):
        self._pending = {}
        self._wake = threading.Condition()
        self._stopping = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def put(self, path, text):
        with self._wake:
            self._pending[path] = text
            self._wake.notify()

    def _run(self):
        while True:
            with self._wake:
                while not self._pending and not self._stopping:
                    self._wake.wait()
                if not self._pending:
                    return
                path, text = next(iter(self._pending.items()))
                del self._pending[path]
            try:
                written = _replace_text(path, text)
            except OSError:
                written = True   # the folder went away; the next change tries again
            if not written and not self._stopping:
                # A reader keeps the file open: try again shortly unless a newer text came.
                with self._wake:
                    self._pending.setdefault(path, text)
                    self._wake.wait(0.05)

    def stop(self):
        """Writes what is pending, then ends."""
        with self._wake:
            self._stopping = True
            self._wake.notify()
        self._thread.join(10)


class _WebSocketServer:
    """websockets' server on its own event loop thread; broadcast() may be called from any thread."""

    def __init__(self, port, snapshot):
        import websockets

        self._snapshot = snapshot
        self._clients = set()
        self._loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._stop = None
        self._error = None
        self._websockets = websockets
        self._thread = threading.Thread(target=self._run, args=(port,), daemon=True)
        self._thread.start()
        self._ready.wait(10)
        if self._error is not None:
            raise self._error

    def _check_host(self, path, headers):
        if headers.get("Host") not in (f"127.0.0.1:{self.port}", f"localhost:{self.port}"):
            return HTTPStatus.MISDIRECTED_REQUEST, [], b"wrong host\n"
        return None

    async def _handler(self, connection, path=None):
        # The snapshot is taken and sent before the connection can miss a change: both happen
        # without yielding to the loop, and broadcasts run on this loop too.
        self._clients.add(connection)
        try:
            await connection.send(self._snapshot())
            await connection.wait_closed()
        finally:
            self._clients.discard(connection)

    def _run(self, port):
        asyncio.set_event_loop(self._loop)

        async def main():
            self._stop = asyncio.Event()
            try:
                server = await self._websockets.serve(
                    self._handler, "127.0.0.1", port, process_request=self._check_host,
                    ping_interval=20, max_size=4096)
            except OSError as error:
                self._error = error
                self._ready.set()
                return
            self.port = server.sockets[0].getsockname()[1]
            self._ready.set()
            await self._stop.wait()
            server.close()
            await server.wait_closed()

        self._loop.run_until_complete(main())
        self._loop.close()

    def _send_all(self, message):
        self._websockets.broadcast(set(self._clients), message)

    def broadcast(self, message):
        if self._loop.is_running():
            self._loop.call_soon_threadsafe(self._send_all, message)

    def clients(self):
        return len(self._clients)

    def stop(self):
        if self._stop is not None and self._loop.is_running():
            self._loop.call_soon_threadsafe(self._stop.set)
        self._thread.join(10)


class LiveOutputs:
    def __init__(self, live, text_folder, emit):
        self._lock = threading.Lock()
        self._tracker = BoardTracker(live["tracker"])
        self._emit = emit
        self.text_folder = text_folder if live["text_files"] else None
        self._file_names = {}
        self._websocket_port = live["websocket_port"]
        self._websocket = None
        self._texts = None
        self.websocket_url = None

    def start(self):
        if self.text_folder is not None:
            os.makedirs(self.text_folder, mode=0o755, exist_ok=True)
            self._texts = _TextWriter()
        try:
            self._websocket = _WebSocketServer(self._websocket_port, self._snapshot_message)
            self.websocket_url = f"ws://127.0.0.1:{self._websocket.port}/"
        except (ImportError, OSError) as error:
            self._emit({"event": "live_problem", "problem": f"no WebSocket output: {error}"})

    def stop(self):
        if self._websocket is not None:
            self._websocket.stop()
        if self._texts is not None:
            self._texts.stop()

    # -- states in ----------------------------------------------------------------------------

    def observe(self, results, capture_time, zone_names):
        """Feeds the results of one preview [(name, role, result)], publishes what changed."""
        with self._lock:
            self._tracker.forget(zone_names)
            changed = [state for state in (self._tracker.observe(name, role, result, capture_time)
                                           for name, role, result in results) if state is not None]
            if self.text_folder is not None and set(self._file_names) != set(zone_names):
                self._file_names = file_names(zone_names)
        self._publish(changed)
        return changed

    def tick(self, now):
        with self._lock:
            changed = self._tracker.tick(now)
        self._publish(changed)
        return changed

    def _publish(self, changed):
        if not changed:
            return
        if self._websocket is not None:
            self._websocket.broadcast(json.dumps({"type": "change", "time": round(time.time(), 3),
                                                  "fields": changed}, separators=(",", ":")))
        if self._texts is not None:
            for state in changed:
                name = self._file_names.get(state["name"])
                if name is not None:
                    self._texts.put(os.path.join(self.text_folder, name), state["text"])

    # -- states out ---------------------------------------------------------------------------

    def fields(self, now=None):
        with self._lock:
            return self._tracker.fields(time.time() if now is None else now)

    def _snapshot_message(self):
        now = time.time()
        return json.dumps({"type": "snapshot", "time": round(now, 3), "fields": self.fields(now)},
                          separators=(",", ":"))

    def route(self, route):
        """The page server's hook: (code, content type, body, headers) for the routes of this unit,
        None for any other route. Graphics pages loaded from elsewhere may read these values."""
        headers = [("Access-Control-Allow-Origin", "*")]
        if route == "/api/fields":
            body = {state["name"]: state for state in self.fields()}
        elif route == "/api/fields/list":
            body = self.fields()
        elif route == "/api/fields/text":
            body = {state["name"]: state["text"] for state in self.fields()}
        elif route == "/api/live":
            body = {"websocket": self.websocket_url, "fields": "/api/fields", "fields_list": "/api/fields/list",
                    "fields_text": "/api/fields/text",
                    "text_folder": self.text_folder,
                    "websocket_clients": self._websocket.clients() if self._websocket else 0}
        else:
            return None
        return 200, "application/json", json.dumps(body).encode("utf-8"), headers
