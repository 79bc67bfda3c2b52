"""The git commit the profiled program runs from, read once when jarn is imported."""

from __future__ import annotations

import subprocess


def head_commit(cwd: str | None = None) -> str | None:
    """HEAD's full commit hash of the repository around `cwd`, or None when there is none."""
    try:
        done = subprocess.run(
            ["git", "rev-parse", "--verify", "--quiet", "HEAD"],
            cwd=cwd,
            stdin=subprocess.DEVNULL,
            capture_output=True,
            encoding="utf-8",
            errors="replace",
            timeout=2,
            check=False,
        )
    except (OSError, subprocess.SubprocessError, ValueError):
        return None
    sha = done.stdout.strip()
    if done.returncode != 0 or len(sha) < 40 or any(c not in "0123456789abcdef" for c in sha):
        return None
    return sha


COMMIT_SHA: str | None = head_commit()
