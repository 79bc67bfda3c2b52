"""The serialiser: any value gives bytes that decode, plain values as msgpack packs them, and the
native encoder gives byte for byte what the careful Python path gives, in every mode."""

import collections
import decimal
import functools
import http
import math
import sys
import threading
import types

import msgpack
import pytest
from hypothesis import given, settings, strategies as st

from jarn import JarnProfiler, serialize
from jarn._encoder import Encoder
from jarn.serialize import MAX_BYTES, MAX_DEPTH, MAX_ITEMS, MAX_STR, dump_msgpack, dump_msgpack_lightweight_repr, dump_msgpack_repr

DUMPS = {"fields": dump_msgpack, "repr": dump_msgpack_repr, "address": dump_msgpack_lightweight_repr}
# A type whose __repr__ once took over a millisecond of wall time is not asked again, and a loaded
# machine can make any __repr__ take that long: where two paths are compared, both get all the time
# they need (the budget itself is tested on its own below).
PATIENT_NS = 10**15
PATIENT = {mode: Encoder(fallback, objects=objects, max_repr=serialize.MAX_REPR, scrub=True,
                         **{**serialize._LIMITS, "slow_repr_ns": PATIENT_NS})
           for mode, objects, fallback in [("fields", "fields", serialize._dump_careful_fields),
                                           ("repr", "repr", serialize._dump_careful),
                                           ("address", "address", serialize._dump_careful_lightweight)]}
MODES = list(DUMPS)
HERE = f"{__name__}."
decode = functools.partial(msgpack.unpackb, strict_map_key=False)


def careful(value, style="repr"):
    return serialize._pack_sanitized(value, 0, style)


@pytest.fixture(autouse=True, scope="module")
def patient_careful_path():
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(serialize, "SLOW_REPR_NS", PATIENT_NS)
        patch.setattr(serialize, "_NATIVE", {"fields": PATIENT["fields"], "repr": PATIENT["repr"]})
        yield


def raising(exc):
    # A method that raises `exc` (a generator's throw() raises it where a lambda cannot).
    return lambda *args: (_ for _ in ()).throw(exc)


# Every method a serialiser might call raises.
Exploding = type("Exploding", (), dict.fromkeys(["__repr__", "__eq__", "__hash__", "__getattr__", "__len__", "__iter__"], raising(RuntimeError)))
ReprReturnsInt = type("ReprReturnsInt", (), {"__repr__": lambda self: 42})
Interrupting = type("Interrupting", (), {"__repr__": raising(KeyboardInterrupt)})
Reentrant = type("Reentrant", (), {"__repr__": lambda self: repr(decode(dump_msgpack_repr({"inner": [1, 2]})))})


RAN: list = []  # the program's code the serialiser ran


def counting(method):
    return lambda *args: RAN.append(method) or method(*args)


# An object that counts what is run of it: attribute lookups (__class__ too), repr, hash.
Spying = type("Spying", (), {"__getattribute__": counting(object.__getattribute__), "__repr__": counting(lambda self: "spy"),
                             "__hash__": counting(object.__hash__)})
trap = counting(raising(RuntimeError))  # an overridden method that must not be used


# Subclasses are read through their base type, whatever they override.
LyingDict = type("LyingDict", (dict,), {"items": trap, "__iter__": trap})
LongList = type("LongList", (list,), {"__len__": trap, "__iter__": trap})
Pair = type("Pair", (collections.namedtuple("Pair", "left right"),), {"__iter__": trap})


def nest(inner, levels: int):
    return functools.reduce(lambda v, _: [v], range(levels), inner)


CYCLES: list = [1, {"x": 1}]
CYCLES.append(CYCLES)
CYCLES[1]["self"] = CYCLES[1]
SPY = Spying()
# object.__repr__ names a class by module and qualname, by its bare name when the module is "builtins" or no str.
ODD_NAMES = [type("Odd", (), {"__module__": m, "__qualname__": q})() for m, q in [("builtins", "Q.Odd"), (5, "Odd"), ("mé", "Q.é")]]
ODD_FUNCTIONS = [functools.update_wrapper(lambda: 0, types.SimpleNamespace(__qualname__=q)) for q in ["é.<lambda>", "\udcff", "f" * 600]]


