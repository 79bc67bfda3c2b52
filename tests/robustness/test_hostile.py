"""Hostile and unusual programs, each in its own interpreter on each engine: a crash shows as an
exit code, a failed check inside the program as a traceback. Every program ends with daemon
threads inside profiled code, still running at exit."""

from __future__ import annotations

from pathlib import Path

import pytest
from support import ENGINES, run_script

PRELUDE = '''
import functools, logging, os, sys, threading
import support

using = sys.argv[1]
start = functools.partial(support.start, using=using)
finish = functools.partial(support.finish, using=using)  # so that stopping runs no frame of this file
reports = []  # the jarn warnings, kept without running a frame of this file either
logging.getLogger("jarn").addHandler(handler := logging.Handler(logging.WARNING))
handler.emit = reports.append
logging.getLogger("jarn").propagate = False


def work(n): return n + 1
'''
DAEMONS = '''
def spin(ran):
    while True:
        work(0)
        ran.set()


host = start({"threading": True})
ran = [threading.Event() for _ in range(4)]
for event in ran:  # each runs profiled code before the build and after it
    threading.Thread(target=spin, args=(event,), daemon=True).start()
    event.wait()
host.rust_profiler.build_trace()
for event in ran:
    event.clear()
    event.wait()
'''
CASES = {
    # Limits and interruptions under one profiler: the recursion limit, a trace function, signal
    # handlers at any point.
    "interrupted": '''
import signal


def down(n): return down(n + 1) + 1


def deep(limit):
    sys.setrecursionlimit(limit)
    try:
        return down(0)
    except RecursionError:
        return "caught"


def tracer(frame, event, arg):
    traced.append(event)
    return tracer


def traced_work(n): return sum(i for i in range(n))


def on_alarm(signum, frame):
    fired.append(describe(frame) == __file__)
    signal.setitimer(signal.ITIMER_REAL, 0.001)  # one at a time: none interrupts the start of another


# A handler that interrupts user code runs profiled (not so one that interrupts the serialiser).
def describe(frame): return frame.f_code.co_filename


def busy():
    while fired.count(True) < 20:
        work(1)


traced, fired = [], []
signal.signal(signal.SIGALRM, on_alarm)
host = start()
assert [deep(limit) for limit in (200, 400, 1000)] == ["caught"] * 3
sys.setrecursionlimit(1000)
sys.settrace(tracer)
assert traced_work(50) == sum(range(50))
sys.settrace(None)
signal.setitimer(signal.ITIMER_REAL, 0.001)
busy()
signal.setitimer(signal.ITIMER_REAL, 0)
# A handler still pending re-arms the timer, and the alarm could come after the interpreter has
# given SIGALRM its default action back: let it be ignored.
signal.signal(signal.SIGALRM, signal.SIG_IGN)
signal.setitimer(signal.ITIMER_REAL, 0)
names, problems = finish(host)
assert not problems and not reports, (problems, reports)
assert names.count("down call") == names.count("down return") > 1000 and names[:1] == ["deep call"]
assert traced.count("line") > 50 and names.count("traced_work call") == 1 and "tracer call" not in names
assert names.count("on_alarm call") == names.count("on_alarm return") == names.count("describe call") >= 20
''',
    # A repr that waits for another profiled thread: if the core held anything that thread
    # needs while serialising, it would deadlock.
    "waiting repr": '''
Waits = type("Waits", (), {"__repr__": lambda self: str(waited.append(ready.wait(300))) and "Waits()"})


def other():
    for i in range(50):
        work(i)
    ready.set()


def holder():
    slow = Waits()  # its repr, for this frame's return, waits for the other thread's records
    t = threading.Thread(target=other)
    t.start()
    return t


waited = []  # False where the other thread never got there
for light in (True, False):
    ready = threading.Event()
    host = start({"threading": True, "values": "type" if light else "repr"})
    holder().join(300)
    names, problems = finish(host)
    assert names == ["holder call", "holder return", "other call", *["work call", "work return"] * 50, "other return"]
    assert not problems and not reports and all(waited) and (waited == []) == light, (problems, reports, waited)
''',
    # The program takes the profile hook over and hands it back.
    "takeover": '''
seen = []


def own(frame, event, arg):
    if event == "call":
        seen.append(frame.f_code.co_name)


def run():
    work(1)
    previous = sys.getprofile()
    sys.setprofile(own)
    threading.setprofile(own)
    work(2)
    support.run_thread(work, 3)
    threading.setprofile(None)
    # getprofile() gave the profile engine's object, which is no Python profile function, but
    # the host profiler object is one that reinstalls the core.
    sys.setprofile(host if previous is not None and not callable(previous) else previous)
    work(4)


host = start({"threading": True})
run()
names, problems = finish(host)
assert seen.count("work") == 2 and not problems, problems
work_pair = ["work call", "work return"]  # the monitoring engine is not displaced by a profile hook
assert names == (["run call", *work_pair * 2, "run return"] if using == "profile" else
                 ["run call", *work_pair * 3, "run return", *work_pair]), names
''',
    # os.fork while profiling, from the main thread and from another: the child's trace holds
    # the child's records only, on its own thread, under a trace id of its own, linked to the
    # parent's, and stands alone: it begins with the calls the child was forked inside.
    "fork": '''
import traceback, warnings

warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads running is the point


def child_side(): return work(100)


def fork_and_check():
    work(1)
    pid = os.fork()
    if pid == 0:
        try:
            child_side()
            support.STOP[using]()
            trace = support.decode(host.rust_profiler.build_trace())
            recs, own = support.frame_records(trace), threading.get_native_id()
            every = [r for records in (trace["frames_of_interest"], *trace["frames"].values()) for r in records]
            assert (every[0]["type"], every[0]["parent_trace_id"], every[0]["pid"]) == ("process", host.trace_id, os.getpid())
            assert [f"{r['co_name']} {r['event']}" for r in recs][-5:] == [
                "fork_and_check call", "child_side call", "work call", "work return", "child_side return"], recs
            ids = {r["frame_id"] for r in every}
            assert all(r["user_code_call_site"] is None or r["user_code_call_site"]["call_frame_id"] in ids for r in every)
            assert {r["thread_native_id"] for r in every} == {own} and list(trace["frames"]) in ([], [own])
            assert trace["trace_id"] != host.trace_id
        except BaseException:
            traceback.print_exc()
            os._exit(1)
        os._exit(0)
    work(2)
    return os.waitpid(pid, 0)[1]


host = start({"threading": True})
statuses = [fork_and_check()]
support.run_thread(lambda: statuses.append(fork_and_check()))
names, problems = finish(host)
assert statuses == [0, 0] and not problems and "child_side call" not in names and names.count("work call") == 4
''',
    # Children forked from one state make identifiers of their own, and so does their parent after
    # them: none hands out random characters it inherited.
    "fork_ids": '''
def child_side(): return work(1)


def random_part(records, name):  # what follows "frm_" and the ten characters of the time
    return next(r["frame_id"] for r in reversed(records) if r["co_name"] == name)[14:]


def forked_ids():
    work(1)  # the thread's identifiers are under way before the forks
    children = []
    for _ in range(2):
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            child_side()
            support.STOP[using]()
            os.write(write, random_part(support.frame_records(support.decode(host.rust_profiler.build_trace())),
                                        "child_side").encode())
            os._exit(0)
        os.close(write)
        children.append((read, pid))
    found = []
    for read, pid in children:
        os.waitpid(pid, 0)
        found.append(os.read(read, 64).decode())
        os.close(read)
    return found


host = start({})
ids = forked_ids()
child_side()
support.STOP[using]()
ids.append(random_part(support.frame_records(support.decode(host.rust_profiler.build_trace())), "child_side"))
assert len(set(ids)) == 3 and all(len(i) == 16 for i in ids), ids
''',
}


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("using", ENGINES)
def test_hostile_program(tmp_path: Path, case: str, using: str) -> None:
    proc = run_script(tmp_path, PRELUDE + CASES[case] + DAEMONS, using)
    assert proc.returncode == 0 and proc.stderr == "", proc
