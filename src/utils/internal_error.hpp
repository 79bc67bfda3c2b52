// The exception that carries a broken internal assertion to the Python caller of an entry point.
// It derives from BaseException so that `except Exception` in the host does not hide it.
#pragma once

#include <Python.h>

namespace jarn {

bool init_internal_error();
PyObject* internal_error_type();

// Raises the internal error "<assertion>: <description of the pending Python error>"; the
// pending error, if any, becomes its __cause__. Always returns null for `return raise_...`.
PyObject* raise_internal_error(const char* assertion);

// Raises a TypeError "'<type>' object cannot be converted to '<target>'".
PyObject* raise_conversion_error(PyObject* obj, const char* target);

}  // namespace jarn
