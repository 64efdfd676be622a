"""Capture: previews of the right size and content, latency records, error frames, frames from a
source left behind, and the statistics line."""

import os
import re

import cv2
import numpy as np
import pytest

from conftest import assert_clean_report, source_line, wait_for

RED_BGR = (0, 0, 255)
# The double's frame: the source's colour, white, black and green quadrants.
QUADRANTS = {"top_left": RED_BGR, "top_right": (255, 255, 255), "bottom_left": (0, 0, 0), "bottom_right": (0, 200, 0)}


def decode(path):
    image = cv2.imdecode(np.frombuffer(path.read_bytes(), np.uint8), cv2.IMREAD_COLOR)
    assert image is not None, "the preview is not a JPEG"
    return image


def quadrant_means(image):
    h, w = image.shape[:2]
    # The middle of each quadrant, away from the edges where the encoder blends colours.
    def mean(cx, cy):
        x0, x1 = max(0, int(cx - w / 8)), max(1, int(cx + w / 8))
        y0, y1 = max(0, int(cy - h / 8)), max(1, int(cy + h / 8))
        return image[y0:y1, x0:x1].reshape(-1, 3).mean(axis=0)
    return {"top_left": mean(w / 4, h / 4), "top_right": mean(3 * w / 4, h / 4),
            "bottom_left": mean(w / 4, 3 * h / 4), "bottom_right": mean(3 * w / 4, 3 * h / 4)}


# (width, height, line stride, rate numerator, denominator): padded and odd sizes, the smallest one
GEOMETRIES = [
    (64, 48, 64 * 4 + 40, 30, 1),
    (33, 17, 33 * 4 + 12, 30000, 1001),
    (160, 90, 160 * 4, 60, 1),
    (1, 1, 4, 25, 1),
]


@pytest.mark.parametrize("width,height,stride,rate_n,rate_d", GEOMETRIES)
def test_selection_connects_and_publishes_the_frame(workspace, run, width, height, stride, rate_n, rate_d):
    workspace.set_control(source_line("cam", None, "ff0000"), source_line("decoy", None, "0000ff"),
                          f"video {width} {height} {stride} {rate_n} {rate_d}")
    workspace.write("ndi_selection.txt", b"cam")
    receiver = run()
    status = receiver.wait_status(lambda s: s["receiver_state"] == "connected", "connected")
    assert [status[k] for k in ("width", "height", "frame_rate_n", "frame_rate_d")] == [width, height, rate_n, rate_d]
    assert status["active_source_name"] == "cam" and status["error"] is None and status["last_frame_at"] > 1e9
    preview = workspace.path("ndi_preview.jpg")
    wait_for(preview.exists, what="preview")
    image = decode(preview)
    assert image.shape == (height, width, 3)
    if width == 1:
        assert np.abs(image[0, 0].astype(int) - RED_BGR).max() <= 24
    else:
        for quadrant, mean in quadrant_means(image).items():
            assert np.abs(mean - QUADRANTS[quadrant]).max() <= 40, (quadrant, mean)
    assert receiver.stop_by_file() == 0
    assert not workspace.path("ndi_preview.tmp.jpg").exists()
    first = receiver.lines(b"Premi")
    assert first == [b"Premi\xc3\xa8re frame vid\xc3\xa9o: %dx%d, frame_rate=%d/%d, timestamp=" % (
        width, height, rate_n, rate_d) + first[0].split(b"timestamp=")[1]]
    assert re.fullmatch(rb"\d{10}\.\d{6}", first[0].split(b"timestamp=")[1])
    assert receiver.lines(b"Match exact trouv") == [b'Match exact trouv\xc3\xa9: s\xc3\xa9lection="cam", finder="cam", url="(absente)"']
    assert receiver.lines(b"Appel ") == [b'Appel NDIlib_recv_connect pour "cam".']
    assert_clean_report(workspace)


LATENCY_KEYS = ["version", "frame_id", "captured_unix_ns", "published_unix_ns", "capture_to_publish_ms",
                "jpeg_mtime_ns", "jpeg_size"]


