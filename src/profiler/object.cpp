// The Python type JarnProfiler around the native state, and its methods.
#include <unistd.h>

#include "../lib/args.hpp"
#include "../utils/frame_state.hpp"
#include "../utils/convert.hpp"
#include "../utils/internal_error.hpp"
#include "callback.hpp"
#include "event.hpp"
#include "exceptions.hpp"
#include "requests.hpp"
#include "state.hpp"
#include "trace.hpp"

#include <unordered_set>

namespace jarn {

ThreadState& ProfilerState::thread_state_slow(PyThreadState* tstate) {
    const auto found = threads.find(tstate->id);
    if (found != threads.end()) {
        last_thread_id = tstate->id;
        last_thread = found->second.get();
        return *last_thread;
    }
    // A new thread: a good moment to let go of the ones that have ended, each sweep once the
    // map has doubled, so that a program starting a thread per task stays flat.
    if (threads.size() >= 2 * threads_after_sweep + 8) forget_ended_threads(tstate);
    std::unique_ptr<ThreadState>& slot = threads[tstate->id];
    slot = std::make_unique<ThreadState>();
    if (identities_home != nullptr) {
        const auto spare = identities_home->spare_identities.find(tstate->id);
        if (spare != identities_home->spare_identities.end()) {
            slot->identity = std::move(spare->second);
            identities_home->spare_identities.erase(spare);
        }
    }
    last_thread_id = tstate->id;
    last_thread = slot.get();
    return *slot;
}

void ProfilerState::forget_ended_threads(PyThreadState* current) {
    std::unordered_set<std::uint64_t> alive;
    // The interpreter unlinks a thread state while holding the interpreter lock, as we do here.
    for (PyThreadState* t = PyInterpreterState_ThreadHead(current->interp); t != nullptr; t = PyThreadState_Next(t)) {
        alive.insert(t->id);
    }
    last_thread = nullptr;
    std::vector<std::unique_ptr<ThreadState>> ended;
    for (auto it = threads.begin(); it != threads.end();) {
        if (alive.count(it->first) != 0) {
            ++it;
        } else {
            ended.push_back(std::move(it->second));
            it = threads.erase(it);
        }
    }
    threads_after_sweep = threads.size();
    // `ended` goes last: releasing its references may run code.
}

namespace {

// {"frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site": nil,
//  "type": "process", "pid", "parent_pid", "parent_trace_id", "started_by"}
void process_record(const ThreadIdentity& thread, double now, std::string_view parent_trace_id,
                    std::string_view started_by, msgpack::Buffer& b) {
    b.reserve(256);
    msgpack::write_map_header(b, 10);
    msgpack::write_str(b, "frame_id");
    const Identifier id = frame_id();
    msgpack::write_str(b, view(id));
    msgpack::write_str(b, "timestamp");
    msgpack::write_f64(b, now);
    msgpack::put_bytes(b, thread.record_entries.data(), thread.record_entries.size());
    msgpack::write_str(b, "user_code_call_site");
    msgpack::write_nil(b);
    msgpack::write_str_pair(b, "type", "process");
    msgpack::write_str(b, "pid");
    msgpack::write_uint(b, std::uint64_t(getpid()));
    msgpack::write_str(b, "parent_pid");
    msgpack::write_uint(b, std::uint64_t(getppid()));
    msgpack::write_str_pair(b, "parent_trace_id", parent_trace_id);
    msgpack::write_str_pair(b, "started_by", started_by);
}

// The calls the forking thread was inside, recorded again as this trace's first records, oldest
// first, with ids of this trace: each call site then names a call of this trace.
void record_inherited_calls(ProfilerObject* self, PyThreadState* tstate, std::vector<OpenCall> inherited) {
    compat::InterpreterFrame* innermost = compat::current_python_frame(tstate);  // borrowed
    for (const OpenCall& call : inherited) {
        // Only frames still running: a call whose return never came is not inherited.
        if (innermost == nullptr || (call.frame != innermost && !compat::is_below(innermost, call.frame))) continue;
        Event ev(tstate, self, call.frame, compat::code_of(call.frame), false, Py_None);
        msgpack::Buffer bytes;
        if (!build_frame_record(ev, bytes) || !store_record(ev, bytes, ev.note)) report_pending(ev);
    }
}

}  // namespace

// Written as a record of the innermost Python frame's thread, which it belongs to; it belongs to
// no event of the interpreter's.
bool write_process_record(ProfilerObject* self, std::string_view parent_trace_id, std::string_view started_by) {
    PyThreadState* tstate = PyThreadState_Get();
    compat::InterpreterFrame* innermost = compat::current_python_frame(tstate);  // borrowed
    if (innermost == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "a process record is written from Python code");
        return false;
    }
    Event ev(tstate, self, innermost, compat::code_of(innermost), false, Py_None);
    if (!event_thread(ev)) return false;
    const std::optional<double> now = timestamp_seconds();
    msgpack::Buffer bytes;
    process_record(*ev.thread, now.value_or(0.0), parent_trace_id, started_by, bytes);
    return store_record(ev, bytes, {ev.thread_state().own_ticks, 0});
}

