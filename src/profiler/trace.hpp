// The trace: run metadata and every buffered record in one MessagePack map.
#pragma once

#include <Python.h>

#include "state.hpp"

namespace jarn {

// A new bytes object with the whole trace; the buffers are left empty. On failure the
// exception is set and every record stays buffered.
PyObject* build_trace_inner(ProfilerObject* self);

// Builds the trace and hands it to jarn.db.save_trace_in_sqlite. When the host fails, the
// records go back in front of the buffers, so a later save still holds them.
bool save_in_db(ProfilerObject* self);

}  // namespace jarn
