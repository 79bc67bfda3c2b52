#pragma once

#include <Python.h>

#include <cstdint>

#include "../filters/builtin.hpp"
#include "../utils/code_info.hpp"
#include "state.hpp"

namespace jarn {

// Must run once before any profiler is installed.
bool init_code_cache();

// The native profile function installed by register_profiler; `obj` is the JarnProfiler.
int profile_callback(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) noexcept;

// What both event engines share. A code object's classification (filters and plugins) is cached
// on it per profiler: `cached_code_bits` reads the cache, `classify_code` fills it (the frame
// only gives context to an error report). `code_wants_events` says whether anything is ever done
// for the code object's events; when it says no, it says so for good (until filters change,
// which means a new profiler).
std::uintptr_t classify_code(ProfilerObject* self, PyCodeObject* code, compat::InterpreterFrame* frame, bool is_return);
// The classification's bits: the file's verdict (FilenameVerdict), a plugin watches it, or
// neither can be told (a name that is not a str: the code object is skipped).
inline constexpr std::uintptr_t kVerdictBits = 0x3;
inline constexpr std::uintptr_t kHasPluginsBit = 0x4;
inline constexpr std::uintptr_t kUnreadableCode = 0x3;

// The code object's info when it holds this profiler's classification, else null.
inline const CodeInfo* classified_code_info(ProfilerObject* self, PyCodeObject* code) {
    const auto* info = static_cast<const CodeInfo*>(compat::code_extra(code, code_info_detail::extra_index));
    return info != nullptr && info->epoch == self->state->epoch ? info : nullptr;
}
inline bool cached_code_bits(ProfilerObject* self, PyCodeObject* code, std::uintptr_t& bits) {
    const CodeInfo* info = classified_code_info(self, code);
    if (info == nullptr) return false;
    bits = info->bits;
    return true;
}
inline bool code_wants_events(std::uintptr_t bits) {
    return bits != kUnreadableCode &&
           (static_cast<FilenameVerdict>(bits & kVerdictBits) != FilenameVerdict::drop || (bits & kHasPluginsBit));
}

// One call or return of a code object that wants events: plugin records, the filter decision,
// the frame record (and the exception record of a frame left by an exception), the buffers.
// Never leaves an exception set. `arg` is borrowed, never null; `unwinding` (borrowed) is the
// exception leaving the frame when the engine tells it, else null. `step` is the step of a
// generator or coroutine when the engine tells it, records::Step::unknown when not (it is then
// read from the frame).
void handle_profile_event(PyThreadState* tstate, ProfilerObject* self, compat::InterpreterFrame* frame, PyCodeObject* code,
                          bool is_return, PyObject* arg, std::uintptr_t bits, PyObject* unwinding, records::Step step);

}  // namespace jarn
