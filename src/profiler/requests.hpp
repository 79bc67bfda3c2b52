// Web requests: a profiler per request, begun from the profiler its middleware made once (the
// request's origin). A request's profiler copies the origin's settings, runs the origin's
// plugins and shares its cached per-code decisions, so beginning one costs a few allocations;
// its trace, buffers and per-thread call state are its own. Events reach it through the
// monitoring engine (monitoring.hpp: the request in progress in the running context) or through a
// profile function installed on its thread.
#pragma once

#include <Python.h>

#include <vector>

#include "../utils/owned.hpp"
#include "state.hpp"

namespace jarn {

// JarnProfiler.begin_request(source, install), end_request() and request_open.
PyObject* method_begin_request(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* method_end_request(PyObject* self, PyObject*);
PyObject* get_request_open(PyObject* self, void*);

// The request's profiler in progress `current` (borrowed, any object) when it is an open
// request of `origin`, else null.
inline ProfilerObject* open_request_of(PyObject* current, PyObject* origin) {
    if (current == nullptr || !is_profiler(current)) return nullptr;
    auto* request = reinterpret_cast<ProfilerObject*>(current);
    return request->request_open && request->origin == origin ? request : nullptr;
}

// A request's profiler lets go of its origin: its request is closed, and the reference to the
// origin moves to `released` (released by the caller once nothing points into the origin).
void forget_origin(ProfilerObject* self, std::vector<Owned>& released);

}  // namespace jarn
