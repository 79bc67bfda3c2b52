"""`jarn stats`: the per-function table of a trace (calls, total and self time), from its index."""

from __future__ import annotations

from typing import Any, TextIO

from jarn.store import Store, index
from jarn.terminal import printable


def _ms(seconds: float) -> str:
    return f"{seconds * 1000:.3f}"


def function_table(store: Store, row_ids: list[int], sort: str, limit: int | None, progress: TextIO | None = None) -> list[dict[str, Any]]:
    """The rows of one trace id, indexed if needed, summed per function."""
    if progress is not None and not all(index.is_indexed(store.engine, row) for row in row_ids):
        progress.write("jarn: indexing the trace (once; later views reuse it)...\n")
        progress.flush()
    return index.functions(store.engine, row_ids, sort, limit)


def print_table(rows: list[dict[str, Any]], out: TextIO) -> None:
    headers = ("calls", "total ms", "self ms", "function", "defined at")
    cells = [(str(r["calls"]), _ms(r["total"]), _ms(r["self"]), printable(r["qualname"]), printable(r["path"])) for r in rows]
    widths = [max([len(h), *(len(c[i]) for c in cells)]) for i, h in enumerate(headers[:3])]
    name_width = max([len(headers[3]), *(len(c[3]) for c in cells)])
    out.write("  ".join(h.rjust(w) for h, w in zip(headers[:3], widths, strict=True)) + f"  {headers[3].ljust(name_width)}  {headers[4]}\n")
    for c in cells:
        out.write("  ".join(v.rjust(w) for v, w in zip(c[:3], widths, strict=True)) + f"  {c[3].ljust(name_width)}  {c[4]}\n")
