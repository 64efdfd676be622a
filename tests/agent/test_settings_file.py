"""The settings rules of the console and of a hand-edited settings file: each bad value is named in
a message and replaced by its default, and the agent keeps running with what it wrote kept beside
the file."""

import json
import math
import os
import stat
import sys
import time
import urllib.request

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "agent"))

from settings_store import DEFAULT_SETTINGS, SettingsStore, public, validate  # noqa: E402
from test_agent import AgentRun, zones  # noqa: E402

GOOD_ZONE = {"name": "home", "role": "home_score", "x": 0.1, "y": 0.1, "width": 0.2, "height": 0.2}


def zone_with(**changes):
    zone = dict(GOOD_ZONE)
    zone.update(changes)
    return {"zones": [zone]}


# (settings as parsed, where the problem is named, a check of the settings in force)
BAD_VALUES = [
    ({"srt": {"port": "9000/udp"}}, "srt.port", lambda s: s["srt"]["port"] == 9000),
    ({"srt": {"port": 0}}, "srt.port", lambda s: s["srt"]["port"] == 9000),
    ({"srt": {"port": 9000.5}}, "srt.port", lambda s: s["srt"]["port"] == 9000),
    ({"srt": {"port": True}}, "srt.port", lambda s: s["srt"]["port"] == 9000),
    ({"srt": {"latency": None}}, "srt.latency", lambda s: s["srt"]["latency"] == 120),
    ({"srt": {"latency": 8001}}, "srt.latency", lambda s: s["srt"]["latency"] == 120),
    ({"srt": {"key_length": 40}}, "srt.key_length", lambda s: s["srt"]["key_length"] == 0),
    ({"srt": {"stream_id": "x" * 513}}, "srt.stream_id", lambda s: s["srt"]["stream_id"] == ""),
    ({"srt": [9000]}, "srt", lambda s: s["srt"] == DEFAULT_SETTINGS["srt"]),
    ({"ndi": "BOARD"}, "ndi", lambda s: s["ndi"] == {"source": ""}),
    ({"ndi": {"source": 7}}, "ndi.source", lambda s: s["ndi"]["source"] == ""),
    ({"receiver": "BOARD"}, "receiver", lambda s: s["receiver"] == "srt"),
    ({"read_interval_ms": 1e20}, "read_interval_ms", lambda s: s["read_interval_ms"] == 250),
    ({"read_interval_ms": float("nan")}, "read_interval_ms", lambda s: s["read_interval_ms"] == 250),
    ({"read_interval_ms": float("inf")}, "read_interval_ms", lambda s: s["read_interval_ms"] == 250),
    ({"read_interval_ms": "fast"}, "read_interval_ms", lambda s: s["read_interval_ms"] == 250),
    ({"zones": {"clock": {}}}, "zones", lambda s: s["zones"] == []),
    (zone_with(x=float("nan")), "zone", lambda s: s["zones"] == []),
    (zone_with(width=-0.1), "zone", lambda s: s["zones"] == []),
    (zone_with(x=0.9, width=0.2), "zone", lambda s: s["zones"] == []),
    (zone_with(role="scoreboard"), "zone", lambda s: s["zones"] == []),
    (zone_with(name="../etc/passwd"), "zone", lambda s: s["zones"][0]["name"] == "home_score"),
    (zone_with(processing={"threshold": "high"}), "processing.threshold",
     lambda s: s["zones"][0]["processing"]["threshold"] == 150),
    (zone_with(processing={"gamma": float("nan")}), "processing.gamma",
     lambda s: s["zones"][0]["processing"]["gamma"] == 1.0),
    (zone_with(processing={"morphology": "OPEN"}), "processing.morphology",
     lambda s: s["zones"][0]["processing"]["morphology"] == "none"),
    (zone_with(processing={"invert": "false"}), "processing.invert",
     lambda s: s["zones"][0]["processing"]["invert"] is False),
    (zone_with(processing={"blur": 2.5}), "processing.blur", lambda s: s["zones"][0]["processing"]["blur"] == 0),
    ([1, 2], "settings", lambda s: s == DEFAULT_SETTINGS),
    ({"live": {"websocket_port": 70000}}, "live", lambda s: s["live"]["websocket_port"] == 0),
]


@pytest.mark.parametrize("raw, where, holds", BAD_VALUES)
def test_each_bad_value_is_named_and_replaced_by_its_default(raw, where, holds):
    settings, problems = validate(raw)
    assert len(problems) == 1, problems
    assert where in problems[0]
    assert holds(settings)
    # Whatever was mended, the result passes the rules unchanged.
    assert validate(settings) == (settings, [])


