// Version-specific code; see cpython_compat.hpp.
#include "cpython_compat.hpp"

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

PyObject* frame_locals(PyFrameObject* frame) {
#if defined(JARN_CPYTHON_3_12)
    // The frame's own f_locals dict, brought up to date from the fast locals.
    return PyFrame_GetLocals(frame);
#else
    // Since 3.13 a function frame's f_locals is a write-through proxy of the fast locals
    // (PEP 667), not a dict; PyEval_GetFrameLocals copies it, but only for the running frame.
    Owned locals = Owned::steal(PyFrame_GetLocals(frame));
    if (!locals || PyDict_Check(locals.get())) return locals.release();
    Owned copy = Owned::steal(PyDict_New());
    if (!copy || PyDict_Update(copy.get(), locals.get()) < 0) return nullptr;
    return copy.release();
#endif
}

}  // namespace jarn::compat
