"""The tracker's rules as reading sequences and the values they put on air, on a test clock."""

import pytest

from native_ocr.tracker import BoardTracker, clock_parts, is_blank, valid_value

BLANK, FAIL = "BLANK", "FAIL"


def result(role, reading, confidence=0.9):
    """A reader result as the readers shape it, for a value, a dark field or an unreadable one."""
    clock = role in ("clock", "home_penalty_1")
    slots = 4 if clock else 2
    if reading == BLANK:
        items = [{"kind": "digit", "status": "empty", "char": None, "confidence": 0.0}] * slots
        return {"value": None, "valid": False, "reason": "unrecognized" if clock else "missing_units",
                "ocr_items": items}
    if reading == FAIL:
        items = [{"kind": "digit", "status": "unknown", "char": None, "confidence": 0.2}] * slots
        return {"value": None, "valid": False, "reason": "unrecognized" if clock else "missing_units",
                "ocr_items": items}
    items = [{"kind": "digit", "status": "digit", "char": 1, "confidence": confidence}] * slots
    return {"value": reading, "valid": True, "reason": "raw" if clock else "ok", "ocr_items": items}


def play(role, steps, config=None):
    """Feeds (time, reading) steps; returns, per step, (value on air, state) after it."""
    tracker = BoardTracker(config)
    seen = []
    for time, reading in steps:
        tracker.observe("f", role, result(role, reading), time)
        state = tracker.fields(time)[0]
        seen.append((state["value"], state["state"]))
    return seen


def every(period, start, readings):
    return [(start + k * period, reading) for k, reading in enumerate(readings)]


# Each case: role, readings one preview apart (0.2 s), and the (value, state) expected after each.
CASES = {
    "first value needs two agreeing readings": (
        "home_score", [3, 3, 3], [(None, "blank"), (3, "live"), (3, "live")]),
    "an isolated misread is held off": (
        "home_score", [3, 3, 8, 3, 3], [(None, "blank"), (3, "live"), (3, "held"), (3, "live"), (3, "live")]),
    "a goal goes on air one preview after it is first read": (
        "home_score", [3, 3, 4, 4, 4], [(None, "blank"), (3, "live"), (3, "held"), (4, "live"), (4, "live")]),
    "alternating readings never confirm": (
        "guest_score", [5, 5, 6, 7, 6, 7], [(None, "blank"), (5, "live")] + [(5, "held")] * 4),
    "failed readings hold the value, then it is confirmed again": (
        "home_score", [3, 3, FAIL, FAIL, 3], [(None, "blank"), (3, "live"), (3, "held"), (3, "held"), (3, "live")]),
    "a failure between two agreeing readings does not reset the change": (
        "home_score", [3, 3, 4, FAIL, 4], [(None, "blank"), (3, "live"), (3, "held"), (3, "held"), (4, "live")]),
    "out of range values are not readings": (
        "period", [2, 2, 0, 0, 0], [(None, "blank"), (2, "live"), (2, "held"), (2, "held"), (2, "held")]),
    "down above four is refused": (
        "down", [3, 3, 7, 7], [(None, "blank"), (3, "live"), (3, "held"), (3, "held")]),
    "a short dark spell holds the value": (
        "guest_score", [5, 5, BLANK, BLANK, 5], [(None, "blank"), (5, "live"), (5, "held"), (5, "held"), (5, "live")]),
    "a clock at rest changes only on agreeing readings": (
        "clock", ["7:30", "7:30", "7:28", "7:30"], [(None, "blank"), ("7:30", "live"), ("7:30", "held"),
                                                    ("7:30", "live")]),
    "a clock reading whose seconds are 60 or more is refused": (
        "clock", ["7:30", "7:30", "7:75", "7:75"], [(None, "blank"), ("7:30", "live"), ("7:30", "held"),
                                                    ("7:30", "held")]),
}


@pytest.mark.parametrize("name", list(CASES))
def test_reading_sequences(name):
    role, readings, expected = CASES[name]
    assert play(role, every(0.2, 100.0, readings)) == expected


