// MessagePack encoding of Python values for the host's serialiser. Plain values (None, bool, int
// of at most 64 bits, float, str, bytes, and exact lists, tuples and dicts with str keys of them)
// are written natively, byte for byte as the msgpack package writes them; each other value met on
// the way (an object, a set, a dict with other keys, anything beyond a limit) is handed to a
// Python function that returns its encoding, which is spliced in at that place. An encoder that
// describes objects itself also walks sets and subclasses of the containers (see Walker).
#pragma once

#include <Python.h>

#include "../utils/msgpack.hpp"
#include "native_api.hpp"

namespace jarn {

struct EncoderLimits {
    Py_ssize_t max_depth = 16;     // containers nested deeper go to the fallback
    Py_ssize_t max_str = 1000;     // characters of a str
    Py_ssize_t max_bytes = 1000;   // length of a bytes value
    Py_ssize_t max_items = 100;    // entries of one container
    Py_ssize_t max_nodes = 1000;   // values in one record (or one call), then "<too much data>"
    Py_ssize_t max_repr = 500;     // characters of a described object's repr
    Py_ssize_t max_record_bytes = 64 << 10;  // bytes of the values of one record (or one call)
    std::int64_t slow_repr_ns = 1000000;     // a type whose __repr__ took longer is not asked again
};

// A fresh budget takes the limits' values; a used one is left alone.
void start_budget(ValueBudget& budget, const EncoderLimits& limits);

// How an object that is neither plain nor a container (subclasses of int, float and str count as
// objects) is written: handed to the fallback, or described natively as the map
// {"__type__": "module.QualName", "repr": text}, where text is repr(obj) (or, when its __repr__
// raises an Exception, "<module.QualName object; repr failed: ExceptionType>"), or with
// `by_address` "<module.QualName object at 0x...>" without calling any of the object's code. The
// reprs of plain objects (object.__repr__), classes (type.__repr__) and functions run none of the
// program's code: their text is written natively, as they would give it.
enum class ObjectStyle { fallback, repr, by_address };

enum class EncodeResult {
    encoded,
    whole_value,  // the value is better encoded by the fallback as a whole (cycle, size, mutation)
    error,        // a Python exception is set
};

// Appends the encoding of `value` to `out`, drawing on `budget` (started). `fallback(value, depth,
// nodes)` must return bytes, or (bytes, nodes left) when it keeps its own count of the `nodes` it
// was allowed. On anything but `encoded` the buffer and the budget are left as they were.
EncodeResult encode_value(PyObject* value, PyObject* fallback, const EncoderLimits& limits, ObjectStyle objects,
                          ValueBudget& budget, msgpack::Buffer& out);

// Calls fallback(value, depth, nodes) and appends the bytes it gives, taking from the budget the
// nodes it says it used (one when it says nothing).
bool append_fallback(PyObject* fallback, PyObject* value, Py_ssize_t depth, ValueBudget& budget, msgpack::Buffer& out);

// The same for a dict of n str keys and values that is not built: the bytes encode_value would
// append for such an exact dict. `whole_value` means that dict is to go to the fallback whole.
EncodeResult encode_map(PyObject* const* keys, PyObject* const* values, std::size_t n, PyObject* fallback,
                        const EncoderLimits& limits, ObjectStyle objects, ValueBudget& budget, msgpack::Buffer& out);

}  // namespace jarn
