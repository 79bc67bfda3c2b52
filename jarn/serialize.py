"""Serialising the values of a profiled program: arguments, return values and locals.

The profiler calls `dump_msgpack` (or `dump_msgpack_lightweight_repr`) twice for every recorded
call and return, with whatever the program holds, so both must be fast and must never raise for
an ordinary error. Plain values (None, bool, int of at most 64 bits, float, str, bytes, and lists,
tuples and dicts with str keys of them, within the limits below), ordinary objects, sets and
subclasses of those containers are encoded natively by `jarn._encoder`, byte for byte as the rules
below and `msgpack.packb` give them; each other value met on the way goes through `sanitize`,
which turns it into plain data first:

- an object becomes {"__type__": "module.QualName", "repr": repr(obj)} (the repr cut to
  MAX_REPR characters; a repr that raises or returns a non-str gives a placeholder text);
- a type whose __repr__ took longer than SLOW_REPR_NS (by the thread's CPU clock) is not asked
  again for the rest of the run: its objects are described by address, with "; repr skipped: too slow";
- dict keys that are not str become their text (str(key) for plain keys, the repr otherwise);
- tuples, sets and frozensets become arrays, bytearrays become bytes;
- ints beyond 64 bits become their decimal text, cut like a long str; the digits shown of a huge
  int are worked out from its leading bits, never by converting the whole number;
- long str values (keys too), bytes and containers are cut, with a marker saying how much was
  left out;
- containers nested deeper than MAX_DEPTH, and a container inside itself, become a placeholder;
- after MAX_NODES values, the rest becomes "<too much data>". The profiler counts the nodes (and,
  natively, MAX_RECORD_BYTES bytes) of a whole record: its argument and locals share one budget.

The lightweight variant calls no method of the program's objects at all: an object is described
by its type and address only, and keys that are not plain become the same description. Subclasses
of dict, list, tuple, set and str are read through the base type, so their overrides are not run.

A `BaseException` that is not an `Exception` (KeyboardInterrupt, SystemExit) is let through: the
profiler hands it back to the program.

Without the native encoder (a source checkout that was not built) every value takes the path of
`sanitize` and `msgpack.packb`: the same bytes, only slower.
"""

from __future__ import annotations

import decimal
import time
import weakref
from typing import Any

import msgpack

try:
    from jarn._encoder import Encoder
except ImportError:  # not built: see the end of the module
    Encoder = None

MAX_DEPTH = 16
MAX_STR = 1000
MAX_BYTES = 1000
MAX_ITEMS = 100
MAX_REPR = 500
MAX_NODES = 1000
MAX_RECORD_BYTES = 64 << 10
SLOW_REPR_NS = 1_000_000

_MIN_INT = -(1 << 63)
_MAX_UINT = (1 << 64) - 1
_PLAIN_KEYS = (int, float, bool, type(None))


def type_name(cls: type) -> str:
    """'module.QualName' of a class, read from the class's own dict where possible."""
    try:
        module = type.__dict__["__module__"].__get__(cls)
        qualname = type.__dict__["__qualname__"].__get__(cls)
        if isinstance(module, str) and isinstance(qualname, str):
            return qualname if module == "builtins" else f"{module}.{qualname}"
    except Exception:
        pass
    return "<unknown type>"


def _address_text(value: object) -> str:
    return f"<{type_name(type(value))} object at {id(value):#x}>"


def _cut_str(text: str, limit: int) -> str:
    if len(text) <= limit:
        return text
    return f"{text[:limit]}... [{len(text) - limit} more characters]"


def _clean_str(text: str) -> str:
    """The text as valid UTF-8 (lone surrogates, as from undecodable file names, escaped)."""
    try:
        text.encode("utf-8")
        return text
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")


# Types whose __repr__ was too slow (the native encoder keeps its own lists). A repr slow by the
# wall clock, which a busy machine also makes happen, makes its type a suspect; the next repr of a
# suspect is timed by the thread's CPU clock (dearer to read), which decides.
_slow_repr_types: weakref.WeakSet[type] = weakref.WeakSet()
_suspect_repr_types: weakref.WeakSet[type] = weakref.WeakSet()


