// The fields of an object as its own storage holds them: __slots__, the instance __dict__, a named
// tuple's items, an exception's args, a Django model's loaded fields, a web request's method and
// path. Read without calling any of
// the object's methods, properties or descriptors.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <vector>

#include "../utils/owned.hpp"
#include "type_entry.hpp"

namespace jarn {

// A field: a str name and its value, both held; a null value is a field not loaded (deferred).
struct Field {
    Owned name;
    Owned value;
};

class Fields {
public:
    Fields() = default;
    Fields(const Fields&) = delete;
    Fields& operator=(const Fields&) = delete;

    // Keeps a reference to both (the value may be null); past `limit` fields only counts.
    void add(PyObject* name, PyObject* value);
    std::size_t size() const { return n_; }
    const Field& operator[](std::size_t i) const { return i < inline_.size() ? inline_[i] : rest_[i - inline_.size()]; }
    // The fields left out past the limit.
    std::size_t more = 0;
    std::size_t limit = 200;

private:
    std::array<Field, 12> inline_;  // the first n_ are set
    std::vector<Field> rest_;
    std::size_t n_ = 0;
};

// The fields of an object whose type's kind has fields (instance, named_tuple, exception,
// django_model, web_request, number). Runs no Python code.
void collect_fields(PyObject* v, const TypeEntry& type, Fields& out);

// Whether that kind of object is recorded with its fields.
inline bool has_fields(ObjectKind kind) {
    return kind == ObjectKind::instance || kind == ObjectKind::named_tuple || kind == ObjectKind::exception ||
           kind == ObjectKind::django_model || kind == ObjectKind::web_request || kind == ObjectKind::number;
}

}  // namespace jarn
