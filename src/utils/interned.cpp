#include "interned.hpp"

#include <cstring>

#include "owned.hpp"

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
        {"engine_monitoring", "monitoring"},
        {"engine_program", "program"},
        {"engine_profile", "profile"},
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

namespace {

// Modules seen fully initialised, kept so that their addresses cannot be taken by another module.
// A handful of host modules is ever asked for. The references are held for the life of the
// process on purpose: a static destructor would run after the interpreter is gone.
struct Ready {
    PyObject* name = nullptr;    // interned, borrowed from `names`
    PyObject* module = nullptr;  // strong
};
Ready ready[16];

bool is_ready(PyObject* name, PyObject* module) {
    for (const Ready& r : ready) {
        if (r.name == name) return r.module == module;
    }
    return false;
}

// A module still being imported (by another thread, or further up this one) has no
// `__spec__._initializing` flag once done.
bool finished_initialising(PyObject* module) {
    Owned spec = Owned::steal(PyObject_GetAttrString(module, "__spec__"));
    Owned flag = spec ? Owned::steal(PyObject_GetAttrString(spec.get(), "_initializing")) : Owned();
    if (!flag) {
        PyErr_Clear();
        return true;
    }
    const int initialising = PyObject_IsTrue(flag.get());
    if (initialising < 0) PyErr_Clear();
    return initialising == 0;
}

void remember_ready(PyObject* name, PyObject* module) {
    for (Ready& r : ready) {
        if (r.name == name || r.name == nullptr) {
            Owned previous = Owned::steal(r.module);
            r.name = name;
            r.module = Owned::borrow(module).release();
            return;
        }
    }
}

}  // namespace

PyObject* import_module(PyObject* name) {
    // A plain sys.modules lookup for a module already seen complete: this runs several times per
    // event. Otherwise the import machinery, which waits for an import that another thread has
    // under way rather than handing out a half-initialised module.
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* module = PyDict_GetItemWithError(modules, name);  // borrowed
    if (module != nullptr && module != Py_None && is_ready(name, module)) return Py_NewRef(module);
    if (module == nullptr && PyErr_Occurred()) return nullptr;
    PyObject* imported = PyImport_Import(name);
    if (imported != nullptr && PyModule_Check(imported) && finished_initialising(imported)) {
        remember_ready(name, imported);
    }
    return imported;
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
