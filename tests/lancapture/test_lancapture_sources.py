"""Discovery: the sources document with hostile names, selection by exact bytes, refresh requests,
sources that vanish and sources that send nothing."""

import re

from conftest import assert_clean_report, source_line, text

# (name as the runtime gives it, URL address or None)
HOSTILE = [
    (b'quote " and backslash \\', b"10.0.0.1:5961"),
    (b"controls \x01\x08\x09\x0a\x0c\x0d\x1b\x1f end", None),
    (b"del \x7f and e-acute \xc3\xa9 and CJK \xe6\x98\xa0", b"[fe80::1%eth0]:5961"),
    (b"invalid utf-8 \xff\xfe\xc3(", b"\xff"),
    (b"long " + b"x" * 20000, None),
    (b"A", b"u2"),
    (b"A", b"u1"),
    (b"A\x00-cut at the runtime's terminator", None),
]
# Entries without a name are not sources anyone can select.
NAMELESS = [(None, b"10.9.9.9:1"), (b"", b"10.9.9.9:2")]


def listed(entries):
    """What the document must list: named entries, the name cut at its terminator, sorted as bytes."""
    kept = [(name.split(b"\x00")[0], url or b"") for name, url in entries if name]
    return sorted(kept)


def test_hostile_names_give_valid_json_and_select_byte_for_byte(workspace, run):
    workspace.set_control(*[source_line(n, u, "00ff00") for n, u in HOSTILE + NAMELESS])
    receiver = run()
    document = receiver.workspace.document
    sources = receiver.wait_line(b"  Finder[")  # the document is written before its console lines
    doc = document("ndi_sources.json")
    assert list(doc) == ["version", "updated_at", "sources"]
    assert doc["version"] == 1
    expected = listed(HOSTILE)
    assert [(s["name"], s["url_address"]) for s in doc["sources"]] == [
        (text(name), text(url) if url else None) for name, url in expected]
    assert all(s["id"] == s["name"] and s["online"] is True and list(s) == ["id", "name", "url_address", "online"]
               for s in doc["sources"])
    # Bytes from 127 up pass unchanged, control bytes are escaped, the layout is one source a line.
    raw = workspace.path("ndi_sources.json").read_bytes()
    assert b"\\u0001\\b\\t\\n\\f\\r\\u001b\\u001f" in raw and b"\x7f" in raw and b"\xff\xfe" in raw
    assert raw.count(b"\n    {\"id\": ") == len(expected)
    receiver.wait_line(b"  Finder[", len(expected))
    assert receiver.lines(b"%d source(s) NDI d" % len(expected))
    assert sources[0] == b'  Finder[0]: name="A" (1 octets), url="(absente)"'
    long_line = [line for line in receiver.out if b"(20005 octets)" in line]
    assert long_line and long_line[0].endswith(b'url="(absente)"')

    # Each hostile name selects its source exactly, and the status carries it back unchanged.
    for name, _ in HOSTILE[:5]:
        workspace.write("ndi_selection.txt", name)
        status = receiver.wait_status(lambda s, n=name: s["selected_source_name"] == text(n)
                                      and s["receiver_state"] == "connected", f"connected to {name[:30]!r}")
        assert status["active_source_name"] == status["selected_source_id"] == text(name)
        assert receiver.lines(b'Source NDI s\xc3\xa9lectionn\xc3\xa9e: "' + name.split(b"\n")[0])
    assert receiver.stop_by_file() == 0
    report = assert_clean_report(workspace)
    connected = {bytes.fromhex(c[0]) for c in report["connects"] if c is not None}
    assert connected == {name for name, _ in HOSTILE[:5]}


def test_selection_with_a_line_feed_does_not_match(workspace, run):
    workspace.set_control(source_line("cam"))
    workspace.write("ndi_selection.txt", b"cam\n")
    receiver = run()
    status = receiver.wait_status(lambda s: s["receiver_state"] == "offline", "offline")
    assert status["selected_source_name"] == "cam\n" and status["error"] is None
    assert status["active_source_name"] is None
    assert receiver.lines(b'Source NDI s\xc3\xa9lectionn\xc3\xa9e: "cam')[0] == b'Source NDI s\xc3\xa9lectionn\xc3\xa9e: "cam'
    assert b'" (4 octets)' in receiver.out
    assert receiver.stop_by_file() == 0
    assert all(c is None for c in workspace.report_data()["connects"])


