// A frame's location ("path:line", relative to the current directory) and its dotted qualified
// name, module first.
#pragma once

#include <Python.h>

#include "line_cache.hpp"

#include <string>

namespace jarn {

// Starts following changes of the current directory; called once at module initialisation.
bool init_cwd_tracking();

bool frame_path(PyFrameObject* frame, LineCache& lines, std::string& out);

// 1 with `out` set, 0 when the frame has no qualified name, -1 with the exception set.
int get_qualname(PyFrameObject* frame, std::string& out);

}  // namespace jarn
