#include "construct.hpp"

#include <atomic>

#include "../config/config.hpp"
#include "../filters/configured.hpp"
#include "../utils/internal_error.hpp"
#include "../plugins/loader.hpp"
#include "../utils/convert.hpp"
#include "../utils/frame_state.hpp"
#include "../utils/interned.hpp"

namespace jarn {
namespace {

std::atomic<std::uint64_t> next_epoch{1};

bool read_text_attribute(PyObject* host, PyObject* attribute, std::string& out) {
    Owned value = Owned::steal(PyObject_GetAttr(host, attribute));
    if (!value) return false;
    std::string_view text;
    if (!utf8_of(value.get(), text)) return false;
    out.assign(text);
    return true;
}

}  // namespace

std::unique_ptr<ProfilerState> new_from_python(PyObject* host) {
    auto p = std::make_unique<ProfilerState>();

    Owned config = Owned::steal(PyObject_GetAttr(host, names.config));
    if (!config) return nullptr;
    if (!PyDict_Check(config.get())) {
        raise_conversion_error(config.get(), "PyDict");
        return nullptr;
    }
    bool ok;
    Owned filters = Owned::borrow(config_lookup(config.get(), names.filters, "config.get(\"filters\" should not raise.", ok));
    if (!ok) return nullptr;

    Owned db_path = Owned::steal(PyObject_GetAttr(host, names.db_path));
    if (!db_path) return nullptr;
    Owned db_path_text = Owned::steal(PyObject_Str(db_path.get()));
    std::string_view text;
    if (!db_path_text || !utf8_of(db_path_text.get(), text)) return nullptr;
    p->db_path.assign(text);

    Owned one_trace = Owned::steal(PyObject_GetAttr(host, names.one_trace_per_test));
    if (!one_trace) return nullptr;
    const std::optional<bool> one_trace_value = as_bool(one_trace.get());
    if (!one_trace_value) {
        raise_conversion_error(one_trace.get(), "PyBool");
        return nullptr;
    }
    p->one_trace_per_test = *one_trace_value;

    if (!read_text_attribute(host, names.trace_id, p->trace_id)) return nullptr;
    if (!read_text_attribute(host, names.source, p->source)) return nullptr;

    if (!load_filters(filters.get(), names.include_frames, p->include_frames)) return nullptr;
    if (!load_filters(filters.get(), names.ignore_frames, p->ignore_frames)) return nullptr;
    if (!load_plugins(config.get(), p->plugins)) return nullptr;

    const std::optional<double> now = timestamp_seconds();
    if (!now) {
        raise_internal_error("System time is before unix epoch");
        return nullptr;
    }
    p->start_timestamp = *now;
    p->clock_start = own_clock::reading();
    if (!get_main_thread_id(p->main_thread_id)) return nullptr;
    if (!get_sqlite_busy_timeout(config.get(), p->sqlite_busy_timeout)) return nullptr;
    if (!use_threading(config.get(), p->use_threading)) return nullptr;
    if (!get_values_mode(config.get(), p->values)) return nullptr;
    if (!get_scrub_rules(config.get(), p->scrub, p->scrub_argument)) return nullptr;
    if (!omit_return_locals(config.get(), p->omit_return_locals)) return nullptr;
    if (!record_notes(config.get(), p->record_notes)) return nullptr;
    if (!get_slow_repr_ns(config.get(), p->slow_repr_ns)) return nullptr;
    if (!get_max_trace_bytes(config.get(), p->max_trace_bytes)) return nullptr;
    p->epoch = next_epoch.fetch_add(1, std::memory_order_relaxed);
    p->fork_generation = fork_generation_now();
    return p;
}

}  // namespace jarn