def test_good_settings_pass_unchanged_and_keep_what_other_units_use():
    raw = {"receiver": "ndi", "srt": {"port": 9001, "latency": 8000, "stream_id": "main", "key_length": 24,
                                      "passphrase": "a" * 10},
           "ndi": {"source": "BOARD (Scoreboard 1)"}, "read_interval_ms": 50,
           "zones": [dict(GOOD_ZONE, processing={"threshold": 99, "profile": "robust", "invert": True})],
           "outputs": {"text_files": True}}
    settings, problems = validate(raw)
    assert problems == []
    assert settings["outputs"] == {"text_files": True}
    assert settings["zones"][0]["processing"] == {"threshold": 99, "profile": "robust", "invert": True}


def test_a_bad_passphrase_is_never_quoted_back_nor_dropped():
    secret = "not-long"
    settings, problems = validate({"srt": {"passphrase": secret}})
    assert len(problems) == 1 and "srt.passphrase" in problems[0] and "not started" in problems[0]
    assert secret not in " ".join(problems)
    # Kept, so that the receiver refuses it rather than receive without encryption.
    assert settings["srt"]["passphrase"] == secret
    shown = public(validate({"srt": {"passphrase": "a-good-passphrase"}})[0])
    assert "passphrase" not in shown["srt"] and shown["srt"]["passphrase_set"] is True


def test_a_hand_written_file_holding_a_passphrase_is_made_private(tmp_path):
    path = tmp_path / "agent-settings.json"
    path.write_text(json.dumps({"srt": {"passphrase": "a-good-passphrase"}}))
    path.chmod(0o644)
    store = SettingsStore(str(path))
    assert store.reload_if_changed() and store.problems == []
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600


def test_a_mended_file_is_kept_beside_the_settings_and_the_new_file_is_private(tmp_path):
    path = tmp_path / "agent-settings.json"
    bad = b'{"srt": {"port": "9000/udp", "passphrase": "a-good-passphrase"}}'
    path.write_bytes(bad)
    store = SettingsStore(str(path))
    assert store.reload_if_changed()
    assert store.settings["srt"]["port"] == 9000
    assert store.rejected_copy and open(store.rejected_copy, "rb").read() == bad
    for kept in (str(path), store.rejected_copy):
        assert stat.S_IMODE(os.stat(kept).st_mode) == 0o600
    assert json.loads(path.read_text())["srt"] == dict(DEFAULT_SETTINGS["srt"], passphrase="a-good-passphrase")
    # Unchanged since: nothing to reload, and the messages stay until the settings are good.
    assert not store.reload_if_changed() and store.problems
    # Saving from the console with None keeps the passphrase in force.
    assert store.save({"srt": {"port": 9002, "passphrase": None}}) == []
    assert store.reload_if_changed() and store.problems == [] and store.rejected_copy is None
    assert store.settings["srt"]["passphrase"] == "a-good-passphrase"
    assert store.save({"srt": {"port": "x"}}) and json.loads(path.read_text())["srt"]["port"] == 9002


# Files as an operator might leave them, written while the agent runs.
BAD_FILES = [
    b'{"srt": {"port": "9000/udp"}, "zones": ZONES}',
    b'{"srt": {"latency": null}, "zones": ZONES}',
    b'{"ndi": "BOARD", "zones": ZONES}',
    b'{"srt": [9000], "zones": ZONES}',
    b'{"read_interval_ms": 1e20, "zones": ZONES}',
    b'{"read_interval_ms": NaN, "zones": ZONES}',
    b'{"receiver": "srt", "zones": ZONES,',
    b'\xff\xfe{}',
    b'[]',
]


def test_bad_files_never_stop_the_agent_and_are_kept(tmp_path):
    good = {"receiver": "srt", "srt": {"port": 9124}, "zones": zones(), "read_interval_ms": 100}
    run = AgentRun(tmp_path, good)
    settings_path = run.folder / "agent-settings.json"
    try:
        url = run.next_event("serving")["url"]
        run.next_event("reading")
        for n, content in enumerate(BAD_FILES):
            content = content.replace(b"ZONES", json.dumps(zones()).encode())
            settings_path.write_bytes(content)
            deadline = time.monotonic() + 30
            while True:
                state = json.loads(urllib.request.urlopen(url + "/api/state", timeout=10).read())
                if state["problems"] and state["rejected_copy"] and (
                        open(state["rejected_copy"], "rb").read() == content):
                    break
                assert time.monotonic() < deadline, f"file {n}: no message; {state['problems']}"
                time.sleep(0.05)
            assert run.process.poll() is None
            if state["problems"][0].startswith("settings file:"):
                # Not JSON: left as it is (an editor may still be writing it), the settings in force kept.
                assert settings_path.read_bytes() == content
                continue
            mended = json.loads(settings_path.read_text())
            assert mended == validate(mended)[0]
            assert not math.isnan(mended["read_interval_ms"]) and mended["read_interval_ms"] <= 10000
        # The agent still reads, and takes good settings again.
        settings_path.write_text(json.dumps(good))
        run.next_event("reading")
        deadline = time.monotonic() + 30
        while json.loads(urllib.request.urlopen(url + "/api/state", timeout=10).read())["problems"]:
            assert time.monotonic() < deadline
            time.sleep(0.05)
    finally:
        assert run.stop() == 0
