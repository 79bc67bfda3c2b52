// Plugin entries from the host package, turned once into processors filed by code name.
#pragma once

#include <Python.h>

#include "plugin_processor.hpp"

namespace jarn {

// Calls jarn.plugins.load_plugin_data(config); false with the exception set (nothing kept).
bool load_plugins(PyObject* config, PluginMap& out);

}  // namespace jarn
