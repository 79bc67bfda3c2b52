// A frame's location ("path:line", relative to the current directory) and its dotted qualified
// name, module first.
#pragma once

#include <Python.h>

#include "cpython_compat.hpp"
#include "line_cache.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "msgpack.hpp"
#include "owned.hpp"

namespace jarn {

// Starts following changes of the current directory; called once at module initialisation.
bool init_cwd_tracking();

// What a frame's texts take from its code object alone, kept per code object and already in
// MessagePack form where that helps: its file name made relative to the current directory, and
// the record's "co_name" and "qualname" entries, made with the module name they name. Each part
// holds while what it came from is unchanged (the directory; the globals' `__name__` object).
struct CodeTexts {
    Owned code;  // held, so that the address cannot be reused by another code object
    std::uint64_t cwd_generation = 0;
    std::string path_prefix;  // the relative path and ':', to which the line's digits are added
    Owned module_name;
    std::string names;  // the encoded "co_name" and "qualname" entries; empty when not kept
    // The globals the names were last found valid for, compared only, and the module-name
    // generation then: while both are unchanged, `names` holds without looking `__name__` up.
    const PyObject* globals = nullptr;
    std::uint64_t name_generation = 0;
};

// The whole encoded "path", "co_name" and "qualname" entries of a record made at one place
// (code object and instruction offset, hence one line), valid while the code object's texts
// were valid for it: the same directory generation, globals and module-name generation.
struct PlaceTexts {
    Owned code;  // held, so that the address cannot be reused by another code object
    int offset = -1;
    std::uint64_t cwd_generation = 0;
    const PyObject* globals = nullptr;
    std::uint64_t name_generation = 0;
    std::string bytes;
};

class CodeTextCache {
public:
    CodeTexts& entry_for(PyCodeObject* code);
    PlaceTexts& place_for(PyCodeObject* code, int offset);
    void clear();

private:
    std::array<CodeTexts, 64> entries_;
    std::array<PlaceTexts, 256> places_;
};

// Appends the record's "path" entry ("relative/path.py:line"), then its "co_name" and
// "qualname" entries (qualname nil when the frame has none). `code` is the frame's code object.
// False with the exception set, `out` then partly written.
bool write_code_texts(compat::InterpreterFrame* frame, PyCodeObject* code, LineCache& lines, CodeTextCache& texts,
                      std::string& scratch, msgpack::Buffer& out);

// 1 with `out` set, 0 when the frame has no qualified name, -1 with the exception set.
int get_qualname(compat::InterpreterFrame* frame, std::string& out);

}  // namespace jarn
