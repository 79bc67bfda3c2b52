// Caches that must notice when Python code changes what they were read from (a module attribute
// replaced, an object's attribute set) watch the dicts involved: any change to any watched dict
// moves one shared generation on, and a cache made in an older generation is read afresh. Watched
// dicts change rarely (module globals, sys.modules, a thread's attributes), so one counter for all
// keeps the check per event to one comparison.
#pragma once

#include <Python.h>

#include <cstdint>

namespace jarn {

namespace dict_watch_detail {
// Read at every event: the accessors below are inline. Guarded by the interpreter lock.
extern std::uint64_t generation;
extern std::uint64_t name_generation;
}  // namespace dict_watch_detail

// The current generation; a cache that recorded it is valid while it is unchanged.
inline std::uint64_t watched_generation() { return dict_watch_detail::generation; }

// Watches `dict` from now on; false (no exception set) when the interpreter has no dict watcher
// left for us, in which case a cache must not rely on it.
bool watch_dict(PyObject* dict);

// Module globals are watched apart, and only for their "__name__": programs store into their
// globals all the time, which must not cost the caches above their validity. The generation
// moves on when a watched globals dict's "__name__" is set or deleted, or the dict is cleared or
// freed; `watch_module_name` is false (no exception set) when no watcher is left.
inline std::uint64_t module_name_generation() { return dict_watch_detail::name_generation; }
bool watch_module_name(PyObject* globals);

}  // namespace jarn
