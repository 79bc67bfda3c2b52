// Everything that differs between the CPython versions jarn supports lives in this unit and its
// .cpp: interpreter internals read where the public API cannot do the job, and functions that
// were renamed or added between versions. No other file tests PY_VERSION_HEX; supporting a
// further version means one more branch of the check below and of each function in the .cpp.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
#define JARN_CPYTHON_3_12 1
#elif PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
#define JARN_CPYTHON_3_13 1
#else
#error "jarn is built for CPython 3.12 and 3.13"
#endif
#ifdef Py_GIL_DISABLED
// The per-thread state and the record buffers rely on the interpreter lock.
#error "jarn needs a CPython with the global interpreter lock"
#endif

namespace jarn::compat {

// True while the interpreter is shutting down (modules are being torn down).
bool interpreter_is_finalizing();

// New reference to a dict of the frame's local variables as they are now, in declaration order
// (unbound ones left out, cells read through), or null with an exception set. A module or class
// body frame gives its namespace mapping itself; the caller must not change what it gets.
PyObject* frame_locals(PyFrameObject* frame);

}  // namespace jarn::compat
