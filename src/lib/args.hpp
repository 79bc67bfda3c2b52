// Argument parsing for METH_FASTCALL | METH_KEYWORDS functions whose parameters are all
// required and may be given positionally or by keyword.
#pragma once

#include <Python.h>

namespace jarn {

// Fills `out` (borrowed references) with the `count` parameters named in `params`. Returns
// false with a TypeError in the interpreter's usual wording when an argument is missing, extra
// or unknown.
bool parse_required_args(const char* function, const char* const* params, Py_ssize_t count,
                         PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out);

}  // namespace jarn
