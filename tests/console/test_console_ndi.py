"""The agent's side of lancapture's files, end to end against the runtime double: the source list
from ndi_sources.json, refresh requests through ndi_refresh.request, the pick through
ndi_selection.txt, the status in words and the latency records."""

import json

import pytest

from conftest import LANCAPTURE, NDI_DOUBLE, wait_for

pytestmark = pytest.mark.skipif(not LANCAPTURE.exists() or not (NDI_DOUBLE / "libndi.so.6").exists(),
                                reason="lancapture or its runtime double is not built")


def listed(console):
    return [s["name"] for s in (console.state().get("ndi") or {}).get("sources", [])]


def test_list_refresh_and_selection_through_lancapture(console_factory, monkeypatch):
    monkeypatch.setenv("KANTELLA_DEV_LATENCY", "1")
    console = console_factory({"receiver": "ndi"})
    # Nothing on the network yet: the page says so and what to do.
    text = wait_for(lambda: "No NDI source found" in console.state()["status"]["text"]
                    and console.state()["status"]["text"], "the empty state")
    assert "Refresh" in text

    console.set_sources("CAM A", "BOARD (Scoreboard 1)")
    code, answer = console.call("/api/ndi/refresh", {})
    assert code == 200
    first = (console.static / "ndi_refresh.request").read_bytes()
    wait_for(lambda: listed(console) == ["BOARD (Scoreboard 1)", "CAM A"], "the two sources")
    assert "2 NDI source(s) found" in console.state()["status"]["text"]

    # Each press is a new request: lancapture only acts on a changed file.
    console.set_sources("CAM A", "BOARD (Scoreboard 1)", "CAM C")
    assert console.call("/api/ndi/refresh", {})[0] == 200
    assert (console.static / "ndi_refresh.request").read_bytes() != first
    wait_for(lambda: "CAM C" in listed(console), "the third source")

    code, answer = console.call("/api/ndi/select", {"source": "BOARD (Scoreboard 1)"})
    assert code == 200
    assert (console.static / "ndi_selection.txt").read_bytes() == b"BOARD (Scoreboard 1)"
    state = wait_for(lambda: (s := console.state())["status"]["level"] == "ok" and s, "video from the source")
    assert state["status"]["text"] == "Receiving 320×180 at 30 fps from the NDI source 'BOARD (Scoreboard 1)'."
    assert state["ndi"]["selected"] == "BOARD (Scoreboard 1)"
    latency = wait_for(lambda: console.state()["ndi"]["latency"], "a latency record")
    assert latency["version"] == 1 and latency["frame_id"].split("-")[0].isdigit()
    wait_for(lambda: console.state()["has_preview"], "the first preview")
    # The choice is kept for the next start, and the receiver was not restarted for it.
    assert json.loads(console.settings_path.read_text())["ndi"]["source"] == "BOARD (Scoreboard 1)"
    starts = [e for e in console.events if e.get("event") == "receiver" and e.get("state") == "started"]
    assert len(starts) == 1

    # A source that leaves the network: said in words, and followed again when it is back.
    console.set_sources("CAM A")
    wait_for(lambda: "not on the network" in console.state()["status"]["text"], "the missing source")
    console.set_sources("CAM A", "BOARD (Scoreboard 1)")
    wait_for(lambda: console.state()["status"]["level"] == "ok", "video again")


def test_refresh_is_refused_while_srt_is_the_source(console_factory):
    console = console_factory({"receiver": "srt", "srt": {"port": 9125}})
    code, answer = console.call("/api/ndi/refresh", {})
    assert code == 409 and "NDI" in answer["error"]
    assert not (console.static / "ndi_refresh.request").exists()
