"""Test boundaries of unittest: "start_test" and "end_test" around each TestCase.run, with the
test's id and, at the end, its outcome read from the result object's counters."""

from __future__ import annotations

from typing import Any

from jarn.plugins._safe import attribute, frame_key, local, text

_COUNTERS = ("failures", "errors", "skipped", "expectedFailures", "unexpectedSuccesses")


def _counts(result: Any) -> tuple[int, ...] | None:
    try:
        return tuple(len(attribute(result, name, ())) for name in _COUNTERS)
    except Exception:
        return None


def _outcome(before: tuple[int, ...] | None, after: tuple[int, ...] | None) -> str:
    if before is None or after is None:
        return "unknown"
    grew = [b > a for a, b in zip(before, after)]
    if grew[0] or grew[1] or grew[4]:
        return "failed"
    if grew[2]:
        return "skipped"
    return "passed"


def _call(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> bool:
    # Under pytest, its own plugin marks the test; a result object of pytest's means we are there.
    result = local(frame, "result")
    module = text(attribute(type(result), "__module__", ""))
    return not module.startswith("_pytest")


def _process(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> dict[str, Any]:
    test = local(frame, "self")
    try:
        test_id = text(test.id())
    except Exception:
        test_id = text(type(test).__qualname__)
    key = frame_key(frame)
    data: dict[str, Any] = {"test_id": test_id, "framework": "unittest"}
    if event == "call":
        context[key] = _counts(local(frame, "result"))
    else:
        before = context.pop(key, None)
        data["outcome"] = _outcome(before, _counts(local(frame, "result")))
    return data


def entries(config: dict[str, Any]) -> list[dict[str, Any]]:
    return [
        {
            "co_names": ["run"],
            "path_fragment": "unittest/case.py",
            "call_type": "start_test",
            "return_type": "end_test",
            "call": _call,
            "process": _process,
        }
    ]
