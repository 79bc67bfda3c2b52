#include "loader.hpp"

#include "../utils/internal_error.hpp"
#include "../utils/convert.hpp"
#include "../utils/interned.hpp"

namespace jarn {
namespace {

// Dictionary get by a string key: borrowed value or null when absent; `ok` false when it raised.
PyObject* dict_get(PyObject* entry, PyObject* key, bool& ok) {
    PyObject* value = PyDict_GetItemWithError(entry, key);
    ok = value != nullptr || !PyErr_Occurred();
    if (!ok) raise_internal_error("a string is always a valid dict key");
    return value;
}

// Item lookup of a required key (KeyError when missing), converted to a string.
bool required_string(PyObject* entry, PyObject* key, std::string& out) {
    Owned value = Owned::steal(PyObject_GetItem(entry, key));
    if (!value) return false;
    std::string_view text;
    if (!utf8_of(value.get(), text)) return false;
    out.assign(text);
    return true;
}

// "call" and "process": absent or None means none; anything else is kept unchecked.
bool get_callable(PyObject* entry, PyObject* key, Owned& out) {
    bool ok;
    PyObject* value = dict_get(entry, key, ok);
    if (!ok) return false;
    out = value == nullptr || value == Py_None ? Owned() : Owned::borrow(value);
    return true;
}

bool make_processor(PyObject* entry, PyObject* context, PluginProcessor*& slot, PluginMap& map, PyObject* co_name) {
    std::string_view code_name;
    if (!utf8_of(co_name, code_name)) return false;
    std::string fragment;
    if (!required_string(entry, names.path_fragment, fragment)) return false;
    std::string call_type;
    std::string return_type;
    if (!required_string(entry, names.call_type, call_type)) return false;
    if (!required_string(entry, names.return_type, return_type)) return false;
    bool ok;
    std::optional<std::string> subtype;
    PyObject* subtype_value = dict_get(entry, names.subtype, ok);
    if (!ok) return false;
    if (subtype_value != nullptr) {
        std::string_view text;
        if (!utf8_of(subtype_value, text)) return false;
        subtype.emplace(text);
    }
    Owned call;
    Owned process;
    if (!get_callable(entry, names.call, call) || !get_callable(entry, names.process, process)) return false;
    std::optional<std::vector<std::string>> events;
    PyObject* events_value = dict_get(entry, names.events, ok);
    if (!ok) return false;
    if (events_value != nullptr && events_value != Py_None) {
        std::vector<std::string> list;
        if (!extract_string_list(events_value, list)) return false;
        events = std::move(list);
    }
    auto& processors = map[std::string(code_name)];
    processors.push_back(PluginProcessor{Finder(fragment), std::move(call_type), std::move(return_type),
                                         std::move(subtype), std::move(call), std::move(process),
                                         std::move(events), Owned::borrow(context), {}});
    slot = &processors.back();
    return true;
}

bool load_entry(PyObject* config, PyObject* entry, PluginMap& map) {
    if (!PyDict_Check(entry)) {
        raise_conversion_error(entry, "PyDict");
        return false;
    }
    Owned co_names = Owned::steal(PyObject_GetItem(entry, names.co_names));
    if (!co_names) return false;
    bool ok;
    PyObject* build_context = dict_get(entry, names.build_context, ok);
    if (!ok) return false;
    Owned context;
    if (build_context == nullptr || build_context == Py_None) {
        context = Owned::steal(PyDict_New());
    } else {
        context = Owned::steal(PyObject_CallOneArg(build_context, config));
        if (context && !PyDict_Check(context.get())) {
            raise_conversion_error(context.get(), "PyDict");
            return false;
        }
    }
    if (!context) return false;
    Owned iterator = Owned::steal(PyObject_GetIter(co_names.get()));
    if (!iterator) return false;
    while (Owned co_name = Owned::steal(PyIter_Next(iterator.get()))) {
        PluginProcessor* made = nullptr;
        if (!make_processor(entry, context.get(), made, map, co_name.get())) return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

bool load_plugins(PyObject* config, PluginMap& out) {
    Owned module = Owned::steal(import_module(names.mod_jarn_plugins));
    if (!module) {
        raise_internal_error("jarn.plugins should always be importable");
        return false;
    }
    Owned load = Owned::steal(PyObject_GetAttr(module.get(), names.load_plugin_data));
    if (!load) {
        raise_internal_error("load_plugin_data should exist");
        return false;
    }
    Owned entries = Owned::steal(PyObject_CallOneArg(load.get(), config));
    if (!entries) {
        raise_internal_error("load_plugin_data should be callable");
        return false;
    }
    if (!PyList_Check(entries.get())) {
        raise_conversion_error(entries.get(), "PyList");
        raise_internal_error("load_plugin_data should return a list");
        return false;
    }
    PluginMap map;
    map.reserve(std::size_t(PyList_GET_SIZE(entries.get())));
    // Indexing each time: a build_context callable may change the list while we walk it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        Owned entry = Owned::borrow(PyList_GET_ITEM(entries.get(), i));
        if (!load_entry(config, entry.get(), map)) return false;
    }
    out = std::move(map);
    return true;
}

}  // namespace jarn
