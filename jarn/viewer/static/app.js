"use strict";
// The jarn viewer: asks the server only for what is on screen (a time window of one thread, the
// children of one call, one call's values) so that traces of any size stay responsive.

const $ = (sel) => document.querySelector(sel);
const ROW = 18, AXIS = 18, MAX_ROWS = 1500;
const state = {
  traces: [], row: null, summary: null, thread: null, view: null, bars: [], marks: [], names: {},
  selected: null, detail: null, sort: "total", flameToken: 0, treeNodes: new Map(),
  mode: "timeline", merged: null, mergedFocus: 0, mergedBoxes: [],
};

async function api(path) {
  const response = await fetch(path);
  const body = await response.json().catch(() => ({ error: `HTTP ${response.status}` }));
  if (!response.ok) throw new Error(body.error || `HTTP ${response.status}`);
  return body;
}

function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === "class") node.className = v;
    else if (k.startsWith("on")) node.addEventListener(k.slice(2), v);
    else node.setAttribute(k, v);
  }
  for (const c of children) node.append(c instanceof Node ? c : document.createTextNode(String(c)));
  return node;
}

function duration(s) {
  if (s === null || s === undefined) return "–";
  if (s >= 1) return `${s.toFixed(2)} s`;
  if (s >= 1e-3) return `${(s * 1e3).toFixed(2)} ms`;
  if (s >= 1e-6) return `${(s * 1e6).toFixed(1)} µs`;
  return `${(s * 1e9).toFixed(0)} ns`;
}

function size(n) {
  const units = ["B", "KiB", "MiB", "GiB"];
  let i = 0;
  while (n >= 1024 && i < units.length - 1) { n /= 1024; i++; }
  return i ? `${n.toFixed(1)} ${units[i]}` : `${n} B`;
}

function fnName(fn) { return (state.names[fn] || ["?", ""])[0]; }

function shortName(qualname) {
  return qualname.startsWith("__main__.") ? qualname.slice(9) : qualname;
}

// ---------------------------------------------------------------- trace list

async function loadTraces() {
  try {
    state.traces = await api("/api/traces");
  } catch (e) {
    $("#status").textContent = `The trace list cannot be read: ${e.message}`;
    return;
  }
  renderTraces();
  // durations of the traces the server is still indexing come in a moment later
  if (state.traces.some((t) => t.indexing)) setTimeout(loadTraces, 1000);
}

// A child process's trace right under its parent's (when that is listed), oldest child first.
function inFamilies(traces) {
  const listed = new Set(traces.map((t) => t.trace_id)), children = new Map(), out = [];
  for (const t of traces) {
    if (t.parent_trace_id && listed.has(t.parent_trace_id) && t.parent_trace_id !== t.trace_id) {
      if (!children.has(t.parent_trace_id)) children.set(t.parent_trace_id, []);
      children.get(t.parent_trace_id).push(t);
    }
  }
  const add = (t, depth) => {
    out.push([t, depth]);
    const mine = children.get(t.trace_id) || [];
    children.delete(t.trace_id);
    for (const c of mine.sort((a, b) => a.created_at - b.created_at)) add(c, depth + 1);
  };
  for (const t of traces) if (!(t.parent_trace_id && listed.has(t.parent_trace_id) && t.parent_trace_id !== t.trace_id)) add(t, 0);
  for (const rest of children.values()) for (const t of rest) out.push([t, 0]);
  return out;
}

function renderTraces() {
  const filter = $("#trace-filter").value.trim().toLowerCase();
  const body = $("#traces tbody");
  body.replaceChildren();
  for (const [t, depth] of inFamilies(state.traces)) {
    const date = new Date(t.created_at * 1000), two = (n) => String(n).padStart(2, "0");
    const when = `${two(date.getMonth() + 1)}-${two(date.getDate())} ${two(date.getHours())}:${two(date.getMinutes())}:${two(date.getSeconds())}`;
    const by = [t.user, t.host].filter(Boolean).join("@");  // who made it: a team's store holds many machines' traces
    const text = `${when} ${t.what} ${t.trace_id} ${by}`.toLowerCase();
    if (filter && !text.includes(filter)) continue;
    const tr = el("tr", { "data-row": t.row_id, title: `${t.what}\n${t.trace_id}\n${t.command_line.join(" ")}${t.error ? "\n" + t.error : ""}`,
      onclick: () => { location.hash = `row=${t.row_id}`; } },
      el("td", {}, when), el("td", depth ? { class: "child" } : {}, (depth ? "\u00a0\u00a0".repeat(depth - 1) + "└ " : "") + (t.what || "?")), el("td", { class: "num" }, t.error ? "unreadable" : t.indexing ? "…" : duration(t.duration)),
      el("td", { class: "num" }, t.records.toLocaleString()), el("td", { class: "num" }, size(t.size)), el("td", { class: "by" }, by));
    if (t.row_id === state.row) tr.classList.add("current");
    if (t.error) tr.classList.add("broken");
    body.append(tr);
  }
}

// ---------------------------------------------------------------- opening a trace

