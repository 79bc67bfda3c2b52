// Everything that differs between the CPython versions jarn supports lives in this unit and its
// two .cpp files (cpython_compat_objects.cpp reads the interpreter's runtime state and objects'
// storage, which needs the internal headers included before Python.h): interpreter internals
// read where the public API cannot do the job, and functions that were renamed or added between
// versions. No other file tests PY_VERSION_HEX; supporting a
// further version means one more branch of the check below and of the small accessors at the top
// of the .cpp.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
#define JARN_CPYTHON_3_12 1
#elif PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
#define JARN_CPYTHON_3_13 1
#else
#error "jarn is built for CPython 3.12 and 3.13"
#endif
#ifdef Py_GIL_DISABLED
// The per-thread state and the record buffers rely on the interpreter lock.
#error "jarn needs a CPython with the global interpreter lock"
#endif

namespace jarn::compat {

// True while the interpreter is shutting down (modules are being torn down).
bool interpreter_is_finalizing();

// Whether setting an attribute of an ordinary object reaches the dict watchers of its __dict__.
// On 3.13 an object may keep its attributes inline, beside a materialised __dict__, and a store
// into them is not seen by the watchers, so a cache of an object's attribute must read it again.
bool attribute_stores_reach_dict_watchers();

// The interpreter's own record of a running Python frame, what a frame object is made from.
// Events are handled from it: PyEval_GetFrame would make a frame object for every recorded call,
// which then has to be freed when the frame ends, and costs more than the rest of the
// interpreter's share of an event.
using InterpreterFrame = struct ::_PyInterpreterFrame;

// The running thread's state, where the interpreter lock is known to be held (an event's
// callback): PyThreadState_Get without its check for none, which 3.12 names privately.
PyThreadState* running_thread_state();

namespace frame_detail {
// Where an interpreter frame keeps what finding the running Python frame reads: its code object,
// the instruction it is at, and who owns it (the same places on every supported version, and
// checked against the interpreter's own headers in cpython_compat.cpp). Read as bytes: the frame's
// type is known only to the interpreter's internal headers, which no other unit may include.
inline constexpr std::size_t kCodeAt = 0;
inline constexpr std::size_t kInstructionAt = 7 * sizeof(void*);
inline constexpr std::size_t kOwnerAt = 8 * sizeof(void*) + sizeof(int) + sizeof(std::uint16_t);
inline constexpr char kOwnedByGenerator = 1;
inline constexpr char kOwnedByCStack = 3;
inline constexpr std::size_t kCodeUnitSize = 2;

template <class T>
T field_at(const InterpreterFrame* frame, std::size_t at) {
    T value;
    std::memcpy(&value, reinterpret_cast<const char*>(frame) + at, sizeof value);
    return value;
}

// _PyFrame_IsIncomplete: a frame that has not run its prologue yet (or the C stack's entry
// frame, which 3.13 puts on the stack of frames) is not one PyEval_GetFrame gives.
inline bool is_incomplete(const InterpreterFrame* frame) {
    const char owner = field_at<char>(frame, kOwnerAt);
#if defined(JARN_CPYTHON_3_13)
    if (owner == kOwnedByCStack) return true;
#endif
    if (owner == kOwnedByGenerator) return false;
    const auto* code = field_at<const PyCodeObject*>(frame, kCodeAt);
    const char* first_traceable = code->co_code_adaptive + std::size_t(code->_co_firsttraceable) * kCodeUnitSize;
    return field_at<const char*>(frame, kInstructionAt) < first_traceable;
}

// The first complete frame below `frame`, or null: the rare case, out of line.
InterpreterFrame* first_complete_below(const InterpreterFrame* frame);
}  // namespace frame_detail

// The frame PyEval_GetFrame would give, without making its frame object; null when none. Inline:
// it is on the path of every event.
inline InterpreterFrame* current_python_frame(PyThreadState* tstate) {
#if defined(JARN_CPYTHON_3_12)
    InterpreterFrame* frame = tstate->cframe != nullptr ? tstate->cframe->current_frame : nullptr;
#else
    InterpreterFrame* frame = tstate->current_frame;
#endif
    if (frame == nullptr || !frame_detail::is_incomplete(frame)) return frame;
    return frame_detail::first_complete_below(frame);
}
InterpreterFrame* interpreter_frame(PyFrameObject* frame);
// The frame object of the current thread's innermost frame `frame`, made if need be; borrowed.
// Null with the exception set when `frame` is not that frame.
PyFrameObject* frame_object(InterpreterFrame* frame);
PyCodeObject* code_of(InterpreterFrame* frame);
PyObject* globals_of(InterpreterFrame* frame);
// What PyFrame_GetLineNumber would give for its frame object.
int line_number(InterpreterFrame* frame);
// Where the frame is, for a cache of lines: its code object and instruction offset (as
// PyFrame_GetLasti gives it, never negative). False when a trace function has set the frame's
// line itself (f_lineno, a debugger's jump), which only line_number() then gives, and before the
// frame has run its first instruction (3.12 has no offset for it then).
bool frame_place(InterpreterFrame* frame, PyCodeObject*& code, int& offset);
// The same place as a key for a cache of places in the frame's code, found with a single read of
// the frame: the address of its instruction, unique to that place while the code object lives;
// null when a trace function has set the frame's line. Meaningful only where frame_place is true.
const void* frame_instruction(InterpreterFrame* frame);
// Whether `outer` is one of the frames below `frame` on its thread's stack. A frame that has
// ended is never below a running one, so this tells whether `outer` may still be read.
bool is_below(InterpreterFrame* frame, const InterpreterFrame* outer);

// A frame's variables, read where the interpreter keeps them. The public way, f_locals or
// PyFrame_GetLocals, copies them into a dict that stays attached to the frame on 3.12 and keeps
// every value in it alive until the frame dies or the dict is refreshed: an argument rebound or a
// local deleted later would stay alive under the profiler. On 3.13 it is a proxy object
// (PEP 667) that would have to be copied into a dict at every event. Reading the fast locals in
// place attaches nothing and allocates nothing, and gives the same variables in the same order
// on both versions.
class FrameVariables {
public:
    explicit FrameVariables(InterpreterFrame* frame);  // borrowed; must outlive this reader
    // For a frame whose code is known to be a function's (CO_OPTIMIZED): no mapping to look for.
    struct OfFunction {};
    FrameVariables(InterpreterFrame* frame, OfFunction);

