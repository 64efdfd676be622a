"""Reading every zone of the newest preview with native_ocr.panelsight.

The preview is read once and decoded once, in memory, per reading, so all zones of one reading
come from one frame. Each zone is read by the reader of its role; a build without a clock reader
skips clock zones. Where the package offers calibration (native_ocr.calibrate), a zone without processing
settings of its own is read with the settings calibration suggests for it on the first frame it is
read from.
"""

import json
import os
import time

import cv2
import numpy as np

from agent_files import file_identity
from zone_view import reading_summary

from native_ocr.roles import field_kind

NO_CLOCK_READER = "no clock reader in this build"


def reader_for(panelsight, role):
    """A function (zone, frame, snapshot) -> result, or None when the role cannot be read;
    snapshot() gives the path of the preview's copy for readers that only take a file."""
    kind = field_kind(role)
    from_image = getattr(panelsight, f"read_{kind}_from_image", None)
    if from_image is not None:
        return lambda zone, frame, snapshot: from_image(zone, frame)
    from_file = getattr(panelsight, f"read_{kind}", None)
    if from_file is not None:
        return lambda zone, frame, snapshot: from_file(zone, snapshot())
    return None


def decode(data):
    """The preview's bytes as a BGR frame, or None: what the module's decoder gives for the same
    file (the same OpenCV decoder, colour, nothing but 8-bit three-channel frames), without a
    file on the reading's path."""
    try:
        frame = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR)
    except cv2.error:
        return None
    if frame is None or frame.ndim != 3 or frame.shape[2] != 3 or frame.dtype != np.uint8:
        return None
    return frame


def _calibration():
    try:
        from native_ocr import calibrate
    except ImportError:
        return None
    return getattr(calibrate, "suggest_processing", None)


class FieldReader:
    def __init__(self, panelsight, snapshot_path, calibrate=True, emit=None):
        self.panelsight = panelsight
        self.snapshot_path = snapshot_path
        self._last_seen = None
        # The newest decoded frame, for the console's views of single zones (replaced, never changed).
        self.frame = None
        self.suggest_processing = _calibration() if calibrate else None
        self._calibrated = {}
        self._emit = emit or (lambda record: None)
        # The (name, role, reader result) of every zone of the newest reading, and its preview's
        # capture time.
        self.results = []
        self.capture_time = None
        self.capture_ns = None
        self.data = None   # the newest preview's bytes

    def zone_for_reading(self, zone, frame):
        """The zone as read: with calibrated settings when calibration is on and the operator set
        none. A zone is calibrated once; an edited zone is a new zone."""
        if self.suggest_processing is None or zone.get("processing") is not None:
            return zone
        key = json.dumps({k: v for k, v in zone.items() if k != "name"}, sort_keys=True)
        processing = self._calibrated.get(key)
        if processing is None:
            try:
                processing = dict(self.suggest_processing(frame, zone))
            except Exception as error:  # calibration is an improvement; reading goes on without it
                processing = {}
                self._emit({"event": "calibration_problem", "zone": zone.get("name"), "problem": str(error)})
            self._calibrated[key] = processing
        return dict(zone, processing=processing) if processing else zone

    def read_if_new(self, preview_path, zones):
        """A reading of all zones when the preview changed since the last call, else None."""
        info, seen = file_identity(preview_path)
        if info is None or seen == self._last_seen:
            return None
        started = time.time()
        try:
            with open(preview_path, "rb") as stream:
                # The file read, not the one stat saw a moment ago: its time must match its frame.
                info = os.fstat(stream.fileno())
                data = stream.read()
        except OSError:
            return None
        self._last_seen = (info.st_ino, info.st_mtime_ns, info.st_size)
        self.data = data
        frame = decode(data)
        written = []

        def snapshot():
            # The agent's private copy, for readers that only take a file; written and read by
            # this thread only, so no temporary file, rename or flush on the reading's path.
            if not written:
                with open(self.snapshot_path, "wb") as stream:
                    stream.write(data)
                written.append(True)
            return self.snapshot_path
        # The preview's modification time is when the receiver finished writing it, just before
        # the rename that published it: the capture time the tracker's timing rules go by.
        reading = {"event": "reading", "time": round(started, 4),
                   "preview_mtime": round(info.st_mtime_ns / 1e9, 3), "fields": {}}
        self.capture_ns = info.st_mtime_ns
        self.capture_time = info.st_mtime_ns / 1e9
        self.results = []
        if frame is None:
            reading["frame"] = None
            return reading
        self.frame = frame
        reading["frame"] = [int(frame.shape[1]), int(frame.shape[0])]
        for zone in zones:
            reader = reader_for(self.panelsight, zone["role"])
            result = None
            if reader is None:
                field = {"value": None, "valid": False, "reason": "skipped", "skipped": NO_CLOCK_READER}
            else:
                try:
                    result = reader(self.zone_for_reading(zone, frame), frame, snapshot)
                    field = reading_summary(result)
                except Exception as error:  # a malformed zone must not stop the other readings
                    field = {"value": None, "valid": False, "reason": f"error: {error}"}
            field["role"] = zone["role"]
            reading["fields"][zone["name"]] = field
            self.results.append((zone["name"], zone["role"], result))
        return reading
