"""Random programs: nested calls, recursion, generators and coroutines resumed several times,
asyncio tasks, exceptions raised and caught at random depths, threads, locals that fail wherever
they are touched, calls through code of a file name without UTF-8 form. A program is a tree of
nodes; each node becomes functions f(acc) -> int that append what they do to `acc`, so that runs
compare exactly."""

from __future__ import annotations

import itertools
from typing import Any

from hypothesis import strategies as st
from support import compile_program

Node = tuple[Any, ...]
PRELUDE = """import asyncio, datetime, threading, types


Boom = type("Boom", (Exception,), {})


@types.coroutine
def step():
    yield


def fail(*args):
    raise RuntimeError("hostile")


# Values that fail wherever a serialiser could touch them.
HOSTILE = [type("RaisingRepr", (), {"__repr__": fail}), type("RaisingHash", (), {"__hash__": fail}),
           type("RaisingGetattr", (), {"__getattr__": fail}), type("ReprNotStr", (), {"__repr__": lambda self: 42}),
           type("RaisingEq", (), {"__eq__": fail, "__hash__": object.__hash__}),
           type("Recursive", (), {"__repr__": lambda self: repr(self)})]
# Code whose file name has no UTF-8 form: recorded under the name as Python shows it.
exec(compile("def alien(f):\\n    return f()\\n", "/srv/caf\\udce9.py", "exec"), ALIEN := {})
"""
# Every resumed frame is called from a line naming it (it_g1 names g1), which the tests check.
TEMPLATES = {
    "leaf": "def f{k}(acc):\n    acc.append({v})\n    return {v}",
    "raise": "def f{k}(acc):\n    acc.append({v})\n    raise Boom({v})",
    "rec": "def f{k}(acc, n={v}):\n    native = datetime.timedelta(n)\n    if n == 0:\n        return {c}(acc)\n    return f{k}(acc, n - 1) + 1",
    "gen": "def g{k}(acc):\n    for i in range({v}):\n        yield {c}(acc) + i\n\ndef f{k}(acc):\n"
           "    it_g{k} = g{k}(acc)\n    r = 0\n{nexts}    return r + sum(it_g{k})",
    "coro": "async def a{k}(acc):\n    r = 0\n    for i in range({v}):\n        await step()\n        r += {c}(acc)\n"
            "    return r\n\ndef f{k}(acc):\n    co_a{k} = a{k}(acc)\n    while True:\n        try:\n"
            "            co_a{k}.send(None)\n        except StopIteration as stop:\n            return stop.value",
    "hostile": "def f{k}(acc):\n    objects = [cls() for cls in HOSTILE]\n    box = {{'all': objects, 'one': (objects[{v} % 6],)}}\n"
               "    return {c}(acc)",
    "alien": "def f{k}(acc):\n    n = {v}\n    def inner{k}():\n        return {c}(acc) + n - n\n"
             "    return ALIEN['alien'](inner{k})  # {c} is called from here, for the core",
    "aio": "async def a{k}(i):\n    await asyncio.sleep(0)\n    return i\n\nasync def m{k}(n):\n"
           "    return sum(await asyncio.gather(*[a{k}(i) for i in range(n)]))\n\ndef f{k}(acc):\n"
           "    return asyncio.run(m{k}({v})) + {c}(acc)  # the event loop resumes a{k}, m{k}",
    "try": "def f{k}(acc):\n    try:\n        return {c}(acc)\n    except Boom as e:\n        acc.append(-e.args[0])\n"
           "        return -1",
    "thread": "def t{k}(acc, box):\n    try:\n        box.append({c}(acc))\n    except Boom:\n        box.append(-2)\n\n"
              "def f{k}(acc):\n    box = []\n    th = threading.Thread(target=t{k}, args=(acc, box))\n    th.start()\n"
              "    th.join()\n    return box[0]",
}


def nodes(with_threads: bool) -> st.SearchStrategy[Node]:
    leaves = st.tuples(st.sampled_from(["leaf", "raise"]), st.integers(1, 99))
    kinds = ["rec", "gen", "coro", "aio", "try", "hostile", "alien"] + ["thread"] * with_threads
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


# One program of every kind, the profiled code of the in-process tests: WORK["main"](acc) runs it
# all, on two threads; WORK["f1"](acc, n) makes n + 2 calls. Each record holds `acc`, so a big
# first element makes every record big.
WORK = compile_program(source_of(("seq", [("rec", 3, ("leaf", 1)), ("gen", 2, ("leaf", 2)), ("coro", 2, ("leaf", 3)),
                                          ("try", 1, ("rec", 2, ("raise", 4))), ("thread", 1, ("gen", 2, ("leaf", 5))),
                                          ("alien", 2, ("leaf", 6))])))
