"""Every view of a trace shows the same tree: the decoded model, the JSON export, the terminal
tree, the Chrome and speedscope exports and the viewer's index, on random programs (threads
interleaved in the main list or apart, the main thread under another id, calls that raise or
never return, returns without their call, plugin records under a call that has just returned,
traces cut short)."""

from __future__ import annotations

import io
import json
import os
import re
from collections import Counter

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from jarn import store as stores
from jarn.store import index, open_store, save_trace
from jarn.trace import Call, Walk, decode_trace
from jarn.views.chrome import write_chrome_trace
from jarn.views.export import to_json
from jarn.views.show import show
from jarn.views.speedscope import write_speedscope
from product_traces import exception, frame, frame_id, plugin, trace

ENDS = ["return", "return", "raise", "open"]
# A call: (name, children, how it ends, whether a record names it once it has returned).
calls_st = st.recursive(
    st.tuples(st.sampled_from("fgh"), st.just([]), st.sampled_from(ENDS), st.booleans()),
    lambda kids: st.tuples(st.sampled_from("fgh"), st.lists(kids, max_size=3), st.sampled_from(ENDS), st.booleans()), max_leaves=10)
THREADS = [("MainThread", 1), ("worker", 2), ("pool", 3)]


def _records(tree, thread: tuple[str, int], clock: list[float], site: str | None) -> tuple[list[dict], list]:
    """The records of one call and its subtree, and the tree they should make: [kind, name, children]."""
    name, kids, end, named_after = tree
    fid, kw = frame_id(), {"thread": thread[0], "native": thread[1]}
    clock[0] += 1.0
    out = [frame("call", f"m.{name}", fid, ts=clock[0], locals={"n": clock[0]}, site=None if site is None else (site, 3), **kw)]
    node: list = ["call", f"m.{name}", []]
    for kid in kids:
        records, child = _records(kid, thread, clock, fid)
        out += records
        node[2].append(child)
    clock[0] += 1.0
    out.append(plugin("log", ts=clock[0], site=fid, message=f"in {name}", **kw))
    node[2].append(["log"])
    clock[0] += 1.0
    if end != "open":
        out.append(frame("return", f"m.{name}", fid, ts=clock[0], site=None if site is None else (site, 3), **kw))
    if end == "raise":
        out.append(exception(out[-1], {"__type__": "builtins.ValueError", "repr": "ValueError()"}))
    if named_after and end != "open":
        # the core writes a frame's own return before the plugin records of that return
        out.append(plugin("end_test", ts=clock[0], site=fid, test_id=name, **kw))
        node[2].append(["end_test"])
    return out, node


def _thread(calls, thread, clock, lost_start: bool) -> tuple[list[dict], list]:
    """A thread: a module call holding the calls, maybe after the return of a call begun before profiling."""
    records, tree = [], []
    if lost_start:
        clock[0] += 1.0
        records.append(frame("return", "m.before", frame_id(), ts=clock[0], thread=thread[0], native=thread[1]))
        tree.append(["call", "m.before", []])
    body, module = _records(("<module>", calls, "return", False), thread, clock, None)
    return records + body, tree + [module]


programs = st.fixed_dictionaries({
    "threads": st.lists(st.tuples(st.lists(calls_st, max_size=3), st.booleans()), min_size=1, max_size=3),
    "interleaved": st.booleans(), "main_id": st.sampled_from([1, 99, None]), "truncated": st.booleans(), "worker_first": st.booleans()})


def _program(p) -> tuple[bytes, dict[str, list]]:
    clock, lists, expected = [0.0], [], {}
    for (calls, lost_start), thread in zip(p["threads"], THREADS):
        records, tree = _thread(calls, thread, clock, lost_start)
        lists.append(records)
        expected[thread[0]] = tree
    main, others = lists[0], {}
    if len(lists) > 1 and p["interleaved"]:
        # one list, records of both threads taking turns; the first may be another thread's
        merged, a, b = [], list(main), list(lists[1])
        turn = p["worker_first"]
        while a or b:
            source = b if (turn and b) or not a else a
            merged.append(source.pop(0))
            turn = not turn
        main, rest = merged, lists[2:]
    else:
        rest = lists[1:]
    for records, (_, native) in zip(rest, THREADS[len(lists) - len(rest):]):
        others[native] = records
    if p["truncated"]:
        main = main + [{"type": "truncated", "timestamp": clock[0], "records_dropped": 5, "bytes_dropped": 100, "limit_bytes": 1000}]
    return trace(main, frames=others or None, main=p["main_id"]), expected


def _shape(nodes) -> list:
    """A decoded (or exported) tree in the expected form."""
    return [["call", n.qualname, _shape(n.children)] if isinstance(n, Call) else [n.type] for n in nodes] if nodes and not isinstance(
        nodes[0], dict) else [["call", n["qualname"], _shape(n["children"])] if n["kind"] == "call" else [n["type"]] for n in nodes]


def _timed_calls(tree) -> list:
    """The calls that have a start (the one begun before profiling has none), without records."""
    return [[n[1], _timed_calls(n[2])] for n in tree if n[0] == "call" and n[1] != "m.before"]


def _nest(events, begin: str) -> list:
    """A call tree from begin/end events in order: (kind, name)."""
    root: list = []
    stack = [root]
    for kind, name in events:
        if kind == begin:
            node = [name, []]
            stack[-1].append(node)
            stack.append(node[1])
        else:
            stack.pop()
    return root


