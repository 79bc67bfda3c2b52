#include "dict_watch.hpp"

namespace jarn {
namespace {

// Starts at 1 so that a zeroed cache is never valid.
std::uint64_t generation = 1;  // guarded by the interpreter lock
int watcher = -1;              // -1: not asked for yet; -2: none available

int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++generation;
    return 0;
}

}  // namespace

std::uint64_t watched_generation() { return generation; }

bool watch_dict(PyObject* dict) {
    if (watcher == -1) {
        watcher = PyDict_AddWatcher(on_change);
        if (watcher < 0) {
            PyErr_Clear();
            watcher = -2;
        }
    }
    if (watcher < 0 || dict == nullptr || !PyDict_Check(dict)) return false;
    if (PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

}  // namespace jarn