@pytest.mark.parametrize("value", ["1", "true", "01", None])
def test_latency_records_only_for_exactly_1(workspace, run, value):
    workspace.set_control(source_line("cam"), "video 64 32 0 60 1")
    workspace.write("ndi_selection.txt", b"cam")
    receiver = run(extra_env={} if value is None else {"KANTELLA_DEV_LATENCY": value})
    preview = workspace.path("ndi_preview.jpg")
    latency_path = workspace.path("ndi_latency.json")
    records = []

    def collect():
        record = workspace.document("ndi_latency.json")
        if record is not None and (not records or record != records[-1]):
            records.append(record)
        return len(records) >= 3

    if value == "1":
        wait_for(collect, what="three latency records")
    else:
        # Several previews in turn, each replacing the last: none comes with a record.
        inodes = set()
        wait_for(lambda: (preview.exists() and inodes.add(os.stat(preview).st_ino)) or len(inodes) >= 3,
                 what="three previews")
    assert receiver.stop_by_file() == 0
    assert_clean_report(workspace)
    if value != "1":
        assert not latency_path.exists()
        return
    counts = []
    for record in records:
        assert list(record) == LATENCY_KEYS and record["version"] == 1
        count, published = record["frame_id"].split("-")
        assert int(published) == record["published_unix_ns"]
        counts.append(int(count))
        assert record["jpeg_mtime_ns"] % 1_000_000_000 == 0
        assert abs(record["jpeg_mtime_ns"] - record["published_unix_ns"]) < 5_000_000_000
        assert record["captured_unix_ns"] <= record["published_unix_ns"]
        assert 0 <= record["capture_to_publish_ms"] < 60_000
        assert record["jpeg_size"] > 100
    assert all(c % 6 == 0 for c in counts) and counts == sorted(counts) and len(set(counts)) == len(counts)


def test_error_frame_publishes_error_disconnects_and_reconnects(workspace, run):
    controls = [source_line("cam"), "video 16 16 0 30 1"]
    workspace.set_control(*controls)
    workspace.write("ndi_selection.txt", b"cam")
    receiver = run()
    receiver.wait_status(lambda s: s["receiver_state"] == "connected", "connected")
    workspace.set_control(*controls, "error first")
    status = receiver.wait_status(lambda s: s["receiver_state"] == "error", "error")
    assert status["error"] == "NDI receiver error"
    assert status["active_source_name"] == "cam"
    status = receiver.wait_status(lambda s: s["receiver_state"] == "connected", "connected again")
    assert status["error"] is None
    assert receiver.stop_by_file() == 0
    report = assert_clean_report(workspace)
    assert report["delivered"]["error"] == 1
    cams = [c for c in report["connects"] if c is not None]
    assert len(cams) == 2
    assert len(receiver.lines(b"Premi")) == 1


STATISTICS = re.compile(rb"Capture 5s: video=(\d+) audio=(\d+) metadata=(\d+) none=(\d+) error=(\d+) other=(\d+) "
                        rb"connexions=(-?\d+) \xc3\xa9tat=(\w+)$")


def test_statistics_and_frames_from_a_source_left_behind(workspace, run):
    controls = [source_line("cam"), "video 16 16 0 30 1", "extras 1", "connections 3", "linger 30"]
    workspace.set_control(*controls)
    workspace.write("ndi_selection.txt", b"cam")
    receiver = run()
    line = STATISTICS.match(receiver.wait_line(b"Capture 5s")[0])
    video, audio, metadata, none, error, other, connections = map(int, line.groups()[:7])
    assert video > 0 and abs(audio - video) <= 1 and abs(metadata - video) <= 1
    assert (error, other, connections, line.group(8)) == (0, 0, 3, b"connected")

    # Frames of the source left behind still arrive after the switch: counted, nothing else.
    preview = workspace.path("ndi_preview.jpg")
    wait_for(preview.exists, what="preview")
    workspace.write("ndi_selection.txt", b"not listed")
    receiver.wait_status(lambda s: s["selected_source_name"] == "not listed", "switched")
    published = os.stat(preview)
    workspace.set_control(*controls, "other token 100")
    line = STATISTICS.match(receiver.wait_line(b"Capture 5s", 2)[1])
    video, audio, metadata, none, error, other, connections = map(int, line.groups()[:7])
    assert (video, audio, metadata, error, other, connections, line.group(8)) == (30, 30, 30, 0, 1, 0, b"offline")
    status = receiver.status()
    assert status["width"] == 0 and status["last_frame_at"] is None and status["active_source_name"] is None
    after = os.stat(preview)
    assert (after.st_ino, after.st_mtime_ns) == (published.st_ino, published.st_mtime_ns)
    assert receiver.stop_by_file() == 0
    assert len(receiver.lines(b"Capture 5s")) == 2
    assert_clean_report(workspace)


