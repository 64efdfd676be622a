"""The pipeline end to end: a scoreboard video with injected faults (glare flashes, a damaged
digit, a field dark for 3 s, a clock that stops, the count from 1:00 into tenths) streamed live
over encrypted SRT into wancapture, started by the stand-in agent under the launcher; the values
the agent puts on air are checked against the values the video showed."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "tools"))

import demo_pipeline  # noqa: E402
import scoreboard_video  # noqa: E402


def test_streamed_board_with_faults_never_puts_a_wrong_value_on_air():
    outcome = demo_pipeline.run(os.environ["TESSARYN_BUILD"], passphrase="scoreboard-e2e-secret",
                                report=lambda line: None)
    demo_pipeline.print_outcome(outcome)
    assert outcome.opened_url and outcome.opened_url.startswith("http://127.0.0.1:")
    assert outcome.launcher_exit == 0
    assert outcome.leftover_pids == []
    # Previews came all through the video, and the frame each one showed is known.
    seen = sorted(outcome.preview_frames.values())
    fps = scoreboard_video.FAULT_FPS
    assert seen and seen[0] < 2 * fps and seen[-1] > len(outcome.frames) - 2 * fps
    assert len(outcome.readings) >= 2 * len(outcome.frames) // fps
    # The faults reached the reader: some preview showed a glare or damaged frame.
    faulted = set(scoreboard_video.GLARE_FRAMES) | set(scoreboard_video.DAMAGED_FRAMES)
    assert faulted & set(seen)

    assert outcome.wrong_on_air == []
    assert outcome.late_changes == []
    assert outcome.blank_problems == []
    # The clock went on air in both modes; the other fields end on the last frame's values.
    clock_values = {r["fields"]["clock"].get("on_air") for r in outcome.readings}
    assert any(":" in str(v) for v in clock_values) and any("." in str(v) for v in clock_values)
    last = outcome.frames[-1].values
    assert {n: s["value"] for n, s in outcome.fields_object.items() if n != "clock"} == {
        n: v for n, v in last.items() if n != "clock"}
    # Once the stream ended every field turned stale, keeping its value, in every output.
    assert outcome.stale_reached
    assert [s["name"] for s in outcome.fields_list] == list(scoreboard_video.FAULT_FIELD_NAMES)
    assert {n: s["state"] for n, s in outcome.fields_object.items()} == {
        n: "stale" for n in scoreboard_video.FAULT_FIELD_NAMES}
    stale = [e for e in outcome.published if all(s["state"] == "stale" for s in e["fields"])]
    assert stale, "the stale states were published without a reading"
