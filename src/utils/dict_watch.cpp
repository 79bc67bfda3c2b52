#include "dict_watch.hpp"

#include "interned.hpp"

namespace jarn {

namespace dict_watch_detail {
// Both start at 1 so that a zeroed cache is never valid.
std::uint64_t generation = 1;
std::uint64_t name_generation = 1;
}  // namespace dict_watch_detail

namespace {

using dict_watch_detail::generation;
using dict_watch_detail::name_generation;
int watcher = -1;  // -1: not asked for yet; -2: none available

int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++generation;
    return 0;
}

int name_watcher = -1;  // as `watcher`

int on_globals_change(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject*) {
    const bool one_key = event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED || event == PyDict_EVENT_DELETED;
    if (!one_key || is_same_name(key, names.__name__, "__name__")) ++name_generation;
    return 0;
}

bool watch_with(int& id, PyDict_WatchCallback callback, PyObject* dict) {
    if (id == -1) {
        id = PyDict_AddWatcher(callback);
        if (id < 0) {
            PyErr_Clear();
            id = -2;
        }
    }
    if (id < 0 || dict == nullptr || !PyDict_Check(dict)) return false;
    if (PyDict_Watch(id, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

}  // namespace

bool watch_module_name(PyObject* globals) { return watch_with(name_watcher, on_globals_change, globals); }

bool watch_dict(PyObject* dict) { return watch_with(watcher, on_change, dict); }

}  // namespace jarn