async function openTrace(row, callId) {
  if (state.row !== row) {
    state.row = row;
    state.summary = null;
    state.selected = null;
    renderTraces();
    $("#status").textContent = "Opening the trace (indexed once, the first time)…";
    $("#status").className = "";
    for (const id of ["#threads", "#tree", "#results-list"]) $(id).replaceChildren();
    $("#functions tbody").replaceChildren();
    $("#banner").hidden = true;
    $("#compare").hidden = true;
    let summary;
    try {
      summary = await api(`/api/traces/${row}`);
    } catch (e) {
      if (state.row !== row) return;
      $("#status").textContent = e.message;
      $("#status").className = "error";
      state.bars = [];
      drawFlame();
      loadTraces();
      return;
    }
    if (state.row !== row) return;
    state.summary = summary;
    const t = summary.trace || {};
    $("#trace-title").textContent = `${t.what || ""} · ${t.trace_id || ""}`;
    $("#status").textContent = `${summary.calls.toLocaleString()} calls · ${summary.records.toLocaleString()} records · ${duration(summary.end - summary.start)}`;
    if (summary.truncated) {
      const d = summary.truncated;
      $("#banner").textContent = `This trace was cut short: the memory limit (${size(d.limit_bytes || 0)}) was reached, ` +
        `${(d.records_dropped || 0).toLocaleString()} records (${size(d.bytes_dropped || 0)}) were not kept.`;
      $("#banner").hidden = false;
    }
    const tabs = $("#threads");
    for (const th of summary.threads) {
      tabs.append(el("button", { type: "button", role: "tab", "data-thread": th.thread, onclick: () => showThread(th.thread) },
        `${th.name} (${th.calls.toLocaleString()})`));
    }
    loadFunctions();
    offerComparison(t);
    // the thread that ran most is the one to look at first (a web request's, not an idle main thread)
    const busiest = summary.threads.reduce((best, th) => (best === null || th.calls > best.calls ? th : best), null);
    if (busiest) await showThread(busiest.thread);
    if (t.duration === null || t.duration === undefined) loadTraces();
  }
  if (callId) selectCall(callId, "url");
}

function threadInfo(no) { return state.summary.threads.find((t) => t.thread === no); }

async function showThread(no) {
  state.thread = no;
  for (const b of $("#threads").children) b.setAttribute("aria-selected", String(Number(b.dataset.thread) === no));
  sizeCanvas();  // before anything is drawn: the canvas takes the thread's depth and the page's width
  resetView();
  if (state.mode === "merged") loadMerged();
  state.treeNodes = new Map();
  const tree = $("#tree");
  tree.replaceChildren();
  await loadChildren(0, tree, 0);
}

// ---------------------------------------------------------------- plugin records

const RECORD_NAMES = { sql: "SQL", http: "HTTP", template: "template", log: "log", subprocess: "subprocess" };
const RECORD_COLORS = { sql: "#4f7fc4", http: "#3f9a6b", template: "#9b6bc4", log: "#8a939c", subprocess: "#c48a3f" };

function recordName(type) { return RECORD_NAMES[type] || type; }

// A record written when its work ended (SQL, templates, HTTP responses) covers its duration
// before that moment; others are an instant.
function recordSpan(r) {
  const d = typeof r.duration === "number" && r.duration > 0 ? r.duration : 0;
  return { start: r.ts - d, end: r.ts };
}

function placeRecords(records, calls, o) {
  const depth = new Map(calls.map((c) => [c.id, c.depth]));
  const out = [];
  for (const r of records) {
    if (typeof r.ts !== "number" || !depth.has(r.call)) continue;
    const span = recordSpan(r);
    out.push({ ...r, s: span.start - o, e: span.end - o, depth: depth.get(r.call) + 1 });
  }
  return out;
}

// SQL on several lines: each clause on its own, conditions indented.
function formatSql(sql) {
  const clauses = /\s+(SELECT|FROM|WHERE|GROUP BY|ORDER BY|HAVING|LIMIT|OFFSET|VALUES|SET|RETURNING|UNION(?: ALL)?|(?:LEFT |RIGHT |INNER |OUTER |CROSS |FULL )*JOIN|ON CONFLICT)\b/gi;
  return String(sql).trim().replace(/\s+/g, " ").replace(clauses, "\n$1").replace(/\s+(AND|OR)\s+/gi, "\n  $1 ");
}

// A record's own values as readable text: SQL formatted, durations in the units calls use.
function recordText(type, data) {
  const lines = [], skip = new Set(["frame_id", "thread", "thread_native_id", "user_code_call_site"]);
  if (type === "sql") {
    lines.push(formatSql(data.sql || ""));
    if (data.params !== undefined && data.params !== null) lines.push(`parameters: ${valueText(data.params)}`);
    skip.add("sql").add("params");
  }
  for (const [k, v] of Object.entries(data)) {
    if (skip.has(k)) continue;
    lines.push(`${k}: ${k === "duration" && typeof v === "number" ? duration(v) : typeof v === "string" ? v : valueText(v)}`);
  }
  return lines.join("\n");
}

// ---------------------------------------------------------------- flame chart

const canvas = $("#flame");

function sizeCanvas() {
  const th = state.summary && state.thread !== null ? threadInfo(state.thread) : null;
  // A canvas cannot be arbitrarily tall: very deep recursion is drawn down to this depth.
  const rows = th ? Math.min(th.max_depth + 1, MAX_ROWS) : 4;
  canvas.style.height = `${AXIS + rows * ROW}px`;
  drawFlame();
}

// The canvas's pixels follow its size on the page (and the screen's pixel ratio), so that it is
// never drawn stretched; returns false while it has no size (not laid out yet).
function fitCanvas() {
  const ratio = window.devicePixelRatio || 1;
  const w = Math.max(1, Math.floor(canvas.clientWidth * ratio)), h = Math.max(1, Math.floor(canvas.clientHeight * ratio));
  if (canvas.width !== w) canvas.width = w;
  if (canvas.height !== h) canvas.height = h;
  return canvas.clientWidth > 0;
}