def _safe_repr(value: object) -> str:
    kind = type(value)
    if kind in _slow_repr_types:
        return f"<{type_name(kind)} object at {id(value):#x}; repr skipped: too slow>"
    suspect = kind in _suspect_repr_types
    clock = time.thread_time_ns if suspect else time.perf_counter_ns
    began = clock()
    try:
        text = repr(value)
    except Exception as exc:  # a broken __repr__ is the program's business, not ours
        return f"<{type_name(type(value))} object; repr failed: {type_name(type(exc))}>"
    finally:
        too_slow = clock() - began > SLOW_REPR_NS
        if too_slow:
            (_slow_repr_types if suspect else _suspect_repr_types).add(kind)
        if suspect:
            _suspect_repr_types.discard(kind)
    if type(text) is not str:
        if not isinstance(text, str):
            return f"<{type_name(type(value))} object; repr returned {type_name(type(text))}>"
        text = str.__str__(text)
    return _clean_str(_cut_str(text, MAX_REPR))


class _Sanitizer:
    def __init__(self, lightweight: bool, budget: int = MAX_NODES) -> None:
        self.lightweight = lightweight
        self.open: set[int] = set()  # ids of the containers being walked: cycle detection
        self.budget = budget

    def describe(self, value: object) -> dict[str, str]:
        text = _address_text(value) if self.lightweight else _safe_repr(value)
        return {"__type__": type_name(type(value)), "repr": text}

    def key(self, key: object) -> str:
        kind = type(key)
        if kind is str:
            return _clean_str(_cut_str(key, MAX_STR))
        if issubclass(kind, str):
            return _clean_str(_cut_str(str.__str__(key), MAX_STR))
        if type(key) in _PLAIN_KEYS:
            if kind is float:
                return repr(key)
            return _big_int_text(key) if kind is int else str(key)
        if issubclass(kind, bytes | tuple) and not self.lightweight:
            return _safe_repr(key)
        return _address_text(key) if self.lightweight else _safe_repr(key)

    def value(self, value: object, depth: int) -> Any:
        self.budget -= 1
        if self.budget < 0:
            return "<too much data>"
        kind = type(value)
        if value is None or kind is bool or kind is float:
            return value
        if kind is int:
            return value if _MIN_INT <= value <= _MAX_UINT else _big_int_text(value)
        if kind is str:
            return _clean_str(_cut_str(value, MAX_STR))
        if kind is bytes or kind is bytearray:
            data = bytes(value)
            if len(data) <= MAX_BYTES:
                return data
            return {"__type__": type_name(kind), "length": len(data), "head": data[:MAX_BYTES]}
        # issubclass on the type, not isinstance on the value: isinstance would look `__class__`
        # up through the object's own __getattribute__.
        if issubclass(kind, dict):
            return self.container(value, depth, self.dict_items)
        if issubclass(kind, list | tuple | set | frozenset):
            return self.container(value, depth, self.sequence_items)
        # Everything else, subclasses of int, float and str (enums...) included, is described.
        return self.describe(value)

    def container(self, value: Any, depth: int, walk: Any) -> Any:
        if depth >= MAX_DEPTH:
            return {"__type__": type_name(type(value)), "repr": "<nested too deeply>"}
        marker = id(value)
        if marker in self.open:
            return {"__type__": type_name(type(value)), "repr": "<recursion>"}
        self.open.add(marker)
        try:
            return walk(value, depth + 1)
        finally:
            self.open.discard(marker)

    def dict_items(self, value: dict[Any, Any], depth: int) -> dict[str, Any]:
        out: dict[str, Any] = {}
        items = dict.items(value)
        for index, (k, v) in enumerate(items):
            if index == MAX_ITEMS:
                out["..."] = f"{len(items) - MAX_ITEMS} more items"
                break
            out[self.key(k)] = self.value(v, depth)
        return out

    def sequence_items(self, value: Any, depth: int) -> list[Any]:
        # Read through the base type, so that overridden __iter__ and __len__ never run.
        kind = type(value)
        base: Any = next(t for t in (list, tuple, set, frozenset) if issubclass(kind, t))
        out: list[Any] = []
        for item in base.__iter__(value):
            if len(out) == MAX_ITEMS:
                out.append(f"... {base.__len__(value) - MAX_ITEMS} more items")
                break
            out.append(self.value(item, depth))
        return out


