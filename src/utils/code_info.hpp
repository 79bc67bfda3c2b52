// What jarn keeps per code object, in the code object's own extra slot: found in a few
// instructions whatever the number of code objects, made once on first sight and freed with the
// code object. Nothing in it holds the code object or is tied to a thread.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cpython_compat.hpp"
#include "owned.hpp"
#include "variable_keys.hpp"

namespace jarn {

struct CodeInfo {
    // A profiler's classification of the code object (its filters and plugins), valid while
    // `epoch` is that profiler's.
    std::uint64_t epoch = 0;
    std::uintptr_t bits = 0;

    // Whether the file is attrs' class builder (the attrs rule asks of callers): -1 not yet known.
    signed char attrs_maker = -1;

    // The texts of a record made in this code: the file name made relative to the current
    // directory, with ':' (the line's digits follow), for directory generation `cwd_generation`;
    // the encoded "co_name" and "qualname" entries, made with `module_name` and valid for the
    // globals `globals` (compared only) in module-name generation `name_generation`.
    std::uint64_t cwd_generation = 0;
    std::string path_prefix;
    Owned module_name;
    std::string names;  // empty when not kept
    const PyObject* globals = nullptr;
    std::uint64_t name_generation = 0;
    // Moves on whenever the path prefix or the names are made anew: a place's bytes made with
    // other texts are stale.
    std::uint64_t texts_version = 1;

    // Per instruction offset: its line, and the whole encoded "path", "co_name" and "qualname"
    // entries of a record made there (valid while `version` is texts_version).
    struct Place {
        int offset = -1;  // -1: free
        int line = 0;
        std::uint64_t version = 0;
        std::string bytes;
    };
    // Open addressing on the offset, a power of two long, at most half full; `places_mask` is its
    // length less one (0 while it is empty), kept so that a lookup does no division by the
    // size of a Place.
    std::vector<Place> places;
    std::size_t places_used = 0;
    std::size_t places_mask = 0;

    // Its variables' names, encoded, for writing a frame's variables.
    VariableKeys variables;

    // The place of `offset` (>= 0), or null when there is none yet.
    const Place* find_place(int offset) const {
        const std::size_t mask = places_mask;
        if (mask == 0) return nullptr;
        const Place* const table = places.data();
        for (std::size_t i = hash(offset) & mask;; i = (i + 1) & mask) {
            const Place& p = table[i];
            if (p.offset == offset) return &p;
            if (p.offset < 0) return nullptr;
        }
    }

    // The place of `offset` (>= 0), made with its line unknown (version 0, line -1) if need be.
    Place& place(int offset) {
        if (const std::size_t mask = places_mask; mask != 0) {
            for (std::size_t i = hash(offset) & mask;; i = (i + 1) & mask) {
                Place& p = places[i];
                if (p.offset == offset) return p;
                if (p.offset < 0) break;
            }
        }
        return add_place(offset);
    }

private:
    static std::size_t hash(int offset) { return std::size_t(std::uint32_t(offset) * 2654435761u) >> 4; }
    Place& add_place(int offset);
};

// Must run once before code_info() is used; false with the exception set.
bool init_code_info();

namespace code_info_detail {
extern Py_ssize_t extra_index;
CodeInfo* make(PyCodeObject* code);
}  // namespace code_info_detail

// The code object's info, made on first use; null with the exception set (out of memory).
inline CodeInfo* code_info(PyCodeObject* code) {
    void* found = compat::code_extra(code, code_info_detail::extra_index);
    return found != nullptr ? static_cast<CodeInfo*>(found) : code_info_detail::make(code);
}

// The keys of `code`'s variables, or null (no exception set) when a name is not a str the encoder
// writes as it is. Valid while the code object lives.
inline const VariableKeys* variable_keys(PyCodeObject* code) {
    CodeInfo* info = code_info(code);
    if (info == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    if (!info->variables.made) fill_variable_keys(info->variables, code);
    return info->variables.plain ? &info->variables : nullptr;
}

// The line of the frame as PyFrame_GetLineNumber gives it, or the code's first line when the
// frame has none; remembered per code object and instruction offset.
int line_of(compat::InterpreterFrame* frame);

}  // namespace jarn