// Times on the page are seconds since the trace's start (`origin`): epoch seconds as doubles are
// only about 0.2 µs apart, too coarse for a view a few nanoseconds wide.
function origin() { return state.summary.start ?? 0; }

function threadSpan() {
  const th = threadInfo(state.thread);
  const start = (th.start ?? state.summary.start ?? 0) - origin();  // a thread may have no records
  const end = (th.end ?? state.summary.end ?? 0) - origin();
  return { start, end: Math.max(end, start) };
}

function resetView() {
  const { start, end } = threadSpan();
  const span = Math.max(end - start, 1e-6);
  state.view = { t0: start - span * 0.01, t1: start + span * 1.01 };
  fetchFlame();
}

let flameTimer = null;
function fetchFlame() {
  drawFlame();
  clearTimeout(flameTimer);
  flameTimer = setTimeout(async () => {
    if (!state.summary || state.thread === null) return;
    const token = ++state.flameToken;
    const { t0, t1 } = state.view, o = origin();
    const min = (t1 - t0) / Math.max(canvas.clientWidth, 100);  // narrower than a pixel: not drawn
    try {
      const result = await api(`/api/traces/${state.row}/flame?thread=${state.thread}&t0=${o + t0}&t1=${o + t1}&min=${min}`);
      if (token !== state.flameToken) return;
      Object.assign(state.names, result.functions);
      for (const c of result.calls) { c.s = c.start - o; c.e = c.end - o; }
      state.bars = result.calls;
      state.marks = placeRecords(result.records || [], result.calls, o);
      drawFlame();
    } catch (e) {
      $("#status").textContent = e.message;
    }
  }, 40);
}

function hue(fn) {
  let h = 0;
  for (const ch of fnName(fn)) h = (h * 31 + ch.charCodeAt(0)) >>> 0;
  return h % 360;
}

function barBox(bar) {
  const { t0, t1 } = state.view;
  const w = canvas.clientWidth;
  const x0 = ((bar.s - t0) / (t1 - t0)) * w;
  const x1 = ((bar.e - t0) / (t1 - t0)) * w;
  const left = Math.max(x0, -1), right = Math.min(Math.max(x1, x0 + 1), w + 1);
  return { x: left, w: right - left, y: AXIS + bar.depth * ROW };
}

function drawFlame() {
  if (!fitCanvas()) return;
  const ratio = window.devicePixelRatio || 1;
  const ctx = canvas.getContext("2d");
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  const w = canvas.clientWidth;
  ctx.clearRect(0, 0, w, canvas.clientHeight);
  if (state.mode === "merged") { drawMerged(ctx, w); return; }
  if (!state.view || !state.summary) return;
  const { t0, t1 } = state.view;
  // time axis, from the trace's start: ticks are counted, not added up, so that no step is too
  // small to move the next tick
  ctx.fillStyle = "#55606c";
  ctx.font = "11px system-ui, sans-serif";
  const step = niceStep((t1 - t0) / 8);
  const first = Math.ceil(t0 / step), last = Math.min(Math.floor(t1 / step), first + 20);
  for (let i = first; i <= last; i++) {
    const t = i * step;
    const x = ((t - t0) / (t1 - t0)) * w;
    ctx.fillRect(x, 12, 1, 6);
    ctx.fillText(axisLabel(t, step), x + 2, 10);
  }
  ctx.font = "12px system-ui, sans-serif";
  ctx.textBaseline = "middle";
  for (const bar of state.bars) {
    const box = barBox(bar);
    if (box.x > w || box.x + box.w < 0) continue;
    ctx.fillStyle = `hsl(${hue(bar.fn)}, 55%, ${bar.flags & 2 ? 85 : 74}%)`;
    ctx.fillRect(box.x, box.y, Math.max(box.w - 0.5, 0.5), ROW - 1);
    if (bar.flags & 1) { ctx.strokeStyle = "#c0392b"; ctx.lineWidth = 1.5; ctx.strokeRect(box.x + 0.75, box.y + 0.75, box.w - 1.5, ROW - 2.5); }
    if (bar.id === state.selected) { ctx.strokeStyle = "#111"; ctx.lineWidth = 2; ctx.strokeRect(box.x + 1, box.y + 1, Math.max(box.w - 2, 1), ROW - 3); }
    if (box.w > 28) {
      const label = shortName(fnName(bar.fn));
      const visible = Math.max(box.x, 0);
      const room = Math.min(box.x + box.w, w) - visible - 6;
      const chars = Math.floor(room / 6.5);
      if (chars > 1) {
        ctx.fillStyle = "#1d2126";
        ctx.fillText(label.length > chars ? label.slice(0, chars - 1) + "…" : label, visible + 3, box.y + ROW / 2);
      }
    }
  }
  drawRecords(ctx, w);
}

// A tick's time in the unit of the step, with as many decimals as the step needs.
function axisLabel(t, step) {
  const [unit, scale] = step >= 1 ? ["s", 1] : step >= 1e-3 ? ["ms", 1e3] : step >= 1e-6 ? ["µs", 1e6] : ["ns", 1e9];
  const decimals = Math.max(0, Math.min(6, -Math.floor(Math.log10(step * scale) + 1e-9)));
  return `${(t * scale).toFixed(decimals)} ${unit}`;
}

