"""Profiled code of the robustness tests (it lives under tests/, so the core records it), and
random programs: nested calls, recursion, generators and coroutines resumed several times,
exceptions raised and caught at random depths, threads. A program is a tree of nodes; each node
becomes functions f(acc) -> int that append what they do to `acc`, so runs compare exactly."""

from __future__ import annotations

import itertools
import sys
import threading
from collections.abc import Iterator
from typing import Any

from hypothesis import strategies as st

PAYLOAD = "x" * 32768


def leaf(value: int) -> int:
    big = PAYLOAD  # makes every record tens of kilobytes, so a leak of records shows in RSS
    return value + len(big) - len(PAYLOAD)


def nested(depth: int) -> int:
    return leaf(1) if depth == 0 else nested(depth - 1) + 1


def counting(n: int) -> Iterator[int]:
    for i in range(n):
        yield leaf(i)


def raising(depth: int) -> int:
    return raising(depth - 1) if depth else 1 // depth


def catching(depth: int) -> int:
    try:
        return raising(depth)
    except ZeroDivisionError:
        return -1


def mixed(rounds: int) -> int:
    return sum(nested(i % 5) + sum(counting(3)) + catching(i % 4) for i in range(rounds))


def on_threads(n_threads: int, rounds: int) -> list[int]:
    results = [0] * n_threads
    threads = [threading.Thread(target=lambda i=i: results.__setitem__(i, mixed(rounds))) for i in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def open_frame(keep: list[Any], stop: Any) -> None:
    """Stops profiling from inside a recorded call: its return is never seen."""
    keep.append(sys._getframe())
    stop()


def suspended(keep: list[Any]) -> Iterator[int]:
    keep.append(sys._getframe())
    yield 1
    yield 2


Node = tuple[Any, ...]
PRELUDE = "import threading, types\n\nclass Boom(Exception):\n    pass\n\n@types.coroutine\ndef step():\n    yield\n"
# Every resumed frame is called from a line naming it (it_g1 names g1), which the tests check.
TEMPLATES = {
    "leaf": "def f{k}(acc):\n    acc.append({v})\n    return {v}",
    "raise": "def f{k}(acc):\n    acc.append({v})\n    raise Boom({v})",
    "rec": "def f{k}(acc, n={v}):\n    if n == 0:\n        return {c}(acc)\n    return f{k}(acc, n - 1) + 1",
    "gen": "def g{k}(acc):\n    for i in range({v}):\n        yield {c}(acc) + i\n\ndef f{k}(acc):\n"
           "    it_g{k} = g{k}(acc)\n    r = 0\n{nexts}    return r + sum(it_g{k})",
    "coro": "async def a{k}(acc):\n    r = 0\n    for i in range({v}):\n        await step()\n        r += {c}(acc)\n"
            "    return r\n\ndef f{k}(acc):\n    co_a{k} = a{k}(acc)\n    while True:\n        try:\n"
            "            co_a{k}.send(None)\n        except StopIteration as stop:\n            return stop.value",
    "try": "def f{k}(acc):\n    try:\n        return {c}(acc)\n    except Boom as e:\n        acc.append(-e.args[0])\n"
           "        return -1",
    "thread": "def t{k}(acc, box):\n    try:\n        box.append({c}(acc))\n    except Boom:\n        box.append(-2)\n\n"
              "def f{k}(acc):\n    box = []\n    th = threading.Thread(target=t{k}, args=(acc, box))\n    th.start()\n"
              "    th.join()\n    return box[0]",
}


def nodes(with_threads: bool) -> st.SearchStrategy[Node]:
    leaves = st.tuples(st.sampled_from(["leaf", "raise"]), st.integers(1, 99))
    kinds = ["rec", "gen", "coro", "try"] + ["thread"] * with_threads
    return st.recursive(leaves, lambda children: st.one_of(
        st.tuples(st.just("seq"), st.lists(children, min_size=1, max_size=3)),
        st.tuples(st.sampled_from(kinds), st.integers(1, 4), children)), max_leaves=10)


def source_of(tree: Node) -> str:
    blocks: list[str] = []
    ids = itertools.count()

    def emit(node: Node) -> str:
        k, kind = next(ids), node[0]
        if kind == "seq":
            calls = "".join(f"    r += {emit(c)}(acc)\n" for c in node[1])
            blocks.append(f"def f{k}(acc):\n    r = 0\n{calls}    return r")
        else:
            c = emit(node[2]) if len(node) > 2 else ""
            blocks.append(TEMPLATES[kind].format(k=k, v=node[1], c=c, nexts=f"    r += next(it_g{k})\n" * node[1]))
        return f"f{k}"

    root = emit(tree)
    main = (f"def main(acc):\n    try:\n        return {root}(acc)\n    except Boom as e:\n"
            "        acc.append(-1000 - e.args[0])\n        return None")
    return "\n\n".join([PRELUDE, *blocks, main]) + "\n"
