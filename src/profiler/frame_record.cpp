// The ordinary 12-entry record of a recorded call or return, and the per-thread state that ties
// a return to its call.
#include <cstring>

#include "../utils/internal_error.hpp"
#include "../utils/code_info.hpp"
#include "../utils/cpython_compat.hpp"
#include "../utils/frame_info.hpp"
#include "../utils/host_serialize.hpp"
#include "../utils/interned.hpp"
#include "../utils/own_clock.hpp"
#include "event.hpp"
#include "exceptions.hpp"

namespace jarn {
namespace {

// Releases the values of the variables read into the thread's state when the record is done.
struct HeldVariables {
    explicit HeldVariables(ThreadState& ts) : ts_(ts) {}
    HeldVariables(const HeldVariables&) = delete;
    HeldVariables& operator=(const HeldVariables&) = delete;
    ~HeldVariables() {
        if (ts_.local_values.empty() && ts_.local_names.empty()) return;
        // Emptied first: releasing a value may run code.
        std::vector<PyObject*> values;
        values.swap(ts_.local_values);
        ts_.local_names.clear();
        for (PyObject* v : values) Owned::steal(v);
        values.clear();
        if (ts_.local_values.capacity() < values.capacity()) values.swap(ts_.local_values);  // keep the memory
    }
    ThreadState& ts_;
};

// The "locals" value: `locals` when it was read as an object, else the variables held in the
// thread's state, written as the dict of them would be.
bool write_variables(ThreadState& ts, PyObject* locals, ValuesMode mode, msgpack::Buffer& b) {
    if (locals != nullptr) return dump_msgpack(locals, mode, b);
    const std::size_t n = ts.local_names.size();
    const int written = dump_msgpack_map(ts.local_names.data(), ts.local_values.data(), n, mode, b);
    if (written != 0) return written > 0;
    Owned dict = Owned::steal(PyDict_New());
    if (!dict) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (PyDict_SetItem(dict.get(), ts.local_names[i], ts.local_values[i]) < 0) return false;
    }
    return dump_msgpack(dict.get(), mode, b);
}

// A function frame's variables into the thread's state, each value held.
void hold_variables(ThreadState& ts, compat::InterpreterFrame* frame) {
    compat::FrameVariables variables(frame);
    PyObject* name;   // borrowed
    PyObject* value;  // borrowed
    while (variables.next(name, value)) {
        if (is_builtins_name(name)) continue;
        ts.local_names.push_back(name);
        ts.local_values.push_back(Owned::borrow(value).release());
    }
}

// The number of the generator's or coroutine's run that this step belongs to; 0 for a frame of
// ordinary code.
std::uint32_t logical_call(Event& ev) {
    using records::Step;
    if (ev.step == Step::plain) return 0;
    auto& calls = ev.profiler.logical_calls;
    auto found = calls.find(ev.frame);
    if (found == calls.end() || ev.step == Step::start) {
        const std::uint32_t number = ev.profiler.next_logical_call++ & ((1u << 29) - 1);
        if (found == calls.end()) {
            found = calls.emplace(ev.frame, ProfilerState::LogicalCall{number, -1}).first;
        } else {
            found->second = ProfilerState::LogicalCall{number, -1};
        }
    }
    const std::uint32_t number = found->second.number;
    found->second.thrown_at = ev.step == Step::thrown ? compat::instruction_index(ev.frame) : -1;
    if (ev.step == Step::finish || ev.step == Step::unwind) calls.erase(found);
    return number;
}

}  // namespace

void count_past_limit(ProfilerState& p, PyThreadState* tstate, compat::InterpreterFrame* frame, bool is_return,
                      PyObject* arg, PyObject* unwinding) {
    ThreadState& ts = p.thread_state(tstate);
    // A call past the limit is not put on the stack: its return, if it comes in a later trace,
    // is that of a call not recorded. A return pops a call recorded before the limit.
    if (is_return) {
        pop_through(ts, own_entry(ts.call_frames, frame));
        if (unwinding == nullptr && ts.raising_frame == frame) Owned::steal(take_raised_exception(ts, frame, arg));
    }
    p.limit.count_unmade();
}

bool event_thread(Event& ev) {
    if (ev.thread) return true;
    return current_thread(ev.thread_state().identity, ev.thread);
}

