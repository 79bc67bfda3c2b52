#include "host_serialize.hpp"

#include <algorithm>
#include <cstring>

#include "../encoder/native_api.hpp"

#include "../lib/internal_error.hpp"
#include "dict_watch.hpp"
#include "interned.hpp"
#include "owned.hpp"

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
struct Serializers {
    std::uint64_t generation = 0;                // watched_generation() when filled
    PyObject* function[2] = {nullptr, nullptr};  // strong; held for the process (no static destructor)
    const EncoderNativeApi* api[2] = {nullptr, nullptr};
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
bool plain_text(PyObject* v, const PlainLimits& limits, std::string_view& out) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(v);
    if (length > limits.max_str) return false;
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

// A plain value, read for writing: what kind, and its number or text.
struct Plain {
    enum class Kind { constant, integer, real, text } kind;
    std::int64_t integer = 0;
    std::string_view text;

    // False (nothing read) for any value the encoder does not write as plain.
    bool read(PyObject* v, const PlainLimits& limits) {
        if (v == Py_None || v == Py_True || v == Py_False) {
            kind = Kind::constant;
        } else if (PyLong_CheckExact(v)) {
            kind = Kind::integer;
            if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v))) {
                integer = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v));
            } else {
                int overflow = 0;
                integer = PyLong_AsLongLongAndOverflow(v, &overflow);
                if (overflow != 0) return false;  // past the signed range: the encoder's own rules
            }
        } else if (PyFloat_CheckExact(v)) {
            kind = Kind::real;
        } else if (PyUnicode_CheckExact(v)) {
            kind = Kind::text;
            if (!plain_text(v, limits, text)) return false;
        } else {
            return false;
        }
        return true;
    }
    // Headers at most 5 bytes, a number at most 9.
    std::size_t most() const { return text.size() + 9; }
    void write(PyObject* v, msgpack::Cursor& c) const {
        switch (kind) {
            case Kind::constant:
                c.byte(v == Py_None ? 0xc0 : v == Py_True ? 0xc3 : 0xc2);
                break;
            case Kind::integer:
                c.sint(integer);
                break;
            case Kind::real:
                c.f64(PyFloat_AS_DOUBLE(v));
                break;
            case Kind::text:
                c.str(text);
                break;
        }
    }
};

constexpr std::size_t str_header_size(std::size_t n) { return n < 32 ? 1 : n < 256 ? 2 : n < 65536 ? 3 : 5; }

}  // namespace

bool PlainValues::start(bool lightweight_repr) {
    if (current_budget == nullptr) return false;
    if (serializers.generation != watched_generation() && !refresh()) return false;
    const EncoderNativeApi* api = serializers.api[lightweight_repr];
    if (api == nullptr) return false;
    api->plain_limits(serializers.function[lightweight_repr], current_budget, &limits_);
    budget_ = current_budget;
    return true;
}

bool PlainValues::value(PyObject* v, msgpack::Buffer& out) {
    // The encoder's checks at the start of a walk: a node left, and a byte.
    ValueBudget& budget = *budget_;
    if (budget.nodes < 1 || budget.bytes == 0) return false;
    Plain plain;
    if (!plain.read(v, limits_)) return false;
    const std::size_t start = out.size();
    msgpack::RawWriter w(out, plain.most());
    plain.write(v, w);
    w.finish();
    --budget.nodes;
    const std::uint64_t written = out.size() - start;
    budget.bytes = written < budget.bytes ? budget.bytes - written : 0;
    return true;
}

bool PlainValues::begin_map(msgpack::Buffer& out) {
    const ValueBudget& budget = *budget_;
    out_ = &out;
    map_start_ = out.size();
    at_ = end_ = nullptr;
    if (limits_.max_depth <= 0 || budget.nodes < 1 || budget.bytes == 0) return false;
    map_nodes_ = budget.nodes - 1;
    map_count_ = 0;
    // Room for a few small variables at once; more is made as needed.
    out.resize(map_start_ + 256);
    at_ = out.data() + map_start_;
    end_ = out.data() + out.size();
    *at_++ = 0x80;  // a fixmap's header, its count set at the end
    return true;
}

void PlainValues::room(std::size_t n) {
    if (std::size_t(end_ - at_) >= n) return;
    msgpack::Buffer& out = *out_;
    const std::size_t used = std::size_t(at_ - out.data());
    out.resize(std::max(2 * out.size(), used + n));
    at_ = out.data() + used;
    end_ = out.data() + out.size();
}

bool PlainValues::add(PyObject* key, PyObject* v) {
    // More than a fixmap holds, or than the encoder writes in one map: its own rules.
    if (++map_count_ > 15 || map_count_ > limits_.max_items) return false;
    std::string_view name;
    if (!PyUnicode_CheckExact(key) || !plain_text(key, limits_, name)) return false;
    // The encoder's check before the value, made once its key is written.
    const std::size_t key_end = std::size_t(at_ - out_->data()) + str_header_size(name.size()) + name.size();
    if (--map_nodes_ < 0 || key_end - map_start_ >= budget_->bytes) return false;
    Plain plain;
    if (!plain.read(v, limits_)) return false;
    room(name.size() + 5 + plain.most());
    msgpack::Cursor c(at_);
    c.str(name);
    plain.write(v, c);
    at_ = c.at();
    return true;
}

void PlainValues::end_map() {
    msgpack::Buffer& out = *out_;
    out[map_start_] = std::uint8_t(0x80 | map_count_);
    out.resize(std::size_t(at_ - out.data()));
    ValueBudget& budget = *budget_;
    budget.nodes = map_nodes_;
    const std::uint64_t written = out.size() - map_start_;
    budget.bytes = written < budget.bytes ? budget.bytes - written : 0;
}

void PlainValues::abandon_map() { out_->resize(map_start_); }

}  // namespace jarn
