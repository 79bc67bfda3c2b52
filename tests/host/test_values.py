"""Objects recorded by their fields, read from their own storage, with a text as their repr would
read; secrets scrubbed by name. The oracles are Python's own reprs, run here by the test."""

import collections
import dataclasses
import datetime
import decimal
import enum
import fractions
import functools
import pathlib
import re
import sys
import types
import uuid
import zoneinfo

import msgpack
import pytest
from hypothesis import given, settings, strategies as st

from jarn import JarnProfiler, scrub
from jarn._encoder import Encoder
from jarn.config import ConfigError, merged
from jarn.serialize import MAX_FIELDS_BYTES, MAX_SHOWN_TEXT, dump_msgpack, dump_msgpack_repr

decode = functools.partial(msgpack.unpackb, strict_map_key=False)
HERE = f"{__name__}."


def form(value):
    return decode(dump_msgpack(value))


class Color(enum.Enum):
    RED = 1


class Tz(datetime.tzinfo):
    def utcoffset(self, dt):
        return datetime.timedelta(hours=1)


class Slotted:
    __slots__ = ("a", "__hidden", "__dict__")

    def __init__(self):
        self.a, self.__hidden, self.extra = 1, [2], "x"


@dataclasses.dataclass(slots=True)
class Frozen:
    x: int
    y: str = "y"


Point = collections.namedtuple("Point", "x y")
TZ = datetime.timezone(datetime.timedelta(hours=-3), "BRT")
STANDARD = [  # the text of each is its repr, made without calling it
    datetime.datetime(2024, 1, 2, 3, 4, 5, 6, tzinfo=datetime.timezone.utc), datetime.datetime(2024, 1, 2, 3, 4, tzinfo=TZ),
    datetime.datetime(2024, 1, 2, 3, 4, 5, fold=1), datetime.date(1999, 12, 31), datetime.time(1, 2), datetime.time(1, 2, 3, 4),
    datetime.timedelta(0), datetime.timedelta(days=-1, seconds=5), datetime.timedelta(microseconds=7),
    datetime.datetime(2024, 5, 6, tzinfo=zoneinfo.ZoneInfo("UTC")),
    decimal.Decimal("1.50"), decimal.Decimal("-Infinity"), uuid.UUID(int=2**128 - 12345), fractions.Fraction(-7, 3),
    pathlib.PurePosixPath("a", "/b//c/", "./d"), pathlib.Path("//x/y"), pathlib.PurePath(), Color.RED,
    re.compile(r"a+b", re.I | re.M), range(2, 10, 3), complex(1.5, -2), 1e16, -0.0, float("inf"), 12345.678,
    Point(1, "two"), Frozen(3), KeyError("k"), ValueError(), OSError(2, "No such file"),
    {"k": [1, (2,), {3}, frozenset(), None, True]}, "it's", 'say "hi"', "tab\tand é",
    # Escaped as repr escapes; a pattern's repr shows 200 characters of it, quoted as the whole.
    "'\"\\\x00\x7f\x85\xa0\u2028\ud800\U0001f600\U000e0001", re.compile("it's"), re.compile(b"b\n", re.I),
    re.compile("\\d\t\u2028é" * 60 + "'\"", re.A | re.X | re.S), re.compile("'", re.U),
]


@pytest.mark.parametrize("value", STANDARD, ids=lambda v: type(v).__name__)
def test_texts_read_as_reprs(value):
    if isinstance(value, dict | str | float):  # plain values have no text of their own: seen in an object
        holder = types.SimpleNamespace(v=value)
        assert form(holder)["text"] == f"namespace(v={value!r})"
    else:
        assert form(value)["text"] == repr(value)


def test_a_path_made_but_never_shown_reads_as_str_would_make_it():
    fresh = pathlib.PurePosixPath("/a//b", "c/./")
    assert form(fresh)["text"] == "PurePosixPath('/a/b/c')"  # before str() has run on it
    assert repr(fresh) == "PurePosixPath('/a/b/c')"


RULES = scrub.Rules()
texts = st.text(max_size=8).filter(lambda t: RULES.url(t) == t)  # no URL with a password: scrubbed
plain = st.recursive(
    st.none() | st.booleans() | st.integers(min_value=-(2**70), max_value=2**70) | st.floats() | texts,
    lambda inner: st.lists(inner, max_size=3) | st.tuples(inner)
    | st.dictionaries(st.text(max_size=3).filter(lambda k: not RULES.matches(k)), inner, max_size=3),
    max_leaves=8)
