"""The trace store: SQLite on one machine, PostgreSQL for a team, the same tables in both.

A store is named by a path (a SQLite file, the embedded default) or a `postgresql://` URL.
`open_store` gives a `Store` on one connection: saving (one trace, or many in one transaction),
listing, finding, loading and deleting traces (`traces`), their bytes in compressed chunk rows
read back as a stream (`chunks`, `codec`), the schema and its migrations (`schema`), the
viewer's index and every query the viewer makes (`index`), and each engine's connection,
transactions and errors (`engine`, `postgres`). Every failure is a StoreError of one line.

For a writer that saves many traces (a web server's requests, a test suite's tests), the batched
form is `save_traces(name, [(trace_id, trace), ...])`: one transaction for the lot, all stored or
none (then the caller may retry them one by one); each trace is its bytes or the profiler's
`take_trace_pieces()`, summarised while it is written, never read back.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path

from jarn.store.chunks import CHUNK_SIZE, RowSource
from jarn.store.engine import Engine, SqliteEngine, StoreError
from jarn.store.traces import Store, Trace, TraceInfo, TracePieces

__all__ = [
    "CHUNK_SIZE", "RowSource", "Store", "StoreError", "Trace", "TraceInfo", "TracePieces", "describe", "is_url", "open_store",
    "save_trace", "save_traces",
]

_URL_SCHEMES = ("postgresql://", "postgres://")


def is_url(name: str | os.PathLike[str]) -> bool:
    return isinstance(name, str) and name.startswith(_URL_SCHEMES)


def describe(name: str | os.PathLike[str]) -> str:
    """The store's name as it may be shown: a URL without its password."""
    if is_url(name):
        from jarn.store.postgres import safe_url

        return safe_url(str(name))
    return str(name)


def _connect(name: str | os.PathLike[str], *, timeout: float, create: bool) -> Engine:
    if is_url(name):
        from jarn.store.postgres import PostgresEngine

        return PostgresEngine(str(name), timeout=timeout)
    return SqliteEngine(Path(name), timeout=timeout, create=create)


@contextmanager
def open_store(name: str | os.PathLike[str], *, create: bool = False, timeout: float = 60) -> Iterator[Store]:
    """An open store. Without `create`, a SQLite file that does not exist is refused."""
    engine = _connect(name, timeout=timeout, create=create)
    try:
        store = Store(engine)
        store.prepare(create)
        engine.opened()
        yield store
    except Exception as exc:
        mapped = engine.error(exc)
        if mapped is None:
            raise
        raise mapped from None
    finally:
        engine.close()


def save_traces(name: str | os.PathLike[str], traces: Iterable[tuple[str, Trace]], *, timeout: float = 60) -> list[int]:
    """Stores traces in one transaction (all or none); their row ids, in order."""
    with open_store(name, create=True, timeout=timeout) as store:
        return store.save_many(traces)


def save_trace(name: str | os.PathLike[str], trace_id: str, trace: Trace, *, timeout: float = 60) -> int:
    return save_traces(name, [(trace_id, trace)], timeout=timeout)[0]
