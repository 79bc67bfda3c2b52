// The event engine on sys.monitoring. The interpreter calls one C-level callable per event kind
// with the code object, and asks whether to call again at that place: a code object that the
// filters drop and no plugin watches answers DISABLE once per location and never costs anything
// afterwards. What is done for an event that is wanted is shared with the profile function.
//
// The tool serves either one profiler (a whole program's, or a test run's) or the web requests of
// one origin (requests.hpp): the request whose code runs is then the one in the running context
// (a context variable, which follows a request into its tasks and into the worker threads that
// run its sync code in a copy of its context). Code that the origin drops is switched off for
// every thread at its first event; a thread with no request in progress records nothing.
#include "monitoring.hpp"

#include <structmember.h>

#include <cstddef>

#include "../utils/internal_error.hpp"
#include "../utils/cpython_compat.hpp"
#include "callback.hpp"
#include "plain_event.hpp"
#include "requests.hpp"

namespace jarn {
namespace {

// sys.monitoring.PROFILER_ID: the id the interpreter's documentation sets aside for profilers.
constexpr int kToolId = 2;
constexpr const char* kToolName = "jarn";

// What is installed, process-wide: the module accepts one interpreter only, and a tool id
// belongs to the interpreter. Never freed, so that nothing is released after finalisation.
struct Installed {
    Owned monitoring;  // the sys.monitoring namespace
    Owned disable;     // sys.monitoring.DISABLE
    Owned profiler;    // the JarnProfiler the callables deliver to, or the requests' origin
    Owned request_var;  // serving requests: the context variable holding the request in progress
    std::uint64_t thread_id = 0;
    bool all_threads = false;
};

// Made before the module is loaded, so that an event reads it with no guard of a local static,
// at an address fixed when the module is, and never destroyed.
union InstalledTool {
    Installed tool;
    constexpr InstalledTool() : tool() {}
    ~InstalledTool() {}
};
constinit InstalledTool installed_tool;
Installed& installed() { return installed_tool.tool; }

enum class Kind { call, call_no_disable, return_value, return_no_value };


// The callable the interpreter calls for one event kind, delivering to `profiler`. A type of its
// own rather than a built-in function: the interpreter calls its vectorcall slot directly, without
// the recursion check and thread-state lookup a built-in function's call makes around it.
struct EventCallable {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* profiler;  // strong
};

// An event whose code is not classified yet, or that a plugin watches, or a request's, or an
// unwinding frame's: everything on_event's common way leaves out. `arg` is the event's argument,
// `unwinding` the exception leaving the frame (PY_UNWIND), else null.
template <Kind kind, records::Step step>
[[gnu::noinline, gnu::cold]] PyObject* on_event_generally(ProfilerObject* profiler, PyCodeObject* code, PyObject* arg,
                                                         PyObject* unwinding) noexcept {
    constexpr bool is_return = kind == Kind::return_value || kind == Kind::return_no_value;
    constexpr bool may_disable = kind == Kind::call || kind == Kind::return_value;
    Installed& in = installed();
    auto* self = reinterpret_cast<PyObject*>(profiler);
    PyThreadState* tstate = compat::running_thread_state();
    compat::InterpreterFrame* frame = compat::current_python_frame(tstate);  // borrowed
    if (frame == nullptr) Py_RETURN_NONE;
    const CodeInfo* info = classified_code_info(profiler, code);
    const std::uintptr_t bits = info != nullptr ? info->bits : classify_code(profiler, code, frame, is_return);
    if (!code_wants_events(bits)) {
        if constexpr (may_disable) return Py_NewRef(in.disable.get());
        Py_RETURN_NONE;
    }
    if (in.request_var) {
        // The request in progress here, if any. Nothing is switched off for a request's sake
        // (not even past its trace's limit): the place may be another request's.
        PyObject* current = nullptr;
        if (PyContextVar_Get(in.request_var.get(), nullptr, &current) < 0) PyErr_Clear();
        Owned held = Owned::steal(current);
        ProfilerObject* request = open_request_of(current, self);
        if (request != nullptr) handle_profile_event(tstate, request, frame, code, is_return, arg, bits, unwinding, step);
        Py_RETURN_NONE;
    }
    // DISABLE would be for every thread: other threads are told nothing.
    if (!in.all_threads && tstate->id != in.thread_id) Py_RETURN_NONE;
    if (info == nullptr) info = classified_code_info(profiler, code);  // classified just now
    if (unwinding == nullptr && !(bits & kHasPluginsBit) && info != nullptr) {
        return record_plain_event(tstate, profiler, frame, arg, *info, EventWay{is_return, step, may_disable});
    }
    handle_profile_event(tstate, profiler, frame, code, is_return, arg, bits, unwinding, step);
    if constexpr (may_disable) {
        if (profiler->state->limit.reached() && !(bits & kHasPluginsBit)) return switch_off_past_limit(*profiler->state);
    }
    Py_RETURN_NONE;
}

// Returns None or DISABLE, never null: an exception here would reach the profiled program. The
// common event, of classified code that no plugin watches, is told from the rest before the one
// call made here (the thread state's), so that little is kept across it, and goes on with a jump
// to record_plain_event, which gives the answer.
template <Kind kind, records::Step step>
PyObject* on_event(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject*) noexcept {
    PyObject* self = reinterpret_cast<EventCallable*>(callable)->profiler;  // borrowed
    constexpr bool is_return = kind == Kind::return_value || kind == Kind::return_no_value;
    // PY_THROW and PY_UNWIND are not per location: the interpreter refuses DISABLE for them.
    constexpr bool may_disable = kind == Kind::call || kind == Kind::return_value;
    Installed& in = installed();
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // A callable of a replaced profiler may still be running an event; it records no more.
    if (self != in.profiler.get() || nargs < 2 || !PyCode_Check(args[0])) [[unlikely]] Py_RETURN_NONE;
    auto* profiler = reinterpret_cast<ProfilerObject*>(self);
    auto* code = reinterpret_cast<PyCodeObject*>(args[0]);  // borrowed from the interpreter
    PyObject* arg = (kind == Kind::return_value && nargs >= 3) ? args[2] : Py_None;
    const CodeInfo* info = classified_code_info(profiler, code);
    if (kind == Kind::return_no_value || info == nullptr || (info->bits & kHasPluginsBit) || in.request_var) [[unlikely]] {
        // PY_UNWIND names the exception leaving the frame: its record needs no exception tool.
        PyObject* unwinding = (kind == Kind::return_no_value && nargs >= 3) ? args[2] : nullptr;
        return on_event_generally<kind, step>(profiler, code, arg, unwinding);
    }
    if (!code_wants_events(info->bits)) {
        if constexpr (may_disable) return Py_NewRef(in.disable.get());
        Py_RETURN_NONE;
    }
    // The event's frame: the callables are given its code object only.
    PyThreadState* tstate = compat::running_thread_state();
    compat::InterpreterFrame* frame = compat::current_python_frame(tstate);  // borrowed
    if (frame == nullptr) [[unlikely]] Py_RETURN_NONE;
    // DISABLE would be for every thread: other threads are told nothing.
    if (!in.all_threads && tstate->id != in.thread_id) Py_RETURN_NONE;
    return record_plain_event(tstate, profiler, frame, arg, *info, EventWay{is_return, step, may_disable});
}

struct EventHandler {
    const char* event;  // the name in sys.monitoring.events
    vectorcallfunc call;
};

// The legacy profile hook reports the same events the same way (a throw into a generator is
// a call, an unwinding frame a return without value), so both engines pair calls and returns
// alike.
EventHandler handlers[] = {
    {"PY_START", on_event<Kind::call, records::Step::start>},
    {"PY_RESUME", on_event<Kind::call, records::Step::resume>},
    {"PY_THROW", on_event<Kind::call_no_disable, records::Step::thrown>},
    {"PY_RETURN", on_event<Kind::return_value, records::Step::finish>},
    {"PY_YIELD", on_event<Kind::return_value, records::Step::yield>},
    {"PY_UNWIND", on_event<Kind::return_no_value, records::Step::unwind>},
};

void event_callable_dealloc(PyObject* self) {
    Owned profiler = Owned::steal(reinterpret_cast<EventCallable*>(self)->profiler);
    // An instance of a heap type holds its type.
    Owned type = Owned::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Py_TYPE(self)->tp_free(self);
}

PyMemberDef event_callable_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(EventCallable, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot event_callable_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(event_callable_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, event_callable_members},
    {0, nullptr},
};

PyType_Spec event_callable_spec = {
    "jarn._jarn.EventCallable",
    sizeof(EventCallable),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    event_callable_slots,
};

// A new callable delivering `handler`'s events to `native`; null with the exception set.
PyObject* new_event_callable(const EventHandler& handler, PyObject* native) {
    static PyTypeObject* type = nullptr;  // held for the process
    if (type == nullptr) {
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&event_callable_spec));
        if (type == nullptr) return nullptr;
    }
    auto* made = PyObject_New(EventCallable, type);
    if (made == nullptr) return nullptr;
    made->vectorcall = handler.call;
    made->profiler = Py_NewRef(native);
    return reinterpret_cast<PyObject*>(made);
}

