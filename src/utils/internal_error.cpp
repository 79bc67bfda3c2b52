#include "internal_error.hpp"

#include "owned.hpp"

namespace jarn {
namespace {

PyObject* internal_error = nullptr;

}  // namespace

bool init_internal_error() {
    if (internal_error != nullptr) return true;
    internal_error = PyErr_NewExceptionWithDoc(
        "jarn._jarn.InternalError",
        "An assertion inside jarn's native core failed. This is a bug in jarn, not in the profiled "
        "program.",
        PyExc_BaseException, nullptr);
    return internal_error != nullptr;
}

PyObject* internal_error_type() { return internal_error; }

PyObject* raise_internal_error(const char* assertion) {
    Owned cause = Owned::steal(PyErr_GetRaisedException());
    Owned message;
    if (cause) {
        Owned text = Owned::steal(PyObject_Str(cause.get()));
        if (!text) {
            PyErr_Clear();
            text = Owned::steal(PyUnicode_FromString("<unprintable error>"));
        }
        message = Owned::steal(PyUnicode_FromFormat("%s: %s: %U", assertion, Py_TYPE(cause.get())->tp_name,
                                                    text.get()));
    } else {
        message = Owned::steal(PyUnicode_FromFormat("%s: no Python error was set", assertion));
    }
    if (!message) return nullptr;
    Owned error = Owned::steal(PyObject_CallOneArg(internal_error, message.get()));
    if (!error) return nullptr;
    if (cause) PyException_SetCause(error.get(), cause.release());
    PyErr_SetRaisedException(error.release());
    return nullptr;
}

PyObject* raise_conversion_error(PyObject* obj, const char* target) {
    Owned type_name = Owned::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!type_name) return nullptr;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
    return nullptr;
}

}  // namespace jarn
