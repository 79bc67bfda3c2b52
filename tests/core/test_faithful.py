"""The profiler changes nothing the program can see, and records what really happened."""

from __future__ import annotations

import contextlib
from collections import UserDict

import pytest
from support import APP, QUIET, compile_program, profile, records, run_child

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
    store = UserDict()  # locals that are a mapping, not a dict

    def run() -> None:
        exec(compile("y = 1\nz = y + 1\n", f"{APP}/mod.py", "exec"), {"__name__": "mod"}, store)
        ns["rebound"](ns["Obj"](), seen)
        gen, coro = ns["deleted_after_yield"](seen), ns["deleted_after_await"](seen)
        for step in [gen.__next__, lambda: coro.send(None)]:
            with pytest.raises(StopIteration):
                step(), step()
        for name in EXCEPTION_CASES:
            with contextlib.suppress(ValueError):
                ns[name]()

    recs = records(profile(run, config={**QUIET, **config})[1])
    assert seen == [True] * 3 and store.data == {"y": 1, "z": 2}
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


def test_a_host_module_imported_on_another_thread_is_waited_for() -> None:
    done = run_child(
        """
        import importlib, importlib.abc, importlib.util, importlib._bootstrap as bootstrap, threading, time
        real = sys.modules.pop("jarn.serialize")
        started, finished = threading.Event(), threading.Event()
        class Loader(importlib.abc.Loader):
            def create_module(self, spec):
                return None
            def exec_module(self, module):
                started.set()
                # Finishes only once the profiled thread waits for this import (or never asked).
                while not finished.is_set():
                    lock = bootstrap._module_locks.get("jarn.serialize")
                    if lock is not None and lock() is not None and lock().waiters:
                        break
                    time.sleep(0.001)
                module.dump_msgpack = module.dump_msgpack_lightweight_repr = real.dump_msgpack
        class Finder(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path, target=None):
                return importlib.util.spec_from_loader(name, Loader()) if name == "jarn.serialize" else None
        sys.meta_path.insert(0, Finder())
        importer = threading.Thread(target=importlib.import_module, args=("jarn.serialize",))
        importer.start()
        started.wait()
        ns = {"__name__": "prog"}
        exec(compile("def f():\\n    return 1\\n", "/srv/app/prog.py", "exec"), ns)
        host = Host()
        _jarn.register_profiler(host)
        ns["f"]()
        sys.setprofile(None)
        finished.set()
        importer.join()
        trace = msgpack.unpackb(host.rust_profiler.build_trace(), strict_map_key=False)
        print([r["event"] for r in trace["frames_of_interest"] if r["path"].startswith("/srv/app/")])
        """
    )
    assert done.stdout.strip() == "['call', 'return']", done.stderr