function drawRecords(ctx, w) {
  const { t0, t1 } = state.view;
  for (const m of state.marks) {
    const x0 = ((m.s - t0) / (t1 - t0)) * w, x1 = ((m.e - t0) / (t1 - t0)) * w;
    const left = Math.max(x0, -1), right = Math.min(Math.max(x1, x0 + 3), w + 1);
    if (left > w || right < 0) continue;
    const y = AXIS + m.depth * ROW;
    ctx.fillStyle = RECORD_COLORS[m.type] || "#6c7a89";
    ctx.fillRect(left, y + 3, right - left, ROW - 7);
    const room = Math.min(right, w) - Math.max(left, 0) - 6;
    const label = `${recordName(m.type)} ${m.label}`;
    const chars = Math.floor(room / 6.5);
    if (chars > 3) {
      ctx.fillStyle = "#fff";
      ctx.fillText(label.length > chars ? label.slice(0, chars - 1) + "…" : label, Math.max(left, 0) + 3, y + ROW / 2);
    }
  }
}

// ---------------------------------------------------------------- merged flame graph

async function loadMerged() {
  const row = state.row, thread = state.thread;
  state.merged = null;
  state.mergedFocus = 0;
  drawFlame();
  const th = threadInfo(thread);
  const min = Math.max((th.end ?? 0) - (th.start ?? 0), 0) / 5000;  // far below a pixel: left out
  const result = await api(`/api/traces/${row}/merged?thread=${thread}&min=${min}`);
  if (row !== state.row || thread !== state.thread) return;
  Object.assign(state.names, result.functions);
  const kids = new Map();
  for (const n of result.nodes) {
    if (!kids.has(n.parent)) kids.set(n.parent, []);
    kids.get(n.parent).push(n);  // already biggest first: left heavy
  }
  state.merged = { nodes: new Map(result.nodes.map((n) => [n.node, n])), kids };
  drawFlame();
}

// Boxes of the merged graph from the focused node down, each child laid left to right inside its
// parent, the biggest first.
function mergedLayout(w) {
  const m = state.merged, boxes = [];
  if (!m) return boxes;
  const focus = state.mergedFocus ? m.nodes.get(state.mergedFocus) : null;
  const roots = focus ? [focus] : m.kids.get(0) || [];
  const whole = roots.reduce((sum, n) => sum + n.total, 0) || 1;
  const place = (nodes, x, depth) => {
    for (const n of nodes) {
      const width = (n.total / whole) * w;
      if (width < 0.5) break;
      boxes.push({ n, x, w: width, y: AXIS + depth * ROW });
      if (depth < MAX_ROWS) place(m.kids.get(n.node) || [], x, depth + 1);
      x += width;
    }
  };
  place(roots, 0, 0);
  return boxes;
}

function drawMerged(ctx, w) {
  ctx.font = "12px system-ui, sans-serif";
  ctx.textBaseline = "middle";
  if (!state.merged) { ctx.fillStyle = "#55606c"; ctx.fillText("merging the thread's calls…", 6, AXIS / 2 + 4); return; }
  state.mergedBoxes = mergedLayout(w);
  for (const b of state.mergedBoxes) {
    ctx.fillStyle = `hsl(${hue(b.n.fn)}, 55%, 74%)`;
    ctx.fillRect(b.x, b.y, Math.max(b.w - 0.5, 0.5), ROW - 1);
    const chars = Math.floor((b.w - 6) / 6.5);
    if (chars > 1) {
      const label = shortName(fnName(b.n.fn));
      ctx.fillStyle = "#1d2126";
      ctx.fillText(label.length > chars ? label.slice(0, chars - 1) + "…" : label, b.x + 3, b.y + ROW / 2);
    }
  }
}

function mergedAt(x, y) {
  return state.mergedBoxes.find((b) => y >= b.y && y < b.y + ROW && x >= b.x && x <= b.x + b.w) || null;
}

function setMode(mode) {
  state.mode = mode;
  for (const b of document.querySelectorAll("#modes button")) b.setAttribute("aria-selected", String(b.dataset.mode === mode));
  for (const s of document.querySelectorAll("#flame-help [data-for]")) s.hidden = s.dataset.for !== mode;
  if (mode === "merged" && state.summary && state.thread !== null) loadMerged();
  else drawFlame();
}
for (const b of document.querySelectorAll("#modes button")) b.addEventListener("click", () => setMode(b.dataset.mode));

function niceStep(raw) {
  if (!(raw > 0)) return 1e-9;
  const p = Math.pow(10, Math.floor(Math.log10(raw)));
  for (const m of [1, 2, 5, 10]) if (raw <= m * p) return m * p;
  return 10 * p;
}

function barAt(x, y) {
  for (const bar of state.bars) {
    const box = barBox(bar);
    if (y >= box.y && y < box.y + ROW && x >= box.x && x <= box.x + box.w) return bar;
  }
  return null;
}

// The narrowest view: one nanosecond across the chart.
const MIN_SPAN = 1e-9;

function zoomTo(t0, t1) {
  const { start, end } = threadSpan();
  const full = Math.max(end - start, 1e-6) * 1.2;
  const span = Math.min(Math.max(t1 - t0, MIN_SPAN), full);
  const mid = (t0 + t1) / 2;
  state.view = { t0: mid - span / 2, t1: mid + span / 2 };
  fetchFlame();
}

canvas.addEventListener("wheel", (event) => {
  if (!state.view || state.mode !== "timeline") return;
  event.preventDefault();
  const { t0, t1 } = state.view;
  const at = t0 + (event.offsetX / canvas.clientWidth) * (t1 - t0);
  const factor = Math.pow(1.0015, event.deltaY);
  const n0 = at - (at - t0) * factor, n1 = at + (t1 - at) * factor;
  zoomTo(n0, n1);
  // keep the point under the pointer in place
  const shift = at - (state.view.t0 + (event.offsetX / canvas.clientWidth) * (state.view.t1 - state.view.t0));
  state.view.t0 += shift; state.view.t1 += shift;
}, { passive: false });

