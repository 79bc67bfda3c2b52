"""Plain arguments and variables are written into the record without the serialiser: the same
bytes as the host's real serialiser gives, and the same share of the record's value budget."""

from __future__ import annotations

import os
from typing import Any

import pytest
from support import compile_program, profile
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import jarn.serialize
from jarn._encoder import Encoder

pytestmark = pytest.mark.usefixtures("engine")

REAL_DUMP = jarn.serialize.dump_msgpack  # the native encoder, before the fixtures replace it

plain = st.one_of(
    st.none(), st.booleans(), st.floats(allow_nan=False),
    st.integers(-(2**70), 2**70), st.sampled_from([2**30, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1]),
    st.text(max_size=40), st.sampled_from(["é" * 31, "x" * 2000, "x" * 2001, "\ud800", "a" * 255, "a" * 256]),
)


@pytest.fixture
def real_serialiser(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(jarn.serialize, "dump_msgpack", REAL_DUMP)


# How a variable of the recorded function is bound: the interpreter keeps each kind in its own way.
KINDS = ("arg", "cell_arg", "local", "cell_local", "free", "unbound", "builtins")
NAMES = ("v", "é", "a_name_of_more_than_thirty_two_bytes_")


@pytest.mark.usefixtures("real_serialiser")
@settings(max_examples=int(os.environ.get("JARN_HYPOTHESIS_EXAMPLES", 40)), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(variables=st.lists(st.tuples(plain, st.sampled_from(KINDS), st.sampled_from(NAMES)), max_size=18),
       returned=st.integers(0, 17))
@example(variables=[(0, "arg", "v")] * 16, returned=0)  # one more than a fixmap holds
def test_plain_values_are_the_serialisers_bytes(variables: list[tuple[Any, str, str]], returned: int) -> None:
    names = [f"{prefix}{i}" if kind != "builtins" else "__builtins__" for i, (_, kind, prefix) in enumerate(variables)]
    names = [n for i, n in enumerate(names) if n not in names[:i]]  # one "__builtins__"
    kinds = {n: kind for n, (_, kind, _) in zip(names, variables)}
    values = dict(zip(names, (v for v, _, _ in variables)))
    of = lambda *wanted: [n for n in names if kinds[n] in wanted]  # noqa: E731
    result = names[returned] if returned < len(names) and kinds[names[returned]] != "unbound" else "None"
    body = "".join(f"        {n} = VALUES[{n!r}]\n" for n in of("local", "cell_local", "builtins"))
    body += "".join(f"        if VALUES is None: {n} = 0\n" for n in of("unbound"))
    namespace = compile_program(
        f"def outer({', '.join(of('free'))}):\n"
        f"    def f({', '.join(of('arg', 'cell_arg'))}):\n"
        f"        CAPTURED.append(dict(locals()))\n{body}        [h for h in ()]\n"
        f"        CAPTURED.append(dict(locals()))\n"
        f"        return ({result}, lambda: ({''.join(n + ', ' for n in of('cell_arg', 'cell_local', 'free'))}))[0]\n"
        f"    return f\n")
    namespace.update(VALUES=values, CAPTURED=[])
    function = namespace["outer"](*(values[n] for n in of("free")))
    _, trace = profile(function, *(values[n] for n in of("arg", "cell_arg")))
    # In the interpreter's order of slots (a dict that locals() refreshes keeps its first order).
    code = function.__code__
    order = [*code.co_varnames, *(n for n in code.co_cellvars if n not in code.co_varnames), *code.co_freevars]
    at_call, at_return = ({n: seen[n] for n in order if n in seen and n != "__builtins__"}
                          for seen in namespace["CAPTURED"])
    assert b"\xa3arg\xc0\xa6locals" + REAL_DUMP(at_call) + b"\xa6thread" in trace
    returned_bytes = REAL_DUMP(values.get(result))
    assert b"\xa3arg" + returned_bytes + b"\xa6locals" + REAL_DUMP(at_return) + b"\xa6thread" in trace


# A record's values share one budget: the argument (None, one node and one byte) takes its share
# first, and the variables get what the encoder on its own would give with the rest. Names and
# values longer than max_str, maps deeper than max_depth or longer than max_items are not the
# encoder's to write as such.
@pytest.mark.parametrize("nodes", [1, 2, 3, 4, 6])
@pytest.mark.parametrize("max_bytes", [1, 2, 4, 10, 13, 1 << 20])  # 4, 10, 13: a value at the edge
@pytest.mark.parametrize("limits", [{}, {"max_str": 0}, {"max_str": 2}, {"max_depth": 0}, {"max_items": 2}])
def test_variables_draw_on_what_the_argument_left(monkeypatch: pytest.MonkeyPatch, nodes: int, max_bytes: int,
                                                  limits: dict[str, int]) -> None:
    def encoder(nodes: int, max_bytes: int) -> Any:
        return Encoder(lambda value, depth, left: b"\xc0", max_nodes=nodes, max_record_bytes=max_bytes, **limits)

    monkeypatch.setattr(jarn.serialize, "dump_msgpack", encoder(nodes, max_bytes))
    function = compile_program("def f(a, b, c):\n    return a\n")["f"]
    _, trace = profile(function, "xyz", 2, None)
    rest = encoder(nodes - 1, max_bytes - 1)({"a": "xyz", "b": 2, "c": None})
    assert b"\xa3arg\xc0\xa6locals" + rest + b"\xa6thread" in trace
