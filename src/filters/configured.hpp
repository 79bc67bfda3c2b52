// Include and ignore patterns from the configuration's "filters" mapping.
#pragma once

#include <Python.h>

#include <vector>

#include "../utils/finder.hpp"

namespace jarn {

// `filters` is the borrowed "filters" value, or null when the key is absent. A missing or
// unreadable key gives no patterns; a value that is not a list of strings is refused.
bool load_filters(PyObject* filters, PyObject* key, std::vector<Finder>& out);

}  // namespace jarn
