"""wancapture's command line and secret record, as a starter sees them: exit code and message."""

import os
import subprocess

import pytest

from conftest import USAGE, WAIT, WANCAPTURE, Receiver, secret_pipe, secret_record, wait_for

CANT_READ = "Can't read this source\n"
BAD_LENGTH = "Invalid passphrase length\n"

REFUSED = [
    # (arguments, exit code, standard error)
    (["--help"], 0, USAGE),
    (["--port", "0", "--self-test"], 0, ""),
    (["--self-test", "--bogus"], 0, ""),
    (["--stream-id", "--self-test", "--port", "0"], 2, USAGE),  # the option's value, not the self-test
    (["--port", "0"], 2, USAGE),
    (["--port", "65536"], 2, USAGE),
    (["--port", "4294968296"], 2, USAGE),  # not port 1000 by wrapping
    (["--port", "abc"], 2, USAGE),
    (["--latency", "0"], 2, USAGE),
    (["--latency", "8001"], 2, USAGE),
    (["--port"], 2, USAGE),
    (["--bogus"], 2, USAGE),
    (["--PORT", "9000"], 2, USAGE),
    (["--preview", "app/static/ndi_preview.jpg"], 2, USAGE),
    (["--preview", "C:\\x\\preview.jpg"], 2, USAGE),
    (["--preview", ""], 2, USAGE),
    (["--status", "working_preview.jpg"], 2, USAGE),
    (["--status", "app/static/ndi_status.json"], 2, USAGE),
    (["--secret-fd", "-2"], 2, USAGE),
    (["--secret-handle", "-2"], 2, USAGE),
    (["--key-length", "40"], 2, "Unsupported SRT key length\n"),
    (["--stream-id", "s" * 513], 2, "Stream ID is too long\n"),
    (["--stream-id", "s" * 513, "--key-length", "40", "--port", "0"], 2, "Stream ID is too long\n"),
    (["--key-length", "40", "--port", "0"], 2, "Unsupported SRT key length\n"),
    (["--secret-fd", "57"], 2, CANT_READ),  # a descriptor that is not open
    # Standard output and error cannot be read from here; the refusal must still reach standard error.
    (["--secret-fd", "1"], 2, CANT_READ),
    (["--secret-fd", "2"], 2, CANT_READ),
]


@pytest.mark.parametrize("args,code,err", REFUSED, ids=[" ".join(a)[:40] for a, _, _ in REFUSED])
def test_command_line(tmp_path, args, code, err):
    done = subprocess.run([WANCAPTURE, *args], cwd=tmp_path, capture_output=True, timeout=WAIT)
    assert (done.returncode, done.stderr.decode(), done.stdout) == (code, err, b"")


SECRETS = [
    # (record on the descriptor, standard error)
    (secret_record(b"x" * 81), CANT_READ),        # announced length above 80, not the length message
    (secret_record(b"", announced=100000), CANT_READ),
    (secret_record(b"y" * 9), BAD_LENGTH),
    (secret_record(b"z"), BAD_LENGTH),
    (b"\0\0", CANT_READ),                          # the length itself is cut short
    (b"", CANT_READ),
    (secret_record(b"w" * 15, announced=20), CANT_READ),
]


@pytest.mark.parametrize("option", ["--secret-fd", "--secret-handle"])
@pytest.mark.parametrize("record,err", SECRETS, ids=[f"{len(r)}B-{e.strip()[:12]}" for r, e in SECRETS])
def test_refused_secret(tmp_path, option, record, err):
    fd = secret_pipe(record)
    try:
        done = subprocess.run([WANCAPTURE, option, str(fd)], cwd=tmp_path, capture_output=True, pass_fds=(fd,),
                              timeout=WAIT)
    finally:
        os.close(fd)
    assert (done.returncode, done.stderr.decode(), done.stdout) == (2, err, b"")
    assert not (tmp_path / "app").exists()


def test_defaults_listen_on_9000(tmp_path):
    (tmp_path / "app" / "static").mkdir(parents=True)
    proc = subprocess.Popen([WANCAPTURE], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    status = tmp_path / "app" / "static" / "srt_status.json"
    try:
        wait_for(lambda: status.exists(), what="default status document")
        (tmp_path / "app" / "static" / "srt_stop.request").write_text("")  # empty still stops
        out, err = proc.communicate(timeout=WAIT)
    finally:
        proc.kill()
    assert proc.returncode == 0, err
    assert out.decode() == "wancapture listening on 0.0.0.0:9000, latency 120 ms\nwancapture stopped\n"
    assert '"port": 9000,' in status.read_text()


STARTS = [
    # (arguments, record on a pipe or None, how the record is handed over)
    (["--key-length", "16", "--latency", "8000"], None, None),  # a key length without a secret does nothing
    ([], secret_record(b""), "--secret-fd"),                    # length 0: no encryption
    ([], secret_record(b""), "stdin"),                          # descriptor 0 is allowed
    (["--key-length", "24"], secret_record(b"k" * 80), "--secret-handle"),
    (["--stream-id", "s" * 512], secret_record(b"k" * 10), "--secret-fd"),
]


@pytest.mark.parametrize("args,record,via", STARTS, ids=["keylen-alone", "empty-fd", "empty-stdin", "80B-handle",
                                                           "10B-streamid"])
def test_accepted_start_and_stop(tmp_path, args, record, via):
    (tmp_path / "out").mkdir()
    stale = tmp_path / "out" / "srt_stop.request"
    stale.write_text("stop\n")  # left from an earlier run: deleted at start-up, not obeyed
    pass_fds, stdin, extra = (), subprocess.DEVNULL, []
    if via == "stdin":
        stdin, extra = secret_pipe(record), ["--secret-fd", "0"]
    elif via is not None:
        fd = secret_pipe(record)
        pass_fds, extra = (fd,), [via, str(fd)]
    r = Receiver(tmp_path, args=[*args, *extra], pass_fds=pass_fds, stdin=stdin)
    try:
        assert r.status()["state"] == "listening"
        assert not stale.exists()
        assert r.finish() == 0
        if record:
            secret = record[4:]
            for blob in (r.stdout().encode(), r.stderr().encode(), r.status_path.read_bytes()):
                assert not secret or secret not in blob
    finally:
        r.kill()
        if via == "stdin":
            os.close(stdin)


# Records the SRT library cannot be given whole: it takes a C string, so a NUL byte cuts it (to 3
# bytes, which it refuses, and to nothing, which would mean no encryption at all). Listening again
# would meet the same refusal for ever; the refusal is fatal, as a local one.
LOCALLY_REFUSED = [
    (b"abc\0defghijk", "SRT encryption settings do not match the sender"),
    (b"\0" * 12, "SRT encryption settings do not match the sender"),
]


@pytest.mark.parametrize("record,error", LOCALLY_REFUSED, ids=["nul-after-3", "all-nul"])
def test_a_passphrase_the_library_refuses_locally_ends_the_receiver(tmp_path, record, error):
    fd = secret_pipe(secret_record(record))
    r = Receiver(tmp_path, args=["--secret-fd", str(fd)], pass_fds=(fd,))
    try:
        assert r.proc.wait(timeout=WAIT) == 0
        for t in r._readers:
            t.join(timeout=5)
        assert r.stdout_lines[-1] == "wancapture stopped\n", r.stdout()
        assert r.stdout().count("wancapture listening on") == 1, r.stdout()
        final = r.status()
        assert (final["state"], final["error"]) == ("offline", error), final
    finally:
        r.kill()
