// What one call or return event carries while the callback handles it.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>
#include <vector>

#include "../utils/cpython_compat.hpp"
#include "../utils/frame_state.hpp"
#include "../utils/msgpack.hpp"
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
    // Set by build_frame_record: the frame's id and call site, for a record that follows it.
    Identifier own_id;  // uninitialised until then
    std::optional<CallSite> site;
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
bool build_frame_record(Event& ev, msgpack::Buffer& out);
// An event of a recorded frame past the trace's memory limit: the call stack kept as a record
// would keep it, the record counted, nothing made.
void count_past_limit(ProfilerState& p, PyThreadState* tstate, compat::InterpreterFrame* frame, bool is_return,
                      PyObject* arg, PyObject* unwinding);
bool push_frames(Event& ev);
// Keeps one record of an event that has no plugin records in its thread's list.
bool store_record(Event& ev, const msgpack::Buffer& record, const records::Note& note);

}  // namespace jarn
