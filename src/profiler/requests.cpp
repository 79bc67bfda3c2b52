#include "requests.hpp"

#include "../lib/args.hpp"
#include "../utils/convert.hpp"
#include "../utils/frame_state.hpp"
#include "../utils/internal_error.hpp"
#include "../utils/ulid.hpp"
#include "callback.hpp"
#include "exceptions.hpp"

namespace jarn {
namespace {

ProfilerObject* as_profiler(PyObject* self) { return reinterpret_cast<ProfilerObject*>(self); }

void close_request(ProfilerObject* request) {
    if (!request->request_open) return;
    request->request_open = false;
    if (request->origin != nullptr) --as_profiler(request->origin)->open_requests;
}

}  // namespace

PyObject* method_begin_request(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static const char* const params[] = {"source", "install"};
    PyObject* parsed[2];  // borrowed
    if (!parse_required_args("begin_request", params, 2, args, nargsf, kwnames, parsed)) return nullptr;
    PyObject* source = parsed[0];
    const bool install = PyObject_IsTrue(parsed[1]) == 1;
    if (!is_profiler(self)) return raise_conversion_error(self, "JarnProfiler");
    ProfilerObject* origin = as_profiler(self);
    if (origin->origin != nullptr) {
        PyErr_SetString(PyExc_ValueError, "a request's profiler cannot begin requests of its own");
        return nullptr;
    }
    std::string_view text;
    if (!utf8_of(source, text)) return nullptr;
    const std::optional<double> now = timestamp_seconds();
    if (!now) return raise_internal_error("System time is before unix epoch");
    const ProfilerState& from = *origin->state;
    auto p = std::make_unique<ProfilerState>();
    static_cast<ProfilerSettings&>(*p) = from;
    p->scrub_argument = Owned::borrow(from.scrub_argument.get());
    p->source.assign(text);
    // A request is one trace on the threads that run its code, never a test run's.
    p->one_trace_per_test = false;
    p->use_threading = false;
    p->start_timestamp = *now;
    const Identifier id = trace_id();
    p->trace_id.assign(id.data(), id.size());
    // A request of a forked server's worker is the worker's own from the start.
    p->fork_generation = fork_generation_now();
    if (p->fork_generation != from.fork_generation && !get_main_thread_id(p->main_thread_id)) return nullptr;
    p->shared_plugins = &origin->state->plugin_map();
    // The profile hook says nothing of the exception a frame is left by: the exception tool
    // does, for every request of the origin that is profiled that way, from the first on.
    if (install && !origin->holds_exception_tool) {
        if (!acquire_exception_tool()) return nullptr;
        origin->holds_exception_tool = true;
    }
    PyObject* request = wrap_profiler(std::move(p));
    if (request == nullptr) return nullptr;
    as_profiler(request)->origin = Py_NewRef(self);
    as_profiler(request)->request_open = true;
    ++origin->open_requests;
    if (install) PyEval_SetProfile(profile_callback, request);
    return request;
}

PyObject* get_request_open(PyObject* self, void*) {
    return PyBool_FromLong(is_profiler(self) && as_profiler(self)->request_open);
}

PyObject* method_end_request(PyObject* self, PyObject*) {
    if (!is_profiler(self)) return raise_conversion_error(self, "JarnProfiler");
    close_request(as_profiler(self));
    Py_RETURN_NONE;
}

void forget_origin(ProfilerObject* self, std::vector<Owned>& released) {
    close_request(self);
    if (self->state != nullptr) self->state->shared_plugins = nullptr;
    if (self->origin != nullptr) {
        released.push_back(Owned::steal(self->origin));
        self->origin = nullptr;
    }
}

}  // namespace jarn
