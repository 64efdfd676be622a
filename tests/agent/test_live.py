"""The agent's live outputs: the settings and file-name rules, the preview watch, and the running
agent against real HTTP and WebSocket clients while a fake receiver publishes a changing board."""

import asyncio
import http.client
import json
import os
import sys
import threading
import time
import urllib.request

import cv2
import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "agent"))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import scoreboard_video  # noqa: E402
from live_outputs import file_names, live_settings  # noqa: E402
from preview_watch import PreviewWatch  # noqa: E402
from test_agent import AgentRun  # noqa: E402


@pytest.mark.parametrize("names, expected", [
    (["clock", "home_score"], ["clock.txt", "home_score.txt"]),
    (["../../etc/passwd", "a/b", "a_b"], ["______etc_passwd.txt", "a_b.txt", "a_b_2.txt"]),
    (["", "été"], ["field.txt", "_t_.txt"]),
])
def test_field_file_names_stay_inside_their_folder(names, expected):
    got = file_names(names)
    assert [got[name] for name in names] == expected
    assert all("/" not in name and not name.startswith(".") for name in got.values())


@pytest.mark.parametrize("given, port, tracker, problems", [
    ({}, 0, {}, 0),
    ({"live": {"websocket_port": 8765, "tracker": {"blank_after_s": 1.5}}}, 8765, {"blank_after_s": 1.5}, 0),
    ({"live": {"websocket_port": 70000}}, 0, {}, 1),
    ({"live": {"websocket_port": True}}, 0, {}, 1),
    ({"live": {"tracker": {"blank_after_s": -1, "flicker": 2}}}, 0, {}, 2),
    ({"live": {"text_files": "yes"}}, 0, {}, 1),
    ({"live": []}, 0, {}, 1),
])
def test_live_settings_rules(given, port, tracker, problems):
    live, found = live_settings(given)
    assert (live["websocket_port"], live["tracker"], len(found)) == (port, tracker, problems)


@pytest.mark.parametrize("use_inotify", [True, False])
def test_preview_watch_wakes_on_a_replaced_preview_and_only_then(tmp_path, use_inotify):
    preview = tmp_path / "srt_preview.jpg"
    preview.write_bytes(b"one")
    watch = PreviewWatch(use_inotify=use_inotify)
    watch.watch(str(preview))
    if use_inotify and watch.mechanism != "inotify":
        pytest.skip("no inotify here")
    (tmp_path / "srt_status.json").write_text("{}")      # another file of the folder
    assert watch.wait(0.1) is False
    woke = []
    thread = threading.Thread(target=lambda: woke.append(watch.wait(10)))
    thread.start()
    (tmp_path / "srt_preview.jpg.tmp").write_bytes(b"two!")
    os.replace(tmp_path / "srt_preview.jpg.tmp", preview)
    thread.join(15)
    assert woke == [True]
    watch.close()


