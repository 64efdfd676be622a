"""The operator's page: the receiver's status, the newest preview and the readings of every zone.

It is served on the loopback address only. A request must name the page's own address in its Host
header, so that a web page elsewhere cannot reach it through a name that resolves to 127.0.0.1.
"""

import html
import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

_PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>Tessaryn</title>
<style>
body {{ font-family: sans-serif; background: #14181f; color: #e8e8e8; margin: 2em; }}
table {{ border-collapse: collapse; }} td, th {{ padding: .3em .8em; border-bottom: 1px solid #333; }}
.bad {{ color: #f07070; }} img {{ max-width: 640px; border: 1px solid #444; }}
</style></head>
<body>
<h1>Tessaryn</h1>
<p id="status">{status}</p>
<img id="preview" src="/preview.jpg" alt="newest preview">
<table><thead><tr><th>zone</th><th>role</th><th>value</th><th>reason</th></tr></thead>
<tbody id="fields">{rows}</tbody></table>
<script>
async function refresh() {{
  try {{
    const state = await (await fetch("/api/state")).json();
    document.getElementById("status").textContent = state.status_line;
    const body = document.getElementById("fields");
    body.replaceChildren(...Object.entries((state.reading || {{}}).fields || {{}}).map(([name, f]) => {{
      const row = document.createElement("tr");
      if (!f.valid) row.className = "bad";
      for (const text of [name, f.role, f.value === null ? "" : String(f.value), f.reason]) {{
        const cell = document.createElement("td");
        cell.textContent = text;
        row.appendChild(cell);
      }}
      return row;
    }}));
    document.getElementById("preview").src = "/preview.jpg?" + Date.now();
  }} catch (e) {{}}
}}
setInterval(refresh, 1000);
</script>
</body></html>
"""


class AgentState:
    """What the page shows; written by the agent's loop, read by the server's threads."""

    def __init__(self):
        self._lock = threading.Lock()
        self._state = {"receiver": None, "receiver_status": None, "reading": None, "problems": []}
        self._preview = None

    def update(self, **values):
        with self._lock:
            self._state.update(values)

    def set_preview(self, data):
        with self._lock:
            self._preview = data

    def snapshot(self):
        with self._lock:
            state = json.loads(json.dumps(self._state))
            preview = self._preview
        status = state.get("receiver_status") or {}
        state["status_line"] = (f"receiver {state.get('receiver') or 'none'}: {status.get('state', 'not started')}"
                                + (f" ({status['error']})" if status.get("error") else ""))
        return state, preview


def _rows(state):
    fields = ((state.get("reading") or {}).get("fields")) or {}
    rows = []
    for name, f in fields.items():
        value = "" if f.get("value") is None else str(f.get("value"))
        marker = "" if f.get("valid") else ' class="bad"'
        rows.append(f"<tr{marker}><td>{html.escape(name)}</td><td>{html.escape(str(f.get('role')))}</td>"
                    f"<td>{html.escape(value)}</td><td>{html.escape(str(f.get('reason')))}</td></tr>")
    return "".join(rows)


class PageServer:
    def __init__(self, state, routes=None):
        """ROUTES: an optional function route -> (code, content type, body, headers) or None,
        for routes that other units of the agent serve."""
        self.state = state
        self.routes = routes
        server = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):  # the agent's standard output is for JSON lines
                pass

            def _send(self, code, content_type, body, headers=()):
                self.send_response(code)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Cache-Control", "no-store")
                for name, value in headers:
                    self.send_header(name, value)
                self.end_headers()
                self.wfile.write(body)

            def do_GET(self):
                if self.headers.get("Host") != server.host:
                    return self._send(421, "text/plain", b"wrong host\n")
                state, preview = server.state.snapshot()
                route = self.path.split("?", 1)[0]
                if route == "/":
                    page = _PAGE.format(status=html.escape(state["status_line"]), rows=_rows(state))
                    return self._send(200, "text/html; charset=utf-8", page.encode("utf-8"))
                if route == "/api/state":
                    return self._send(200, "application/json", json.dumps(state).encode("utf-8"))
                if route == "/preview.jpg" and preview is not None:
                    return self._send(200, "image/jpeg", preview)
                answer = server.routes(route) if server.routes is not None else None
                if answer is not None:
                    return self._send(*answer)
                return self._send(404, "text/plain", b"not found\n")

        self._server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self.port = self._server.server_address[1]
        self.host = f"127.0.0.1:{self.port}"
        self.url = f"http://127.0.0.1:{self.port}"
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)

    def start(self):
        self._thread.start()

    def stop(self):
        self._server.shutdown()
        self._server.server_close()
