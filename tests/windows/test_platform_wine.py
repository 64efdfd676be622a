"""The receivers' Windows platform layer under wine: a target held open by a reader, clocks, stop
signals, pipe handles and the encoder's path buffer (platform_check.exe prints what failed)."""

from wine_support import started_wine  # noqa: F401 (a fixture, used by every test)
from wine_support import BUILD, run


def test_platform_checks(tmp_path):
    done = run(BUILD / "tests_windows" / "platform_check.exe", cwd=tmp_path)
    out, err = (stream.decode().replace("\r\n", "\n") for stream in (done.stdout, done.stderr))
    assert (done.returncode, out) == (0, "all checks passed\n")
    # The one failure meant to happen: the replacement refused while a reader shares nothing.
    assert err == "Impossible de remplacer held.json: Permission denied\n"
