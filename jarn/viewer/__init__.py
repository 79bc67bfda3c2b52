"""`jarn serve`: a local web viewer of the stored traces.

A standard-library HTTP server on 127.0.0.1 serves one static page and JSON endpoints; the page
asks only for what it shows (a time window of one thread, the children of one call, one call's
values), answered from the trace's index (jarn.store.index), built the first time a trace is opened.
Each request has its own connection to the store; a trace that cannot be read answers with its
error and leaves the others served.
"""

from __future__ import annotations

import contextlib
import json
import math
import re
import threading
from collections.abc import Callable, Iterator
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from typing import Any
from urllib.parse import parse_qs, urlsplit

from jarn.store import Store, StoreError, index, open_store
from jarn.viewer.guard import Guard, new_token

_STATIC = {"/": ("index.html", "text/html"), "/app.js": ("app.js", "text/javascript"), "/app.css": ("app.css", "text/css")}
_MAX_SAFE_INT = 2**53
# Traces below this size are indexed in the background when the server starts, so that the list
# can show their durations; bigger ones wait until they are opened.
BACKGROUND_INDEX_LIMIT = 64 * 1024 * 1024


class _Problem(Exception):
    def __init__(self, status: HTTPStatus, message: str) -> None:
        super().__init__(message)
        self.status = status


def plain(value: Any) -> Any:
    """A value JSON (and JavaScript) can carry exactly: big ints and non-finite floats as text."""
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return value
    if isinstance(value, int):
        return value if -_MAX_SAFE_INT < value < _MAX_SAFE_INT else str(value)
    if isinstance(value, float):
        return value if math.isfinite(value) else repr(value)
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, list | tuple):
        return [plain(v) for v in value]
    if isinstance(value, bytes | bytearray):
        return {"__type__": "builtins.bytes", "repr": repr(bytes(value))}
    return repr(value)


class Viewer:
    """What the handlers share: the store's name and one lock per trace being indexed."""

    def __init__(self, db_path: str) -> None:
        self.db_path = db_path
        self._locks: dict[int, threading.Lock] = {}
        self._guard = threading.Lock()
        self.background_done = threading.Event()
        self._searchable: set[int] = set()
        self._kept: Store | None = None  # a store jarn cannot write, kept open with its own index
        self._keeping = contextlib.ExitStack()
        self._kept_lock = threading.Lock()

    @contextlib.contextmanager
    def store(self) -> Iterator[Store]:
        """The store for one request: a connection of its own, or, for a store jarn cannot
        write, the one connection that holds its index (requests take turns on it)."""
        if self._kept is None:
            with open_store(self.db_path) as store:
                if store.engine.writable:
                    yield store
                    return
            with self._kept_lock:
                if self._kept is None:
                    self._kept = self._keeping.enter_context(open_store(self.db_path))
        with self._kept_lock:
            yield self._kept

    def indexed(self, store: Store, row_id: int) -> None:
        with self._guard:
            lock = self._locks.setdefault(row_id, threading.Lock())
        with lock:
            try:
                index.ensure(store.engine, row_id)
            except index.TraceIndexError as exc:
                raise _Problem(HTTPStatus.UNPROCESSABLE_ENTITY, f"trace row {row_id} cannot be read: {exc}") from None
            except StoreError as exc:
                raise _Problem(HTTPStatus.NOT_FOUND if "no stored trace" in str(exc) else HTTPStatus.SERVICE_UNAVAILABLE, str(exc)) from None
            if row_id not in self._searchable and store.engine.writable:
                # the values' full-text index, made while the trace is being looked at
                self._searchable.add(row_id)
                threading.Thread(target=self._make_searchable, args=(row_id,), name="jarn-search-index", daemon=True).start()

    def _make_searchable(self, row_id: int) -> None:
        try:
            with open_store(self.db_path) as store:
                index.make_searchable(store.engine, row_id)
        except (StoreError, index.TraceIndexError):
            pass  # the search itself says what is wrong

    def traces(self, store: Store) -> list[dict[str, Any]]:
        index.prune(store.engine)
        known = index.known(store.engine)
        out = []
        busy = not self.background_done.is_set()
        for info in store.list():
            error, start, end, calls = known.get(info.row_id, (None, None, None, None))
            out.append({
                "indexing": busy and info.row_id not in known and info.size <= BACKGROUND_INDEX_LIMIT and store.engine.writable,
                "row_id": info.row_id, "trace_id": info.trace_id, "created_at": info.created_at,
                "what": info.source or " ".join(info.command_line), "command_line": info.command_line,
                "records": info.record_count, "size": info.size, "calls": calls, "error": error,
                "duration": (end - start) if start is not None and end is not None else None,
                "host": info.host, "user": info.username, "parent_trace_id": info.parent_trace_id,
            })
        return out

    def index_in_background(self) -> None:
        """Indexes the small traces not indexed yet, newest first."""
        try:
            with self.store() as store:
                if store.engine.writable:
                    for info in store.list():
                        if info.size <= BACKGROUND_INDEX_LIMIT:
                            try:
                                self.indexed(store, info.row_id)
                            except _Problem:
                                pass  # recorded as that trace's error; the list shows it
        except StoreError:
            pass  # the requests report what is wrong with the store
        finally:
            self.background_done.set()


