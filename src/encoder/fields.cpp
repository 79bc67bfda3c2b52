#include "fields.hpp"

#include <array>
#include <utility>

#include "../utils/cpython_compat.hpp"

namespace jarn {
namespace {

PyObject* interned(const char* text) { return PyUnicode_InternFromString(text); }  // kept for good

bool same_name(PyObject* a, PyObject* b) {
    return a == b || (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) && PyUnicode_Compare(a, b) == 0);
}

void add_attributes(PyObject* v, Fields& out) {
    compat::InstanceAttributes attributes(v);
    PyObject* name;
    PyObject* value;
    while (attributes.next(name, value)) out.add(name, value);
}

void add_slots(PyObject* v, const TypeEntry& type, Fields& out) {
    for (const SlotField& slot : type.slots) {
        if (PyObject* value = slot_value(v, slot.offset)) out.add(slot.name.get(), value);
    }
}

// Every concrete field, in the model's order, with its value when loaded; then what else the
// instance holds (but its bookkeeping, _state), then the related objects already fetched.
void add_django_fields(PyObject* v, const TypeEntry& type, Fields& out) {
    static PyObject* const state_name = interned("_state");
    static PyObject* const cache_name = interned("fields_cache");
    Fields own;
    own.limit = std::size_t(-1);
    add_attributes(v, own);
    add_slots(v, type, own);
    for (const Owned& attname : type.names) {
        PyObject* value = nullptr;
        for (std::size_t i = 0; i < own.size() && value == nullptr; ++i) {
            if (same_name(own[i].name.get(), attname.get())) value = own[i].value.get();
        }
        out.add(attname.get(), value);
    }
    PyObject* state = nullptr;
    for (std::size_t i = 0; i < own.size(); ++i) {
        if (same_name(own[i].name.get(), state_name)) {
            state = own[i].value.get();
            continue;
        }
        bool known = false;
        for (const Owned& attname : type.names) known = known || same_name(own[i].name.get(), attname.get());
        if (!known) out.add(own[i].name.get(), own[i].value.get());
    }
    if (state == nullptr) return;
    compat::InstanceAttributes state_attributes(state);
    PyObject* name;
    PyObject* value;
    while (state_attributes.next(name, value)) {
        if (!same_name(name, cache_name) || !PyDict_CheckExact(value)) continue;
        Py_ssize_t pos = 0;
        PyObject* related_name;
        PyObject* related;
        while (PyDict_Next(value, &pos, &related_name, &related)) {
            if (PyUnicode_Check(related_name)) out.add(related_name, related);
        }
    }
}

// The request's method and path as its attributes hold them, or (Starlette's) as the items of its
// `scope` dict; one that is absent (a websocket has no method) is left out. Only keys that are
// exact str are compared, so no key's own __eq__ runs; the values are borrowed until `out` holds
// them, nothing running meanwhile.
void add_request_fields(PyObject* v, const TypeEntry& type, Fields& out) {
    static PyObject* const scope_name = interned("scope");
    constexpr std::size_t kMost = 4;
    const std::size_t wanted = type.names.size() < kMost ? type.names.size() : kMost;
    std::array<PyObject*, kMost> found{};
    const auto match = [&](PyObject* name, PyObject* value) {
        for (std::size_t i = 0; i < wanted; ++i) {
            if (found[i] == nullptr && same_name(name, type.names[i].get())) found[i] = value;
        }
    };
    PyObject* scope = nullptr;
    compat::InstanceAttributes attributes(v);
    PyObject* name;
    PyObject* value;
    while (attributes.next(name, value)) {
        if (!type.fields_in_scope) {
            match(name, value);
        } else if (scope == nullptr && same_name(name, scope_name) && PyDict_CheckExact(value)) {
            scope = value;
        }
    }
    if (scope != nullptr) {
        Py_ssize_t pos = 0;
        while (PyDict_Next(scope, &pos, &name, &value)) {
            if (PyUnicode_CheckExact(name)) match(name, value);
        }
    }
    for (std::size_t i = 0; i < wanted; ++i) {
        if (found[i] != nullptr) out.add(type.names[i].get(), found[i]);
    }
}

}  // namespace

void Fields::add(PyObject* name, PyObject* value) {
    if (n_ >= limit) {
        ++more;
        return;
    }
    Field f{Owned::borrow(name), Owned::borrow(value)};
    if (n_ < inline_.size()) {
        inline_[n_] = std::move(f);
    } else {
        rest_.push_back(std::move(f));
    }
    ++n_;
}

void collect_fields(PyObject* v, const TypeEntry& type, Fields& out) {
    switch (type.kind) {
        case ObjectKind::named_tuple: {
            const Py_ssize_t n = PyTuple_GET_SIZE(v);
            for (std::size_t i = 0; i < type.names.size() && Py_ssize_t(i) < n; ++i) {
                out.add(type.names[i].get(), PyTuple_GET_ITEM(v, Py_ssize_t(i)));
            }
            break;
        }
        case ObjectKind::exception: {
            static PyObject* const args_name = interned("args");
            PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(v)->args;
            if (args != nullptr) out.add(args_name, args);
            add_slots(v, type, out);
            add_attributes(v, out);
            break;
        }
        case ObjectKind::django_model:
            add_django_fields(v, type, out);
            break;
        case ObjectKind::web_request:
            add_request_fields(v, type, out);
            break;
        case ObjectKind::instance:
        case ObjectKind::number:
            add_slots(v, type, out);
            add_attributes(v, out);
            break;
        default:
            break;
    }
}

}  // namespace jarn
