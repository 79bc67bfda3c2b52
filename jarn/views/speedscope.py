"""A trace as a speedscope file (https://www.speedscope.app/file-format-schema.json).

One "evented" profile per thread: an open event when a call starts and a close event when it
ends, in seconds from the trace's start. Speedscope shows timings only, so values and plugin
records are left out (the Chrome export carries them). Calls whose start was not recorded are
left out; calls that never returned close where their thread's records end.
"""

from __future__ import annotations

import json
from typing import Any, TextIO

from jarn.trace import Call, PluginRecord, ThreadState, Walk

SCHEMA = "https://www.speedscope.app/file-format-schema.json"


class _Profile:
    __slots__ = ("events", "last")

    def __init__(self) -> None:
        self.events: list[tuple[str, int, float]] = []
        self.last = 0.0


class SpeedscopeWriter:
    def __init__(self, stream: Walk) -> None:
        self.stream = stream
        self.origin = stream.head.origin
        self.frames: list[dict[str, Any]] = []
        self.frame_index: dict[tuple[str, str], int] = {}

    def at(self, profile: _Profile, when: float | None) -> float:
        if when is None:
            return profile.last
        if self.origin is None:
            self.origin = when
        # Events of a profile must not go back in time, whatever the clock did.
        profile.last = max(profile.last, round(when - self.origin, 9))
        return profile.last

    def frame(self, call: Call) -> int:
        key = (call.qualname, call.path)
        index = self.frame_index.get(key)
        if index is None:
            index = self.frame_index[key] = len(self.frames)
            file, _, line = call.path.rpartition(":")
            entry: dict[str, Any] = {"name": call.qualname}
            if file and line.isdigit():
                entry.update(file=file, line=int(line))
            elif call.path:
                entry["file"] = call.path
            self.frames.append(entry)
        return index

    def document(self) -> dict[str, Any]:
        self.stream.walk(self)
        head = self.stream.head
        profiles = []
        for thread in self.stream.threads:
            profile: _Profile = thread.slot
            if not profile.events and profiles:
                continue
            profiles.append({
                "type": "evented",
                "name": thread.name,
                "unit": "seconds",
                "startValue": profile.events[0][2] if profile.events else 0.0,
                "endValue": profile.last,
                "events": [{"type": kind, "frame": frame, "at": at} for kind, frame, at in profile.events],
            })
        return {
            "$schema": SCHEMA,
            "name": f"{head.source or ' '.join(head.command_line)} ({head.trace_id})",
            "exporter": f"jarn {head.version}",
            "activeProfileIndex": 0,
            "shared": {"frames": self.frames},
            "profiles": profiles,
        }

    # -- the walk's events

    def thread_start(self, thread: ThreadState) -> None:
        thread.slot = _Profile()

    def begin(self, thread: ThreadState, call: Call, parent: Call | None) -> None:
        call.slot = call.start is not None
        if call.slot:
            thread.slot.events.append(("O", self.frame(call), self.at(thread.slot, call.start)))

    def end(self, thread: ThreadState, call: Call, at: float | None) -> None:
        if call.slot:
            thread.slot.events.append(("C", self.frame(call), self.at(thread.slot, at)))

    def raised(self, thread: ThreadState, call: Call) -> None:
        pass

    def record(self, thread: ThreadState, record: PluginRecord, owner: Call | None) -> None:
        pass

    def truncated(self, info: dict[str, Any]) -> None:
        pass


def write_speedscope(stream: Walk, out: TextIO) -> None:
    json.dump(SpeedscopeWriter(stream).document(), out, ensure_ascii=False, allow_nan=False)
    out.write("\n")