Record = dataclasses.make_dataclass("Record", ["a", "b", "c"])


@settings(max_examples=300, deadline=None)
@given(plain, plain, plain)
def test_a_dataclass_reads_as_its_own_repr(a, b, c):
    inner = Record(b, c, None)
    outer = Record(a, inner, [c])
    out = form(outer)
    # Beside its fields an object's text is a glimpse, as is the text of an object inside another.
    if len(repr(outer).encode()) <= MAX_SHOWN_TEXT and len(repr(inner).encode()) <= 120:
        assert out["text"] == repr(outer)
    else:
        assert "..." in out["text"] and out["text"].startswith(f"Record(a={a!r}"[:40])
    assert out["__type__"] == HERE + "Record" and set(out["fields"]) == {"a", "b", "c"}
    assert out["fields"]["b"]["text"] == (repr(inner) if len(repr(inner).encode()) <= 120 else out["fields"]["b"]["text"])
    assert "fields" not in out["fields"]["b"] and msgpack.packb(out["fields"]["c"]) == dump_msgpack([c])


def test_storage_read_as_written():
    assert form(Slotted()) == {"__type__": HERE + "Slotted", "fields": {"a": 1, "_Slotted__hidden": [2], "extra": "x"},
                               "text": "Slotted(a=1, _Slotted__hidden=[2], extra='x')"}
    looped = types.SimpleNamespace()
    looped.me = looped
    assert form(looped)["fields"]["me"] == {"__type__": "types.SimpleNamespace", "text": "<recursion>"}
    many = types.SimpleNamespace(**{f"f{i}": i for i in range(300)})
    assert form(many)["fields"]["..."] == "200 more items"
    # What the storage of a C type holds cannot be read: its type and address.
    lock = __import__("threading").Lock()
    assert form(lock) == {"__type__": "_thread.lock", "text": f"<_thread.lock object at {id(lock):#x}>"}
    assert form([len, form, sys])[0]["text"] == "<built-in function len>"
    assert form(form)["text"] == f"<function form at {id(form):#x}>" and form(sys)["text"] == "<module 'sys'>"



SECRET_HEADERS = {"authorization": "Bearer tk-5e1f", "cookie": "sessionid=ck-0a9d"}


def _django_request(environ):
    from django.conf import settings
    from django.core.handlers.wsgi import WSGIRequest

    if not settings.configured:
        settings.configure()
    return WSGIRequest(environ)


def _starlette_request(environ):
    from starlette.requests import Request

    return Request({"type": "http", "method": environ["REQUEST_METHOD"], "path": environ["PATH_INFO"], "query_string": b"",
                    "headers": [(k.encode(), v.encode()) for k, v in SECRET_HEADERS.items()]})


def _werkzeug_request(environ):
    from werkzeug.wrappers import Request

    return Request(environ)


@pytest.mark.parametrize(("make", "name"), [
        (_django_request, "django.core.handlers.wsgi.WSGIRequest"), (_werkzeug_request, "werkzeug.wrappers.request.Request"),
        (_starlette_request, "starlette.requests.Request")], ids=["django", "werkzeug", "starlette"])
def test_a_web_request_is_written_by_its_method_and_path(make, name):
    environ = {"REQUEST_METHOD": "POST", "PATH_INFO": "/items/7", "QUERY_STRING": "", "SERVER_NAME": "h", "SERVER_PORT": "80",
               "wsgi.input": __import__("io").BytesIO(), **{"HTTP_" + k.upper(): v for k, v in SECRET_HEADERS.items()}}
    request = make(environ)
    data = dump_msgpack(request)
    short = request.__class__.__name__
    assert decode(data) == {"__type__": name, "fields": {"method": "POST", "path": "/items/7"},
                            "text": f"{short}(method='POST', path='/items/7')"}
    # Its environ, headers and cookies are not written anywhere: neither is a dict holding them.
    assert not any(secret.rpartition("-")[2].encode() in data + dump_msgpack(environ) for secret in SECRET_HEADERS.values())


