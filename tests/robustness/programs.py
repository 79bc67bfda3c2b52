"""Random Python programs for the property tests: nested calls, recursion, generators and
coroutines resumed several times, exceptions raised and caught at random depths, threads.

A program is a tree of nodes; each node becomes one or two functions of the form f(acc) -> int
that append what they do to `acc`, so that a run's results can be compared exactly.
"""

from __future__ import annotations

import itertools
from typing import Any

from hypothesis import strategies as st

Node = tuple[Any, ...]

PRELUDE = '''\
import threading
import types


class Boom(Exception):
    pass


@types.coroutine
def step():
    yield


'''


def nodes(with_threads: bool) -> st.SearchStrategy[Node]:
    leaves = st.one_of(
        st.builds(lambda v: ("leaf", v), st.integers(0, 99)),
        st.builds(lambda v: ("raise", v), st.integers(1, 99)),
    )

    def extend(children: st.SearchStrategy[Node]) -> st.SearchStrategy[Node]:
        options = [
            st.builds(lambda cs: ("seq", cs), st.lists(children, min_size=1, max_size=3)),
            st.builds(lambda d, c: ("rec", d, c), st.integers(1, 6), children),
            st.builds(lambda n, c: ("gen", n, c), st.integers(1, 4), children),
            st.builds(lambda n, c: ("coro", n, c), st.integers(1, 3), children),
            st.builds(lambda c: ("try", c), children),
        ]
        if with_threads:
            options.append(st.builds(lambda c: ("thread", c), children))
        return st.one_of(options)

    return st.recursive(leaves, extend, max_leaves=10)


class _Writer:
    def __init__(self) -> None:
        self.ids = itertools.count()
        self.blocks: list[str] = []

    def emit(self, node: Node) -> str:
        k = next(self.ids)
        name = f"f{k}"
        kind = node[0]
        if kind == "leaf":
            body = [f"def {name}(acc):", f"    acc.append({node[1]})", f"    return {node[1]}"]
        elif kind == "raise":
            body = [f"def {name}(acc):", f"    acc.append({node[1]})", f"    raise Boom({node[1]})"]
        elif kind == "seq":
            calls = [self.emit(c) for c in node[1]]
            body = [f"def {name}(acc):", "    r = 0", *[f"    r += {c}(acc)" for c in calls], "    return r"]
        elif kind == "rec":
            c = self.emit(node[2])
            body = [f"def {name}(acc, n={node[1]}):", "    if n == 0:", f"        return {c}(acc)",
                    f"    return {name}(acc, n - 1) + 1"]
        elif kind == "gen":
            c = self.emit(node[2])
            g = f"g{k}"
            body = [f"def {g}(acc):", f"    for i in range({node[1]}):", f"        yield {c}(acc) + i", "",
                    f"def {name}(acc):", f"    it_{g} = {g}(acc)", "    r = 0",
                    *[f"    r += next(it_{g})" for _ in range(node[1])],
                    f"    r += sum(it_{g})", "    return r"]
        elif kind == "coro":
            c = self.emit(node[2])
            a = f"a{k}"
            body = [f"async def {a}(acc):", "    r = 0", f"    for i in range({node[1]}):",
                    "        await step()", f"        r += {c}(acc)", "    return r", "",
                    f"def {name}(acc):", f"    co_{a} = {a}(acc)", "    while True:", "        try:",
                    f"            co_{a}.send(None)", "        except StopIteration as stop:",
                    "            return stop.value"]
        elif kind == "try":
            c = self.emit(node[1])
            body = [f"def {name}(acc):", "    try:", f"        return {c}(acc)", "    except Boom as e:",
                    "        acc.append(-e.args[0])", "        return -1"]
        elif kind == "thread":
            c = self.emit(node[1])
            t = f"t{k}"
            body = [f"def {t}(acc, box):", "    try:", f"        box.append({c}(acc))", "    except Boom:",
                    "        box.append(-2)", "",
                    f"def {name}(acc):", "    box = []", f"    th = threading.Thread(target={t}, args=(acc, box))",
                    "    th.start()", "    th.join()", "    return box[0]"]
        else:  # pragma: no cover - the strategy makes no other kind
            raise ValueError(kind)
        self.blocks.append("\n".join(body) + "\n")
        return name


def source_of(tree: Node) -> str:
    writer = _Writer()
    root = writer.emit(tree)
    main = ("def main(acc):\n    try:\n"
            f"        return {root}(acc)\n"
            "    except Boom as e:\n        acc.append(-1000 - e.args[0])\n        return None\n")
    return PRELUDE + "\n\n".join(writer.blocks) + "\n\n" + main
