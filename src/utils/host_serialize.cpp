#include "host_serialize.hpp"

#include <cstring>

#include "../encoder/native_api.hpp"

#include "../lib/internal_error.hpp"
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

bool dump_msgpack(PyObject* value, bool lightweight_repr, msgpack::Buffer& out) {
    Owned module = Owned::steal(import_module(names.mod_jarn_serialize));
    if (!module) return false;
    // Looked up at every call, so that a serialiser replaced at run time is the one used.
    Owned function = Owned::steal(
        module_attribute(module.get(), lightweight_repr ? names.dump_msgpack_lightweight_repr : names.dump_msgpack));
    if (!function) return false;
    // The same bytes as calling it, written in place.
    if (const EncoderNativeApi* api = native_encoder(function.get())) return api->append(function.get(), value, current_budget, out);
    Owned result = Owned::steal(PyObject_CallOneArg(function.get(), value));
    if (!result) return false;
    return append_byte_sequence(result.get(), out);
}

}  // namespace jarn
