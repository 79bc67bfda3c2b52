// Everything that differs between the CPython versions jarn supports lives in this unit and its
// .cpp: interpreter internals read where the public API cannot do the job, and functions that
// were renamed or added between versions. No other file tests PY_VERSION_HEX; supporting a
// further version means one more branch here.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030D0000
#error "jarn is built for CPython 3.12"
#endif

namespace jarn::compat {

// True while the interpreter is shutting down (modules are being torn down).
bool interpreter_is_finalizing();

}  // namespace jarn::compat

namespace jarn::compat {

// Frees a sys.monitoring tool id whose events and callbacks are already cleared. CPython 3.12's
// free_tool_id leaves a tool's callbacks and events in place (3.13 clears them and adds
// clear_tool_id), so the caller clears them itself first on every version.
bool free_monitoring_tool(PyObject* monitoring, int tool_id);

}  // namespace jarn::compat
