"""Zones and settings, kept in one JSON file that the operator (or a test, or the demo) edits.

The file is read again whenever it changes. A zone that is not usable is left out with a message
rather than stopping the agent; a file that cannot be parsed keeps the settings in force.
"""

import copy
import json
import numbers
import os

from agent_files import file_identity, write_atomically

RECEIVERS = ("srt", "ndi", "none")

DEFAULT_SETTINGS = {
    "receiver": "srt",
    "srt": {"port": 9000, "latency": 120, "stream_id": "", "key_length": 0, "passphrase": ""},
    "ndi": {"source": ""},
    "read_interval_ms": 250,
    "zones": [],
}


def _merged(defaults, given):
    merged = copy.deepcopy(defaults)
    for key, value in given.items():
        if isinstance(merged.get(key), dict) and isinstance(value, dict):
            merged[key] = _merged(merged[key], value)
        else:
            merged[key] = value
    return merged


def _zone_problem(zone):
    if not isinstance(zone, dict):
        return "a zone must be an object"
    for key in ("x", "y", "width", "height"):
        value = zone.get(key)
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            return f"zone key {key!r} must be a number"
    if not isinstance(zone.get("role"), str) or not zone["role"]:
        return "a zone needs a role"
    if "processing" in zone and not isinstance(zone["processing"], dict):
        return "zone processing must be an object"
    if "name" in zone and not isinstance(zone["name"], str):
        return "a zone name must be text"
    return None


def checked(raw):
    """(settings, problems): the usable settings from a parsed file, and what was left out."""
    problems = []
    if not isinstance(raw, dict):
        return copy.deepcopy(DEFAULT_SETTINGS), ["the settings file must hold a JSON object"]
    settings = _merged(DEFAULT_SETTINGS, raw)
    if settings["receiver"] not in RECEIVERS:
        problems.append(f"receiver must be one of {', '.join(RECEIVERS)}")
        settings["receiver"] = "none"
    interval = settings["read_interval_ms"]
    if isinstance(interval, bool) or not isinstance(interval, numbers.Real) or interval < 50:
        problems.append("read_interval_ms must be a number of at least 50")
        settings["read_interval_ms"] = DEFAULT_SETTINGS["read_interval_ms"]
    zones = settings["zones"] if isinstance(settings["zones"], list) else []
    if not isinstance(settings["zones"], list):
        problems.append("zones must be a list")
    usable = []
    names = set()
    for index, zone in enumerate(zones):
        problem = _zone_problem(zone)
        if problem:
            problems.append(f"zone {index}: {problem}")
            continue
        zone = dict(zone)
        # Readings are keyed by zone name; two zones of one role get distinct names.
        name = zone.get("name") or zone["role"]
        base, n = name, 2
        while name in names:
            name, n = f"{base}_{n}", n + 1
        names.add(name)
        zone["name"] = name
        usable.append(zone)
    settings["zones"] = usable
    return settings, problems


class SettingsStore:
    def __init__(self, path):
        self.path = path
        self.settings = copy.deepcopy(DEFAULT_SETTINGS)
        self.problems = []
        self._seen = None

    def ensure_file(self):
        if not os.path.exists(self.path):
            # The file may come to hold a passphrase: readable by the user only.
            write_atomically(self.path, json.dumps(DEFAULT_SETTINGS, indent=2) + "\n", mode=0o600)

    def reload_if_changed(self):
        """True when new settings were taken from the file."""
        info, seen = file_identity(self.path)
        if info is None or seen == self._seen:
            return False
        self._seen = seen
        try:
            with open(self.path, "rb") as stream:
                raw = json.loads(stream.read().decode("utf-8"))
        except (OSError, ValueError) as error:
            self.problems = [f"settings file not read: {error}"]
            return False
        self.settings, self.problems = checked(raw)
        return True
