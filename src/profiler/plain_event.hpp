// The common event made as one piece; see plain_event.cpp.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../utils/code_info.hpp"
#include "../utils/cpython_compat.hpp"
#include "state.hpp"

namespace jarn {

// A call or return of a code object that wants events and that no plugin watches (`bits` its
// classification): true when the event was handled here; false, with nothing done, when it must
// go the general way (handle_profile_event). `arg` is borrowed, never null; `info` is the code's,
// when the caller has it, else null.
bool record_plain_event(PyThreadState* tstate, ProfilerObject* self, compat::InterpreterFrame* frame, PyCodeObject* code,
                        bool is_return, PyObject* arg, std::uintptr_t bits, const CodeInfo* info = nullptr);

}  // namespace jarn