PyObject* monitoring_namespace() {
    Owned sys = Owned::steal(PyImport_ImportModule("sys"));
    if (!sys) return nullptr;
    return PyObject_GetAttrString(sys.get(), "monitoring");
}

// The bit of one event in sys.monitoring.events, or -1 with the exception set.
long event_bit(PyObject* monitoring, const char* event) {
    Owned events = Owned::steal(PyObject_GetAttrString(monitoring, "events"));
    if (!events) return -1;
    Owned value = Owned::steal(PyObject_GetAttrString(events.get(), event));
    if (!value) return -1;
    return PyLong_AsLong(value.get());
}

bool call_ok(PyObject* result) {
    Owned owned = Owned::steal(result);
    return bool(owned);
}

// Clears our events and callbacks and frees the tool id; the profiler is let go last.
bool release_tool(Installed& in) {
    if (!in.profiler) return true;
    PyObject* mon = in.monitoring.get();  // borrowed from `in`
    bool ok = call_ok(PyObject_CallMethod(mon, "set_events", "ii", kToolId, 0));
    for (const EventHandler& h : handlers) {
        const long bit = event_bit(mon, h.event);
        ok = ok && bit >= 0 && call_ok(PyObject_CallMethod(mon, "register_callback", "ilO", kToolId, bit, Py_None));
    }
    ok = ok && compat::free_monitoring_tool(mon, kToolId);
    Owned profiler = std::move(in.profiler);
    Owned request_var = std::move(in.request_var);
    return ok;
}

