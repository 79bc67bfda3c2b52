// Calls that end by an exception. The profile hook reports such a return with None, like a
// function returning None, so the interpreter's monitoring is asked as well: a tool of our own
// hears an exception raised in (or passing through) a recorded frame, a handler taking it, and
// the frame being left by it. These events come only when an exception is raised, so a program
// that raises none pays nothing for them.
#include "exceptions.hpp"

#include "../utils/internal_error.hpp"
#include "../utils/cpython_compat.hpp"
#include "../utils/host_serialize.hpp"
#include "callback.hpp"
#include "event.hpp"

namespace jarn {
namespace {

constexpr int kNoTool = -1;
int tool_id = kNoTool;
std::size_t tool_users = 0;  // live profilers that asked for the tool; guarded by the interpreter lock
bool warned_no_tool = false;

// The profiler installed on the calling thread, or null: monitoring is process-wide, profiling
// is per thread.
ProfilerObject* profiler_of(PyThreadState* tstate) {
    if (tstate->c_profilefunc != profile_callback || tstate->c_profileobj == nullptr) return nullptr;
    if (!is_profiler(tstate->c_profileobj)) return nullptr;
    auto* self = reinterpret_cast<ProfilerObject*>(tstate->c_profileobj);
    return self->state != nullptr ? self : nullptr;
}

enum class Happening { raised, handled, left };

// One callback for the three kinds; never raises, whatever happens.
PyObject* on_exception(Happening what, PyObject* const* args, Py_ssize_t nargs) {
    PyThreadState* tstate = PyThreadState_Get();
    ProfilerObject* self = profiler_of(tstate);
    if (self == nullptr || nargs < 3) Py_RETURN_NONE;
    ThreadState& ts = self->state->thread_state();
    compat::InterpreterFrame* frame = compat::current_python_frame(tstate);  // borrowed
    if (frame == nullptr) Py_RETURN_NONE;
    switch (what) {
        case Happening::raised:
            // Only the innermost recorded frame can be the one that is left next.
            if (!ts.call_frames.empty() && ts.call_frames.back().frame == frame) {
                ts.raising_frame = frame;
                ts.raising_exception = Owned::borrow(args[2]);
            }
            break;
        case Happening::handled:
        case Happening::left:
            if (ts.raising_frame == frame) ts.clear_raising();
            break;
    }
    Py_RETURN_NONE;
}

PyObject* on_raise(PyObject*, PyObject* const* args, Py_ssize_t nargs) { return on_exception(Happening::raised, args, nargs); }
PyObject* on_handled(PyObject*, PyObject* const* args, Py_ssize_t nargs) { return on_exception(Happening::handled, args, nargs); }
PyObject* on_unwind(PyObject*, PyObject* const* args, Py_ssize_t nargs) { return on_exception(Happening::left, args, nargs); }

PyMethodDef raise_def = {"jarn_raise", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_raise)), METH_FASTCALL, nullptr};
PyMethodDef handled_def = {"jarn_handled", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_handled)), METH_FASTCALL, nullptr};
PyMethodDef unwind_def = {"jarn_unwind", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_unwind)), METH_FASTCALL, nullptr};

struct Subscription {
    const char* event;
    PyMethodDef* callback;
};
// RERAISE is the end of a finally block or a with statement passing the exception on.
const Subscription subscriptions[] = {
    {"RAISE", &raise_def}, {"RERAISE", &raise_def}, {"EXCEPTION_HANDLED", &handled_def}, {"PY_UNWIND", &unwind_def}};

Owned monitoring_module() {
    Owned sys = Owned::steal(PyImport_ImportModule("sys"));
    if (!sys) return Owned();
    return Owned::steal(PyObject_GetAttrString(sys.get(), "monitoring"));
}

// Registers (callbacks given) or removes (none) our callbacks on `id`; false with the exception set.
bool set_callbacks(PyObject* monitoring, int id, bool install) {
    Owned events = Owned::steal(PyObject_GetAttrString(monitoring, "events"));
    if (!events) return false;
    long mask = 0;
    for (const Subscription& s : subscriptions) {
        Owned event = Owned::steal(PyObject_GetAttrString(events.get(), s.event));
        if (!event) return false;
        const long bit = PyLong_AsLong(event.get());
        if (bit == -1 && PyErr_Occurred()) return false;
        mask |= bit;
        Owned callback = install ? Owned::steal(PyCFunction_New(s.callback, nullptr)) : Owned::borrow(Py_None);
        if (!callback) return false;
        Owned previous = Owned::steal(
            PyObject_CallMethod(monitoring, "register_callback", "iOO", id, event.get(), callback.get()));
        if (!previous) return false;
    }
    Owned done = Owned::steal(PyObject_CallMethod(monitoring, "set_events", "il", id, install ? mask : 0L));
    return bool(done);
}

