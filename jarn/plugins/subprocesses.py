"""A "subprocess" record when a child process starts (command, pid) and when it is waited for
(pid, return code), through subprocess.Popen (and so run, call, check_output...)."""

from __future__ import annotations

from typing import Any

from jarn.plugins._safe import attribute, local, text


def _command(args: Any) -> list[str]:
    if isinstance(args, str | bytes):
        return [text(args)]
    try:
        return [text(a) for a in args]
    except Exception:
        return [text(args)]


def _process(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> dict[str, Any]:
    popen = local(frame, "self")
    pid = attribute(popen, "pid", None)
    pid = pid if isinstance(pid, int) else None
    if frame.f_code.co_name == "__init__":
        return {"subtype": "start", "command": _command(attribute(popen, "args", None)), "pid": pid}
    code = arg if isinstance(arg, int) else None
    return {"subtype": "exit", "command": _command(attribute(popen, "args", None)), "pid": pid, "returncode": code}


def _started(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> bool:
    # Popen.__init__ raises when the program cannot be started; its return then carries no pid.
    return isinstance(attribute(local(frame, "self"), "pid", None), int)


def _first_exit(frame: Any, event: str, arg: Any, context: dict[str, Any]) -> bool:
    # wait() runs again from communicate() and __exit__: one record per child is enough.
    if event != "return" or not isinstance(arg, int):
        return False
    pid = attribute(local(frame, "self"), "pid", None)
    reported = context.setdefault("exited", set())
    if pid in reported:
        return False
    reported.add(pid)
    return True


def entries(config: dict[str, Any]) -> list[dict[str, Any]]:
    return [
        {
            "co_names": ["__init__"],
            "path_fragment": "/subprocess.py",
            "call_type": "subprocess",
            "return_type": "subprocess",
            "events": ["return"],
            "call": _started,
            "process": _process,
        },
        {
            "co_names": ["wait"],
            "path_fragment": "/subprocess.py",
            "call_type": "subprocess",
            "return_type": "subprocess",
            "events": ["return"],
            "call": _first_exit,
            "process": _process,
        },
    ]
