"""Hostile and unusual programs, each in its own interpreter: a crash shows as an exit code."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from _support import decode, describe, run_child, small

# Every child starts with this; the program's own code follows and ends by calling finish().
PRELUDE = '''
import functools, json, sys, threading
import _support

reports = _support.collect_reports()
finish = functools.partial(_support.finish, reports=reports)  # no frame of this file
'''


def run_case(tmp_path: Path, body: str, *, timeout: float = 600) -> dict:
    proc = run_child(tmp_path, PRELUDE + body, timeout=timeout)
    assert proc.returncode == 0, describe(proc)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_recursion_error_near_the_limit(tmp_path: Path) -> None:
    out = run_case(tmp_path, '''
def down(n):
    return down(n + 1) + 1


def run():
    caught = 0
    for limit in (200, 400, 1000):
        sys.setrecursionlimit(limit)
        try:
            down(0)
        except RecursionError:
            caught += 1
    sys.setrecursionlimit(1000)
    return caught


host = _support.start()
caught = run()
after = sum(range(10))
finish(host, caught=caught)
''')
    assert out["caught"] == 3
    assert out["problems"] == []
    assert out["names"].count("down call") == out["names"].count("down return") > 1000
    assert out["names"][-1] == "run return"


def test_program_replacing_the_profile_functions(tmp_path: Path) -> None:
    out = run_case(tmp_path, '''
seen = []


def own(frame, event, arg):
    if event == "call":
        seen.append(frame.f_code.co_name)


def work(n):
    return n * 2


def run():
    work(1)
    previous = sys.getprofile()
    sys.setprofile(own)          # the program takes the hook over...
    threading.setprofile(own)
    work(2)
    t = threading.Thread(target=work, args=(3,))
    t.start(); t.join()
    threading.setprofile(None)
    # ...and hands the hook back: getprofile() gives the core's object, which is no Python
    # profile function, but the host profiler object is one that reinstalls the core.
    sys.setprofile(previous if callable(previous) else host)
    work(4)
    return "done"


host = _support.start({"threading": True})
result = run()
finish(host, result=result, seen=seen)
''')
    assert out["result"] == "done"
    assert out["seen"].count("work") == 2
    assert out["names"][:3] == ["run call", "work call", "work return"]
    assert out["names"][3:] == ["work call", "work return", "run return"]


def test_registering_again_from_inside_a_profiled_program(tmp_path: Path) -> None:
    out = run_case(tmp_path, '''
def work(n):
    return n + 1


def inner_start():
    return _support.start({"threading": True})


def run():
    work(1)
    second = inner_start()       # registers a new profiler from profiled code
    work(2)
    threads = [threading.Thread(target=work, args=(i,)) for i in range(5)]
    for t in threads: t.start()
    for t in threads: t.join()
    return second


first = _support.start({"threading": True})
second = run()
_support.stop()
one = _support.decode(first.rust_profiler.build_trace())
two = _support.decode(second.rust_profiler.build_trace())
print(json.dumps({
    "one": [r["co_name"] + " " + r["event"] for r in _support.frame_records(one)],
    "two": [r["co_name"] + " " + r["event"] for _, r in _support.all_records(two)],
    "two_threads": len(two["frames"]),
}))
''')
    assert out["one"][:3] == ["run call", "work call", "work return"]
    assert "work call" not in out["one"][3:]
    assert out["two"].count("work call") == 6 and out["two"].count("work return") == 6
    assert out["two_threads"] == 5


def test_profiling_under_an_active_trace_function(tmp_path: Path) -> None:
    out = run_case(tmp_path, '''
lines = []


def tracer(frame, event, arg):
    if event == "line":
        lines.append(frame.f_lineno)
    return tracer


def work(n):
    total = 0
    for i in range(n):
        total += i
    return total


sys.settrace(tracer)
host = _support.start()
value = work(50)
sys.settrace(None)
finish(host, value=value, lines=len(lines))
''')
    assert out["value"] == sum(range(50))
    assert out["lines"] > 50
    assert out["names"] == ["work call", "work return"]


def test_signal_handlers_firing_inside_profiled_code(tmp_path: Path) -> None:
    out = run_case(tmp_path, '''
import signal, time

fired = []


def on_alarm(signum, frame):
    fired.append(describe(frame))


def describe(frame):
    return frame.f_code.co_name


def busy():
    n = 0
    while len(fired) < 20:
        n += step(n)
    return n


def step(n):
    return 1


signal.signal(signal.SIGALRM, on_alarm)
host = _support.start()
signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
busy()
signal.setitimer(signal.ITIMER_REAL, 0, 0)
finish(host, fired=len(fired))
''')
    assert out["fired"] == 20
    assert out["problems"] == []
    assert out["names"].count("on_alarm call") == out["names"].count("on_alarm return") >= 20
    assert out["names"].count("describe call") >= 20


def test_asyncio_tasks(tmp_path: Path) -> None:
    out = run_case(tmp_path, '''
import asyncio


async def worker(i, queue):
    for j in range(3):
        await asyncio.sleep(0)
        await queue.put(compute(i, j))


def compute(i, j):
    return i * 10 + j


async def main():
    queue = asyncio.Queue()
    await asyncio.gather(*(worker(i, queue) for i in range(4)))
    return sorted([queue.get_nowait() for _ in range(queue.qsize())])


host = _support.start()
result = asyncio.run(main())
finish(host, result=result)
''')
    assert out["result"] == sorted(i * 10 + j for i in range(4) for j in range(3))
    assert out["problems"] == []
    # Every resumption of a task's coroutine is a call and a return of its own.
    assert out["names"].count("worker call") >= 4 * 4
    assert out["names"].count("compute call") == 12


HOSTILE_OBJECTS = '''
class RaisingRepr:
    def __repr__(self):
        raise RuntimeError("repr")


class RaisingEq:
    def __eq__(self, other):
        raise RuntimeError("eq")
    __hash__ = object.__hash__


class RaisingHash:
    def __hash__(self):
        raise RuntimeError("hash")


class RaisingGetattr:
    def __getattr__(self, name):
        raise RuntimeError("getattr " + name)


class ReprNotStr:
    def __repr__(self):
        return 42


class Recursive:
    def __repr__(self):
        return repr(self)


def hostile():
    a, b, c, d, e, f = RaisingRepr(), RaisingEq(), RaisingHash(), RaisingGetattr(), ReprNotStr(), Recursive()
    box = {"self": [a, b], "x": (c, d)}
    return consume(a, b, c, d, e, f, box)


def consume(*objects):
    return len(objects)
'''


@pytest.mark.parametrize("light", [False, True], ids=["full-repr", "lightweight"])
def test_locals_whose_dunder_methods_raise(tmp_path: Path, light: bool) -> None:
    out = run_case(tmp_path, HOSTILE_OBJECTS + f'''
host = _support.start({{"lightweight_repr": {light}}})
value = hostile()
finish(host, value=value)
''')
    assert out["value"] == 7
    # A serialiser that gives up on a value is reported, never passed to the program.
    assert set(out["names"]) <= {"hostile call", "hostile return", "consume call", "consume return"}
    assert out["problems"] == [] or out["reports"], out


@pytest.mark.parametrize("light", [False, True], ids=["full-repr", "lightweight"])
def test_a_repr_that_waits_for_another_profiled_thread(tmp_path: Path, light: bool) -> None:
    """The repr blocks until a second profiled thread has made progress: if the core held
    anything across the serialiser call that the other thread needs, this would deadlock."""
    out = run_case(tmp_path, f'''
ready = threading.Event()
waited = []


class Waits:
    def __repr__(self):
        waited.append(ready.wait(300))  # False only if the other thread never got there
        return "Waits()"


def other():
    for i in range(50):
        tick(i)
    ready.set()


def tick(i):
    return i


def holder():
    slow = Waits()
    t = threading.Thread(target=other)
    t.start()
    t.join(300)
    return t.is_alive()


host = _support.start({{"threading": True, "lightweight_repr": {light}}})
alive = holder()
finish(host, alive=alive, waited=waited)
''')
    assert out["alive"] is False
    assert all(out["waited"]), out["waited"]
    assert out["names"].count("tick call") == 50
    if light:
        assert out["waited"] == []  # the lightweight form never runs a user's __repr__


def test_file_names_with_undecodable_bytes(tmp_path: Path) -> None:
    out = run_case(tmp_path, '''
import os

name = os.fsdecode(os.path.join(os.getcwd().encode(), b"caf\\xe9-\\xff.py"))
assert "\\udce9" in name
source = "def strange(f):\\n    return f(3) + 1\\n\\ndef outer(f):\\n    return strange(f)\\n"
namespace = {}
exec(compile(source, name, "exec"), namespace)


def normal(x):
    return x * 2


def run():
    a = namespace["outer"](normal)      # normal is called from a frame whose file has no UTF-8 form
    b = namespace["strange"](normal)
    return a + b


host = _support.start()
value = run()
value += run()
finish(host, value=value)
''')
    assert out["value"] == 28
    assert "run return" in out["names"]
    # `normal` is called from a frame whose file name has no UTF-8 form: the core may record it
    # or report that it could not decide, but it must not lose it silently.
    assert out["names"].count("normal call") == 4 or len(out["reports"]) >= 4, out
    assert not any("strange" in n or "outer" in n for n in out["names"])
    assert out["problems"] == []


DAEMONS = '''
import _support


def spin(n, ran):
    while True:
        n = step(n)
        ran.set()


def step(n):
    return (n * 7 + 1) % 1000003


host = _support.start({"threading": True})
ran = [threading.Event() for _ in range(4)]
for i in range(4):
    threading.Thread(target=spin, args=(i, ran[i]), daemon=True).start()
for event in ran:
    event.wait()
host.rust_profiler.build_trace()
for event in ran:  # and each runs profiled code after the build, still running at exit
    event.clear()
    event.wait()
# The interpreter exits with the daemon threads still inside profiled code.
'''


def test_daemon_threads_in_profiled_code_at_exit(tmp_path: Path) -> None:
    runs = small(30, 5)
    for i in range(runs):
        proc = run_child(tmp_path, "import threading\n" + DAEMONS)
        assert proc.returncode == 0, f"run {i}: {describe(proc)}"
        assert proc.stderr == "", f"run {i}: {describe(proc)}"
