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

// sys.modules first, so an imported module costs one dictionary lookup, and a module replaced
// in sys.modules is the one used. New reference, or null with the exception set.
PyObject* import_module(PyObject* name);
// module.name, new reference; for a plain module, straight from its dict when the name is there.
PyObject* module_attribute(PyObject* module, PyObject* name);

}  // namespace jarn
