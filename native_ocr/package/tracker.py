"""Turning per-preview reader results into field values that can go on air.

The readers keep no state: each result describes one preview, and a single misread preview would
go straight to air if results were shown as they come. `BoardTracker` keeps, per field, the value
on air and the evidence behind it, and changes the value only when readings confirm the change.

Pure logic: readings and times go in, field states come out. Times are seconds on any one clock
the caller chooses (the preview's capture time and `now` must come from the same clock); nothing
here reads a clock, a file or the network.

A field state is a dictionary:
    name, role      the zone's name and role
    value           the value on air (clock text, or integer), None when nothing is on air
    text            the value as display text, "" when nothing is on air
    raw             the value of the newest reading, None when it read nothing
    raw_valid       True when the newest reading is a value the role allows
    confidence      the lowest digit confidence of the newest reading (0.0 without digits)
    state           "live"  the newest reading confirms the value on air
                    "held"  the value on air is kept while newer readings fail or disagree
                    "blank" the field has read blank for blank_after_s: nothing on air
                    "stale" no reading arrived for stale_after_s (the value on air is kept)
    age             seconds since a reading last confirmed the value on air (0.0 when none)
    running         clocks only: the value on air moved within the last stopped_after_s
    mode            clocks only: "minutes" (M:SS) or "tenths" (S.t), None before any value
"""

import math
import re

from native_ocr.roles import CLOCK_ROLES, SINGLE_DIGIT_ROLES

DEFAULT_CONFIG = {
    # Agreeing readings that put a change on air when nothing in the field's history explains it.
    "confirm_readings": 2,
    # Agreeing readings for a clock to change between minutes and tenths other than by counting
    # down through the last minute.
    "mode_confirm_readings": 3,
    # Seconds of blank readings after which the field shows nothing (a penalty clock that went out).
    "blank_after_s": 2.0,
    # Seconds without any reading after which every field is "stale".
    "stale_after_s": 2.0,
    # A clock whose value did not move for this long is stopped (minutes and tenths mode).
    "stopped_after_s": 1.6,
    "stopped_after_tenths_s": 0.6,
    # How much later than the field's own timing a running clock's next value may be seen: covers
    # the spacing of previews, which the tracker does not know.
    "step_slack_s": 0.4,
}

_MINUTES = re.compile(r"^(\d{1,2}):(\d{2})$")
_TENTHS = re.compile(r"^(\d{1,2})\.(\d)$")

# Allowed integer ranges of the roles that are not clocks; any role not named reads one digit.
_RANGES = {"period": (1, 9), "down": (1, 4), "home_timeouts": (0, 9), "guest_timeouts": (0, 9)}
_TWO_DIGIT_RANGE = (0, 99)
_ONE_DIGIT_RANGE = (0, 9)


def _is_clock(role):
    return role in CLOCK_ROLES


def clock_parts(text):
    """(mode, tenths of a second) of a clock text, or None when the text is no clock value."""
    if not isinstance(text, str):
        return None
    match = _MINUTES.match(text)
    if match:
        minutes, seconds = int(match.group(1)), int(match.group(2))
        if seconds >= 60:
            return None
        return "minutes", (minutes * 60 + seconds) * 10
    match = _TENTHS.match(text)
    if match:
        return "tenths", int(match.group(1)) * 10 + int(match.group(2))
    return None


def valid_value(role, value):
    """True when VALUE is something the field of ROLE can show."""
    if _is_clock(role):
        return clock_parts(value) is not None
    if isinstance(value, bool) or not isinstance(value, int):
        return False
    if role in _RANGES:
        low, high = _RANGES[role]
    elif role in SINGLE_DIGIT_ROLES:
        low, high = _ONE_DIGIT_RANGE
    elif role in ("home_score", "guest_score", "home_shots", "guest_shots", "to_go", "ball_on",
                  "home_penalty_player_1", "home_penalty_player_2",
                  "guest_penalty_player_1", "guest_penalty_player_2"):
        low, high = _TWO_DIGIT_RANGE
    else:
        low, high = _ONE_DIGIT_RANGE
    return low <= value <= high


