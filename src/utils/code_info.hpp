// What jarn keeps per code object, in the code object's own extra slot: found in a few
// instructions whatever the number of code objects, made once on first sight and freed with the
// code object. Nothing in it holds the code object or is tied to a thread.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cpython_compat.hpp"
#include "dict_watch.hpp"
#include "owned.hpp"
#include "padded_bytes.hpp"
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

    // Per instruction (compat::frame_instruction, the key): its line, and the whole encoded
    // "path", "co_name" and "qualname" entries of a record made there, valid while `stamp` is
    // texts_stamp(). The stamp is the sum of the directory and module-name generations they were
    // made in: each only ever grows, so the sum is the same only while neither has moved on, and a
    // record's texts are found valid with one comparison. Whenever the path prefix or the names
    // are made anew, every place's texts are dropped (drop_kept_texts).
    // A power of two long (one cache line), so that a key's slot is a shift away from its byte.
    struct alignas(64) Place {
        const void* at = nullptr;  // null: free
        std::uint64_t stamp = 0;  // 0: no texts kept (a stamp is at least 2)
        int line = -1;
        PaddedBytes bytes;
    };
    // Open addressing on the key, a power of two long, at most half full; `places_mask` is its
    // length less one (0 while it is empty), kept so that a lookup does no division by the size of
    // a Place, and `table_mask` the same in bytes. `table` is its first place, or while it is
    // empty a lone free place, so that a lookup needs no test for an empty table.
    std::vector<Place> places;
    std::size_t places_used = 0;
    std::size_t places_mask = 0;
    std::size_t table_mask = 0;
    const Place* table = &no_place;

    CodeInfo() = default;
    CodeInfo(const CodeInfo&) = delete;  // `table` points into its own `places`
    CodeInfo& operator=(const CodeInfo&) = delete;

    // Its variables' names, encoded, for writing a frame's variables.
    VariableKeys variables;

    // The stamp of a place whose texts hold now, made in directory generation `cwd_generation`.
    static std::uint64_t texts_stamp(std::uint64_t cwd_generation) {
        return cwd_generation + module_name_generation();
    }

    // Forgets every place's texts, made with a path prefix or names made anew since. A code's
    // events happen at few places (its start, returns, yields, the calls it makes), and its texts
    // are made anew rarely (the directory changed, its module renamed).
    void drop_kept_texts() {
        for (Place& p : places) p.stamp = 0;
    }

    // The place of key `at`, or a free place (no texts, stamp 0) when there is none yet. A null
    // key, which no place has, finds a free one.
    const Place& find_place(const void* at) const {
        // In bytes: the slot of hash(at), times the size of a place, is the key shifted.
        const std::size_t i = (std::uintptr_t(at) * (sizeof(Place) / 2)) & table_mask;
        const Place& p = *reinterpret_cast<const Place*>(reinterpret_cast<const char*>(table) + i);
        if (p.at == at) [[likely]] return p;
        return find_place_from(at, i);
    }

    // The place of key `at` (not null), made with its line unknown (stamp 0, line -1) if need be.
    Place& place(const void* at) {
        if (const std::size_t mask = places_mask; mask != 0) {
            for (std::size_t i = hash(at) & mask;; i = (i + 1) & mask) {
                Place& p = places[i];
                if (p.at == at) return p;
                if (p.at == nullptr) break;
            }
        }
        return add_place(at);
    }

private:
    // Keys are the addresses of a code's instructions, two bytes apart: in order, one place apart.
    static std::size_t hash(const void* at) { return std::uintptr_t(at) >> 1; }
    static_assert((sizeof(Place) & (sizeof(Place) - 1)) == 0, "find_place walks in bytes");
    Place& add_place(const void* at);
    // The rest of find_place's walk, from byte `i` of the table on: out of the way of the common
    // lookup, which finds its key in its first slot.
    [[gnu::noinline]] const Place& find_place_from(const void* at, std::size_t i) const;
    static const Place no_place;
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
