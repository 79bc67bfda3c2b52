"""In the repr mode the program's __repr__ methods run inside the profiler, and cannot hurt the
program: whatever they raise, however long they take, the program runs as it runs without jarn,
and every call is recorded. An interrupt that arrives meanwhile reaches the program once the
event's records are done."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import msgpack
import pytest

import jarn
from jarn import store as stores
from support import ENGINES

ROOT = Path(__file__).resolve().parents[2]


def child_env() -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    return env if "site-packages" in (jarn.__file__ or "") else {**env, "PYTHONPATH": str(ROOT)}

LOOP = '''
def use(x):
    return 1


total = 0
for _ in range(5):
    total += use(Hostile())
print("done", total)
'''
HOSTILE = {
    **{name: f"class Hostile:\n    def __repr__(self):\n        raise {name}\n" for name in
       ("KeyboardInterrupt", "SystemExit", "GeneratorExit", "BaseException", "ValueError")},
    "sleeping": "import time\nclass Hostile:\n    def __repr__(self):\n        time.sleep(0.05)\n        return 'slept'\n",
    "recursing": "class Hostile:\n    def __repr__(self):\n        return repr(self)\n",
}


def jarn_run(tmp_path, engine, *options):
    done = subprocess.run([sys.executable, "-m", "jarn", "run", "--engine", engine, "--values", "repr", *options, "prog.py"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=300, env=child_env())
    with stores.open_store(tmp_path / ".jarn" / "db.sqlite3") as store:
        [listed] = store.list()
        trace = msgpack.unpackb(store.load(listed.row_id), strict_map_key=False)
    done.stderr = re.sub(r"(?m)^jarn: trace trc_\w+ saved to .*\n", "", done.stderr)  # what jarn run says it did
    return done, [r for r in trace["frames_of_interest"] if r.get("type") == "frame" and r.get("co_name") == "use"]


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("case", HOSTILE)
def test_a_hostile_repr_changes_nothing_for_the_program(tmp_path, engine, case):
    (tmp_path / "prog.py").write_text(HOSTILE[case] + LOOP)
    plain = subprocess.run([sys.executable, "prog.py"], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    done, uses = jarn_run(tmp_path, engine)
    assert (done.returncode, done.stdout, done.stderr) == (plain.returncode, plain.stdout, plain.stderr) == (0, "done 5\n", "")
    assert [r["event"] for r in uses] == ["call", "return"] * 5
    shown = [r["locals"]["x"]["repr"] for r in uses]
    if case == "sleeping":  # slow once by the wall clock, then never asked again
        assert shown[0] == "slept" and all(s.endswith("; repr skipped: too slow>") for s in shown[1:])
    else:
        error = "RecursionError" if case == "recursing" else case
        failed = f"Hostile object; repr failed: {error}>"
        # A recursion to the limit may be slow by the wall clock too: then it is not run again.
        assert shown[0].endswith(failed) and all(s.endswith((failed, "; repr skipped: too slow>")) for s in shown), shown


# Each sends one interrupt, the first time its repr runs (it runs again for the return record).
INTERRUPTS = {
    "interrupt_main": "import _thread\nsent = []\nclass Hostile:\n    def __repr__(self):\n"
                      "        sent or sent.append(_thread.interrupt_main())\n        return 'poked'\n",
    "SIGINT": "import os, signal\nsent = []\nclass Hostile:\n    def __repr__(self):\n"
              "        sent or sent.append(os.kill(os.getpid(), signal.SIGINT))\n        return 'poked'\n",
}
CAUGHT = '''
import signal
signal.signal(signal.SIGINT, signal.default_int_handler)  # also where the suite runs as a background job (SIGINT ignored)


def use(x):
    return 1


try:
    use(Hostile())
    for _ in range(1000):
        use(0)
    print("not interrupted")
except KeyboardInterrupt:
    print("interrupted")
'''


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("case", INTERRUPTS)
def test_an_interrupt_during_a_repr_reaches_the_program_after_the_record(tmp_path, engine, case):
    (tmp_path / "prog.py").write_text(INTERRUPTS[case] + CAUGHT)
    done, uses = jarn_run(tmp_path, engine)
    assert (done.returncode, done.stdout, done.stderr) == (0, "interrupted\n", ""), done  # no warning, no locals printed
    # The call whose record ran the repr is recorded whole, and so is its return: balanced.
    assert uses[0]["event"] == "call" and uses[0]["locals"]["x"]["repr"] == "poked"
    events = [r["event"] for r in uses]
    assert events.count("call") == events.count("return") and events[:2] == ["call", "return"]