void begin_forked_trace(ProfilerObject* self, const ForkLink& link) {
    ProfilerState& p = *self->state;
    const std::uint64_t now = fork_generation_now();
    if (now == p.fork_generation) return;
    p.fork_generation = now;
    const std::string parent_trace_id = link.parent_trace_id.empty() ? p.trace_id : std::string(link.parent_trace_id);
    p.frames_of_interest = RecordList();
    p.frames.clear();
    ++p.lists_generation;
    p.limit = TraceLimit();
    if (link.trace_id.empty()) {
        const Identifier id = jarn::trace_id();
        p.trace_id.assign(id.data(), id.size());
    } else {
        p.trace_id.assign(link.trace_id);
    }
    p.start_timestamp = timestamp_seconds().value_or(p.start_timestamp);
    // Only the forking thread lives on; the interpreter has already let go of the others.
    PyThreadState* tstate = PyThreadState_Get();
    std::unordered_set<std::uint64_t> alive;
    for (PyThreadState* t = PyInterpreterState_ThreadHead(tstate->interp); t != nullptr; t = PyThreadState_Next(t)) {
        alive.insert(t->id);
    }
    p.last_thread = nullptr;
    std::vector<std::unique_ptr<ThreadState>> gone;
    std::vector<OpenCall> inherited;
    for (auto it = p.threads.begin(); it != p.threads.end();) {
        if (alive.count(it->first) == 0) {
            gone.push_back(std::move(it->second));
            it = p.threads.erase(it);
            continue;
        }
        // The child's thread has a new native id and perhaps a new Thread object. Its open calls
        // are recorded again below when it is the one beginning the trace, else forgotten.
        it->second->identity.reset();
        if (it->first == tstate->id) inherited = std::move(it->second->call_frames);
        it->second->call_frames.clear();
        ++it;
    }
    std::optional<std::uint64_t> main_id;
    if (get_main_thread_id(main_id)) {
        p.main_thread_id = main_id;
    } else {
        PyErr_Clear();
    }
    if (compat::current_python_frame(tstate) == nullptr) return;  // no Python code runs: nothing to record
    // What runs here (the serialiser) is not itself recorded, as in an event.
    PyThreadState_EnterTracing(tstate);
    if (!write_process_record(self, parent_trace_id, link.started_by.empty() ? "fork" : link.started_by)) {
        PyErr_Clear();
    }
    record_inherited_calls(self, tstate, std::move(inherited));
    PyThreadState_LeaveTracing(tstate);
}

namespace {

PyTypeObject* type_object = nullptr;

ProfilerObject* as_profiler(PyObject* self) { return reinterpret_cast<ProfilerObject*>(self); }

PyObject* profiler_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

int profiler_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_profiler(self)->origin);
    ProfilerState* state = as_profiler(self)->state;
    if (state == nullptr) return 0;
    for (auto& [id, thread] : state->threads) {
        Py_VISIT(thread->identity.current_thread_function.get());
        Py_VISIT(thread->identity.name_dict.get());
        Py_VISIT(thread->raising_exception.get());
    }
    for (auto& [name, processors] : state->plugins) {
        for (PluginProcessor& proc : processors) {
            Py_VISIT(proc.call.get());
            Py_VISIT(proc.process.get());
            Py_VISIT(proc.context.get());
        }
    }
    return 0;
}

int profiler_clear(PyObject* self) {
    ProfilerState* state = as_profiler(self)->state;
    if (state == nullptr) return 0;
    // Move the references out before releasing them: releasing may run code that looks here.
    std::vector<Owned> released;
    forget_origin(as_profiler(self), released);
    for (auto& [id, thread] : state->threads) {
        thread->call_frames.clear();
        released.push_back(std::move(thread->raising_exception));
        thread->raising_frame = nullptr;
        thread->identity.reset();
    }
    for (auto& [name, processors] : state->plugins) {
        for (PluginProcessor& proc : processors) {
            released.push_back(std::move(proc.call));
            released.push_back(std::move(proc.process));
            released.push_back(std::move(proc.context));
        }
    }
    return 0;
}

