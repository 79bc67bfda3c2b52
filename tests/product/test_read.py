"""Reading stored traces from Python (jarn.read), on a program run by `jarn run`."""

from __future__ import annotations

import pytest

from jarn import read

PROGRAM = """
import logging

def price(item):
    if item == 3:
        raise KeyError(item)
    logging.getLogger("shop").warning("priced %s", item)
    return item * 2.5

def basket(items):
    total = 0.0
    for item in items:
        try:
            total += price(item)
        except KeyError:
            pass
    return total

basket([1, 3])
"""


def test_a_stored_trace_is_listed_loaded_and_walked(jarn_cli, tmp_path):
    (tmp_path / "shop.py").write_text(PROGRAM)
    done = jarn_cli("run", "--db", "db.sqlite3", "shop.py")
    assert done.returncode == 0, done.stderr
    store = tmp_path / "db.sqlite3"
    [info] = read.traces(store)
    assert info.what.endswith("shop.py") and info.record_count > 0
    trace = read.load(info.trace_id[:12], store)  # a unique prefix is enough
    calls = {call.qualname: call for _, call in trace.walk()}
    basket, price = calls["__main__.basket"], [c for _, c in trace.walk() if c.qualname == "__main__.price"]
    assert basket.arguments == {"items": [1, 3]} and basket.return_value == 2.5 and basket.duration > 0
    assert [(p.arguments["item"], p.return_value, p.raised) for p in price] == [(1, 2.5, False), (3, None, True)]
    assert [r.data["message"] for r in price[0].children if r.type == "log"] == ["priced 1"]

    class Names:  # a handler of the walk: calls as they come
        def __init__(self) -> None:
            self.seen: list[str] = []

        def thread_start(self, thread): pass
        def begin(self, thread, call, parent): self.seen.append(call.qualname)
        def end(self, thread, call, at): pass
        def raised(self, thread, call): pass
        def record(self, thread, record, owner): pass
        def truncated(self, info): pass

    names = Names()
    read.walk(info.trace_id, names, store)
    assert names.seen == ["__main__.<module>", "__main__.basket", "__main__.price", "__main__.price"]
    with pytest.raises(LookupError, match="no trace 'trc_nothing'"):
        read.load("trc_nothing", store)
