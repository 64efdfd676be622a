"""The stand-in agent: the secret record, its settings rules, and the agent as a process against
fake receivers that publish a rendered board."""

import json
import os
import signal
import struct
import subprocess
import sys
import time
import urllib.error
import urllib.request

import cv2
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "agent"))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import receivers  # noqa: E402
import scoreboard_video  # noqa: E402
from settings_store import validate  # noqa: E402

AGENT = os.path.join(ROOT, "agent", "tessaryn_agent.py")


@pytest.mark.parametrize("passphrase, problem", [
    (b"", False), (b"a" * 9, True), (b"a" * 10, False), (b"a" * 80, False), (b"a" * 81, True),
    ("é".encode() * 5, False),  # ten bytes in five characters
])
def test_secret_record_and_passphrase_bounds(passphrase, problem):
    record = receivers.secret_record(passphrase)
    assert struct.unpack(">I", record[:4]) == (len(passphrase),)
    assert record[4:] == passphrase
    assert bool(receivers.passphrase_problem(passphrase)) == problem


@pytest.mark.parametrize("srt, descriptor, expected_tail", [
    ({"port": 9000, "latency": 120}, None, []),
    ({"port": 9001, "latency": 200, "stream_id": "main", "key_length": 16}, 7,
     ["--stream-id", "main", "--key-length", "16", "--secret-fd", "7"]),
    ({"port": 9001, "latency": 200, "stream_id": "", "key_length": 0}, None, []),
])
def test_wancapture_command_line(srt, descriptor, expected_tail):
    arguments = receivers.wancapture_arguments(srt, descriptor)
    assert arguments[:8] == ["--port", str(srt["port"]), "--latency", str(srt["latency"]),
                             "--preview", "app/static/srt_preview.jpg", "--status", "app/static/srt_status.json"]
    assert arguments[8:] == expected_tail


@pytest.mark.parametrize("raw, kept, problems", [
    ({"zones": [{"x": 0.1, "y": 0.1, "width": 0.2, "height": 0.2, "role": "period"}]}, ["period"], 0),
    ({"zones": [{"x": "0.1", "y": 0.1, "width": 0.2, "height": 0.2, "role": "period"}]}, [], 1),
    ({"zones": [{"x": True, "y": 0.1, "width": 0.2, "height": 0.2, "role": "period"}]}, [], 1),
    ({"zones": [{"x": 0.1, "y": 0.1, "width": 0.2, "height": 0.2}]}, [], 1),
    # Unusable processing settings are replaced by the defaults; the zone itself is kept.
    ({"zones": [{"x": 0, "y": 0, "width": 1, "height": 1, "role": "period", "processing": []}]}, ["period"], 1),
    ({"zones": [{"x": 0, "y": 0, "width": 1, "height": 1, "role": "home_score"},
                {"x": 0, "y": 0, "width": 1, "height": 1, "role": "home_score"}]}, ["home_score", "home_score_2"], 0),
    ({"zones": "all"}, [], 1),
    ({"receiver": "carrier pigeon"}, [], 1),
    ({"read_interval_ms": 0}, [], 1),
    ([1, 2], [], 1),
])
def test_settings_rules(raw, kept, problems):
    settings, found = validate(raw)
    assert [zone["name"] for zone in settings["zones"]] == kept
    assert len(found) == problems
    assert settings["receiver"] in ("srt", "ndi", "none")


