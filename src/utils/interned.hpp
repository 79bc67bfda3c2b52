// Attribute names, dictionary keys and module names, interned once per process.
#pragma once

#include <Python.h>

namespace jarn {

struct Names {
#define JARN_NAME(ident) PyObject* ident;
#include "interned_names.def"
#undef JARN_NAME
};

// Filled by the module's initialisation; the strings live as long as the process.
extern Names names;

bool init_names();

// Whether `key` is the name `interned` (whose ASCII text is `text`): names are interned, a key
// made otherwise is compared by value.
inline bool is_same_name(PyObject* key, PyObject* interned, const char* text) {
    return key == interned || (key != nullptr && PyUnicode_Check(key) &&
                               PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(interned) &&
                               PyUnicode_CompareWithASCIIString(key, text) == 0);
}

// sys.modules first, so an imported module costs one dictionary lookup, and a module replaced
// in sys.modules is the one used. New reference, or null with the exception set.
PyObject* import_module(PyObject* name);
// module.name, new reference; for a plain module, straight from its dict when the name is there.
PyObject* module_attribute(PyObject* module, PyObject* name);

}  // namespace jarn