let drag = null;
canvas.addEventListener("mousedown", (event) => {
  if (state.mode === "merged") {
    const b = mergedAt(event.offsetX, event.offsetY);
    // the focused node, clicked again, gives way to its parent
    state.mergedFocus = b ? (b.n.node === state.mergedFocus ? b.n.parent : b.n.node) : 0;
    drawFlame();
    if (b) showFunction({ fn: b.n.fn, qualname: fnName(b.n.fn) });
    return;
  }
  if (!state.view) return;
  drag = { x: event.clientX, y: event.clientY, view: { ...state.view }, moved: false };
});
window.addEventListener("mousemove", (event) => {
  if (!drag) return;
  const dx = event.clientX - drag.x;
  if (Math.abs(dx) > 3) drag.moved = true;
  if (!drag.moved) return;
  const per = (drag.view.t1 - drag.view.t0) / canvas.clientWidth;
  state.view = { t0: drag.view.t0 - dx * per, t1: drag.view.t1 - dx * per };
  fetchFlame();
});
window.addEventListener("mouseup", (event) => {
  if (!drag) return;
  const wasClick = !drag.moved;
  drag = null;
  if (wasClick && event.target === canvas) {
    const m = recordAt(event.offsetX, event.offsetY);
    const bar = m ? null : barAt(event.offsetX, event.offsetY);
    if (m) selectCall(m.call, "flame");
    else if (bar) selectCall(bar.id, "flame");
  }
});
function recordAt(x, y) {
  const { t0, t1 } = state.view, w = canvas.clientWidth;
  for (const m of state.marks) {
    const x0 = ((m.s - t0) / (t1 - t0)) * w, x1 = Math.max(((m.e - t0) / (t1 - t0)) * w, x0 + 3);
    const top = AXIS + m.depth * ROW;
    if (y >= top && y < top + ROW && x >= x0 - 1 && x <= x1 + 1) return m;
  }
  return null;
}

canvas.addEventListener("mousemove", (event) => {
  if (state.mode === "merged") {
    const b = mergedAt(event.offsetX, event.offsetY);
    canvas.title = b ? `${fnName(b.n.fn)} · ${duration(b.n.total)} in ${b.n.calls.toLocaleString()} calls · self ${duration(b.n.self)}` : "";
    return;
  }
  if (drag || !state.view) return;
  const m = recordAt(event.offsetX, event.offsetY);
  const bar = m ? null : barAt(event.offsetX, event.offsetY);
  canvas.title = m ? `${recordName(m.type)}${m.duration ? " · " + duration(m.duration) : ""}\n${m.type === "sql" ? formatSql(m.label) : m.label}`
    : bar ? `${fnName(bar.fn)} · ${duration(bar.end - bar.start)}` : "";
});

canvas.addEventListener("dblclick", (event) => {
  if (state.mode !== "timeline") return;
  const bar = barAt(event.offsetX, event.offsetY);
  if (bar) fitCall(bar);
});
$("#reset-zoom").addEventListener("click", () => {
  if (!state.summary) return;
  if (state.mode === "merged") { state.mergedFocus = 0; drawFlame(); } else resetView();
});
window.addEventListener("resize", () => state.summary && sizeCanvas());

function fitCall(call) {
  const s = call.start - origin(), e = call.end - origin();
  const span = Math.max(e - s, MIN_SPAN);
  zoomTo(s - span * 0.05, e + span * 0.05);
}

// ---------------------------------------------------------------- call tree

function treeNode(call) {
  const kids = el("div", { class: "kids", hidden: "" });
  const toggle = el("span", { class: "toggle" }, call.children || call.records ? "▸" : "");
  const row = el("div", { class: "row", role: "treeitem", "data-call": call.id },
    toggle, el("span", { class: call.flags & 1 ? "raised" : "" }, shortName(fnName(call.fn)) + (call.flags & 1 ? " ✗ raised" : "")),
    el("span", { class: "dur" }, `${duration(call.end - call.start)} · self ${duration(call.self)}` +
      (call.steps > 1 ? ` · ${call.steps} steps, awaiting ${duration(call.awaiting)}` : "")));
  const node = el("div", { class: "node" }, row, kids);
  node.call = call;
  toggle.addEventListener("click", (event) => { event.stopPropagation(); toggleNode(node); });
  row.addEventListener("click", () => selectCall(call.id, "tree"));
  row.addEventListener("dblclick", () => toggleNode(node));
  state.treeNodes.set(call.id, node);
  return node;
}

function recordNode(r) {
  const text = el("pre", { class: "value", hidden: "" });
  const row = el("div", { class: `row record-row record-${r.type}`, "data-record": r.off },
    el("span", { class: "toggle" }, "•"), el("span", { class: "record-kind" }, recordName(r.type)),
    el("span", { class: "record-label" }, r.label), el("span", { class: "dur" }, r.duration ? duration(r.duration) : ""));
  row.addEventListener("click", () => {
    text.hidden = !text.hidden;
    if (!text.textContent) text.textContent = r.type === "sql" ? formatSql(r.label) : r.label;
  });
  return el("div", { class: "node" }, row, text);
}

