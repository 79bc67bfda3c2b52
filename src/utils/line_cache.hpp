// Line numbers of frames, remembered per (code object, instruction offset). Finding the line of
// an offset walks the code object's line table from its start, and a record needs two lines (its
// own and its caller's); the same few call sites and returns come up again and again.
#pragma once

#include <Python.h>

#include <array>

#include "cpython_compat.hpp"
#include "owned.hpp"

namespace jarn {

class LineCache {
public:
    // The frame's current line as PyFrame_GetLineNumber gives it, or the code's first line
    // when the frame has none.
    int line_of(compat::InterpreterFrame* frame);
    void clear();

private:
    int line_or_none(compat::InterpreterFrame* frame);  // -1: none

    struct Entry {
        Owned code;  // held, so that the address cannot be reused by another code object
        int offset = -1;
        int line = 0;
    };
    std::array<Entry, 256> entries_;
};

}  // namespace jarn
