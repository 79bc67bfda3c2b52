// The common event made as one piece; see plain_event.cpp.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../utils/code_info.hpp"
#include "../utils/cpython_compat.hpp"
#include "../utils/record_layout.hpp"
#include "state.hpp"

namespace jarn {

// What an engine tells of an event beyond its frame: whether it is a return, its step
// (records::Step::unknown when the engine cannot tell), and whether the interpreter may be
// answered DISABLE (sys.monitoring's events of one location). Three bytes: one register.
struct EventWay {
    bool is_return;
    records::Step step;
    bool may_disable;
};

// A call or return of a code object that wants events and that no plugin watches, made here when
// it is plain, else the general way (handle_event_generally). `arg` is borrowed, never null;
// `info` is the info of the frame's code, holding this profiler's classification. Returns the
// engine's answer, a new reference, never null (event_answer). Six arguments: all of them passed
// in registers, so that the engine's callback reaches it with a jump.
PyObject* record_plain_event(PyThreadState* tstate, ProfilerObject* self, compat::InterpreterFrame* frame, PyObject* arg,
                             const CodeInfo& info, EventWay way);

// The same event the general way (handle_profile_event), with the same answer. Rare: out of line.
[[gnu::cold]] PyObject* handle_event_generally(PyThreadState* tstate, ProfilerObject* self, compat::InterpreterFrame* frame,
                                               PyObject* arg, const CodeInfo& info, EventWay way);

// Past the trace's memory limit nothing of this code is kept: the place is switched off like a
// dropped frame's until a new trace begins (resume_after_limit). Gives DISABLE (monitoring.cpp).
[[gnu::cold]] PyObject* switch_off_past_limit(ProfilerState& state);

// The answer to an event of code no plugin watches once it is handled: None, or DISABLE where
// the way allows it and the trace is past its memory limit.
// The profiler is read only then: where the way cannot answer DISABLE it may be gone already.
inline PyObject* event_answer(ProfilerObject* self, EventWay way) {
    if (way.may_disable && self->state->limit.reached()) [[unlikely]] return switch_off_past_limit(*self->state);
    Py_RETURN_NONE;
}

}  // namespace jarn
