#include "configured.hpp"

#include "../utils/convert.hpp"
#include "../utils/owned.hpp"

namespace jarn {

bool load_filters(PyObject* filters, PyObject* key, std::vector<Finder>& out) {
    out.clear();
    if (filters == nullptr) return true;
    Owned value = Owned::steal(PyObject_GetItem(filters, key));
    if (!value) {
        // No such key, None, or not subscriptable at all: simply no patterns.
        PyErr_Clear();
        return true;
    }
    std::vector<std::string> patterns;
    if (!extract_string_list(value.get(), patterns)) return false;
    out.reserve(patterns.size());
    for (const std::string& p : patterns) out.emplace_back(p);
    return true;
}

}  // namespace jarn
