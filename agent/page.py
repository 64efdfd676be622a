"""The operator's console: static files and a small JSON API on the loopback address.

The page itself is static HTML, JavaScript and CSS from agent/static/; everything it shows or
changes goes through the routes registered with `PageServer.route`, so other units (the console's
API, the live outputs) add their routes without touching this server.

Only requests that name the page's own address in their Host header are served (127.0.0.1 or
localhost with the page's port): a web page elsewhere could otherwise reach it through a name that
resolves to 127.0.0.1. A request that changes something must also come from the page itself: a JSON
body (which a foreign page cannot send without the browser asking first) and, when the browser
names an origin, the page's own.
"""

import json
import os
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
CONTENT_TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
                 ".css": "text/css; charset=utf-8", ".svg": "image/svg+xml", ".png": "image/png"}
MAX_BODY_BYTES = 1 << 20


class Request:
    def __init__(self, method, target, headers, body):
        parts = urlsplit(target)
        self.method = method
        self.path = parts.path
        self.query = {k: v[-1] for k, v in parse_qs(parts.query).items()}
        self.headers = headers
        self.body = body

    def json(self):
        """The body as JSON, or None when it is not."""
        try:
            return json.loads(self.body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            return None


class Response:
    def __init__(self, code, content_type, body, headers=None):
        self.code = code
        self.content_type = content_type
        self.body = body if isinstance(body, bytes) else body.encode("utf-8")
        self.headers = headers or {}


def _finite(value):
    """NaN and the infinities are not JSON: they go out as null."""
    if isinstance(value, float):
        return value if value == value and value not in (float("inf"), float("-inf")) else None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def json_response(value, code=200):
    try:
        body = json.dumps(value, allow_nan=False)
    except ValueError:
        body = json.dumps(_finite(value), allow_nan=False)
    return Response(code, "application/json", body)


def text_response(code, text):
    return Response(code, "text/plain; charset=utf-8", text + "\n")


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

    def preview(self):
        with self._lock:
            return self._preview

    def snapshot(self):
        with self._lock:
            state = json.loads(json.dumps(self._state))
            preview = self._preview
        return state, preview


class PageServer:
    def __init__(self, state, routes=None, static_folder=STATIC):
        """ROUTES: an optional function path -> (code, content type, body, headers) or None, for
        GET routes that another unit of the agent serves as a whole (the live outputs)."""
        self.state = state
        self.routes = {}
        self.fallback = routes
        self._static = {name: os.path.join(static_folder, name) for name in os.listdir(static_folder)
                        if os.path.splitext(name)[1] in CONTENT_TYPES}
        self.route("GET", "/", lambda request: self._static_file("index.html"))
        for name in self._static:
            self.route("GET", "/static/" + name, lambda request, name=name: self._static_file(name))
        self.route("GET", "/preview.jpg", self._preview)
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):  # the agent's standard output is for JSON lines
                pass

            def _send(self, response):
                self.send_response(response.code)
                self.send_header("Content-Type", response.content_type)
                self.send_header("Content-Length", str(len(response.body)))
                self.send_header("Cache-Control", "no-store")
                self.send_header("X-Content-Type-Options", "nosniff")
                for name, value in response.headers.items():
                    self.send_header(name, value)
                self.end_headers()
                if self.command != "HEAD":
                    self.wfile.write(response.body)

            def _handle(self, method):
                if self.headers.get("Host") not in server.hosts:
                    self.close_connection = True
                    return self._send(text_response(421, "wrong host"))
                body = b""
                if method == "POST":
                    refused = server.refuse_post(self.headers)
                    if refused:
                        self.close_connection = True
                        return self._send(refused)
                    try:
                        length = int(self.headers.get("Content-Length", "0"))
                    except ValueError:
                        length = -1
                    if not 0 <= length <= MAX_BODY_BYTES:
                        self.close_connection = True
                        return self._send(text_response(413, "body too large"))
                    body = self.rfile.read(length)
                request = Request(method, self.path, self.headers, body)
                handler = server.routes.get((method if method != "HEAD" else "GET", request.path))
                if handler is None and method in ("GET", "HEAD") and server.fallback is not None:
                    answer = server.fallback(request.path)
                    if answer is not None:
                        code, content_type, body, headers = answer
                        return self._send(Response(code, content_type, body, dict(headers)))
                if handler is None:
                    known = any(path == request.path for _, path in server.routes)
                    return self._send(text_response(405 if known else 404,
                                                    "method not allowed" if known else "not found"))
                try:
                    response = handler(request)
                except Exception as error:  # one bad request must not take the page down
                    response = json_response({"error": f"internal error: {error}"}, 500)
                self._send(response)

            def do_GET(self):
                self._handle("GET")

            def do_HEAD(self):
                self._handle("HEAD")

            def do_POST(self):
                self._handle("POST")

        self._server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self.port = self._server.server_address[1]
        self.hosts = {f"127.0.0.1:{self.port}", f"localhost:{self.port}"}
        self.origins = {f"http://{host}" for host in self.hosts}
        self.host = f"127.0.0.1:{self.port}"
        self.url = f"http://127.0.0.1:{self.port}"
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)

    def route(self, method, path, handler):
        """handler(Request) -> Response, called on a server thread."""
        self.routes[(method, path)] = handler

    def refuse_post(self, headers):
        content_type = (headers.get("Content-Type") or "").split(";")[0].strip().lower()
        if content_type != "application/json":
            return text_response(415, "a JSON body is expected")
        origin = headers.get("Origin")
        if origin is not None and origin not in self.origins:
            return text_response(403, "foreign origin")
        return None

    def _static_file(self, name):
        with open(self._static[name], "rb") as stream:
            return Response(200, CONTENT_TYPES[os.path.splitext(name)[1]], stream.read())

    def _preview(self, request):
        # Before the first frame there is no picture: 204, so the page shows its own empty state
        # instead of a broken image.
        preview = self.state.preview()
        if preview is None:
            return Response(204, "image/jpeg", b"")
        return Response(200, "image/jpeg", preview)

    def start(self):
        self._thread.start()

    def stop(self):
        self._server.shutdown()
        self._server.server_close()
