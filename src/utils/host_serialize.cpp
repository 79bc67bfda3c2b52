#include "host_serialize.hpp"

#include <algorithm>
#include <cstring>

#include "../encoder/native_api.hpp"

#include "../lib/internal_error.hpp"
#include "dict_watch.hpp"
#include "interned.hpp"
#include "owned.hpp"
#include "variable_keys.hpp"

namespace jarn {

bool append_byte_sequence(PyObject* result, msgpack::Buffer& out) {
    if (PyBytes_CheckExact(result)) {
        msgpack::put_bytes(out, PyBytes_AS_STRING(result), std::size_t(PyBytes_GET_SIZE(result)));
        return true;
    }
    if (PyUnicode_Check(result)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(result)) {
        raise_conversion_error(result, "Sequence");
        return false;
    }
    const std::size_t start = out.size();
    Owned iterator = Owned::steal(PyObject_GetIter(result));
    if (!iterator) return false;
    while (Owned item = Owned::steal(PyIter_Next(iterator.get()))) {
        const long v = PyLong_AsLong(item.get());
        if (v == -1 && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            }
            out.resize(start);
            return false;
        }
        if (v < 0 || v > 255) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            out.resize(start);
            return false;
        }
        out.push_back(std::uint8_t(v));
    }
    if (PyErr_Occurred()) {
        out.resize(start);
        return false;
    }
    return true;
}

namespace {

__attribute__((tls_model("initial-exec"))) thread_local ValueBudget* current_budget = nullptr;

}  // namespace

RecordValueBudget::RecordValueBudget(std::int64_t slow_repr_ns) : previous_(current_budget) {
    budget_.slow_repr_ns = slow_repr_ns;
    current_budget = &budget_;
}

RecordValueBudget::~RecordValueBudget() { current_budget = previous_; }

namespace {

// The encoder's native entry point, looked up the first time the host's serialiser is an Encoder
// (until then the type's name tells one apart; afterwards the type itself does).
const EncoderNativeApi* native_encoder(PyObject* function) {
    static const EncoderNativeApi* api = nullptr;
    static bool looked_up = false;
    if (!looked_up) {
        if (std::strcmp(Py_TYPE(function)->tp_name, "jarn._encoder.Encoder") != 0) return nullptr;
        looked_up = true;
        api = static_cast<const EncoderNativeApi*>(PyCapsule_Import(kEncoderCapsule, 0));
        if (api == nullptr || api->version != kEncoderApiVersion) {
            PyErr_Clear();
            api = nullptr;
        }
    }
    return api != nullptr && Py_TYPE(function) == api->type ? api : nullptr;
}

}  // namespace

namespace {

// The host's two serialisers, held between events. Looking them up costs two dict lookups and an
// import check per value, more than encoding a small value; instead sys.modules and the host
// module's dict are watched, and the serialisers are looked up again after either changed, so a
// serialiser replaced at run time is still the one used. Without a dict watcher they are looked
// up at every call.
// The encoder's limits as they bear on plain values.
struct PlainRules {
    Py_ssize_t max_str;
    Py_ssize_t max_name;     // the longest name a map may have; -1 when no map is plain
    std::int64_t max_count;  // entries in a map: within max_items and what a fixmap holds
};

struct Serializers {
    std::uint64_t generation = 0;                // watched_generation() when filled
    PyObject* function[2] = {nullptr, nullptr};  // strong; held for the process (no static destructor)
    const EncoderNativeApi* api[2] = {nullptr, nullptr};
    // For a native encoder: its limits for plain values, and a budget as it starts one.
    PlainRules rules[2] = {};
    ValueBudget started[2] = {};
};
Serializers serializers;  // guarded by the interpreter lock

Owned look_up(bool lightweight_repr) {
    Owned module = Owned::steal(import_module(names.mod_jarn_serialize));
    if (!module) return Owned();
    return Owned::steal(
        module_attribute(module.get(), lightweight_repr ? names.dump_msgpack_lightweight_repr : names.dump_msgpack));
}

// Fills the cache; false (no exception) when it cannot be kept.
bool refresh() {
    Owned module = Owned::steal(import_module(names.mod_jarn_serialize));
    if (!module || !PyModule_CheckExact(module.get())) {
        PyErr_Clear();
        return false;
    }
    PyObject* dict = PyModule_GetDict(module.get());  // borrowed
    if (!watch_dict(PyImport_GetModuleDict()) || !watch_dict(dict)) return false;
    const std::uint64_t generation = watched_generation();
    for (int i = 0; i < 2; ++i) {
        PyObject* found = PyDict_GetItemWithError(dict, i ? names.dump_msgpack_lightweight_repr : names.dump_msgpack);
        if (found == nullptr) {
            PyErr_Clear();
            return false;  // a module-level __getattr__, perhaps: looked up every time
        }
        Owned previous = Owned::steal(serializers.function[i]);
        serializers.function[i] = Owned::borrow(found).release();
        serializers.api[i] = native_encoder(found);
        PyErr_Clear();
        if (serializers.api[i] != nullptr) {
            PlainLimits limits;
            serializers.started[i] = ValueBudget{};
            serializers.api[i]->plain_limits(found, &serializers.started[i], &limits);
            serializers.rules[i] = {limits.max_str, limits.max_depth > 0 ? limits.max_str : -1,
                                    std::min<std::int64_t>(15, limits.max_items)};
        }
    }
    // Releasing the previous functions may have run code that changed a watched dict.
    serializers.generation = generation == watched_generation() ? generation : 0;
    return serializers.generation != 0;
}

bool call_serializer(PyObject* function, const EncoderNativeApi* api, PyObject* value, msgpack::Buffer& out) {
    // The same bytes as calling it, written in place.
    if (api != nullptr) return api->append(function, value, current_budget, out);
    Owned result = Owned::steal(PyObject_CallOneArg(function, value));
    if (!result) return false;
    return append_byte_sequence(result.get(), out);
}

}  // namespace

