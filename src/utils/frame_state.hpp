// A frame's locals, the identity of the running thread and of the main thread, and the recorded
// frame that called the current one.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cpython_compat.hpp"
#include "dict_watch.hpp"
#include "interned.hpp"
#include "owned.hpp"
#include "padded_bytes.hpp"
#include "record_layout.hpp"
#include "ulid.hpp"

namespace jarn {

// A recorded call whose return has not come yet. The frame is compared, and read only once it
// is known to be still running (compat::is_below): nothing holds it.
// A power of two in size, so that the stack's size and index arithmetic are shifts.
struct alignas(64) OpenCall {
    // The id is written once it is made (with the record's timestamp): not cleared before.
    OpenCall(compat::InterpreterFrame* running, int line_of_site, bool found_site)
        : frame(running), site_line(line_of_site), has_site(found_site) {}
    compat::InterpreterFrame* frame;
    Identifier id;
    // The line the frame was last found calling from, and its instruction offset then: a frame
    // calls from the same place again and again (a loop).
    int call_offset = -1;
    int call_line = 0;
    // This call's own call site, as its call found it: the entry below's id at `site_line`. Its
    // caller waits below it until it returns, at the same place, so the return has the same site.
    int site_line = 0;
    bool has_site = false;
};

// New reference to the locals dict (without "__builtins__"), or None; null with the exception set.
PyObject* get_locals(compat::InterpreterFrame* frame, bool is_return, bool omit_return_locals);

// Whether a variable name is "__builtins__", which the locals never show.
bool is_builtins_name(PyObject* name);

struct ThreadIdentity {
    Owned name_object;      // keeps `name` alive
    std::string_view name;  // UTF-8
    std::optional<std::uint64_t> native_id;
    // A frame record's "thread" and "thread_native_id" entries, encoded once (records::thread_entries).
    PaddedBytes record_entries;
};

// What the running thread's identity was at its last lookup. threading.current_thread() and
// the `name` property are Python calls, far too slow for every event; the cached answer is used
// while `threading.current_thread` is the same function and the thread's `_name` the same object,
// so a renamed thread or a replaced current_thread is seen at once.
struct ThreadIdentityCache {
    Owned current_thread_function;
    // Compared, never followed: holding the Thread object would keep it alive after its thread
    // has ended (threading._dangling would show it).
    const PyObject* thread = nullptr;
    Owned name_attribute;  // thread._name, when `name` is plainly that attribute
    // The thread's attribute dict, where a store into it is not seen by dict watchers: its
    // `_name` is looked up in it at every event instead (one lookup, not current_thread's
    // calls). Holding the dict does not keep the thread alive.
    Owned name_dict;
    ThreadIdentity identity;
    bool reusable = false;
    std::uint64_t generation = 0;  // of the watched dicts, when they could be watched
    // Which lookup made `identity`: unique in the process, 0 before the first.
    std::uint64_t lookups = 0;

    void reset() {
        reusable = false;
        ThreadIdentityCache gone = std::move(*this);
        lookups = ++lookups_made;
    }
    static inline std::uint64_t lookups_made = 0;  // guarded by the interpreter lock
};

// Points `out` at the running thread's identity inside `cache`; false with the exception set.
// The cached answer holds while none of the dicts it was read from has changed since.
bool look_up_current_thread(ThreadIdentityCache& cache, const ThreadIdentity*& out);
// Whether the cached identity is still the running thread's, without a Python call.
inline bool identity_holds(const ThreadIdentityCache& cache) {
    if (!cache.reusable || cache.generation != watched_generation()) return false;
    if (!cache.name_dict) return true;
    PyObject* name = PyDict_GetItemWithError(cache.name_dict.get(), names._name);  // borrowed
    if (name == nullptr && PyErr_Occurred()) PyErr_Clear();  // looked up again, the slow way
    return name == cache.name_attribute.get();
}
inline bool current_thread(ThreadIdentityCache& cache, const ThreadIdentity*& out) {
    if (identity_holds(cache)) {
        out = &cache.identity;
        return true;
    }
    return look_up_current_thread(cache, out);
}
bool get_main_thread_id(std::optional<std::uint64_t>& out);

using records::CallSite;

// From the thread's open recorded calls (innermost last), the event's frame and its own frame id:
// 1 with `out` set, 0 when there is no call site. Only the top two entries are looked at.
int user_code_call_site(std::vector<OpenCall>& call_frames, compat::InterpreterFrame* frame,
                        const Identifier& own_id, CallSite& out);

// The line of a call site whose caller is not at the place it was last found calling from
// (`placed`: at `offset`, else where a trace function set its line); see call_site_of.
void find_call_line(OpenCall& caller, bool placed, int offset, CallSite& out);

// The call site made by the open recorded call `caller`, which is the running `frame` or one
// below it: 1 with `out` set, 0 when `caller` is no longer running (its return never came).
// Always inline where every recorded call finds one, mostly from the place its caller called
// from before; call_site_of elsewhere.
[[gnu::always_inline]] inline int call_site_inline(OpenCall& caller, compat::InterpreterFrame* frame, CallSite& out) {
    if (caller.frame != frame && !compat::is_below(frame, caller.frame)) return 0;
    out.call_frame_id = caller.id;
    PyCodeObject* code;  // borrowed
    int offset;
    // Unless a trace function set the line itself, a frame's line follows from its offset.
    const bool placed = compat::frame_place(caller.frame, code, offset) && offset >= 0;
    if (placed && offset == caller.call_offset) [[likely]] {
        out.line_number = caller.call_line;
    } else {
        find_call_line(caller, placed, offset, out);
    }
    return 1;
}
int call_site_of(OpenCall& caller, compat::InterpreterFrame* frame, CallSite& out);

}  // namespace jarn
