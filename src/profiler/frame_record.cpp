// The ordinary 12-entry record of a recorded call or return, and the per-thread state that ties
// a return to its call.
#include "../lib/internal_error.hpp"
#include "../utils/frame_info.hpp"
#include "../utils/host_serialize.hpp"
#include "../utils/interned.hpp"
#include "event.hpp"

namespace jarn {
namespace {

Identifier choose_frame_id(ThreadState& ts, std::uintptr_t address, bool is_return) {
    if (!is_return) {
        const Identifier id = frame_id();
        ts.frame_ids[address] = id;
        return id;
    }
    // Kept after the return: the interpreter reuses frame addresses, and a later call there
    // overwrites the entry.
    const auto found = ts.frame_ids.find(address);
    return found != ts.frame_ids.end() ? found->second : frame_id();
}

void update_call_frames(ThreadState& ts, PyFrameObject* frame, const Identifier& id, bool is_return) {
    if (!is_return) {
        ts.call_frames.push_back(OpenCall{Owned::borrow(reinterpret_cast<PyObject*>(frame)), id});
        return;
    }
    if (ts.call_frames.empty()) return;
    // Take the entry off the stack before its reference goes, in case releasing it runs code.
    OpenCall top = std::move(ts.call_frames.back());
    ts.call_frames.pop_back();
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
    const Identifier id = choose_frame_id(ts, address, ev.is_return);

    CallSite site{};
    const int has_site = user_code_call_site(ts.call_frames, id, ts.lines, site);
    // The stack is updated even when the call site could not be read, so that the frame's
    // return pops its own entry and not its caller's.
    update_call_frames(ts, ev.frame, id, ev.is_return);
    if (has_site < 0) return false;

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
    const RecordValueBudget budget(p.slow_repr_ns);  // the argument and the locals share it
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