bool dump_msgpack(PyObject* value, bool lightweight_repr, msgpack::Buffer& out) {
    if (serializers.generation == watched_generation() || refresh()) {
        // Held across the call: the serialiser may run code that replaces it.
        Owned function = Owned::borrow(serializers.function[lightweight_repr]);
        return call_serializer(function.get(), serializers.api[lightweight_repr], value, out);
    }
    Owned function = look_up(lightweight_repr);
    if (!function) return false;
    return call_serializer(function.get(), native_encoder(function.get()), value, out);
}

int dump_msgpack_map(PyObject* const* keys, PyObject* const* values, std::size_t n, bool lightweight_repr,
                     msgpack::Buffer& out) {
    Owned function;
    const EncoderNativeApi* api;
    if (serializers.generation == watched_generation() || refresh()) {
        function = Owned::borrow(serializers.function[lightweight_repr]);
        api = serializers.api[lightweight_repr];
    } else {
        function = look_up(lightweight_repr);
        if (!function) return -1;
        api = native_encoder(function.get());
    }
    if (api == nullptr) return 0;
    return api->append_map(function.get(), keys, values, n, current_budget, out);
}

namespace {

// The UTF-8 text of a str the encoder writes as it is; false (no exception) for any other str.
[[gnu::always_inline]] inline bool plain_text(PyObject* v, Py_ssize_t max_str, std::string_view& out) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(v);
    if (length > max_str) return false;
    if (PyUnicode_IS_COMPACT_ASCII(v)) {
        out = std::string_view(static_cast<const char*>(PyUnicode_DATA(v)), std::size_t(length));
        return true;
    }
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(v, &size);
    if (data == nullptr) {
        PyErr_Clear();  // lone surrogates: the encoder's own rules
        return false;
    }
    out = std::string_view(data, std::size_t(size));
    return true;
}

// Writes a plain value other than a str at `at`, at most 9 bytes, and returns the end. Returns
// null for a str, `text` then set to what to write if it is plain, and for any value that is not
// plain, `text.data()` then null. The types in the order of how often a frame holds them.
[[gnu::always_inline]] inline std::uint8_t* write_scalar(PyObject* v, std::uint8_t* at, Py_ssize_t max_str,
                                                         std::string_view& text) {
    PyTypeObject* type = Py_TYPE(v);
    msgpack::Cursor c(at);
    if (type == &PyLong_Type) {
        PyLongObject* number = reinterpret_cast<PyLongObject*>(v);
        if (PyUnstable_Long_IsCompact(number)) {
            const Py_ssize_t n = PyUnstable_Long_CompactValue(number);
            if (std::size_t(n) < 128) {  // a positive fixint, the commonest of all
                c.byte(std::uint8_t(n));
            } else {
                c.sint(n);
            }
        } else {
            int overflow = 0;
            const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow != 0) {  // past the signed range: the encoder's own rules
                text = std::string_view();
                return nullptr;
            }
            c.sint(n);
        }
    } else if (type == &PyUnicode_Type) {
        if (!plain_text(v, max_str, text)) text = std::string_view();
        return nullptr;
    } else if (v == Py_None) {
        c.byte(0xc0);
    } else if (type == &PyBool_Type) {
        c.byte(v == Py_True ? 0xc3 : 0xc2);
    } else if (type == &PyFloat_Type) {
        c.f64(PyFloat_AS_DOUBLE(v));
    } else {
        text = std::string_view();
        return nullptr;
    }
    return c.at();
}

// Writes str `text` at `at` in `out`, where room for 9 bytes was made, and returns the end.
std::uint8_t* write_text(std::string_view text, std::uint8_t*& base, std::size_t start, std::uint8_t* at,
                         msgpack::Buffer& out) {
    // A str takes at most its text and 5 bytes.
    if (text.size() > 4) {
        const std::size_t used = std::size_t(at - base);
        out.resize(out.size() + text.size());
        base = out.data() + start;
        at = base + used;
    }
    msgpack::Cursor c(at);
    c.str(text);
    return c.at();
}

}  // namespace

