"""Lines of tests against lines of code: non-blank lines that are not only a comment, of
tests/ against src/ and jarn/ (bench/ counts as neither).

    python tools/test_share.py [--by-file]
"""

from __future__ import annotations

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
COMMENT_STARTS = {".py": ("#",), ".cpp": ("//", "/*", "*"), ".hpp": ("//", "/*", "*"), ".h": ("//", "/*", "*"),
                  ".js": ("//", "/*", "*"), ".css": ("/*", "*"), ".html": ("<!--",)}


def count(path: Path) -> int:
    starts = COMMENT_STARTS[path.suffix]
    lines = (line.strip() for line in path.read_text(errors="replace").splitlines())
    return sum(1 for line in lines if line and not line.startswith(starts))


def files(folder: str) -> list[Path]:
    return sorted(p for p in (ROOT / folder).rglob("*") if p.suffix in COMMENT_STARTS and "__pycache__" not in p.parts)


def main() -> int:
    by_file = "--by-file" in sys.argv
    totals = {}
    for folder in ("src", "jarn", "tests"):
        counted = [(count(p), p) for p in files(folder)]
        totals[folder] = sum(n for n, _ in counted)
        if by_file and folder == "tests":
            for n, p in sorted(counted, reverse=True):
                print(f"{n:6} {p.relative_to(ROOT)}")
    code = totals["src"] + totals["jarn"]
    print(f"code {code} (src {totals['src']}, jarn {totals['jarn']}), tests {totals['tests']}: "
          f"{100 * totals['tests'] / code:.0f}%")
    return 0


if __name__ == "__main__":
    sys.exit(main())
