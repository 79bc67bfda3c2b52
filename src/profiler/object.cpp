// The Python type JarnProfiler around the native state, and its methods.
#include "../lib/args.hpp"
#include "../utils/frame_state.hpp"
#include "../utils/internal_error.hpp"
#include "callback.hpp"
#include "exceptions.hpp"
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

void ProfilerState::adopt_after_fork_slow() {
    const std::uint64_t now = fork_generation_now();
    if (now == fork_generation) return;
    fork_generation = now;
    frames_of_interest = RecordList();
    frames.clear();
    limit = TraceLimit();
    const Identifier id = jarn::trace_id();
    trace_id.assign(id.data(), id.size());
    // Only the forking thread lives on; its own call stack stays valid.
    const std::uint64_t self_key = PyThreadState_Get()->id;
    last_thread = nullptr;
    std::vector<std::unique_ptr<ThreadState>> gone;
    for (auto it = threads.begin(); it != threads.end();) {
        if (it->first == self_key) {
            // The child's thread has a new native id and perhaps a new Thread object.
            it->second->identity.reset();
            ++it;
        } else {
            gone.push_back(std::move(it->second));
            it = threads.erase(it);
        }
    }
    std::optional<std::uint64_t> main_id;
    if (get_main_thread_id(main_id)) {
        main_thread_id = main_id;
    } else {
        PyErr_Clear();
    }
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
    ProfilerState* state = as_profiler(self)->state;
    if (state == nullptr) return 0;
    for (auto& [id, thread] : state->threads) {
        Py_VISIT(thread->identity.current_thread_function.get());
        Py_VISIT(thread->identity.thread.get());
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
    as_profiler(self)->state->adopt_after_fork();
    return build_trace_inner(as_profiler(self));
}

PyObject* method_save_request_in_db(PyObject* self, PyObject*) {
    if (!is_profiler(self)) return raise_conversion_error(self, "JarnProfiler");
    as_profiler(self)->state->adopt_after_fork();
    if (!save_in_db(as_profiler(self))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* method_take_trace_pieces(PyObject* self, PyObject*) {
    if (!is_profiler(self)) return raise_conversion_error(self, "JarnProfiler");
    as_profiler(self)->state->adopt_after_fork();
    return take_trace_pieces(as_profiler(self));
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
    {"take_trace_pieces", method_take_trace_pieces, METH_NOARGS,
     "take_trace_pieces($self)\n--\n\n"
     "The trace `build_trace` would give, as a TracePieces iterable of bytes pieces, so that it can "
     "be stored without a second copy in memory. Its records leave the buffers: `commit()` once "
     "stored, `restore()` otherwise."},
    {nullptr, nullptr, 0, nullptr},
};

const char class_doc[] =
    "Holds the data collected during profiling. Several attributes are protected by `GILProtected` "
    "or `ThreadLocal` to support multi-threading: `GILProtected` attributes can only be mutated "
    "while holding the interpreter lock, and `ThreadLocal` attributes store data relevant only to "
    "the current thread.";

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(profiler_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(profiler_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(profiler_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(profiler_clear)},
    {Py_tp_methods, methods},
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
    return obj;
}

}  // namespace jarn