    // The frame's own locals mapping (module level, class bodies, code run by exec with separate
    // locals), borrowed; null for a function frame, whose variables are read with next().
    PyObject* mapping() const { return mapping_; }

    // The next bound variable in the interpreter's order (that of f_locals), both borrowed: first
    // the frame's ordinary variables, then those of a comprehension running inline in it.
    // False at the end. Unbound variables are skipped.
    bool next(PyObject*& name, PyObject*& value);

    // The same variables read slot by slot, for a reader that keeps what it needs of the code
    // object (slot_kind) instead of looking at every slot's kind at every event: slots() are the
    // frame's count() variable slots in place, in the code's order (none for a cleared frame).
    // A slot of kind `value` holds its variable's value, or null when unbound; a `closure` slot
    // is read with closure_value; variables in `hidden` slots come after all others.
    PyCodeObject* code() const { return code_of(frame_); }
    PyObject* const* slots() const { return slots_; }
    int count() const { return count_; }
    // The value of the variable in closure slot i, borrowed; null when unbound.
    PyObject* closure_value(int i) const;

private:
    // Which of next()'s passes runs: the ordinary variables' (noting whether there are hidden
    // ones, only then is there a second), or the hidden ones'.
    enum Pass : int { first, first_with_hidden, hidden };

    // Made at every recorded event: the fields are few (the code object is the frame's, read
    // again where needed), each written once, and the two that start at 0 together side by side.
    InterpreterFrame* frame_;
    PyObject* const* slots_;
    PyObject* mapping_ = nullptr;
    int index_ = 0;
    Pass pass_ = first;
    int count_;  // set by the constructor on every path
};

// How a code object keeps variable i in a frame's slots (see FrameVariables::slots).
enum class SlotKind : unsigned char { value, closure, hidden };
SlotKind slot_kind(PyCodeObject* code, int i);

// The code object's extra slot `index` as PyUnstable_Code_GetExtra gives it, null when unset,
// read in place: it is on the path of every event, and the function costs a call and checks.
// The slots' layout (_PyCodeObjectExtra) is the same on every supported version.
inline void* code_extra(PyCodeObject* code, Py_ssize_t index) {
    struct Extra {
        Py_ssize_t size;
        void* extras[1];
    };
    const auto* extra = static_cast<const Extra*>(code->co_extra);
    // The index is never negative once the slot is requested (code_info.hpp), before any read.
    return extra != nullptr && std::size_t(index) < std::size_t(extra->size) ? extra->extras[index] : nullptr;
}

// Whether an int is one of 1 to 127 (a MessagePack positive fixint) held as one positive digit,
// the commonest int of all; one_digit_fixint_value is then its value. 0, and an int with the
// tag's reserved bit set, are not, and neither is any other int: the headers' own compact-value
// functions tell their values. Read from the int's tag and first digit as those functions read
// them (the same layout on every supported version), without their multiplication by the sign.
inline bool is_one_digit_fixint(PyLongObject* v) {
    return v->long_value.lv_tag == (std::uintptr_t(1) << _PyLong_NON_SIZE_BITS) && v->long_value.ob_digit[0] < 128;
}
inline unsigned one_digit_fixint_value(PyLongObject* v) { return v->long_value.ob_digit[0]; }

// A code object's variables: how many slots, and the name of slot i, borrowed.
int variable_count(PyCodeObject* code);
PyObject* variable_name(PyCodeObject* code, int i);

// Whether the code is a generator's, a coroutine's or an async generator's: its frames run in
// steps.
inline bool runs_in_steps(PyCodeObject* code) {
    return (code->co_flags & (CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR)) != 0;
}
// For a frame of such code, at a profile-hook event: what the instruction it is at says of the
// step. At a call: 1 its first start, 2 a resumption, 3 an exception thrown into it; at a
// return: 4 a suspension (yield, await), 5 its final return, 6 left by an exception; 0 when the
// instruction cannot tell (another tool has instrumented it). An exception thrown in at a yield
// and not caught leaves from that yield: `thrown_at`, the instruction of the frame's last step
// if that was a throw (else -1), tells it from a yield there.
int step_at(InterpreterFrame* frame, bool is_return, int thrown_at);
// The index of the instruction the frame is at.
int instruction_index(InterpreterFrame* frame);

// The code object of the frame that called `frame` (the one PyFrame_GetBack would give),
// borrowed, or null when there is none.
PyCodeObject* caller_code(InterpreterFrame* frame);

}  // namespace jarn::compat

