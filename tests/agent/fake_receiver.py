"""A receiver for the agent's tests: notes how it was started, publishes the preview named by
FAKE_PREVIEW, and stops on its stop request like the real ones. With FAKE_PREVIEWS (paths joined
by the path separator) and FAKE_PREVIEW_EVERY (seconds) it publishes those previews one after the
other at that spacing instead, then publishes nothing more, as a receiver whose stream stopped.

    fake_receiver.py srt|ndi [receiver options...]
"""

import json
import os
import shutil
import struct
import sys
import time

kind = sys.argv[1]
arguments = sys.argv[2:]
static = os.path.join("app", "static")
stop = os.path.join(static, "srt_stop.request" if kind == "srt" else "ndi_stop.request")
record = {"kind": kind, "argv": arguments, "cwd": os.getcwd(), "stale_stop": os.path.exists(stop)}
if kind == "srt" and os.path.exists(stop):
    os.unlink(stop)  # as wancapture does at start-up
if "--secret-fd" in arguments:
    descriptor = int(arguments[arguments.index("--secret-fd") + 1])
    data = b""
    while True:
        chunk = os.read(descriptor, 4096)
        if not chunk:
            break
        data += chunk
    os.close(descriptor)
    (length,) = struct.unpack(">I", data[:4])
    record["secret_length"] = length
    record["secret"] = data[4:].decode("utf-8")
if kind == "ndi":
    with open(os.path.join(static, "ndi_selection.txt")) as stream:
        record["selection"] = stream.read()
with open(os.environ["FAKE_RECEIVER_RECORD"], "a") as stream:
    stream.write(json.dumps(record) + "\n")

preview = os.path.join(static, "srt_preview.jpg" if kind == "srt" else "ndi_preview.jpg")
sequence = [path for path in os.environ.get("FAKE_PREVIEWS", "").split(os.pathsep) if path]
every = float(os.environ.get("FAKE_PREVIEW_EVERY", "0.2"))


def publish(path):
    shutil.copy(path, preview + ".tmp")
    os.replace(preview + ".tmp", preview)


publish(sequence.pop(0) if sequence else os.environ["FAKE_PREVIEW"])
status = os.path.join(static, "srt_status.json" if kind == "srt" else "ndi_status.json")
with open(status, "w") as stream:
    json.dump({"state": "connected", "error": None}, stream)
print(f"{kind} receiver publishing", flush=True)
next_time = time.monotonic() + every
while not os.path.exists(stop):
    if sequence and time.monotonic() >= next_time:
        publish(sequence.pop(0))
        next_time += every
    time.sleep(0.01)
with open(status, "w") as stream:
    json.dump({"state": "offline", "error": None}, stream)
print(f"{kind} receiver stopped", flush=True)