// The name holding our tool id: new reference, None when free, null with the exception set.
PyObject* tool_holder(PyObject* monitoring) { return PyObject_CallMethod(monitoring, "get_tool", "i", kToolId); }

// Undoes a half-done installation; the error that stopped it stays the one raised.
PyObject* fail_install() {
    PyObject* exc = PyErr_GetRaisedException();
    if (!release_tool(installed())) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return nullptr;
}

}  // namespace

bool monitoring_tool_free() {
    Installed& in = installed();
    if (!in.monitoring) {
        in.monitoring = Owned::steal(monitoring_namespace());
        if (!in.monitoring) return false;
        in.disable = Owned::steal(PyObject_GetAttrString(in.monitoring.get(), "DISABLE"));
        if (!in.disable) {
            in.monitoring.reset();
            return false;
        }
    }
    Owned holder = Owned::steal(tool_holder(in.monitoring.get()));
    if (!holder) return false;
    if (holder.get() != Py_None && !in.profiler) {
        PyErr_Format(PyExc_RuntimeError, "the sys.monitoring profiler tool id (%d) is already in use by %R", kToolId,
                     holder.get());
        return false;
    }
    return true;
}

namespace {

// Our callables, bound to `native`, and our events; the tool id is ours already. Places that a
// previous profiler (other filters, other plugins) switched off are live again.
bool install_callables(Installed& in, PyObject* native) {
    PyObject* mon = in.monitoring.get();  // borrowed from `in`
    long mask = 0;
    for (EventHandler& h : handlers) {
        const long bit = event_bit(mon, h.event);
        if (bit < 0) return false;
        Owned callable = Owned::steal(new_event_callable(h, native));
        if (!callable || !call_ok(PyObject_CallMethod(mon, "register_callback", "ilO", kToolId, bit, callable.get()))) {
            return false;
        }
        mask |= bit;
    }
    return call_ok(PyObject_CallMethod(mon, "set_events", "il", kToolId, mask)) &&
           call_ok(PyObject_CallMethod(mon, "restart_events", nullptr));
}

}  // namespace

