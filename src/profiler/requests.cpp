#include "requests.hpp"

#include "../lib/args.hpp"
#include "../utils/convert.hpp"
#include "../utils/frame_state.hpp"
#include "../utils/internal_error.hpp"
#include "../utils/ulid.hpp"
#include "../utils/msgpack.hpp"
#include "../utils/record_layout.hpp"
#include "callback.hpp"
#include "event.hpp"
#include "exceptions.hpp"

namespace jarn {
namespace {

ProfilerObject* as_profiler(PyObject* self) { return reinterpret_cast<ProfilerObject*>(self); }

// More spare identities than this are of threads that have mostly ended (a server that starts a
// thread per request): they are let go of.
constexpr std::size_t kSpareIdentities = 256;

// The request's thread identities go back to its origin, for the next request on each thread.
void give_back_identities(ProfilerState& state) {
    ProfilerState* home = state.identities_home;
    if (home == nullptr) return;
    state.identities_home = nullptr;
    if (home->spare_identities.size() >= kSpareIdentities) home->spare_identities.clear();
    for (auto& [thread_id, thread] : state.threads) {
        if (thread == nullptr || !thread->identity.reusable) continue;
        home->spare_identities[thread_id] = std::move(thread->identity);
        thread->identity = ThreadIdentityCache();  // looked up again, should this thread need it
    }
}

void close_request(ProfilerObject* request) {
    if (!request->request_open) return;
    request->request_open = false;
    if (request->state != nullptr) give_back_identities(*request->state);
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
    auto p = std::make_unique<ProfilerState>(static_cast<const ProfilerSettings&>(from));
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
    // A forked child's threads are not those its origin's identities were looked up on.
    if (p->fork_generation == from.fork_generation) p->identities_home = origin->state;
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

PyObject* method_request_record(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static const char* const params[] = {"type", "method", "path", "status", "duration"};
    PyObject* a[5];  // borrowed
    if (!parse_required_args("request_record", params, 5, args, nargsf, kwnames, a)) return nullptr;
    if (!is_profiler(self)) return raise_conversion_error(self, "JarnProfiler");
    std::string_view type;
    std::string_view method;
    std::string_view path;
    if (!utf8_of(a[0], type) || !utf8_of(a[1], method) || !utf8_of(a[2], path)) return nullptr;
    const bool response = type == "response";
    if (!response && type != "request") {
        PyErr_Format(PyExc_ValueError, "a request's record is of type 'request' or 'response', not %R", a[0]);
        return nullptr;
    }
    if ((a[3] != Py_None && !PyLong_Check(a[3])) || (a[4] != Py_None && !PyFloat_Check(a[4]))) {
        PyErr_SetString(PyExc_TypeError, "a response's status is an int or None, its duration a float or None");
        return nullptr;
    }
    ProfilerObject* request = as_profiler(self);
    PyThreadState* tstate = PyThreadState_Get();
    compat::InterpreterFrame* frame = compat::current_python_frame(tstate);  // borrowed: the caller's
    if (!request->request_open || frame == nullptr) Py_RETURN_NONE;
    const std::optional<double> now = timestamp_seconds();
    if (!now) return raise_internal_error("System time is before unix epoch");
    Event ev(tstate, request, frame, compat::code_of(frame), false, Py_None);
    ThreadState& ts = ev.thread_state();
    if (!event_thread(ev)) return nullptr;
    const Identifier id = frame_id();
    CallSite site{};
    const int has_site = user_code_call_site(ts.call_frames, frame, id, site);
    // The layout of a plugin record (record_layout.hpp), with the web plugin's own entries.
    msgpack::Buffer b;
    b.reserve(160 + method.size() + path.size());  // grown once, not at each entry
    msgpack::write_map_header(b, response ? 10 : 8);
    msgpack::write_str_pair(b, "frame_id", view(id));
    msgpack::write_f64_pair(b, *now);
    msgpack::put_bytes(b, ev.thread->record_entries.data(), ev.thread->record_entries.size());
    records::write_user_code_call_site(b, has_site > 0 ? &site : nullptr);
    msgpack::write_str_pair(b, "type", type);
    msgpack::write_str_pair(b, "method", method);
    msgpack::write_str_pair(b, "path", path);
    if (response) {
        msgpack::write_str(b, "status");
        if (a[3] == Py_None) {
            msgpack::write_nil(b);
        } else {
            const long long status = PyLong_AsLongLong(a[3]);
            if (status == -1 && PyErr_Occurred()) return nullptr;
            msgpack::write_int(b, status);
        }
        msgpack::write_str(b, "duration");
        if (a[4] == Py_None) {
            msgpack::write_nil(b);
        } else {
            msgpack::write_f64(b, PyFloat_AS_DOUBLE(a[4]));
        }
    }
    if (!store_record(ev, b, {ts.own_ticks, 0})) return nullptr;
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
