"""The console's JSON API: everything the page shows and every change it makes.

    GET  /api/meta          the roles a zone may have and the processing defaults
    GET  /api/state         receiver status in words, settings problems, readings, NDI sources
    GET  /api/settings      the settings in force (the SRT passphrase only as "passphrase_set")
    POST /api/settings      check and save settings; 400 with the problems when a value is bad
    POST /api/ndi/refresh   ask lancapture to list its sources again
    POST /api/ndi/select    {"source": name}: follow that source (and keep the choice)
    POST /api/zone/view     {"zone": zone}: prepared image, slot boxes and reading on the newest frame
    POST /api/zone/auto     {"zone": zone}: processing settings suggested for the zone
"""

import copy

import zone_view
from page import json_response
from receivers import ndi_sources, read_published
from settings_store import public
from status_words import describe

from native_ocr.roles import KNOWN_ROLES


def _zone_from(request):
    body = request.json()
    if not isinstance(body, dict) or not isinstance(body.get("zone"), dict):
        return None, json_response({"error": "expected {\"zone\": {...}}"}, 400)
    zone, problems = zone_view.checked_zone(body["zone"])
    if zone is None or problems:
        return None, json_response({"error": "; ".join(problems) or "the zone cannot be read"}, 400)
    return zone, None


class ConsoleApi:
    def __init__(self, agent):
        self.agent = agent

    def register(self, server):
        server.route("GET", "/api/meta", self.meta)
        server.route("GET", "/api/state", self.state)
        server.route("GET", "/api/settings", self.settings)
        server.route("POST", "/api/settings", self.save_settings)
        server.route("POST", "/api/ndi/refresh", self.ndi_refresh)
        server.route("POST", "/api/ndi/select", self.ndi_select)
        server.route("POST", "/api/zone/view", self.zone_view)
        server.route("POST", "/api/zone/auto", self.zone_auto)

    def meta(self, request):
        return json_response({"roles": list(KNOWN_ROLES),
                              "processing_defaults": dict(self.agent.reader.panelsight.DEFAULT_PROCESSING)})

    def state(self, request):
        agent = self.agent
        state, preview = agent.state.snapshot()
        store = agent.store
        settings = store.settings
        kind = settings["receiver"]
        receiver = agent.receiver
        sources = ndi_sources(read_published(agent.files.published("ndi_sources.json"))) if kind == "ndi" else []
        level, words = describe(kind, state.get("receiver_status"), settings,
                                problem=receiver.problem if receiver is not None else None,
                                running=receiver is not None and receiver.running(), sources=sources)
        state.update(status={"level": level, "text": words}, status_line=words,
                     problems=list(store.problems), settings_version=store.version,
                     rejected_copy=store.rejected_copy, has_preview=preview is not None)
        # The tracker's values with their state and age, as the live outputs publish them.
        live = getattr(agent, "live", None)
        if live is not None:
            state["live"] = live.fields()
        if kind == "ndi":
            latency = read_published(agent.files.published("ndi_latency.json"))
            state["ndi"] = {"sources": sources, "selected": settings["ndi"]["source"],
                            "latency": latency if isinstance(latency, dict) else None}
        return json_response(state)

    def settings(self, request):
        return json_response(public(self.agent.store.settings))

    def save_settings(self, request):
        body = request.json()
        problems = self.agent.store.save(body)
        if problems:
            return json_response({"saved": False, "problems": problems}, 400)
        return json_response({"saved": True})

    def ndi_refresh(self, request):
        receiver = self.agent.receiver
        if receiver is None or receiver.kind != "ndi":
            return json_response({"error": "the NDI receiver is not the chosen source"}, 409)
        receiver.request_refresh()
        return json_response({"refresh": True})

    def ndi_select(self, request):
        body = request.json()
        if not isinstance(body, dict) or not isinstance(body.get("source"), str):
            return json_response({"error": "expected {\"source\": name}"}, 400)
        settings = copy.deepcopy(self.agent.store.settings)
        settings["ndi"]["source"] = body["source"]
        settings["srt"]["passphrase"] = None  # keep the one in force
        problems = self.agent.store.save(settings)
        if problems:
            return json_response({"saved": False, "problems": problems}, 400)
        # lancapture follows at once; the saved settings keep the choice for the next start.
        receiver = self.agent.receiver
        if receiver is not None and receiver.kind == "ndi":
            receiver.select(body["source"])
        return json_response({"selected": body["source"]})

    def _zone_and_frame(self, request, missing_frame):
        """(zone, frame, None), or (None, None, the refusal) when the zone or a frame is missing."""
        zone, refused = _zone_from(request)
        if refused:
            return None, None, refused
        frame = self.agent.reader.frame
        if frame is None:
            return None, None, json_response({"error": missing_frame}, 409)
        return zone, frame, None

    def zone_view(self, request):
        zone, frame, refused = self._zone_and_frame(request, "no picture yet")
        if refused:
            return refused
        # The zone as the agent reads it: with calibrated settings when it has none of its own.
        zone = self.agent.reader.zone_for_reading(zone, frame)
        return json_response(zone_view.view(self.agent.reader.panelsight, frame, zone))

    def zone_auto(self, request):
        zone, frame, refused = self._zone_and_frame(request, "no picture yet: automatic settings need a frame")
        if refused:
            return refused
        processing, problem = zone_view.suggest(frame, zone)
        if problem:
            return json_response({"error": problem}, 501 if problem == zone_view.NO_CALIBRATION else 422)
        return json_response({"processing": processing})
