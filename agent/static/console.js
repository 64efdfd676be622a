"use strict";
// The operator's console. Everything comes from and goes to the agent's JSON API; the page keeps
// the settings being edited and saves the zones shortly after each change.

const $ = (id) => document.getElementById(id);
const HANDLE = 8;           // corner handle size in screen pixels
const MIN_ZONE = 0.01;      // smallest zone side, as a fraction of the frame
const PROCESSING = ["threshold", "contrast", "brightness", "gamma", "rotation", "blur", "morphology",
                    "morph_size", "binarize", "invert", "grayscale"];

const ui = {
  meta: null,              // roles and processing defaults
  settings: null,          // the settings being edited (the passphrase is never sent to the page)
  settingsVersion: null,
  dirtyZones: false,
  sourceEdited: false,     // the source form holds choices not applied yet: a reload leaves them
  edits: 0,                // zone edits made, so that a save only clears what it carried
  saveTimer: null,
  selected: null,          // name of the selected zone
  previewStamp: null,
  previewUrl: null,
  drag: null,
  view: null,              // last zone view from the agent
  viewPending: false,
  viewAgain: false,
  ndiDrawn: null,          // the NDI source list as last drawn
  savedNote: null,         // what the zone message says once the pending save is done, when not "saved"
};

async function api(method, path, body) {
  const options = { method, headers: {} };
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  const answer = await fetch(path, options);
  let data = null;
  try { data = await answer.json(); } catch (e) { data = null; }
  return { ok: answer.ok, status: answer.status, data };
}

function message(id, text, kind) {
  const node = $(id);
  node.textContent = text || "";
  node.className = "message" + (kind ? " " + kind : "");
}

// ---- settings ----------------------------------------------------------------------------

async function loadSettings() {
  const answer = await api("GET", "/api/settings");
  // An edit begun while the answer was on its way wins: it is saved, and read back after that.
  if (!answer.ok || (ui.settings && (ui.drag || ui.dirtyZones))) return false;
  ui.settings = answer.data;
  ui.dirtyZones = false;
  if (ui.selected && !zoneByName(ui.selected)) ui.selected = null;
  showSource();
  showZones();
  return true;
}

function showSource() {
  if (ui.sourceEdited) return;
  const s = ui.settings;
  $("receiver-" + s.receiver).checked = true;
  $("srt-port").value = s.srt.port;
  $("srt-latency").value = s.srt.latency;
  $("srt-stream-id").value = s.srt.stream_id || "";
  $("srt-key-length").value = String(s.srt.key_length || 0);
  $("srt-passphrase").value = "";
  $("srt-passphrase").placeholder = s.srt.passphrase_set ? "set (type to replace it)" : "none (10 to 80 bytes)";
  $("srt-clear-passphrase").checked = false;
  $("srt-clear-passphrase").disabled = !s.srt.passphrase_set;
  showReceiverChoice();
}

function showReceiverChoice() {
  const kind = document.querySelector("input[name=receiver]:checked").value;
  $("srt-settings").hidden = kind !== "srt";
  $("ndi-settings").hidden = kind !== "ndi";
}

async function saveSettings(settings) {
  const answer = await api("POST", "/api/settings", settings);
  if (answer.ok) return [];
  return (answer.data && answer.data.problems) || ["the settings could not be saved (" + answer.status + ")"];
}

async function applySource() {
  const settings = structuredClone(ui.settings);
  settings.receiver = document.querySelector("input[name=receiver]:checked").value;
  settings.srt.port = Number($("srt-port").value);
  settings.srt.latency = Number($("srt-latency").value);
  settings.srt.stream_id = $("srt-stream-id").value;
  settings.srt.key_length = Number($("srt-key-length").value);
  delete settings.srt.passphrase_set;
  // null keeps the passphrase in force; it is never sent back to the page.
  settings.srt.passphrase = $("srt-clear-passphrase").checked ? "" : ($("srt-passphrase").value || null);
  const problems = await saveSettings(settings);
  if (problems.length) {
    message("source-message", problems.join("; "), "error");
    return;
  }
  message("source-message", "applied", "ok");
  // What was applied is what every later save carries: a zone saved before the settings are read
  // back must not put the old source back in force.
  ui.settings.receiver = settings.receiver;
  for (const key of ["port", "latency", "stream_id", "key_length"]) ui.settings.srt[key] = settings.srt[key];
  if (settings.srt.passphrase !== null) ui.settings.srt.passphrase_set = settings.srt.passphrase !== "";
  ui.sourceEdited = false;
  await loadSettings();
}

