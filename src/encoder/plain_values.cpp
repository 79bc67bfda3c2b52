#include "plain_values.hpp"

namespace jarn {
namespace {

void write_bin(msgpack::Buffer& b, const char* data, std::size_t n) {
    if (n < 256) {
        msgpack::put_u8(b, 0xc4);
        msgpack::put_u8(b, std::uint8_t(n));
    } else if (n < 65536) {
        msgpack::put_u8(b, 0xc5);
        msgpack::put_be16(b, std::uint16_t(n));
    } else {
        msgpack::put_u8(b, 0xc6);
        msgpack::put_be32(b, std::uint32_t(n));
    }
    msgpack::put_bytes(b, data, n);
}

// Only exact types: a subclass may change how it iterates or prints, which the careful path
// knows how to handle.
class PlainEncoder {
public:
    PlainEncoder(const PlainLimits& limits, msgpack::Buffer& out) : limits_(limits), out_(out) {}

    PlainResult encode(PyObject* v, Py_ssize_t depth) {
        if (v == Py_None) {
            msgpack::write_nil(out_);
        } else if (v == Py_True) {
            msgpack::write_true(out_);
        } else if (v == Py_False) {
            msgpack::put_u8(out_, 0xc2);
        } else if (PyLong_CheckExact(v)) {
            return encode_int(v);
        } else if (PyUnicode_CheckExact(v)) {
            return encode_str(v);
        } else if (PyFloat_CheckExact(v)) {
            msgpack::write_f64(out_, PyFloat_AS_DOUBLE(v));
        } else if (PyDict_CheckExact(v)) {
            return encode_dict(v, depth);
        } else if (PyList_CheckExact(v) || PyTuple_CheckExact(v)) {
            return encode_sequence(v, depth);
        } else if (PyBytes_CheckExact(v)) {
            if (PyBytes_GET_SIZE(v) > limits_.max_bytes) return PlainResult::not_plain;
            write_bin(out_, PyBytes_AS_STRING(v), std::size_t(PyBytes_GET_SIZE(v)));
        } else {
            return PlainResult::not_plain;
        }
        return PlainResult::encoded;
    }

private:
    PlainResult encode_int(PyObject* v) {
        int overflow = 0;
        const long long s = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0) {
            if (s == -1 && PyErr_Occurred()) return PlainResult::error;
            msgpack::write_int(out_, s);
            return PlainResult::encoded;
        }
        if (overflow < 0) return PlainResult::not_plain;
        const unsigned long long u = PyLong_AsUnsignedLongLong(v);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return PlainResult::not_plain;  // beyond 64 bits
        }
        msgpack::write_uint(out_, u);
        return PlainResult::encoded;
    }

    PlainResult encode_str(PyObject* v) {
        if (PyUnicode_GET_LENGTH(v) > limits_.max_str) return PlainResult::not_plain;
        Py_ssize_t size;
        const char* data = PyUnicode_AsUTF8AndSize(v, &size);
        if (data == nullptr) {
            PyErr_Clear();  // lone surrogates: the careful path decides
            return PlainResult::not_plain;
        }
        msgpack::write_str(out_, std::string_view(data, std::size_t(size)));
        return PlainResult::encoded;
    }

    PlainResult encode_dict(PyObject* v, Py_ssize_t depth) {
        if (depth >= limits_.max_depth || PyDict_GET_SIZE(v) > limits_.max_items) return PlainResult::not_plain;
        msgpack::write_map_header(out_, std::size_t(PyDict_GET_SIZE(v)));
        Py_ssize_t pos = 0;
        PyObject* key;    // borrowed
        PyObject* value;  // borrowed
        // Nothing below runs Python code, so the dict cannot change while it is walked.
        while (PyDict_Next(v, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) return PlainResult::not_plain;
            PlainResult r = encode_str(key);
            if (r != PlainResult::encoded) return r;
            r = encode(value, depth + 1);
            if (r != PlainResult::encoded) return r;
        }
        return PlainResult::encoded;
    }

    PlainResult encode_sequence(PyObject* v, Py_ssize_t depth) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(v);
        if (depth >= limits_.max_depth || n > limits_.max_items) return PlainResult::not_plain;
        msgpack::write_array_header(out_, std::size_t(n));
        PyObject** items = PySequence_Fast_ITEMS(v);
        for (Py_ssize_t i = 0; i < n; ++i) {
            const PlainResult r = encode(items[i], depth + 1);
            if (r != PlainResult::encoded) return r;
        }
        return PlainResult::encoded;
    }

    const PlainLimits& limits_;
    msgpack::Buffer& out_;
};

}  // namespace

PlainResult encode_plain(PyObject* value, const PlainLimits& limits, msgpack::Buffer& out) {
    const std::size_t start = out.size();
    const PlainResult r = PlainEncoder(limits, out).encode(value, 0);
    if (r != PlainResult::encoded) out.resize(start);
    return r;
}

}  // namespace jarn
