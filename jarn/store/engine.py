"""What the store asks of a database, and SQLite's answer to it.

The store's SQL is written once, with `?` placeholders, and runs on either engine; an engine
adds what differs: how it connects, its column types, how a write transaction is taken, bulk
inserts, where the schema version is kept, and how its errors read. Every error leaves here as a
StoreError of one line, naming the store (a full disk as "disk full").
"""

from __future__ import annotations

import errno
import logging
import os
import sqlite3
import stat
import urllib.parse
from collections.abc import Iterable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import Any

logger = logging.getLogger("jarn")


class StoreError(Exception):
    """The trace store cannot be used: a clear, one-line reason."""


SCHEMA_LOCK = 0x6A61726E  # the advisory lock taken while tables are made or changed


def first_line(exc: BaseException) -> str:
    return str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__


class Engine:
    """One open connection to a store."""

    kind = ""
    types: dict[str, str] = {}
    writable = True

    def __init__(self, name: str) -> None:
        self.name = name  # as shown to the user: a path, or a URL without its password

    def execute(self, sql: str, params: Sequence[Any] = ()) -> Any:
        raise NotImplementedError

    def executemany(self, sql: str, rows: Iterable[Sequence[Any]]) -> None:
        raise NotImplementedError

    def copy(self, table: str, columns: Sequence[str], rows: Iterable[Sequence[Any]], types: Sequence[str] | None = None) -> None:
        """Many rows into a table, the fastest way the engine has (`types`: the columns' SQL types,
        for an engine that sends rows in a binary form)."""
        self.executemany(f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({', '.join('?' * len(columns))})", rows)

    def new_row_ids(self, n: int) -> list[int] | None:
        """`n` row ids for new rows of `traces`, inside a write transaction, or None when the
        engine cannot say beforehand (each row is then inserted on its own)."""
        return None

    @contextmanager
    def transaction(self) -> Iterator[None]:
        raise NotImplementedError
        yield

    def lock(self, key: int) -> None:
        """Inside a transaction: waits until no other transaction holds `key`, then holds it."""

    def opened(self) -> None:
        """Called once the store is known to be a jarn store."""

    def schema_version(self) -> int:
        raise NotImplementedError

    def set_schema_version(self, version: int) -> None:
        raise NotImplementedError

    def has_table(self, name: str) -> bool:
        raise NotImplementedError

    def is_empty(self) -> bool:
        """Whether the database holds no table at all (a new one)."""
        raise NotImplementedError

    def temp_table_like(self, name: str, table: str) -> str:
        """The statement making an empty table of the connection's own, with the columns of `table`."""
        raise NotImplementedError

    def tune_new_tables(self) -> None:
        """What the engine needs beyond the schema, once its tables are made."""

    def reclaim(self) -> None:
        """Gives the space of deleted rows back, where the engine does not do it by itself."""

    def close(self) -> None:
        raise NotImplementedError

    def error(self, exc: BaseException) -> StoreError | None:
        """The StoreError an exception of this engine means, or None for one it did not raise."""
        return None


# SQLite's primary result codes that mean something to the user.
_SQLITE_FULL, _SQLITE_READONLY, _SQLITE_CANTOPEN, _SQLITE_BUSY = 13, 8, 14, 5


class SqliteEngine(Engine):
    kind = "sqlite"
    types = {"id": "INTEGER PRIMARY KEY AUTOINCREMENT", "int": "INTEGER", "real": "REAL", "blob": "BLOB", "norowid": "WITHOUT ROWID"}

    def __init__(self, path: Path, *, timeout: float, create: bool) -> None:
        super().__init__(str(path))
        self.path = path
        if create:
            _make_store_file(path)
        elif not path.exists():
            raise StoreError(f"no trace database at {path}")
        self.writable = _can_write(path)
        try:
            if self.writable:
                self.conn = sqlite3.connect(path, timeout=timeout, isolation_level=None, check_same_thread=False)
            else:
                self.conn = sqlite3.connect(_read_only_uri(path), timeout=timeout, isolation_level=None, uri=True, check_same_thread=False)
            self.conn.execute("PRAGMA foreign_keys = ON")
        except sqlite3.Error as exc:
            raise StoreError(f"cannot open the trace database {path}: {self._reason(exc)}") from None

    def execute(self, sql: str, params: Sequence[Any] = ()) -> Any:
        return self.conn.execute(sql, params)

    def executemany(self, sql: str, rows: Iterable[Sequence[Any]]) -> None:
        self.conn.executemany(sql, rows)

    # Rows per INSERT of copy(): within the 999 parameters even an old SQLite takes.
    _PARAMETERS = 999

    def copy(self, table: str, columns: Sequence[str], rows: Iterable[Sequence[Any]], types: Sequence[str] | None = None) -> None:
        # Many rows in each statement: SQLite steps (and lets go of the interpreter lock) once a
        # statement, where executemany would once a row.
        # Parsing a statement costs about as much as its rows' insertion: each is made once and
        # then found in the connection's statement cache, its rows in groups of `group` and a
        # power of two (a few hundred traces: a few statements, none parsed twice).
        rows = rows if isinstance(rows, list) else list(rows)
        width = len(columns)
        group = max(1, self._PARAMETERS // width)
        one = f"({', '.join('?' * width)})"
        head = f"INSERT INTO {table} ({', '.join(columns)}) VALUES "
        start = 0
        while start < len(rows):
            left = len(rows) - start
            size = group if left >= group else 1 << (left.bit_length() - 1)
            part = rows[start : start + size]
            self.conn.execute(head + ", ".join([one] * size), [value for row in part for value in row])
            start += size

    def new_row_ids(self, n: int) -> list[int] | None:
        # AUTOINCREMENT: past every id the table has ever had (the write lock is held).
        found = self.conn.execute("SELECT max(coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'traces'), 0),"
                                  " coalesce((SELECT max(row_id) FROM traces), 0))").fetchone()
        first = int(found[0]) + 1
        return list(range(first, first + n))

    @contextmanager
    def transaction(self) -> Iterator[None]:
        # Taken at once, so that no other writer comes in between; a failure (even SQLite's own
        # rollback, after a full disk) leaves no transaction open. A read-only store's connection
        # writes only its own temporary tables.
        self.conn.execute("BEGIN IMMEDIATE" if self.writable else "BEGIN")
        try:
            yield
            self.conn.execute("COMMIT")
        except BaseException:
            if self.conn.in_transaction:
                try:
                    self.conn.execute("ROLLBACK")
                except sqlite3.Error:
                    pass  # the first error is the one to report
            raise

    def opened(self) -> None:
        _warn_if_open_to_others(self.path)

    def schema_version(self) -> int:
        return int(self.conn.execute("PRAGMA user_version").fetchone()[0])

    def set_schema_version(self, version: int) -> None:
        self.conn.execute(f"PRAGMA user_version = {int(version)}")

    def has_table(self, name: str) -> bool:
        return self.conn.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", (name,)).fetchone() is not None

    def is_empty(self) -> bool:
        return self.conn.execute("SELECT count(*) FROM sqlite_master").fetchone()[0] == 0

    def temp_table_like(self, name: str, table: str) -> str:
        return f"CREATE TEMP TABLE {name} AS SELECT * FROM {table} WHERE 0"

    def prepare_new(self) -> None:
        try:
            self.conn.execute("PRAGMA journal_mode = WAL")
        except sqlite3.OperationalError as exc:
            # SQLite does not wait for the lock a change of journal mode needs: another process
            # making the same new store holds it, and sets the mode itself. The schema's
            # transaction that follows waits for that process, and finds the store made.
            if getattr(exc, "sqlite_errorcode", 0) & 0xFF != _SQLITE_BUSY:
                raise

    def reclaim(self) -> None:
        # Deleted rows only become free pages; the file shrinks when it is rewritten, and the
        # rewrite (which went to the write-ahead log) is copied back and the log emptied.
        self.conn.execute("VACUUM")
        self.conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")

    def close(self) -> None:
        self.conn.close()

    def error(self, exc: BaseException) -> StoreError | None:
        if isinstance(exc, sqlite3.Error):
            return StoreError(f"trace database {self.path}: {self._reason(exc)}")
        return None

    def _reason(self, exc: sqlite3.Error) -> str:
        code = getattr(exc, "sqlite_errorcode", 0) & 0xFF
        if code == _SQLITE_FULL:
            return "disk full (" + first_line(exc) + ")"
        if code == _SQLITE_READONLY or (not self.writable and code == _SQLITE_CANTOPEN):
            return "read-only: jarn cannot write to it or to its folder (" + first_line(exc) + ")"
        return first_line(exc)


def _make_store_file(path: Path) -> None:
    """The project's .jarn folder (readable by its owner only, and ignored by git) and an empty
    database file, readable and writable by its owner only."""
    try:
        if not path.parent.exists():
            # exist_ok: processes of one program (a pool's workers) may all save their first trace at once.
            path.parent.mkdir(parents=True, mode=0o700, exist_ok=True)
            if path.parent.name == ".jarn":
                os.chmod(path.parent, 0o700)  # whatever the umask
        marker = path.parent / ".gitignore"
        if path.parent.name == ".jarn" and not marker.exists():
            marker.write_text("*\n", encoding="utf-8")
        if not path.exists():
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT, 0o600))
    except OSError as exc:
        if exc.errno == errno.ENOSPC:
            raise StoreError(f"cannot create the trace database {path}: disk full") from None
        if not path.exists():
            raise StoreError(f"cannot create the trace database {path}: {exc.strerror or exc}") from None


