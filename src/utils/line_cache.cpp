#include "line_cache.hpp"

#include <cstdint>

#include "cpython_compat.hpp"

namespace jarn {

int LineCache::line_of(compat::InterpreterFrame* frame) {
    const int line = line_or_none(frame);
    if (line >= 0) return line;
    // No line (a coroutine finishing while it is cancelled, for one): the code's first line
    // rather than no record at all.
    return compat::code_of(frame)->co_firstlineno;
}

int LineCache::line_or_none(compat::InterpreterFrame* frame) {
    PyCodeObject* code_object;  // borrowed
    int offset;
    // A trace function may set a frame's line itself (a debugger's jump): not cached.
    if (!compat::frame_place(frame, code_object, offset) || offset < 0) return compat::line_number(frame);
    PyObject* code = reinterpret_cast<PyObject*>(code_object);
    const auto address = reinterpret_cast<std::uintptr_t>(code);
    const std::size_t slot = ((address >> 4) ^ (std::uintptr_t(offset) * 2654435761u)) % entries_.size();
    Entry& e = entries_[slot];
    if (e.code.get() == code && e.offset == offset) return e.line;
    const int line = compat::line_number(frame);
    e.code = Owned::borrow(code);
    e.offset = offset;
    e.line = line;
    return line;
}
void LineCache::clear() {
    for (Entry& e : entries_) {
        Owned gone = std::move(e.code);
        e.offset = -1;
    }
}

}  // namespace jarn