def test_a_record_shows_fields_within_its_budget_then_texts():
    def holder(a, b, c, d, e, f, g, h):
        again = a
        return again

    parts = [types.SimpleNamespace(name=f"n{i}", payload=str(i) * 300) for i in range(8)]
    profiler = JarnProfiler({"plugins": {}}, db_path="/nonexistent/db.sqlite3").start()
    holder(*parts)
    profiler.stop()
    call = next(r for r in msgpack.unpackb(profiler.build_trace())["frames_of_interest"] if r.get("co_name") == "holder")
    values = [call["locals"][name] for name in "abcdefgh"]
    shown = [v for v in values if "fields" in v]
    # Fields while the record's values are under the budget, then every later object its text
    # alone; beside its fields or not, an object's text is a glimpse.
    assert 1 <= len(shown) < len(values) and values[: len(shown)] == shown
    assert sum(len(msgpack.packb(v)) for v in shown[:-1]) < MAX_FIELDS_BYTES
    assert all(len(v["text"]) <= MAX_SHOWN_TEXT + 3 and v["text"].startswith("namespace(name=") for v in values)
    assert values[-1]["text"] == repr(parts[-1])[:len(values[-1]["text"]) - 3] + "..."


RAN = []


def counted(name):
    def method(self, *args):
        RAN.append(name)
        return getattr(object, name)(self, *args) if hasattr(object, name) else 0
    return method


DUNDERS = ["__repr__", "__str__", "__eq__", "__hash__", "__len__", "__iter__", "__getattr__", "__getattribute__",
           "__format__", "__bool__", "__reduce_ex__", "__dir__", "__sizeof__", "__getstate__", "__class_getitem__"]
Counting = type("Counting", (), {name: counted(name) for name in DUNDERS}
                | {"prop": property(lambda self: RAN.append("prop")), "__slots__": ("a", "__dict__")})
CountingDict = type("CountingDict", (dict,), {name: counted(name) for name in ("__iter__", "__len__", "items", "keys", "__getitem__")})


def test_a_class_that_counts_every_call_is_recorded_without_any():
    def work(obj, table):
        obj.a = 1
        return obj

    obj = Counting()
    object.__setattr__(obj, "b", [1])
    table = CountingDict(k=obj)
    RAN.clear()
    profiler = JarnProfiler({"plugins": {}}, db_path="/nonexistent/db.sqlite3").start()
    work(obj, table)
    profiler.stop()
    assert RAN == []
    records = [r for r in decode(profiler.build_trace())["frames_of_interest"] if r.get("co_name") == "work"]
    assert records[1]["locals"]["obj"]["fields"] == {"a": 1, "b": [1]}
    # Met again in the same record: its text.
    assert records[1]["locals"]["table"] == {"k": {"__type__": HERE + "Counting", "text": "Counting(a=1, b=[1])"}}


@dataclasses.dataclass
class Item:
    name: str
    price: float
    tags: list


@dataclasses.dataclass(slots=True)
class SlottedItem:
    name: str
    price: float
    tags: list


CHANGES = {  # what changes in an object between records, with its repr after the change
    "a field set": lambda o: setattr(o, "name", "other"),
    "a float computed anew": lambda o: setattr(o, "price", o.price * 3),
    "a list's item": lambda o: o.tags.__setitem__(0, "z"),
    "a list grown": lambda o: o.tags.append(7),
    "a list for a tuple": lambda o: setattr(o, "tags", tuple(o.tags)),
    "an object for a list": lambda o: setattr(o, "tags", Record(1, 2, 3)),
    "nothing": lambda o: None,
}


@pytest.mark.parametrize("cls", [Item, SlottedItem])
@pytest.mark.parametrize("change", CHANGES.values(), ids=list(CHANGES))
def test_an_object_met_again_is_written_as_it_is_now(cls, change):
    obj = cls("item", 1.5, ["a", "b"])
    holder = Record(obj, None, None)
    for _ in range(3):  # met often enough to be written from what was written before
        assert form(obj)["text"] == repr(obj)
    change(obj)
    for _ in range(3):
        out = form(obj)
        assert out["text"] == repr(obj) and out["fields"]["name"] == obj.name and out["fields"]["price"] == obj.price
        # Inside another object: its text alone; then on its own again: its fields.
        assert form(holder)["fields"]["a"] == {"__type__": HERE + cls.__name__, "text": repr(obj)}
    assert dump_msgpack(obj) == dump_msgpack(cls(obj.name, obj.price, obj.tags))
    if cls is Item:
        obj.password = secret = "".join(["hunter", "2"])  # a field more, whose value is scrubbed and not kept
        held = sys.getrefcount(secret)
        for _ in range(3):
            assert form(obj)["fields"]["password"] == "[scrubbed]" and "hunter2" not in form(obj)["text"]
        assert sys.getrefcount(secret) == held
        del obj.password
        assert form(obj)["text"] == repr(obj)


