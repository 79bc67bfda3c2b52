// A function of the interpreter's (os._exit, signal.signal...) with something of ours run before
// or after it. Written natively so that it adds no frame to the program's tracebacks, keeps the
// original's name, documentation and signature, and never lets our failure reach the program.
#pragma once

#include <Python.h>

namespace jarn::process {

// The Hooked type, created on first use; null with the exception set when it cannot be.
PyTypeObject* hooked_type();

}  // namespace jarn::process
