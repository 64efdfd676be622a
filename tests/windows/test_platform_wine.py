"""The receivers' Windows platform layer under wine: a target held open by a reader, clocks, stop
signals, pipe handles and the encoder's path buffer (platform_check.exe prints what failed)."""

from wine_support import started_wine  # noqa: F401 (a fixture, used by every test)
from wine_support import BUILD, run


def test_platform_checks(tmp_path):
    done = run(BUILD / "tests_windows" / "platform_check.exe", cwd=tmp_path)
    out, err = (stream.decode().replace("\r\n", "\n") for stream in (done.stdout, done.stderr))
    assert (done.returncode, out) == (0, "all checks passed\n")
    # The shared layer words no message: failures come back typed and each program reports its own.
    assert err == ""