# Ids and counts are what a store's integer columns hold: a bigger or negative one names nothing.
_ID = re.compile(r"^[0-9]{1,18}$")


def _int(query: dict[str, list[str]], name: str, default: int | None = None) -> int:
    try:
        text = query[name][0]
    except (KeyError, IndexError):
        if default is None:
            raise _Problem(HTTPStatus.BAD_REQUEST, f"missing parameter {name}") from None
        return default
    if not _ID.match(text.strip()):
        raise _Problem(HTTPStatus.BAD_REQUEST, f"parameter {name} is not a whole number from 0 to 10^18")
    return int(text)


def _float(query: dict[str, list[str]], name: str) -> float:
    try:
        value = float(query[name][0])
    except (KeyError, IndexError, ValueError):
        raise _Problem(HTTPStatus.BAD_REQUEST, f"parameter {name} must be a number") from None
    if not math.isfinite(value):
        raise _Problem(HTTPStatus.BAD_REQUEST, f"parameter {name} must be finite")
    return value


def _text(query: dict[str, list[str]], name: str) -> str:
    return query.get(name, [""])[0]


def _summary(viewer: Viewer, store: Store, row: int, q: dict[str, list[str]]) -> Any:
    s = index.summary(store.engine, row)
    info = next((t for t in viewer.traces(store) if t["row_id"] == row), None)
    return {"trace": info, "start": s.start, "end": s.end, "calls": s.calls, "records": s.records, "truncated": s.truncated, "threads": s.threads}


def _flame(viewer: Viewer, store: Store, row: int, q: dict[str, list[str]]) -> Any:
    return index.flame(store.engine, row, _int(q, "thread"), _float(q, "t0"), _float(q, "t1"), _float(q, "min"), min(_int(q, "limit", 20000), 50000))


def _children(viewer: Viewer, store: Store, row: int, q: dict[str, list[str]]) -> Any:
    return index.children(store.engine, row, _int(q, "thread"), _int(q, "parent", 0), _int(q, "after", 0), min(_int(q, "limit", 200), 2000))


def _functions(viewer: Viewer, store: Store, row: int, q: dict[str, list[str]]) -> Any:
    sort = _text(q, "sort") or "total"
    if sort not in index.SORTS:
        raise _Problem(HTTPStatus.BAD_REQUEST, f"sort must be one of {', '.join(index.SORTS)}")
    return index.functions(store.engine, [row], sort, min(_int(q, "limit", 500), 5000), _text(q, "q"))


def _search(viewer: Viewer, store: Store, row: int, q: dict[str, list[str]]) -> Any:
    if "fn" in q:
        return {"functions": [], "calls": index.slowest_calls(store.engine, row, _int(q, "fn"))}
    text = _text(q, "q").strip()
    if not text:
        return {"functions": [], "calls": []}
    return {"functions": index.functions(store.engine, [row], "total", 50, text), "calls": index.search_values(store.engine, row, text, 100)}


def _relatives(viewer: Viewer, store: Store, row: int, q: dict[str, list[str]]) -> Any:
    return index.relatives(store.engine, row, _int(q, "fn"))


def _merged(viewer: Viewer, store: Store, row: int, q: dict[str, list[str]]) -> Any:
    return index.merged(store.engine, row, _int(q, "thread"), _float(q, "min") if "min" in q else 0.0)


def _compare(viewer: Viewer, q: dict[str, list[str]]) -> Any:
    from jarn.diff import collect_row, compare
    from jarn.trace import TraceFormatError

    runs = []
    for name in ("a", "b"):
        row = _int(q, name)
        try:
            runs.append(collect_row(viewer.db_path, row))
        except TraceFormatError as exc:
            raise _Problem(HTTPStatus.UNPROCESSABLE_ENTITY, f"trace row {row} cannot be read: {exc}") from None
        except StoreError as exc:
            raise _Problem(HTTPStatus.NOT_FOUND, str(exc)) from None
    return compare(*runs).to_json()


_ROUTES: dict[str, Callable[[Viewer, Store, int, dict[str, list[str]]], Any]] = {
    "": _summary, "flame": _flame, "children": _children, "functions": _functions, "search": _search,
    "relatives": _relatives, "merged": _merged,
}
_TRACE_PATH = re.compile(r"^/api/traces/([^/]+)(?:/([a-z]+))?(?:/([^/]+))?$")


