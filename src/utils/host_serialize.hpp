// Python values to MessagePack through the host package's serialiser.
#pragma once

#include <Python.h>

#include <cstdint>

#include "../encoder/native_api.hpp"
#include "msgpack.hpp"

namespace jarn {

// While one is alive on a thread, the values that thread serialises through `dump_msgpack` share
// one budget of nodes and bytes: a record's argument and locals together, not each on its own.
class RecordValueBudget {
public:
    explicit RecordValueBudget(std::int64_t slow_repr_ns);
    ~RecordValueBudget();
    RecordValueBudget(const RecordValueBudget&) = delete;
    RecordValueBudget& operator=(const RecordValueBudget&) = delete;

private:
    ValueBudget budget_;
    ValueBudget* previous_;
};

// Calls jarn.serialize.dump_msgpack (or dump_msgpack_lightweight_repr) with `value` and appends
// the bytes it returns to `out`. On failure `out` is left as it was and the exception is set.
bool dump_msgpack(PyObject* value, bool lightweight_repr, msgpack::Buffer& out);

// Appends what dump_msgpack would append for a dict of these str keys and values, without the
// dict, when the serialiser can do that: 1 written, 0 not possible (`out` unchanged; serialise the
// dict instead), -1 with the exception set.
int dump_msgpack_map(PyObject* const* keys, PyObject* const* values, std::size_t n, bool lightweight_repr,
                     msgpack::Buffer& out);

// Writes plain values (None, bool, int of at most 64 bits, float, str within the length limit)
// into a record without the serialiser: the bytes it would write, taken from the record's budget
// as it would take them. Anything else, or a budget run out, is left to the serialiser (which
// then writes the whole value or map afresh). Used while a RecordValueBudget is alive; nothing
// here runs Python code.
class PlainValues {
public:
    // False, with no exception set, when the host's serialiser is not the native encoder.
    bool start(bool lightweight_repr);
    // A value on its own: true when written; false, with nothing written or taken, otherwise.
    bool value(PyObject* v, msgpack::Buffer& out);
    // A dict of str keys, entry by entry into `out`: begin_map, add for each entry, then end_map.
    // When begin_map or an add says false, abandon_map takes back what the map wrote. `out` is
    // used by nothing else meanwhile.
    bool begin_map(msgpack::Buffer& out);
    bool add(PyObject* key, PyObject* v);
    void end_map();
    void abandon_map();

private:
    // Makes room for n more bytes of the map being written.
    void room(std::size_t n);

    ValueBudget* budget_ = nullptr;
    PlainLimits limits_{};
    // The map being written: its start, and the room made for it in `out_` (past its size).
    msgpack::Buffer* out_ = nullptr;
    std::size_t map_start_ = 0;
    std::uint8_t* at_ = nullptr;
    std::uint8_t* end_ = nullptr;
    std::int64_t map_nodes_ = 0;
    Py_ssize_t map_count_ = 0;
};

// Appends the bytes of a bytes-like result: bytes, or any sequence of integers 0..255.
bool append_byte_sequence(PyObject* result, msgpack::Buffer& out);

}  // namespace jarn
