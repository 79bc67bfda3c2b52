// Settings read once from the host's configuration dictionary.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "../encoder/scrub.hpp"
#include "../utils/host_serialize.hpp"
#include "../utils/owned.hpp"

namespace jarn {

// Direct dictionary lookup: a dict subclass's own get/__getitem__/__missing__ are not consulted.
// Returns the borrowed value or null when absent; a raising lookup becomes the internal error
// 'config.get("<key>" should not raise.' and `ok` is false.
PyObject* config_lookup(PyObject* config, PyObject* key, const char* assertion, bool& ok);

// A Python bool, or a NumPy boolean scalar recognised by its type's module and name.
std::optional<bool> as_bool(PyObject* value);

// false with the exception set on failure.
bool get_sqlite_busy_timeout(PyObject* config, std::uint64_t& out);
bool use_threading(PyObject* config, bool& out);
// "values": "fields" (the default), "repr" or "type"; "lightweight_repr" set to true means
// "type" (a "values" that says otherwise is refused).
bool get_values_mode(PyObject* config, ValuesMode& out);
// "scrub": absent or true, the denylist; a list of names, the denylist and those; false, nothing.
// `argument` gets the same as the host's serialiser is told it (False, or the tuple of names).
bool get_scrub_rules(PyObject* config, scrub::Rules& rules, Owned& argument);
bool omit_return_locals(PyObject* config, bool& out);
// Whether jarn measures its own time and generators' steps and writes them beside the records.
bool record_notes(PyObject* config, bool& out);
// "slow_repr_ms": a non-negative number of milliseconds (default 1), given in nanoseconds.
bool get_slow_repr_ns(PyObject* config, std::int64_t& out);
// "max_trace_bytes": a positive int (default 1 GiB), the bytes of records one trace keeps.
bool get_max_trace_bytes(PyObject* config, std::uint64_t& out);

}  // namespace jarn
