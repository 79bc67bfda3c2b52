"""Property tests: arbitrary configuration never breaks registration, and arbitrary programs
give traces that agree with a reference model of the recorded call stack."""

from __future__ import annotations

import gc
import json
import logging
import os
import re
import sys
from collections import Counter
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import _support
import programs
import workloads
from _support import HostProfiler, decode, describe, run_child

EXAMPLES = int(os.environ.get("JARN_HYPOTHESIS_EXAMPLES", "0")) or None
FAST = settings(
    max_examples=EXAMPLES or 60,
    deadline=None,
    derandomize=EXAMPLES is None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture, HealthCheck.data_too_large],
)
# Each example of the program property starts an interpreter.
SLOW = settings(FAST, max_examples=EXAMPLES or _support.small(20, 5))


# -- configuration and plugin entries of any shape ------------------------------------------


class Raising:
    """Fails wherever the core could touch it."""

    def __index__(self) -> int:
        raise ArithmeticError("index")

    def __str__(self) -> str:
        raise LookupError("str")

    def __iter__(self) -> Iterator[str]:
        raise RuntimeError("iter")

    def __bool__(self) -> bool:
        raise RuntimeError("bool")

    def __len__(self) -> int:
        raise RuntimeError("len")


class Index:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class FrozenMapping(Mapping):
    def __init__(self, data: dict) -> None:
        self._data = data

    def __getitem__(self, key: object) -> object:
        return self._data[key]

    def __iter__(self) -> Iterator[object]:
        return iter(self._data)

    def __len__(self) -> int:
        return len(self._data)


def _raise(*args: object) -> object:
    raise ValueError("plugin callable failed")


CALLABLES: dict[str, object] = {
    "true": lambda *a: True,
    "false": lambda *a: False,
    "one": lambda *a: 1,
    "none": lambda *a: None,
    "raise": _raise,
    "dict": lambda *a: {"extra": [1, 2], "type": "changed"},
    "bad-type": lambda *a: {"type": 7},
    "mapping": lambda *a: FrozenMapping({"m": 1}),
    "list": lambda *a: [("k", "v")],
    "context": lambda frame, event, arg, context: context.setdefault("n", {"seen": event}),
}

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-(2**70), 2**70), st.floats(allow_nan=True),
    st.text(max_size=12), st.text(alphabet=st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), max_size=2),
    st.binary(max_size=8), st.just(Raising()), st.builds(Index, st.integers(-5, 2**65)),
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.tuples(inner, inner),
                            st.dictionaries(st.text(max_size=8), inner, max_size=3),
                            st.frozensets(st.text(max_size=3), max_size=3)),
    max_leaves=6,
)
filter_lists = st.one_of(values, st.lists(st.one_of(st.text(max_size=10), values), max_size=4))
config_values = st.fixed_dictionaries(
    {},
    optional={
        "threading": values, "lightweight_repr": values, "omit_return_locals": values,
        "sqlite_busy_timeout": values,
        "filters": st.one_of(values, st.fixed_dictionaries({}, optional={"include_frames": filter_lists,
                                                                         "ignore_frames": filter_lists})),
        "unknown": values,
    },
)
callables = st.one_of(st.sampled_from(sorted(CALLABLES)).map(CALLABLES.__getitem__), values)
names = st.one_of(st.lists(st.sampled_from(["leaf", "nested", "counting", "catching", "mixed"]), max_size=3),
                  st.text(max_size=3), values)
any_entry = st.one_of(
    st.fixed_dictionaries(
        {},
        optional={
            "co_names": names,
            "path_fragment": st.one_of(st.sampled_from(["workloads.py", "", "/robustness/", "nowhere"]), values),
            "call_type": st.one_of(st.sampled_from(["start_test", "end_test", "custom"]), values),
            "return_type": st.one_of(st.sampled_from(["start_test", "end_test", "custom"]), values),
            "subtype": st.one_of(st.text(max_size=4), values),
            "build_context": st.one_of(st.none(), st.just(lambda config: {}), st.just(lambda config: [1]),
                                       st.just(_raise), values),
            "call": callables,
            "process": callables,
            "events": st.one_of(st.none(), st.lists(st.sampled_from(["call", "return", "x"]), max_size=2),
                                st.tuples(st.just("return")), values),
        },
    ),
    values,
)
# Mostly well-formed entries, so that plugins really run during profiling; one key may be spoilt.
good_entry = st.builds(
    lambda base, spoil: {**base, **spoil},
    st.fixed_dictionaries(
        {
            "co_names": st.lists(st.sampled_from(["leaf", "nested", "counting", "catching", "mixed"]),
                                 min_size=1, max_size=3),
            "path_fragment": st.sampled_from(["workloads.py", "", "/robustness/", "nowhere"]),
            "call_type": st.sampled_from(["start_test", "end_test", "custom"]),
            "return_type": st.sampled_from(["start_test", "end_test", "custom"]),
        },
        optional={
            "subtype": st.text(max_size=4),
            "call": st.sampled_from(sorted(CALLABLES)).map(CALLABLES.__getitem__),
            "process": st.sampled_from(sorted(CALLABLES)).map(CALLABLES.__getitem__),
            "events": st.one_of(st.none(), st.lists(st.sampled_from(["call", "return", "x"]), max_size=2)),
        },
    ),
    st.one_of(st.just({}), st.just({}), st.dictionaries(
        st.sampled_from(["co_names", "path_fragment", "call_type", "subtype", "events", "build_context"]),
        values, max_size=1)),
)
plugin_entries = st.one_of(good_entry, good_entry, any_entry)
good_config = st.fixed_dictionaries(
    {}, optional={"threading": st.booleans(), "lightweight_repr": st.booleans(),
                  "omit_return_locals": st.booleans(), "sqlite_busy_timeout": st.integers(0, 2**64 - 1),
                  "filters": st.fixed_dictionaries({}, optional={"include_frames": st.lists(st.text(max_size=8)),
                                                                 "ignore_frames": st.lists(st.text(max_size=8))})})
