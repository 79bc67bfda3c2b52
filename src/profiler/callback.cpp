// The profile function. For every call and return: plugin records first, then the filter
// decision, then the frame's own record, then the buffers. The path of a frame that is dropped
// and has no plugin is one cached lookup on the code object: no allocation, no Python call.
#include "callback.hpp"

#include "../filters/builtin.hpp"
#include "../utils/internal_error.hpp"
#include "../utils/code_info.hpp"
#include "../utils/convert.hpp"
#include "../utils/cpython_compat.hpp"
#include "../utils/interned.hpp"
#include "../utils/own_clock.hpp"
#include "event.hpp"
#include "exceptions.hpp"
#include "plain_event.hpp"

namespace jarn {
namespace {

// Per code object and profiler we keep, in the code's CodeInfo, what depends only on the code
// object: the filename's verdict and whether any plugin processor matches its name and file,
// tagged with the profiler's epoch.
constexpr std::uintptr_t kVerdictMask = kVerdictBits;
constexpr std::uintptr_t kHasPlugins = kHasPluginsBit;
constexpr std::uintptr_t kUnreadable = kUnreadableCode;

constexpr std::size_t kLargestSpare = 64 * 1024;

// Keeps one stored record's memory for the thread's next event; a rare huge record is let go.
void keep_spare_memory(Event& ev) {
    if (ev.records.empty()) return;
    msgpack::Buffer* best = nullptr;
    for (EventRecord& r : ev.records) {
        if (r.bytes.empty() && r.bytes.capacity() <= kLargestSpare &&
            (best == nullptr || r.bytes.capacity() > best->capacity())) {
            best = &r.bytes;
        }
    }
    if (best != nullptr) ev.thread_state().spare_record = std::move(*best);
}

// The exception leaving the frame of a return event, as a new reference, or null. `unwinding` is
// the exception when the engine tells which one leaves the frame; otherwise the exception tool's
// notes say.
PyObject* leaving_exception(Event& ev, PyObject* unwinding) {
    return unwinding != nullptr ? failure_of(ev.code, unwinding)
                                : take_raised_exception(ev.thread_state(), ev.frame, ev.arg);
}

// A frame left by an exception gets its record right after its return record. The event's
// records are reversed when stored, so it goes just before the frame record here.
void add_exception_record(Event& ev, PyObject* unwinding) {
    Owned exc = Owned::steal(leaving_exception(ev, unwinding));
    if (!exc) return;
    msgpack::Buffer bytes;
    if (!build_exception_record(ev, exc.get(), bytes)) return report_pending(ev);
    ev.records.insert(ev.records.end() - 1, EventRecord{std::move(bytes), Boundary::none, {ev.note.own, 0}});
}

// Whether the frame itself is recorded: its file's verdict, and for user code the attrs rule.
bool records_frame(Event& ev, std::uintptr_t bits) {
    const auto verdict = static_cast<FilenameVerdict>(bits & kVerdictMask);
    if (verdict != FilenameVerdict::record_unless_attrs) return verdict == FilenameVerdict::include;
    const int attrs = called_from_attrs(ev.frame);
    if (attrs < 0) report_pending(ev);
    return attrs == 0;
}

// An event of a code object no plugin watches: its frame record (and the exception record of a
// frame left by an exception) go from the thread's buffer straight into the trace.
void record_frame(Event& ev, PyObject* unwinding) {
    start_frame_record(ev);
    msgpack::Buffer& bytes = ev.thread_state().spare_record;
    bytes.clear();
    if (!write_frame_record(ev, bytes) || !store_record(ev, bytes, ev.note)) return report_pending(ev);
    if (ev.is_return) {
        Owned exc = Owned::steal(leaving_exception(ev, unwinding));
        if (exc) {
            bytes.clear();
            if (!build_exception_record(ev, exc.get(), bytes) || !store_record(ev, bytes, {ev.note.own, 0})) {
                report_pending(ev);
            }
        }
    }
    // A rare huge record's memory is not kept for the thread's next event.
    if (bytes.capacity() > kLargestSpare) msgpack::Buffer().swap(bytes);
}

// An event of a code object a plugin watches: plugin records first, then the frame's own, each
// stored in order once all are made (a test boundary among them starts or saves a trace).
void record_with_plugins(Event& ev, std::uintptr_t bits, PyObject* unwinding) {
    // Both are str: classify_code() made sure before the code object could reach here.
    std::string shown_filename;
    std::string shown_name;
    if (!shown_text(ev.co_filename, ev.filename, shown_filename) || !shown_text(ev.co_name, ev.name, shown_name)) {
        return report_pending(ev);
    }
    // The list's memory is the thread's, handed back emptied whichever way the event ends. The
    // thread's state outlives the event: only other threads' states are ever let go meanwhile.
    ThreadState& ts = ev.thread_state();
    ev.records.swap(ts.record_list);
    struct GiveBack {
        Event& ev;
        ThreadState& ts;
        ~GiveBack() {
            ev.records.clear();
            ev.records.swap(ts.record_list);
        }
    } give_back{ev, ts};

    process_plugins(ev);
    ev.thread = nullptr;  // a plugin may have renamed the thread: look it up afresh
    if (records_frame(ev, bits)) {
        msgpack::Buffer bytes = std::move(ev.thread_state().spare_record);
        bytes.clear();
        if (build_frame_record(ev, bytes)) {
            ev.records.push_back(EventRecord{std::move(bytes), Boundary::none, ev.note});
            if (ev.is_return) add_exception_record(ev, unwinding);
        } else {
            // Reported once; the plugin records of the event are still stored, so that a test
            // boundary is never lost with a frame record that could not be made.
            report_pending(ev);
        }
    }
    if (!push_frames(ev)) report_pending(ev);
    keep_spare_memory(ev);
}

}  // namespace

PyObject* handle_event_generally(PyThreadState* tstate, ProfilerObject* self, compat::InterpreterFrame* frame, PyObject* arg,
                                 const CodeInfo& info, EventWay way) {
    handle_profile_event(tstate, self, frame, compat::code_of(frame), way.is_return, arg, info.bits, nullptr, way.step);
    return event_answer(self, way);
}

void handle_profile_event(PyThreadState* tstate, ProfilerObject* self, compat::InterpreterFrame* frame, PyCodeObject* code,
                          bool is_return, PyObject* arg, std::uintptr_t bits, PyObject* unwinding, records::Step step) {
    // Past the trace's memory limit an event of code no plugin watches is counted, nothing
    // more: no record is made, and jarn's time is not measured. (The attrs rule is not asked.)
    ProfilerState& state = *self->state;
    if (state.limit.reached() && !(bits & kHasPlugins) && fork_generation_counted() == state.fork_generation) {
        return count_past_limit(state, tstate, frame, is_return, arg, unwinding);
    }
    // Plugins and the host run Python code, which may uninstall this profiler on this thread
    // and with it the interpreter's reference.
    Owned keep_alive = Owned::borrow(reinterpret_cast<PyObject*>(self));
    // While the interpreter shuts down, modules (ours and the host's) are being torn down.
    if (compat::interpreter_is_finalizing()) return;
    adopt_after_fork(self);
    // Plugins and the serialiser may run the program's code; a signal that arrives meanwhile is
    // handled by the program once the event's records are done (see DeferredSignals).
    const compat::DeferredSignals deferred;
    Event ev(tstate, self, frame, code, is_return, arg);
    const bool capped = ev.profiler.limit.reached();
    const bool timed = !capped && ev.profiler.record_notes;
    if (timed) ev.started = own_clock::now();
    if (ev.profiler.record_notes && compat::runs_in_steps(code)) {
        if (step == records::Step::unknown) {
            const auto& calls = ev.profiler.logical_calls;
            const auto found = calls.find(frame);
            const int at = compat::step_at(frame, is_return, found != calls.end() ? found->second.thrown_at : -1);
            if (at != 0) step = static_cast<records::Step>(at);
        }
        ev.step = step;
    }
    if (bits & kHasPlugins) {
        record_with_plugins(ev, bits, unwinding);
    } else if (records_frame(ev, bits)) {
        if (capped) {
            count_past_limit(ev.profiler, tstate, frame, is_return, arg, unwinding);
        } else {
            record_frame(ev, unwinding);
        }
    }
    if (tstate->current_exception != nullptr) report_pending(ev);
    if (timed) {
        const std::uint64_t now = own_clock::now();
        if (now > ev.started) ev.thread_state().own_ticks += now - ev.started;
    }
}

bool init_code_cache() { return init_code_info(); }

std::uintptr_t classify_code(ProfilerObject* self, PyCodeObject* code, compat::InterpreterFrame* frame, bool is_return) {
    ProfilerState& p = *self->state;
    std::uintptr_t bits;
    std::string_view filename;
    std::string_view name;
    std::string shown_filename;
    std::string shown_name;
    const char* failed = nullptr;
    // A name with lone surrogates (a file name that is not UTF-8) is taken as Python shows it.
    if (!PyUnicode_Check(code->co_filename) || !shown_text(code->co_filename, filename, shown_filename)) {
        failed = "`co_filename` is always a string";
    } else if (!PyUnicode_Check(code->co_name) || !shown_text(code->co_name, name, shown_name)) {
        failed = "`co_name` is always a string";
    }
    if (failed != nullptr) {
        // Reported once per code object; its later events are skipped silently.
        raise_internal_error(failed);
        PyObject* exc = PyErr_GetRaisedException();
        if (exc != nullptr) log_error(exc, frame, is_return ? "return" : "call", code->co_filename, code->co_name);
        bits = kUnreadable;
    } else {
        bits = static_cast<std::uintptr_t>(filename_verdict(filename, p.include_frames, p.ignore_frames));
        const PluginMap& plugins = p.plugin_map();
        if (!plugins.empty()) {
            const auto found = plugins.find(name);
            if (found != plugins.end()) {
                for (const PluginProcessor& proc : found->second) {
                    if (proc.path_fragment.occurs_in(filename)) {
                        bits |= kHasPlugins;
                        break;
                    }
                }
            }
        }
    }
    if (CodeInfo* info = code_info(code)) {
        info->epoch = p.epoch;
        info->bits = bits;
    } else {
        PyErr_Clear();  // only a cache: classify again next time
    }
    return bits;
}

PyObject* Event::event_name_object() const { return is_return ? names.event_return : names.event_call; }

int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) noexcept {
    if (what != PyTrace_CALL && what != PyTrace_RETURN) return 0;
    if (obj == nullptr || frame == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return -1;
    }
    if (!is_profiler(obj)) {
        raise_conversion_error(obj, "JarnProfiler");
        return -1;
    }
    auto* self = reinterpret_cast<ProfilerObject*>(obj);
    const bool is_return = what == PyTrace_RETURN;
    if (arg == nullptr) arg = Py_None;
    if (!Py_IS_TYPE(frame, &PyFrame_Type)) {
        raise_internal_error("Python gives us a PyFrame");
        PyObject* exc = PyErr_GetRaisedException();
        if (exc != nullptr) log_error(exc, nullptr, is_return ? "return" : "call", Py_None, Py_None);
        return 0;
    }
    compat::InterpreterFrame* iframe = compat::interpreter_frame(frame);  // borrowed
    Owned code_ref = Owned::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    auto* code = reinterpret_cast<PyCodeObject*>(code_ref.get());
    std::uintptr_t bits;
    if (!cached_code_bits(self, code, bits)) bits = classify_code(self, code, iframe, is_return);
    if (!code_wants_events(bits)) return 0;
    PyThreadState* tstate = PyThreadState_Get();
    const CodeInfo* info = classified_code_info(self, code);
    if ((bits & kHasPlugins) || info == nullptr) {
        handle_profile_event(tstate, self, iframe, code, is_return, arg, bits, nullptr, records::Step::unknown);
        return 0;
    }
    // The profile function has no answer to give: the event's (None) is let go.
    const Owned answer =
        Owned::steal(record_plain_event(tstate, self, iframe, arg, *info, EventWay{is_return, records::Step::unknown, false}));
    return 0;
}

}  // namespace jarn
