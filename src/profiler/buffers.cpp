// Where an event's records go: the main thread's list, a list per other thread, and in
// one-trace-per-test mode the test boundaries that start and save traces.
#include <algorithm>
#include <string>

#include "../utils/interned.hpp"
#include "../utils/owned.hpp"
#include "event.hpp"
#include "monitoring.hpp"
#include "trace.hpp"

namespace jarn {
namespace {

// Said once per trace, on the "jarn" logger, when its first record is dropped. Best effort: a
// broken logging setup must not reach the program, and an exception already pending stays so.
void warn_limit_reached(const ProfilerState& p) {
    PyObject* pending = PyErr_GetRaisedException();
    const std::string message = "jarn: trace " + p.trace_id + " reached its memory limit of " +
                                std::to_string(p.max_trace_bytes) +
                                " bytes (max_trace_bytes); later records are counted, not kept";
    Owned logging = Owned::steal(import_module(names.mod_logging));
    Owned logger = logging ? Owned::steal(PyObject_CallMethodOneArg(logging.get(), names.getLogger, names.jarn)) : Owned();
    Owned text = Owned::steal(PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size())));
    Owned result = logger && text ? Owned::steal(PyObject_CallMethodOneArg(logger.get(), names.warning, text.get())) : Owned();
    if (!result) {
        Owned failure = Owned::steal(PyErr_GetRaisedException());
        if (failure && PyErr_GivenExceptionMatches(failure.get(), PyExc_KeyboardInterrupt)) PyErr_SetInterrupt();
    }
    PyErr_SetRaisedException(pending);
}

}  // namespace

bool admit_past_limit(ProfilerState& p, std::size_t size) {
    TraceLimit& limit = p.limit;
    if (limit.records_dropped == 0 && limit.kept_bytes + size <= p.max_trace_bytes) {
        limit.kept_bytes += size;
        ++limit.kept_records;
        return true;
    }
    if (limit.records_dropped == 0) {
        limit.reached_at = timestamp_seconds().value_or(0.0);
        warn_limit_reached(p);
    }
    ++limit.records_dropped;
    limit.bytes_dropped += size;
    return false;
}

// The list a thread's records go to: the main thread's, or one per other thread.
RecordList& records_of(ProfilerState& p, std::optional<std::uint64_t> native_id) {
    if (!native_id || !p.use_threading || (p.main_thread_id && *native_id == *p.main_thread_id)) {
        return p.frames_of_interest;
    }
    return p.frames[*native_id];
}

RecordList& thread_records_slow(ProfilerState& p, ThreadState& ts, std::optional<std::uint64_t> native_id) {
    ts.records = &records_of(p, native_id);
    ts.records_generation = p.lists_generation;
    ts.records_native_id = native_id;
    ts.records_lookup = 0;  // found for a native id: for which identity lookup is not known
    return *ts.records;
}

namespace {

void push_frame_data(ProfilerState& p, std::optional<std::uint64_t> native_id, std::vector<EventRecord>& records,
                     std::size_t from, std::size_t to) {
    if (from >= to) return;
    RecordList& target = records_of(p, native_id);
    for (std::size_t i = from; i < to; ++i) {
        if (admit(p, records[i].bytes.size())) target.append(records[i].bytes, p.record_notes ? &records[i].note : nullptr);
        records[i].bytes.clear();
    }
}

}  // namespace

Boundary boundary_of(std::string_view type) {
    if (type == "start_test") return Boundary::start_test;
    if (type == "end_test") return Boundary::end_test;
    return Boundary::none;
}

bool store_record(Event& ev, const msgpack::Buffer& record, const records::Note& note) {
    if (!event_thread(ev)) return false;
    ProfilerState& p = ev.profiler;
    RecordList& target = thread_records(p, ev.thread_state(), ev.thread->native_id);
    if (admit(p, record.size())) target.append(record, p.record_notes ? &note : nullptr);
    return true;
}

bool push_frames(Event& ev) {
    std::vector<EventRecord>& records = ev.records;
    if (records.empty()) return true;
    // Records are listed in call order; a return stores them innermost first.
    if (ev.is_return) std::reverse(records.begin(), records.end());
    if (!event_thread(ev)) return false;
    ProfilerState& p = ev.profiler;
    const std::optional<std::uint64_t> native_id = ev.thread->native_id;
    const std::size_t n = records.size();
    if (!p.one_trace_per_test) {
        push_frame_data(p, native_id, records, 0, n);
        return true;
    }
    std::size_t waiting = 0;
    for (std::size_t i = 0; i < n; ++i) {
        switch (records[i].boundary) {
            case Boundary::end_test:
                push_frame_data(p, native_id, records, waiting, i + 1);
                waiting = i + 1;
                if (!save_in_db(ev.self)) {
                    // The failed save kept its records; keep this event's later ones too.
                    PyObject* exc = PyErr_GetRaisedException();
                    push_frame_data(p, native_id, records, waiting, n);
                    PyErr_SetRaisedException(exc);
                    return false;
                }
                break;
            case Boundary::start_test:
                waiting = i;  // what came before the start belongs to no test
                {
                    const Identifier id = trace_id();
                    p.trace_id.assign(id.data(), id.size());
                }
                p.frames_of_interest = RecordList();
                p.frames.clear();
                ++p.lists_generation;
                {
                    const bool switched_off = p.limit.places_switched_off;
                    p.limit = TraceLimit();
                    if (switched_off) resume_after_limit(reinterpret_cast<PyObject*>(ev.self));
                }
                break;
            case Boundary::none:
                break;
        }
    }
    push_frame_data(p, native_id, records, waiting, n);
    return true;
}

}  // namespace jarn