NAMES = {  # name: scrubbed by the built-in rules
    "password": True, "PASSWORD": True, "db_password": True, "db-password": True, "_password": True, "github_token": True,
    "client_secret": True, "X-Api-Key": True, "Authorization": True, "set-cookie": True, "sessionid": True, "__auth": True,
    "private_key": True, "my_private_key": True, "credentials": True, "csrftoken": True, "apikey": True, "card_number": True,
    "HTTP_AUTHORIZATION": True, "HTTP_COOKIE": True, "HTTP_PROXY_AUTHORIZATION": True, "HTTP_HOST": False,
    "author": False, "session": False, "tokens": False, "passwords": False, "secretary": False, "token_count": False,
    "cookies": False, "key": False, "api": False, "name": False, "": False, "_": False, "passwordx": False, "x" * 65 + "_token": False,
    "__Api-Key": True, "_tokens": False, "__": False,
}


@pytest.mark.parametrize(("name", "secret"), NAMES.items(), ids=list(NAMES))
def test_names_scrubbed_natively_and_by_the_plugins_alike(name, secret):
    assert scrub.Rules().matches(name) is secret
    assert (form({name: "s3cr3t", "other": 1})[name] == "[scrubbed]") is secret


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet="abcdeiknoprstwyAKPT_-", max_size=16), st.lists(st.text("akpt-", min_size=1, max_size=6), max_size=3))
def test_native_and_python_rules_agree(name, extra):
    native = Encoder(lambda v, d, n, s: msgpack.packb(None), objects="fields", scrub=extra)
    assert (decode(native({name: 1}))[name] == "[scrubbed]") == scrub.Rules(extra).matches(name)


@pytest.mark.parametrize(("text", "expected"), [
        ("postgres://app:hunter2@db:5432/x", "postgres://app:[scrubbed]@db:5432/x"),
        ("https://h/p?token=abc&q=1&API_KEY=k#frag", "https://h/p?token=[scrubbed]&q=1&API_KEY=[scrubbed]#frag"),
        ("https://user@h/?password=", "https://user@h/?password="), ("not a url://x:y@z", "not a url://x:y@z"),
        ("redis://:pw@h", "redis://:[scrubbed]@h"), ("mailto:a@b?token=1", "mailto:a@b?token=1"),
])
def test_urls(text, expected):
    assert scrub.Rules().url(text) == expected
    assert form([text]) == [expected] and form({"u": text})["u"] == expected


@dataclasses.dataclass
class Login:
    user: str
    password: str
    url: str = "https://u:pw@h/"


@pytest.mark.parametrize("mode", ["fields", "repr", "type"])
@pytest.mark.parametrize("setting", [True, ["pin"], False])
def test_secrets_kept_out_of_records_in_every_mode(mode, setting):
    def login(password, pin, form_data, creds):
        api_key = "k3y"
        return creds

    profiler = JarnProfiler({"values": mode, "scrub": setting, "plugins": {}}, db_path="/nonexistent/db.sqlite3").start()
    login("hunter2", "4321", {"Token": "t0k", "user": "ann"}, Login("ann", "hunter2"))
    profiler.stop()
    trace = profiler.build_trace()
    kept = [s for s in (b"hunter2", b"4321", b"t0k", b"k3y", b"pw@") if s in trace]
    everything = [b"hunter2", b"4321", b"t0k", b"k3y"] + ([] if mode == "type" else [b"pw@"])  # "type" shows no field
    assert kept == (everything if setting is False else [b"4321"] if setting is True else [])
    assert b"ann" in trace


@pytest.mark.parametrize(("given", "expected"), [
        ({}, ("fields", False)), ({"lightweight_repr": True}, ("type", True)), ({"values": "repr"}, ("repr", False)),
        ({"values": "type"}, ("type", True)), ({"lightweight_repr": True, "values": "repr"}, ("repr", False)),
])
def test_values_setting(given, expected):
    config = merged(given)
    assert (config["values"], config["lightweight_repr"]) == expected


@pytest.mark.parametrize(("given", "message"), [
        ({"values": "yaml"}, "values must be one of 'fields', 'repr', 'type'"),
        ({"scrub": "password"}, "scrub must be true, false or a list of names"), ({"scrub": [""]}, "1 to 64 characters"),
])
def test_bad_values_settings(given, message):
    with pytest.raises(ConfigError, match=message):
        merged(given)