function scheduleZoneSave(note = null) {
  ui.savedNote = note;
  ui.dirtyZones = true;
  ui.edits += 1;
  clearTimeout(ui.saveTimer);
  ui.saveTimer = setTimeout(saveZones, 400);
}

async function saveZones() {
  const edits = ui.edits;
  const settings = structuredClone(ui.settings);
  delete settings.srt.passphrase_set;
  settings.srt.passphrase = null;
  const problems = await saveSettings(settings);
  if (problems.length) {
    message("zone-message", problems.join("; "), "error");
    return;
  }
  if (edits === ui.edits) ui.dirtyZones = false;
  // A value still refused in a field stays said until it is mended.
  // An edit's own outcome ("automatic settings applied") stays said; a plain edit is "saved".
  if (!document.querySelector("#zone-editor input.invalid")) message("zone-message", ui.savedNote || "saved", "ok");
}

// ---- zones -------------------------------------------------------------------------------

function zoneByName(name) {
  return (ui.settings ? ui.settings.zones : []).find((z) => z.name === name) || null;
}

function uniqueName(base, except) {
  const names = new Set(ui.settings.zones.filter((z) => z !== except).map((z) => z.name));
  if (!names.has(base)) return base;
  for (let n = 2; ; n++) if (!names.has(base + "_" + n)) return base + "_" + n;
}

function showZones() {
  const list = $("zone-list");
  list.replaceChildren(...ui.settings.zones.map((zone) => {
    const item = document.createElement("li");
    const button = document.createElement("button");
    button.type = "button";
    button.textContent = zone.name;
    button.dataset.zone = zone.name;
    if (zone.name === ui.selected) button.className = "selected";
    button.addEventListener("click", () => selectZone(zone.name));
    item.appendChild(button);
    return item;
  }));
  $("no-zones").hidden = ui.settings.zones.length > 0;
  showZoneEditor();
  drawOverlay();
}

function selectZone(name) {
  ui.selected = name;
  ui.view = null;
  showZones();
  requestView();
}

function processingOf(zone) {
  // A zone without settings of its own is read with what the agent chose for it (calibration when
  // the build has it); editing starts from those.
  const used = !zone.processing && ui.view && ui.view.processing_used;
  return Object.assign({}, ui.meta.processing_defaults, used || zone.processing || {});
}

function showZoneEditor() {
  const zone = zoneByName(ui.selected);
  $("zone-editor").hidden = !zone;
  if (!zone) return;
  if (document.activeElement !== $("zone-name")) $("zone-name").value = zone.name;
  $("zone-role").value = zone.role;
  const p = processingOf(zone);
  for (const key of PROCESSING) {
    const input = $("p-" + key);
    if (document.activeElement === input && input.type !== "checkbox") continue;  // being typed into
    if (input.type === "checkbox") input.checked = !!p[key];
    else input.value = p[key];
    input.classList.remove("invalid");
  }
  const extra = Object.keys(p).filter((k) => !PROCESSING.includes(k));
  $("p-extra").textContent = (zone.processing ? "" : "no settings of its own: read with the agent's choice. ")
    + (extra.length ? "also: " + extra.map((k) => k + " = " + JSON.stringify(p[k])).join(", ") : "");
}

function onProcessingInput(key) {
  const zone = zoneByName(ui.selected);
  if (!zone) return;
  const input = $("p-" + key);
  let value;
  if (input.type === "checkbox") value = input.checked;
  else if (input.tagName === "SELECT") value = input.value;
  else {
    value = Number(input.value);
    const low = Number(input.min), high = Number(input.max);
    const whole = input.step === "1";
    if (input.value === "" || !Number.isFinite(value) || value < low || value > high
        || (whole && !Number.isInteger(value))) {
      input.classList.add("invalid");
      message("zone-message", `${key} must be ${whole ? "a whole number" : "a number"} from ${low} to ${high}`, "error");
      return;
    }
  }
  input.classList.remove("invalid");
  const base = zone.processing || (ui.view && ui.view.processing_used) || {};
  zone.processing = Object.assign({}, base, { [key]: value });
  message("zone-message", "");
  showZoneEditor();  // the zone now has settings of its own; the field being typed into is left alone
  scheduleZoneSave();
  requestView();
}