// A free tool id (the profiler's own first), or kNoTool; false with the exception set.
bool claim_tool_id(PyObject* monitoring, int& out) {
    // 0-5 are for tools; 6 and 7 carry sys.setprofile and sys.settrace. The profiler's own id
    // (2) is left to the monitoring engine as long as another is free.
    for (const int id : {3, 4, 5, 2, 1, 0}) {
        Owned done = Owned::steal(PyObject_CallMethod(monitoring, "use_tool_id", "is", id, "jarn"));
        if (done) {
            out = id;
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyErr_Clear();
    }
    out = kNoTool;
    return true;
}

bool install(PyObject* monitoring) {
    int id;
    if (!claim_tool_id(monitoring, id)) return false;
    if (id == kNoTool) {
        if (!warned_no_tool) {
            warned_no_tool = true;
            if (PyErr_WarnEx(PyExc_RuntimeWarning,
                             "jarn: every sys.monitoring tool id is taken, so calls that end by an exception "
                             "are recorded like calls returning None",
                             1) < 0) {
                PyErr_Clear();  // warnings turned into errors: the profile still runs
            }
        }
        return true;
    }
    if (!set_callbacks(monitoring, id, true)) {
        PyObject* exc = PyErr_GetRaisedException();
        Owned freed = Owned::steal(PyObject_CallMethod(monitoring, "free_tool_id", "i", id));
        PyErr_SetRaisedException(exc);
        return false;
    }
    tool_id = id;
    return true;
}

void uninstall() {
    const int id = tool_id;
    tool_id = kNoTool;
    Owned monitoring = monitoring_module();
    if (!monitoring) return;
    if (!set_callbacks(monitoring.get(), id, false)) PyErr_Clear();
    Owned freed = Owned::steal(PyObject_CallMethod(monitoring.get(), "free_tool_id", "i", id));
}

}  // namespace

void ThreadState::clear_raising() {
    raising_frame = nullptr;
    Owned gone = std::move(raising_exception);
}

bool acquire_exception_tool() {
    if (tool_users++ > 0) return true;
    Owned monitoring = monitoring_module();
    if (!monitoring || !install(monitoring.get())) {
        tool_users = 0;
        return false;
    }
    return true;
}

void release_exception_tool() {
    if (tool_users == 0 || --tool_users > 0 || tool_id == kNoTool) return;
    if (compat::interpreter_is_finalizing()) return;
    PyObject* exc = PyErr_GetRaisedException();
    uninstall();
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

int exception_tool_id() { return tool_id; }

PyObject* take_raised_exception(ThreadState& ts, compat::InterpreterFrame* frame, PyObject* arg) {
    if (ts.raising_frame != frame) return nullptr;
    Owned exc = std::move(ts.raising_exception);
    ts.raising_frame = nullptr;
    // A frame left by an exception returns nothing; a value means it was handled after all.
    if (arg != Py_None || !exc) return nullptr;
    return failure_of(compat::code_of(frame), exc.get());
}

PyObject* failure_of(PyCodeObject* code, PyObject* exc) {
    // A generator or coroutine closed (GeneratorExit) or ended (StopIteration and its async
    // twin) did not fail.
    const int flags = code->co_flags;
    if ((flags & (CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR | CO_ITERABLE_COROUTINE)) &&
        (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit) ||
         PyErr_GivenExceptionMatches(exc, PyExc_StopIteration) ||
         PyErr_GivenExceptionMatches(exc, PyExc_StopAsyncIteration))) {
        return nullptr;
    }
    return Py_NewRef(exc);
}

bool build_exception_record(Event& ev, PyObject* exc, msgpack::Buffer& b) {
    const std::optional<double> now = timestamp_seconds();
    if (!now) {
        raise_internal_error("System time is before unix epoch");
        return false;
    }
    if (!event_thread(ev)) return false;
    records::write_exception_head(b, ev.start.id, *now, ev.thread->record_entries.view(), ev.start.has_site ? &ev.start.site : nullptr);
    const RecordValueBudget budget(ev.profiler.slow_repr_ns, ev.profiler.scrub, ev.profiler.scrub_argument.get());
    return dump_msgpack(exc, ev.profiler.values, b);
}

}  // namespace jarn
