// The ordinary 12-entry record of a recorded call or return, and the per-thread state that ties
// a return to its call.
#include "../lib/internal_error.hpp"
#include "../utils/frame_info.hpp"
#include "../utils/host_serialize.hpp"
#include "../utils/interned.hpp"
#include "event.hpp"

namespace jarn {
namespace {

// Index of the frame's own open call, searched from the top; -1 when it is not on the stack.
std::ptrdiff_t own_entry(const std::vector<OpenCall>& call_frames, PyFrameObject* frame) {
    for (std::ptrdiff_t i = std::ptrdiff_t(call_frames.size()) - 1; i >= 0; --i) {
        if (call_frames[std::size_t(i)].frame.get() == reinterpret_cast<PyObject*>(frame)) return i;
    }
    return -1;
}

// A return pops its own frame's entry and any left above it (calls whose returns never came);
// a return whose frame is not on the stack pops nothing.
void pop_through(ThreadState& ts, std::ptrdiff_t own) {
    if (own < 0) return;
    // Take the entries off the stack before their references go, in case releasing runs code.
    std::vector<OpenCall> gone;
    gone.reserve(ts.call_frames.size() - std::size_t(own));
    for (std::size_t i = std::size_t(own); i < ts.call_frames.size(); ++i) gone.push_back(std::move(ts.call_frames[i]));
    ts.call_frames.resize(std::size_t(own));
}

}  // namespace

bool event_thread(Event& ev) {
    if (ev.thread) return true;
    return current_thread(ev.thread_state().identity, ev.thread);
}

bool build_frame_record(Event& ev, msgpack::Buffer& out) {
    ProfilerState& p = ev.profiler;
    ThreadState& ts = ev.thread_state();
    const auto address = reinterpret_cast<std::uintptr_t>(ev.frame);
    Identifier id;
    CallSite site{};
    int has_site = 0;
    if (!ev.is_return) {
        id = frame_id();
        ts.frame_ids[address] = id;
        if (!ts.call_frames.empty()) has_site = call_site_of(ts.call_frames.back(), ts.lines, site);
        ts.call_frames.push_back(OpenCall{Owned::borrow(reinterpret_cast<PyObject*>(ev.frame)), id});
    } else {
        const std::ptrdiff_t own = own_entry(ts.call_frames, ev.frame);
        if (own >= 0) {
            id = ts.call_frames[std::size_t(own)].id;
            if (own > 0) has_site = call_site_of(ts.call_frames[std::size_t(own) - 1], ts.lines, site);
        } else {
            // Kept after the return: the interpreter reuses frame addresses, and a later call
            // there overwrites the entry.
            const auto found = ts.frame_ids.find(address);
            id = found != ts.frame_ids.end() ? found->second : frame_id();
            if (!ts.call_frames.empty()) has_site = call_site_of(ts.call_frames.back(), ts.lines, site);
        }
        // The stack is updated even when the call site could not be read, so that later
        // returns still find their own entries.
        pop_through(ts, own);
    }
    if (has_site < 0) return false;
    ev.own_id = id;
    ev.site = has_site ? std::optional<CallSite>(site) : std::nullopt;

    if (!event_thread(ev)) return false;
    // Both texts are written into the record before any Python code (the serialiser) runs.
    std::string& path = ts.path_text;
    if (!frame_path(ev.frame, ts.lines, path)) return false;
    std::string& qualname = ts.qualname_text;
    const int has_qualname = get_qualname(ev.frame, qualname);
    if (has_qualname < 0) return false;
    Owned locals = Owned::steal(get_locals(ev.frame, ev.is_return, p.omit_return_locals));
    if (!locals) return false;

    msgpack::Buffer& b = out;
    b.reserve(256 + path.size() + qualname.size());
    msgpack::write_map_header(b, 12);
    msgpack::write_str_pair(b, "path", path);
    msgpack::write_str_pair(b, "co_name", ev.name);
    msgpack::write_str_pair(b, "qualname",
                            has_qualname ? std::optional<std::string_view>(qualname) : std::nullopt);
    msgpack::write_str_pair(b, "event", ev.event_name());
    msgpack::write_str_pair(b, "frame_id", view(id));
    // The host's bytes go straight into the record; both are serialised before the timestamp
    // is read, as the record promises.
    msgpack::write_str(b, "arg");
    if (!dump_msgpack(ev.arg, p.lightweight_repr, b)) return false;
    msgpack::write_str(b, "locals");
    if (!dump_msgpack(locals.get(), p.lightweight_repr, b)) return false;
    msgpack::write_str_pair(b, "thread", ev.thread->name);
    msgpack::write_int_pair(b, "thread_native_id", ev.thread->native_id);
    const std::optional<double> now = timestamp_seconds();
    if (!now) {
        raise_internal_error("System time is before unix epoch");
        return false;
    }
    msgpack::write_f64_pair(b, *now);
    msgpack::write_str_pair(b, "type", "frame");
    std::optional<msgpack::UserCodeCallSite> written_site;
    if (has_site) written_site = msgpack::UserCodeCallSite{view(site.call_frame_id), site.line_number};
    msgpack::write_user_code_call_site(b, written_site);
    return true;
}

}  // namespace jarn