def test_dark_field_goes_blank_after_the_set_time_and_comes_back_confirmed():
    steps = every(0.2, 0.0, [5, 5] + [BLANK] * 16 + [5, 5])   # dark from 0.4 s to 3.6 s
    seen = play("guest_score", steps, {"blank_after_s": 2.0})
    first_blank = seen.index((None, "blank"), 2)
    assert steps[first_blank][0] - steps[2][0] == pytest.approx(2.0)
    assert all(state == (5, "held") for state in seen[2:first_blank])
    assert all(state == (None, "blank") for state in seen[first_blank:18])
    assert seen[18:] == [(None, "blank"), (5, "live")]


def clock_text(tenths):
    if tenths >= 600:
        return f"{tenths // 600}:{tenths // 10 % 60:02d}"
    return f"{tenths // 10}.{tenths % 10}"


def running_clock(start_tenths, seconds, preview=0.2, start=50.0):
    """(time, reading) of a clock counting down from START_TENTHS, read every PREVIEW seconds,
    showing minutes down to one minute and tenths below."""
    steps = []
    for k in range(int(round(seconds / preview))):
        t = k * preview
        left = start_tenths - int(round(t * 10))
        shown = left - left % 10 if left >= 600 else left
        steps.append((start + t, clock_text(shown)))
    return steps


def test_running_clock_follows_each_step_at_once_and_switches_to_tenths_without_flapping():
    tracker = BoardTracker()
    steps = running_clock(650, 10.0)   # 1:05 down to 55.0
    modes, lags, running = [], [], []
    for time, reading in steps:
        tracker.observe("clock", "clock", result("clock", reading), time)
        state = tracker.fields(time)[0]
        modes.append(state["mode"])
        running.append(state["running"])
        assert state["value"] is None or state["value"] == reading \
            or clock_parts(state["value"])[1] > clock_parts(reading)[1]
        lags.append(state["value"] != reading)
    # Until the clock is seen moving, a step waits for one more preview; once it runs, every new
    # value is on air with the preview that first shows it.
    first_running = running.index(True)
    assert steps[first_running][0] - steps[0][0] <= 2.0
    assert not any(lags[first_running:]) and all(running[first_running:])
    assert tracker.fields(steps[-1][0])[0]["running"] is True
    first_tenths = modes.index("tenths")
    assert set(modes[first_tenths:]) == {"tenths"} and "tenths" not in modes[:first_tenths]


def test_clock_misreads_while_running_stay_off_air():
    tracker = BoardTracker()
    steps = running_clock(4500, 6.0)
    on_air = []
    for k, (time, reading) in enumerate(steps):
        if k == 12:
            reading = "7:58"    # a damaged digit: a jump the clock cannot have made
        if k == 20:
            reading = "44.1"    # the separator taken for a decimal point
        tracker.observe("clock", "clock", result("clock", reading), time)
        on_air.append(tracker.fields(time)[0]["value"])
    assert "7:58" not in on_air and "44.1" not in on_air
    assert on_air[-1] == steps[-1][1]


def test_stopped_clock_is_reported_by_time_alone_and_stale_when_previews_stop():
    tracker = BoardTracker({"stale_after_s": 2.0})
    steps = running_clock(900, 3.0, start=0.0)
    for time, reading in steps:
        tracker.observe("clock", "clock", result("clock", reading), time)
    last_time, last = steps[-1]
    assert tracker.fields(last_time)[0]["running"] is True
    # The clock stops: the same value keeps coming.
    stopped_at = None
    for k in range(1, 15):
        t = last_time + 0.2 * k
        changed = tracker.observe("clock", "clock", result("clock", last), t)
        if changed is not None and changed["running"] is False:
            stopped_at = t
            break
    assert stopped_at is not None and stopped_at - last_time <= 1.6 + 1.0
    assert tracker.fields(stopped_at)[0]["state"] == "live"
    # Then no preview at all: one stale change from tick, then nothing more.
    assert tracker.tick(stopped_at + 1.0) == []
    stale = tracker.tick(stopped_at + 2.5)
    assert [(s["name"], s["state"], s["value"]) for s in stale] == [("clock", "stale", last)]
    assert tracker.tick(stopped_at + 3.0) == []
    # A reading brings it back.
    back = tracker.observe("clock", "clock", result("clock", last), stopped_at + 4.0)
    assert back["state"] == "live"