def _digit_items(result):
    items = result.get("digit_items")
    if items is None:
        items = [item for item in (result.get("ocr_items") or []) if item.get("kind", "digit") == "digit"]
    return [item for item in items if isinstance(item, dict)]


def is_blank(result):
    """True when the reading found the field dark: every digit slot empty."""
    if result.get("value") is not None:
        return False
    if result.get("reason") == "empty":
        return True
    items = _digit_items(result)
    return bool(items) and all(item.get("status") == "empty" for item in items)


def _confidence(result):
    values = []
    for item in _digit_items(result):
        if item.get("status") == "digit":
            try:
                values.append(float(item.get("confidence", 0.0)))
            except (TypeError, ValueError):
                values.append(0.0)
    return round(min(values), 3) if values else 0.0


class _Field:
    def __init__(self, name, role):
        self.name = name
        self.role = role
        self.clock = _is_clock(role)
        self.value = None            # on air
        self.state = "blank"
        self.confirmed_at = None     # capture time of the last reading that confirmed the value
        self.changed_at = None       # capture time the value on air was first read
        self.moved = False           # the value on air came from a change of a running value
        self.direction = 0           # clocks: -1 counting down, +1 counting up, 0 unknown
        self.raw = None
        self.raw_valid = False
        self.confidence = 0.0
        self.last_seen = None        # capture time of the newest reading
        self.blank_since = None
        self.pending = None          # the change being confirmed: value, count, since, stepped
        self.running = False if self.clock else None

    def mode(self):
        if not self.clock or self.value is None:
            return None
        return clock_parts(self.value)[0]

    def published(self):
        return (self.value, self.state, self.running, self.mode())

    def as_dict(self, now):
        age = 0.0
        if self.confirmed_at is not None and self.value is not None:
            age = round(max(0.0, now - self.confirmed_at), 3)
        return {
            "name": self.name, "role": self.role, "value": self.value,
            "text": "" if self.value is None else str(self.value),
            "raw": self.raw, "raw_valid": self.raw_valid, "confidence": self.confidence,
            "state": self.state, "age": age,
            "running": self.running if self.clock else None,
            "mode": self.mode(),
        }


