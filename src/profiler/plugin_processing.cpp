// Plugin records: each processor filed under the frame's code name may turn the event into one
// typed record, built as a dict and encoded by the host serialiser.
#include "../config/config.hpp"
#include "../utils/internal_error.hpp"
#include "../utils/convert.hpp"
#include "../utils/host_serialize.hpp"
#include "../utils/interned.hpp"
#include "event.hpp"

namespace jarn {
namespace {

PyObject* mapping_class() {
    // Imported once per process and kept.
    static PyObject* mapping = nullptr;
    if (mapping == nullptr) {
        Owned module = Owned::steal(import_module(names.mod_collections_abc));
        if (!module) return nullptr;
        mapping = PyObject_GetAttr(module.get(), names.Mapping);
    }
    return mapping;
}

bool set_item(PyObject* data, PyObject* key, PyObject* value) {
    if (value == nullptr) return false;
    if (PyDict_SetItem(data, key, value) < 0) {
        raise_internal_error("a string is always a valid dict key");
        return false;
    }
    return true;
}

bool set_owned(PyObject* data, PyObject* key, Owned value) { return set_item(data, key, value.get()); }

Owned text(std::string_view s) { return Owned::steal(PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size()))); }

// Merges what `process` returned: a dict or any collections.abc.Mapping.
bool merge_process_result(PyObject* data, PyObject* result) {
    if (!PyDict_Check(result)) {
        PyObject* mapping = mapping_class();
        int is_mapping = mapping ? PyObject_IsInstance(result, mapping) : -1;
        if (is_mapping < 0) {
            PyErr_WriteUnraisable(result);
            is_mapping = 0;
        }
        if (!is_mapping) {
            raise_conversion_error(result, "Mapping");
            return false;
        }
    }
    return PyDict_Update(data, result) == 0;
}

// Steps of one processor for one event; false with the exception set when it failed.
bool run_processor(Event& ev, PluginProcessor& proc, bool& produced) {
    produced = false;
    if (!proc.path_fragment.occurs_in(ev.filename)) return true;
    PyObject* event_name = ev.event_name_object();
    PyFrameObject* frame = ev.frame_object();  // borrowed
    if (frame == nullptr) return false;
    if (proc.call) {
        Owned verdict = Owned::steal(
            PyObject_CallFunctionObjArgs(proc.call.get(), frame, event_name, ev.arg, proc.context.get(), nullptr));
        if (!verdict) return false;
        const std::optional<bool> go = as_bool(verdict.get());
        if (!go) {
            raise_conversion_error(verdict.get(), "PyBool");
            return false;
        }
        if (!*go) return true;
    }
    ThreadState& ts = ev.thread_state();
    if (proc.events) {
        bool wanted = false;
        for (const std::string& e : *proc.events) wanted = wanted || e == ev.event_name();
        if (!wanted) return true;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(ev.frame);
    Identifier id;
    if (!ev.is_return) {
        id = frame_id();
        proc.plugin_frame_ids[address] = id;
    } else {
        const auto found = proc.plugin_frame_ids.find(address);
        id = found != proc.plugin_frame_ids.end() ? found->second : frame_id();
    }

    // The core's entries of a plugin record, in the order record_layout.hpp lists them.
    Owned data = Owned::steal(PyDict_New());
    if (!data) return false;
    if (!set_owned(data.get(), names.frame_id, text(view(id)))) return false;
    const std::optional<double> now = timestamp_seconds();
    if (!now) {
        raise_internal_error("System time is before unix epoch");
        return false;
    }
    if (!set_owned(data.get(), names.timestamp, Owned::steal(PyFloat_FromDouble(*now)))) return false;
    if (!event_thread(ev)) return false;
    if (!set_owned(data.get(), names.thread, text(ev.thread->name))) return false;
    Owned native = ev.thread->native_id ? Owned::steal(PyLong_FromUnsignedLongLong(*ev.thread->native_id))
                                        : Owned::borrow(Py_None);
    if (!set_owned(data.get(), names.thread_native_id, std::move(native))) return false;
    // The call stack cannot change between here and the start of this processor: the callback
    // is never re-entered on its own thread.
    CallSite site{};
    const int has_site = user_code_call_site(ts.call_frames, ev.frame, id, site);
    Owned site_value;
    if (has_site) {
        site_value = Owned::steal(PyDict_New());
        if (!site_value || !set_owned(site_value.get(), names.call_frame_id, text(view(site.call_frame_id))) ||
            !set_owned(site_value.get(), names.line_number, Owned::steal(PyLong_FromLong(site.line_number)))) {
            return false;
        }
    } else {
        site_value = Owned::borrow(Py_None);
    }
    if (!set_owned(data.get(), names.user_code_call_site, std::move(site_value))) return false;
    if (!set_owned(data.get(), names.type, text(ev.is_return ? proc.return_type : proc.call_type))) return false;
    if (proc.subtype && !set_owned(data.get(), names.subtype, text(*proc.subtype))) return false;

    if (proc.process) {
        Owned result = Owned::steal(PyObject_CallFunctionObjArgs(proc.process.get(), frame, event_name, ev.arg,
                                                                 proc.context.get(), nullptr));
        if (!result || !merge_process_result(data.get(), result.get())) return false;
    }

    PyObject* type = PyDict_GetItemWithError(data.get(), names.type);  // borrowed
    if (type == nullptr) {
        raise_internal_error(PyErr_Occurred() ? "data[\"type\"] should not raise." : "data[\"type\"] should not be missing.");
        return false;
    }
    Owned type_ref = Owned::borrow(type);
    std::string_view type_text;
    if (!utf8_of(type_ref.get(), type_text)) return false;
    const Boundary boundary = boundary_of(type_text);

    msgpack::Buffer record;
    const RecordValueBudget budget(ev.profiler.slow_repr_ns, ev.profiler.scrub, ev.profiler.scrub_argument.get());
    if (!dump_msgpack(data.get(), ev.profiler.values, record)) return false;
    ev.records.push_back(EventRecord{std::move(record), boundary, {ev.thread_state().own_ticks, 0}});
    produced = true;
    return true;
}

}  // namespace

bool process_plugins(Event& ev) {
    const PluginMap& plugins = ev.profiler.plugin_map();
    if (plugins.empty()) return true;
    const auto found = plugins.find(ev.name);
    if (found == plugins.end()) return true;
    // The map and its lists never change after construction, so iterating while plugin code
    // runs is safe; only each processor's own id map is written.
    auto& processors = const_cast<std::vector<PluginProcessor>&>(found->second);
    for (PluginProcessor& proc : processors) {
        bool produced;
        if (!run_processor(ev, proc, produced)) report_pending(ev);
    }
    return true;
}

}  // namespace jarn
