"""Finding and binding the runtime, start-up failures, stopping, and the single running copy."""

import os
import shutil
import signal

import pytest

from conftest import (FULL_DOUBLE, INCOMPLETE_DOUBLE, LAST_LINE, START_LINES, assert_clean_report,
                      copy_program_with_runtime, source_line, wait_for)

NOT_FOUND = b"NDI runtime DLL was not found beside lancapture.exe or in NDI_RUNTIME_DIR_V6."
MISSING_ENTRY = b"The NDI runtime is missing a receiver entry point."
NO_INIT = b"Impossible d'initialiser NDI."


def runtime_folder(tmp_path, files):
    folder = tmp_path / "runtime-folder"
    folder.mkdir()
    for name, source in files.items():
        shutil.copy2(source, folder / name)
    return folder


# (runtime folder contents or None for an unset variable, control lines, expected standard error)
START_FAILURES = [
    ("unset", None, [], [NOT_FOUND, NO_INIT]),
    ("empty folder", {}, [], [NOT_FOUND, NO_INIT]),
    ("wrong names only", {"ndi.so": FULL_DOUBLE, "libndi.so.5": FULL_DOUBLE}, [], [NOT_FOUND, NO_INIT]),
    ("missing entry point", {"libndi.so.6": INCOMPLETE_DOUBLE}, [], [MISSING_ENTRY, NO_INIT]),
    ("initialize refused", {"libndi.so.6": FULL_DOUBLE}, ["fail initialize"], [NO_INIT]),
    ("finder refused", {"libndi.so.6": FULL_DOUBLE}, ["fail find_create"], ["Impossible de créer NDI Finder.".encode()]),
    ("receiver refused", {"libndi.so.6": FULL_DOUBLE}, ["fail recv_create"], ["Impossible de créer receiver.".encode()]),
]


@pytest.mark.parametrize("files,control,stderr", [c[1:] for c in START_FAILURES], ids=[c[0] for c in START_FAILURES])
def test_start_failures_exit_1_with_their_messages(workspace, run, tmp_path, files, control, stderr):
    workspace.set_control(*control)
    folder = None if files is None else runtime_folder(tmp_path, files)
    receiver = run(runtime_dir=folder)
    assert receiver.finish() == 1
    assert receiver.err == stderr
    assert receiver.out == []
    assert sorted(os.listdir(workspace.static)) == []
    if "fail" in "".join(control):
        report = workspace.report_data()
        assert report["violations"] == {}
        assert report["outstanding"] == 0
        # A refused initialisation needs no shutdown; after a later failure the runtime is shut down.
        assert report["destroy_calls"] == (0 if control == ["fail initialize"] else 1)
        assert report["finders_created"] == report["finders_destroyed"]
        assert report["receivers_created"] == report["receivers_destroyed"] == 0


# (what lies beside the program, what lies in NDI_RUNTIME_DIR_V6, how the variable ends, the file loaded)
RUNTIME_CHOICES = [
    ("beside wins", {"libndi.so.6": FULL_DOUBLE}, {"libndi.so.6": FULL_DOUBLE}, "", "beside/libndi.so.6"),
    ("beside wins over a broken named one", {"libndi.so.6": FULL_DOUBLE}, {"libndi.so.6": INCOMPLETE_DOUBLE}, "",
     "beside/libndi.so.6"),
    ("beside, second name", {"libndi.so": FULL_DOUBLE}, {"libndi.so.6": FULL_DOUBLE}, "", "beside/libndi.so"),
    ("first name before second", {}, {"libndi.so.6": FULL_DOUBLE, "libndi.so": INCOMPLETE_DOUBLE}, "",
     "named/libndi.so.6"),
    ("named folder, second name only", {}, {"libndi.so": FULL_DOUBLE}, "", "named/libndi.so"),
    ("named folder with a trailing slash", {}, {"libndi.so.6": FULL_DOUBLE}, "/", "named//libndi.so.6"),
]


@pytest.mark.parametrize("beside,named,suffix,loaded", [c[1:] for c in RUNTIME_CHOICES],
                         ids=[c[0] for c in RUNTIME_CHOICES])
