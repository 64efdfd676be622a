"""wancapture's Windows-only pieces under wine: its own command line and secret intake, the secret
read with ReadFile from an inherited pipe handle (--secret-handle), then one preview encoded through
WIC and put in place by the shared atomic replacement. The network side needs FFmpeg for Windows,
which is not at hand, so a stand-in publishes the preview instead of listening."""

import cv2
import numpy as np
import pytest

from wine_support import started_wine  # noqa: F401 (a fixture, used by every test)
from wine_support import BUILD, TOOL, posix_test_module, run

PROGRAM = BUILD / "tests_windows" / "wancapture_pieces.exe"
POSIX, POSIX_CONFTEST = posix_test_module("receivers", "test_wancapture_cli")
secret_record = POSIX_CONFTEST.secret_record


def text(raw: bytes) -> str:
    # The C runtime writes its text-mode streams with CRLF line ends on Windows.
    return raw.decode().replace("\r\n", "\n")


# Every row ends before the network side would start: a refusal, the usage text or the self-test.
REFUSED = POSIX.REFUSED


@pytest.mark.parametrize("args,code,err", REFUSED, ids=[" ".join(a)[:40] for a, _, _ in REFUSED])
def test_command_line(tmp_path, args, code, err):
    done = run(PROGRAM, *args, cwd=tmp_path)
    assert (done.returncode, text(done.stderr), done.stdout) == (code, err, b"")


@pytest.mark.parametrize("record,err", POSIX.SECRETS, ids=[r.hex()[:24] or "empty" for r, _ in POSIX.SECRETS])
def test_refused_secret_through_a_handle(tmp_path, record, err):
    done = run(TOOL, "secret", record.hex() or "-", PROGRAM, cwd=tmp_path)
    assert (done.returncode, text(done.stderr), done.stdout) == (2, err, b"")
    assert not (tmp_path / "app").exists()


def test_a_handle_that_is_not_open_cannot_be_read(tmp_path):
    done = run(PROGRAM, "--secret-handle", "4242", cwd=tmp_path)
    assert (done.returncode, text(done.stderr)) == (2, POSIX.CANT_READ)


ACCEPTED = [
    # (arguments, passphrase or None for an empty record, the key length handed on)
    ([], None, 0),
    ([], b"k" * 10, 32),
    (["--key-length", "16"], b"k" * 10, 16),
    (["--key-length", "24"], b"\x00\xff" * 40, 24),
    (["--key-length", "16"], b"", 0),
]


@pytest.mark.parametrize("args,passphrase,key_length", ACCEPTED)
def test_accepted_secret_then_a_wic_preview(tmp_path, args, passphrase, key_length):
    (tmp_path / "app" / "static").mkdir(parents=True)
    record = secret_record(passphrase or b"")
    done = run(TOOL, "secret", record.hex(), PROGRAM, *args, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    out = text(done.stdout)
    assert out == f"passphrase bytes={len(passphrase or b'')} key_length={key_length}\npreview written\n"
    if passphrase:
        assert passphrase not in done.stdout + done.stderr
    static = tmp_path / "app" / "static"
    # The temporary twin kept the image extension and is gone once moved over the preview.
    assert sorted(p.name for p in static.iterdir()) == ["srt_preview.jpg"]
    check_preview(static / "srt_preview.jpg")


def check_preview(path):
    raw = path.read_bytes()
    assert raw[:2] == b"\xff\xd8" and raw[-2:] == b"\xff\xd9"
    image = cv2.imdecode(np.frombuffer(raw, np.uint8), cv2.IMREAD_COLOR)
    assert image.shape == (48, 64, 3)
    # R grows to the right, G downwards, B stays 200: the R, G, B rows reached the encoder as B, G, R.
    b, g, r = (int(v) for v in image[40, 60])
    assert abs(r - 240) < 24 and abs(g - 200) < 24 and abs(b - 200) < 24
    b, g, r = (int(v) for v in image[4, 4])
    assert r < 48 and g < 48 and abs(b - 200) < 24


def test_preview_path_without_a_folder_and_its_temporary_name(tmp_path):
    done = run(PROGRAM, "--preview", "srt.jpg", "--status", "out\\srt_status.json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["srt.jpg"]
    check_preview(tmp_path / "srt.jpg")


def test_self_test_passes():
    done = run(PROGRAM, "--self-test")
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")
