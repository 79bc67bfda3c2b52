// A frame's location ("path:line", relative to the current directory) and its dotted qualified
// name, module first.
#pragma once

#include <Python.h>

#include "line_cache.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "owned.hpp"

namespace jarn {

// Starts following changes of the current directory; called once at module initialisation.
bool init_cwd_tracking();

// What a frame's texts take from its code object alone, kept per code object: its file name made
// relative to the current directory, and its qualified name with the module name it was made
// with. Each part holds while what it came from is unchanged (the directory; the globals'
// `__name__` object).
struct CodeTexts {
    Owned code;  // held, so that the address cannot be reused by another code object
    std::uint64_t cwd_generation = 0;
    std::string relative_path;
    Owned module_name;
    std::string qualname;
};

class CodeTextCache {
public:
    CodeTexts& entry_for(PyCodeObject* code);
    void clear();

private:
    std::array<CodeTexts, 64> entries_;
};

bool frame_path(PyFrameObject* frame, LineCache& lines, CodeTextCache& texts, std::string& out);

// 1 with `out` set, 0 when the frame has no qualified name, -1 with the exception set.
int get_qualname(PyFrameObject* frame, CodeTextCache& texts, std::string& out);

}  // namespace jarn
