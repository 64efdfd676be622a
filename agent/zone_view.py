"""What the console shows of one zone on the newest frame: the prepared binary image under the
zone's settings, the slot boxes the reader used, and the reading with each slot's evidence.

The zone comes from the page and may not be saved yet, so the operator sees a setting's effect
before keeping it. Its settings are checked by the same rules as the settings file.
"""

import base64

import cv2

from native_ocr.roles import field_kind, reader_for

from settings_store import validate

NO_CALIBRATION = "automatic settings are not available in this build (native_ocr.calibrate is missing)"


def checked_zone(zone):
    """(zone, problems): the zone after the settings file's rules, or None when it cannot be read."""
    settings, problems = validate({"zones": [zone]})
    return (settings["zones"][0] if settings["zones"] else None), problems


def slot_evidence(result):
    """Each slot as the page lists it: its box, what was read there and how sure the reader was."""
    slots = []
    for item in result.get("ocr_items") or []:
        if not isinstance(item, dict):
            continue
        confidence = item.get("confidence")
        slots.append({
            "kind": item.get("kind"),
            "box": [int(v) for v in item.get("box") or []],
            "char": item.get("char"),
            "status": item.get("status"),
            "confidence": None if confidence is None else round(float(confidence), 3),
        })
    return slots


def reading_summary(result):
    """A reader result in the form the page and the JSON lines carry."""
    slots = slot_evidence(result)
    digits = [s["confidence"] for s in slots if s["kind"] != "separator" and s["confidence"] is not None]
    return {
        "value": result.get("value"),
        "valid": bool(result.get("valid")),
        "reason": result.get("reason"),
        "confidence": min(digits) if digits else None,
        "slots": slots,
        "geometry": [{"kind": g.get("kind"), "box": [int(v) for v in g.get("box") or []]}
                     for g in result.get("geometry_items") or [] if isinstance(g, dict)],
    }


def view(panelsight, frame, zone):
    """The zone's prepared image (PNG, base64), its slot boxes and its reading on FRAME."""
    prepared = panelsight.prepare_display_from_image(zone, frame, field_kind(zone["role"]) == "clock",
                                                     zone.get("processing") or None)
    if prepared is None:
        return {"binary_png": None, "crop_size": None, "processing_used": None,
                "reading": {"value": None, "valid": False, "reason": "no_frame", "confidence": None,
                            "slots": [], "geometry": []}}
    ok, png = cv2.imencode(".png", prepared["binary"])
    reading = reading_summary(reader_for(panelsight, zone["role"], "_from_image")(zone, frame))
    return {"binary_png": base64.b64encode(png.tobytes()).decode("ascii") if ok else None,
            "crop_size": [int(v) for v in prepared["crop_size"]],
            "processing_used": dict(prepared["processing"]),
            "reading": reading}


def suggest(frame, zone):
    """(processing settings or None, problem or None) from the calibration module, when present."""
    try:
        from native_ocr import calibrate
    except ImportError:
        return None, NO_CALIBRATION
    suggested = calibrate.suggest_processing(frame, zone)
    if isinstance(suggested, dict) and isinstance(suggested.get("processing"), dict):
        suggested = suggested["processing"]
    if not isinstance(suggested, dict):
        return None, "the calibration gave no settings for this zone"
    return dict(suggested), None
