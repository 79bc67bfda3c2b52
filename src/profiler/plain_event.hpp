// The common event made as one piece; see plain_event.cpp.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../utils/code_info.hpp"
#include "../utils/cpython_compat.hpp"
#include "state.hpp"

namespace jarn {

// A call or return of a code object that wants events and that no plugin watches: true when the
// event was handled here; false, with nothing done, when it must go the general way
// (handle_profile_event). `arg` is borrowed, never null; `info` is the info of the frame's code,
// holding this profiler's classification. Six arguments: all of them passed in registers.
bool record_plain_event(PyThreadState* tstate, ProfilerObject* self, compat::InterpreterFrame* frame, bool is_return,
                        PyObject* arg, const CodeInfo& info);

}  // namespace jarn
