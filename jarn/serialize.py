"""Serialising the values of a profiled program: arguments, return values and locals.

The profiler calls one of the three serialisers below twice for every recorded call and return,
with whatever the program holds, so they must be fast and must never raise for an ordinary error.
Plain values (None, bool, int of at most 64 bits, float, str, bytes, and lists, tuples and dicts
with str keys of them, within the limits below) are encoded natively by `jarn._encoder`, byte for
byte as `msgpack.packb` gives them, and so are objects, sets and subclasses of those containers;
each other value met on the way goes through `sanitize`, which turns it into plain data first.
The `values` setting chooses how objects are written:

- "fields" (`dump_msgpack`, the default) runs none of the program's code: an object becomes
  {"__type__": "module.QualName", "text": "Point(x=1, y=2)", "fields": {"x": 1, "y": 2}}, its
  fields read from its own storage (instance __dict__, __slots__, named tuples' items,
  exceptions' args, a Django model's loaded fields, deferred ones as "<deferred>") and its text
  made natively. Standard value types (datetime, Decimal, UUID, Path, Enum members, ...),
  functions, classes and objects of C types whose state cannot be read get the text alone;
- "repr" (`dump_msgpack_repr`): {"__type__": ..., "repr": repr(obj)} (the repr cut to MAX_REPR
  characters; a repr that raises anything, KeyboardInterrupt and SystemExit included, gives a
  placeholder text). A type whose __repr__ took longer than SLOW_REPR_NS of wall time is not asked
  again for the rest of the run: its objects are described by address, with "; repr skipped:
  too slow". An object with a field named as a secret is written as with "fields" instead;
- "type" (`dump_msgpack_lightweight_repr`): {"__type__": ..., "repr": "<module.QualName object
  at 0x...>"}, calling nothing.

In every mode:
- subclasses of dict, list, tuple, set and str are read through the base type, so their
  overrides are not run; tuples, sets and frozensets become arrays, bytearrays become bytes;
- dict keys that are not str become their text (str(key) for plain keys; otherwise the object's
  text, repr or address, by the mode);
- ints beyond 64 bits become their decimal text, cut like a long str; the digits shown of a huge
  int are worked out from its leading bits, never by converting the whole number;
- long str values (keys too), bytes and containers are cut, with a marker saying how much was
  left out;
- containers nested deeper than MAX_DEPTH, and a container inside itself, become a placeholder;
- after MAX_NODES values, the rest becomes "<too much data>". The profiler counts the nodes (and,
  natively, MAX_RECORD_BYTES bytes) of a whole record: its argument and locals share one budget;
- an object is written with its fields while the record's values so far are under
  MAX_FIELDS_BYTES, with a text of at most MAX_SHOWN_TEXT characters beside them; later objects
  of the record, and those met again, get their text alone;
- secrets are scrubbed (jarn.scrub): the value of a dict key or field named as one is
  "[scrubbed]", and so are a URL's password and listed query parameters.

Without the native encoder (a source checkout that was not built) every value takes the path of
`sanitize` and `msgpack.packb`, objects by type and address.
"""

from __future__ import annotations

import decimal
import functools
import time
import weakref
from typing import Any

import msgpack

from jarn.scrub import MARKER, Rules

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
MAX_FIELDS_BYTES = 2 << 10  # objects get their fields while the record is smaller, then their text
MAX_SHOWN_TEXT = 120  # characters of the text beside an object's fields
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


# Types whose __repr__ was too slow, when the native encoder is not there (it keeps its own list).
_slow_repr_types: weakref.WeakSet[type] = weakref.WeakSet()