int write_plain_values(PyObject* arg, const compat::FrameVariables* frame, bool lightweight_repr,
                       msgpack::Buffer& out) {
    ValueBudget* const record_budget = current_budget;
    if (record_budget == nullptr) return 0;
    if (serializers.generation != watched_generation() && !refresh()) return 0;
    if (serializers.api[lightweight_repr] == nullptr) return 0;
    ValueBudget& budget = *record_budget;
    // As the encoder starts a budget on first use, from what it gave when it was looked up.
    if (budget.fresh) {
        const ValueBudget& started = serializers.started[lightweight_repr];
        budget.fresh = false;
        budget.nodes = started.nodes;
        budget.bytes = started.bytes;
        if (budget.slow_repr_ns < 0) budget.slow_repr_ns = started.slow_repr_ns;
    }
    // The encoder's checks at the start of a walk: a node left, and a byte.
    if (budget.nodes < 1 || budget.bytes == 0) return 0;
    const PlainRules rules = serializers.rules[lightweight_repr];
    const VariableKeys* keys = frame != nullptr ? variable_keys(frame->code()) : nullptr;
    if (keys != nullptr && keys->longest_name > rules.max_name) keys = nullptr;
    // Room for the argument, the key and every variable but a str's text, made once; a str makes
    // its own.
    constexpr std::string_view kLocals = "\xa6locals";
    const std::size_t start = out.size();
    out.resize(start + 9 + kLocals.size() + 1 + (keys != nullptr ? keys->most : 0));
    std::uint8_t* base = out.data() + start;
    std::string_view text;
    // A call's argument is None: its byte, overwritten by any other value.
    *base = 0xc0;
    std::uint8_t* at = arg == Py_None ? base + 1 : write_scalar(arg, base, rules.max_str, text);
    if (at == nullptr) {
        if (text.data() == nullptr) {
            out.resize(start);
            return 0;
        }
        at = write_text(text, base, start, base, out);
    }
    const std::uint64_t arg_size = std::uint64_t(at - base);
    --budget.nodes;
    budget.bytes = arg_size < budget.bytes ? budget.bytes - arg_size : 0;
    std::memcpy(at, kLocals.data(), kLocals.size() + 1);  // with the byte after it, in one move
    at += kLocals.size();
    const std::size_t map_start = std::size_t(at - base);
    if (keys == nullptr) {
        out.resize(start + map_start);
        return 1;
    }

    // Read once: the writes below go through a byte pointer, which could alias anything.
    const int n = frame->count();
    PyObject* const* const slots = frame->slots();  // borrowed
    const VariableKeys::Entry* const entries = keys->entries.data();
    const char* const key_bytes = keys->keys.data();
    ++at;  // past the fixmap's header, written last
    std::int64_t count = 0;
    for (int i = 0; i < n; ++i) {
        const VariableKeys::Entry entry = entries[i];
        PyObject* v = slots[i];  // borrowed
        if (entry.slot != VariableKeys::Slot::value) [[unlikely]] {
            if (entry.slot == VariableKeys::Slot::skipped) continue;
            // A comprehension's variable bound now goes after all others: the serialiser's to write.
            if (entry.slot == VariableKeys::Slot::hidden) {
                if (v == nullptr) continue;
                out.resize(start + map_start);
                return 1;
            }
            v = frame->closure_value(i);
        }
        if (v == nullptr) continue;
        const char* key = key_bytes + entry.offset;
        if (entry.size <= VariableKeys::kPadding) [[likely]] {
            std::memcpy(at, key, VariableKeys::kPadding);
        } else {
            std::memcpy(at, key, entry.size);
        }
        at += entry.size;
        ++count;
        std::uint8_t* end = write_scalar(v, at, rules.max_str, text);
        if (end == nullptr) [[unlikely]] {
            if (text.data() == nullptr) {
                out.resize(start + map_start);
                return 1;
            }
            end = write_text(text, base, start, at, out);
        }
        at = end;
    }
    // The encoder's checks, made once: before each value it takes a node and looks at the bytes
    // written so far, and more entries than a fixmap or max_items hold are not written as such.
    // A map that ends within the budget passed every check on the way.
    const std::size_t end = std::size_t(at - base);
    const std::uint64_t size = end - map_start;
    if (count > rules.max_count || budget.nodes <= count || size > budget.bytes) {
        out.resize(start + map_start);
        return 1;
    }
    base[map_start] = std::uint8_t(0x80 | count);
    out.resize(start + end);
    budget.nodes -= count + 1;
    budget.bytes -= size;
    return 2;
}

}  // namespace jarn