# Up to this many bits str() is cheap and gives the whole text; beyond, a huge int's text (which
# costs time quadratic in its length to make) would only be cut, so only its head is worked out.
_EXACT_INT_BITS = 6800
_HEAD_CONTEXT = decimal.Context(prec=MAX_STR + 100, rounding=decimal.ROUND_DOWN, Emax=decimal.MAX_EMAX)


def _big_int_text(value: int) -> str:
    bits = value.bit_length()
    if bits <= _EXACT_INT_BITS:
        try:
            return _cut_str(str(value), MAX_STR)
        except ValueError:  # beyond a low int-to-str digit limit set by the program
            pass
    # |value| = top * 2**shift + rest: the leading digits of top * 2**shift, worked out to more
    # places than are shown, are those of |value| (the part dropped is below the last place).
    shift = max(bits - _EXACT_INT_BITS, 0)
    head = _HEAD_CONTEXT.multiply(decimal.Decimal(abs(value) >> shift), _HEAD_CONTEXT.power(2, shift))
    _, digits, exponent = head.as_tuple()
    assert isinstance(exponent, int)
    sign = "-" if value < 0 else ""
    length = len(sign) + len(digits) + exponent
    shown = sign + "".join(map(str, digits[: MAX_STR - len(sign)]))
    return f"{shown}... [{length - MAX_STR} more characters]"


def sanitize(value: object, *, lightweight: bool = False, depth: int = 0) -> Any:
    """`value` as plain data that msgpack can encode, by the rules of the module docstring;
    `depth` is how deeply the value is nested in the one being serialised."""
    return _Sanitizer(lightweight).value(value, depth)


def _pack_sanitized(value: object, depth: int, lightweight: bool) -> bytes:
    return _pack_counted(value, depth, lightweight, MAX_NODES)[0]


def _pack_counted(value: object, depth: int, lightweight: bool, nodes: int) -> tuple[bytes, int]:
    """The value's bytes, and what is left of `nodes` after writing it."""
    sanitizer = _Sanitizer(lightweight, nodes)
    try:
        return msgpack.packb(sanitizer.value(value, depth), use_bin_type=True), sanitizer.budget
    except Exception:
        # Something odd enough to defeat the rules above (a container changed while it was
        # walked, an exhausted interpreter stack...): the value is described, never fatal.
        try:
            name = type_name(type(value))
        except Exception:
            name = "<unknown type>"
        return msgpack.packb({"__type__": name, "repr": "<not serialisable>"}), nodes - 1


def _dump_careful(value: object, depth: int, nodes: int) -> tuple[bytes, int]:
    return _pack_counted(value, depth, False, nodes)


def _dump_careful_lightweight(value: object, depth: int, nodes: int) -> tuple[bytes, int]:
    return _pack_counted(value, depth, True, nodes)


_LIMITS = {
    "max_depth": MAX_DEPTH,
    "max_str": MAX_STR,
    "max_bytes": MAX_BYTES,
    "max_items": MAX_ITEMS,
    "max_nodes": MAX_NODES,
    "max_record_bytes": MAX_RECORD_BYTES,
    "slow_repr_ns": SLOW_REPR_NS,
}


if Encoder is not None:
    # The native side describes ordinary objects itself, exactly as `_Sanitizer.describe` would.
    #: MessagePack bytes of any value; user methods (__repr__) may run for objects.
    dump_msgpack: Any = Encoder(_dump_careful, objects="repr", max_repr=MAX_REPR, **_LIMITS)
    #: MessagePack bytes of any value without running any of the program's code.
    dump_msgpack_lightweight_repr: Any = Encoder(
        _dump_careful_lightweight, objects="address", max_repr=MAX_REPR, **_LIMITS
    )
else:

    def dump_msgpack(value: object) -> bytes:
        return _pack_sanitized(value, 0, False)

    def dump_msgpack_lightweight_repr(value: object) -> bytes:
        return _pack_sanitized(value, 0, True)
