"""Plain arguments and variables are written into the record without the serialiser: the same
bytes as the host's real serialiser gives, and the same share of the record's value budget."""

from __future__ import annotations

import os
from typing import Any

import pytest
from support import compile_program, profile
from hypothesis import HealthCheck, given, settings
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


@pytest.mark.usefixtures("real_serialiser")
@settings(max_examples=int(os.environ.get("JARN_HYPOTHESIS_EXAMPLES", 40)), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(values=st.lists(plain, max_size=18), returned=st.integers(0, 17))
def test_plain_values_are_the_serialisers_bytes(values: list[Any], returned: int) -> None:
    params = ", ".join(f"v{i}" for i in range(len(values)))
    result = f"v{returned}" if returned < len(values) else "None"
    function = compile_program(f"def f({params}):\n    return {result}\n")["f"]
    _, trace = profile(function, *values)
    variables = {f"v{i}": v for i, v in enumerate(values)}
    locals_bytes = b"\xa6locals" + REAL_DUMP(variables)
    for arg in (None, variables.get(result)):  # the call's argument, then the return's
        assert b"\xa3arg" + REAL_DUMP(arg) + locals_bytes + b"\xa6thread" in trace


# A record's values share one budget: the argument (None, one node and one byte) takes its share
# first, and the variables get what the encoder on its own would give with the rest.
@pytest.mark.parametrize("nodes", [1, 2, 3, 4, 6])
@pytest.mark.parametrize("max_bytes", [1, 2, 4, 10, 13, 1 << 20])  # 4, 10, 13: a value at the edge
def test_variables_draw_on_what_the_argument_left(monkeypatch: pytest.MonkeyPatch, nodes: int, max_bytes: int) -> None:
    def encoder(nodes: int, max_bytes: int) -> Any:
        return Encoder(lambda value, depth, left: b"\xc0", max_nodes=nodes, max_record_bytes=max_bytes)

    monkeypatch.setattr(jarn.serialize, "dump_msgpack", encoder(nodes, max_bytes))
    function = compile_program("def f(a, b, c):\n    return a\n")["f"]
    _, trace = profile(function, "xyz", 2, None)
    rest = encoder(nodes - 1, max_bytes - 1)({"a": "xyz", "b": 2, "c": None})
    assert b"\xa3arg\xc0\xa6locals" + rest + b"\xa6thread" in trace