function onNameInput() {
  const zone = zoneByName(ui.selected);
  const name = $("zone-name").value;
  if (!/^[A-Za-z0-9_-]{1,40}$/.test(name)) {
    $("zone-name").classList.add("invalid");
    message("zone-message", "a zone name has 1 to 40 letters, digits, '_' or '-'", "error");
    return;
  }
  if (ui.settings.zones.some((z) => z !== zone && z.name === name)) {
    $("zone-name").classList.add("invalid");
    message("zone-message", `another zone is called ${name}`, "error");
    return;
  }
  $("zone-name").classList.remove("invalid");
  message("zone-message", "");
  zone.name = name;
  ui.selected = name;
  showZones();
  scheduleZoneSave();
}

function onRoleInput() {
  const zone = zoneByName(ui.selected);
  const role = $("zone-role").value;
  // A name the console gave follows the role; a name the operator typed stays.
  const autoNamed = zone.name === zone.role || zone.name.startsWith(zone.role + "_");
  zone.role = role;
  if (autoNamed) {
    zone.name = uniqueName(role, zone);
    ui.selected = zone.name;
  }
  ui.view = null;
  showZones();
  scheduleZoneSave();
  requestView();
}

async function autoSettings() {
  const name = ui.selected;
  const asked = zoneByName(name);
  if (!asked) return;
  message("zone-message", "finding settings…");
  const answer = await api("POST", "/api/zone/auto", { zone: plainZone(asked) });
  if (!answer.ok) {
    message("zone-message", (answer.data && answer.data.error) || "automatic settings failed", "error");
    return;
  }
  // The settings may have been read back from the agent while the calibration ran: the zone to
  // change is the one in force now, not the object the question was asked with.
  const zone = zoneByName(name);
  if (!zone) return;
  zone.processing = answer.data.processing;
  const applied = "automatic settings applied";
  message("zone-message", applied, "ok");
  showZoneEditor();
  scheduleZoneSave(applied);
  requestView();
}

function plainZone(zone) {
  return structuredClone(zone);
}

// ---- the zone's prepared image, slots and reading ----------------------------------------

async function requestView() {
  if (!ui.selected || !ui.previewStamp) return;
  if (ui.viewPending) { ui.viewAgain = true; return; }
  ui.viewPending = true;
  const name = ui.selected;
  try {
    const zone = zoneByName(name);
    if (!zone) return;
    const answer = await api("POST", "/api/zone/view", { zone: plainZone(zone) });
    if (ui.selected !== name) return;
    if (!answer.ok) {
      message("zone-message", (answer.data && answer.data.error) || "no view", "error");
      return;
    }
    ui.view = answer.data;
    if (!zone.processing) showZoneEditor();
    await showView();
  } finally {
    ui.viewPending = false;
    if (ui.viewAgain) { ui.viewAgain = false; requestView(); }
  }
}

function loadImage(src) {
  return new Promise((resolve, reject) => {
    const image = new Image();
    image.onload = () => resolve(image);
    image.onerror = reject;
    image.src = src;
  });
}

const SLOT_COLOURS = { digit: "#6fd08c", empty: "#9aa4b2", unknown: "#f07070", separator: "#5aa9e8" };

async function showView() {
  const view = ui.view;
  const canvas = $("prepared");
  const context = canvas.getContext("2d");
  const reading = view.reading;
  $("zone-value").textContent = reading.value === null ? "nothing read" : String(reading.value);
  $("zone-value").className = reading.valid ? "" : "bad";
  $("zone-reason").textContent = reading.reason + (reading.confidence === null ? "" : `, confidence ${reading.confidence}`);
  $("slots").tBodies[0].replaceChildren(...reading.slots.map((slot, index) => {
    const row = document.createElement("tr");
    if (slot.status === "unknown") row.className = "bad";
    else if (slot.status === "empty") row.className = "blank-slot";
    const cells = [String(index + 1), slot.char === null || slot.char === undefined ? "" : String(slot.char),
                   slot.kind === "separator" ? "separator" : String(slot.status),
                   slot.confidence === null ? "" : slot.confidence.toFixed(3)];
    for (const text of cells) {
      const cell = document.createElement("td");
      cell.textContent = text;
      row.appendChild(cell);
    }
    return row;
  }));
  if (!view.binary_png) {
    context.clearRect(0, 0, canvas.width, canvas.height);
    return;
  }
  const image = await loadImage("data:image/png;base64," + view.binary_png);
  const scale = Math.min(4, 360 / image.width, 200 / image.height);
  canvas.width = Math.max(1, Math.round(image.width * scale));
  canvas.height = Math.max(1, Math.round(image.height * scale));
  context.imageSmoothingEnabled = false;
  context.drawImage(image, 0, 0, canvas.width, canvas.height);
  context.lineWidth = 1.5;
  const boxes = reading.slots.length ? reading.slots : reading.geometry;
  for (const slot of boxes) {
    const [x1, y1, x2, y2] = slot.box;
    context.strokeStyle = SLOT_COLOURS[slot.kind === "separator" ? "separator" : slot.status] || "#e8c15a";
    context.strokeRect(x1 * scale, y1 * scale, (x2 - x1 + 1) * scale, (y2 - y1 + 1) * scale);
  }
}

