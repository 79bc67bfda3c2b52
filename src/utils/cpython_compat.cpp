// Version-specific code; see cpython_compat.hpp.
#include "cpython_compat.hpp"

#include "owned.hpp"

#define Py_BUILD_CORE 1
#include "internal/pycore_code.h"
#include "internal/pycore_frame.h"
#include "opcode.h"

namespace jarn::compat {
namespace {

_PyInterpreterFrame* interpreter_frame(void* p) { return static_cast<_PyInterpreterFrame*>(p); }

// Whether MAKE_CELL has turned slot `index` into its cell yet. It runs in the code's prologue,
// before RESUME, so only the prologue is looked at.
bool cell_made(_PyInterpreterFrame* frame, int index) {
    const _Py_CODEUNIT* code = _PyCode_CODE(frame->f_code);
    int oparg = 0;
    for (const _Py_CODEUNIT* at = code; at <= frame->prev_instr; ++at) {
        const int op = at->op.code;
        oparg |= at->op.arg;
        if (op == MAKE_CELL && oparg == index) return true;
        if (op == EXTENDED_ARG) {
            oparg <<= 8;
            continue;
        }
        if (op != MAKE_CELL && op != COPY_FREE_VARS) return false;
        oparg = 0;
    }
    return false;
}

}  // namespace

bool interpreter_is_finalizing() { return _Py_IsFinalizing(); }

FrameVariables::FrameVariables(PyFrameObject* frame) : frame_(frame->f_frame) {
    _PyInterpreterFrame* f = interpreter_frame(frame_);
    PyCodeObject* code = f->f_code;
    if (!(code->co_flags & CO_OPTIMIZED)) {
        // Module, class body or exec'd code: their real namespace is the locals.
        mapping_ = f->f_locals;
        return;
    }
    // A cleared frame has no variables left (a running one has -1 here: no saved stack top).
    count_ = f->stacktop != 0 ? code->co_nlocalsplus : 0;
    started_ = _PyInterpreterFrame_LASTI(f) >= 0;
}

bool FrameVariables::next(PyObject*& name, PyObject*& value) {
    _PyInterpreterFrame* f = interpreter_frame(frame_);
    PyCodeObject* code = f->f_code;
    for (;;) {
        if (index_ >= count_) {
            if (hidden_pass_ || count_ == 0) return false;
            hidden_pass_ = true;
            index_ = 0;
        }
        const int i = index_++;
        const _PyLocals_Kind kind = _PyLocals_GetKind(code->co_localspluskinds, i);
        if (bool(kind & CO_FAST_HIDDEN) != hidden_pass_) continue;
        PyObject* v = f->localsplus[i];  // borrowed
        if (kind & CO_FAST_FREE) {
            if (v == nullptr && !started_ && f->f_funcobj != nullptr) {
                // Not yet copied from the closure by COPY_FREE_VARS.
                PyObject* closure = reinterpret_cast<PyFunctionObject*>(f->f_funcobj)->func_closure;
                const int first_free = code->co_nlocalsplus - code->co_nfreevars;
                if (closure != nullptr && i - first_free < PyTuple_GET_SIZE(closure)) {
                    v = PyTuple_GET_ITEM(closure, i - first_free);
                }
            }
            if (v != nullptr && PyCell_Check(v)) v = PyCell_GET(v);
        } else if ((kind & CO_FAST_CELL) && v != nullptr && PyCell_Check(v) && cell_made(f, i)) {
            v = PyCell_GET(v);
        }
        if (v == nullptr) continue;
        name = PyTuple_GET_ITEM(code->co_localsplusnames, i);
        value = v;
        return true;
    }
}

PyFrameObject* current_frame_if_made(PyThreadState* tstate) {
    _PyInterpreterFrame* f = tstate->cframe != nullptr ? tstate->cframe->current_frame : nullptr;
    while (f != nullptr && f->owner == FRAME_OWNED_BY_CSTACK) f = f->previous;
    return f != nullptr ? f->frame_obj : nullptr;
}

}  // namespace jarn::compat

namespace jarn::compat {

bool free_monitoring_tool(PyObject* monitoring, int tool_id) {
    Owned result = Owned::steal(PyObject_CallMethod(monitoring, "free_tool_id", "i", tool_id));
    return bool(result);
}

}  // namespace jarn::compat
