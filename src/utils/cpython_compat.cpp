// Version-specific code; see cpython_compat.hpp.
#include "cpython_compat.hpp"

#include "owned.hpp"

#define Py_BUILD_CORE 1
#include "internal/pycore_code.h"
#include "internal/pycore_frame.h"
#include "opcode.h"

namespace jarn::compat {
namespace {

// What the interpreter frame looks like differs: 3.12 names its code object and the last
// instruction it ran; 3.13 names its "executable" (the code object, for every frame that has a
// frame object) and the instruction it runs next, and the thread state holds the innermost frame
// itself instead of through a C frame record.
#if defined(JARN_CPYTHON_3_12)
PyCodeObject* code_of_frame(_PyInterpreterFrame* frame) { return frame->f_code; }
bool has_run(const _PyInterpreterFrame* frame, const _Py_CODEUNIT* at) { return at <= frame->prev_instr; }
// The instruction _PyInterpreterFrame_LASTI counts to (one before the first while none has run).
const _Py_CODEUNIT* frame_instruction_at(const _PyInterpreterFrame* frame) { return frame->prev_instr; }
#else
PyCodeObject* code_of_frame(_PyInterpreterFrame* frame) { return reinterpret_cast<PyCodeObject*>(frame->f_executable); }
bool has_run(const _PyInterpreterFrame* frame, const _Py_CODEUNIT* at) { return at < frame->instr_ptr; }
const _Py_CODEUNIT* frame_instruction_at(const _PyInterpreterFrame* frame) { return frame->instr_ptr; }
#endif

// Whether a trace function has set the frame's line itself (f_lineno), which then holds until
// the frame moves on; only a frame with a frame object can have had it set.
bool line_set_by_trace(const _PyInterpreterFrame* frame) {
    return frame->frame_obj != nullptr && frame->frame_obj->f_lineno != 0;
}

// Whether MAKE_CELL has turned slot `index` into its cell yet. It runs in the code's prologue,
// before RESUME, so only the prologue is looked at.
bool cell_made(_PyInterpreterFrame* frame, int index) {
    const _Py_CODEUNIT* code = _PyCode_CODE(code_of_frame(frame));
    int oparg = 0;
    for (const _Py_CODEUNIT* at = code; has_run(frame, at); ++at) {
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

bool attribute_stores_reach_dict_watchers() {
#if defined(JARN_CPYTHON_3_12)
    return true;
#else
    return false;
#endif
}

PyThreadState* running_thread_state() {
#if defined(JARN_CPYTHON_3_12)
    return _PyThreadState_UncheckedGet();
#else
    return PyThreadState_GetUnchecked();
#endif
}
namespace frame_detail {
static_assert(offsetof(_PyInterpreterFrame, owner) == kOwnerAt && sizeof(_PyInterpreterFrame::owner) == 1);
static_assert(offsetof(_PyInterpreterFrame, previous) == sizeof(void*));
static_assert(FRAME_OWNED_BY_GENERATOR == kOwnedByGenerator && FRAME_OWNED_BY_CSTACK == kOwnedByCStack);
static_assert(sizeof(_Py_CODEUNIT) == kCodeUnitSize);
#if defined(JARN_CPYTHON_3_12)
static_assert(offsetof(_PyInterpreterFrame, f_code) == kCodeAt);
static_assert(offsetof(_PyInterpreterFrame, prev_instr) == kInstructionAt);
#else
static_assert(offsetof(_PyInterpreterFrame, f_executable) == kCodeAt);
static_assert(offsetof(_PyInterpreterFrame, instr_ptr) == kInstructionAt);
#endif

InterpreterFrame* first_complete_below(const InterpreterFrame* frame) { return _PyFrame_GetFirstComplete(frame->previous); }
}  // namespace frame_detail

InterpreterFrame* interpreter_frame(PyFrameObject* frame) { return frame->f_frame; }

PyFrameObject* frame_object(InterpreterFrame* frame) {
    if (frame->frame_obj != nullptr) return frame->frame_obj;
    // The interpreter's maker of frame objects is not exported; PyEval_GetFrame makes the
    // current frame's.
    if (frame == current_python_frame(PyThreadState_Get())) {
        if (PyFrameObject* made = PyEval_GetFrame()) return made;
        if (PyErr_Occurred()) return nullptr;
    }
    PyErr_SetString(PyExc_SystemError, "a frame object is made only for the running frame");
    return nullptr;
}

PyCodeObject* code_of(InterpreterFrame* frame) { return code_of_frame(frame); }

PyObject* globals_of(InterpreterFrame* frame) { return frame->f_globals; }

int instruction_index(InterpreterFrame* frame) { return _PyInterpreterFrame_LASTI(frame); }

int step_at(InterpreterFrame* frame, bool is_return, int thrown_at) {
    const int lasti = _PyInterpreterFrame_LASTI(frame);
    if (lasti < 0) return 0;
    const _Py_CODEUNIT at = _PyCode_CODE(code_of_frame(frame))[lasti];
    const int op = at.op.code;
    if (op == INSTRUMENTED_LINE || op == INSTRUMENTED_INSTRUCTION) return 0;
    if (!is_return) {
#if defined(JARN_CPYTHON_3_13)
        const bool resume = op == RESUME || op == INSTRUMENTED_RESUME || op == RESUME_CHECK;
#else
        const bool resume = op == RESUME || op == INSTRUMENTED_RESUME;
#endif
        // RESUME's argument says where: 0 at the start, otherwise after a yield or an await.
        if (resume) return (at.op.arg & 3) == 0 ? 1 : 2;
        return 3;
    }
    if (op == YIELD_VALUE || op == INSTRUMENTED_YIELD_VALUE) return lasti == thrown_at ? 6 : 4;
#if defined(JARN_CPYTHON_3_13)
    // 3.13 reports a yield with the frame already at the instruction after it.
    if ((op == RESUME || op == INSTRUMENTED_RESUME || op == RESUME_CHECK) && lasti > 0) {
        const int before = _PyCode_CODE(code_of_frame(frame))[lasti - 1].op.code;
        if (before == YIELD_VALUE || before == INSTRUMENTED_YIELD_VALUE) return lasti == thrown_at ? 6 : 4;
    }
#endif
    if (op == RETURN_VALUE || op == RETURN_CONST || op == INSTRUMENTED_RETURN_VALUE || op == INSTRUMENTED_RETURN_CONST) {
        return 5;
    }
    return 6;
}

bool frame_place(InterpreterFrame* frame, PyCodeObject*& code, int& offset) {
    if (line_set_by_trace(frame)) [[unlikely]] return false;
    code = code_of_frame(frame);
    // What PyFrame_GetLasti would give, in bytes straight from the addresses: the interpreter's
    // count of code units would only be doubled again.
    offset = int(reinterpret_cast<const char*>(frame_instruction_at(frame)) -
                 reinterpret_cast<const char*>(_PyCode_CODE(code)));
    return offset >= 0;
}

const void* frame_instruction(InterpreterFrame* frame) {
    return line_set_by_trace(frame) ? nullptr : frame_instruction_at(frame);
}

int line_number(InterpreterFrame* frame) {
    if (line_set_by_trace(frame)) return frame->frame_obj->f_lineno;
    return PyCode_Addr2Line(code_of_frame(frame), _PyInterpreterFrame_LASTI(frame) * int(sizeof(_Py_CODEUNIT)));
}

bool is_below(InterpreterFrame* frame, const InterpreterFrame* outer) {
    for (_PyInterpreterFrame* f = frame->previous; f != nullptr; f = f->previous) {
        if (f == outer) return true;
    }
    return false;
}

FrameVariables::FrameVariables(InterpreterFrame* frame, OfFunction) : frame_(frame), slots_(frame->localsplus) {
    // A cleared frame has no variables left (a running one has -1 here: no saved stack top).
    count_ = frame->stacktop != 0 ? code_of_frame(frame)->co_nlocalsplus : 0;
}

FrameVariables::FrameVariables(InterpreterFrame* frame) : FrameVariables(frame, OfFunction{}) {
    if (!(code_of_frame(frame)->co_flags & CO_OPTIMIZED)) {
        // Module, class body or exec'd code: their real namespace is the locals.
        mapping_ = frame->f_locals;
        count_ = 0;
    }
}

PyObject* FrameVariables::closure_value(int i) const {
    _PyInterpreterFrame* f = frame_;
    PyCodeObject* code = code_of_frame(f);
    const _PyLocals_Kind kind = _PyLocals_GetKind(code->co_localspluskinds, i);
    PyObject* v = f->localsplus[i];  // borrowed
    if (kind & CO_FAST_FREE) {
        if (v == nullptr && f->f_funcobj != nullptr && !has_run(f, _PyCode_CODE(code))) {
            // Not yet copied from the closure by COPY_FREE_VARS.
            PyObject* closure = reinterpret_cast<PyFunctionObject*>(f->f_funcobj)->func_closure;
            const int first_free = code->co_nlocalsplus - code->co_nfreevars;
            if (closure != nullptr && i - first_free < PyTuple_GET_SIZE(closure)) {
                v = PyTuple_GET_ITEM(closure, i - first_free);
            }
        }
        if (v != nullptr && PyCell_Check(v)) v = PyCell_GET(v);
    } else if (v != nullptr && PyCell_Check(v) && cell_made(f, i)) {
        v = PyCell_GET(v);
    }
    return v;
}

bool FrameVariables::next(PyObject*& name, PyObject*& value) {
    _PyInterpreterFrame* f = frame_;
    PyCodeObject* code = code_of_frame(f);
    for (;;) {
        if (index_ >= count_) {
            if (pass_ != first_with_hidden) return false;
            pass_ = hidden;
            index_ = 0;
        }
        const int i = index_++;
        const _PyLocals_Kind kind = _PyLocals_GetKind(code->co_localspluskinds, i);
        if (bool(kind & CO_FAST_HIDDEN) != (pass_ == hidden)) {
            if (pass_ == first) pass_ = first_with_hidden;  // a hidden one, for the second pass
            continue;
        }
        PyObject* v = kind & (CO_FAST_CELL | CO_FAST_FREE) ? closure_value(i) : f->localsplus[i];  // borrowed
        if (v == nullptr) continue;
        name = PyTuple_GET_ITEM(code->co_localsplusnames, i);
        value = v;
        return true;
    }
}

SlotKind slot_kind(PyCodeObject* code, int i) {
    const _PyLocals_Kind kind = _PyLocals_GetKind(code->co_localspluskinds, i);
    if (kind & CO_FAST_HIDDEN) return SlotKind::hidden;
    return kind & (CO_FAST_CELL | CO_FAST_FREE) ? SlotKind::closure : SlotKind::value;
}

int variable_count(PyCodeObject* code) { return code->co_nlocalsplus; }

PyObject* variable_name(PyCodeObject* code, int i) { return PyTuple_GET_ITEM(code->co_localsplusnames, i); }

PyCodeObject* caller_code(InterpreterFrame* frame) {
    _PyInterpreterFrame* caller = frame->frame_obj != nullptr && frame->frame_obj->f_back != nullptr
                                      ? frame->frame_obj->f_back->f_frame
                                      : _PyFrame_GetFirstComplete(frame->previous);
    if (caller == nullptr) return nullptr;
    PyCodeObject* code = code_of_frame(caller);
    return PyCode_Check(code) ? code : nullptr;
}

}  // namespace jarn::compat

namespace jarn::compat {

bool free_monitoring_tool(PyObject* monitoring, int tool_id) {
    Owned result = Owned::steal(PyObject_CallMethod(monitoring, "free_tool_id", "i", tool_id));
    return bool(result);
}

}  // namespace jarn::compat
