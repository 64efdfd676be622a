"""wancapture against input no well-behaved sender makes. Whatever arrives, the status says what
happened, the receiver keeps listening for the next caller, and its memory stays bounded."""

import os
import random
import socket
import struct
import subprocess

import pytest

from conftest import SANITIZED, PipeCaller, encode_ts, ffmpeg_caller, jpeg_size, wait_for

# Without sanitizers the receiver needs a few tens of MiB; the bound leaves room for a 1080p
# decoder and the library's own buffers but not for a frame of the sizes that are refused.
PEAK_MEMORY_KIB = 3 * 1024 * 1024 if SANITIZED else 400 * 1024


@pytest.fixture(scope="module")
def clean_ts(tmp_path_factory):
    return encode_ts(tmp_path_factory.mktemp("ts") / "clean.ts", seconds=3)


def null_packets(count):
    """MPEG-TS padding: valid packets that never carry anything."""
    return (b"\x47\x1f\xff\x10" + b"\xff" * 184) * count


def corrupt(ts: bytes, seed: int) -> bytes:
    """Flips bytes in some packets and cuts others short, as a broken link or muxer would."""
    rng = random.Random(seed)
    out = bytearray()
    for i in range(0, len(ts), 188):
        packet = bytearray(ts[i:i + 188])
        roll = rng.random()
        if roll < 0.15:
            for _ in range(8):
                packet[rng.randrange(len(packet))] = rng.randrange(256)
        elif roll < 0.25:
            packet = packet[:rng.randrange(1, 188)]
        out += packet
    return bytes(out)


def connect(r, senders):
    """A pipe caller the receiver has accepted, so that nothing it is sent goes before the link."""
    accepted = r.stdout().count("SRT sender connected")
    caller = PipeCaller(r.port)
    senders.append(caller)
    r.wait_line("SRT sender connected", count=accepted + 1)
    return caller


def test_hostile_callers(receiver_factory, senders, clean_ts):
    r = receiver_factory()
    seen_errors = set()

    def settle():
        """Waits for the receiver to be listening again and notes which error it showed."""
        def back():
            s = r.status()
            if s["state"] == "error":
                seen_errors.add(s["error"])
            return s["state"] == "listening" and s["error"] is None and r.proc.poll() is None
        wait_for(back, what=f"listening after hostile input; stderr {r.stderr()}")

    # Raw UDP junk at the listening port, shaped like SRT handshakes and not.
    rng = random.Random(7)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        for i in range(400):
            if i % 2:
                datagram = struct.pack(">IIII", 0x80000000, 0, rng.getrandbits(32), 0) + rng.randbytes(rng.randrange(48))
            else:
                datagram = rng.randbytes(rng.randrange(1, 1500))
            udp.sendto(datagram, ("127.0.0.1", r.port))
    assert r.status()["state"] == "listening"

    # A caller that connects and sends nothing: accepted, then given up on.
    silent = connect(r, senders)
    s = r.wait_status("silent caller", state="error")
    assert s["error"] == "could not read the incoming stream"
    silent.close()
    settle()

    # Bytes that are no stream at all.
    garbage = connect(r, senders)
    garbage.send(random.Random(3).randbytes(600 * 1316))
    settle()
    garbage.close()
    settle()

    # A stream announcing frames larger than any the receiver takes.
    huge = connect(r, senders)
    huge.send(encode_ts(r.folder / "huge.ts", size="8208x16", seconds=1))
    s = r.wait_status("oversized stream", state="error")
    assert s["error"] == "video dimensions are not supported"
    huge.close()
    settle()

    # A good start, then only padding: the link stays busy but no packet comes for 5 s.
    padding = connect(r, senders)
    padding.send(clean_ts[: len(clean_ts) // 2])
    r.wait_status("padding caller's first frames", state="connected")
    lines_before = r.stdout().count("SRT sender stalled; listening again")

    def pad_until_stalled():
        padding.send(null_packets(7 * 20), pause=0.02)
        return r.stdout().count("SRT sender stalled; listening again") > lines_before
    wait_for(pad_until_stalled, what="stall while padding keeps arriving")
    padding.close()
    settle()

    # Corrupted and cut packets, interleaved with UDP junk aimed at the live connection.
    for seed in (1, 2, 3):
        broken = connect(r, senders)
        data = corrupt(clean_ts, seed)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            for i in range(0, len(data), 1316 * 40):
                broken.send(data[i:i + 1316 * 40])
                udp.sendto(rng.randbytes(rng.randrange(1, 1400)), ("127.0.0.1", r.port))
        broken.close()
        settle()

    assert seen_errors <= {"could not read the incoming stream", "expected an MPEG-TS stream",
                           "expected H.264 video", "could not decode H.264 video",
                           "video dimensions are not supported"}, seen_errors

    # After all of it, a proper caller is served as usual.
    senders.append(ffmpeg_caller(r.port, seconds=30))
    r.wait_status("a proper caller", state="connected", width=320, height=180)
    assert jpeg_size(r.preview_path) == (320, 180)
    peak = r.peak_memory_kib()
    assert 0 < peak < PEAK_MEMORY_KIB, peak
    assert r.finish() == 0


def test_stop_while_a_caller_is_being_probed(receiver_factory, senders):
    r = receiver_factory()
    connect(r, senders)
    r.request_stop()  # the wait for the caller's first bytes ends at once
    assert r.proc.wait(timeout=10) == 0
    assert r.finish() == 0


def test_a_caller_sending_only_padding_is_refused_and_the_place_freed(receiver_factory, senders):
    """Padding never makes a packet, so the stream is never classified: the stall rule counts from the
    caller's acceptance and classification gives up, instead of "connecting" for as long as it pads."""
    r = receiver_factory()
    padding = connect(r, senders)

    def pad_until_refused():
        if not padding.send(null_packets(7 * 20), pause=0.02):
            return True  # the receiver hung up
        return r.status()["state"] == "error"
    wait_for(pad_until_refused, what=f"the padding caller refused; status {r.status()}")
    s = r.wait_status("padding refused", state="error")
    assert s["error"] == "could not read the incoming stream"
    padding.close()
    r.wait_status("listening again", state="listening")

    senders.append(ffmpeg_caller(r.port, seconds=30))
    r.wait_status("the next caller", state="connected", width=320, height=180)
    assert r.finish() == 0


def many_stream_ts(folder, count):
    """One tiny H.264 stream muxed as `count` streams of one transport stream."""
    one = folder / "one.ts"
    encode_ts(one, size="16x16", rate=5, seconds=2)
    many = folder / "many.ts"
    command = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", str(one)]
    for _ in range(count):
        command += ["-map", "0:v"]
    command += ["-c", "copy", "-f", "mpegts", str(many)]
    subprocess.run(command, check=True)
    return many.read_bytes()


# Without sanitizers; a decoder per announced stream took well over a gigabyte for a few thousand.
MANY_STREAMS_PEAK_KIB = 150 * 1024


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' own memory hides the receiver's")
def test_a_stream_announcing_many_streams_keeps_memory_bounded(receiver_factory, senders, tmp_path):
    data = many_stream_ts(tmp_path, 190)  # about what one program table of the muxer can list
    r = receiver_factory()
    caller = connect(r, senders)
    caller.send(data)
    caller.close()
    r.wait_status("listening again once the caller left", state="listening")
    peak = r.peak_memory_kib()
    assert 0 < peak < MANY_STREAMS_PEAK_KIB, peak
    assert r.finish() == 0
