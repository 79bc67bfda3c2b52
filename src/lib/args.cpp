#include "args.hpp"

#include <cstring>

namespace jarn {

bool parse_required_args(const char* function, const char* const* params, Py_ssize_t count,
                         PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given", function, count,
                     count == 1 ? "" : "s", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);  // borrowed
        const char* key_text = PyUnicode_AsUTF8(key);
        if (key_text == nullptr) return false;
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (std::strcmp(key_text, params[i]) == 0) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", function, key_text);
            return false;
        }
        if (out[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, key_text);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", function, params[i],
                         i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace jarn
