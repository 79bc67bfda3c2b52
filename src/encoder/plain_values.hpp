// MessagePack encoding of plain Python values (None, bool, int, float, str, bytes, and lists,
// tuples and dicts of them), byte for byte as the msgpack package encodes them. Anything else,
// and anything beyond the given limits, is left to the caller's slower, more careful path.
#pragma once

#include <Python.h>

#include "../utils/msgpack.hpp"

namespace jarn {

struct PlainLimits {
    Py_ssize_t max_depth = 32;     // nesting of containers
    Py_ssize_t max_str = 4096;     // characters of a str
    Py_ssize_t max_bytes = 4096;   // length of a bytes value
    Py_ssize_t max_items = 1000;   // entries of one container
};

enum class PlainResult { encoded, not_plain, error };

// Appends the encoding of `value` to `out`. On `not_plain` or `error` the buffer is left as it was;
// on `error` a Python exception is set.
PlainResult encode_plain(PyObject* value, const PlainLimits& limits, msgpack::Buffer& out);

}  // namespace jarn
