"""A decoded trace as JSON, or as one self-contained HTML page (tree and timeline, no network)."""

from __future__ import annotations

import base64
import html
import json
from typing import Any

from jarn.trace import Call, PluginRecord, Trace


def plain(value: Any) -> Any:
    """A decoded value as strict JSON can hold it (bytes as base64, NaN and infinities as text)."""
    if isinstance(value, bytes):
        return {"__bytes__": base64.b64encode(value).decode("ascii")}
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, list | tuple):
        return [plain(v) for v in value]
    if isinstance(value, float) and value != value:
        return "NaN"
    if isinstance(value, float) and value in (float("inf"), float("-inf")):
        return str(value)
    return value


def _fields(node: Call | PluginRecord) -> dict[str, Any]:
    """A node's own entries, without its children."""
    if isinstance(node, PluginRecord):
        return {"kind": "record", "type": node.type, "timestamp": node.timestamp, "data": plain(node.data)}
    return {
        "kind": "call",
        "qualname": node.qualname,
        "co_name": node.co_name,
        "path": node.path,
        "frame_id": node.frame_id,
        "start": node.start,
        "end": node.end,
        "duration": node.duration,
        "call_line": node.call_line,
        "arguments": plain(node.arguments),
        "returned": node.returned,
        "return_value": plain(node.return_value),
        "return_locals": plain(node.return_locals),
        "exception": plain(node.exception),
    }


def _dump(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, allow_nan=False)


def _write_nodes(nodes: list[Call | PluginRecord], out: list[str]) -> None:
    """Appends the JSON array of `nodes` and their subtrees to `out`. Iterative: a recursive
    program's trace nests calls deeper than Python's (and json's) recursion allows."""
    stack: list[Any] = ["]"]
    for i in range(len(nodes) - 1, -1, -1):
        stack.append(nodes[i])
        if i:
            stack.append(",")
    out.append("[")
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            out.append(item)
            continue
        head = _dump(_fields(item))
        if isinstance(item, PluginRecord):
            out.append(head)
            continue
        out.append(head[:-1] + ', "children": [')
        stack.append("]}")
        children = item.children
        for i in range(len(children) - 1, -1, -1):
            stack.append(children[i])
            if i:
                stack.append(",")


def to_json(trace: Trace) -> str:
    """The decoded trace as one JSON document: its metadata, then per thread its tree."""
    meta = {
        "trace_id": trace.trace_id,
        "command_line": trace.command_line,
        "commit": trace.commit,
        "version": trace.version,
        "source": trace.source,
        "start": trace.start,
        "main_thread_id": trace.main_thread_id,
        "record_count": trace.record_count,
        "truncated": plain(trace.truncated),
    }
    out = [_dump(meta)[:-1], ', "threads": [']
    for i, thread in enumerate(trace.threads):
        out.append(("," if i else "") + _dump({"name": thread.name, "native_id": thread.native_id})[:-1] + ', "children": ')
        _write_nodes(thread.children, out)
        out.append("}")
    out.append("]}")
    return "".join(out)


_STYLE = """
body { font: 13px/1.45 ui-monospace, SFMono-Regular, Menlo, Consolas, monospace; margin: 1.5em; color: #222; }
h1 { font-size: 16px; margin: 0 0 .2em; } .meta { color: #666; margin-bottom: 1em; }
h2 { font-size: 14px; margin: 1.4em 0 .4em; color: #7a2a8a; }
details { margin-left: 1.2em; } summary { cursor: pointer; white-space: nowrap; }
.leaf { margin-left: 2.35em; white-space: nowrap; }
.q { font-weight: 600; } .p, .d { color: #888; } .v { color: #0a6b7c; }
.rec { color: #9a6700; } .x { color: #b3261e; } .cut { color: #b3261e; margin-bottom: 1em; } .continued { margin-top: .6em; border-top: 1px dashed #ccc; } .controls { margin: .5em 0 1em; }
button { font: inherit; margin-right: .5em; }
svg { border: 1px solid #ddd; background: #fafafa; } rect.c { fill: #6f9fd8; } rect.c:hover { fill: #e0833a; }
"""

