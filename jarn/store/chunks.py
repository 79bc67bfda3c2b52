"""A trace's bytes in chunk rows: written as they come, read back as a stream from any offset.

Each chunk holds CHUNK_SIZE bytes of the trace (the last one less), compressed on its own, so
that reading from an offset decompresses only the chunks from there on, and no value comes near
a database's limit on one field. Chunks of older stores are of any size and stored as they are;
`start` and `size` say where each lies in the whole trace.
"""

from __future__ import annotations

import bisect
import io
from collections.abc import Iterator
from typing import Any

from jarn.store import codec
from jarn.store.engine import Engine, StoreError

CHUNK_SIZE = 4 * 1024 * 1024


# Chunk rows are written in groups of about this many bytes: a batch of small traces in one
# statement, a big trace a few chunks at a time.
ROWS_BYTES = 16 * 1024 * 1024


class ChunkRows:
    """Chunk rows waiting to be written, of one trace or of many saved in one transaction."""

    def __init__(self, engine: Engine) -> None:
        self.engine = engine
        self.rows: list[tuple[int, int, int, int, int, Any]] = []
        self.bytes = 0

    def add(self, row: tuple[int, int, int, int, int, Any]) -> None:
        self.rows.append(row)
        self.bytes += len(row[5])
        if self.bytes >= ROWS_BYTES:
            self.flush()

    def flush(self) -> None:
        if self.rows:
            self.engine.copy("trace_chunks", ("row_id", "seq", "start", "size", "codec", "data"), self.rows,
                             ("bigint", "bigint", "bigint", "bigint", "bigint", "bytea"))
            self.rows, self.bytes = [], 0


class ChunkWriter:
    """Takes a trace's bytes in pieces of any size and stores them in chunks of CHUNK_SIZE. Its
    rows are written once `rows` has enough of them (the caller flushes what is left), or at
    `close()` when the writer has rows of its own."""

    def __init__(self, engine: Engine, row_id: int, rows: ChunkRows | None = None) -> None:
        self.engine, self.row_id = engine, row_id
        self.pending = bytearray()
        self.size = 0  # bytes taken so far
        self.stored = 0  # bytes written to the database (compressed)
        self.seq = 0
        self.own_rows = rows is None
        self.rows = ChunkRows(engine) if rows is None else rows

    def write(self, piece: Any) -> None:
        view = memoryview(piece).cast("B")
        while view:
            room = CHUNK_SIZE - len(self.pending)
            self.pending += view[:room]
            view = view[room:]
            if len(self.pending) >= CHUNK_SIZE:
                self._chunk()

    def write_whole(self, data: bytes) -> int:
        """A whole trace at once (nothing written before): its chunks made straight from it,
        compressed from its own bytes."""
        if len(data) <= CHUNK_SIZE:
            self._chunk(data)
        else:
            view = memoryview(data).cast("B")
            for start in range(0, len(view), CHUNK_SIZE):
                self._chunk(view[start : start + CHUNK_SIZE])
        return self.close()

    def close(self) -> int:
        """Stores what is left; returns the trace's size."""
        if self.pending or self.seq == 0:
            self._chunk(bytes(self.pending))
            self.pending.clear()
        if self.own_rows:
            self.rows.flush()
        return self.size

    def _chunk(self, raw: bytes | memoryview | None = None) -> None:
        if raw is None:
            raw = bytes(self.pending)
            self.pending.clear()
        kind, data = codec.compress(raw)
        if isinstance(data, memoryview):  # kept as it is: stored as bytes
            data = data.tobytes()
        self.rows.add((self.row_id, self.seq, self.size, len(raw), kind, data))
        self.seq += 1
        self.size += len(raw)
        self.stored += len(data)


class RowSource:
    """One stored row's bytes, opened at any offset (a jarn.trace source)."""

    def __init__(self, engine: Engine, row_id: int) -> None:
        self.engine, self.row_id = engine, row_id
        rows = engine.execute("SELECT seq, start, size, codec FROM trace_chunks WHERE row_id = ? ORDER BY seq", (row_id,)).fetchall()
        self.seqs = [int(r[0]) for r in rows]
        self.starts = [int(r[1]) for r in rows]
        self.sizes = [int(r[2]) for r in rows]
        self.codecs = [int(r[3]) for r in rows]
        self.size = self.starts[-1] + self.sizes[-1] if rows else 0
        self._cached: tuple[int, bytes] = (-1, b"")

    def chunk(self, index: int) -> bytes:
        if self._cached[0] != index:
            found = self.engine.execute("SELECT data FROM trace_chunks WHERE row_id = ? AND seq = ?", (self.row_id, self.seqs[index])).fetchone()
            if found is None:
                raise StoreError(f"stored trace {self.row_id} was deleted while it was read")
            self._cached = (index, codec.decompress(self.codecs[index], bytes(found[0]), self.sizes[index]))
        return self._cached[1]

    def pieces(self, offset: int = 0) -> Iterator[bytes]:
        """The bytes from `offset` to the end, a chunk at a time."""
        index = max(0, bisect.bisect_right(self.starts, offset) - 1)
        while index < len(self.seqs):
            data = self.chunk(index)
            skip = offset - self.starts[index]
            yield data[skip:] if skip > 0 else data
            offset = self.starts[index] + self.sizes[index]
            index += 1

    def stored(self) -> Iterator[tuple[int, int, int, int, bytes]]:
        """(seq, start, size, codec, data) of each chunk as it is stored, one at a time."""
        for i, seq in enumerate(self.seqs):
            found = self.engine.execute("SELECT data FROM trace_chunks WHERE row_id = ? AND seq = ?", (self.row_id, seq)).fetchone()
            if found is None:
                raise StoreError(f"stored trace {self.row_id} was deleted while it was read")
            yield seq, self.starts[i], self.sizes[i], self.codecs[i], bytes(found[0])

    def open(self, offset: int = 0) -> io.RawIOBase:
        return _Stream(self.pieces(offset))

    def read_all(self) -> bytes:
        return b"".join(self.pieces())


class _Stream(io.RawIOBase):
    def __init__(self, pieces: Iterator[bytes]) -> None:
        self._pieces = pieces
        self._buf = memoryview(b"")

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        if size < 0:
            rest = [bytes(self._buf), *self._pieces]
            self._buf = memoryview(b"")
            return b"".join(rest)
        if not self._buf:
            data = next(self._pieces, None)
            if data is None:
                return b""
            if size == len(data):
                return data
            self._buf = memoryview(data)
        if size <= len(self._buf):
            out, self._buf = self._buf[:size], self._buf[size:]
            return out.tobytes()
        parts = [bytes(self._buf)]
        have = len(parts[0])
        self._buf = memoryview(b"")
        while have < size:
            data = next(self._pieces, None)
            if data is None:
                break
            take = min(size - have, len(data))
            parts.append(data[:take] if take < len(data) else data)
            self._buf = memoryview(data)[take:]
            have += take
        return b"".join(parts)

    def readinto(self, out: Any) -> int:
        data = self.read(len(out))
        out[: len(data)] = data
        return len(data)