# (path made unwritable by a folder in its place, latency switch, the report, a file still published)
BLOCKED = [
    ("ndi_status.json", None, b"Impossible de remplacer app/static/ndi_status.json: Permission denied",
     "ndi_preview.jpg"),
    ("ndi_sources.json.tmp", None, b"Impossible d'ouvrir app/static/ndi_sources.json.tmp: Is a directory",
     "ndi_preview.jpg"),
    ("ndi_preview.jpg", None, b"Impossible de remplacer app/static/ndi_preview.jpg: Permission denied",
     "ndi_preview.tmp.jpg"),
    ("ndi_latency.json", "1", b"Impossible de remplacer app/static/ndi_latency.json: Permission denied",
     "ndi_preview.jpg"),
    ("ndi_preview.tmp.jpg", None, b"JPEG preview failed: 16x16 stride=64 HRESULT=0x80070015", "ndi_sources.json"),
]


@pytest.mark.parametrize("blocked,latency,message,published", BLOCKED, ids=[b[0] for b in BLOCKED])
def test_failed_publications_are_reported_and_skipped(workspace, run, blocked, latency, message, published):
    workspace.set_control(source_line("cam"), "video 16 16 0 30 1")
    workspace.write("ndi_selection.txt", b"cam")
    (workspace.static / blocked).mkdir()
    receiver = run(extra_env={"KANTELLA_DEV_LATENCY": latency} if latency else None)
    wait_for(lambda: message in receiver.err, what=f"{message!r}; stderr {receiver.err!r}")
    wait_for(workspace.path(published).exists, what=published)
    if blocked != "ndi_status.json":
        first = receiver.wait_status(lambda s: s["receiver_state"] == "connected", "connected")
        # Frames keep coming through a second of frame time: the loop went on after each failure.
        receiver.wait_status(lambda s: s["last_frame_at"] > first["last_frame_at"] + 1, "frames going on")
    else:
        before = workspace.path("ndi_preview.jpg").stat().st_ino
        wait_for(lambda: workspace.path("ndi_preview.jpg").stat().st_ino != before, what="a later preview")
    assert receiver.stop_by_file() == 0
    assert set(receiver.err) == {message}
    if blocked == "ndi_preview.tmp.jpg":
        assert len(receiver.err) == 3  # the encoder's failure is told three times in the life of the process
    assert_clean_report(workspace)


def test_frames_of_the_source_left_behind_never_pass_for_the_new_ones(workspace, run):
    """After a switch between two listed sources the runtime still hands out the old source's frames
    for a while; every preview published once the switch was taken shows the new source."""
    controls = [source_line("cam", None, "ff0000"), source_line("cam2", None, "0000ff"), "video 16 16 0 30 1",
                "linger 30"]
    workspace.set_control(*controls)
    workspace.write("ndi_selection.txt", b"cam")
    receiver = run()
    preview = workspace.path("ndi_preview.jpg")
    receiver.wait_status(lambda s: s["active_source_name"] == "cam" and s["receiver_state"] == "connected", "cam")
    wait_for(preview.exists, what="the first preview")

    workspace.write("ndi_selection.txt", b"cam2")
    receiver.wait_status(lambda s: s["selected_source_name"] == "cam2", "the switch taken")
    # Whatever stands now was published before the switch was taken.
    seen = {(preview.stat().st_ino, preview.stat().st_mtime_ns)}
    colours = []

    def blue_previews():
        identity = (preview.stat().st_ino, preview.stat().st_mtime_ns)
        if identity not in seen:
            seen.add(identity)
            colours.append(tuple(int(round(c)) for c in quadrant_means(decode(preview))["top_left"]))
        return len(colours) >= 3
    wait_for(blue_previews, what="three previews after the switch")
    for colour in colours:
        assert np.abs(np.array(colour) - (255, 0, 0)).max() <= 40, colours  # blue, in B, G, R
    status = receiver.status()
    assert (status["active_source_name"], status["receiver_state"]) == ("cam2", "connected")
    assert receiver.stop_by_file() == 0
    assert_clean_report(workspace)