def source_list_lines(receiver):
    return len(receiver.lines(b"1 source(s) NDI") + receiver.lines(b"2 source(s) NDI"))


def test_refresh_requests_one_per_change(workspace, run):
    workspace.set_control(source_line("cam"))
    receiver = run()
    receiver.wait_line(b"1 source(s) NDI")
    marker = [0]

    def settle():
        # The selection is read just before the refresh file in the same iteration, and the status
        # is written at its end: once the status shows a new selection, the refresh file written
        # before it has been read.
        marker[0] += 1
        name = f"marker {marker[0]}"
        workspace.write("ndi_selection.txt", name.encode())
        receiver.wait_status(lambda s: s["selected_source_name"] == name, name)

    steps = [(b"1", 1), (b"1", 0), (b"17171717", 1), (None, 1), (None, 0), (b"", 0), (b"x", 1)]
    expected = 1
    for content, refreshes in steps:
        if content is None:
            workspace.path("ndi_refresh.request").unlink(missing_ok=True)
        else:
            workspace.write("ndi_refresh.request", content)
        settle()
        expected += refreshes
        assert source_list_lines(receiver) == expected, (content, receiver.out)
    # An unchanged list is not published again without a request; a changed one is, at the next poll.
    workspace.set_control(source_line("cam"), source_line("cam 2"))
    receiver.wait_line(b"2 source(s) NDI")
    assert receiver.stop_by_file() == 0
    report = assert_clean_report(workspace)
    assert report["wait_timeouts"]["250"] == 4
    assert report["wait_timeouts"]["0"] >= 2


def test_vanishing_source_goes_offline_and_comes_back(workspace, run):
    workspace.set_control(source_line("cam"), source_line("other"))
    workspace.write("ndi_selection.txt", b"cam")
    receiver = run()
    receiver.wait_status(lambda s: s["receiver_state"] == "connected", "connected")
    workspace.set_control(source_line("other"))
    status = receiver.wait_status(lambda s: s["receiver_state"] == "offline", "offline after vanishing")
    assert status["error"] is None and status["active_source_name"] is None
    assert status["selected_source_name"] == "cam"
    sources = workspace.document("ndi_sources.json")["sources"]
    assert [s["name"] for s in sources] == ["other"]
    workspace.set_control(source_line("cam"), source_line("other"))
    receiver.wait_status(lambda s: s["receiver_state"] == "connected", "connected again")
    assert len(receiver.lines(b"Connexion \xc3\xa0 cam...")) == 2
    assert len(receiver.lines(b"Premi")) == 1  # the count restarts only with a new selection
    # Deleting the selection disconnects at once and publishes the start record.
    workspace.path("ndi_selection.txt").unlink()
    status = receiver.wait_status(lambda s: s["receiver_state"] == "no_source", "no_source")
    assert [status[k] for k in ("selected_source_name", "active_source_name", "width", "height", "frame_rate_n",
                                "frame_rate_d", "last_frame_at", "error")] == [None, None, 0, 0, 0, 0, None, None]
    assert receiver.stop_by_file() == 0
    connects = assert_clean_report(workspace)["connects"]
    # connect, disconnect on vanishing, reconnect, disconnect on deselection (and at shutdown)
    assert [c if c is None else bytes.fromhex(c[0]) for c in connects][1:5] == [b"cam", None, b"cam", None]


def test_source_sending_nothing_goes_offline_with_an_error(workspace, run):
    workspace.set_control(source_line("quiet", mode="silent"))
    workspace.write("ndi_selection.txt", b"quiet")
    receiver = run()
    receiver.wait_status(lambda s: s["receiver_state"] == "connecting", "connecting")
    status = receiver.wait_status(lambda s: s["receiver_state"] == "offline", "offline")
    assert status["error"] == "No recent video frames"
    assert status["last_frame_at"] is None
    assert receiver.stop_by_file() == 0
    assert_clean_report(workspace)
    assert re.match(rb"Connexion \xc3\xa0 quiet\.\.\.$", receiver.lines(b"Connexion")[0])