HUGE_INTS = [2**6800 - 1, 10**1999, -(10**1999), 10**2000, -(10**2000), 2**6801 + 12345, 7**20000, -(3**50000)]
PLAIN = [None, True, False, 0, -1, -32, -33, 127, 128, 2**63 - 1, 2**64 - 1, -(2**63), 1.5, -0.0, math.inf, "",
         "héllo", "x" * 300, b"", b"\x00\xff" * 100, [], [1, [2, [3]]], (1, "a"), {"a": {"b": [None, 1.25]}}]
HOSTILE = [
    Exploding(), ReprReturnsInt(), CYCLES, nest([], 100), {1: "int", (1, 2): "tuple", None: "none", 2.5: "float"},
    {"k": {1, 2, 3}, "f": frozenset(["a"])}, 2**100, -(2**80), 10**5000, *HUGE_INTS, "x" * 100_000, b"y" * 100_000,
    bytearray(b"abc"), memoryview(b"abc"), list(range(10_000)), {str(i): i for i in range(5_000)},
    {"...": 0, **{str(i): [i] for i in range(300)}}, {i: [i] for i in range(300)}, tuple(range(300)),
    [[list(range(300))] * 30] * 3, "\udcff surrogate", float("nan"), http.HTTPStatus.OK, LyingDict(a=1),
    collections.OrderedDict(a=1), collections.defaultdict(list, a=[1]), sys, sys._getframe(), (i for i in "x"),
    threading.Lock(), type, len, object(), [Exploding(), {"nested": Exploding()}], *ODD_NAMES, type("Long", (), {"__qualname__": "L" * 600})(),
    iter([]), nest, *ODD_FUNCTIONS, *map(type, ODD_NAMES), collections.abc.Sized, http.HTTPStatus,
]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(("value", "plain"), [(v, True) for v in PLAIN] + [(v, False) for v in HOSTILE],
                         ids=[type(v).__name__ for v in PLAIN + HOSTILE])
def test_any_value_gives_bytes_that_decode(mode, value, plain):
    data = PATIENT[mode](value)
    assert isinstance(data, bytes) and len(data) < 200_000  # cut, not copied whole
    decode(data)
    if plain:
        assert data == msgpack.packb(value, use_bin_type=True)
    if not isinstance(value, types.FrameType):  # a live frame's repr names its current line
        assert careful(value, mode) == data  # the careful path, which the encoder falls back on


@pytest.mark.parametrize(("value", "expected"), [
        ({1: 2, "a": 3}, {"1": 2, "a": 3}), ({None: 1, True: 2, 2.5: 3, (1, 2): 4}, {"None": 1, "True": 2, "2.5": 3, "(1, 2)": 4}),
        ((1, 2), [1, 2]), (2**70, str(2**70)), (bytearray(b"ab"), b"ab"), ({"s": {5}}, {"s": [5]}),
        ("x" * (MAX_STR + 10), "x" * MAX_STR + "... [10 more characters]"), ("\udcff surrogate", "\\udcff surrogate"),
        (b"y" * (MAX_BYTES + 1), {"__type__": "bytes", "length": MAX_BYTES + 1, "head": b"y" * MAX_BYTES}),
        (list(range(MAX_ITEMS + 5)), [*range(MAX_ITEMS), "... 5 more items"]),
        ({str(i): i for i in range(MAX_ITEMS + 2)}, {**{str(i): i for i in range(MAX_ITEMS)}, "...": "2 more items"}),
        (CYCLES, [1, {"x": 1, "self": {"__type__": "dict", "text": "<recursion>"}}, {"__type__": "list", "text": "<recursion>"}]),
        (nest([], MAX_DEPTH + 5), nest({"__type__": "list", "text": "<nested too deeply>"}, MAX_DEPTH)),
        # Objects by their own storage: none of the methods that raise or lie is called.
        (Exploding(), {"__type__": HERE + "Exploding", "fields": {}, "text": "Exploding()"}),
        (ReprReturnsInt(), {"__type__": HERE + "ReprReturnsInt", "fields": {}, "text": "ReprReturnsInt()"}),
        (http.HTTPStatus.OK, {"__type__": "http.HTTPStatus", "text": "<HTTPStatus.OK: 200>"}),
        (Pair(1, [2]), {"__type__": HERE + "Pair", "fields": {"left": 1, "right": [2]}, "text": "Pair(left=1, right=[2])"}),
        (KeyError("k"), {"__type__": "KeyError", "fields": {"args": ["k"]}, "text": "KeyError('k')"}),
        # A huge int's text is cut like a long str; Decimal gives its digits whatever the int digit limit.
        *[(v, t if len(t := str(decimal.Decimal(v))) <= MAX_STR else f"{t[:MAX_STR]}... [{len(t) - MAX_STR} more characters]") for v in HUGE_INTS],
    ], ids=lambda v: type(v).__name__)