configs = st.one_of(good_config, config_values)


class CountingHandler(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.count = 0

    def emit(self, record: logging.LogRecord) -> None:
        self.count += 1


@pytest.fixture
def quiet_jarn_logger() -> Iterator[CountingHandler]:
    logger = logging.getLogger("jarn")
    handler = CountingHandler()
    logger.addHandler(handler)
    propagate = logger.propagate
    logger.propagate = False
    yield handler
    logger.removeHandler(handler)
    logger.propagate = propagate


def sentinel_counts() -> list[int]:
    return [sys.getrefcount(v) for v in CALLABLES.values()]


@FAST
@given(config=configs, entries=st.lists(plugin_entries, max_size=3), one_trace=st.booleans())
def test_any_configuration_gives_a_profiler_or_an_ordinary_error(
    core: Any, plugin_data: list, save_nothing: list, quiet_jarn_logger: CountingHandler,
    config: dict, entries: list, one_trace: bool,
) -> None:
    plugin_data[:] = entries
    gc.collect()
    before = sentinel_counts()
    host = HostProfiler(config, one_trace_per_test=one_trace)
    try:
        core.register_profiler(host)
    except Exception as error:  # noqa: BLE001 - an ordinary error is an accepted outcome
        event(f"refused with {type(error).__name__}")
        assert sys.getprofile() is None
        assert not hasattr(host, "rust_profiler")
    except BaseException as error:  # noqa: BLE001
        pytest.fail(f"registration raised {type(error).__name__}: {error}")
    else:
        try:
            results = workloads.on_threads(2, 2) + [workloads.mixed(3)]
        finally:
            _support.stop()
        assert results == [workloads.mixed(2)] * 2 + [workloads.mixed(3)]
        trace = decode(host.rust_profiler.build_trace())
        assert set(trace) == {"command_line_args", "current_commit_sha", "frames", "frames_of_interest",
                              "main_thread_id", "meta", "timestamp", "trace_id"}
        kinds = set()
        for _, record in _support.all_records(trace):
            assert isinstance(record, dict) and "type" in record
            kinds.add("frame" if record["type"] == "frame" else "plugin")
        event(f"profiled, records: {sorted(kinds)}, reports: {bool(quiet_jarn_logger.count)}")
    plugin_data.clear()
    del host
    gc.collect()
    assert sentinel_counts() == before


@pytest.mark.parametrize("key", ["filters", "sqlite_busy_timeout", "threading", "lightweight_repr",
                                 "omit_return_locals"])
def test_a_raising_key_comparison_is_the_internal_error(core: Any, key: str) -> None:
    class Collides:
        def __hash__(self) -> int:
            return hash(key)

        def __eq__(self, other: object) -> bool:
            raise RuntimeError("no comparing")

    host = HostProfiler({Collides(): 1})
    with pytest.raises(BaseException) as caught:
        core.register_profiler(host)
    assert type(caught.value).__name__ == "InternalError"
    assert not isinstance(caught.value, Exception)
    assert str(caught.value).startswith(f'config.get("{key}" should not raise.')
    assert sys.getprofile() is None


# -- random programs -------------------------------------------------------------------------

RUNNER = '''
import json, sys, threading
from collections import Counter
import _support
import prog
from jarn import _jarn

PROG = prog.__file__
counts = Counter()


def python_profile(frame, event, arg):
    if event in ("call", "return") and frame.f_code.co_filename == PROG:
        counts[frame.f_code.co_name + " " + event] += 1


plain = []
plain_result = prog.main(plain)

reference = []
threading.setprofile(python_profile)
sys.setprofile(python_profile)
reference_result = prog.main(reference)
threading.setprofile_all_threads(None)

profiled = []
host = _support.start({"threading": sys.argv[1] == "threads"})
profiled_result = prog.main(profiled)
_support.stop()
with open("trace.bin", "wb") as out:
    out.write(host.rust_profiler.build_trace())

monitored = []
host = _support.start({"threading": sys.argv[1] == "threads"}, engine="monitoring")
monitored_result = prog.main(monitored)
_jarn.unregister_monitoring_profiler()
with open("trace_monitoring.bin", "wb") as out:
    out.write(host.rust_profiler.build_trace())
json.dump({"plain": [plain_result, plain], "reference": [reference_result, reference],
           "profiled": [profiled_result, profiled], "monitored": [monitored_result, monitored],
           "counts": counts}, sys.stdout)
'''


def _calls_name(line: str, name: str) -> bool:
    return re.search(rf"(?<![A-Za-z0-9]){re.escape(name)}(?![A-Za-z0-9])", line) is not None


def check_program_trace(trace: dict, source: str, counts: dict[str, int], threads: bool) -> None:
    lines = source.splitlines()
    records = [r for r in _support.frame_records(trace) if r["path"].split(":")[0].endswith("prog.py")]
    assert Counter(f"{r['co_name']} {r['event']}" for r in records) == Counter(counts)
    if not threads:
        assert trace["frames"] == {}
    grouped = _support.by_thread({"frames_of_interest": records, "frames": {}})
    by_id: dict[str, dict] = {}
    for thread, recs in grouped.items():
        assert _support.check_pairing(recs) == [], f"thread {thread}"
        for r in recs:
            by_id.setdefault(r["frame_id"], r)
    main_native = trace["main_thread_id"]
    for key, recs in trace["frames"].items():
        assert key != main_native
        assert {r["thread_native_id"] for r in recs} == {key}
    for r in records:
        site = r["user_code_call_site"]
        if site is None or r["event"] != "call":
            continue
        caller = by_id[site["call_frame_id"]]
        assert caller["thread_native_id"] == r["thread_native_id"]
        line = lines[site["line_number"] - 1]
        assert _calls_name(line, r["co_name"]), f"{r['co_name']} called from line {site['line_number']}: {line!r}"


# Object addresses, thread names and idents differ between two runs of one program.
RUN_SPECIFIC = re.compile(r"0x[0-9a-f]+|Thread-\d+|\b\d{6,}\b")


def comparable(trace: dict) -> list[Any]:
    """The program's records per thread, ids, times and thread fields aside (the pairing of
    each trace is checked on its own)."""
    lists = [[(r["path"], r["qualname"], r["event"], (r["user_code_call_site"] or {}).get("line_number"),
               RUN_SPECIFIC.sub("?", json.dumps([r["arg"], r["locals"]], sort_keys=True)))
              if r["type"] == "frame" else r["exception"]["repr"]
              for r in recs if r["type"] == "exception" or _support.is_own(r) and r["path"].split(":")[0].endswith("prog.py")]
             for recs in [trace["frames_of_interest"], *trace["frames"].values()]]
    return [lists[0], sorted(lists[1:])]


def check_both_engines(folder: Path, out: dict[str, Any], source: str, threads: bool) -> dict:
    """Both engines' traces agree with the reference model and with each other."""
    assert out["profiled"] == out["monitored"] == out["plain"], source
    trace = decode((folder / "trace.bin").read_bytes())
    monitored = decode((folder / "trace_monitoring.bin").read_bytes())
    try:
        check_program_trace(trace, source, out["counts"], threads)
        check_program_trace(monitored, source, out["counts"], threads)
        assert comparable(monitored) == comparable(trace)
    except AssertionError as error:
        raise AssertionError(f"{error}\n--- program\n{source}") from None
    return trace


@SLOW
@given(tree=st.booleans().flatmap(lambda threads: st.tuples(st.just(threads), programs.nodes(threads))))
def test_random_programs_give_consistent_traces(tmp_path_factory: pytest.TempPathFactory,
                                                tree: tuple[bool, programs.Node]) -> None:
    threads, root = tree
    folder = tmp_path_factory.mktemp("program")
    source = programs.source_of(root)
    (folder / "prog.py").write_text(source)
    proc = run_child(folder, RUNNER, name="runner.py", args=["threads" if threads else "one"], timeout=120)
    assert proc.returncode == 0, describe(proc) + "\n--- program\n" + source
    out = json.loads(proc.stdout)
    assert out["profiled"] == out["plain"] == out["reference"], source
    check_both_engines(folder, out, source, threads)


def test_program_generator_covers_every_kind(tmp_path: Path) -> None:
    """The generator is only useful if it produces every construct; run one of each here."""
    tree = ("seq", [("rec", 3, ("leaf", 1)), ("gen", 3, ("leaf", 2)), ("coro", 2, ("leaf", 3)),
                    ("try", ("rec", 2, ("raise", 4))), ("thread", ("gen", 2, ("raise", 5)))])
    source = programs.source_of(tree)
    (tmp_path / "prog.py").write_text(source)
    proc = run_child(tmp_path, RUNNER, name="runner.py", args=["threads"])
    assert proc.returncode == 0, describe(proc)
    out = json.loads(proc.stdout)
    trace = check_both_engines(tmp_path, out, source, threads=True)
    names = {r["co_name"] for r in _support.frame_records(trace)}
    assert {"step", "main"} <= names and any(n.startswith("a") for n in names)
    assert len(trace["frames"]) == 1
