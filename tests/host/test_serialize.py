"""The value serialiser: plain values exactly as msgpack encodes them, everything else described,
never an exception for the program's values, and the native fast path equal to the careful one."""

from __future__ import annotations

import collections
import enum
import math
import sys
import threading

import msgpack
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from jarn import serialize
from jarn.serialize import dump_msgpack, dump_msgpack_lightweight_repr


def decode(data: bytes):
    return msgpack.unpackb(data, strict_map_key=False, raw=False)


class Exploding:
    """Every method a serialiser might call raises."""

    calls = 0

    def __repr__(self):
        Exploding.calls += 1
        raise RuntimeError("no repr")

    def __eq__(self, other):
        Exploding.calls += 1
        raise RuntimeError("no eq")

    def __hash__(self):
        Exploding.calls += 1
        raise RuntimeError("no hash")

    def __getattr__(self, name):
        Exploding.calls += 1
        raise RuntimeError("no attribute")

    def __len__(self):
        Exploding.calls += 1
        raise RuntimeError("no len")

    def __iter__(self):
        Exploding.calls += 1
        raise RuntimeError("no iter")


class ReprReturnsInt:
    def __repr__(self):
        return 42  # type: ignore[return-value]


class LyingDict(dict):
    def items(self):
        raise RuntimeError("overridden items must not be used")

    def __iter__(self):
        raise RuntimeError("overridden iteration must not be used")


class Color(enum.IntEnum):
    RED = 1


def cyclic_list():
    a: list = [1]
    a.append(a)
    return a


def cyclic_dict():
    d: dict = {"x": 1}
    d["self"] = d
    return d


def deep(n: int):
    v: list = []
    for _ in range(n):
        v = [v]
    return v


def generator():
    yield 1


PLAIN = [
    None,
    True,
    False,
    0,
    -1,
    -32,
    -33,
    127,
    128,
    2**63 - 1,
    2**64 - 1,
    -(2**63),
    1.5,
    -0.0,
    math.inf,
    "",
    "héllo",
    "x" * 300,
    b"",
    b"\x00\xff" * 100,
    [],
    [1, [2, [3]]],
    (1, "a"),
    {"a": {"b": [None, 1.25]}},
]


@pytest.mark.parametrize("value", PLAIN, ids=repr)
@pytest.mark.parametrize("dump", [dump_msgpack, dump_msgpack_lightweight_repr], ids=["default", "lightweight"])
def test_plain_values_are_encoded_as_msgpack_does(dump, value):
    assert dump(value) == msgpack.packb(value, use_bin_type=True)


HOSTILE = [
    Exploding(),
    ReprReturnsInt(),
    cyclic_list(),
    cyclic_dict(),
    deep(100),
    {1: "int key", (1, 2): "tuple key", None: "none", 2.5: "float"},
    {"k": {1, 2, 3}, "f": frozenset(["a"])},
    2**100,
    -(2**80),
    10**5000,
    "x" * 100_000,
    b"y" * 100_000,
    bytearray(b"abc"),
    memoryview(b"abc"),
    list(range(10_000)),
    {str(i): i for i in range(5_000)},
    {"...": 0, **{str(i): [i] for i in range(300)}},
    {i: [i] for i in range(300)},
    tuple(range(300)),
    [[list(range(300))] * 30] * 3,
    "\udcff surrogate",
    float("nan"),
    Color.RED,
    LyingDict(a=1),
    collections.OrderedDict(a=1),
    collections.defaultdict(list, a=[1]),
    sys,
    sys._getframe(),
    generator(),
    threading.Lock(),
    type,
    len,
    object(),
    [Exploding(), {"nested": Exploding()}],
]