def test_conversions(value, expected):
    assert decode(dump_msgpack(value)) == expected


@pytest.mark.parametrize(("value", "expected"), [
        (Exploding(), {"__type__": HERE + "Exploding", "repr": f"<{HERE}Exploding object; repr failed: RuntimeError>"}),
        (ReprReturnsInt(), {"__type__": HERE + "ReprReturnsInt", "repr": f"<{HERE}ReprReturnsInt object; repr failed: TypeError>"}),
        # Whatever a __repr__ raises is its failure, never the program's end.
        (Interrupting(), {"__type__": HERE + "Interrupting", "repr": f"<{HERE}Interrupting object; repr failed: KeyboardInterrupt>"}),
        (http.HTTPStatus.OK, {"__type__": "http.HTTPStatus", "repr": "<HTTPStatus.OK: 200>"}),
        (CYCLES, [1, {"x": 1, "self": {"__type__": "dict", "repr": "<recursion>"}}, {"__type__": "list", "repr": "<recursion>"}]),
        ({"outer": Reentrant(), "after": 7}, {"outer": {"__type__": HERE + "Reentrant", "repr": "{'inner': [1, 2]}"}, "after": 7}),
        (type("Long", (), {"__repr__": lambda self: "r" * 600})(), {"__type__": HERE + "Long", "repr": "r" * 500 + "... [100 more characters]"}),
    ], ids=lambda v: type(v).__name__)
def test_repr_mode(value, expected):
    assert decode(PATIENT["repr"](value)) == expected


@pytest.mark.parametrize("value", [SPY, {"s": Spying()}, [Spying()], {Spying(): 1}, {"a": {"b": Spying()}}, LyingDict(x=Spying()),
                                   LongList(range(MAX_ITEMS + 3)), Pair(1, Spying())],
                         ids=["object", "dict value", "list item", "key", "nested", "dict subclass", "list subclass", "tuple subclass"])
@pytest.mark.parametrize("native", [True, False], ids=["native", "careful"])
@pytest.mark.parametrize("mode", ["fields", "address"])
def test_fields_and_type_run_no_code_of_the_program(mode, native, value):
    RAN.clear()
    out = decode(DUMPS[mode](value) if native else careful(value, mode))
    assert RAN == []
    if value is SPY:
        text = f"<{HERE}Spying object at {id(SPY):#x}>"
        assert out == ({"__type__": HERE + "Spying", "fields": {}, "text": "Spying()"} if mode == "fields" else
                       {"__type__": HERE + "Spying", "repr": text})


def test_a_slow_repr_is_not_called_again():
    dump = Encoder(serialize._dump_careful, objects="repr", slow_repr_ns=0)
    RAN.clear()
    spy = type("Spying", (Spying,), {})()  # a type of its own: no other test has found it slow
    texts = [decode(dump([spy]))[0]["repr"] for _ in range(3)]
    assert len(RAN) == 1 and texts[0] == "spy"  # slow once by the wall clock: never asked again
    assert texts[1] == texts[2] == f"<{HERE}Spying object at {id(spy):#x}; repr skipped: too slow>"