def test_observe_reports_only_changes_of_what_is_published():
    tracker = BoardTracker()
    reports = [tracker.observe("home", "home_score", result("home_score", 3, confidence=c), t)
               for t, c in ((0.0, 0.9), (0.2, 0.8), (0.4, 0.7))]
    assert reports[0]["state"] == "blank"          # a new field is reported once, with nothing on air
    assert reports[1]["value"] == 3 and reports[1]["state"] == "live"
    assert reports[2] is None                      # only raw evidence changed
    state = tracker.fields(1.4)[0]
    assert state == {"name": "home", "role": "home_score", "value": 3, "text": "3", "raw": 3, "raw_valid": True,
                     "confidence": 0.7, "state": "live", "age": 1.0, "running": None, "mode": None}


def test_fields_keep_first_seen_order_and_forget_drops_removed_zones():
    tracker = BoardTracker()
    for name, role in (("clock", "clock"), ("home", "home_score"), ("period", "period")):
        tracker.observe(name, role, result(role, FAIL), 0.0)
    assert [f["name"] for f in tracker.fields(0.0)] == ["clock", "home", "period"]
    assert tracker.fields(0.0)[0]["mode"] is None and tracker.fields(0.0)[0]["running"] is False
    tracker.forget(["period", "clock"])
    assert [f["name"] for f in tracker.fields(0.0)] == ["clock", "period"]


@pytest.mark.parametrize("role, value, ok", [
    ("clock", "12:34", True), ("clock", "5:07", True), ("clock", "45.6", True), ("clock", "9.4", True),
    ("clock", "12:60", False), ("clock", "1:2", False), ("clock", "123:45", False), ("clock", "45.67", False),
    ("clock", 12, False), ("home_penalty_1", "1:30", True),
    ("home_score", 0, True), ("home_score", 99, True), ("home_score", 100, False), ("home_score", -1, False),
    ("home_score", True, False), ("home_score", "12", False),
    ("period", 0, False), ("period", 1, True), ("period", 9, True),
    ("down", 4, True), ("down", 5, False), ("down", 0, False),
    ("home_timeouts", 0, True), ("guest_timeouts", 9, True), ("guest_timeouts", 10, False),
    ("ball_on", 50, True), ("some_other_role", 7, True), ("some_other_role", 12, False),
])
def test_role_validation(role, value, ok):
    assert valid_value(role, value) is ok


@pytest.mark.parametrize("reading, blank", [
    ({"value": None, "valid": False, "reason": "empty"}, True),
    ({"value": None, "valid": False, "reason": "no_frame"}, False),
    (result("clock", BLANK), True), (result("clock", FAIL), False), (result("home_score", 3), False),
])
def test_what_counts_as_a_dark_field(reading, blank):
    assert is_blank(reading) is blank


@pytest.mark.parametrize("config", [{"blank_after": 1}, {"blank_after_s": -1}, {"stale_after_s": float("nan")},
                                    {"confirm_readings": True}])
def test_bad_settings_are_refused(config):
    with pytest.raises(ValueError):
        BoardTracker(config)


def test_a_clock_counting_up_is_followed_too_and_a_step_back_waits_for_confirmation():
    steps = [(k * 0.2, f"0:{10 + k // 5:02d}") for k in range(15)]     # 0:10, 0:11, 0:12 a second each
    steps += [(3.0, "0:12"), (3.2, "0:11"), (3.4, "0:11")]            # the operator sets it back
    seen = play("home_penalty_1", steps)
    assert seen[10] == ("0:12", "live")                               # running: on air with its first reading
    assert seen[5] == ("0:10", "held") and seen[6] == ("0:11", "live")  # from rest: one more preview
    assert seen[-2] == ("0:12", "held") and seen[-1] == ("0:11", "live")