@pytest.mark.parametrize("value", HOSTILE, ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("dump", [dump_msgpack, dump_msgpack_lightweight_repr], ids=["default", "lightweight"])
def test_any_value_gives_bytes_that_decode(dump, value):
    data = dump(value)
    assert isinstance(data, bytes)
    decode(data)
    assert len(data) < 200_000  # cut, not copied whole


@pytest.mark.parametrize("dump", [dump_msgpack, dump_msgpack_lightweight_repr], ids=["default", "lightweight"])
def test_described_objects(dump):
    out = decode(dump({"e": Exploding(), "o": ReprReturnsInt()}))
    assert out["e"]["__type__"] == f"{__name__}.Exploding"
    assert out["o"]["__type__"] == f"{__name__}.ReprReturnsInt"
    if dump is dump_msgpack:
        assert out["e"]["repr"] == f"<{__name__}.Exploding object; repr failed: RuntimeError>"
        assert out["o"]["repr"] == f"<{__name__}.ReprReturnsInt object; repr failed: TypeError>"
    else:
        assert out["e"]["repr"].startswith(f"<{__name__}.Exploding object at 0x")


def test_lightweight_calls_no_user_code():
    Exploding.calls = 0
    class Key:
        def __repr__(self):
            Exploding.calls += 1
            return "key"

    values = [Exploding(), {Key(): 1}, [Exploding()], {"a": {"b": Exploding()}}, LyingDict(x=Exploding())]
    for v in values:
        decode(dump_msgpack_lightweight_repr(v))
    assert Exploding.calls == 0


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ({1: 2, "a": 3}, {"1": 2, "a": 3}),
        ({None: 1, True: 2}, {"None": 1, "True": 2}),
        ((1, 2), [1, 2]),
        (2**70, str(2**70)),
        (bytearray(b"ab"), b"ab"),
        ({"s": {5}}, {"s": [5]}),
    ],
)
def test_conversions(value, expected):
    assert decode(dump_msgpack(value)) == expected


def test_cuts_are_marked():
    text = decode(dump_msgpack("x" * (serialize.MAX_STR + 10)))
    assert text.startswith("x" * serialize.MAX_STR) and text.endswith("[10 more characters]")
    items = decode(dump_msgpack(list(range(serialize.MAX_ITEMS + 5))))
    assert items[-1] == "... 5 more items" and len(items) == serialize.MAX_ITEMS + 1
    assert decode(dump_msgpack(cyclic_list()))[1] == {"__type__": "list", "repr": "<recursion>"}
    nested = decode(dump_msgpack(deep(serialize.MAX_DEPTH + 5)))
    for _ in range(serialize.MAX_DEPTH):
        nested = nested[0]
    assert nested == {"__type__": "list", "repr": "<nested too deeply>"}


@pytest.mark.parametrize(
    "value",
    [2**6800 - 1, 10**1999, -(10**1999), 10**2000, -(10**2000), 2**6801 + 12345, 7**20000, -(3**50000)],
    ids=lambda v: f"{v.bit_length()} bits",
)
def test_huge_ints_are_cut_like_long_text(value):
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        text = str(value)
    finally:
        sys.set_int_max_str_digits(limit)
    cut = text if len(text) <= serialize.MAX_STR else f"{text[:serialize.MAX_STR]}... [{len(text) - serialize.MAX_STR} more characters]"
    assert decode(dump_msgpack(value)) == cut == decode(dump_msgpack_lightweight_repr(value))


class CountedRepr:
    calls = 0

    def __repr__(self):
        CountedRepr.calls += 1
        return "counted"


@pytest.mark.parametrize("path", ["native", "careful"])
def test_a_slow_repr_is_not_called_again(monkeypatch, path):
    from jarn._encoder import Encoder

    monkeypatch.setattr(serialize, "SLOW_REPR_NS", 0)
    native = Encoder(serialize._dump_careful, objects="repr", slow_repr_ns=0)
    dump = native if path == "native" else lambda v: serialize._pack_sanitized(v, 0, False)
    CountedRepr.calls = 0
    thing = CountedRepr()
    texts = [decode(dump([thing]))[0]["repr"] for _ in range(4)]
    assert CountedRepr.calls == 2 and texts[:2] == ["counted"] * 2
    assert texts[2] == texts[3] == f"<{__name__}.CountedRepr object at {id(thing):#x}; repr skipped: too slow>"


