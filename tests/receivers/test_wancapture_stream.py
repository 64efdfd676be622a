"""wancapture with real SRT callers: previews, status transitions, encryption, refused streams,
stalls, stops and failed publications."""

import os
import signal
import time

import pytest

from conftest import (WAIT, ffmpeg_caller, jpeg_size, secret_pipe, secret_record, wait_for)


def test_callers_come_and_go(receiver_factory, senders):
    r = receiver_factory()
    # Long enough to be still streaming once the receiver says so, however slow the start on a busy machine.
    first = ffmpeg_caller(r.port, size="640x360", rate=30, seconds=8)
    senders.append(first)
    connected = r.wait_status("first caller", state="connected")
    assert (connected["width"], connected["height"]) == (640, 360)
    assert (connected["frame_rate_n"], connected["frame_rate_d"]) == (30, 1)
    assert connected["decoder"] == "native" and connected["error"] is None
    assert abs(connected["last_frame_time"] - time.time()) < 120
    assert jpeg_size(r.preview_path) == (640, 360)
    assert not (r.out / "srt_preview.tmp.jpg").exists()

    # While the caller streams, previews keep coming but never faster than five a second.
    times = set()
    start = time.monotonic()
    while first.poll() is None and time.monotonic() - start < 3.0:
        s = r.status()
        if s["state"] == "connected":
            times.add(s["last_frame_time"])
        time.sleep(0.01)
    elapsed = time.monotonic() - start
    assert len(times) >= 2
    assert len(times) <= 5 * elapsed + 2, (len(times), elapsed)
    first.wait(timeout=WAIT)

    r.wait_line("SRT sender disconnected; listening again")
    left = r.wait_status("after the caller left", state="listening")
    for key in ("width", "height", "frame_rate_n", "frame_rate_d", "decoder"):
        assert left[key] == connected[key], key
    assert left["last_frame_time"] >= connected["last_frame_time"] and left["error"] is None

    second = ffmpeg_caller(r.port, size="320x180", rate=25, seconds=30)
    senders.append(second)
    again = r.wait_status("second caller", state="connected", width=320, height=180)
    assert (again["frame_rate_n"], again["frame_rate_d"]) == (25, 1)
    assert jpeg_size(r.preview_path) == (320, 180)
    r.wait_line("receiving 320x180")
    lines = r.stdout_lines
    assert lines[:5] == ["wancapture listening on 0.0.0.0:%d, latency 120 ms\n" % r.port, "SRT sender connected\n",
                         "decoder: native\n", "receiving 640x360\n", "SRT sender disconnected; listening again\n"]
    assert lines[5:9] == ["wancapture listening on 0.0.0.0:%d\n" % r.port, "SRT sender connected\n",
                          "decoder: native\n", "receiving 320x180\n"]
    assert r.finish(signal.SIGINT) == 0  # while connected
    assert r.stderr() == ""


def test_large_stream_is_downscaled_and_stop_request_ends_it(receiver_factory, senders):
    r = receiver_factory()
    senders.append(ffmpeg_caller(r.port, size="3840x2160", rate=5, seconds=60))
    s = r.wait_status("4K caller", state="connected")
    assert (s["width"], s["height"]) == (1920, 1080)
    assert jpeg_size(r.preview_path) == (1920, 1080)
    r.wait_line("receiving 1920x1080")
    assert r.finish("request") == 0


PASSPHRASE = "tessaryn-secret-42"


@pytest.mark.parametrize("option", ["--secret-handle", "--secret-fd"])
def test_passphrase(receiver_factory, senders, option):
    fd = secret_pipe(secret_record(PASSPHRASE.encode()))
    r = receiver_factory(args=[option, str(fd)], pass_fds=(fd,))

    for wrong in ("not-the-secret-1", None):  # a wrong passphrase, and none at all
        caller = ffmpeg_caller(r.port, seconds=2, passphrase=wrong)
        senders.append(caller)
        s = r.wait_status("mismatch", state="error")
        assert s["error"] == "SRT encryption settings do not match the sender"
        caller.wait(timeout=WAIT)
        # A rejected caller does not end the receiver: it listens again for the right one.
        r.wait_status("listening after a mismatch", state="listening", error=None)
        assert r.proc.poll() is None

    senders.append(ffmpeg_caller(r.port, seconds=30, passphrase=PASSPHRASE))
    r.wait_status("matching caller", state="connected", width=320, height=180)
    assert r.finish() == 0
    for blob in [r.stdout().encode(), r.stderr().encode()] + [p.read_bytes() for p in r.out.iterdir()]:
        assert PASSPHRASE.encode() not in blob


REFUSED_STREAMS = [
    # (codec, container, published error, also on standard error)
    ("libx265", "mpegts", "expected H.264 video", True),
    ("libx264", "h264", "expected an MPEG-TS stream", True),
]


@pytest.mark.parametrize("codec,fmt,error,on_stderr", REFUSED_STREAMS, ids=["hevc-in-ts", "raw-h264"])
def test_wrong_kind_of_stream(receiver_factory, senders, codec, fmt, error, on_stderr):
    r = receiver_factory()
    senders.append(ffmpeg_caller(r.port, codec=codec, fmt=fmt, seconds=3))
    s = r.wait_status("refusal", state="error")
    assert s["error"] == error and s["width"] == 0 and s["last_frame_time"] is None
    if on_stderr:
        r.wait_line(error, stream="stderr")
    r.wait_status("listening again", state="listening", error=None)
    senders.append(ffmpeg_caller(r.port, seconds=30))
    r.wait_status("a proper caller after it", state="connected")
    assert r.finish() == 0


def test_caller_that_stops_sending_stalls(receiver_factory, senders):
    r = receiver_factory()
    caller = ffmpeg_caller(r.port, seconds=60)
    senders.append(caller)
    r.wait_status("caller", state="connected")
    os.kill(caller.pid, signal.SIGSTOP)  # the caller goes quiet without closing
    r.wait_line("SRT sender stalled; listening again")
    s = r.wait_status("listening after the stall", state="listening", error=None)
    assert (s["width"], s["height"], s["decoder"]) == (320, 180, "native")
    assert "disconnected" not in r.stdout()
    os.kill(caller.pid, signal.SIGKILL)
    assert r.finish(signal.SIGTERM) == 0


def test_failed_publications_are_reported_and_skipped(receiver_factory, senders):
    r = receiver_factory()
    blocked_status = r.out / "srt_status.json.tmp"
    blocked_preview = r.out / "srt_preview.tmp.jpg"
    # Folders where the temporary files go stop every write, whoever the test runs as.
    blocked_status.mkdir()
    blocked_preview.mkdir()
    senders.append(ffmpeg_caller(r.port, seconds=60))
    r.wait_line("decoder: native")
    r.wait_line("cannot open out/srt_status.json.tmp", count=2, stream="stderr")  # connecting, decoder
    assert r.status()["state"] == "listening"  # the last document that could be published
    assert not r.preview_path.exists()

    blocked_preview.rmdir()  # previews go out; each one's status document still fails
    wait_for(lambda: r.preview_path.exists(), what="preview while the status is blocked")
    assert jpeg_size(r.preview_path) == (320, 180)
    r.wait_line("cannot open out/srt_status.json.tmp", count=3, stream="stderr")
    assert r.status()["state"] == "listening"

    blocked_status.rmdir()
    s = r.wait_status("first document after the block", state="connected")
    assert (s["width"], s["height"], s["error"]) == (320, 180, None)
    assert r.proc.poll() is None
    assert r.finish() == 0
