"""The receiver's state in words an operator can act on, from its published status document.

Each sentence says what is happening and, where nothing is, what to do next.
"""


def _frame_rate(status):
    n, d = status.get("frame_rate_n"), status.get("frame_rate_d")
    if isinstance(n, int) and isinstance(d, int) and n > 0 and d > 0:
        rate = n / d
        return f" at {rate:.0f} fps" if abs(rate - round(rate)) < 0.01 else f" at {rate:.2f} fps"
    return ""


def _size(status):
    w, h = status.get("width"), status.get("height")
    return f"{w}×{h}" if isinstance(w, int) and isinstance(h, int) and w > 0 and h > 0 else "video"


def describe(kind, status, settings, problem=None, running=True, sources=None):
    """(level, sentence): level is "ok", "waiting" or "error"."""
    if kind == "none":
        return "waiting", "No receiver is chosen: pick SRT or NDI as the source."
    if problem:
        return "error", problem[0].upper() + problem[1:] + "."
    status = status if isinstance(status, dict) else {}
    state = status.get("state") if kind == "srt" else status.get("receiver_state")
    error = status.get("error") if isinstance(status.get("error"), str) else ""
    if kind == "srt":
        port = settings["srt"]["port"]
        if state is None:
            return "waiting", f"Starting the SRT receiver on port {port}." if running else "The SRT receiver is not running."
        if state == "listening":
            return "waiting", (f"Waiting for a caller on SRT port {port}: send H.264 in MPEG-TS to "
                               f"srt://THIS-MACHINE:{port}?mode=caller.")
        if state == "connecting":
            return "waiting", f"A caller connected on SRT port {port}; waiting for its first picture."
        if state == "connected":
            return "ok", f"Receiving {_size(status)}{_frame_rate(status)} from the SRT caller on port {port}."
        if state == "error":
            return "error", f"SRT receiver: {error or 'error'}."
        return "waiting", f"The SRT receiver is offline (port {port})."
    source = settings["ndi"]["source"]
    if state is None:
        return "waiting", "Starting the NDI receiver." if running else "The NDI receiver is not running."
    if state == "no_source":
        if not sources:
            return "waiting", "No NDI source found: start an NDI sender on this network, then press Refresh."
        return "waiting", f"{len(sources)} NDI source(s) found: pick one."
    if state == "connecting":
        return "waiting", f"Connecting to the NDI source {source!r}."
    if state == "connected":
        return "ok", f"Receiving {_size(status)}{_frame_rate(status)} from the NDI source {source!r}."
    if state == "offline":
        if error:
            return "error", f"The NDI source {source!r} sends no pictures ({error}); retrying."
        return "error", f"The NDI source {source!r} is not on the network; retrying while it is missing."
    if state == "error":
        return "error", f"NDI receiver: {error or 'error'}."
    if state == "stopped":
        return "waiting", "The NDI receiver stopped."
    return "waiting", f"NDI receiver state {state!r}."
