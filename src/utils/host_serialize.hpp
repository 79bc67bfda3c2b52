// Python values to MessagePack through the host package's serialiser.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../encoder/native_api.hpp"
#include "../encoder/scrub.hpp"
#include "cpython_compat.hpp"
#include "msgpack.hpp"
#include "variable_keys.hpp"

namespace jarn {

// How objects are recorded (the `values` setting): by their fields, by their repr, or by type
// and address; each has its serialiser in jarn.serialize.
enum class ValuesMode : std::uint8_t { fields = 0, repr = 1, type = 2 };

// While one is alive on a thread, the values that thread serialises through `dump_msgpack` share
// one budget of nodes and bytes: a record's argument and locals together, not each on its own;
// and the rules of what is scrubbed (`scrub_argument`: the same as the host's serialiser is told
// them), which must outlive it.
class RecordValueBudget {
public:
    RecordValueBudget(std::int64_t slow_repr_ns, const scrub::Rules& rules, PyObject* scrub_argument);
    ~RecordValueBudget();
    RecordValueBudget(const RecordValueBudget&) = delete;
    RecordValueBudget& operator=(const RecordValueBudget&) = delete;

private:
    ValueBudget budget_;
    ValueBudget* previous_;
};

// Calls the serialiser of the mode (jarn.serialize.dump_msgpack for fields, dump_msgpack_repr,
// dump_msgpack_lightweight_repr for type) with `value` and appends the bytes it returns to
// `out`. On failure `out` is left as it was and the exception is set.
bool dump_msgpack(PyObject* value, ValuesMode mode, msgpack::Buffer& out);

// Appends what dump_msgpack would append for a dict of these str keys and values, without the
// dict, when the serialiser can do that: 1 written, 0 not possible (`out` unchanged; serialise the
// dict instead), -1 with the exception set.
int dump_msgpack_map(PyObject* const* keys, PyObject* const* values, std::size_t n, ValuesMode mode,
                     msgpack::Buffer& out);

// Writes plain values (None, bool, int of at most 64 bits, float, str within the length limit)
// into a record without the serialiser: the bytes it would write, taken from the record's budget
// as it would take them. Anything else, or a budget run out, is left to the serialiser (which
// then writes the whole value or map afresh). Used while a RecordValueBudget is alive; nothing
// here runs Python code but the release of what a cache held.
//
// Writes the record's argument, the key "locals" and, for a function frame (`frame` not null; its
// mapping() null), the map of its variables as the serialiser writes the dict of them,
// "__builtins__" left out. 2: all written; 1: the argument and the key written, the variables
// left to the serialiser (a name or value not plain, a name of a secret, or the budget would run
// out on the way); 0: nothing written or taken (the argument not plain, or the serialiser not the
// native encoder). A str that is a URL is not plain here: the serialiser scrubs it.
int write_plain_values(PyObject* arg, const compat::FrameVariables* frame, ValuesMode mode, msgpack::Buffer& out);

// The same for a record written in place, whole or not at all: the argument, the key "locals"
// and the map of a function frame's variables (`keys` its code's) at `at`, with memory up to
// `end`, as write_plain_values writes them with a fresh budget and these scrub rules. Returns
// their end, or null when any of them is left to the serialiser or does not fit (nothing taken
// from any budget). Needs no RecordValueBudget.
std::uint8_t* write_plain_values_at(PyObject* arg, const compat::FrameVariables& frame, const VariableKeys& keys,
                                    ValuesMode mode, const scrub::Rules& scrubbing, std::uint8_t* at, std::uint8_t* end);

// Appends the bytes of a bytes-like result: bytes, or any sequence of integers 0..255.
bool append_byte_sequence(PyObject* result, msgpack::Buffer& out);

}  // namespace jarn