def test_keyboard_interrupt_is_not_swallowed():
    class Interrupting:
        def __repr__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        dump_msgpack({"x": Interrupting()})


def test_reentrant_use_from_a_repr():
    class Nested:
        def __repr__(self):
            return repr(decode(dump_msgpack({"inner": [1, 2]})))

    assert decode(dump_msgpack({"outer": Nested(), "after": 7})) == {
        "outer": {"__type__": f"{__name__}.{Nested.__qualname__}", "repr": "{'inner': [1, 2]}"},
        "after": 7,
    }


@pytest.mark.parametrize(
    ("container", "put", "grow"),
    [
        (dict, lambda c, m: c.__setitem__("m", m), lambda c: c.update({str(i): i for i in range(50)})),
        (list, list.append, lambda c: c.extend(range(50))),
        (set, set.add, lambda c: c.update(range(50))),
        (LyingDict, lambda c, m: c.__setitem__("m", m), lambda c: dict.update(c, {str(i): i for i in range(50)})),
    ],
    ids=["dict", "list", "set", "dict subclass"],
)
def test_mutation_during_repr_still_decodes(container, put, grow):
    data = container()

    class Mutator:
        def __repr__(self):
            grow(data)
            return "mutated"

    put(data, Mutator())
    decode(dump_msgpack(data))
    decode(dump_msgpack([data, 1]))


class Pair(collections.namedtuple("Pair", "left right")):
    def __iter__(self):
        raise RuntimeError("overridden iteration must not be used")


class LongList(list):
    def __len__(self):
        raise RuntimeError("overridden len must not be used")

    def __iter__(self):
        raise RuntimeError("overridden iteration must not be used")


values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**70), max_value=2**70)
    | st.floats(allow_nan=False)
    | st.text(max_size=30)
    | st.binary(max_size=30)
    | st.builds(object)
    | st.builds(Exploding)
    | st.sampled_from([Color.RED, len, type]),
    lambda children: st.lists(children, max_size=5)
    | st.tuples(children, children)
    | st.frozensets(st.integers(), max_size=3)
    | st.sets(st.text(max_size=3) | st.integers(), max_size=3)
    | st.dictionaries(st.text(max_size=5) | st.integers(), children, max_size=5)
    # Subclasses are read through their base type, whatever they override.
    | st.builds(LyingDict, st.dictionaries(st.text(max_size=5), children, max_size=3))
    | st.builds(collections.Counter, st.dictionaries(st.text(max_size=3), st.integers(), max_size=3))
    | st.builds(LongList, st.lists(children, max_size=3))
    | st.builds(Pair, children, children),
    max_leaves=30,
)


@settings(max_examples=300, deadline=None)
@given(values | st.dictionaries(st.text(max_size=5), values, max_size=6))
def test_native_path_equals_the_careful_path(value):
    """The native encoder is only a faster way to the bytes the Python rules give."""
    assert dump_msgpack(value) == serialize._pack_sanitized(value, 0, False)
    assert dump_msgpack_lightweight_repr(value) == serialize._pack_sanitized(value, 0, True)


def test_encoder_splices_fallback_results_at_their_depth():
    from jarn._encoder import Encoder

    seen = []

    def fallback(value, depth, nodes):
        seen.append((type(value).__name__, depth, nodes))
        return msgpack.packb(f"<{type(value).__name__}>")

    enc = Encoder(fallback, max_nodes=100)
    assert decode(enc({"a": [1, {2}], "o": object()})) == {"a": [1, "<set>"], "o": "<object>"}
    # The fallback is offered what is left of the budget, its own value included.
    assert seen == [("set", 2, 97), ("object", 1, 96)]
    assert enc.fallback is fallback
    # A fallback that says how many nodes it left is believed.
    spent = Encoder(lambda value, depth, nodes: (msgpack.packb("spent"), 0))
    assert decode(spent([object(), 1, [2]])) == ["spent", "<too much data>", "<too much data>"]