class _Handler(BaseHTTPRequestHandler):
    server_version = "jarn"
    viewer: Viewer
    guard: Guard
    _token_given = False

    def log_message(self, format: str, *args: Any) -> None:
        pass  # the terminal stays for the URL and errors

    def _refused(self) -> bool:
        """Answers 403 to a request that is not the owner's (see jarn.viewer.guard)."""
        query = urlsplit(self.path).query
        reason = self.guard.refusal(self.command, query, self.headers)
        if reason is not None:
            self._error(HTTPStatus.FORBIDDEN, reason)
            return True
        self._token_given = self.guard.token_in_url(query)
        return False

    # Nothing but reading: every other method is refused, with the reason.
    do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_HEAD = _refused  # type: ignore[assignment]

    def do_GET(self) -> None:
        if self._refused():
            return
        url = urlsplit(self.path)
        if url.path == "/favicon.ico":
            self._send(HTTPStatus.NO_CONTENT, b"", "image/x-icon")
            return
        if url.path in _STATIC:
            name, kind = _STATIC[url.path]
            body = resources.files("jarn.viewer").joinpath("static", name).read_bytes()
            self._send(HTTPStatus.OK, body, f"{kind}; charset=utf-8")
            return
        try:
            result = self._api(url.path, parse_qs(url.query))
            body = json.dumps(plain(result), ensure_ascii=False, separators=(",", ":")).encode()
            self._send(HTTPStatus.OK, body, "application/json")
        except _Problem as exc:
            self._error(exc.status, str(exc))
        except StoreError as exc:
            self._error(HTTPStatus.SERVICE_UNAVAILABLE, str(exc))
        except Exception as exc:  # one bad trace must not stop the server: say what went wrong
            self._error(HTTPStatus.INTERNAL_SERVER_ERROR, f"internal error: {type(exc).__name__}: {exc}")

    def _api(self, path: str, query: dict[str, list[str]]) -> Any:
        viewer = self.viewer
        with viewer.store() as store:
            if path == "/api/traces":
                return viewer.traces(store)
            if path == "/api/compare":
                return _compare(viewer, query)
            match = _TRACE_PATH.match(path)
            if match is None:
                raise _Problem(HTTPStatus.NOT_FOUND, f"no such page: {path}")
            if not _ID.match(match.group(1)):
                raise _Problem(HTTPStatus.NOT_FOUND, f"no stored trace with row id {match.group(1)!r}")
            row = int(match.group(1))
            what, item = match.group(2) or "", match.group(3)
            viewer.indexed(store, row)
            if what == "calls" and item is not None:
                try:
                    detail = index.call_detail(store.engine, row, int(item)) if _ID.match(item) else None
                except ValueError:
                    detail = None
                if detail is None:
                    raise _Problem(HTTPStatus.NOT_FOUND, f"trace row {row} has no call {item}")
                return detail
            route = _ROUTES.get(what) if item is None else None
            if route is None:
                raise _Problem(HTTPStatus.NOT_FOUND, f"no such page: {path}")
            return route(viewer, store, row, query)

    def _error(self, status: HTTPStatus, message: str) -> None:
        self._send(status, json.dumps({"error": message}).encode(), "application/json")

    def _send(self, status: HTTPStatus, body: bytes, kind: str) -> None:
        try:
            self.send_response(status)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.send_header("X-Content-Type-Options", "nosniff")
            self.send_header("X-Frame-Options", "DENY")
            self.send_header("Referrer-Policy", "no-referrer")  # the token in the address stays here
            if self._token_given:
                self.send_header("Set-Cookie", self.guard.set_cookie())
            self.end_headers()
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the page went away


class ViewerServer(ThreadingHTTPServer):
    daemon_threads = True


def make_server(db_path: str, port: int = 0, *, token: str | None = None, host: str | None = None) -> ViewerServer:
    """A server bound to 127.0.0.1 (port 0: a free one); OSError when the port cannot be had.
    It answers only its owner's requests (jarn.viewer.guard): with `token`, only those that
    carry it; `host` is one more name it may be reached by. Its address is `server.url`."""
    viewer = Viewer(db_path)
    handler = type("Handler", (_Handler,), {"viewer": viewer})
    server = ViewerServer(("127.0.0.1", port), handler)
    handler.guard = Guard(server.server_address[1], token, host)
    server.viewer = viewer  # type: ignore[attr-defined]
    server.url = handler.guard.url()  # type: ignore[attr-defined]
    return server


def prepare(db_path: str) -> None:
    """Readies a store for serving: creates the index tables, before requests race to."""
    with open_store(db_path) as store:
        index.prepare(store.engine)
        index.prune(store.engine)


def serve(db_path: str, port: int, *, open_browser: bool, announce: Callable[[str], None], token: bool = True,
          host: str | None = None) -> None:
    """Serves until interrupted; by default with a random token, in the address announced."""
    prepare(db_path)
    server = make_server(db_path, port, token=new_token() if token else None, host=host)
    url = server.url  # type: ignore[attr-defined]
    announce(url)
    threading.Thread(target=server.viewer.index_in_background, name="jarn-index", daemon=True).start()  # type: ignore[attr-defined]
    if open_browser:
        import webbrowser

        threading.Thread(target=webbrowser.open, args=(url,), daemon=True).start()
    try:
        server.serve_forever()
    finally:
        server.server_close()