async function toggleNode(node, open) {
  const kids = node.lastChild;
  const show = open ?? kids.hidden;
  if (!node.call.children && !node.call.records) return;
  kids.hidden = !show;
  node.firstChild.firstChild.textContent = show ? "▾" : "▸";
  if (show) await loaded(node);
}

// Each node's first page of children is asked for once, however many callers wait for it.
function loaded(node) {
  if (!node.loading) node.loading = loadChildren(node.call.id, node.lastChild, 0);
  return node.loading;
}

async function loadChildren(parent, container, after) {
  const page = await api(`/api/traces/${state.row}/children?thread=${state.thread}&parent=${parent}&after=${after}&limit=200`);
  Object.assign(state.names, page.functions);
  // the parent's records go among its calls, where they happened
  const records = (page.records || []).filter((r) => typeof r.ts === "number");
  let next = 0;
  for (const call of page.calls) {
    while (next < records.length && recordSpan(records[next]).start < call.start) container.append(recordNode(records[next++]));
    container.append(treeNode(call));
  }
  if (!page.more) while (next < records.length) container.append(recordNode(records[next++]));
  if (page.more) {
    const last = page.calls[page.calls.length - 1].id;
    const more = el("div", { class: "more" }, "more calls…");
    more.addEventListener("click", async () => { more.remove(); await loadChildren(parent, container, last); });
    container.append(more);
  }
  return page;
}

// Opens the tree down to a call: each ancestor's children are loaded up to the next one.
// One at a time: two selections in a row must not both load the same missing siblings.
let revealing = Promise.resolve();
function revealInTree(path) {
  revealing = revealing.then(() => revealPath(path), () => revealPath(path));
  return revealing;
}

async function revealPath(path) {
  let container = $("#tree"), parent = 0;
  for (const id of path) {
    let node = state.treeNodes.get(id);
    if (!node) {
      // not among the loaded siblings: load a page starting at it, marked as a jump
      for (const m of container.querySelectorAll(":scope > .more")) m.remove();
      container.append(el("div", { class: "gap" }, "⋯"));
      await loadChildren(parent, container, id - 1);
      node = state.treeNodes.get(id);
      if (!node) return;
    }
    if (id !== path[path.length - 1]) {
      const kids = node.lastChild;
      if (kids.hidden) {
        kids.hidden = false;
        node.firstChild.firstChild.textContent = "▾";
      }
      await loaded(node);
      container = kids;
      parent = id;
    }
  }
}

// ---------------------------------------------------------------- selection and detail

let selecting = 0;
async function selectCall(id, from) {
  const token = ++selecting;
  let detail;
  try {
    detail = await api(`/api/traces/${state.row}/calls/${id}`);
  } catch (e) {
    $("#detail").replaceChildren(el("p", { class: "error" }, e.message));
    return;
  }
  if (token !== selecting) return;  // a later selection wins
  if (detail.thread !== state.thread) await showThread(detail.thread);
  state.selected = id;
  state.detail = detail;
  history.replaceState(null, "", `#row=${state.row}&call=${id}`);
  renderDetail(detail);
  await revealInTree(detail.path);
  for (const r of document.querySelectorAll("#tree .row.selected")) r.classList.remove("selected");
  const node = state.treeNodes.get(id);
  if (node) {
    node.firstChild.classList.add("selected");
    if (from !== "tree") node.firstChild.scrollIntoView({ block: "nearest" });
  }
  if (from !== "flame") {
    const { t0, t1 } = state.view, s = detail.start - origin(), e = detail.end - origin();
    const pixels = ((e - s) / (t1 - t0)) * canvas.clientWidth;
    if (e < t0 || s > t1 || pixels < 2) fitCall(detail);
  }
  drawFlame();
  const y = AXIS + detail.depth * ROW;
  const box = $("#flame-box");
  if (y < box.scrollTop || y > box.scrollTop + box.clientHeight - ROW) box.scrollTop = Math.max(0, y - box.clientHeight / 2);
}

// A value as text, in full: objects the serialiser described show their text (their repr in
// older traces).
function valueText(v, indent = "") {
  if (v === null || v === undefined) return "None";
  if (typeof v === "string") return JSON.stringify(v);
  if (typeof v !== "object") return String(v);
  if (!Array.isArray(v) && typeof v.__type__ === "string" && ("text" in v || "repr" in v) && Object.keys(v).length <= 3) {
    return String(v.text ?? v.repr);
  }
  const inner = indent + "  ";
  const items = Array.isArray(v) ? v.map((x) => valueText(x, inner)) : Object.entries(v).map(([k, x]) => `${k}: ${valueText(x, inner)}`);
  const open = Array.isArray(v) ? "[" : "{", close = Array.isArray(v) ? "]" : "}";
  const flat = `${open}${items.join(", ")}${close}`;
  if (flat.length <= 80 && !flat.includes("\n")) return flat;
  return `${open}\n${items.map((s) => inner + s).join(",\n")}\n${indent}${close}`;
}

function section(title, value, empty) {
  const box = el("div", {}, el("h3", {}, title));
  if (value === undefined || (value && typeof value === "object" && !Array.isArray(value) && !Object.keys(value).length && empty)) {
    box.append(el("p", { class: "muted" }, empty || "none"));
  } else if (value && typeof value === "object" && !Array.isArray(value) && !("__type__" in value)) {
    const dl = el("dl");
    for (const [k, v] of Object.entries(value)) dl.append(el("dt", {}, k), el("dd", {}, el("pre", { class: "value" }, valueText(v))));
    box.append(dl);
  } else {
    box.append(el("pre", { class: "value" }, valueText(value)));
  }
  return box;
}