def _safe_repr(value: object) -> str:
    kind = type(value)
    if kind in _slow_repr_types:
        return f"<{type_name(kind)} object at {id(value):#x}; repr skipped: too slow>"
    began = time.perf_counter_ns()
    try:
        text = repr(value)
    except BaseException as exc:  # a broken __repr__ is the program's business, not ours
        return f"<{type_name(type(value))} object; repr failed: {type_name(type(exc))}>"
    finally:
        if time.perf_counter_ns() - began > SLOW_REPR_NS:
            _slow_repr_types.add(kind)
    if type(text) is not str:
        if not isinstance(text, str):
            return f"<{type_name(type(value))} object; repr returned {type_name(type(text))}>"
        text = str.__str__(text)
    return _clean_str(_cut_str(text, MAX_REPR))


_TYPE_DICT = type.__dict__["__dict__"]
_TYPE_MRO = type.__dict__["__mro__"]


def _named_tuple(kind: type) -> bool:
    """Whether a tuple subclass has field names (`_fields`, found as attribute lookup on the class
    finds it, read from the classes' own dicts)."""
    for cls in _TYPE_MRO.__get__(kind):
        fields = _TYPE_DICT.__get__(cls).get("_fields")
        if fields is not None:
            return cls is not tuple and type(fields) is tuple and all(type(f) is str for f in fields)
    return False


@functools.lru_cache(maxsize=64)
def _rules(scrub: Any) -> Rules:
    """The rules a fallback is told: False, or the names added to the denylist."""
    return Rules(enabled=False) if scrub is False else Rules(scrub)


_DEFAULT_RULES = Rules()


class _Sanitizer:
    """The careful walk of a value, for what the native encoder hands back: objects are described
    by the native encoder of the same style (`native`), so that both give the same bytes."""

    def __init__(self, style: str, budget: int = MAX_NODES, rules: Rules = _DEFAULT_RULES, scrub: Any = None) -> None:
        self.style = style
        self.open: set[int] = set()  # ids of the containers being walked: cycle detection
        self.budget = budget
        self.rules = rules
        self.scrub = scrub  # the rules as the native encoder is told them
        self.native = _NATIVE.get(style)
        self.text_key = "text" if style == "fields" else "repr"

    def describe(self, value: object, depth: int) -> Any:
        if self.native is not None and self.style != "address":
            data, self.budget = self.native.describe(value, depth, self.budget + 1, self.scrub)
            return msgpack.unpackb(data, strict_map_key=False)
        text = _safe_repr(value) if self.style == "repr" else _address_text(value)
        return {"__type__": type_name(type(value)), self.text_key: text}

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
        if self.style == "fields":
            native = self.native
            return _clean_str(_cut_str(native.text(key, self.scrub) if native is not None else _address_text(key), MAX_STR))
        if issubclass(kind, bytes | tuple) and self.style == "repr":
            return _safe_repr(key)
        return _address_text(key) if self.style == "address" else _safe_repr(key)

    def scrubbed(self) -> str:
        self.budget -= 1
        return "<too much data>" if self.budget < 0 else MARKER

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
            return _clean_str(_cut_str(self.rules.url(value), MAX_STR))
        if kind is bytes or kind is bytearray:
            data = bytes(value)
            if len(data) <= MAX_BYTES:
                return data
            return {"__type__": type_name(kind), "length": len(data), "head": data[:MAX_BYTES]}
        # issubclass on the type, not isinstance on the value: isinstance would look `__class__`
        # up through the object's own __getattribute__.
        if issubclass(kind, dict):
            return self.container(value, depth, self.dict_items)
        if issubclass(kind, list | set | frozenset) or (
            issubclass(kind, tuple) and not (self.style == "fields" and _named_tuple(kind))
        ):
            return self.container(value, depth, self.sequence_items)
        # Everything else, subclasses of int, float and str (enums...) included, is described.
        return self.describe(value, depth)

    def container(self, value: Any, depth: int, walk: Any) -> Any:
        if depth >= MAX_DEPTH:
            return {"__type__": type_name(type(value)), self.text_key: "<nested too deeply>"}
        marker = id(value)
        if marker in self.open:
            return {"__type__": type_name(type(value)), self.text_key: "<recursion>"}
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
            name = self.key(k)
            # issubclass, not isinstance: isinstance may ask the key's own __getattribute__.
            secret = issubclass(type(k), str) and self.rules.matches(str.__str__(k))
            out[name] = self.scrubbed() if secret else self.value(v, depth)
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


