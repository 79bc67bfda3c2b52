#pragma once

#include <Python.h>

#include <memory>

#include "state.hpp"

namespace jarn {

// Builds the native state from the host profiler object; null with the exception set. The host
// object is never changed here.
std::unique_ptr<ProfilerState> new_from_python(PyObject* host);

}  // namespace jarn
