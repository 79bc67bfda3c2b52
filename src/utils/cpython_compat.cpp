// Version-specific code; see cpython_compat.hpp.
#include "cpython_compat.hpp"

#include <utility>

#include "owned.hpp"

namespace jarn::compat {

bool interpreter_is_finalizing() {
#if defined(JARN_CPYTHON_3_12)
    // 3.12 has only the private spelling; 3.13 made it public and dropped the private one.
    return _Py_IsFinalizing();
#else
    return Py_IsFinalizing();
#endif
}

#if defined(JARN_CPYTHON_3_12)
namespace {

// 3.12 keeps one f_locals dict per frame and adds each name when it is first seen bound, so in a
// frame read more than once (a generator resumed, a coroutine after an await) a variable declared
// later can come first. 3.13 lists a frame's variables in their declaration order; so do we here,
// so that both give the same records. Null with an exception set on failure.
PyObject* in_declaration_order(PyCodeObject* code, Owned locals) {
    if (!(code->co_flags & CO_OPTIMIZED) || !PyDict_CheckExact(locals.get())) return locals.release();
    PyObject* const names = code->co_localsplusnames;  // borrowed; the code object holds it
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    // Usually the order is already right: the keys are the code's own name objects, in order.
    Py_ssize_t pos = 0, j = 0;
    PyObject* key;    // borrowed
    PyObject* value;  // borrowed
    bool in_order = true;
    while (in_order && PyDict_Next(locals.get(), &pos, &key, &value)) {
        while (j < n && PyTuple_GET_ITEM(names, j) != key) ++j;
        in_order = j < n;
        ++j;
    }
    if (in_order) return locals.release();
    Owned ordered = Owned::steal(PyDict_New());
    if (!ordered) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);  // borrowed
        PyObject* found = PyDict_GetItemWithError(locals.get(), name);  // borrowed
        if (found == nullptr && PyErr_Occurred()) return nullptr;
        if (found != nullptr && PyDict_SetItem(ordered.get(), name, found) < 0) return nullptr;
    }
    // Names the program added to f_locals itself come last, as 3.13 puts them.
    pos = 0;
    while (PyDict_Next(locals.get(), &pos, &key, &value)) {
        if (PyDict_SetDefault(ordered.get(), key, value) == nullptr) return nullptr;
    }
    return ordered.release();
}

}  // namespace
#endif

PyObject* frame_locals(PyFrameObject* frame) {
#if defined(JARN_CPYTHON_3_12)
    // The frame's own f_locals dict, brought up to date from the fast locals.
    Owned locals = Owned::steal(PyFrame_GetLocals(frame));
    if (!locals) return nullptr;
    Owned code = Owned::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    return in_declaration_order(reinterpret_cast<PyCodeObject*>(code.get()), std::move(locals));
#else
    // Since 3.13 a function frame's f_locals is a write-through proxy of the fast locals
    // (PEP 667), not a dict; PyEval_GetFrameLocals copies it, but only for the running frame.
    // Other frames give their namespace mapping itself, as on 3.12.
    Owned locals = Owned::steal(PyFrame_GetLocals(frame));
    if (!locals || !PyFrameLocalsProxy_Check(locals.get())) return locals.release();
    Owned copy = Owned::steal(PyDict_New());
    if (!copy || PyDict_Update(copy.get(), locals.get()) < 0) return nullptr;
    return copy.release();
#endif
}

}  // namespace jarn::compat