class BoardTracker:
    """Per-field on-air values from a stream of reader results (see the module text)."""

    def __init__(self, config=None):
        unknown = set(config or {}) - set(DEFAULT_CONFIG)
        if unknown:
            raise ValueError(f"unknown tracker settings: {', '.join(sorted(unknown))}")
        self.config = dict(DEFAULT_CONFIG, **(config or {}))
        for key, value in self.config.items():
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) \
                    or value < 0:
                raise ValueError(f"tracker setting {key} must be a non-negative number")
        for key in ("confirm_readings", "mode_confirm_readings"):
            self.config[key] = max(1, int(self.config[key]))
        self._fields = {}

    # -- clock timing -------------------------------------------------------------------------

    def _stopped_after(self, mode):
        return self.config["stopped_after_tenths_s" if mode == "tenths" else "stopped_after_s"]

    def _step_follows(self, field, old, old_time, new, now, direction):
        """True when clock text NEW, read at NOW, is where a running clock showing OLD since
        OLD_TIME can be: one or more of its steps further in its direction, no more than the time
        passed allows. A change between minutes and tenths only counts down through the last
        minute."""
        old_parts, new_parts = clock_parts(old), clock_parts(new)
        if old_parts is None or new_parts is None:
            return False
        (old_mode, old_tenths), (new_mode, new_tenths) = old_parts, new_parts
        moved = new_tenths - old_tenths
        if moved == 0:
            return False
        if old_mode != new_mode:
            if not (old_mode == "minutes" and new_mode == "tenths" and old_tenths <= 600 and moved < 0):
                return False
        sign = -1 if moved < 0 else 1
        if direction and sign != direction:
            return False
        step = 10 if new_mode == "minutes" else 1
        if abs(moved) % step:
            return False
        return abs(moved) / 10.0 <= (now - old_time) + self.config["step_slack_s"]

    def _is_running(self, field, now):
        if not field.clock or field.value is None or not field.moved or field.changed_at is None:
            return False
        return now - field.changed_at < self._stopped_after(field.mode())

    # -- the rules ----------------------------------------------------------------------------

    def _put_on_air(self, field, value, now, since, moved):
        old = field.value
        if field.clock and old is not None and moved:
            delta = clock_parts(value)[1] - clock_parts(old)[1]
            field.direction = -1 if delta < 0 else 1
        field.value = value
        field.changed_at = since
        field.moved = moved
        field.confirmed_at = now
        field.pending = None

    def _needed(self, field, value):
        """Agreeing readings needed to put VALUE on air without support from the history."""
        if field.value is None:
            return self.config["confirm_readings"]
        if field.clock and clock_parts(value)[0] != field.mode():
            return self.config["mode_confirm_readings"]
        return self.config["confirm_readings"]

    def _valid_reading(self, field, value, now):
        field.blank_since = None
        if value == field.value:
            field.confirmed_at = now
            field.pending = None
            field.state = "live"
            return
        if field.clock and field.value is not None and self._is_running(field, now) \
                and self._step_follows(field, field.value, field.changed_at, value, now, field.direction):
            self._put_on_air(field, value, now, now, True)
            field.state = "live"
            return
        pending = field.pending
        if pending is not None and pending["value"] == value:
            pending["count"] += 1
        elif pending is not None and field.clock and self._step_follows(
                field, pending["value"], pending["since"], value, now, 0):
            # A clock counting through its steps while it is being confirmed.
            pending.update(value=value, count=pending["count"] + 1, since=now, stepped=True)
        else:
            pending = field.pending = {"value": value, "count": 1, "since": now, "stepped": False}
        if pending["count"] >= self._needed(field, value):
            moved = field.clock and (pending["stepped"] or (
                field.value is not None
                and self._step_follows(field, field.value, field.changed_at, value, now, 0)))
            self._put_on_air(field, value, now, pending["since"], bool(moved))
            field.state = "live"
            return
        field.state = "held" if field.value is not None else "blank"

    def _blank_reading(self, field, now):
        field.pending = None
        if field.blank_since is None:
            field.blank_since = now
        if field.value is None:
            field.state = "blank"
        elif now - field.blank_since >= self.config["blank_after_s"]:
            field.value = None
            field.confirmed_at = None
            field.changed_at = None
            field.moved = False
            field.state = "blank"
        else:
            field.state = "held"

    def observe(self, name, role, result, capture_time):
        """Feeds one reader result of field NAME read from a preview captured at CAPTURE_TIME.
        Returns the field's state when what is published (value, state, running, mode) changed,
        else None."""
        field = self._fields.get(name)
        if field is None or field.role != role:
            field = self._fields[name] = _Field(name, role)
            before = None
        else:
            before = field.published()
        now = float(capture_time)
        result = result if isinstance(result, dict) else {}
        raw = result.get("value")
        field.raw = raw
        field.raw_valid = bool(result.get("valid")) and valid_value(role, raw)
        field.confidence = _confidence(result)
        field.last_seen = now
        if field.raw_valid:
            self._valid_reading(field, raw, now)
        elif is_blank(result):
            self._blank_reading(field, now)
        else:
            # Unreadable: keep what is on air and say that it is kept.
            field.state = "held" if field.value is not None else "blank"
        if field.clock:
            field.running = self._is_running(field, now)
        if field.published() != before:
            return field.as_dict(now)
        return None

    def tick(self, now):
        """States changed by time alone: fields gone stale, clocks that stopped moving."""
        changed = []
        for field in self._fields.values():
            before = field.published()
            if field.last_seen is None or now - field.last_seen >= self.config["stale_after_s"]:
                field.state = "stale"
            if field.clock:
                field.running = self._is_running(field, now)
            if field.published() != before:
                changed.append(field.as_dict(now))
        return changed

    def fields(self, now):
        """Every field's state, in the order the fields were first seen."""
        return [field.as_dict(now) for field in self._fields.values()]

    def forget(self, keep_names):
        """Drops every field whose name is not in KEEP_NAMES (zones the operator removed)."""
        keep = set(keep_names)
        for name in [name for name in self._fields if name not in keep]:
            del self._fields[name]
