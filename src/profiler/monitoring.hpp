// The second event engine: the native profiler installed as a sys.monitoring tool.
#pragma once

#include <Python.h>

namespace jarn {

// Whether register_monitoring_profiler may install: the tool id is free or held by us. False
// with RuntimeError when another tool holds it.
bool monitoring_tool_free();

// Installs `native` (a JarnProfiler) under the profiler tool id, replacing a profiler of ours
// installed before; with `all_threads` false only the calling thread's events are recorded.
// Returns None, or null with RuntimeError when another tool holds the id.
PyObject* install_monitoring(PyObject* native, bool all_threads);

// How the events of an origin's requests (requests.hpp) reach them.
enum class RequestEngine {
    monitoring,   // through the tool, installed for the origin's requests now if it was not
    program,      // nowhere: a whole program's profiler of ours has the tool
    unavailable,  // not through the tool (another tool has the id, or another origin's open
                  // requests): through a profile function on each request's thread
};
// Never fails: whatever keeps the tool from the requests gives `unavailable`.
RequestEngine monitor_requests(PyObject* origin, PyObject* request_var);

// Clears our events and callbacks and frees the tool id; None when nothing is installed.
PyObject* uninstall_monitoring();

bool monitoring_installed();
// Switches back on the places that were switched off while `native`'s trace was past its memory
// limit, now that a new trace has begun; nothing when `native` is not the installed tool.
// Failures are not the program's: cleared.
void resume_after_limit(PyObject* native);

}  // namespace jarn