function renderDetail(d) {
  const [qualname, path] = d.function;
  const o = origin();
  const facts = el("dl", {},
    el("dt", {}, "defined at"), el("dd", {}, path || "?"),
    el("dt", {}, "thread"), el("dd", {}, threadInfo(d.thread).name),
    el("dt", {}, "started"), el("dd", {}, `${duration(d.start - o)} after the trace began`),
    el("dt", {}, "duration"), el("dd", {}, duration(d.end - d.start) + (d.flags & 2 ? " (did not return while recorded)" : "")),
    el("dt", {}, "self time"), el("dd", {}, duration(d.self)),
    ...(d.steps > 1 ? [el("dt", {}, "steps"), el("dd", {}, `${d.steps} (a generator's or coroutine's run), awaiting ${duration(d.awaiting)} between them`)] : []),
    el("dt", {}, "calls made"), el("dd", {}, String(d.children)));
  if (d.call_site) {
    const link = el("a", { class: "call-link", onclick: () => selectCall(d.call_site.caller, "detail") }, shortName(d.call_site.qualname));
    facts.append(el("dt", {}, "called from"), el("dd", {}, link, ` line ${d.call_site.line ?? "?"}`));
  }
  const parts = [el("h3", { class: d.exception ? "raised" : "" }, qualname), facts,
    section("Arguments", d.arguments ?? {}, d.flags & 4 ? "not recorded (the call began before profiling)" : "no arguments")];
  if (d.exception) parts.push(section("Raised", d.exception));
  else if (d.returned) parts.push(section("Return value", d.return_value));
  parts.push(section("Locals at return", d.returned ? d.return_locals ?? {} : undefined, d.returned ? "none" : "did not return"));
  if (d.records.length) {
    const box = el("div", {}, el("h3", {}, "Records"));
    for (const r of d.records) {
      const when = r.timestamp ? ` at ${duration(r.timestamp - o)}` : "";
      box.append(el("div", { class: `record record-${r.type}` }, el("strong", {}, recordName(r.type)), when,
        el("pre", { class: "value" }, recordText(r.type, r.data))));
    }
    parts.push(box);
  }
  $("#detail").replaceChildren(...parts);
}

// ---------------------------------------------------------------- functions and search

async function loadFunctions() {
  const row = state.row;
  const rows = await api(`/api/traces/${row}/functions?sort=${state.sort}&limit=500`);
  if (row !== state.row) return;
  for (const th of document.querySelectorAll("#functions th")) th.classList.toggle("sorted", th.dataset.sort === state.sort);
  $("#functions tbody").replaceChildren(...rows.map((f) => el("tr", { title: `${f.qualname}\n${f.path}`, "data-fn": f.fn, onclick: () => showFunction(f) },
    el("td", {}, shortName(f.qualname)), el("td", { class: "num" }, f.calls.toLocaleString()),
    el("td", { class: "num" }, duration(f.total)), el("td", { class: "num" }, duration(f.self)))));
}

for (const th of document.querySelectorAll("#functions th")) {
  th.addEventListener("click", () => { state.sort = th.dataset.sort; if (state.row !== null) loadFunctions(); });
}

function showResults(title, items, failed = false) {
  const list = $("#results-list");
  list.replaceChildren(el("p", { class: failed ? "failed" : "muted" }, title), ...items);
  $("#results").hidden = false;
}

function callResult(c, note) {
  return el("div", { "data-call": c.id, onclick: () => selectCall(c.id, "search") },
    shortName(c.function[0]), el("span", { class: "dur" }, ` ${duration(c.end - c.start)}${note ? " · " + note : ""}`));
}

function relativeItem(p) {
  const item = el("div", { class: "fn-result" }, `ƒ ${shortName(p.function[0])}`, el("span", { class: "dur" }, ` ${p.calls.toLocaleString()} calls · ${duration(p.total)}`));
  if (p.fn) item.addEventListener("click", () => showFunction({ fn: p.fn, qualname: p.function[0] }));
  return item;
}

async function showFunction(f) {
  let calls, rel;
  try {
    [calls, rel] = await Promise.all([api(`/api/traces/${state.row}/search?fn=${encodeURIComponent(f.fn)}`),
      api(`/api/traces/${state.row}/relatives?fn=${encodeURIComponent(f.fn)}`)]);
  } catch (e) {
    showResults(`${shortName(f.qualname)} cannot be shown: ${e.message}`, [], true);
    return;
  }
  const name = shortName(f.qualname);
  showResults(`${name}`, [
    el("h4", {}, `called by`), ...(rel.callers.length ? rel.callers.map(relativeItem) : [el("p", { class: "muted" }, "nothing recorded")]),
    el("h4", {}, `calls`), ...(rel.callees.length ? rel.callees.map(relativeItem) : [el("p", { class: "muted" }, "no recorded function")]),
    el("h4", {}, `slowest calls`), ...calls.calls.map((c) => callResult(c, ""))]);
  for (const tr of document.querySelectorAll("#functions tbody tr")) tr.classList.toggle("current", Number(tr.dataset.fn) === f.fn);
}

let searchTimer = null;
$("#search").addEventListener("input", () => {
  clearTimeout(searchTimer);
  searchTimer = setTimeout(runSearch, 250);
});

