// What one call or return event carries while the callback handles it.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>
#include <vector>

#include "../utils/cpython_compat.hpp"
#include "../utils/frame_state.hpp"
#include "../utils/msgpack.hpp"
#include "call_stack.hpp"
#include "state.hpp"

namespace jarn {

struct Event {
    Event(PyThreadState* running, ProfilerObject* profiler_object, compat::InterpreterFrame* event_frame,
          PyCodeObject* event_code, bool returning, PyObject* value)
        : tstate(running),
          self(profiler_object),
          profiler(*profiler_object->state),
          frame(event_frame),
          code(event_code),
          co_filename(event_code->co_filename),
          co_name(event_code->co_name),
          is_return(returning),
          arg(value) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    PyThreadState* tstate;  // the running thread's
    ProfilerObject* self;
    ProfilerState& profiler;
    compat::InterpreterFrame* frame;  // borrowed: the event's frame, running for the whole event
    PyCodeObject* code;     // borrowed: the frame's, kept alive by it
    PyObject* co_filename;  // borrowed from the code object, which the frame keeps alive
    PyObject* co_name;      // borrowed, likewise
    std::string_view filename;  // UTF-8 of co_filename and co_name, read when a plugin needs them
    std::string_view name;
    bool is_return;
    PyObject* arg;  // borrowed; None when the interpreter passes none
    std::vector<EventRecord> records;
    const ThreadIdentity* thread = nullptr;  // looked up once per event, on first need
    ThreadState* thread_state_ = nullptr;
    // Set by start_frame_record: the frame's id (a new one waits for the record's timestamp, see
    // make_pending_id) and call site, for a record that follows it.
    FrameStart start;
    // When jarn began on the event (own_clock::now(); 0 when the event is not timed), its step,
    // and the note of its frame record (set by build_frame_record).
    std::uint64_t started = 0;
    records::Step step = records::Step::plain;
    records::Note note;

    PyFrameObject* frame_object_ = nullptr;  // made on first need (plugins, error reports)

    // The event's frame object, borrowed; null with the exception set when it cannot be made.
    PyFrameObject* frame_object() {
        if (frame_object_ == nullptr) frame_object_ = compat::frame_object(frame);
        return frame_object_;
    }

    ThreadState& thread_state() {
        if (thread_state_ == nullptr) thread_state_ = &profiler.thread_state(tstate);
        return *thread_state_;
    }

    const char* event_name() const { return is_return ? "return" : "call"; }
    PyObject* event_name_object() const;  // interned "call" / "return", borrowed
};

Boundary boundary_of(std::string_view type);

// Looks up the running thread once per event.
bool event_thread(Event& ev);

// Reports the pending Python exception on the "jarn" logger with the event's context and clears it.
void report_pending(const Event& ev);

// Steals `exc` and reports it; see log_error.cpp.
// `frame` may be null (its locals are then not reported).
void log_error(PyObject* exc, compat::InterpreterFrame* frame, const char* event, PyObject* co_filename,
               PyObject* co_name);

bool process_plugins(Event& ev);   // appends plugin records; failures reported per processor
// A frame record in two steps: start_frame_record chooses its id, finds its call site and
// updates the thread's stack; write_frame_record writes it into `out` (for store_record).
// build_frame_record is both.
void start_frame_record(Event& ev);
bool write_frame_record(Event& ev, msgpack::Buffer& out);
bool build_frame_record(Event& ev, msgpack::Buffer& out);
// Makes the pending id at the record's timestamp and puts it at `text` (may be null) and on the stack.
void make_pending_id(Event& ev, std::uint64_t now_ns, std::uint8_t* text);
// An event of a recorded frame past the trace's memory limit: the call stack kept as a record
// would keep it, the record counted, nothing made.
void count_past_limit(ProfilerState& p, PyThreadState* tstate, compat::InterpreterFrame* frame, bool is_return,
                      PyObject* arg, PyObject* unwinding);
bool push_frames(Event& ev);
// Keeps one record of an event that has no plugin records in its thread's list.
bool store_record(Event& ev, const msgpack::Buffer& record, const records::Note& note);

// Whether the trace has room for a record of `size` bytes: true, and it is counted as kept; else
// it is counted as dropped (the first one dropped warns).
bool admit_past_limit(ProfilerState& p, std::size_t size);
// admit() while the record fits: false, with nothing counted, when admit_past_limit must decide.
[[gnu::always_inline]] inline bool admit_within_limit(ProfilerState& p, std::size_t size) {
    TraceLimit& limit = p.limit;
    if (limit.records_dropped == 0 && limit.kept_bytes + size <= p.max_trace_bytes) [[likely]] {
        limit.kept_bytes += size;
        ++limit.kept_records;
        return true;
    }
    return false;
}
[[gnu::always_inline]] inline bool admit(ProfilerState& p, std::size_t size) {
    return admit_within_limit(p, size) || admit_past_limit(p, size);
}

// The list a thread's records go to, for its native id: the main thread's or its own.
RecordList& thread_records_slow(ProfilerState& p, ThreadState& ts, std::optional<std::uint64_t> native_id);
inline RecordList& thread_records(ProfilerState& p, ThreadState& ts, std::optional<std::uint64_t> native_id) {
    if (ts.records_generation == p.lists_generation && ts.records_native_id == native_id) return *ts.records;
    return thread_records_slow(p, ts, native_id);
}
// The same for the thread's cached identity (one looked up): its native id is compared only when
// the identity has been looked up again.
[[gnu::noinline]] inline RecordList& thread_records_again(ProfilerState& p, ThreadState& ts, const ThreadIdentityCache& known) {
    RecordList& found = thread_records(p, ts, known.identity.native_id);
    ts.records_lookup = known.lookups;
    return found;
}
inline RecordList& thread_records(ProfilerState& p, ThreadState& ts, const ThreadIdentityCache& known) {
    if (ts.records_generation == p.lists_generation && ts.records_lookup == known.lookups) [[likely]] return *ts.records;
    return thread_records_again(p, ts, known);
}

}  // namespace jarn
