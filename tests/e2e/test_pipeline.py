"""The pipeline end to end: a rendered scoreboard video streamed over encrypted SRT into wancapture,
started by the stand-in agent under the launcher, read zone by zone and compared with the values
drawn."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "tools"))

import demo_pipeline  # noqa: E402


def test_streamed_board_is_read_right_and_nothing_is_left_running():
    outcome = demo_pipeline.run(os.environ["TESSARYN_BUILD"], seconds=6, passphrase="scoreboard-e2e-secret",
                                report=lambda line: None)
    demo_pipeline.print_outcome(outcome)
    assert outcome.opened_url and outcome.opened_url.startswith("http://127.0.0.1:")
    assert outcome.page_state["receiver_status"]["state"] in ("connected", "offline", "listening")
    assert outcome.launcher_exit == 0
    assert outcome.leftover_pids == []
    # A preview at least every other second of video; every field of every preview read, and right.
    assert len(outcome.seconds_seen) >= len(outcome.states) // 2
    assert outcome.total >= 3 * len(outcome.readings) > 0
    assert outcome.right == outcome.total
