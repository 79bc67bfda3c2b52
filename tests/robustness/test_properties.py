"""Property tests: configuration and plugin entries of any shape give a profiler or an ordinary
error and keep nothing, and random programs give the same traces on both engines, agreeing with
a reference model of the recorded call stack."""

from __future__ import annotations

import gc
import json
import os
import re
import sys
import threading
from collections import Counter
from types import MappingProxyType
from typing import Any

import programs
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from support import (ENGINES, STOP, HostProfiler, check_pairing, compile_program, decode, frame_records, register,
                     small, start)

EXAMPLES = int(os.environ.get("JARN_HYPOTHESIS_EXAMPLES", "0")) or None
FAST = settings(max_examples=EXAMPLES or 60, deadline=None, derandomize=EXAMPLES is None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture,
                                       HealthCheck.data_too_large])
SLOW = settings(FAST, max_examples=EXAMPLES or small(100, 20))


def raiser(error: type[Exception]) -> Any:
    def fail(*args: object) -> Any:
        raise error("hostile")
    return fail


_raise = raiser(ValueError)
# Fails wherever the core could touch it.
Raising = type("Raising", (), {"__index__": raiser(ArithmeticError), "__str__": raiser(LookupError),
                               **dict.fromkeys(["__iter__", "__bool__", "__len__"], raiser(RuntimeError))})
CALLABLES: list[object] = [lambda *a: True, lambda *a: False, lambda *a: 1, lambda *a: None, _raise,
                           lambda *a: {"extra": [1, 2], "type": "changed"}, lambda *a: {"type": 7},
                           lambda *a: MappingProxyType({"m": 1}), lambda *a: [("k", "v")],
                           lambda frame, event, arg, context: context.setdefault("n", {"seen": event})]
scalars = st.one_of(st.none(), st.booleans(), st.integers(-(2**70), 2**70), st.floats(), st.text(max_size=12),
                    st.text(alphabet=st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), max_size=2),
                    st.binary(max_size=8), st.just(Raising()),
                    st.integers(-5, 2**65).map(lambda v: type("Index", (), {"__index__": lambda self: v})()))
values = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.tuples(inner, inner), st.dictionaries(st.text(max_size=8), inner, max_size=3),
    st.frozensets(st.text(max_size=3), max_size=3)), max_leaves=6)


