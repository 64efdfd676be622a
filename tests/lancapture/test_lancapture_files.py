"""What another process may put where lancapture reads its control files and writes its temporary
files: FIFOs, links, devices. None of it may block the receiver's one thread, be read without end or
be written through; a stop signal ends the program whatever stands there."""

import os
import signal

import pytest

from conftest import assert_clean_report, source_line, wait_for


def fifo(path, victim):
    os.mkfifo(path)


def link_to_victim(path, victim):
    os.symlink(victim, path)


def link_to_zero(path, victim):
    os.symlink("/dev/zero", path)


# (the file of app/static that is planted, how, whether a preview is still expected)
PLANTED = [
    ("ndi_selection.txt", fifo, False),
    ("ndi_selection.txt", link_to_zero, False),
    ("ndi_refresh.request", fifo, True),
    ("ndi_refresh.request", link_to_zero, True),
    ("ndi_stop.request", fifo, True),
    ("ndi_stop.request", link_to_zero, True),
    ("ndi_status.json.tmp", fifo, True),
    ("ndi_status.json.tmp", link_to_victim, True),
    ("ndi_sources.json.tmp", fifo, True),
    ("ndi_sources.json.tmp", link_to_victim, True),
    ("ndi_preview.tmp.jpg", fifo, True),
    ("ndi_preview.tmp.jpg", link_to_victim, True),
]


@pytest.mark.parametrize("name,plant,preview", PLANTED, ids=[f"{n}-{p.__name__}" for n, p, _ in PLANTED])
def test_planted_files_neither_block_nor_get_written_through(workspace, run, name, plant, preview):
    workspace.set_control(source_line("cam"), "video 16 16 0 30 1")
    if name != "ndi_selection.txt":
        workspace.write("ndi_selection.txt", b"cam")
    victim = workspace.root / "victim.txt"
    victim.write_bytes(b"untouched")
    plant(workspace.path(name), victim)
    receiver = run()
    receiver.wait_started()
    if preview:
        receiver.wait_status(lambda s: s["receiver_state"] == "connected", "connected")
        wait_for(workspace.path("ndi_preview.jpg").exists, what="a preview")
        wait_for(workspace.path("ndi_sources.json").exists, what="the sources document")
    else:
        # A selection that is no regular file reads as none.
        receiver.wait_status(lambda s: s["receiver_state"] == "no_source", "no source")
    # Documents keep coming: the thread is not stuck on the planted file.
    first = receiver.status()["updated_at"]
    receiver.wait_status(lambda s: s["updated_at"] > first + 1, "a later status")
    receiver.proc.send_signal(signal.SIGTERM)
    assert receiver.finish() == 0
    assert receiver.status()["receiver_state"] == "stopped"
    assert victim.read_bytes() == b"untouched"
    assert_clean_report(workspace)


def test_a_sources_document_that_failed_is_published_on_a_later_poll(workspace, run):
    """The list stays the same, yet the failed publication is tried again until it lands."""
    workspace.set_control(source_line("cam"))
    blocked = workspace.path("ndi_sources.json.tmp")
    blocked.mkdir()
    receiver = run()
    message = b"Impossible d'ouvrir app/static/ndi_sources.json.tmp: Is a directory"
    wait_for(lambda: message in receiver.err, what=f"the failed publication; stderr {receiver.err!r}")
    assert not workspace.path("ndi_sources.json").exists()
    blocked.rmdir()
    wait_for(workspace.path("ndi_sources.json").exists, what="the sources document on a later poll")
    assert [s["name"] for s in workspace.document("ndi_sources.json")["sources"]] == ["cam"]
    assert receiver.stop_by_file() == 0
    assert len(receiver.lines("1 source(s) NDI découverte(s).".encode())) == 1  # the list told once
    assert_clean_report(workspace)
