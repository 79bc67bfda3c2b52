// Where an event's records go: the main thread's list, a list per other thread, and in
// one-trace-per-test mode the test boundaries that start and save traces.
#include <algorithm>

#include "event.hpp"
#include "trace.hpp"

namespace jarn {
namespace {

void push_frame_data(ProfilerState& p, std::optional<std::uint64_t> native_id, std::vector<EventRecord>& records,
                     std::size_t from, std::size_t to) {
    if (from >= to) return;
    RecordList* target;
    if (!native_id || !p.use_threading || (p.main_thread_id && *native_id == *p.main_thread_id)) {
        target = &p.frames_of_interest;
    } else {
        target = &p.frames[*native_id];
    }
    for (std::size_t i = from; i < to; ++i) {
        target->append(records[i].bytes);
        records[i].bytes.clear();
    }
}

}  // namespace

Boundary boundary_of(std::string_view type) {
    if (type == "start_test") return Boundary::start_test;
    if (type == "end_test") return Boundary::end_test;
    return Boundary::none;
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
                break;
            case Boundary::none:
                break;
        }
    }
    push_frame_data(p, native_id, records, waiting, n);
    return true;
}

}  // namespace jarn
