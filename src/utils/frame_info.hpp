// A frame's location ("path:line", relative to the current directory) and its dotted qualified
// name, module first.
#pragma once

#include <Python.h>

#include "cpython_compat.hpp"

#include <cstdint>
#include <string>
#include <string_view>

#include "msgpack.hpp"
#include "owned.hpp"

namespace jarn {

// Starts following changes of the current directory; called once at module initialisation.
bool init_cwd_tracking();

// Appends the record's "path" entry ("relative/path.py:line"), then its "co_name" and
// "qualname" entries (qualname nil when the frame has none). `code` is the frame's code object.
// False with the exception set, `out` then partly written.
// What depends on the code object alone is kept in its CodeInfo, the whole entries per place.
// `now` is the own clock's reading at the event (own_clock::now()).
bool write_code_texts(compat::InterpreterFrame* frame, PyCodeObject* code, std::uint64_t now, msgpack::Buffer& out);

// The entries write_code_texts would append, when they are kept for the frame's place and still
// hold; null otherwise (write_code_texts then makes and keeps them). No exception is left set.
struct CodeInfo;
class PaddedBytes;
const PaddedBytes* kept_code_texts(compat::InterpreterFrame* frame, const CodeInfo& info, std::uint64_t now);

// 1 with `out` set, 0 when the frame has no qualified name, -1 with the exception set.
int get_qualname(compat::InterpreterFrame* frame, std::string& out);

}  // namespace jarn