STYLES = ("fields", "repr", "address")
# The native encoder of each style, once made (below).
_NATIVE: dict[str, Any] = {}


def sanitize(value: object, *, style: str = "fields", depth: int = 0, scrub: Any = None) -> Any:
    """`value` as plain data that msgpack can encode, by the rules of the module docstring;
    `depth` is how deeply the value is nested in the one being serialised, `scrub` False or
    the names added to the denylist."""
    return _Sanitizer(style, rules=_rules(scrub) if scrub is not None else _DEFAULT_RULES, scrub=scrub).value(value, depth)


def _pack_sanitized(value: object, depth: int, style: str, scrub: Any = None) -> bytes:
    return _pack_counted(value, depth, style, MAX_NODES, scrub)[0]


def _pack_counted(value: object, depth: int, style: str, nodes: int, scrub: Any = None) -> tuple[bytes, int]:
    """The value's bytes, and what is left of `nodes` after writing it."""
    rules = _rules(scrub) if scrub is not None else _DEFAULT_RULES
    sanitizer = _Sanitizer(style, nodes, rules, scrub)
    try:
        return msgpack.packb(sanitizer.value(value, depth), use_bin_type=True), sanitizer.budget
    except Exception:
        # Something odd enough to defeat the rules above (a container changed while it was
        # walked, an exhausted interpreter stack...): the value is described, never fatal.
        try:
            name = type_name(type(value))
        except Exception:
            name = "<unknown type>"
        return msgpack.packb({"__type__": name, sanitizer.text_key: "<not serialisable>"}), nodes - 1


def _dump_careful_fields(value: object, depth: int, nodes: int, scrub: Any = None) -> tuple[bytes, int]:
    return _pack_counted(value, depth, "fields", nodes, scrub)


def _dump_careful(value: object, depth: int, nodes: int, scrub: Any = None) -> tuple[bytes, int]:
    return _pack_counted(value, depth, "repr", nodes, scrub)


def _dump_careful_lightweight(value: object, depth: int, nodes: int, scrub: Any = None) -> tuple[bytes, int]:
    return _pack_counted(value, depth, "address", nodes, scrub)


_LIMITS = {
    "max_depth": MAX_DEPTH,
    "max_str": MAX_STR,
    "max_bytes": MAX_BYTES,
    "max_items": MAX_ITEMS,
    "max_nodes": MAX_NODES,
    "max_record_bytes": MAX_RECORD_BYTES,
    "max_fields_bytes": MAX_FIELDS_BYTES,
    "max_shown_text": MAX_SHOWN_TEXT,
    "slow_repr_ns": SLOW_REPR_NS,
}


if Encoder is not None:
    #: MessagePack bytes of any value, objects by their fields; none of the program's code runs.
    dump_msgpack: Any = Encoder(_dump_careful_fields, objects="fields", max_repr=MAX_REPR, scrub=True, **_LIMITS)
    #: MessagePack bytes of any value; the program's __repr__ methods run for objects.
    dump_msgpack_repr: Any = Encoder(_dump_careful, objects="repr", max_repr=MAX_REPR, scrub=True, **_LIMITS)
    #: MessagePack bytes of any value, objects by type and address only.
    dump_msgpack_lightweight_repr: Any = Encoder(
        _dump_careful_lightweight, objects="address", max_repr=MAX_REPR, scrub=True, **_LIMITS
    )
    _NATIVE.update(fields=dump_msgpack, repr=dump_msgpack_repr)
else:

    def dump_msgpack(value: object) -> bytes:
        return _pack_sanitized(value, 0, "fields")

    def dump_msgpack_repr(value: object) -> bytes:
        return _pack_sanitized(value, 0, "repr")

    def dump_msgpack_lightweight_repr(value: object) -> bytes:
        return _pack_sanitized(value, 0, "address")
