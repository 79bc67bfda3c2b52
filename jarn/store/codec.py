"""How a chunk's bytes are kept: as they are (0)."""

from __future__ import annotations

from jarn.store.engine import StoreError

RAW = 0


def compress(raw: bytes) -> tuple[int, bytes]:
    return RAW, raw


def decompress(kind: int, data: bytes, size: int) -> bytes:
    if kind == RAW:
        return data
    raise StoreError(f"a chunk of the trace is stored in a form this jarn does not know ({kind}); a newer jarn wrote it")
