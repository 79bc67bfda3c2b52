"""How a chunk's bytes are kept: compressed with zstd (1), or as they are (0).

Each chunk is one zstd frame of its own, so that a trace is read back from any chunk on, and a
chunk that does not get smaller is kept as it is. Chunks of older stores are all as they are.
"""

from __future__ import annotations

import threading

from jarn.store.engine import StoreError

try:
    import zstandard
except ImportError:  # a broken installation: traces are still stored, uncompressed
    zstandard = None  # type: ignore[assignment]

RAW, ZSTD = 0, 1
LEVEL = 3  # zstd's default: about as fast as a database takes the bytes, several times smaller

_local = threading.local()  # compressor objects are not shared between threads


def compress(raw: bytes) -> tuple[int, bytes]:
    if zstandard is None or not raw:
        return RAW, raw
    compressor = getattr(_local, "compressor", None)
    if compressor is None:
        compressor = _local.compressor = zstandard.ZstdCompressor(level=LEVEL)
    packed = compressor.compress(raw)
    return (ZSTD, packed) if len(packed) < len(raw) else (RAW, raw)


def decompress(kind: int, data: bytes, size: int) -> bytes:
    if kind == RAW:
        return data
    if kind == ZSTD:
        if zstandard is None:
            raise StoreError('the trace is stored compressed with zstd, which this installation lacks: pip install "zstandard>=0.22"')
        decompressor = getattr(_local, "decompressor", None)
        if decompressor is None:
            decompressor = _local.decompressor = zstandard.ZstdDecompressor()
        try:
            return decompressor.decompress(data, max_output_size=size)
        except zstandard.ZstdError as exc:
            raise StoreError(f"a chunk of the trace is damaged: {exc}") from None
    raise StoreError(f"a chunk of the trace is stored in a form this jarn does not know ({kind}); a newer jarn wrote it")
