"""The profiler changes nothing the program can see, and records what really happened."""

from __future__ import annotations

import contextlib
import logging
from collections import UserDict

import pytest
from coresupport import QUIET, compile_program, profile, records, run_child

PROGRAM = """
import weakref
class Obj: pass
class Pause:
    def __await__(self): yield
def rebound(x, seen):
    r = weakref.ref(x)
    x = None
    seen.append(r() is None)
def deleted_after_yield(seen):
    x = Obj()
    r = weakref.ref(x)
    yield
    del x
    seen.append(r() is None)
async def deleted_after_await(seen):
    x = Obj()
    r = weakref.ref(x)
    await Pause()
    del x
    seen.append(r() is None)
def raises(): raise ValueError("x")
def through(): return raises()
def caught():
    try:
        raises()
    except ValueError:
        return 5
def passed_on_by_finally():
    try:
        raises()
    finally:
        pass
def gen():
    try:  # without a handler, 3.13 closes a suspended generator without running its frame
        yield 1
    finally:
        pass
def closes():
    it = gen()
    next(it)
    it.close()
"""


E = ("exception", None)
EXCEPTION_CASES = {
    "through": [("call", "through"), ("call", "raises"), ("return", "raises"), E, ("return", "through"), E],
    "caught": [("call", "caught"), ("call", "raises"), ("return", "raises"), E, ("return", "caught")],
    "passed_on_by_finally": [("call", "passed_on_by_finally"), ("call", "raises"), ("return", "raises"), E,
                             ("return", "passed_on_by_finally"), E],
    "closes": [("call", "closes"), ("call", "gen"), ("return", "gen"), ("call", "gen"), ("return", "gen"),
               ("return", "closes")],
}


@pytest.mark.usefixtures("engine")
@pytest.mark.parametrize("config", [{}, {"lightweight_repr": True}, {"omit_return_locals": True}])
def test_nothing_is_kept_alive_and_frames_left_by_an_exception_are_followed_by_its_record(config) -> None:
    ns = compile_program(PROGRAM)
    seen: list[bool] = []

    def run() -> None:
        ns["rebound"](ns["Obj"](), seen)
        gen, coro = ns["deleted_after_yield"](seen), ns["deleted_after_await"](seen)
        for step in [gen.__next__, lambda: coro.send(None)]:
            with pytest.raises(StopIteration):
                step(), step()
        for name in EXCEPTION_CASES:
            with contextlib.suppress(ValueError):
                ns[name]()

    recs = records(profile(run, config={**QUIET, **config})[1])
    assert seen == [True] * 3
    assert {"rebound", "deleted_after_yield", "deleted_after_await"} <= {r.get("co_name") for r in recs}
    recs = recs[[r.get("co_name") for r in recs].index("through") :]
    assert [(r.get("event", r["type"]), r.get("co_name")) for r in recs] == sum(EXCEPTION_CASES.values(), [])
    for ret, exc in zip(recs, recs[1:]):
        if exc["type"] == "exception":
            assert list(exc) == ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site",
                                 "type", "exception"]
            assert exc["frame_id"] == ret["frame_id"] and ret["arg"] is None
            assert exc["user_code_call_site"] == ret["user_code_call_site"] and exc["thread"] == ret["thread"]
            assert exc["exception"] == "<ValueError>"


def test_monitoring_tool_is_given_back_and_its_absence_is_told_once() -> None:
    done = run_child(
        """
        import contextlib, gc, warnings
        ns = {"__name__": "prog"}
        exec(compile("def f():\\n    raise ValueError\\n", "/srv/app/prog.py", "exec"), ns)
        def profiled():
            host = Host()
            _jarn.register_profiler(host)
            with contextlib.suppress(ValueError):
                ns["f"]()
            sys.setprofile(None)
            held = [sys.monitoring.get_tool(i) for i in range(6)].count("jarn")
            trace = msgpack.unpackb(host.rust_profiler.build_trace(), strict_map_key=False)
            return held, [r["type"] for r in trace["frames_of_interest"]]
        print(profiled())
        gc.collect()
        print([sys.monitoring.get_tool(i) for i in range(6)].count("jarn"))
        for i in range(6):
            sys.monitoring.use_tool_id(i, "other")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            print(profiled(), profiled(), len(caught))
        """
    )
    assert done.stdout.split("\n")[:3] == [
        "(1, ['frame', 'frame', 'exception'])", "0", "(0, ['frame', 'frame']) (0, ['frame', 'frame']) 1"], done.stderr


def test_locals_that_are_not_a_dict_do_not_disturb_the_program(caplog) -> None:
    store = UserDict()  # a mapping, not a dict
    with caplog.at_level(logging.CRITICAL, logger="jarn"):
        profile(exec, compile("y = 1\nz = y + 1\n", "/srv/app/mod.py", "exec"), {"__name__": "mod"}, store)
    assert store.data == {"y": 1, "z": 2}
