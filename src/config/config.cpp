#include "config.hpp"

#include <cstring>
#include <utility>

#include "../utils/internal_error.hpp"
#include "../utils/interned.hpp"
#include "../utils/owned.hpp"

namespace jarn {

PyObject* config_lookup(PyObject* config, PyObject* key, const char* assertion, bool& ok) {
    PyObject* value = PyDict_GetItemWithError(config, key);  // borrowed
    ok = value != nullptr || !PyErr_Occurred();
    if (!ok) raise_internal_error(assertion);
    return value;
}

namespace {

bool is_numpy_bool_type(PyTypeObject* type) {
    // NumPy is no dependency: its boolean scalar is known by module and name ("bool_" before
    // NumPy 2, "bool" since).
    const char* full = type->tp_name;
    if (std::strcmp(full, "numpy.bool_") == 0 || std::strcmp(full, "numpy.bool") == 0) return true;
    Owned module = Owned::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    Owned name = Owned::steal(PyType_GetName(type));
    if (!module || !name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

}  // namespace

std::optional<bool> as_bool(PyObject* value) {
    if (PyBool_Check(value)) return value == Py_True;
    if (!is_numpy_bool_type(Py_TYPE(value))) return std::nullopt;
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    return truth == 1;
}

namespace {

bool read_flag(PyObject* config, PyObject* key, const char* assertion, bool& out) {
    bool ok;
    PyObject* value = config_lookup(config, key, assertion, ok);
    if (!ok) return false;
    out = value != nullptr && as_bool(value).value_or(false);
    return true;
}

}  // namespace

bool get_sqlite_busy_timeout(PyObject* config, std::uint64_t& out) {
    bool ok;
    PyObject* value = config_lookup(config, names.sqlite_busy_timeout,
                                    "config.get(\"sqlite_busy_timeout\" should not raise.", ok);
    if (!ok) return false;
    if (value == nullptr) {
        out = 60;
        return true;
    }
    Owned index = Owned::steal(PyLong_Check(value) ? Py_NewRef(value) : PyNumber_Index(value));
    if (!index) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool get_slow_repr_ns(PyObject* config, std::int64_t& out) {
    bool ok;
    PyObject* value = config_lookup(config, names.slow_repr_ms, "config.get(\"slow_repr_ms\" should not raise.", ok);
    if (!ok) return false;
    out = 1000000;
    if (value == nullptr) return true;
    const double ms = PyBool_Check(value) ? -1.0 : PyFloat_AsDouble(value);
    if (ms == -1.0 && PyErr_Occurred()) return false;
    if (!(ms >= 0.0 && ms < 1e12)) {
        PyErr_SetString(PyExc_ValueError, "slow_repr_ms must be a non-negative number of milliseconds");
        return false;
    }
    out = std::int64_t(ms * 1e6);
    return true;
}

bool get_max_trace_bytes(PyObject* config, std::uint64_t& out) {
    bool ok;
    PyObject* value =
        config_lookup(config, names.max_trace_bytes, "config.get(\"max_trace_bytes\" should not raise.", ok);
    if (!ok) return false;
    out = std::uint64_t(1) << 30;
    if (value == nullptr) return true;
    const unsigned long long v = PyLong_Check(value) && !PyBool_Check(value) ? PyLong_AsUnsignedLongLong(value) : 0;
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) PyErr_Clear();
    if (v == 0 || v == static_cast<unsigned long long>(-1)) {
        PyErr_SetString(PyExc_ValueError, "max_trace_bytes must be a positive integer");
        return false;
    }
    out = v;
    return true;
}

bool use_threading(PyObject* config, bool& out) {
    return read_flag(config, names.threading, "config.get(\"threading\" should not raise.", out);
}

bool get_values_mode(PyObject* config, ValuesMode& out) {
    bool lightweight;
    if (!read_flag(config, names.lightweight_repr, "config.get(\"lightweight_repr\" should not raise.", lightweight)) {
        return false;
    }
    bool ok;
    PyObject* value = config_lookup(config, names.values, "config.get(\"values\" should not raise.", ok);
    if (!ok) return false;
    out = lightweight ? ValuesMode::type : ValuesMode::fields;
    if (value == nullptr) return true;
    static const std::pair<const char*, ValuesMode> modes[] = {
        {"fields", ValuesMode::fields}, {"repr", ValuesMode::repr}, {"type", ValuesMode::type}};
    for (const auto& [name, mode] : modes) {
        if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, name) == 0) {
            if (lightweight && mode != ValuesMode::type) {
                PyErr_Format(PyExc_ValueError, "values is %R but lightweight_repr asks for \"type\"", value);
                return false;
            }
            out = mode;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "values must be \"fields\", \"repr\" or \"type\", not %R", value);
    return false;
}

bool get_scrub_rules(PyObject* config, scrub::Rules& rules, Owned& argument) {
    bool ok;
    PyObject* value = config_lookup(config, names.scrub, "config.get(\"scrub\" should not raise.", ok);
    if (!ok) return false;
    if (value == nullptr || value == Py_True) {
        argument = Owned::steal(PyTuple_New(0));
        return bool(argument);
    }
    if (value == Py_False) {
        rules.disable();
        argument = Owned::borrow(Py_False);
        return true;
    }
    if (!PyList_Check(value) && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "scrub must be true, false or a list of names");
        return false;
    }
    argument = Owned::steal(PySequence_Tuple(value));
    if (!argument) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(argument.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(argument.get(), i);
        Py_ssize_t size;
        const char* data = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
        if (data == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "scrub must be true, false or a list of names");
            return false;
        }
        if (!rules.add(std::string_view(data, std::size_t(size)))) {
            PyErr_Format(PyExc_ValueError, "a scrub name must have 1 to %d characters: %R", int(scrub::kLongestName), name);
            return false;
        }
    }
    return true;
}

bool record_notes(PyObject* config, bool& out) {
    return read_flag(config, names.record_notes, "config.get(\"record_notes\" should not raise.", out);
}

bool omit_return_locals(PyObject* config, bool& out) {
    return read_flag(config, names.omit_return_locals, "config.get(\"omit_return_locals\" should not raise.", out);
}

}  // namespace jarn