class AgentRun:
    def __init__(self, tmp_path, settings, extra_env=None):
        self.data = tmp_path / "data"
        self.folder = self.data / "Tessaryn"
        self.folder.mkdir(parents=True)
        self.static = self.folder / "runtime" / "app" / "static"
        self.static.mkdir(parents=True)
        self.record = tmp_path / "receivers.jsonl"
        state = scoreboard_video.timeline(6)[5]
        self.truths = state.truths()
        frame, _ = scoreboard_video.render(state)
        self.preview = tmp_path / "board.jpg"
        cv2.imwrite(str(self.preview), frame, [cv2.IMWRITE_JPEG_QUALITY, 75])
        programs = {}
        for kind, name in (("srt", "wancapture"), ("ndi", "lancapture")):
            path = tmp_path / name
            path.write_text(f'#!/bin/sh\nexec {sys.executable} {HERE}/fake_receiver.py {kind} "$@"\n')
            path.chmod(0o755)
            programs[kind] = str(path)
        (self.folder / "agent-settings.json").write_text(json.dumps(settings))
        env = dict(os.environ, LOCALAPPDATA=str(self.data), FAKE_PREVIEW=str(self.preview),
                   FAKE_RECEIVER_RECORD=str(self.record), **(extra_env or {}))
        self.process = subprocess.Popen([sys.executable, AGENT, "--wancapture", programs["srt"],
                                         "--lancapture", programs["ndi"]],
                                        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=str(tmp_path))
        self.events = []

    def next_event(self, wanted, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            line = self.process.stdout.readline()
            if not line:
                break
            event = json.loads(line)  # every line of the agent's output is JSON
            self.events.append(event)
            if event.get("event") == wanted:
                return event
        raise AssertionError(f"no {wanted} event; stderr: {self.process.stderr.read().decode()[-2000:]}")

    def receivers_started(self):
        return [json.loads(line) for line in self.record.read_text().splitlines()]

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.next_event("stopped")
        return self.process.wait(timeout=30)


def zones():
    return scoreboard_video.zones()


def test_agent_serves_reads_and_stops_its_receiver(tmp_path):
    passphrase = "correct horse battery staple"
    run = AgentRun(tmp_path, {"receiver": "srt", "srt": {"port": 9123, "latency": 150, "passphrase": passphrase},
                              "zones": zones(), "read_interval_ms": 100})
    try:
        serving = run.next_event("serving")
        url = (run.folder / "tessaryn-url").read_text()
        assert url == serving["url"]
        assert url.startswith("http://127.0.0.1:") and url.split(":")[-1].isdigit()
        assert (run.folder / "tessaryn-version.txt").read_text().strip()

        reading = run.next_event("reading")
        values = {name: field["value"] for name, field in reading["fields"].items()}
        if reading["fields"]["clock"].get("skipped"):
            del run.truths["clock"], values["clock"]
        assert values == run.truths

        started = run.receivers_started()
        assert len(started) == 1
        assert started[0]["cwd"] == str(run.folder / "runtime")
        assert started[0]["argv"][:4] == ["--port", "9123", "--latency", "150"]
        assert started[0]["secret_length"] == len(passphrase.encode())
        assert started[0]["secret"] == passphrase
        assert passphrase not in " ".join(started[0]["argv"])
        output = [e for e in run.events if e.get("event") == "receiver_output"]
        assert output and output[0]["receiver"] == "wancapture"

        state = json.loads(urllib.request.urlopen(url + "/api/state", timeout=10).read())
        assert state["reading"]["fields"]["home_score"]["value"] == run.truths["home_score"]
        assert urllib.request.urlopen(url + "/preview.jpg", timeout=10).read()[:2] == b"\xff\xd8"
        # A request under another name for the same address is refused.
        request = urllib.request.Request(url + "/api/state", headers={"Host": "rebound.example:80"})
        with pytest.raises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(request, timeout=10)
        assert refused.value.code == 421
    finally:
        assert run.stop() == 0
    stopped = [e for e in run.events if e.get("event") == "receiver" and e.get("state") == "stopped"]
    assert stopped and stopped[0]["exit_code"] == 0, "the receiver ended on its stop request"
    assert (run.static / "srt_stop.request").read_bytes() == b"stop\n"
    assert not (run.folder / "tessaryn-url").exists()


def test_agent_starts_lancapture_without_a_stale_stop_request(tmp_path):
    run = AgentRun(tmp_path, {"receiver": "ndi", "ndi": {"source": "BOARD (Scoreboard 1)"}, "zones": zones()})
    (run.static / "ndi_stop.request").write_text("stop\n")  # left by an earlier quit
    try:
        run.next_event("reading")
        started = run.receivers_started()
        assert started[0]["argv"] == []
        assert started[0]["cwd"] == str(run.folder / "runtime")
        assert started[0]["stale_stop"] is False
        assert started[0]["selection"] == "BOARD (Scoreboard 1)"
    finally:
        assert run.stop() == 0


def test_a_refused_passphrase_is_reported_and_nothing_is_started(tmp_path):
    run = AgentRun(tmp_path, {"receiver": "srt", "srt": {"passphrase": "short"}, "zones": zones()})
    try:
        refused = run.next_event("receiver")
        assert refused["state"] == "refused"
        assert "10 to 80 bytes" in refused["problem"]
        assert not run.record.exists()
    finally:
        assert run.stop() == 0
