// The native profiler: settings copied once from the host profiler object, what the callback
// collects, and the Python object that carries it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <string>
#include <unordered_map>
#include <vector>

#include "../encoder/scrub.hpp"
#include "../filters/builtin.hpp"
#include "../plugins/plugin_processor.hpp"
#include "../utils/finder.hpp"
#include "../utils/frame_info.hpp"
#include "../utils/frame_state.hpp"
#include "../utils/host_serialize.hpp"
#include "../utils/owned.hpp"
#include "../utils/ulid.hpp"
#include "../utils/cpython_compat.hpp"
#include "../utils/msgpack.hpp"
#include "../utils/own_clock.hpp"
#include "../utils/record_layout.hpp"
#include "record_list.hpp"

namespace jarn {

struct HandedOver;  // trace.cpp

// What one trace keeps and what it dropped once its records reached the memory limit.
struct TraceLimit {
    std::uint64_t kept_bytes = 0;
    std::uint64_t kept_records = 0;
    std::uint64_t records_dropped = 0;
    std::uint64_t bytes_dropped = 0;
    double reached_at = 0;  // timestamp of the first dropped record
    // Whether the monitoring engine switched places off past the limit: their later events are
    // not seen, so records_dropped counts at least the records that were dropped.
    bool places_switched_off = false;

    bool reached() const { return records_dropped != 0; }
    // Past the limit a frame record is counted, not made: its size is taken as the kept
    // records' mean.
    void count_unmade() {
        ++records_dropped;
        bytes_dropped += kept_records != 0 ? kept_bytes / kept_records : 0;
    }
};

// Record types that mean something to the buffers; every other type is just carried along.
enum class Boundary : std::uint8_t { none, start_test, end_test };

struct EventRecord {
    msgpack::Buffer bytes;
    Boundary boundary;
    records::Note note = {};
};

// Call state private to one interpreter thread; only that thread touches it.
struct ThreadState {
    std::vector<OpenCall> call_frames;                        // innermost last
    // jarn's own time on this thread so far, in the own clock's ticks (see records::Note).
    std::uint64_t own_ticks = 0;
    ThreadIdentityCache identity;
    // Memory of the last event's records, reused so that an ordinary event allocates nothing.
    msgpack::Buffer spare_record;
    // The list this thread's records go to, found for `records_native_id` while the profiler's
    // lists_generation is `records_generation` (see thread_records).
    RecordList* records = nullptr;
    std::uint64_t records_generation = 0;
    std::optional<std::uint64_t> records_native_id;
    // The identity lookup (ThreadIdentityCache::lookups) whose native id `records` was found for.
    std::uint64_t records_lookup = 0;
    // The list of the last event's records, emptied, so that an event allocates no list.
    std::vector<EventRecord> record_list;
    // A function frame's variables while its record is written: names borrowed from the code
    // object, values held (strong) until the record is done.
    std::vector<PyObject*> local_names;
    std::vector<PyObject*> local_values;
    // The exception passing through the innermost recorded frame, from its raising there until
    // a handler there takes it or the frame is left by it. The frame is only compared, never
    // followed.
    const compat::InterpreterFrame* raising_frame = nullptr;
    Owned raising_exception;
    void clear_raising();
    // The plain way's checks of the thread (its identity holds without a lookup, `records` is
    // its list, the process has not forked), found true at plain_stamp(); 0 when not known.
    std::uint64_t plain_checked_at = 0;
};

// Settings, copied once from the host profiler object. A request's profiler copies its origin's
// (see requests.hpp): whatever is added here reaches requests too.
struct ProfilerSettings {
    std::string db_path;
    bool one_trace_per_test = false;
    std::string source;
    std::vector<Finder> include_frames;
    std::vector<Finder> ignore_frames;
    double start_timestamp = 0;
    std::optional<std::uint64_t> main_thread_id;
    std::uint64_t sqlite_busy_timeout = 60;
    bool use_threading = false;
    ValuesMode values = ValuesMode::fields;
    bool omit_return_locals = false;
    bool record_notes = false;  // jarn's own time and generators' steps beside the records
    // What is scrubbed from recorded values (the same as the host's serialiser is told is the
    // state's scrub_argument).
    scrub::Rules scrub;
    own_clock::Reading clock_start;  // the own clock when profiling began, for its rate
    std::int64_t slow_repr_ns = 1000000;
    std::uint64_t max_trace_bytes = std::uint64_t(1) << 30;
    // Distinguishes this profiler's cached per-code decisions from another profiler's (a request's
    // profiler shares its origin's: the same filters and plugins).
    std::uint64_t epoch = 0;
};

struct ProfilerState : ProfilerSettings {
    ProfilerState() = default;
    // A request's state, from its origin's settings: copied, never built and then overwritten.
    explicit ProfilerState(const ProfilerSettings& settings) : ProfilerSettings(settings) {}