namespace jarn::compat {

// Frees a sys.monitoring tool id whose events and callbacks are already cleared. CPython 3.12's
// free_tool_id leaves a tool's callbacks and events in place (3.13 clears them and adds
// clear_tool_id), so the caller clears them itself first on every version.
bool free_monitoring_tool(PyObject* monitoring, int tool_id);

}  // namespace jarn::compat

namespace jarn::compat {

// An object's own attributes, those its __dict__ holds, read where the interpreter keeps them
// and in the order __dict__ lists them. Reading obj.__dict__ (PyObject_GenericGetDict) would make
// a dict for an object that keeps its attributes inline, as most instances of Python classes do,
// and the interpreter reads that object's attributes more slowly from then on; this changes
// nothing and runs no Python code. An object whose dict sits at a computed offset (a subclass of
// a variable-sized C type without a managed dict) has none to read here.
class InstanceAttributes {
public:
    explicit InstanceAttributes(PyObject* obj);  // borrowed; must outlive this reader
    // The next attribute, both borrowed; false at the end. Only str names are given.
    bool next(PyObject*& name, PyObject*& value);

private:
    friend int read_instance_attributes(PyObject* obj, PyObject** names, PyObject** values, int* keys, int room);
    PyObject* dict_ = nullptr;  // borrowed
    Py_ssize_t pos_ = 0;
    PyObject* const* values_ = nullptr;  // inline values, indexed by shared key
    const unsigned char* order_ = nullptr;
    int order_step_ = 1;
    int size_ = 0;
    int index_ = 0;
    const void* keys_ = nullptr;  // the entries of the type's shared keys
};

// Up to `room` of the object's own attributes at once, as InstanceAttributes reads them, into
// `names` and `values` (borrowed), and into `keys` the index of each name among its type's
// shared keys (-1 when the object has a dict of its own); the number read, or -1 when it holds
// more than `room`.
int read_instance_attributes(PyObject* obj, PyObject** names, PyObject** values, int* keys, int room);

// While one is alive on the main thread, the interpreter handles no signal: a Ctrl-C, an
// interrupt_main() or a signal with a Python handler that arrives meanwhile waits, and is handled
// at the program's next check for signals once the last one has gone. jarn holds signals off
// while it runs the program's code (a __repr__, a plugin) in an event, so that whatever that code
// raises is its own doing, and an interrupt sent meanwhile reaches the program once the event's
// records are complete instead of cutting one short. There is no API for this: the interpreter
// handles signals only on the thread it records as the main one, so meanwhile it records none.
// Nests; on other threads (which never handle signals) it does nothing.
class DeferredSignals {
public:
    DeferredSignals();
    ~DeferredSignals();
    DeferredSignals(const DeferredSignals&) = delete;
    DeferredSignals& operator=(const DeferredSignals&) = delete;

private:
    bool active_ = false;
};

}  // namespace jarn::compat
