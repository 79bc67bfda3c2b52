"""Small helpers shared by the host modules."""

from __future__ import annotations

import os
import time
from pathlib import Path

CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
DEFAULT_DB = Path(".jarn") / "db.sqlite3"


def ulid_text(millis: int | None = None, randomness: bytes | None = None) -> str:
    """A ULID as 26 Crockford base-32 characters: 48 bits of milliseconds, 80 random bits."""
    if millis is None:
        millis = time.time_ns() // 1_000_000
    if randomness is None:
        randomness = os.urandom(10)
    value = ((millis & ((1 << 48) - 1)) << 80) | int.from_bytes(randomness[:10], "big")
    return "".join(CROCKFORD[(value >> (125 - 5 * i)) & 31] for i in range(26))


def new_trace_id() -> str:
    return "trc_" + ulid_text()


def default_db_path(base: str | os.PathLike[str] | None = None) -> str:
    """The project's database: .jarn/db.sqlite3 below `base` (the working directory by default)."""
    return str(Path(base) / DEFAULT_DB if base is not None else DEFAULT_DB)
