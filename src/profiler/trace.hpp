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

// What the store lists of the trace whose bytes the host is being given by save_in_db right now:
// (command line, source, record count, records of other threads, first, last, test id, parent
// trace id), as the store's scan of those bytes would find them; None for any other object.
PyObject* handed_over_summary(ProfilerObject* self, PyObject* trace);

// The same trace as build_trace_inner, handed out piece by piece so that storing it never needs
// a second copy of it: a new TracePieces object, an iterable of bytes objects whose concatenation
// is the trace. The records leave the buffers now; `commit()` frees them once they are stored,
// `restore()` (or dropping the object uncommitted) puts them back in front of the buffers.
PyObject* take_trace_pieces(ProfilerObject* self);

}  // namespace jarn
