// What jarn._encoder offers to the profiler core through a capsule: the core, finding that the
// host's serialiser is an Encoder, has it write straight into the record being built instead of
// calling it and copying the bytes object it would return. Both sides are built together.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../utils/msgpack.hpp"
#include "scrub.hpp"

namespace jarn {

inline constexpr const char* kEncoderCapsule = "jarn._encoder._native_api";
inline constexpr int kEncoderApiVersion = 6;

// What the values of one record may still cost. Shared by every value written into the record
// (argument and locals together), so that a record's size and the work spent on it are bounded
// whatever the program holds. A fresh budget takes the encoder's own limits on first use.
struct ValueBudget {
    bool fresh = true;
    std::int64_t nodes = 0;       // values still written in full; past it "<too much data>"
    std::uint64_t bytes = 0;      // bytes the values may still take
    std::int64_t slow_repr_ns = -1;  // a __repr__ slower than this is not called again; < 0: the encoder's
    // What is scrubbed: the rules of the record's profiler; null for the encoder's own. The
    // same rules as the encoder's Python fallback is told them (False, or the names added to
    // the denylist), borrowed.
    const scrub::Rules* scrub = nullptr;
    PyObject* scrub_argument = nullptr;
    // The names of the next map appended (a frame's variables) are known to hold no secret's.
    bool names_clean = false;
};

// What decides how an encoder writes a plain value (None, bool, int, float, str): a str longer
// than `max_str` characters, a dict of more than `max_items` entries or nested deeper than
// `max_depth` is not written as such.
struct PlainLimits {
    Py_ssize_t max_str;
    Py_ssize_t max_items;
    Py_ssize_t max_depth;
    // Whether a dict longer than max_items is cut here (max_items entries, then "..." with how
    // many more) rather than handed to the fallback whole.
    bool cuts_long_dicts;
};

struct EncoderNativeApi {
    int version;
    PyTypeObject* type;
    // Appends the encoding of `value` (what calling the encoder would return) to `out`, drawing on
    // `budget` (null: a budget of its own); false with the exception set, `out` unchanged.
    bool (*append)(PyObject* encoder, PyObject* value, ValueBudget* budget, msgpack::Buffer& out);
    // Appends what encoding a dict of these n str keys and values would append, without the
    // dict: a frame's variables go straight into the record. 1 when written; 0 when the dict
    // itself must be encoded instead (it would be handed to the fallback as a whole), `out` and
    // `budget` unchanged; -1 with the exception set.
    int (*append_map)(PyObject* encoder, PyObject* const* keys, PyObject* const* values, std::size_t n,
                      ValueBudget* budget, msgpack::Buffer& out);
    // Starts `budget` as `append` would and gives the encoder's limits for plain values, so that
    // a caller can write plain values itself, byte for byte as the encoder would, taking from the
    // budget what the encoder would take: one node per value (a dict's own included) and the
    // bytes written, and writing nothing itself once either has run out.
    void (*plain_limits)(PyObject* encoder, ValueBudget* budget, PlainLimits* out);
};

}  // namespace jarn
