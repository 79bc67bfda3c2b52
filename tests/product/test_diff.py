"""`jarn diff`: two runs of one test (before and after a change), and the matching rules on
hand-made traces."""

from __future__ import annotations

import importlib.metadata
import subprocess
import sys

from conftest import child_env
from jarn.store import open_store
from jarn.diff import collect, compare
from jarn.trace import Walk
from product_traces import call_pair, frame, frame_id, trace

SHOP = """
import time

PRICES = {{1: 2.5, 2: 4.0, 3: 9.5}}

def price(item):
    {price}

def basket(items, out):
    time.sleep({pause})  # the change makes this function slower
    for item in items:
        try:
            out.append(price(item))
        except KeyError:
            pass

def test_basket():
    basket([1, 3], [])
"""


def _pytest(folder, *args: str) -> subprocess.CompletedProcess[str]:
    named = [] if any(ep.value == "jarn.pytest_plugin" for ep in importlib.metadata.entry_points(group="pytest11")) else ["-p", "jarn.pytest_plugin"]
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *named, *args], cwd=folder, env=child_env(),
                          capture_output=True, text=True, timeout=180)


def test_diff_of_one_test_before_and_after_a_change_names_the_slower_function_and_the_changed_value(tmp_path, jarn_cli):
    ids = []
    for body, pause in (("return PRICES[item]", 0), ("return {1: 2.5}[item]", 0.2)):
        (tmp_path / "test_shop.py").write_text(SHOP.format(price=body, pause=pause))
        done = _pytest(tmp_path, "--jarn", "--jarn-db", "traces.db")
        assert done.returncode == 0, done.stdout + done.stderr
        with open_store(tmp_path / "traces.db") as store:
            ids.append(store.latest().trace_id)
    out = jarn_cli("diff", "--db", "traces.db", *ids)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    first_change = lines[lines.index("Time by function, the biggest change of self time first (calls, total, self):") + 2]
    assert first_change.split()[-2] == "test_shop.basket" and first_change.split()[-4].startswith("+"), out.stdout
    # the one call whose value changed (price(item=1) returned 2.5 both times; basket returns None)
    assert "Calls that saw other values (1 of 4 matching calls):" in lines, out.stdout
    assert "    before the change `price(item=3)` returned 9.5; now it raises KeyError(3)" in lines, out.stdout
    # a trace that is not there is said so
    missing = jarn_cli("diff", "--db", "traces.db", ids[0], "trc_nothing")
    assert missing.returncode == 2 and "no trace 'trc_nothing'" in missing.stderr


def _run(calls: list[dict]) -> object:
    return collect(Walk(trace(calls)))


def test_calls_match_by_function_call_path_and_position():
    def checkout(items, results, extra=()):
        top = frame_id()
        records = [frame("call", "shop.checkout", top, ts=1.0, locals={"cart": {"__type__": "shop.Cart", "repr": "<Cart object at 0x7f01>"}})]
        for n, (item, result) in enumerate(zip(items, results, strict=True)):
            records += call_pair("shop.price", 1.1 + n / 10, 1.15 + n / 10, arguments={"item": item}, result=result, site=(top, 3))
        for name in extra:
            records += call_pair(name, 1.8, 1.85, site=(top, 4))
        return records + [frame("return", "shop.checkout", top, ts=2.0, arg=None)]

    before = _run(checkout([1, 2, 3], [2.5, 4.0, 9.5], extra=["shop.old_tax"]))
    after = _run(checkout([1, 5, 3], [2.5, 4.0, 9.0], extra=["shop.new_tax"]))
    diff = compare(before, after)
    # only the price calls differ: the second by its argument, the third by its result; the
    # checkout's argument differs only by its address
    assert [(v.position, v.sentence()) for v in diff.values] == [
        (1, "before the change `price(item=2)` was called; now `price(item=5)` is"),
        (2, "before the change `price(item=3)` returned 9.5; now it returns 9.0"),
    ]
    assert [c.qualname for c in diff.only_before] == ["shop.old_tax"] and [c.qualname for c in diff.only_after] == ["shop.new_tax"]
    assert {c.qualname: (c.before.calls, c.after.calls) for c in diff.functions} == {"shop.checkout": (1, 1), "shop.price": (3, 3)}
    assert diff.matched_calls == 4
