#include "interned.hpp"

#include <cstring>

namespace jarn {

Names names;

namespace {

// Names whose Python text differs from the C++ identifier.
const char* text_of(const char* ident) {
    static const struct {
        const char* ident;
        const char* text;
    } renamed[] = {
        {"event_call", "call"},
        {"event_return", "return"},
        {"mod_threading", "threading"},
        {"mod_logging", "logging"},
        {"mod_inspect", "inspect"},
        {"mod_builtins", "builtins"},
        {"mod_sys", "sys"},
        {"mod_collections_abc", "collections.abc"},
        {"mod_jarn_serialize", "jarn.serialize"},
        {"mod_jarn_plugins", "jarn.plugins"},
        {"mod_jarn_version", "jarn.version"},
        {"mod_jarn_git", "jarn.git"},
        {"mod_jarn_db", "jarn.db"},
        {"log_format",
         "Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n    event: %s\n"
         "    frame locals: %s\n"},
    };
    for (const auto& r : renamed) {
        if (std::strcmp(r.ident, ident) == 0) return r.text;
    }
    return ident;
}

}  // namespace

bool init_names() {
#define JARN_NAME(ident)                                              \
    if (names.ident == nullptr) {                                     \
        names.ident = PyUnicode_InternFromString(text_of(#ident));   \
        if (names.ident == nullptr) return false;                     \
    }
#include "interned_names.def"
#undef JARN_NAME
    return true;
}

PyObject* import_module(PyObject* name) {
    // A plain sys.modules lookup: PyImport_GetModule would also check, through two attribute
    // reads, whether the module is still initialising, and this runs several times per event.
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* module = PyDict_GetItemWithError(modules, name);  // borrowed
    if (module != nullptr && module != Py_None) return Py_NewRef(module);
    if (PyErr_Occurred()) return nullptr;
    return PyImport_Import(name);
}

// module.name. For a plain module that is the entry of its dict when there is one (the module type
// has no descriptor by such a name), read directly at a fraction of a full attribute lookup's cost.
PyObject* module_attribute(PyObject* module, PyObject* name) {
    if (PyModule_CheckExact(module)) {
        PyObject* dict = PyModule_GetDict(module);  // borrowed
        PyObject* found = PyDict_GetItemWithError(dict, name);  // borrowed
        if (found != nullptr) return Py_NewRef(found);
        if (PyErr_Occurred()) return nullptr;
    }
    return PyObject_GetAttr(module, name);
}

}  // namespace jarn