def mostly(good: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    return st.one_of(good, good, good, values)


texts = st.lists(mostly(st.text(max_size=8)), max_size=4)
configs = st.fixed_dictionaries({}, optional={
    **dict.fromkeys(["threading", "lightweight_repr", "omit_return_locals"], mostly(st.booleans())),
    "sqlite_busy_timeout": mostly(st.integers(0, 2**64 - 1)), "unknown": values,
    "filters": mostly(st.fixed_dictionaries({}, optional={"include_frames": mostly(texts),
                                                          "ignore_frames": mostly(texts)}))})
CONTEXT: dict = {}
BUILDERS = [None, lambda config: CONTEXT, lambda config: [1], _raise]
kinds = st.sampled_from(["start_test", "end_test", "custom"])
# Mostly well-formed entries, so that plugins really run during profiling; one key may be spoilt.
well_formed = st.fixed_dictionaries(
    {"co_names": st.lists(st.sampled_from(["main", "f1", "f2", "g3", "a5", "f7", "t10"]), min_size=1, max_size=3),
     "path_fragment": st.sampled_from(["prog.py", "", "/srv/", "nowhere"]), "call_type": kinds,
     "return_type": kinds},
    optional={"subtype": st.text(max_size=4), "call": st.sampled_from(CALLABLES), "process": st.sampled_from(CALLABLES),
              "build_context": st.sampled_from(BUILDERS),
              "events": st.one_of(st.none(), st.lists(st.sampled_from(["call", "return", "x"]), max_size=2),
                                  st.just(("return",)))})
spoilt = st.builds(lambda entry, spoil: {**entry, **spoil}, well_formed, st.dictionaries(st.sampled_from(
    ["co_names", "path_fragment", "call_type", "return_type", "subtype", "call", "process", "build_context", "events"]),
    values, max_size=1))
entries = st.one_of(well_formed, well_formed, spoilt, values)
WORK_RESULT = programs.WORK["main"](WORK_ACC := [])
KEYS = {"command_line_args", "current_commit_sha", "frames", "frames_of_interest", "main_thread_id", "meta",
        "timestamp", "trace_id"}


@FAST
@example(config={"filters": {"include_frames": ["a"]}}, one_trace=False, using="profile", plugins=[  # refused late
    {"co_names": ["leaf"], "path_fragment": "", "call_type": "a", "return_type": "b", "build_context": BUILDERS[1],
     "call": CALLABLES[0]}, {"co_names": ["leaf"], "path_fragment": "", "call_type": "a", "return_type": "b",
                             "subtype": None}])
@example(config={}, one_trace=True, using="monitoring", plugins=[  # a test per call of main; a call that gives no bool
    {"co_names": ["main"], "path_fragment": "prog", "call_type": "start_test", "return_type": "end_test"},
    {"co_names": ["f1"], "path_fragment": "", "call_type": "a", "return_type": "b", "call": CALLABLES[2]}])
@given(config=configs, plugins=st.lists(entries, max_size=3), one_trace=st.booleans(), using=st.sampled_from(ENGINES))
def test_any_configuration_gives_a_profiler_or_an_ordinary_error(
        host_services: tuple[list, list], config: dict, plugins: list,
        one_trace: bool, using: str) -> None:
    plugin_data, _ = host_services
    gc.collect()
    watched = [*CALLABLES, *BUILDERS, CONTEXT, config, *plugins]
    before = [sys.getrefcount(v) for v in watched]
    plugin_data[:] = plugins
    host = HostProfiler(config, one_trace_per_test=one_trace)
    try:
        register(host, using)
    except Exception:  # noqa: BLE001 - an ordinary error is an accepted outcome
        assert sys.getprofile() is None and not hasattr(host, "rust_profiler")
    else:
        try:
            results = [programs.WORK["main"](acc := []), acc]
        finally:
            STOP[using]()
        assert results == [WORK_RESULT, WORK_ACC]
        trace = decode(host.rust_profiler.build_trace())
        assert set(trace) == KEYS
        assert all(isinstance(r, dict) and "type" in r for recs in (trace["frames_of_interest"],
                                                                     *trace["frames"].values()) for r in recs)
    plugin_data.clear()
    del host
    gc.collect()
    assert [sys.getrefcount(v) for v in watched] == before


# Object addresses, thread names and idents differ between two runs of one program.
RUN_SPECIFIC = re.compile(r"0x[0-9a-f]+|Thread-\d+|\b\d{6,}\b")


def check_program_trace(trace: dict, lines: list[str], counts: dict[str, int], threads: bool) -> list[Any]:
    """Checks a trace against the reference run; returns what two engines' traces share."""
    # The program's frames, and the code of no UTF-8 file name that it calls through.
    recorded = [r for r in frame_records(trace) if r["path"].startswith("/srv/") or r["path"].split(":")[0].endswith("prog.py")]
    recs = [r for r in recorded if r["path"].split(":")[0].endswith("prog.py")]
    assert Counter(f"{r['co_name']} {r['event']}" for r in recs) == Counter(counts)
    assert threads or trace["frames"] == {}
    assert check_pairing(recorded) == []
    by_id = {r["frame_id"]: r for r in recorded if r["event"] == "call"}
    for key, thread_recs in trace["frames"].items():
        assert key != trace["main_thread_id"] and {r["thread_native_id"] for r in thread_recs} == {key}
    for r in recs:
        if (site := r["user_code_call_site"]) and r["event"] == "call":
            assert by_id[site["call_frame_id"]]["thread_native_id"] == r["thread_native_id"]
            if by_id[site["call_frame_id"]]["path"].startswith("/srv/"):
                continue
            line = lines[site["line_number"] - 1]
            assert re.search(rf"(?<![A-Za-z0-9]){r['co_name']}(?![A-Za-z0-9])", line), (r["co_name"], line)
    return [[(r["path"], r["qualname"], r["event"], (r["user_code_call_site"] or {}).get("line_number"),
              RUN_SPECIFIC.sub("?", json.dumps([r["arg"], r["locals"]], sort_keys=True)))
             if r["type"] == "frame" else RUN_SPECIFIC.sub("?", r["exception"].get("text", r["exception"].get("repr")))
             for r in thread_recs if r["type"] == "exception" or r in recs]
            for thread_recs in [trace["frames_of_interest"], *trace["frames"].values()]]


@SLOW
@given(tree=st.booleans().flatmap(lambda threads: st.tuples(st.just(threads), programs.nodes(threads))),
       light=st.booleans())
def test_random_programs_give_the_same_traces_on_both_engines(tree: tuple[bool, programs.Node], light: bool) -> None:
    threads, root = tree
    main = compile_program(source := programs.source_of(root))["main"]
    counts: Counter[str] = Counter()

    def python_profile(frame: Any, event: str, arg: Any) -> None:
        if event in ("call", "return") and frame.f_code.co_filename.endswith("prog.py"):
            counts[f"{frame.f_code.co_name} {event}"] += 1

    out = {"plain": [main(acc := []), acc]}
    threading.setprofile_all_threads(python_profile)
    out["reference"] = [main(acc := []), acc]
    threading.setprofile_all_threads(None)
    traces = []
    for using in ENGINES:
        # A repr recursing to the limit may take about the slow-repr cut-off: kept out of reach.
        host = start({"threading": threads, "lightweight_repr": light, "slow_repr_ms": 10**6}, using)
        out[using] = [main(acc := []), acc]
        STOP[using]()
        traces.append(decode(host.rust_profiler.build_trace()))
    assert out["profile"] == out["monitoring"] == out["plain"] == out["reference"], source
    try:
        shared = [check_program_trace(trace, source.splitlines(), counts, threads) for trace in traces]
        assert shared[0][0] == shared[1][0] and sorted(shared[0][1:]) == sorted(shared[1][1:])
    except AssertionError as error:
        raise AssertionError(f"{error}\n--- program\n{source}") from None
