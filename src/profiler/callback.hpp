#pragma once

#include <Python.h>

namespace jarn {

// Must run once before any profiler is installed.
bool init_code_cache();

// The native profile function installed by register_profiler; `obj` is the JarnProfiler.
int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) noexcept;

}  // namespace jarn
