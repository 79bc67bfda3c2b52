// jarn._process: what the host needs from below the interpreter to run a program and its child
// processes under the profiler without changing what they see.
#include <Python.h>

#include <signal.h>

#include <cerrno>

#include "../utils/owned.hpp"
#include "hooked.hpp"
#include "signals.hpp"

namespace jarn::process {
namespace {

bool signal_number(PyObject* arg, int& out) {
    const long value = PyLong_AsLong(arg);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 1 || value >= NSIG) {
        PyErr_Format(PyExc_ValueError, "signal number out of range: %ld", value);
        return false;
    }
    out = int(value);
    return true;
}

PyObject* py_catch_signal(PyObject*, PyObject* arg) {
    int signum;
    if (!signal_number(arg, signum)) return nullptr;
    if (!catch_signal(signum)) return PyErr_SetFromErrno(PyExc_OSError);
    return PyBool_FromLong(is_caught(signum));
}

PyObject* py_is_caught(PyObject*, PyObject* arg) {
    int signum;
    if (!signal_number(arg, signum)) return nullptr;
    return PyBool_FromLong(is_caught(signum));
}

PyObject* py_release_signal(PyObject*, PyObject* arg) {
    int signum;
    if (!signal_number(arg, signum)) return nullptr;
    release_signal(signum);
    Py_RETURN_NONE;
}

PyObject* py_set_carrier(PyObject*, PyObject* arg) {
    int signum = 0;
    const long value = PyLong_AsLong(arg);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (value != 0 && !signal_number(arg, signum)) return nullptr;
    if (!set_carrier(signum)) return PyErr_SetFromErrno(PyExc_OSError);
    Py_RETURN_NONE;
}

PyObject* py_take_signal(PyObject*, PyObject*) { return PyLong_FromLong(take_signal()); }

PyMethodDef methods[] = {
    {"catch_signal", py_catch_signal, METH_O,
     "catch_signal(signum)\n--\n\n"
     "Takes over the operating system's disposition of `signum` when it is the default, leaving "
     "Python's handler table as it is. A delivery is then passed to the carrier signal's Python "
     "handler; a second one ends the process by the default action. Returns whether it is caught."},
    {"is_caught", py_is_caught, METH_O, "is_caught(signum)\n--\n\nWhether `catch_signal` holds `signum`'s disposition."},
    {"release_signal", py_release_signal, METH_O,
     "release_signal(signum)\n--\n\nGives `signum` its default disposition back, if it is caught."},
    {"set_carrier", py_set_carrier, METH_O,
     "set_carrier(signum)\n--\n\n"
     "The signal whose Python handler is told of a caught one (0: none; a caught signal then ends "
     "the process at once). Deliveries of it that are not jarn's keep the default action."},
    {"take_signal", py_take_signal, METH_NOARGS,
     "take_signal()\n--\n\n"
     "The caught signal that arrived first in this process, 0 when none did. Called by the "
     "carrier's handler: until it is, the main thread is interrupted again and again, and after a "
     "few seconds the process ends by the signal's default action."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_process", "", 0, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace jarn::process

PyMODINIT_FUNC PyInit__process(void) {
    using namespace jarn::process;
    jarn::Owned module = jarn::Owned::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyTypeObject* hooked = hooked_type();
    if (hooked == nullptr) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "Hooked", reinterpret_cast<PyObject*>(hooked)) < 0) return nullptr;
    return module.release();
}