class Listener:
    """A WebSocket client on its own thread, keeping every message it receives."""

    def __init__(self, url):
        import websockets

        self.messages = []
        self.error = None
        self._connected = threading.Event()
        self._loop = asyncio.new_event_loop()

        async def listen():
            try:
                async with websockets.connect(url, open_timeout=10) as connection:
                    self._connected.set()
                    async for message in connection:
                        self.messages.append(json.loads(message))
            except Exception as error:  # noqa: BLE001 - reported by the test
                self.error = error
                self._connected.set()

        self._task = None
        self._thread = threading.Thread(target=lambda: self._loop.run_until_complete(listen()), daemon=True)
        self._thread.start()
        assert self._connected.wait(15) and self.error is None, self.error

    def wait_for(self, condition, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for message in list(self.messages):
                if condition(message):
                    return message
            time.sleep(0.02)
        raise AssertionError(f"no such message; got {self.messages[-5:]}")


def on_air(message):
    return {state["name"]: state for state in message.get("fields", [])}


def test_running_agent_publishes_confirmed_values_over_http_websocket_and_files(tmp_path):
    states = scoreboard_video.timeline(8)
    first, second = states[5], states[7]
    previews = []
    for k, state in enumerate([first] * 3 + [second] * 3):
        path = tmp_path / f"preview-{k}.jpg"
        cv2.imwrite(str(path), scoreboard_video.render(state)[0], [cv2.IMWRITE_JPEG_QUALITY, 80])
        previews.append(str(path))
    settings = {"receiver": "srt", "zones": scoreboard_video.zones(),
                "live": {"tracker": {"stale_after_s": 1.0}}}
    run = AgentRun(tmp_path, settings, {"FAKE_PREVIEWS": os.pathsep.join(previews), "FAKE_PREVIEW_EVERY": "0.3"})
    try:
        serving = run.next_event("serving")
        assert serving["preview_watch"] in ("inotify", "poll")
        listener = Listener(serving["websocket"])
        snapshot = listener.wait_for(lambda m: m["type"] == "snapshot")
        assert isinstance(snapshot["fields"], list)

        # Every value of the second board goes on air, confirmed; no value of neither board ever does.
        truths = second.truths()
        done = listener.wait_for(lambda m: all(
            s.get("value") == truths[name] for name, s in current(listener).items() if name in truths)
            and len(current(listener)) == len(truths))
        assert done
        for message in listener.messages:
            for state in message["fields"]:
                if state["value"] is not None:
                    assert state["value"] in (first.truths()[state["name"]], truths[state["name"]]), state

        url = serving["url"]
        answer = urllib.request.urlopen(url + "/api/fields", timeout=10)
        assert answer.headers["Access-Control-Allow-Origin"] == "*"
        by_name = json.loads(answer.read())
        assert {name: state["value"] for name, state in by_name.items()} == truths
        as_list = json.loads(urllib.request.urlopen(url + "/api/fields/list", timeout=10).read())
        assert [state["name"] for state in as_list] == [zone["name"] for zone in settings["zones"]]
        assert set(as_list[0]) == {"name", "role", "value", "text", "raw", "raw_valid", "confidence", "state",
                                   "age", "running", "mode"}
        texts = json.loads(urllib.request.urlopen(url + "/api/fields/text", timeout=10).read())
        assert texts == {name: str(value) for name, value in truths.items()}
        live = json.loads(urllib.request.urlopen(url + "/api/live", timeout=10).read())
        assert live["websocket"] == serving["websocket"] and live["websocket_clients"] == 1
        for name, value in truths.items():
            assert (run.folder / "fields" / f"{name}.txt").read_text() == str(value)

        # The receiver publishes nothing more: every field turns stale, pushed without a request.
        listener.wait_for(lambda m: m["type"] == "change" and any(s["state"] == "stale" for s in m["fields"]))
        listener.wait_for(lambda m: all(s["state"] == "stale" for s in current(listener).values()))
        assert {state["value"] for state in current(listener).values()} == set(truths.values())

        # The WebSocket port refuses requests under another host name, as the page does.
        port = int(serving["websocket"].rsplit(":", 1)[1].strip("/"))
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        connection.request("GET", "/", headers={"Host": "rebound.example", "Upgrade": "websocket",
                                                "Connection": "Upgrade", "Sec-WebSocket-Version": "13",
                                                "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ=="})
        assert connection.getresponse().status == 421
    finally:
        assert run.stop() == 0
    published = [e for e in run.events if e.get("event") == "published"]
    assert published and all(isinstance(e["fields"], list) for e in published)


def current(listener):
    """The newest state of every field from the snapshot and the changes received so far."""
    fields = {}
    for message in list(listener.messages):
        fields.update(on_air(message))
    return fields


class StubReaders:
    """Readers that note the zone they were given and read 3 everywhere."""

    def __init__(self):
        self.zones = []

    def _read(self, zone, frame):
        self.zones.append(zone)
        return {"value": 3, "valid": True, "reason": "ok", "ocr_items": []}

    read_score_from_image = read_period_from_image = read_single_digit_from_image = read_clock_from_image = _read


def test_zones_without_settings_are_calibrated_once_and_failures_do_not_stop_reading(tmp_path):
    from field_reading import FieldReader

    zones = [{"name": "home", "role": "home_score", "x": 0.1, "y": 0.1, "width": 0.2, "height": 0.2},
             {"name": "guest", "role": "guest_score", "x": 0.5, "y": 0.1, "width": 0.2, "height": 0.2},
             {"name": "period", "role": "period", "x": 0.4, "y": 0.5, "width": 0.1, "height": 0.2,
              "processing": {"threshold": 90}}]
    asked, problems = [], []

    def suggest_processing(image, zone):
        asked.append(zone["name"])
        if zone["name"] == "guest":
            raise ValueError("nothing to calibrate on")
        return {"threshold": 123}

    readers = StubReaders()
    reader = FieldReader(readers, str(tmp_path / "snapshot.jpg"), emit=problems.append)
    reader.suggest_processing = suggest_processing
    preview = tmp_path / "preview.jpg"
    for shade in (40, 80):
        frame = np.full((90, 160, 3), shade, np.uint8)
        cv2.imwrite(str(tmp_path / "next.jpg"), frame)
        os.replace(tmp_path / "next.jpg", preview)
        reading = reader.read_if_new(str(preview), zones)
        assert reading["frame"] == [160, 90] and set(reading["fields"]) == {"home", "guest", "period"}
        assert [result["value"] for _, _, result in reader.results] == [3, 3, 3]
    assert asked == ["home", "guest"]          # once per zone; the operator's own settings stay
    assert [z.get("processing") for z in readers.zones] == [{"threshold": 123}, None, {"threshold": 90}] * 2
    assert [p["event"] for p in problems] == ["calibration_problem"] and problems[0]["zone"] == "guest"
    # An edited zone is a new zone.
    zones[0] = dict(zones[0], width=0.25)
    cv2.imwrite(str(tmp_path / "next.jpg"), np.zeros((90, 160, 3), np.uint8))
    os.replace(tmp_path / "next.jpg", preview)
    reader.read_if_new(str(preview), zones)
    assert asked == ["home", "guest", "home"]
    assert not os.path.exists(tmp_path / "snapshot.jpg"), "no file is written when every reader takes a frame"


def test_text_files_held_open_by_a_reader_are_written_once_it_lets_go(tmp_path, monkeypatch):
    import live_outputs

    real_replace = os.replace
    refusals = {"left": 7}   # more than one round of quick retries

    def replace(source, target):
        if refusals["left"] > 0:
            refusals["left"] -= 1
            raise PermissionError("the file is open in another program")
        real_replace(source, target)

    monkeypatch.setattr(live_outputs.os, "replace", replace)
    writer = live_outputs._TextWriter()
    path = str(tmp_path / "clock.txt")
    writer.put(path, "1:00")
    writer.put(path, "59.9")       # overtakes the first text before its turn, or after it
    deadline = time.monotonic() + 10
    while (not os.path.exists(path) or open(path).read() != "59.9") and time.monotonic() < deadline:
        time.sleep(0.02)
    writer.stop()
    assert open(path).read() == "59.9" and refusals["left"] == 0
    assert not os.path.exists(path + ".tmp")