// ---- the picture and the zone outlines ---------------------------------------------------

function pictureSize() {
  const image = $("preview");
  return { width: image.clientWidth, height: image.clientHeight };
}

function drawOverlay() {
  const canvas = $("overlay");
  if (canvas.hidden) return;
  const { width, height } = pictureSize();
  if (canvas.width !== width || canvas.height !== height) {
    canvas.width = width;
    canvas.height = height;
  }
  const context = canvas.getContext("2d");
  context.clearRect(0, 0, width, height);
  context.font = "12px system-ui, sans-serif";
  const zones = ui.settings ? ui.settings.zones : [];
  for (const zone of zones) {
    const x = zone.x * width, y = zone.y * height, w = zone.width * width, h = zone.height * height;
    const selected = zone.name === ui.selected;
    context.strokeStyle = selected ? "#5aa9e8" : "#e8c15a";
    context.lineWidth = selected ? 2 : 1.5;
    context.strokeRect(x, y, w, h);
    context.fillStyle = context.strokeStyle;
    context.fillText(zone.name, x + 2, y > 14 ? y - 3 : y + h + 12);
    if (selected) context.fillRect(x + w - HANDLE / 2, y + h - HANDLE / 2, HANDLE, HANDLE);
  }
  if (ui.drag && ui.drag.mode === "draw") {
    const d = ui.drag;
    context.strokeStyle = "#ffffff";
    context.setLineDash([4, 3]);
    context.strokeRect(Math.min(d.x0, d.x1), Math.min(d.y0, d.y1), Math.abs(d.x1 - d.x0), Math.abs(d.y1 - d.y0));
    context.setLineDash([]);
  }
}

function pointer(event) {
  const rect = $("overlay").getBoundingClientRect();
  return { x: event.clientX - rect.left, y: event.clientY - rect.top };
}

function hit(p) {
  const { width, height } = pictureSize();
  const zones = ui.settings ? ui.settings.zones : [];
  const selected = zoneByName(ui.selected);
  if (selected) {
    const cx = (selected.x + selected.width) * width, cy = (selected.y + selected.height) * height;
    if (Math.abs(p.x - cx) <= HANDLE && Math.abs(p.y - cy) <= HANDLE) return { zone: selected, mode: "resize" };
  }
  for (let i = zones.length - 1; i >= 0; i--) {
    const z = zones[i];
    if (p.x >= z.x * width && p.x <= (z.x + z.width) * width && p.y >= z.y * height && p.y <= (z.y + z.height) * height)
      return { zone: z, mode: "move" };
  }
  return null;
}

const clamp = (v, low, high) => Math.min(high, Math.max(low, v));
const round4 = (v) => Math.round(v * 10000) / 10000;

function onPointerDown(event) {
  if (!ui.settings) return;
  const p = pointer(event);
  $("overlay").setPointerCapture(event.pointerId);
  const found = hit(p);
  if (found) {
    if (found.zone.name !== ui.selected) selectZone(found.zone.name);
    ui.drag = { mode: found.mode, zone: found.zone, start: p, original: { ...found.zone } };
  } else {
    ui.drag = { mode: "draw", x0: p.x, y0: p.y, x1: p.x, y1: p.y };
  }
}

function onPointerMove(event) {
  const d = ui.drag;
  if (!d) return;
  const p = pointer(event);
  const { width, height } = pictureSize();
  if (d.mode === "draw") {
    d.x1 = clamp(p.x, 0, width);
    d.y1 = clamp(p.y, 0, height);
  } else if (d.mode === "move") {
    const z = d.zone, o = d.original;
    z.x = round4(clamp(o.x + (p.x - d.start.x) / width, 0, 1 - o.width));
    z.y = round4(clamp(o.y + (p.y - d.start.y) / height, 0, 1 - o.height));
  } else {
    const z = d.zone, o = d.original;
    z.width = round4(clamp(o.width + (p.x - d.start.x) / width, MIN_ZONE, 1 - o.x));
    z.height = round4(clamp(o.height + (p.y - d.start.y) / height, MIN_ZONE, 1 - o.y));
  }
  drawOverlay();
}

