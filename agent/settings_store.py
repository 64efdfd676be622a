"""Zones and settings, kept in one JSON file that the console writes and an operator may edit.

Every value is checked here and nowhere else: the console's saves, a hand-edited file and the file
found at start-up all go through `validate`. A bad value is reported in words and replaced by its
default; a zone that cannot be read is left out. Nothing the user wrote is lost: a file that needed
mending is kept beside the settings file before the mended settings replace it.
"""

import copy
import json
import math
import numbers
import os
import re
import stat
import threading
import time

from agent_files import file_identity, write_atomically

from native_ocr.roles import KNOWN_ROLES

RECEIVERS = ("srt", "ndi", "none")

DEFAULT_SETTINGS = {
    "receiver": "srt",
    "srt": {"port": 9000, "latency": 120, "stream_id": "", "key_length": 0, "passphrase": ""},
    "ndi": {"source": ""},
    "read_interval_ms": 250,
    "zones": [],
}

# The processing settings a zone may carry: (default, low, high) for numbers, the names for the
# morphology, None for the truth values. Other keys (such as a reading profile) are passed through.
PROCESSING_RULES = {
    "threshold": ("int", 150, 0, 255),
    "contrast": ("float", 1.0, 0.2, 4.0),
    "brightness": ("int", 0, -150, 150),
    "gamma": ("float", 1.0, 0.2, 3.0),
    "rotation": ("float", 0.0, -15.0, 15.0),
    "blur": ("int", 0, 0, 15),
    "morphology": ("choice", "none", ("none", "dilate", "erode", "close", "open")),
    "morph_size": ("int", 1, 1, 9),
    "grayscale": ("bool", True),
    "binarize": ("bool", True),
    "invert": ("bool", False),
}

READ_INTERVAL_MS = (50, 10000)
PORT = (1, 65535)
LATENCY_MS = (1, 8000)
KEY_LENGTHS = (0, 16, 24, 32)
PASSPHRASE_BYTES = (10, 80)
STREAM_ID_BYTES = 512
# Zone names become keys of the published readings and names of files; they stay plain.
ZONE_NAME = re.compile(r"[A-Za-z0-9_-]{1,40}\Z")
# A settings file larger than this is not something the console wrote.
MAX_FILE_BYTES = 1 << 20