_SCRIPT = """
const trace = JSON.parse(document.getElementById('trace-data').textContent);
function show(v, depth) {
  if (depth === undefined) depth = 3;
  if (v === null) return 'None';
  if (v === true) return 'True'; if (v === false) return 'False';
  if (typeof v === 'string') return JSON.stringify(v);
  if (typeof v === 'number') return String(v);
  if (Array.isArray(v)) return depth ? '[' + v.map(x => show(x, depth - 1)).join(', ') + ']' : '[...]';
  if (typeof v === 'object') {
    if ('__type__' in v && typeof (v.text ?? v.repr) === 'string') return v.text ?? v.repr;
    if ('__bytes__' in v) return "b'" + atob(v.__bytes__) + "'";
    return depth ? '{' + Object.entries(v).map(([k, x]) => JSON.stringify(k) + ': ' + show(x, depth - 1)).join(', ') + '}' : '{...}';
  }
  return String(v);
}
function cut(s, n) { return s.length > n ? s.slice(0, n - 3) + '...' : s; }
function dur(d) { if (d === null) return '?'; if (d < 1e-3) return (d * 1e6).toFixed(0) + ' µs';
  if (d < 1) return (d * 1e3).toFixed(1) + ' ms'; return d.toFixed(2) + ' s'; }
function el(tag, cls, text) { const e = document.createElement(tag); if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text; return e; }
function label(n, into) {
  into.appendChild(el('span', 'q', n.qualname));
  const args = n.arguments && typeof n.arguments === 'object' && !Array.isArray(n.arguments)
    ? Object.entries(n.arguments).map(([k, v]) => k + '=' + cut(show(v), 60)).join(', ') : '';
  into.appendChild(document.createTextNode('(' + args + ')'));
  if (n.exception !== null) into.appendChild(el('span', 'x', ' raised ' + cut(show(n.exception), 80)));
  else if (n.returned) { into.appendChild(document.createTextNode(' → ')); into.appendChild(el('span', 'v', cut(show(n.return_value), 80))); }
  into.appendChild(el('span', 'p', '  ' + n.path));
  into.appendChild(el('span', 'd', '  ' + dur(n.duration)));
}
function record(n) {
  const d = n.data; let text = '[' + n.type + (d.subtype ? '/' + d.subtype : '') + '] ';
  if (n.type === 'log') text += (d.level || '') + ' ' + (d.logger || '') + ': ' + (d.message || '');
  else if (n.type === 'start_test' || n.type === 'end_test') text += (d.test_id || '') + (d.outcome ? ' ' + d.outcome : '');
  else if (n.type === 'http') text += (d.method || '') + ' ' + (d.url || '') + (d.status ? ' → ' + d.status : '');
  else text += Object.entries(d).filter(([k]) => !['frame_id', 'thread', 'thread_native_id', 'user_code_call_site', 'subtype'].includes(k))
    .map(([k, v]) => k + '=' + cut(show(v), 50)).join(', ');
  return el('div', 'leaf rec', text);
}
// Trees are walked with explicit stacks: a recursive program's calls nest deeper than the
// browser's call stack.
function node(n) {
  if (n.kind === 'record') return record(n);
  if (!n.children.length) { const d = el('div', 'leaf call'); label(n, d); return d; }
  const det = el('details', 'call'); const sum = el('summary'); label(n, sum); det.appendChild(sum);
  det.open = true; return det;
}
// Past this many levels the tree goes on in a block of its own below: browsers give up on
// DOM trees nested thousands deep.
const MAX_NESTING = 64;
function build(n, continued) {
  const top = node(n); const stack = [[n, top, 0]];
  while (stack.length) {
    let [m, e, d] = stack.pop();
    if (m.kind !== 'call' || !m.children.length) continue;
    if (d >= MAX_NESTING) {
      e.appendChild(el('div', 'leaf p', '... continued below'));
      e = el('div', 'continued'); e.appendChild(el('div', 'p', '... calls under ' + m.qualname + ', continued'));
      continued.push(e); d = 0;
    }
    for (const c of m.children) { const ce = node(c); e.appendChild(ce); stack.push([c, ce, d + 1]); }
  }
  return top;
}
function calls(nodes, visit) {
  const stack = nodes.map(n => [n, 0]).reverse();
  while (stack.length) {
    const [n, depth] = stack.pop(); if (n.kind !== 'call') continue;
    visit(n, depth);
    for (let i = n.children.length - 1; i >= 0; i--) stack.push([n.children[i], depth + 1]);
  }
}
function timeline(thread, t0, t1) {
  const rows = []; const width = 1000, rowh = 14;
  calls(thread.children, (n, depth) => { if (n.start !== null && n.end !== null && depth < 200) rows.push([n, depth]); });
  const depth = rows.reduce((m, r) => Math.max(m, r[1]), 0) + 1;
  const ns = 'http://www.w3.org/2000/svg'; const svg = document.createElementNS(ns, 'svg');
  svg.setAttribute('width', width); svg.setAttribute('height', depth * rowh + 2); svg.setAttribute('class', 'timeline');
  const span = Math.max(t1 - t0, 1e-9);
  for (const [n, d] of rows) { const r = document.createElementNS(ns, 'rect'); r.setAttribute('class', 'c');
    r.setAttribute('x', ((n.start - t0) / span * width).toFixed(2)); r.setAttribute('y', d * rowh + 1);
    r.setAttribute('width', Math.max((n.end - n.start) / span * width, 0.5).toFixed(2)); r.setAttribute('height', rowh - 2);
    const t = document.createElementNS(ns, 'title'); t.textContent = n.qualname + ' ' + dur(n.duration); r.appendChild(t); svg.appendChild(r); }
  return svg;
}
const root = document.getElementById('threads');
if (trace.truncated) root.appendChild(el('div', 'cut', 'This trace was cut short by the memory limit: '
  + trace.truncated.records_dropped + ' records (' + trace.truncated.bytes_dropped + ' bytes) after that were not kept.'));
let t0 = Infinity, t1 = -Infinity;
calls(trace.threads.flatMap(t => t.children), n => {
  if (n.start !== null) t0 = Math.min(t0, n.start); if (n.end !== null) t1 = Math.max(t1, n.end); });
for (const thread of trace.threads) {
  if (!thread.children.length) continue;
  const section = el('section', 'thread'); section.dataset.thread = thread.name;
  section.appendChild(el('h2', '', thread.name + (thread.native_id !== null ? ' (native id ' + thread.native_id + ')' : '')));
  if (isFinite(t0) && isFinite(t1)) section.appendChild(timeline(thread, t0, t1));
  const tree = el('div', 'tree'); const continued = [];
  for (const c of thread.children) tree.appendChild(build(c, continued));
  section.appendChild(tree); for (const block of continued) section.appendChild(block);
  root.appendChild(section);
}
document.getElementById('expand').onclick = () => document.querySelectorAll('details').forEach(d => d.open = true);
document.getElementById('collapse').onclick = () => document.querySelectorAll('details').forEach(d => d.open = false);
"""


def to_html(trace: Trace) -> str:
    # Any "<" in the data could end the script element ("</script>") or open a comment state;
    # as a JSON escape it is inert and decodes to the same text.
    data = to_json(trace).replace("<", "\\u003c")
    title = html.escape(f"jarn trace {trace.trace_id}")
    meta = html.escape(
        f"{' '.join(trace.command_line)} · {trace.record_count} records · jarn {trace.version}"
        + (f" · source {trace.source}" if trace.source else "")
    )
    return (
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        f"<title>{title}</title><style>{_STYLE}</style></head><body>"
        f"<h1>{title}</h1><div class=\"meta\">{meta}</div>"
        "<div class=\"meta\">A page for sharing one small trace. For a big one, <code>jarn serve</code> opens the"
        " project's traces in a local viewer that loads only what is on screen.</div>"
        "<div class=\"controls\"><button id=\"expand\">expand all</button><button id=\"collapse\">collapse all</button></div>"
        "<div id=\"threads\"></div>"
        f"<script id=\"trace-data\" type=\"application/json\">{data}</script>"
        f"<script>{_SCRIPT}</script></body></html>\n"
    )