@pytest.mark.parametrize(("call", "error"), [
        (lambda: Encoder(lambda v, d, n: "not bytes")(object()), TypeError), (lambda: Encoder(len, colour=1), TypeError),
        (lambda: Encoder(len, objects="everything"), ValueError), (lambda: Encoder(len, max_depth=-1), ValueError),
        (lambda: Encoder(42), TypeError), (lambda: Encoder(len)(1, 2), TypeError),
        (lambda: Encoder(len, objects="fields", scrub="password"), TypeError), (lambda: Encoder(len, scrub=[""]), ValueError),
])
def test_refusals(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize("kind", [dict, list, set, LyingDict])
def test_a_container_that_grows_during_a_repr_still_decodes(kind):
    data = kind()
    add = (lambda x: dict.__setitem__(data, id(x), x)) if issubclass(kind, dict) else data.append if kind is list else data.add
    add(type("Mutator", (), {"__repr__": lambda self: str([add(i) for i in range(50)])})())
    decode(dump_msgpack_repr(data)), decode(dump_msgpack_repr([data, 1]))


values = st.recursive(
    st.none() | st.booleans() | st.integers(min_value=-(2**70), max_value=2**70) | st.floats(allow_nan=False) | st.text(max_size=30)
    | st.binary(max_size=30) | st.builds(object) | st.builds(Exploding) | st.sampled_from([http.HTTPStatus.OK, len, type]),
    lambda children: st.lists(children, max_size=5) | st.tuples(children, children) | st.frozensets(st.integers(), max_size=3)
    | st.sets(st.text(max_size=3) | st.integers(), max_size=3) | st.dictionaries(st.text(max_size=5) | st.integers(), children, max_size=5)
    | st.builds(LyingDict, st.dictionaries(st.text(max_size=5), children, max_size=3)) | st.builds(LongList, st.lists(children, max_size=3))
    | st.builds(collections.Counter, st.dictionaries(st.text(max_size=3), st.integers(), max_size=3)) | st.builds(Pair, children, children),
    max_leaves=30)


@settings(max_examples=300, deadline=None)
@given(values | st.dictionaries(st.text(max_size=5), values, max_size=6))
def test_native_path_equals_the_careful_path(value):
    for mode, dump in PATIENT.items():
        native = dump(value)
        # Past its room for objects' fields a record's objects get their texts: natively only,
        # like its byte budget.
        if mode != "fields" or len(native) < serialize.MAX_FIELDS_BYTES:
            assert native == careful(value, mode)


def test_encoder_splices_fallback_results_at_their_depth():
    seen = []
    fallback = lambda value, depth, nodes: seen.append((type(value).__name__, depth, nodes)) or msgpack.packb(f"<{type(value).__name__}>")
    enc = Encoder(fallback, max_nodes=100)
    assert decode(enc({"a": [1, {2}], "o": object()})) == {"a": [1, "<set>"], "o": "<object>"}
    # The fallback is offered what is left of the budget, its own value included.
    assert seen == [("set", 2, 97), ("object", 1, 96)] and enc.fallback is fallback
    # A fallback that says how many nodes it left is believed.
    spent = Encoder(lambda value, depth, nodes: (msgpack.packb("spent"), 0))
    assert decode(spent([object(), 1, [2]])) == ["spent", "<too much data>", "<too much data>"]
    # A freed encoder lets go of its fallback.
    held = sys.getrefcount(fallback)
    del enc
    assert sys.getrefcount(fallback) == held - 1


@pytest.mark.parametrize("rename", [lambda cls: setattr(cls, "__qualname__", "Renamed"), lambda cls: setattr(cls, "__module__", "elsewhere"),
                                    lambda cls: type.__dict__["__qualname__"].__set__(cls, "Renamed"),  # not through type.__setattr__
                                    lambda cls: type.__dict__["__name__"].__set__(cls, "Other"),  # shown by object.__repr__ of a builtin
                                    lambda cls: setattr(cls, "__repr__", lambda self: "own")],
                         ids=["qualname", "module", "qualname-descriptor", "name-descriptor", "repr"])
@pytest.mark.parametrize("mode", MODES)
def test_a_changed_class_is_described_as_it_is_now(mode, rename):
    thing = type("Thing", (), {"__module__": "builtins"})()
    before = DUMPS["repr"]([thing, type(thing)])
    rename(type(thing))
    assert PATIENT[mode]([thing, type(thing)]) == careful([thing, type(thing)], mode) != before


@settings(max_examples=100, deadline=None)
@given(st.lists(values, max_size=6), st.sampled_from(MODES))
def test_frame_variables_are_encoded_as_their_dict_would_be(items, mode):
    names, ns = "abcdef"[: len(items)], {"__name__": "prog"}
    exec(compile(f"def f({', '.join(names)}):\n    return None\n", "/srv/app/prog.py", "exec"), ns)
    profiler = JarnProfiler({"values": {"address": "type"}.get(mode, mode), "plugins": {}, "slow_repr_ms": PATIENT_NS // 10**6}).start()
    ns["f"](*items)
    profiler.stop()
    assert b"\xa6locals" + PATIENT[mode](dict(zip(names, items))) + b"\xa6thread" in profiler.build_trace()