void profiler_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    ProfilerState* state = as_profiler(self)->state;
    as_profiler(self)->state = nullptr;
    std::vector<Owned> released;
    forget_origin(as_profiler(self), released);
    delete state;
    if (as_profiler(self)->holds_exception_tool) {
        as_profiler(self)->holds_exception_tool = false;
        release_exception_tool();
    }
    type->tp_free(self);
    // Instances of a heap type own a reference to it.
    Owned::steal(reinterpret_cast<PyObject*>(type));
}

PyObject* method_build_trace(PyObject* self, PyObject*) {
    if (!is_profiler(self)) return raise_conversion_error(self, "JarnProfiler");
    adopt_after_fork(as_profiler(self));
    return build_trace_inner(as_profiler(self));
}

PyObject* method_save_request_in_db(PyObject* self, PyObject*) {
    if (!is_profiler(self)) return raise_conversion_error(self, "JarnProfiler");
    adopt_after_fork(as_profiler(self));
    if (!save_in_db(as_profiler(self))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* method_handed_over_summary(PyObject* self, PyObject* trace) {
    if (!is_profiler(self)) return raise_conversion_error(self, "JarnProfiler");
    return handed_over_summary(as_profiler(self), trace);
}

PyObject* method_take_trace_pieces(PyObject* self, PyObject*) {
    if (!is_profiler(self)) return raise_conversion_error(self, "JarnProfiler");
    adopt_after_fork(as_profiler(self));
    return take_trace_pieces(as_profiler(self));
}

// An optional text argument: empty when None.
bool optional_text(PyObject* arg, std::string_view& out) {
    out = {};
    return arg == Py_None || utf8_of(arg, out);
}

PyObject* method_adopt_after_fork(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"trace_id", "parent_trace_id", "started_by", nullptr};
    PyObject* parsed[3] = {Py_None, Py_None, Py_None};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:adopt_after_fork", const_cast<char**>(keywords), &parsed[0],
                                     &parsed[1], &parsed[2])) {
        return nullptr;
    }
    if (!is_profiler(self)) return raise_conversion_error(self, "JarnProfiler");
    ForkLink link;
    if (!optional_text(parsed[0], link.trace_id) || !optional_text(parsed[1], link.parent_trace_id) ||
        !optional_text(parsed[2], link.started_by)) {
        return nullptr;
    }
    if (as_profiler(self)->state->forked()) begin_forked_trace(as_profiler(self), link);
    const std::string& id = as_profiler(self)->state->trace_id;
    return PyUnicode_FromStringAndSize(id.data(), Py_ssize_t(id.size()));
}