def _show_lines(text: str) -> dict[str, list[tuple[int, str]]]:
    """(depth, call or record) of each tree line, per thread heading."""
    threads: dict[str, list[tuple[int, str]]] = {}
    current: list[tuple[int, str]] = []
    for line in text.splitlines()[2:]:
        found = re.match(r"^((?:[│ ] {2})*)[├└]─ (\[(\w+)\]|([\w.<>]+)\()", line)
        if found:
            current.append((len(found.group(1)) // 3, found.group(3) or found.group(4)))
        elif line and not line.startswith(("trace cut short", " ")):
            current = threads.setdefault(line.split(" (native id")[0], [])
    return threads


def _flat(tree, depth=0) -> list[tuple[int, str]]:
    return [line for n in tree for line in [(depth, n[1] if n[0] == "call" else n[0]), *(_flat(n[2], depth + 1) if n[0] == "call" else [])]]


@settings(max_examples=int(os.environ.get("JARN_HYPOTHESIS_EXAMPLES", 40)), deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(p=programs)
def test_every_view_shows_the_same_tree(tmp_path_factory, monkeypatch, p):
    monkeypatch.setattr(stores.chunks, "CHUNK_SIZE", 512)  # records are read across the chunks a trace is stored in
    data, expected = _program(p)
    decoded = decode_trace(data)
    assert {t.name: _shape(t.children) for t in decoded.threads if t.children} == expected
    assert (decoded.truncated is not None) == p["truncated"]
    exported = json.loads(to_json(decoded))
    assert {t["name"]: _shape(t["children"]) for t in exported["threads"] if t["children"]} == expected
    # the terminal tree
    show(Walk(data), out := io.StringIO(), color=False, depth=1000, width=1000)
    assert _show_lines(out.getvalue()) == {name: _flat(tree) for name, tree in expected.items()}
    # Chrome and speedscope: calls with a start, nested by their begin and end events
    write_chrome_trace(Walk(data), out := io.StringIO())
    events = json.loads(out.getvalue())["traceEvents"]
    tids = {e["args"]["name"]: e["tid"] for e in events if e["name"] == "thread_name"}
    for name, tree in expected.items():
        mine = [(e["ph"], e["name"]) for e in events if e["ph"] in "BE" and e["tid"] == tids[name]]
        assert _nest(mine, "B") == _timed_calls(tree)
    write_speedscope(Walk(data), out := io.StringIO())
    document = json.loads(out.getvalue())
    frames = [f["name"] for f in document["shared"]["frames"]]
    profiles = {profile["name"]: profile for profile in document["profiles"]}
    for name, tree in expected.items():
        assert _nest([(e["type"], frames[e["frame"]]) for e in profiles[name]["events"]], "O") == _timed_calls(tree)
    # the viewer's index, stored in chunks and read back
    path = tmp_path_factory.mktemp("one") / "db.sqlite3"
    row = save_trace(path, "trc_x", data)
    opened = open_store(path)
    e = opened.__enter__().engine
    summary = index.summary(e, row)
    names = dict(e.execute("SELECT fn, qualname FROM jarn_index_functions WHERE trace = ?", (row,)).fetchall())
    calls = [(c["id"], c["thread"], c["parent"], c["fn"], c["call_off"] if c["call_off"] is not None else c["ret_off"]) for c in index.calls(e, row)]
    marks = e.execute("SELECT call, off, type FROM jarn_index_marks WHERE trace = ?", (row,)).fetchall()
    by_thread = {t["thread"]: t["name"] for t in summary.threads}
    children: dict[int, list] = {}  # call id -> [(offset, node)]
    tops: dict[str, list] = {}
    for call_id, thread, parent, fn, offset in calls:  # numbered as they begin: a parent comes first
        node = ["call", names[fn], children.setdefault(call_id, [])]
        (children[parent] if parent else tops.setdefault(by_thread[thread], [])).append((offset, node))
    assert all(owner for owner, _, _ in marks)  # every record of these programs has a call around it
    for owner, off, kind in marks:
        children[owner].append((off, [kind]))

    def ordered(placed):
        return [[n[0], n[1], ordered(n[2])] if n[0] == "call" else n for _, n in sorted(placed, key=lambda c: c[0])]

    assert {name: ordered(placed) for name, placed in tops.items()} == expected
    # the functions table, callers and callees, and the calls merged by call path
    pairs, paths = Counter(), Counter()

    def visit(thread_no, nodes, above):
        for n in nodes:
            if isinstance(n, Call):
                pairs[(above[-1] if above else "(top level)", n.qualname)] += 1
                paths[(thread_no, *above, n.qualname)] += 1
                visit(thread_no, n.children, (*above, n.qualname))

    for thread in decoded.threads:  # threads are known by name: the index numbers them as it meets them
        visit(thread.name, thread.children, ())
    table = {f["qualname"]: f for f in index.functions(e, [row])}
    assert {q: f["calls"] for q, f in table.items()} == Counter(call.qualname for _, call in decoded.walk())
    assert {(p["function"][0], q): p["calls"] for q, f in table.items() for p in index.relatives(e, row, f["fn"])["callers"]} == pairs
    got_paths = {}
    for t in summary.threads:
        nodes = {n["node"]: n for n in index.merged(e, row, t["thread"])["nodes"]}
        for n in nodes.values():
            up, line = n["parent"], [names[n["fn"]]]
            while up:
                line.insert(0, names[nodes[up]["fn"]])
                up = nodes[up]["parent"]
            got_paths[(t["name"], *line)] = n["calls"]
    opened.__exit__(None, None, None)
    assert got_paths == paths