def test_runtime_search_order_and_stale_stop_request(workspace, run, tmp_path, beside, named, suffix, loaded):
    program = copy_program_with_runtime(tmp_path / "beside")
    for name, source in beside.items():
        shutil.copy2(source, tmp_path / "beside" / name)
    (tmp_path / "named").mkdir()
    for name, source in named.items():
        shutil.copy2(source, tmp_path / "named" / name)
    runtime_dir = str(tmp_path / "named") + suffix
    workspace.set_control(source_line("cam"))
    # A stop request left from an earlier run stops the program in its first iteration.
    workspace.write("ndi_stop.request", b"stop\n")
    receiver = run(runtime_dir=runtime_dir, program=program)
    assert receiver.finish() == 0, receiver.err
    assert receiver.err == []
    assert workspace.report_data()["library"] == str(tmp_path) + "/" + loaded
    assert_clean_report(workspace)
    assert sorted(os.listdir(workspace.static)) == ["ndi_status.json", "ndi_stop.request"]
    status = receiver.status()
    assert status["receiver_running"] is False and status["receiver_state"] == "stopped"
    assert receiver.out[0] == START_LINES[0] and receiver.out[1].startswith(b"Receiver cr\xc3\xa9\xc3\xa9: 0x")
    assert receiver.out[2] == START_LINES[2]
    assert receiver.out[-2:] == [b"", LAST_LINE]


STOPS = ["file", "SIGTERM", "SIGINT"]


@pytest.mark.parametrize("how", STOPS)
def test_stop_publishes_final_status_and_exits_0(workspace, run, how):
    workspace.set_control(source_line("cam", "192.0.2.7:5961"), "video 32 16 128 30 1", "extras 1")
    workspace.write("ndi_selection.txt", b"cam")
    receiver = run()
    live = receiver.wait_status(lambda s: s["receiver_state"] == "connected", "connected")
    # Two previews in turn: a dozen frames or more went through the capture and back to the runtime.
    previews = set()
    preview = workspace.path("ndi_preview.jpg")
    wait_for(lambda: (preview.exists() and previews.add(os.stat(preview).st_ino)) or len(previews) >= 2,
             what="two previews")
    if how == "file":
        # An empty request is no request: the receiver keeps publishing.
        workspace.write("ndi_stop.request", b"")
        first = receiver.status()["updated_at"]
        receiver.wait_status(lambda s: s["updated_at"] > first and s["receiver_running"], "running on")
        code = receiver.stop_by_file()
    else:
        receiver.proc.send_signal(getattr(signal, how))
        code = receiver.finish()
    assert code == 0, receiver.err
    assert receiver.err == []
    final = receiver.status()
    assert final["receiver_running"] is False
    assert final["receiver_state"] == "stopped"
    assert final["active_source_name"] is None
    assert final["selected_source_name"] == final["selected_source_id"] == "cam"
    assert final["width"] == live["width"] == 32 and final["height"] == 16
    assert final["last_frame_at"] >= live["last_frame_at"]
    assert final["error"] is None
    assert bytes(receiver.raw_out).endswith("\nTessaryn NDI receiver arrêté.\n".encode())
    report = assert_clean_report(workspace)
    assert report["delivered"]["audio"] > 0 and report["delivered"]["metadata"] > 0
    assert report["recv_settings"] == {"source_name": None, "source_url": None, "color_format": 0,
                                       "bandwidth": 100, "allow_video_fields": False,
                                       "name": b"Tessaryn".hex()}
    assert report["find_settings"] is None
    # The last call before shutdown is a disconnect.
    assert report["connects"][-1] is None
    assert [b"cam".hex(), b"192.0.2.7:5961".hex()] in report["connects"]


def test_second_copy_exits_1_and_the_lock_dies_with_its_holder(workspace, run, tmp_path):
    workspace.set_control(source_line("cam"))
    first = run()
    first.wait_started()
    first.wait_status(lambda s: s["receiver_running"], "first copy running")
    second_report = tmp_path / "second.report.json"
    second = run(extra_env={"NDI_DOUBLE_REPORT": str(second_report)})
    assert second.finish() == 1
    assert second.err == [b"Tessaryn NDI receiver is already running."]
    assert second.out == []
    assert not second_report.exists()  # the refused copy never touched the runtime
    assert first.proc.poll() is None
    # A copy that died without cleaning up leaves nothing that blocks the next one.
    first.proc.send_signal(signal.SIGKILL)
    first.finish()
    third = run()
    third.wait_started()
    assert third.stop_by_file() == 0
    assert_clean_report(workspace)
