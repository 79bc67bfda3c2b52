// The thread's stack of open recorded calls: a call pushes its entry, a return pops its own (and
// any left above it), and each finds its call site on the way.
#pragma once

#include <cstddef>
#include <type_traits>
#include <vector>

#include "../utils/frame_state.hpp"
#include "state.hpp"

namespace jarn {

// Index of the frame's own open call, searched from the top; -1 when it is not on the stack.
inline std::ptrdiff_t own_entry(const std::vector<OpenCall>& call_frames, compat::InterpreterFrame* frame) {
    for (std::ptrdiff_t i = std::ptrdiff_t(call_frames.size()) - 1; i >= 0; --i) {
        if (call_frames[std::size_t(i)].frame == frame) return i;
    }
    return -1;
}

// A return pops its own frame's entry and any left above it (calls whose returns never came);
// a return whose frame is not on the stack pops nothing.
inline void pop_through(ThreadState& ts, std::ptrdiff_t own) {
    if (own < 0) return;
    std::vector<OpenCall>& stack = ts.call_frames;
    static_assert(std::is_trivially_destructible_v<OpenCall>);
    if (std::size_t(own) + 1 == stack.size()) {
        stack.pop_back();
    } else {
        stack.erase(stack.begin() + own, stack.end());
    }
}

// What the stack says of an event's frame record: its id (or that a new one is to be made with
// the record's timestamp, and which entry of the stack waits for it) and its call site.
struct FrameStart {
    Identifier id;  // valid unless id_pending (then left as it is, to be written over)
    bool id_pending = false;
    std::size_t id_entry = std::size_t(-1);  // the call's entry, which waits for a new id
    bool has_site = false;
    CallSite site;
};

// The stack's part of an event of `frame`, done before anything of the record is written: a call
// pushes its entry (its id to come), a return takes its call's id and pops it.
[[gnu::always_inline]] inline void start_frame(ThreadState& ts, compat::InterpreterFrame* frame, bool is_return, FrameStart& out) {
    std::vector<OpenCall>& stack = ts.call_frames;
    if (!is_return) {
        const bool has_site = !stack.empty() && call_site_inline(stack.back(), frame, out.site) != 0;
        const int site_line = has_site ? out.site.line_number : 0;
        out.has_site = has_site;
        out.id_pending = true;
        out.id_entry = stack.size();
        stack.emplace_back(frame, site_line, has_site);
        return;
    }
    if (!stack.empty() && stack.back().frame == frame) [[likely]] {
        // The return of the innermost open call: the site its call found, below it on the stack.
        const OpenCall& call = stack.back();
        out.id = call.id;
        if (call.has_site) {
            out.has_site = true;
            out.site.call_frame_id = (&call)[-1].id;
            out.site.line_number = call.site_line;
        }
        stack.pop_back();
        return;
    }
    const std::ptrdiff_t own = own_entry(stack, frame);
    if (own >= 0) {
        out.id = stack[std::size_t(own)].id;
        if (own > 0) out.has_site = call_site_of(stack[std::size_t(own) - 1], frame, out.site) != 0;
    } else {
        // A return whose call was not recorded (profiling began inside the frame, or the
        // interpreter sent no call): an id of its own.
        out.id_pending = true;
        if (!stack.empty()) out.has_site = call_site_of(stack.back(), frame, out.site) != 0;
    }
    pop_through(ts, own);
}

}  // namespace jarn