PyObject* method_mark_process(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static const char* const params[] = {"parent_trace_id", "started_by"};
    PyObject* parsed[2];
    if (!parse_required_args("mark_process", params, 2, args, nargsf, kwnames, parsed)) return nullptr;
    if (!is_profiler(self)) return raise_conversion_error(self, "JarnProfiler");
    std::string_view parent;
    std::string_view started_by;
    if (!utf8_of(parsed[0], parent) || !utf8_of(parsed[1], started_by)) return nullptr;
    adopt_after_fork(as_profiler(self));
    if (!write_process_record(as_profiler(self), parent, started_by)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* method_register_threading_profiler(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                             PyObject* kwnames) {
    static const char* const params[] = {"_frame", "_event", "_arg"};
    PyObject* parsed[3];
    if (!parse_required_args("register_threading_profiler", params, 3, args, nargsf, kwnames, parsed)) {
        return nullptr;
    }
    if (!is_profiler(self)) return raise_conversion_error(self, "JarnProfiler");
    PyEval_SetProfile(profile_callback, self);
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"save_request_in_db", method_save_request_in_db, METH_NOARGS,
     "save_request_in_db($self)\n--\n\n"
     "Called from Python code to trigger saving the trace in the database. Used by the host "
     "profiler's `save_request_in_db`."},
    {"build_trace", method_build_trace, METH_NOARGS,
     "build_trace($self)\n--\n\n"
     "Called from Python code to build the trace as MessagePack bytes. Used by the host profiler's "
     "`upload_trace_in_thread`."},
    {"register_threading_profiler", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_register_threading_profiler)),
     METH_FASTCALL | METH_KEYWORDS,
     "register_threading_profiler($self, _frame, _event, _arg)\n--\n\n"
     "Registers the profiler on the current thread. Called by `threading.setprofile` on the first "
     "event of every new thread, as arranged by `register_profiler`."},
    {"begin_request", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_begin_request)),
     METH_FASTCALL | METH_KEYWORDS,
     "begin_request($self, source, install)\n--\n\n"
     "A new profiler for one web request whose trace's source is `source`: it uses this profiler's "
     "settings, filters and plugins, and their cached decisions, and has a trace of its own. With "
     "`install` true it is installed as the calling thread's profile function (the profile engine); "
     "otherwise nothing is installed. `end_request()` closes it."},
    {"end_request", method_end_request, METH_NOARGS,
     "end_request($self)\n--\n\n"
     "Closes a request's profiler: it records no more events from any engine. Its trace is then "
     "taken with `take_trace_pieces()`."},
    {"adopt_after_fork", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_adopt_after_fork)),
     METH_VARARGS | METH_KEYWORDS,
     "adopt_after_fork($self, trace_id=None, parent_trace_id=None, started_by=None)\n--\n\n"
     "In a forked child, begins the child's own trace now rather than at its first event: under "
     "`trace_id` (a new id when None), linked to `parent_trace_id` (the trace the parent was "
     "writing when None) and saying how it was `started_by` (\"fork\" when None). Returns the trace "
     "id now being written; elsewhere it only returns it."},
    {"mark_process", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_mark_process)),
     METH_FASTCALL | METH_KEYWORDS,
     "mark_process($self, parent_trace_id, started_by)\n--\n\n"
     "Appends a \"process\" record on the calling thread: this process's pid and its parent's, the "
     "trace of the process that started it and how (\"spawn\", \"subprocess\"...)."},
    {"request_record", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_request_record)),
     METH_FASTCALL | METH_KEYWORDS,
     "request_record($self, type, method, path, status, duration)\n--\n\n"
     "Adds an open request's \"request\" record (method, path; `status` and `duration` None) or "
     "\"response\" record (method, path, status, duration in seconds) to its trace, filed as the "
     "calling thread's, as the web plugin's records are. Nothing once the request is closed."},
    {"take_trace_pieces", method_take_trace_pieces, METH_NOARGS,
     "take_trace_pieces($self)\n--\n\n"
     "The trace `build_trace` would give, as a TracePieces iterable of bytes pieces, so that it can "
     "be stored without a second copy in memory. Its records leave the buffers: `commit()` once "
     "stored, `restore()` otherwise."},
    {"handed_over_summary", method_handed_over_summary, METH_O,
     "handed_over_summary($self, trace, /)\n--\n\n"
     "While `jarn.db.save_trace_in_sqlite` is given this profiler's trace (at a test's end, or by "
     "`save_request_in_db`), called with those bytes: "
     "(command_line, source, record_count, other_threads_record_count, first, last, test_id, "
     "parent_trace_id), what the store would read of them, so that it need not read them; None for "
     "any other object or at any other time."},
    {nullptr, nullptr, 0, nullptr},
};

const char class_doc[] =
    "Holds the data collected during profiling. Several attributes are protected by `GILProtected` "
    "or `ThreadLocal` to support multi-threading: `GILProtected` attributes can only be mutated "
    "while holding the interpreter lock, and `ThreadLocal` attributes store data relevant only to "
    "the current thread.";

PyGetSetDef getset[] = {
    {"request_open", get_request_open, nullptr, "Whether this is a request's profiler whose request is open.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(profiler_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(profiler_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(profiler_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(profiler_clear)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>(class_doc)},
    {0, nullptr},
};

PyType_Spec spec = {
    "jarn._jarn.JarnProfiler",
    sizeof(ProfilerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    slots,
};

}  // namespace

PyTypeObject* profiler_type() {
    if (type_object == nullptr) {
        type_object = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    }
    return type_object;
}

bool is_profiler(PyObject* obj) {
    return type_object != nullptr && PyObject_TypeCheck(obj, type_object);
}

PyObject* wrap_profiler(std::unique_ptr<ProfilerState> state) {
    PyTypeObject* type = profiler_type();
    if (type == nullptr) return raise_internal_error("the JarnProfiler type can be created");
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return raise_internal_error("a JarnProfiler object can be allocated");
    as_profiler(obj)->state = state.release();
    as_profiler(obj)->holds_exception_tool = false;
    as_profiler(obj)->origin = nullptr;
    as_profiler(obj)->request_open = false;
    as_profiler(obj)->open_requests = 0;
    return obj;
}

}  // namespace jarn