PyObject* install_monitoring(PyObject* native, bool all_threads) {
    if (!monitoring_tool_free()) return nullptr;
    Installed& in = installed();
    PyObject* mon = in.monitoring.get();  // borrowed from `in`
    if (!in.profiler && !call_ok(PyObject_CallMethod(mon, "use_tool_id", "is", kToolId, kToolName))) return nullptr;
    // From here on the callables deliver to the new profiler (a previous one of ours, or the
    // requests of an origin, replaced: a whole program's profiler has every thread's events).
    in.profiler = Owned::borrow(native);
    in.request_var.reset();
    in.thread_id = PyThreadState_GetID(PyThreadState_Get());
    in.all_threads = all_threads;
    if (!install_callables(in, native)) return fail_install();
    Py_RETURN_NONE;
}

RequestEngine monitor_requests(PyObject* origin, PyObject* request_var) {
    Installed& in = installed();
    if (in.profiler.get() == origin && in.request_var.get() == request_var) return RequestEngine::monitoring;
    if (in.profiler && !in.request_var) return RequestEngine::program;
    // Another origin's requests may be switched over only when none of them is open: the places
    // its filters switched off come back on, to be judged afresh.
    if (in.profiler && reinterpret_cast<ProfilerObject*>(in.profiler.get())->open_requests != 0) {
        return RequestEngine::unavailable;
    }
    if (!monitoring_tool_free()) {
        PyErr_Clear();  // another tool has the id: requests use the profile engine
        return RequestEngine::unavailable;
    }
    PyObject* mon = in.monitoring.get();  // borrowed from `in`
    if (!in.profiler && !call_ok(PyObject_CallMethod(mon, "use_tool_id", "is", kToolId, kToolName))) {
        PyErr_Clear();
        return RequestEngine::unavailable;
    }
    in.profiler = Owned::borrow(origin);
    in.request_var = Owned::borrow(request_var);
    in.all_threads = true;
    if (!install_callables(in, origin)) {
        PyErr_Clear();
        if (!release_tool(in)) PyErr_Clear();
        return RequestEngine::unavailable;
    }
    return RequestEngine::monitoring;
}

PyObject* uninstall_monitoring() {
    Installed& in = installed();
    if (!release_tool(in)) return nullptr;
    Py_RETURN_NONE;
}

bool monitoring_installed() { return bool(installed().profiler); }

PyObject* switch_off_past_limit(ProfilerState& state) {
    state.limit.places_switched_off = true;
    return Py_NewRef(installed().disable.get());
}

void resume_after_limit(PyObject* native) {
    Installed& in = installed();
    if (in.profiler.get() != native) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (!call_ok(PyObject_CallMethod(in.monitoring.get(), "restart_events", nullptr))) PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

}  // namespace jarn
