#include "frame_state.hpp"

#include <climits>

#include "internal_error.hpp"
#include "code_info.hpp"
#include "convert.hpp"
#include "cpython_compat.hpp"
#include "dict_watch.hpp"
#include "msgpack.hpp"
#include "interned.hpp"

namespace jarn {
namespace {

// None, a missing attribute -> absent; otherwise an unsigned 64-bit integer.
bool read_native_id(PyObject* thread, std::optional<std::uint64_t>& out) {
    Owned id = Owned::steal(PyObject_GetAttr(thread, names.native_id));
    out.reset();
    if (!id) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (id.get() == Py_None) return true;
    Owned index = Owned::steal(PyLong_Check(id.get()) ? id.new_ref().release() : PyNumber_Index(id.get()));
    if (!index) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// In a forked child, CPython 3.12 leaves the surviving Thread object's native_id at the parent
// thread's id. Every identity looked up here is the calling thread's, so the right id is known.
void correct_after_fork(std::optional<std::uint64_t>& native_id) {
    if (native_id && fork_generation_now() > 1) native_id = PyThread_get_thread_native_id();
}

// threading's own current_thread, which makes a _DummyThread for a thread it does not know.
bool is_threadings_own(PyObject* function, PyObject* threading) {
    return PyFunction_Check(function) && PyModule_Check(threading) &&
           PyFunction_GET_GLOBALS(function) == PyModule_GetDict(threading);
}

// What threading.current_thread() would give without making anything: the running thread's
// entry in threading._active, or null when threading does not know it. False with the exception set.
bool known_thread(PyObject* threading, Owned& out) {
    Owned active = Owned::steal(module_attribute(threading, names._active));
    if (!active) return false;
    if (!PyDict_Check(active.get())) {
        raise_conversion_error(active.get(), "PyDict");
        return false;
    }
    Owned ident = Owned::steal(PyLong_FromUnsignedLong(PyThread_get_thread_ident()));
    if (!ident) return false;
    PyObject* thread = PyDict_GetItemWithError(active.get(), ident.get());  // borrowed
    if (thread == nullptr && PyErr_Occurred()) return false;
    out = Owned::borrow(thread);
    return true;
}

// Watches what an identity was read from: the threading module's globals (current_thread) and
// the thread's own attributes (its name), when there is a thread object. Where a store into the
// attributes is not seen by watchers, `name_dict` is set to them instead, for the name to be
// checked at every event. The generation to keep, or 0 when they cannot be watched.
std::uint64_t watch_identity(PyObject* threading, PyObject* thread, Owned& name_dict) {
    const std::uint64_t before = watched_generation();
    if (!PyModule_CheckExact(threading) || !watch_dict(PyModule_GetDict(threading))) return 0;
    if (thread == nullptr) return watched_generation() == before ? before : 0;
    Owned dict = Owned::steal(PyObject_GenericGetDict(thread, nullptr));
    if (!dict || !PyDict_CheckExact(dict.get())) {
        PyErr_Clear();  // no attribute dict: looked up at every event
        return 0;
    }
    if (!compat::attribute_stores_reach_dict_watchers()) {
        name_dict = std::move(dict);
    } else if (!watch_dict(dict.get())) {
        return 0;
    }
    return watched_generation() == before ? before : 0;
}

}  // namespace

PyObject* get_locals(compat::InterpreterFrame* frame, bool is_return, bool omit_return_locals) {
    if (is_return && omit_return_locals) Py_RETURN_NONE;
    compat::FrameVariables variables(frame);
    if (variables.mapping() == nullptr) {
        // A function frame: a fresh dict with what f_locals would hold, attached to nothing.
        Owned locals = Owned::steal(PyDict_New());
        if (!locals) return nullptr;
        PyObject* name;   // borrowed
        PyObject* value;  // borrowed
        while (variables.next(name, value)) {
            if (is_builtins_name(name)) continue;
            if (PyDict_SetItem(locals.get(), name, value) < 0) return nullptr;
        }
        return locals.release();
    }
    Owned locals = Owned::borrow(variables.mapping());
    if (!PyDict_Check(locals.get())) {
        raise_conversion_error(locals.get(), "PyDict");
        return raise_internal_error("`f_locals` is always a dict");
    }
    const int has_builtins = PyDict_Contains(locals.get(), names.__builtins__);
    if (has_builtins < 0) return raise_internal_error("locals.get(\"__builtins__\") should not raise.");
    if (has_builtins == 0) return locals.release();
    // A module frame's locals are its globals: hand on a copy, never change the module.
    Owned copy = Owned::steal(PyDict_Copy(locals.get()));
    if (!copy || PyDict_DelItem(copy.get(), names.__builtins__) < 0) {
        return raise_internal_error("a copy of the locals can drop \"__builtins__\"");
    }
    return copy.release();
}

bool is_builtins_name(PyObject* name) { return is_same_name(name, names.__builtins__, "__builtins__"); }

bool look_up_current_thread(ThreadIdentityCache& cache, const ThreadIdentity*& out) {
    Owned threading = Owned::steal(import_module(names.mod_threading));
    if (!threading) return false;
    Owned function = Owned::steal(module_attribute(threading.get(), names.current_thread));
    if (!function) return false;
    Owned thread;
    if (is_threadings_own(function.get(), threading.get())) {
        if (!known_thread(threading.get(), thread)) return false;
    } else {
        // The program's own current_thread: its answer is the thread's identity.
        thread = Owned::steal(PyObject_CallNoArgs(function.get()));
        if (!thread) return false;
    }
    if (cache.reusable && function.get() == cache.current_thread_function.get() && thread.get() == cache.thread) {
        Owned name_attribute = thread ? Owned::steal(PyObject_GetAttr(thread.get(), names._name)) : Owned();
        if (!thread || (name_attribute && name_attribute.get() == cache.name_attribute.get())) {
            // Still this thread's identity, after a change to one of the watched dicts (or in a
            // request's profiler, handed on from the thread's last request): watched again, so
            // that the next events find it without a lookup.
            cache.generation = watch_identity(threading.get(), thread.get(), cache.name_dict);
            if (cache.generation == 0) cache.name_dict = Owned();
            out = &cache.identity;
            return true;
        }
        PyErr_Clear();
    }
    ThreadIdentity identity;
    Owned name_attribute;
    if (thread) {
        identity.name_object = Owned::steal(PyObject_GetAttr(thread.get(), names.name));
        if (!identity.name_object || !utf8_of(identity.name_object.get(), identity.name)) return false;
        if (!read_native_id(thread.get(), identity.native_id)) return false;
        correct_after_fork(identity.native_id);
        name_attribute = Owned::steal(PyObject_GetAttr(thread.get(), names._name));
        if (!name_attribute) PyErr_Clear();
    } else {
        // A thread `threading` does not know (started by _thread, or by C code): a name of our
        // own, as creating its _DummyThread would change what threading.enumerate() shows.
        identity.native_id = PyThread_get_thread_native_id();
        identity.name_object = Owned::steal(PyUnicode_FromFormat("Thread-%lu", (unsigned long)*identity.native_id));
        if (!identity.name_object || !utf8_of(identity.name_object.get(), identity.name)) return false;
    }
    records::thread_entries(identity.record_entries, identity.name, identity.native_id);
    const bool reusable = !thread || (name_attribute && name_attribute.get() == identity.name_object.get());
    cache.reset();
    cache.current_thread_function = std::move(function);
    cache.thread = thread.get();
    cache.name_attribute = std::move(name_attribute);
    cache.identity = std::move(identity);
    cache.reusable = reusable;
    cache.generation = reusable ? watch_identity(threading.get(), thread.get(), cache.name_dict) : 0;
    if (cache.generation == 0) cache.name_dict = Owned();
    out = &cache.identity;
    return true;
}

bool get_main_thread_id(std::optional<std::uint64_t>& out) {
    Owned threading = Owned::steal(import_module(names.mod_threading));
    if (!threading) return false;
    Owned thread = Owned::steal(PyObject_CallMethodNoArgs(threading.get(), names.main_thread));
    if (!thread) return false;
    if (!read_native_id(thread.get(), out)) return false;
    // After a fork the forking thread becomes the child's main thread; its id is only known
    // when it is the one asking (its `ident`, unlike its native_id, is brought up to date).
    if (out && fork_generation_now() > 1) {
        Owned ident = Owned::steal(PyObject_GetAttr(thread.get(), names.ident));
        if (!ident) return false;
        if (PyLong_Check(ident.get()) && PyLong_AsUnsignedLong(ident.get()) == PyThread_get_thread_ident()) {
            out = PyThread_get_thread_native_id();
        }
        PyErr_Clear();
    }
    return true;
}

int user_code_call_site(std::vector<OpenCall>& call_frames, compat::InterpreterFrame* frame,
                        const Identifier& own_id, CallSite& out) {
    const std::size_t n = call_frames.size();
    if (n == 0) return 0;
    OpenCall* candidate = &call_frames[n - 1];
    if (candidate->id == own_id) {
        // A return of a recorded frame: its own entry is on top, the caller is just below.
        if (n < 2 || call_frames[n - 2].id == own_id) return 0;
        candidate = &call_frames[n - 2];
    }
    return call_site_of(*candidate, frame, out);
}

int call_site_of(OpenCall& caller, compat::InterpreterFrame* frame, CallSite& out) {
    return call_site_inline(caller, frame, out);
}

void find_call_line(OpenCall& caller, bool placed, int offset, CallSite& out) {
    out.line_number = std::int32_t(line_of(caller.frame));
    if (placed) {
        caller.call_offset = offset;
        caller.call_line = out.line_number;
    }
}

}  // namespace jarn