@pytest.mark.parametrize(
    ("make", "error"),
    [
        (lambda E: E(lambda v, d, n: "not bytes")(object()), TypeError),
        (lambda E: E(len, colour=1), TypeError),
        (lambda E: E(len, objects="everything"), ValueError),
        (lambda E: E(len, max_depth=-1), ValueError),
        (lambda E: E(42), TypeError),
        (lambda E: E(len)(1, 2), TypeError),
    ],
)
def test_encoder_refuses_bad_use(make, error):
    from jarn._encoder import Encoder

    with pytest.raises(error):
        make(Encoder)


class Spying:
    """Counts every attribute lookup made on it, __class__ included."""

    looked_up = 0

    def __getattribute__(self, name):
        Spying.looked_up += 1
        return object.__getattribute__(self, name)


@pytest.mark.parametrize(
    "value",
    [Spying(), {"s": Spying()}, [Spying()], {Spying(): 1}, LongList(range(serialize.MAX_ITEMS + 3))],
    ids=["object", "dict value", "list item", "key", "list subclass"],
)
@pytest.mark.parametrize("dump", ["native", "careful"])
def test_lightweight_reads_no_attribute_of_the_program(dump, value):
    dumper = dump_msgpack_lightweight_repr if dump == "native" else lambda v: serialize._pack_sanitized(v, 0, True)
    Spying.looked_up = 0
    decode(dumper(value))
    assert Spying.looked_up == 0


@pytest.mark.parametrize("lightweight", [False, True], ids=["default", "lightweight"])
@pytest.mark.parametrize("value", PLAIN + HOSTILE, ids=lambda v: type(v).__name__)
def test_careful_path_gives_the_native_bytes(lightweight, value):
    """Without the built encoder every value takes the careful path: the same bytes come out."""
    native = dump_msgpack_lightweight_repr if lightweight else dump_msgpack
    if type(value) is type(sys._getframe()):
        pytest.skip("the repr of a live frame names its current line")
    assert serialize._pack_sanitized(value, 0, lightweight) == native(value)


@pytest.mark.parametrize(
    "rename",
    [
        lambda cls: setattr(cls, "__qualname__", "Renamed"),
        lambda cls: setattr(cls, "__module__", "elsewhere"),
        lambda cls: type.__dict__["__qualname__"].__set__(cls, "Renamed"),
    ],
    ids=["qualname", "module", "qualname through the descriptor"],
)
@pytest.mark.parametrize("dump", [dump_msgpack, dump_msgpack_lightweight_repr], ids=["default", "lightweight"])
def test_a_renamed_class_is_described_by_its_new_name(dump, rename):
    class Thing:
        pass

    thing = Thing()
    before = decode(dump([thing]))[0]["__type__"]
    rename(Thing)
    assert decode(dump([thing]))[0]["__type__"] == serialize.type_name(Thing) != before


@settings(max_examples=100, deadline=None)
@given(st.lists(values, max_size=6), st.booleans())
def test_frame_variables_are_encoded_as_their_dict_would_be(items, lightweight):
    from jarn.profiler import JarnProfiler

    names = "abcdef"[: len(items)]
    ns = {"__name__": "prog"}
    exec(compile(f"def f({', '.join(names)}):\n    return None\n", "/srv/app/prog.py", "exec"), ns)
    profiler = JarnProfiler({"lightweight_repr": lightweight, "plugins": {}}).start()
    ns["f"](*items)
    profiler.stop()
    dump = dump_msgpack_lightweight_repr if lightweight else dump_msgpack
    assert b"\xa6locals" + dump(dict(zip(names, items))) + b"\xa6thread" in profiler.build_trace()
