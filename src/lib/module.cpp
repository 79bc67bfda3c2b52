// Module entry: the no-op profiler for benchmarks and register_profiler.
#include <Python.h>

#include "../config/config.hpp"
#include "../profiler/callback.hpp"
#include "../profiler/construct.hpp"
#include "../profiler/exceptions.hpp"
#include "../profiler/monitoring.hpp"
#include "../profiler/state.hpp"
#include "../utils/frame_info.hpp"
#include "../utils/interned.hpp"
#include "../utils/owned.hpp"
#include "args.hpp"
#include "../utils/internal_error.hpp"

namespace jarn {
namespace {

int noop_profile(PyObject*, PyFrameObject*, int, PyObject*) noexcept { return 0; }

PyObject* register_noop_profiler(PyObject*, PyObject*) {
    PyEval_SetProfile(noop_profile, nullptr);
    Py_RETURN_NONE;
}

// Whether new threads are profiled too: a generic subscription of the host's config, so a dict
// subclass's own __getitem__ is honoured here. Any failure or non-boolean means no.
bool threading_requested(PyObject* config) {
    Owned value = Owned::steal(PyObject_GetItem(config, names.threading));
    if (!value) {
        PyErr_Clear();
        return false;
    }
    return as_bool(value.get()).value_or(false);
}

// The one argument of both registrations, the host profiler object (borrowed); null with the
// exception set when it is missing or not callable.
PyObject* host_profiler_argument(const char* function, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static const char* const params[] = {"profiler"};
    PyObject* host;  // borrowed
    if (!parse_required_args(function, params, 1, args, nargsf, kwnames, &host)) return nullptr;
    if (!PyCallable_Check(host)) {
        PyErr_SetString(PyExc_TypeError, "profiler object is not callable");
        return nullptr;
    }
    return host;
}

PyObject* register_profiler(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* host = host_profiler_argument("register_profiler", args, nargsf, kwnames);  // borrowed
    if (host == nullptr) return nullptr;
    std::unique_ptr<ProfilerState> state = new_from_python(host);
    if (!state) return nullptr;
    Owned native = Owned::steal(wrap_profiler(std::move(state)));
    if (!native) return nullptr;
    if (PyObject_SetAttr(host, names.rust_profiler, native.get()) < 0) return nullptr;
    if (!acquire_exception_tool()) return nullptr;
    reinterpret_cast<ProfilerObject*>(native.get())->holds_exception_tool = true;
    PyEval_SetProfile(profile_callback, native.get());

    Owned config = Owned::steal(PyObject_GetAttr(host, names.config));
    if (!config) return nullptr;
    if (threading_requested(config.get())) {
        Owned threading = Owned::steal(import_module(names.mod_threading));
        if (!threading) return nullptr;
        Owned hook = Owned::steal(PyObject_GetAttr(native.get(), names.register_threading_profiler));
        if (!hook) return nullptr;
        Owned done = Owned::steal(PyObject_CallMethodOneArg(threading.get(), names.setprofile, hook.get()));
        if (!done) return nullptr;
    }
    Py_RETURN_NONE;
}

// The same native profiler as register_profiler's, delivered events by sys.monitoring instead
// of the profile hook. Threading comes from the profiler's own reading of the configuration:
// monitoring reaches every thread without a per-thread installation.
PyObject* register_monitoring_profiler(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* host = host_profiler_argument("register_monitoring_profiler", args, nargsf, kwnames);  // borrowed
    if (host == nullptr) return nullptr;
    if (!monitoring_tool_free()) return nullptr;
    std::unique_ptr<ProfilerState> state = new_from_python(host);
    if (!state) return nullptr;
    const bool all_threads = state->use_threading;
    Owned native = Owned::steal(wrap_profiler(std::move(state)));
    if (!native) return nullptr;
    if (PyObject_SetAttr(host, names.rust_profiler, native.get()) < 0) return nullptr;
    return install_monitoring(native.get(), all_threads);
}

PyObject* unregister_monitoring_profiler(PyObject*, PyObject*) { return uninstall_monitoring(); }

// The native profiler of register_profiler, installed nowhere: the origin of a middleware's
// requests (JarnProfiler.begin_request).
PyObject* request_origin(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* host = host_profiler_argument("request_origin", args, nargsf, kwnames);  // borrowed
    if (host == nullptr) return nullptr;
    std::unique_ptr<ProfilerState> state = new_from_python(host);
    if (!state) return nullptr;
    return wrap_profiler(std::move(state));
}

PyObject* monitor_requests_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static const char* const params[] = {"origin", "request_var"};
    PyObject* parsed[2];  // borrowed
    if (!parse_required_args("monitor_requests", params, 2, args, nargsf, kwnames, parsed)) return nullptr;
    if (!is_profiler(parsed[0])) return raise_conversion_error(parsed[0], "JarnProfiler");
    if (!PyContextVar_CheckExact(parsed[1])) return raise_conversion_error(parsed[1], "ContextVar");
    switch (monitor_requests(parsed[0], parsed[1])) {
        case RequestEngine::monitoring:
            return Py_NewRef(names.engine_monitoring);
        case RequestEngine::program:
            return Py_NewRef(names.engine_program);
        case RequestEngine::unavailable:
            break;
    }
    return Py_NewRef(names.engine_profile);
}

PyMethodDef module_methods[] = {
    {"register_noop_profiler", register_noop_profiler, METH_NOARGS,
     "register_noop_profiler()\n--\n\n"
     "Registers a minimal profiler that does nothing, for comparison purposes in benchmarking."},
    {"register_profiler", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_profiler)),
     METH_FASTCALL | METH_KEYWORDS,
     "register_profiler(profiler)\n--\n\n"
     "Called from Python to configure profiling to use the native implementation.\n\n"
     "`profiler` is an instance of the host package's `JarnProfiler` class; it is passed to "
     "`JarnProfiler::new_from_python` to create the native profiler, which is registered with "
     "`PyEval_SetProfile`. If `use_threading` is `true`, `threading.setprofile` is also called with "
     "the `JarnProfiler::register_threading_profiler` callback to register on all threads."},
    {"register_monitoring_profiler",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_monitoring_profiler)),
     METH_FASTCALL | METH_KEYWORDS,
     "register_monitoring_profiler(profiler)\n--\n\n"
     "Builds the native profiler as `register_profiler` does and installs it as the sys.monitoring "
     "profiler tool instead of a profile function. Code the filters drop and no plugin watches is "
     "disabled at its first event and costs nothing afterwards. With `threading` every thread is "
     "profiled, otherwise only the calling one. Raises RuntimeError when another tool holds the "
     "profiler tool id."},
    {"unregister_monitoring_profiler", unregister_monitoring_profiler, METH_NOARGS,
     "unregister_monitoring_profiler()\n--\n\n"
     "Clears the events and callbacks of the profiler installed by `register_monitoring_profiler` "
     "and frees its tool id. Does nothing when none is installed."},
    {"request_origin", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(request_origin)),
     METH_FASTCALL | METH_KEYWORDS,
     "request_origin(profiler)\n--\n\n"
     "Builds the native profiler as `register_profiler` does, from the host profiler object, and "
     "returns it without installing it anywhere: the origin whose `begin_request` makes each web "
     "request's profiler."},
    {"monitor_requests", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(monitor_requests_entry)),
     METH_FASTCALL | METH_KEYWORDS,
     "monitor_requests(origin, request_var)\n--\n\n"
     "How the events of `origin`'s requests reach them, installing the sys.monitoring tool for them "
     "when it can: \"monitoring\" (each event goes to the open request of `origin` that "
     "`request_var`, a ContextVar, holds where the event happens; code the origin drops is switched "
     "off for every thread), \"program\" (a whole program's monitoring profiler has the tool: "
     "requests are not profiled) or \"profile\" (another tool has the id, or another origin's "
     "requests are open: install each request's profiler on its thread). Never raises for the "
     "tool's sake."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_jarn", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// Single-phase initialisation on purpose: the module is one object per process and refuses
// sub-interpreters, which multi-phase initialisation cannot express. The profiler's caches are
// process-wide, and a profile function belongs to one interpreter. m_size is 0 rather than -1 so
// that the interpreter calls PyInit again on re-import and in a sub-interpreter (with -1 it
// would copy the module's dict instead), which lets us return the same object or refuse.
PyObject* the_module = nullptr;

PyObject* create_module() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "jarn._jarn does not support sub-interpreters");
        return nullptr;
    }
    if (the_module != nullptr) return Py_NewRef(the_module);
    if (!init_names() || !init_internal_error() || !init_code_cache() || !init_cwd_tracking()) return nullptr;
    own_clock::init();
    Owned module = Owned::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    Owned all = Owned::steal(PyList_New(0));
    if (!all) return nullptr;
    if (PyModule_AddFunctions(module.get(), module_methods) < 0) return nullptr;
    for (PyMethodDef* def = module_methods; def->ml_name != nullptr; ++def) {
        Owned name = Owned::steal(PyUnicode_FromString(def->ml_name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
    the_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace jarn

PyMODINIT_FUNC PyInit__jarn(void) { return jarn::create_module(); }