function onPointerUp(event) {
  const d = ui.drag;
  ui.drag = null;
  if (!d) return;
  if (d.mode === "draw") {
    const { width, height } = pictureSize();
    const x = Math.min(d.x0, d.x1) / width, y = Math.min(d.y0, d.y1) / height;
    const w = Math.abs(d.x1 - d.x0) / width, h = Math.abs(d.y1 - d.y0) / height;
    if (w >= MIN_ZONE && h >= MIN_ZONE) {
      const role = "home_score";
      const zone = { name: uniqueName(role), role, x: round4(x), y: round4(y),
                     width: round4(Math.min(w, 1 - x)), height: round4(Math.min(h, 1 - y)) };
      ui.settings.zones.push(zone);
      selectZone(zone.name);
      scheduleZoneSave();
    }
    drawOverlay();
    return;
  }
  const z = d.zone, o = d.original;
  if (z.x !== o.x || z.y !== o.y || z.width !== o.width || z.height !== o.height) {
    scheduleZoneSave();
    requestView();
  }
}

async function refreshPreview(stamp) {
  if (stamp === ui.previewStamp) return;
  const answer = await fetch("/preview.jpg?" + Date.now());
  if (answer.status !== 200) return;
  const blob = await answer.blob();
  const url = URL.createObjectURL(blob);
  const image = $("preview");
  await new Promise((resolve) => { image.onload = resolve; image.onerror = resolve; image.src = url; });
  if (ui.previewUrl) URL.revokeObjectURL(ui.previewUrl);
  ui.previewUrl = url;
  const first = ui.previewStamp === null;
  ui.previewStamp = stamp;
  image.hidden = false;
  $("overlay").hidden = false;
  $("no-picture").hidden = true;
  drawOverlay();
  if (first || !ui.viewPending) requestView();
}

function forgetPreview() {
  // A new source: its first picture is still to come.
  ui.previewStamp = null;
  ui.view = null;
  $("preview").hidden = true;
  $("overlay").hidden = true;
  $("no-picture").hidden = false;
}

// ---- the agent's state -------------------------------------------------------------------

function showStatus(state) {
  $("status").textContent = state.status.text;
  $("status").className = "status " + state.status.level;
  if (!state.has_preview) $("no-picture").textContent = "No picture yet. " + state.status.text;
  const problems = state.problems || [];
  $("problems").hidden = problems.length === 0;
  $("problem-list").replaceChildren(...problems.map((text) => {
    const item = document.createElement("li");
    item.textContent = text;
    return item;
  }));
  $("rejected-copy").textContent = state.rejected_copy
    ? "What the file held is kept in " + state.rejected_copy + "; the mended settings are in force." : "";
}

function sourceButton(source, selected) {
  const item = document.createElement("li");
  const button = document.createElement("button");
  button.type = "button";
  button.className = "ndi-source" + (source.name === selected ? " selected" : "");
  button.textContent = source.name + (source.url_address ? "  (" + source.url_address + ")" : "");
  button.dataset.name = source.name;
  button.addEventListener("click", () => selectSource(source.name));
  item.appendChild(button);
  return item;
}

function showNdi(state) {
  const ndi = state.ndi;
  if (!ndi) return;
  $("ndi-selected").textContent = ndi.selected || "nothing";
  $("ndi-empty").hidden = ndi.sources.length > 0;
  // Drawn again only when it changed: a button replaced under the pointer loses the click.
  const drawn = JSON.stringify([ndi.selected, ndi.sources.map((source) => [source.name, source.url_address])]);
  if (drawn !== ui.ndiDrawn) {
    ui.ndiDrawn = drawn;
    $("ndi-sources").replaceChildren(...ndi.sources.map((source) => sourceButton(source, ndi.selected)));
  }
  const latency = ndi.latency;
  $("ndi-latency").hidden = !latency;
  if (latency) {
    const ms = Number(latency.capture_to_publish_ms);
    $("ndi-latency").textContent = `last preview ${latency.frame_id}: capture to publication ` +
      (Number.isFinite(ms) ? ms.toFixed(1) + " ms" : "unknown") + `, ${latency.jpeg_size} bytes`;
  }
}

