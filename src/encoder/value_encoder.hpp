// MessagePack encoding of Python values for the host's serialiser. Plain values (None, bool, int
// of at most 64 bits, float, str, bytes, and lists, tuples and dicts of them) are written
// natively, byte for byte as the msgpack package writes them; objects are described natively in
// the style the encoder was made with (see ObjectStyle); what is left (ints beyond 64 bits, long
// texts, dicts with keys of mixed kinds, anything beyond a limit) is handed to a Python function
// that returns its encoding, which is spliced in at that place.
//
// Secrets are scrubbed by name (scrub.hpp): the value of a dict key or an object's field on the
// denylist is written as "[scrubbed]", and a str that is a URL has its password and listed query
// parameters scrubbed.
#pragma once

#include <Python.h>

#include "../utils/msgpack.hpp"
#include "native_api.hpp"
#include "scrub.hpp"

namespace jarn {

struct EncoderLimits {
    Py_ssize_t max_depth = 16;     // containers nested deeper go to the fallback
    Py_ssize_t max_str = 1000;     // characters of a str
    Py_ssize_t max_bytes = 1000;   // length of a bytes value
    Py_ssize_t max_items = 100;    // entries of one container
    Py_ssize_t max_nodes = 1000;   // values in one record (or one call), then "<too much data>"
    Py_ssize_t max_repr = 500;     // characters of a described object's repr or text
    Py_ssize_t max_record_bytes = 64 << 10;  // bytes of the values of one record (or one call)
    // Objects are written with their fields while the values of the record so far take fewer
    // bytes than this; later ones get their text alone. The text beside an object's fields is
    // cut at max_shown_text characters: the fields show the rest.
    Py_ssize_t max_fields_bytes = 2 << 10;
    Py_ssize_t max_shown_text = 120;
    std::int64_t slow_repr_ns = 1000000;     // a type whose __repr__ took longer is not asked again
};

// A fresh budget takes the limits' values; a used one is left alone.
void start_budget(ValueBudget& budget, const EncoderLimits& limits);

// How an object that is neither plain nor a container (subclasses of int, float and str count as
// objects) is written:
// - fallback: handed to the fallback;
// - fields: {"__type__": "module.QualName", "text": text, "fields": {...}}, its fields read from
//   its own storage (fields.hpp) and its one-line text made natively (short_text.hpp); the
//   standard library's value types, functions, classes and objects whose state cannot be read
//   get the text alone. None of the object's code runs.
// - repr: {"__type__": "module.QualName", "repr": repr(obj)} (or, when its __repr__ raises,
//   "<module.QualName object; repr failed: ExceptionType>"). An object holding a secret-named
//   field is described as with `fields` instead, so that its repr cannot show the secret.
// - by_address: {"__type__": ..., "repr": "<module.QualName object at 0x...>"}, calling none of
//   its code.
// In every style but `fallback`, subclasses of dict, list, tuple, set and frozenset are read
// through their base type (so none of their overrides run), sets become arrays, dicts with int
// keys of at most 64 bits are written with their keys' decimal text, and a container inside
// itself is {"__type__": ..., "repr" (or "text"): "<recursion>"}.
enum class ObjectStyle { fallback, fields, repr, by_address };

enum class EncodeResult {
    encoded,
    whole_value,  // the value is better encoded by the fallback as a whole (changed while walked)
    error,        // a Python exception is set
};

// What one encoding works with.
struct EncodeContext {
    PyObject* fallback;
    const EncoderLimits& limits;
    ObjectStyle objects;
    const scrub::Rules& rules;
    // The rules as the fallback is told them (its fourth argument); null for a fallback of three.
    PyObject* scrub_argument;
};

// Appends the encoding of `value` to `out`, drawing on `budget` (started). `fallback(value, depth,
// nodes[, scrub])` must return bytes, or (bytes, nodes left) when it keeps its own count of the
// `nodes` it was allowed. On anything but `encoded` the buffer and the budget are left as they were.
EncodeResult encode_value(PyObject* value, const EncodeContext& ctx, ValueBudget& budget, msgpack::Buffer& out);

// Calls the fallback with the value and appends the bytes it gives, taking from the budget the
// nodes it says it used (one when it says nothing).
bool append_fallback(const EncodeContext& ctx, PyObject* value, Py_ssize_t depth, ValueBudget& budget,
                     msgpack::Buffer& out);

// The same for a dict of n str keys and values that is not built: the bytes encode_value would
// append for such an exact dict. `whole_value` means that dict is to go to the fallback whole.
EncodeResult encode_map(PyObject* const* keys, PyObject* const* values, std::size_t n, const EncodeContext& ctx,
                        ValueBudget& budget, msgpack::Buffer& out);

// The description of one object at `depth`, as encode_value writes it in the context's style
// (the fallback's own walk hands objects back to it).
EncodeResult encode_object(PyObject* value, Py_ssize_t depth, const EncodeContext& ctx, ValueBudget& budget,
                           msgpack::Buffer& out);

// The one-line text of a value (short_text.hpp) within the limits' max_repr; false with an
// exception set only for one that is not an Exception.
bool value_text(PyObject* value, const EncodeContext& ctx, std::string& out);

}  // namespace jarn
