"""Test boundaries of pytest: "start_test" when a test's run protocol begins, "end_test" with
its outcome when it ends. In one-trace-per-test mode each test becomes a trace of its own."""

from __future__ import annotations

from typing import Any

from jarn.plugins._safe import attribute, local, text


def _process(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> dict[str, Any]:
    item = local(frame, "item")
    data: dict[str, Any] = {"test_id": text(attribute(item, "nodeid", "")), "framework": "pytest"}
    if event == "return":
        data["outcome"] = _outcome(arg)
    return data


def _outcome(reports: Any) -> str:
    """failed if any phase failed, skipped if one was skipped, passed when every phase passed."""
    try:
        outcomes = [attribute(r, "outcome", "") for r in reports]
    except Exception:
        return "unknown"
    if "failed" in outcomes:
        return "failed"
    if "skipped" in outcomes:
        return "skipped"
    return "passed" if outcomes else "unknown"


def entries(config: dict[str, Any]) -> list[dict[str, Any]]:
    return [
        {
            "co_names": ["runtestprotocol"],
            "path_fragment": "_pytest/runner.py",
            "call_type": "start_test",
            "return_type": "end_test",
            "process": _process,
        }
    ]