    // The scrub setting as the host's serialiser is given it; a reference, so not among the
    // copied settings: a request's profiler takes its origin's (see requests.cpp).
    Owned scrub_argument;
    // Shared between threads; touched only with the interpreter lock held and never across a
    // call into Python code.
    std::string trace_id;
    RecordList frames_of_interest;
    std::unordered_map<std::uint64_t, RecordList> frames;
    // Moves on whenever entries of `frames` are removed, which a thread's cached list may be.
    std::uint64_t lists_generation = 1;
    PluginMap plugins;
    // A request's profiler runs its origin's plugins, kept alive by the origin (see requests.hpp).
    PluginMap* shared_plugins = nullptr;
    PluginMap& plugin_map() { return shared_plugins != nullptr ? *shared_plugins : plugins; }
    // The current trace's records past `max_trace_bytes`: counted, not kept.
    TraceLimit limit;
    // The logical call of each generator or coroutine frame that has started and not finished,
    // by the frame's address (it lives inside the generator object), and the next number.
    struct LogicalCall {
        std::uint32_t number;
        int thrown_at;  // the instruction its last step was thrown in at, -1 when not thrown
    };
    std::unordered_map<const compat::InterpreterFrame*, LogicalCall> logical_calls;
    std::uint32_t next_logical_call = 1;

    // Per-thread call state keyed by the interpreter's thread state id, which is never reused.
    std::unordered_map<std::uint64_t, std::unique_ptr<ThreadState>> threads;
    // An origin's: the thread identities its closed requests looked up, by thread state id, for
    // the thread's next request (looking one up calls into threading; one handed on is only
    // checked, as at every event). A request's: its origin's state, where its identities go back
    // when it closes (see requests.cpp); null for every other profiler.
    std::unordered_map<std::uint64_t, ThreadIdentityCache> spare_identities;
    ProfilerState* identities_home = nullptr;
    std::size_t threads_after_sweep = 0;
    // The entry found last: consecutive events mostly come from the same thread.
    std::uint64_t last_thread_id = 0;
    ThreadState* last_thread = nullptr;

    // The process this state belongs to; a forked child starts its own trace (see adopt_after_fork).
    std::uint64_t fork_generation = 0;

    // While the host stores a test's trace (save_in_db): the bytes it was given, and what they
    // were made of, for `handed_over_summary`.
    const HandedOver* handed_over = nullptr;

    ThreadState& thread_state() { return thread_state(PyThreadState_Get()); }
    // `tstate` is the running thread's. Its id is unique for the life of the process, unlike the
    // thread state's address or the OS thread id, so a new thread never inherits an old stack.
    ThreadState& thread_state(PyThreadState* tstate) {
        if (last_thread != nullptr && last_thread_id == tstate->id) return *last_thread;
        return thread_state_slow(tstate);
    }
    // Frees the state of threads that no longer exist (the calling thread's is kept).
    void forget_ended_threads(PyThreadState* current);
    // Whether this is a forked child whose own trace has not begun yet (see adopt_after_fork).
    bool forked() const { return fork_generation_counted() != fork_generation; }
    // What the plain way's checks of a thread depend on, outside the thread's own state: the
    // watched dicts, the record lists, the identity lookups and forks. Each of these generations
    // only grows, so the sum is the same only while none of them has moved.
    std::uint64_t plain_stamp() const {
        return watched_generation() + lists_generation + ThreadIdentityCache::lookups_made + fork_generation_counted();
    }

private:
    ThreadState& thread_state_slow(PyThreadState* tstate);
};

struct ProfilerObject {
    PyObject_HEAD
    ProfilerState* state;
    bool holds_exception_tool;
    // A request's profiler (requests.hpp): the profiler it was begun from (owned), and whether its
    // request is still open. Null and false for every other profiler.
    PyObject* origin;
    bool request_open;
    // An origin's: its requests still open.
    std::size_t open_requests;
};

// What a forked child's trace says of where it came from; empty texts: the parent's trace id
// and "fork".
struct ForkLink {
    std::string_view trace_id;
    std::string_view parent_trace_id;
    std::string_view started_by;
};

// In a child process after fork the parent's records are not the child's, and the other threads
// are gone: the child's own trace begins, with a "process" record naming the parent's trace and
// then a call record for each recorded call the forking thread was inside, so that the trace
// stands alone. Cheap when nothing happened.
void begin_forked_trace(ProfilerObject* self, const ForkLink& link);
inline void adopt_after_fork(ProfilerObject* self) {
    if (self->state->forked()) begin_forked_trace(self, ForkLink{});
}

// Appends the "process" record that links this process's trace to its parent's.
bool write_process_record(ProfilerObject* self, std::string_view parent_trace_id, std::string_view started_by);

// The JarnProfiler type, created on first use.
PyTypeObject* profiler_type();
bool is_profiler(PyObject* obj);
// Wraps a finished state in a new JarnProfiler object (taking ownership of the state).
PyObject* wrap_profiler(std::unique_ptr<ProfilerState> state);

}  // namespace jarn
