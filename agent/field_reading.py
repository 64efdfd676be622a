"""Reading every zone of the newest preview with native_ocr.panelsight.

The preview is copied once and decoded once per reading, so all zones of one reading come from one
frame. Each zone is read by the reader of its role; a build without a clock reader skips clock
zones.
"""

import time

from agent_files import file_identity, write_atomically
from zone_view import reading_summary

from native_ocr.roles import field_kind

NO_CLOCK_READER = "no clock reader in this build"


def reader_for(panelsight, role):
    """A function (zone, frame, snapshot_path) -> result, or None when the role cannot be read."""
    kind = field_kind(role)
    from_image = getattr(panelsight, f"read_{kind}_from_image", None)
    if from_image is not None:
        return lambda zone, frame, path: from_image(zone, frame)
    from_file = getattr(panelsight, f"read_{kind}", None)
    if from_file is not None:
        return lambda zone, frame, path: from_file(zone, path)
    return None


class FieldReader:
    def __init__(self, panelsight, snapshot_path):
        self.panelsight = panelsight
        self.snapshot_path = snapshot_path
        self._last_seen = None
        # The newest decoded frame, for the console's views of single zones (replaced, never changed).
        self.frame = None

    def read_if_new(self, preview_path, zones):
        """A reading of all zones when the preview changed since the last call, else None."""
        info, seen = file_identity(preview_path)
        if info is None or seen == self._last_seen:
            return None
        self._last_seen = seen
        try:
            with open(preview_path, "rb") as stream:
                data = stream.read()
        except OSError:
            return None
        write_atomically(self.snapshot_path, data)
        frame = self.panelsight.decode_bgr_image(self.snapshot_path)
        reading = {"event": "reading", "time": round(time.time(), 3),
                   "preview_mtime": round(info.st_mtime_ns / 1e9, 3), "fields": {}}
        if frame is None:
            reading["frame"] = None
            return reading
        self.frame = frame
        reading["frame"] = [int(frame.shape[1]), int(frame.shape[0])]
        for zone in zones:
            reader = reader_for(self.panelsight, zone["role"])
            if reader is None:
                field = {"value": None, "valid": False, "reason": "skipped", "skipped": NO_CLOCK_READER}
            else:
                try:
                    field = reading_summary(reader(zone, frame, self.snapshot_path))
                except Exception as error:  # a malformed zone must not stop the other readings
                    field = {"value": None, "valid": False, "reason": f"error: {error}"}
            field["role"] = zone["role"]
            reading["fields"][zone["name"]] = field
        return reading