async function selectSource(name) {
  const answer = await api("POST", "/api/ndi/select", { source: name });
  message("source-message", answer.ok ? "following " + name : ((answer.data && (answer.data.error ||
    (answer.data.problems || []).join("; "))) || "could not select"), answer.ok ? "ok" : "error");
  if (answer.ok) ui.settings.ndi.source = name;
}

async function refreshSources() {
  const answer = await api("POST", "/api/ndi/refresh", {});
  message("source-message", answer.ok ? "looking for sources…" : ((answer.data && answer.data.error) || "refresh failed"),
          answer.ok ? "ok" : "error");
}

function liveRows(state) {
  // The tracker's published states when the agent has them, else the newest raw readings.
  if (Array.isArray(state.live)) return state.live;
  const fields = (state.reading && state.reading.fields) || {};
  return Object.entries(fields).map(([name, f]) => ({
    name, text: f.value === null || f.value === undefined ? "" : String(f.value),
    state: f.valid ? "live" : "held", age: null, raw: f.value, reason: f.reason }));
}

function showLive(state) {
  const rows = liveRows(state);
  $("no-readings").hidden = rows.length > 0;
  $("live").tBodies[0].replaceChildren(...rows.map((field) => {
    const row = document.createElement("tr");
    row.dataset.field = field.name;
    if (field.state !== "live") row.className = "not-live " + field.state;
    const age = typeof field.age === "number" ? field.age.toFixed(1) + " s" : "";
    const raw = field.raw === null || field.raw === undefined ? (field.reason || "") : String(field.raw);
    for (const text of [field.name, field.text, field.state, age, raw]) {
      const cell = document.createElement("td");
      cell.textContent = text;
      row.appendChild(cell);
    }
    return row;
  }));
}

async function poll() {
  try {
    const answer = await api("GET", "/api/state");
    if (answer.ok) {
      const state = answer.data;
      showStatus(state);
      showNdi(state);
      showLive(state);
      if (state.settings_version !== ui.settingsVersion && !ui.dirtyZones && !ui.drag) {
        if (await loadSettings()) ui.settingsVersion = state.settings_version;
      }
      const stamp = state.reading && state.reading.preview_mtime;
      if (!state.has_preview && ui.previewStamp !== null) forgetPreview();
      if (state.has_preview && stamp !== undefined) await refreshPreview(stamp);
      else if (ui.selected && !ui.viewPending && ui.previewStamp) requestView();
    }
  } catch (e) {
    $("status").textContent = "The agent does not answer.";
    $("status").className = "status error";
  }
  setTimeout(poll, 500);
}

async function start() {
  const meta = await api("GET", "/api/meta");
  ui.meta = meta.data;
  $("zone-role").replaceChildren(...ui.meta.roles.map((role) => {
    const option = document.createElement("option");
    option.value = option.textContent = role;
    return option;
  }));
  for (const radio of document.querySelectorAll("input[name=receiver]")) radio.addEventListener("change", showReceiverChoice);
  for (const input of document.querySelectorAll("#source-panel input, #source-panel select"))
    input.addEventListener("input", () => { ui.sourceEdited = true; });
  $("apply-source").addEventListener("click", applySource);
  $("ndi-refresh").addEventListener("click", refreshSources);
  $("zone-name").addEventListener("change", onNameInput);
  $("zone-role").addEventListener("change", onRoleInput);
  for (const key of PROCESSING) $("p-" + key).addEventListener(
    $("p-" + key).type === "number" ? "input" : "change", () => onProcessingInput(key));
  $("auto").addEventListener("click", autoSettings);
  $("defaults").addEventListener("click", () => {
    const zone = zoneByName(ui.selected);
    zone.processing = {};
    showZoneEditor();
    scheduleZoneSave();
    requestView();
  });
  $("delete-zone").addEventListener("click", () => {
    ui.settings.zones = ui.settings.zones.filter((z) => z.name !== ui.selected);
    ui.selected = null;
    showZones();
    scheduleZoneSave();
  });
  const overlay = $("overlay");
  overlay.addEventListener("pointerdown", onPointerDown);
  overlay.addEventListener("pointermove", onPointerMove);
  overlay.addEventListener("pointerup", onPointerUp);
  window.addEventListener("resize", drawOverlay);
  await loadSettings();
  poll();
}

start();
