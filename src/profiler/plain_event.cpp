// The common event, made as one piece: a call or return of a recorded frame that no plugin
// watches, while the trace has room, with everything its record needs kept already (the code's
// texts at this place and its variables' keys, the thread's identity, the native serialiser)
// and only plain values to write. Its record is written straight into the thread's list. An event
// that needs anything else goes the general way (callback.cpp), which also keeps what the next
// event here will need.
#include "plain_event.hpp"

#include <cstring>

#include "../filters/builtin.hpp"
#include "../utils/code_info.hpp"
#include "../utils/frame_info.hpp"
#include "../utils/host_serialize.hpp"
#include "../utils/own_clock.hpp"
#include "callback.hpp"
#include "event.hpp"

namespace jarn {
namespace {

// Room beyond what the fixed parts and the plain values' 9 bytes each take: for short strings.
constexpr std::size_t kRoomForText = 256;

// The attrs rule for a recorded frame's event, from what is kept on the caller's code object:
// 1 recorded, 0 dropped, -1 not known here.
int passes_attrs_rule(compat::InterpreterFrame* frame) {
    PyCodeObject* caller = compat::caller_code(frame);  // borrowed
    if (caller == nullptr) return -1;
    const auto* info = static_cast<const CodeInfo*>(compat::code_extra(caller, code_info_detail::extra_index));
    if (info == nullptr || info->attrs_maker < 0) return -1;
    return info->attrs_maker == 0;
}

// The rest of a record whose values the serialiser must write, the general way, after the
// stack's part is done. Out of line, as every rare way here: inlined, their state would crowd the
// common way's registers.
[[gnu::noinline, gnu::cold]] void finish_generally(PyThreadState* tstate, ProfilerObject* self, compat::InterpreterFrame* frame, PyCodeObject* code,
                      bool is_return, PyObject* arg, ThreadState& ts, std::uint64_t started, const FrameStart& start) {
    // The serialiser may run the program's code: signals wait for the record, as in the general way.
    const compat::DeferredSignals deferred;
    Event ev(tstate, self, frame, code, is_return, arg);
    ev.thread_state_ = &ts;
    ev.started = started;
    ev.start = start;
    if (start.id_pending) ev.start.id = Identifier{};
    msgpack::Buffer& bytes = ts.spare_record;
    bytes.clear();
    if (!write_frame_record(ev, bytes) || !store_record(ev, bytes, ev.note)) report_pending(ev);
    if (bytes.capacity() > 64 * 1024) msgpack::Buffer().swap(bytes);
    if (tstate->current_exception != nullptr) report_pending(ev);
}

// The plain way's checks of the thread, when something they depend on has moved since they last
// held (see ProfilerState::plain_stamp): the process has not forked since its trace began, the
// thread's identity holds without a lookup, and `ts.records` is the list for that identity.
[[gnu::noinline, gnu::cold]] bool thread_checked_again(ProfilerState& p, ThreadState& ts) {
    if (p.forked()) return false;
    const ThreadIdentityCache& known = ts.identity;
    if (!identity_holds(known)) return false;
    thread_records(p, ts, known);
    // An identity whose name is read from a dict at every event is checked at every event.
    if (!known.name_dict) ts.plain_checked_at = p.plain_stamp();
    return true;
}

// Keeps a record written in the thread's list, with its note when notes are kept; the thread's own
// time then counts up to `own_now`.
[[gnu::always_inline]] inline void commit_plain(ProfilerState& p, ThreadState& ts, RecordList& target, std::size_t size,
                                                std::uint64_t own_now, std::uint64_t started) {
    if (p.record_notes) {
        const records::Note note{ts.own_ticks + (own_now - started), 0};
        // The few instructions after this reading are not worth one of their own.
        ts.own_ticks = note.own;
        target.commit(size, &note);
    } else {
        target.commit(size, nullptr);
    }
}

// A record past the trace's memory limit: kept or counted as admit_past_limit says.
[[gnu::noinline, gnu::cold]] void commit_past_limit(ProfilerObject* self, ProfilerState& p, ThreadState& ts,
                                                   RecordList& target, std::size_t size, std::uint64_t own_now,
                                                   std::uint64_t started) {
    // Its logging runs Python code, which may uninstall this profiler and with it the
    // interpreter's reference.
    const Owned keep_alive = Owned::borrow(reinterpret_cast<PyObject*>(self));
    if (admit_past_limit(p, size)) {
        commit_plain(p, ts, target, size, own_now, started);
    } else if (p.record_notes) {
        ts.own_ticks += own_now - started;
    }
    if (p.record_notes) ts.own_ticks += own_clock::now() - own_now;
}

}  // namespace

PyObject* record_plain_event(PyThreadState* tstate, ProfilerObject* self, compat::InterpreterFrame* frame, PyObject* arg,
                             const CodeInfo& info, EventWay way) {
    const bool is_return = way.is_return;
    ProfilerState& p = *self->state;
    // What would make the event anything but plain: checked before anything is changed.
    if (p.limit.reached() || (is_return && p.omit_return_locals)) return handle_event_generally(tstate, self, frame, arg, info, way);
    // A generator's or coroutine's steps are noted the general way.
    const unsigned plain_way = info.variables.plain_way;
    if (plain_way == 0 || (plain_way == 2 && p.record_notes)) return handle_event_generally(tstate, self, frame, arg, info, way);
    const compat::FrameVariables variables(frame, compat::FrameVariables::OfFunction{});
    PyCodeObject* const code = variables.code();  // borrowed
    ThreadState& ts = p.thread_state(tstate);
    if (is_return && ts.raising_frame == frame) return handle_event_generally(tstate, self, frame, arg, info, way);  // perhaps left by an exception
    if (ts.plain_checked_at != p.plain_stamp() && !thread_checked_again(p, ts)) return handle_event_generally(tstate, self, frame, arg, info, way);
    if (compat::interpreter_is_finalizing()) return handle_event_generally(tstate, self, frame, arg, info, way);
    const std::uint64_t started = own_clock::now();
    const PaddedBytes* texts = kept_code_texts(frame, info, started);
    if (texts == nullptr) return handle_event_generally(tstate, self, frame, arg, info, way);
    // The attrs rule: a return whose call is on the stack was recorded, so is its return.
    const bool decided = static_cast<FilenameVerdict>(info.bits & 0x3) == FilenameVerdict::include ||
                         (is_return && !ts.call_frames.empty() && ts.call_frames.back().frame == frame);
    if (!decided) {
        const int attrs = passes_attrs_rule(frame);
        if (attrs < 0) return handle_event_generally(tstate, self, frame, arg, info, way);
        if (attrs == 0) {  // dropped
            if (p.record_notes) ts.own_ticks += own_clock::now() - started;
            return event_answer(self, way);
        }
    }

    FrameStart start;
    start_frame(ts, frame, is_return, start);

    const ThreadIdentity& thread = ts.identity.identity;
    RecordList& target = *ts.records;
    const VariableKeys& keys = info.variables;
    const std::size_t room = 1 + texts->size() + records::kEventAndIdMost + 9 + records::kLocalsKey.size() + 3 + keys.most +
                             thread.record_entries.size() + records::kFrameTailMost + kRoomForText;
    std::uint8_t* const record = target.reserve(room);
    record[0] = records::kFrameHeader;
    texts->copy_to(record + 1);
    msgpack::Cursor head(record + 1 + texts->size());
    records::write_frame_event_and_id(head, is_return, start.id);
    std::uint8_t* const id_text = head.at() - records::kArgKey.size() - start.id.size();
    std::uint8_t* const values_end = record + room - thread.record_entries.size() - records::kFrameTailMost;
    std::uint8_t* at = write_plain_values_at(arg, variables, keys, p.values, p.scrub, head.at(), values_end);
    WallTime now;
    if (at == nullptr || !wall_time(now)) [[unlikely]] {
        // A value not plain, or a clock before the epoch: the general way says so. The serialiser
        // runs Python code, which may uninstall this profiler and with it the interpreter's reference.
        const Owned keep_alive = Owned::borrow(reinterpret_cast<PyObject*>(self));
        finish_generally(tstate, self, frame, code, is_return, arg, ts, p.record_notes ? started : 0, start);
        if (p.record_notes) ts.own_ticks += own_clock::now() - started;
        return event_answer(self, way);
    }
    const std::uint64_t own_now = own_clock::now();
    if (start.id_pending) {
        frame_id_text_at(now, reinterpret_cast<char*>(id_text));
        if (ts.call_frames.begin() + std::ptrdiff_t(start.id_entry) < ts.call_frames.end()) {
            std::memcpy(ts.call_frames[start.id_entry].id.data(), id_text, start.id.size());
        }
    }
    thread.record_entries.copy_to(at);
    msgpack::Cursor tail(at + thread.record_entries.size());
    records::write_frame_tail(tail, seconds_of(now), start.has_site ? &start.site : nullptr);
    const std::size_t size = std::size_t(tail.at() - record);
    if (!admit_within_limit(p, size)) [[unlikely]] {
        commit_past_limit(self, p, ts, target, size, own_now, started);
        return event_answer(self, way);
    }
    commit_plain(p, ts, target, size, own_now, started);
    return event_answer(self, way);
}

}  // namespace jarn
