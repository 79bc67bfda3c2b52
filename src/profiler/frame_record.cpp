// The ordinary 12-entry record of a recorded call or return, and the per-thread state that ties
// a return to its call.
#include <cstring>

#include "../lib/internal_error.hpp"
#include "../utils/cpython_compat.hpp"
#include "../utils/frame_info.hpp"
#include "../utils/host_serialize.hpp"
#include "../utils/interned.hpp"
#include "event.hpp"

namespace jarn {
namespace {

// Index of the frame's own open call, searched from the top; -1 when it is not on the stack.
std::ptrdiff_t own_entry(const std::vector<OpenCall>& call_frames, compat::InterpreterFrame* frame) {
    for (std::ptrdiff_t i = std::ptrdiff_t(call_frames.size()) - 1; i >= 0; --i) {
        if (call_frames[std::size_t(i)].frame == frame) return i;
    }
    return -1;
}

// A return pops its own frame's entry and any left above it (calls whose returns never came);
// a return whose frame is not on the stack pops nothing.
void pop_through(ThreadState& ts, std::ptrdiff_t own) {
    if (own >= 0) ts.call_frames.resize(std::size_t(own));
}

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

}  // namespace

bool event_thread(Event& ev) {
    if (ev.thread) return true;
    return current_thread(ev.thread_state().identity, ev.thread);
}

bool build_frame_record(Event& ev, msgpack::Buffer& out) {
    ProfilerState& p = ev.profiler;
    ThreadState& ts = ev.thread_state();
    // Kept on the event for a record that follows (the exception record).
    Identifier& id = ev.own_id;
    CallSite& site = ev.site.emplace();
    int has_site = 0;
    if (!ev.is_return) {
        id = frame_id();
        if (!ts.call_frames.empty()) has_site = call_site_of(ts.call_frames.back(), ev.frame, ts.lines, site);
        ts.call_frames.push_back(OpenCall{ev.frame, id});
    } else {
        const std::ptrdiff_t own = own_entry(ts.call_frames, ev.frame);
        if (own >= 0) {
            id = ts.call_frames[std::size_t(own)].id;
            if (own > 0) has_site = call_site_of(ts.call_frames[std::size_t(own) - 1], ev.frame, ts.lines, site);
        } else {
            // A return whose call was not recorded (profiling began inside the frame, or the
            // interpreter sent no call): an id of its own.
            id = frame_id();
            if (!ts.call_frames.empty()) has_site = call_site_of(ts.call_frames.back(), ev.frame, ts.lines, site);
        }
        pop_through(ts, own);
    }
    if (!has_site) ev.site.reset();

    if (!event_thread(ev)) return false;
    msgpack::Buffer& b = out;
    // The texts are written before the variables are read: naming the frame may run code.
    msgpack::put_u8(b, 0x8c);
    if (!write_code_texts(ev.frame, ev.code, ts.lines, ts.texts, ts.names_text, b)) return false;
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

    // Then the event, the id and the argument's key in one piece: fixed texts 32 bytes, the id 30.
    msgpack::RawWriter head(b, 64);
    if (ev.is_return) {
        head.constant("\xa5" "event\xa6return\xa8" "frame_id");
    } else {
        head.constant("\xa5" "event\xa4" "call\xa8" "frame_id");
    }
    head.str(view(id));
    head.constant("\xa3" "arg");
    head.finish();
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
            msgpack::put_bytes(b, "\xa6locals", 7);
        }
        if (!write_variables(ts, locals.get(), p.values, b)) return false;
    }

    const std::optional<double> now = timestamp_seconds();
    if (!now) {
        raise_internal_error("System time is before unix epoch");
        return false;
    }
    // The thread's entries, then keys 68 bytes, the time, the caller's id and line at most 49.
    msgpack::put_bytes(b, ev.thread->record_entries.data(), ev.thread->record_entries.size());
    msgpack::RawWriter tail(b, 130);
    tail.constant("\xa9timestamp");
    tail.f64(*now);
    tail.constant("\xa4type\xa5" "frame\xb3user_code_call_site");
    if (has_site) {
        tail.constant("\x82\xad" "call_frame_id");
        tail.str(view(site.call_frame_id));
        tail.constant("\xabline_number");
        tail.sint(site.line_number);
    } else {
        tail.byte(0xc0);
    }
    tail.finish();
    return true;
}

}  // namespace jarn
