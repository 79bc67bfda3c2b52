// Calls that end by an exception: the monitoring tool that notices them and their record.
#pragma once

#include <Python.h>

#include "../utils/cpython_compat.hpp"
#include "../utils/msgpack.hpp"

namespace jarn {

struct Event;
struct ThreadState;

// Each live profiler holds the tool once; the first installs it, the last removes it and frees
// its tool id. When no tool id is free, profiling goes on without it after one warning.
// False with the exception set when installing failed.
bool acquire_exception_tool();
void release_exception_tool();
int exception_tool_id();  // -1: not installed

// The exception by which `frame` is being left, taken from the thread's state (new reference),
// or null when the return is an ordinary one or a generator's end. `arg` is the event's value.
PyObject* take_raised_exception(ThreadState& ts, compat::InterpreterFrame* frame, PyObject* arg);

// `exc` (borrowed) leaving a frame of `code`, as a new reference, or null when it is a
// generator's or coroutine's ordinary end rather than a failure.
PyObject* failure_of(PyCodeObject* code, PyObject* exc);

// The "exception" record of the event's frame; false with the exception set.
bool build_exception_record(Event& ev, PyObject* exc, msgpack::Buffer& out);

}  // namespace jarn