void make_pending_id(Event& ev, std::uint64_t now_ns, std::uint8_t* text) {
    FrameStart& start = ev.start;
    if (!start.id_pending) return;
    start.id_pending = false;
    start.id = frame_id_at(now_ns);
    if (text != nullptr) std::memcpy(text, start.id.data(), start.id.size());
    ThreadState& ts = ev.thread_state();
    if (start.id_entry < ts.call_frames.size()) ts.call_frames[start.id_entry].id = start.id;
}

void start_frame_record(Event& ev) {
    ev.start = FrameStart{};
    start_frame(ev.thread_state(), ev.frame, ev.is_return, ev.start);
    if (ev.start.id_pending) ev.start.id = Identifier{};
}

namespace {

bool write_frame_record_inner(Event& ev, msgpack::Buffer& out) {
    ProfilerState& p = ev.profiler;
    ThreadState& ts = ev.thread_state();
    const Identifier& id = ev.start.id;
    if (!event_thread(ev)) return false;
    msgpack::Buffer& b = out;
    // The texts are written before the variables are read: naming the frame may run code.
    msgpack::put_u8(b, records::kFrameHeader);
    if (!write_code_texts(ev.frame, ev.code, ev.started != 0 ? ev.started : own_clock::now(), b)) return false;
    const RecordValueBudget budget(p.slow_repr_ns, p.scrub, p.scrub_argument.get());  // the argument and the locals share it
    // Read now, before any Python code runs; a function frame's variables are not put in a dict.
    Owned locals;
    const bool no_locals = ev.is_return && p.omit_return_locals;
    compat::FrameVariables variables(ev.frame);
    const bool from_frame = !no_locals && variables.mapping() == nullptr;
    if (!from_frame) {
        locals = Owned::steal(get_locals(ev.frame, ev.is_return, p.omit_return_locals));
        if (!locals) return false;
    }

    // Then the event, the id and the argument's key in one piece.
    msgpack::RawWriter head(b, records::kEventAndIdMost);
    records::write_frame_event_and_id(head, ev.is_return, id);
    head.finish();
    const std::size_t id_at = b.size() - records::kArgKey.size() - id.size();
    // The values go straight into the record; both are serialised before the timestamp is read,
    // as the record promises. Plain values are written without the serialiser, and then no code
    // runs between reading the variables and writing them; otherwise the variables are held
    // before the serialiser runs.
    HeldVariables held(ts);
    const int plain_written = write_plain_values(ev.arg, from_frame ? &variables : nullptr, p.values, b);
    if (plain_written < 2) {
        if (from_frame) hold_variables(ts, ev.frame);
        if (plain_written == 0) {
            if (!dump_msgpack(ev.arg, p.values, b)) return false;
            msgpack::put_bytes(b, records::kLocalsKey.data(), records::kLocalsKey.size());
        }
        if (!write_variables(ts, locals.get(), p.values, b)) return false;
    }

    const std::uint64_t now_ns = realtime_ns();
    const std::uint64_t own_now = ev.started != 0 ? own_clock::now() : 0;
    if (now_ns == 0) {
        raise_internal_error("System time is before unix epoch");
        return false;
    }
    make_pending_id(ev, now_ns, b.data() + id_at);
    ev.note.own = ts.own_ticks + (own_now > ev.started ? own_now - ev.started : 0);
    ev.note.step = records::step_of(ev.step, logical_call(ev));
    msgpack::put_bytes(b, ev.thread->record_entries.data(), ev.thread->record_entries.size());
    msgpack::RawWriter tail(b, records::kFrameTailMost);
    records::write_frame_tail(tail, seconds_of(now_ns), ev.start.has_site ? &ev.start.site : nullptr);
    tail.finish();
    return true;
}

}  // namespace

bool write_frame_record(Event& ev, msgpack::Buffer& out) {
    const bool written = write_frame_record_inner(ev, out);
    // A record that failed still gives its call an id, so that the call's return finds it.
    if (ev.start.id_pending) make_pending_id(ev, realtime_ns(), nullptr);
    return written;
}

bool build_frame_record(Event& ev, msgpack::Buffer& out) {
    start_frame_record(ev);
    return write_frame_record(ev, out);
}

}  // namespace jarn
