// Python values to MessagePack through the host package's serialiser.
#pragma once

#include <Python.h>

#include "msgpack.hpp"

namespace jarn {

// Calls jarn.serialize.dump_msgpack (or dump_msgpack_lightweight_repr) with `value` and appends
// the bytes it returns to `out`. On failure `out` is left as it was and the exception is set.
bool dump_msgpack(PyObject* value, bool lightweight_repr, msgpack::Buffer& out);

// Appends the bytes of a bytes-like result: bytes, or any sequence of integers 0..255.
bool append_byte_sequence(PyObject* result, msgpack::Buffer& out);

}  // namespace jarn