_warned: set[str] = set()


def _warn_if_open_to_others(path: Path) -> None:
    """One warning per store and process when others may read the traces (they hold values)."""
    wide = []
    for item in (path.parent, path) if path.parent.name == ".jarn" else (path,):
        try:
            mode = item.stat().st_mode
        except OSError:
            continue
        if mode & (stat.S_IRWXG | stat.S_IRWXO):
            wide.append(f"{item} is {stat.filemode(mode)}")
    if wide and str(path) not in _warned:
        _warned.add(str(path))
        logger.warning("jarn: the trace store can be read by others (%s): traces hold your program's values; chmod go= to close it",
                       "; ".join(wide))


def _can_write(path: Path) -> bool:
    # A database in WAL mode also needs its folder, for the -wal and -shm files.
    return os.access(path, os.W_OK) and os.access(path.parent, os.W_OK | os.X_OK)


def _read_only_uri(path: Path) -> str:
    uri = "file:" + urllib.parse.quote(str(path.resolve())) + "?mode=ro"
    # Without its -shm file, and no way to make one, SQLite can only read a database that nobody
    # changes meanwhile: the log, if any, is then ignored.
    if not os.path.exists(f"{path}-shm") and not os.access(path.parent, os.W_OK):
        uri += "&immutable=1"
    return uri