def _shown(value):
    """A value as the user wrote it, short enough for a message."""
    try:
        text = json.dumps(value)
    except (TypeError, ValueError):
        text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _number(value):
    """The value as a finite real number, or None (truth values and texts are not numbers)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        return None
    value = float(value) if not isinstance(value, int) else value
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def _whole(value):
    number = _number(value)
    if number is None or number != int(number):
        return None
    return int(number)


class _Checker:
    def __init__(self):
        self.problems = []

    def problem(self, where, message):
        self.problems.append(f"{where}: {message}")

    def whole_in(self, where, value, low, high, default):
        number = _whole(value)
        if number is None or not low <= number <= high:
            self.problem(where, f"{_shown(value)} is not a whole number from {low} to {high}; {default} is used")
            return default
        return number

    def choice(self, where, value, choices, default):
        if isinstance(value, str) and value in choices:
            return value
        self.problem(where, f"{_shown(value)} is not one of {', '.join(map(str, choices))}; {_shown(default)} is used")
        return default

    def section(self, where, value, default):
        """An object section: the defaults with the given keys over them."""
        if not isinstance(value, dict):
            self.problem(where, f"{_shown(value)} is not an object of settings; the defaults are used")
            return copy.deepcopy(default)
        merged = copy.deepcopy(default)
        merged.update(value)
        return merged

    def srt(self, value):
        srt = self.section("srt", value, DEFAULT_SETTINGS["srt"])
        defaults = DEFAULT_SETTINGS["srt"]
        srt["port"] = self.whole_in("srt.port", srt["port"], *PORT, defaults["port"])
        srt["latency"] = self.whole_in("srt.latency", srt["latency"], *LATENCY_MS, defaults["latency"])
        if srt["key_length"] is None:
            srt["key_length"] = 0
        key_length = _whole(srt["key_length"])
        if key_length not in KEY_LENGTHS:
            self.problem("srt.key_length", f"{_shown(srt['key_length'])} is not one of 0, 16, 24, 32; 0 is used")
            key_length = 0
        srt["key_length"] = key_length
        stream_id = srt["stream_id"] if srt["stream_id"] is not None else ""
        if not isinstance(stream_id, str) or "\0" in stream_id or len(stream_id.encode("utf-8", "replace")) > STREAM_ID_BYTES:
            self.problem("srt.stream_id", f"must be a text of at most {STREAM_ID_BYTES} bytes; no stream id is used")
            stream_id = ""
        srt["stream_id"] = stream_id
        passphrase = srt["passphrase"] if srt["passphrase"] is not None else ""
        # The passphrase is never quoted back, not even in a message.
        if not isinstance(passphrase, str):
            self.problem("srt.passphrase", "must be a text; no passphrase is used")
            passphrase = ""
        elif passphrase and not PASSPHRASE_BYTES[0] <= len(passphrase.encode("utf-8", "surrogateescape")) <= PASSPHRASE_BYTES[1]:
            # Not replaced by "no passphrase": a stream meant to be encrypted must not start open.
            # The receiver refuses it and stays stopped until the passphrase is mended.
            self.problem("srt.passphrase", f"must have {PASSPHRASE_BYTES[0]} to {PASSPHRASE_BYTES[1]} bytes "
                         f"(it has {len(passphrase.encode('utf-8', 'surrogateescape'))}); "
                         "the SRT receiver is not started until it is mended")
        srt["passphrase"] = passphrase
        return srt

    def ndi(self, value):
        ndi = self.section("ndi", value, DEFAULT_SETTINGS["ndi"])
        source = ndi["source"] if ndi["source"] is not None else ""
        if not isinstance(source, str):
            self.problem("ndi.source", f"{_shown(source)} is not a source name; no source is selected")
            source = ""
        ndi["source"] = source
        return ndi

    def processing(self, where, value):
        if value is None:
            return {}
        if not isinstance(value, dict):
            self.problem(where, f"{_shown(value)} is not an object of processing settings; the defaults are used")
            return {}
        checked = {}
        for key, given in value.items():
            rule = PROCESSING_RULES.get(key)
            place = f"{where}.{key}"
            if rule is None:
                checked[key] = given  # a setting of a reading profile, the readers' own business
            elif rule[0] in ("int", "float"):
                _, default, low, high = rule
                number = _number(given)
                if rule[0] == "int" and number is not None and number != int(number):
                    number = None
                if number is None or not low <= number <= high:
                    kind = "whole number" if rule[0] == "int" else "number"
                    self.problem(place, f"{_shown(given)} is not a {kind} from {low} to {high}; {default} is used")
                    number = default
                checked[key] = int(number) if rule[0] == "int" else float(number)
            elif rule[0] == "choice":
                checked[key] = self.choice(place, given, rule[2], rule[1])
            elif isinstance(given, bool):
                checked[key] = given
            else:
                self.problem(place, f"{_shown(given)} is not true or false; {_shown(rule[1])} is used")
                checked[key] = rule[1]
        return checked

    def zone(self, index, zone, names):
        where = f"zone {index + 1}"
        if not isinstance(zone, dict):
            self.problem(where, f"{_shown(zone)} is not a zone object; the zone was left out")
            return None
        name = zone.get("name")
        if name is not None:
            where = f"zone {_shown(name)}"
        bounds = {}
        for key in ("x", "y", "width", "height"):
            number = _number(zone.get(key))
            if number is None or not 0 <= number <= 1:
                self.problem(where, f"{key} {_shown(zone.get(key))} is not a fraction of the frame from 0 to 1; "
                             "the zone was left out")
                return None
            bounds[key] = float(number)
        if bounds["width"] <= 0 or bounds["height"] <= 0:
            self.problem(where, "the zone has no area; the zone was left out")
            return None
        # A zone may touch the frame's right and bottom edges but not reach past them.
        if bounds["x"] + bounds["width"] > 1 + 1e-6 or bounds["y"] + bounds["height"] > 1 + 1e-6:
            self.problem(where, "the zone reaches past the frame; the zone was left out")
            return None
        role = zone.get("role")
        if role not in KNOWN_ROLES:
            self.problem(where, f"role {_shown(role)} is not one of the known roles; the zone was left out")
            return None
        if name is None or name == "":
            name = role
        elif not isinstance(name, str) or not ZONE_NAME.match(name):
            self.problem(where, "a zone name has 1 to 40 letters, digits, '_' or '-'; the role is used as its name")
            name = role
        base, n = name, 2
        while name in names:
            name, n = f"{base}_{n}", n + 1
        names.add(name)
        checked = dict(zone)
        checked.update(bounds, name=name, role=role)
        # A zone without settings of its own stays so: the agent may calibrate such a zone.
        if zone.get("processing") is not None:
            checked["processing"] = self.processing(f"{where} processing", zone["processing"])
        else:
            checked.pop("processing", None)
        return checked


def validate(raw):
    """(settings, problems): complete, usable settings from parsed JSON, and what had to be mended,
    one message per mended value."""
    check = _Checker()
    if not isinstance(raw, dict):
        check.problem("settings", "the file must hold one JSON object; the defaults are used")
        return copy.deepcopy(DEFAULT_SETTINGS), check.problems
    settings = copy.deepcopy(raw)  # keys this agent does not know are kept for whoever uses them
    settings["receiver"] = check.choice("receiver", raw.get("receiver", "srt"), RECEIVERS, "srt")
    settings["srt"] = check.srt(raw.get("srt", {}))
    settings["ndi"] = check.ndi(raw.get("ndi", {}))
    interval = _number(raw.get("read_interval_ms", DEFAULT_SETTINGS["read_interval_ms"]))
    low, high = READ_INTERVAL_MS
    if interval is None or not low <= interval <= high:
        check.problem("read_interval_ms", f"{_shown(raw.get('read_interval_ms'))} is not a number of milliseconds "
                      f"from {low} to {high}; {DEFAULT_SETTINGS['read_interval_ms']} is used")
        interval = DEFAULT_SETTINGS["read_interval_ms"]
    settings["read_interval_ms"] = interval
    if "live" in raw:
        # The live outputs' own rules, reported and mended with everything else.
        from live_outputs import live_settings

        settings["live"], live_problems = live_settings(raw)
        for problem in live_problems:
            check.problem("live", f"{problem}; the default is used")
    zones = raw.get("zones", [])
    if not isinstance(zones, list):
        check.problem("zones", f"{_shown(zones)} is not a list of zones; no zone is read")
        zones = []
    names = set()
    settings["zones"] = [z for z in (check.zone(i, zone, names) for i, zone in enumerate(zones)) if z is not None]
    return settings, check.problems


def public(settings):
    """The settings as the page may see them: the passphrase is never sent back, only whether one is set."""
    shown = copy.deepcopy(settings)
    shown["srt"]["passphrase_set"] = bool(shown["srt"].pop("passphrase", ""))
    return shown


def _parse_constant(name):
    # NaN and the infinities are not JSON; a file holding them is treated like any other bad value.
    return {"NaN": float("nan"), "Infinity": float("inf"), "-Infinity": float("-inf")}[name]


class SettingsStore:
    """The settings file and the settings in force. The agent's loop reloads; the page's threads save."""

    def __init__(self, path):
        self.path = path
        self.settings = copy.deepcopy(DEFAULT_SETTINGS)
        self.problems = []
        self.rejected_copy = None
        # Counts the changes of the settings in force, so that the console knows when to reload them.
        self.version = 0
        self._seen = None
        self._lock = threading.Lock()

    def ensure_file(self):
        if not os.path.exists(self.path):
            self._write(DEFAULT_SETTINGS)

    def _write(self, settings):
        # The file may hold a passphrase: readable by the user only.
        write_atomically(self.path, json.dumps(settings, indent=2) + "\n", mode=0o600)

    def _keep_rejected(self, data):
        """Keeps what the user wrote beside the settings file, under a name no later rejection reuses."""
        folder, name = os.path.split(self.path)
        stem = name[:-5] if name.endswith(".json") else name
        stamp = time.strftime("%Y%m%d-%H%M%S")
        path, n = os.path.join(folder, f"{stem}.rejected-{stamp}.json"), 2
        while os.path.exists(path):
            path, n = os.path.join(folder, f"{stem}.rejected-{stamp}-{n}.json"), n + 1
        write_atomically(path, data, mode=0o600)
        return path

    def _read_file(self, info):
        """(parsed JSON or None, problem or None, raw bytes)."""
        if not stat.S_ISREG(info.st_mode):
            return None, "is not a regular file", b""
        if info.st_size > MAX_FILE_BYTES:
            return None, f"is larger than {MAX_FILE_BYTES} bytes", b""
        try:
            with open(self.path, "rb") as stream:
                data = stream.read(MAX_FILE_BYTES + 1)
        except OSError as error:
            return None, f"cannot be read ({error.strerror})", b""
        try:
            return json.loads(data.decode("utf-8"), parse_constant=_parse_constant), None, data
        except UnicodeDecodeError:
            return None, "is not UTF-8 text", data
        except ValueError as error:
            return None, f"is not valid JSON ({error})", data

    def reload_if_changed(self):
        """True when the settings in force changed because the file changed."""
        with self._lock:
            info, seen = file_identity(self.path)
            if info is None or seen == self._seen:
                return False
            self._seen = seen
            raw, unreadable, data = self._read_file(info)
            if unreadable is not None:
                # Not rewritten: an editor may still be writing it, and its next state is read
                # when it comes. A copy of what it held is kept all the same.
                self.problems = [f"settings file: the file {unreadable}; the settings in force were kept"]
                try:
                    self.rejected_copy = self._keep_rejected(data) if data else None
                except OSError as error:
                    self.problems.append(f"settings file: no copy could be kept ({error.strerror})")
                self.version += 1
                return False
            settings, problems = validate(raw)
            if settings["srt"]["passphrase"] and info.st_mode & 0o077:
                # A hand-written file holding a passphrase is made private to the user.
                try:
                    os.chmod(self.path, 0o600)
                except OSError as error:
                    problems.append(f"settings file: holds a passphrase but others may read it ({error.strerror})")
            if not problems:
                self.problems, self.rejected_copy = [], None
                changed = settings != self.settings
                self.settings = settings
                self.version += changed
                return changed
            rejected_copy = None
            try:
                rejected_copy = self._keep_rejected(data) if data else None
                self._write(settings)
                self._seen = file_identity(self.path)[1]
            except OSError as error:
                problems.append(f"settings file: the mended settings could not be written ({error.strerror})")
            # Told only once the file is mended, so that whoever sees the message finds the new file.
            self.rejected_copy = rejected_copy
            self.problems = problems
            self.settings = settings
            self.version += 1
            return True

    def save(self, settings):
        """Checks settings from the console and writes them when nothing had to be mended. A
        passphrase of None keeps the one in force. Returns the problems (empty when saved)."""
        with self._lock:
            if isinstance(settings, dict) and isinstance(settings.get("srt"), dict):
                settings = copy.deepcopy(settings)
                settings["srt"].pop("passphrase_set", None)
                if settings["srt"].get("passphrase", None) is None:
                    settings["srt"]["passphrase"] = self.settings["srt"]["passphrase"]
            checked, problems = validate(settings)
            if problems:
                return problems
            self._write(checked)
            return []