async function runSearch() {
  const text = $("#search").value.trim();
  if (state.row === null || !text) { $("#results").hidden = true; return; }
  showResults("searching…", []);
  let found;
  try {
    found = await api(`/api/traces/${state.row}/search?q=${encodeURIComponent(text)}`);
  } catch (e) {
    if ($("#search").value.trim() === text) showResults(`The search for “${text}” failed: ${e.message}`, [], true);
    return;
  }
  if ($("#search").value.trim() !== text) return;
  const items = [];
  for (const f of found.functions) items.push(el("div", { class: "fn-result", onclick: () => showFunction(f) }, `ƒ ${shortName(f.qualname)}`, el("span", { class: "dur" }, ` ${f.calls} calls · ${duration(f.total)}`)));
  for (const c of found.calls) items.push(callResult(c, `in ${c.where}`));
  showResults(items.length ? `${found.functions.length} functions, ${found.calls.length} calls with “${text}”` : `nothing holds “${text}”`, items);
}
$("#close-results").addEventListener("click", () => { $("#results").hidden = true; });

// ---------------------------------------------------------------- comparing two runs

// The other traces, those of the same test or request path first: the usual "before".
function offerComparison(current) {
  const select = $("#compare-with");
  const others = state.traces.filter((t) => t.row_id !== current.row_id && !t.error);
  others.sort((a, b) => (b.what === current.what) - (a.what === current.what) || b.created_at - a.created_at);
  select.replaceChildren(el("option", { value: "" }, "another trace…"), ...others.map((t) => el("option", { value: t.row_id },
    `${t.what || "?"} · ${new Date(t.created_at * 1000).toLocaleTimeString()} · ${t.trace_id.slice(-6)}`)));
  $("#compare-pick").hidden = !others.length;
}

function signed(seconds) { return (seconds >= 0 ? "+" : "−") + duration(Math.abs(seconds)); }

function timesCells(t) {
  return t ? [el("td", { class: "num" }, t.calls.toLocaleString()), el("td", { class: "num" }, duration(t.total)), el("td", { class: "num" }, duration(t.self))]
    : [el("td", { class: "num" }, "–"), el("td"), el("td")];
}

// `before` is the trace picked in the list, `after` the one open.
async function compareWith(before) {
  const after = state.row, box = $("#compare-body");
  $("#compare").hidden = false;
  box.replaceChildren(el("p", { class: "muted" }, "comparing…"));
  let d;
  try {
    d = await api(`/api/compare?a=${before}&b=${after}`);
  } catch (e) {
    box.replaceChildren(el("p", { class: "error" }, `The two traces cannot be compared: ${e.message}`));
    return;
  }
  if (after !== state.row) return;
  const b = state.traces.find((t) => t.row_id === before) || {}, a = state.traces.find((t) => t.row_id === after) || {};
  const parts = [el("p", {}, `before: ${b.what || ""} ${b.trace_id || ""} · after: ${a.what || ""} ${a.trace_id || ""} (the one open)`)];
  const changed = d.functions.filter((f) => f.change || f.self_change || f.before.calls !== f.after.calls);
  const head = el("tr", {}, ...["function", "calls before", "total", "self", "calls after", "total", "self", "total change", "self change"].map((h) => el("th", {}, h)));
  parts.push(el("h3", {}, "Time by function, the biggest change of self time first"),
    el("table", { class: "compare-functions" }, el("thead", {}, head), el("tbody", {}, ...changed.slice(0, 200).map((f) => el("tr", { title: f.path },
      el("td", {}, shortName(f.qualname)), ...timesCells(f.before), ...timesCells(f.after),
      el("td", { class: `num ${f.change > 0 ? "up" : "down"}` }, signed(f.change)), el("td", { class: `num ${f.self_change > 0 ? "up" : "down"}` }, signed(f.self_change)))))));
  if (!changed.length) parts.push(el("p", { class: "muted" }, "no function's time changed"));
  for (const [title, items, side] of [["Called only before", d.only_before, "before"], ["Called only after", d.only_after, "after"]]) {
    if (!items.length) continue;
    parts.push(el("h3", {}, title), ...items.slice(0, 200).map((f) => el("div", { title: f.path },
      `ƒ ${shortName(f.qualname)}`, el("span", { class: "dur" }, ` ${f[side].calls.toLocaleString()} calls · ${duration(f[side].total)}`))));
  }
  parts.push(el("h3", {}, `Calls that saw other values: ${d.values.length} of ${d.matched_calls} matching calls`));
  for (const v of d.values.slice(0, 500)) {
    parts.push(el("div", { class: "value-change" }, el("strong", {}, shortName(v.qualname)),
      el("span", { class: "dur" }, ` #${v.position + 1}${v.path.length > 1 ? " from " + v.path.slice(0, -1).map(shortName).join(" › ") : ""}`),
      el("div", {}, v.text)));
  }
  if (!d.values.length) parts.push(el("p", { class: "muted" }, "none"));
  if (!d.all_values) parts.push(el("p", { class: "muted" }, "values were compared for each run's first calls only"));
  box.replaceChildren(...parts);
}

$("#compare-with").addEventListener("change", (event) => {
  const before = Number(event.target.value);
  event.target.value = "";
  if (before) compareWith(before);
});
$("#close-compare").addEventListener("click", () => { $("#compare").hidden = true; });

// ---------------------------------------------------------------- start

$("#trace-filter").addEventListener("input", renderTraces);

function route() {
  const params = new URLSearchParams(location.hash.slice(1));
  const row = Number(params.get("row"));
  if (row) openTrace(row, Number(params.get("call")) || null);
}
window.addEventListener("hashchange", route);
window.jarnViewer = { state, barBox, zoomTo, mergedLayout };  // for scripted checks of the page
loadTraces().then(route);
