// Small pieces of text the encoder writes: UTF-8 of a str, an address in hex, a str of pieces.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "../utils/convert.hpp"
#include "../utils/msgpack.hpp"

namespace jarn {

// The UTF-8 text of a str; null, with no exception left set, when it has none (lone surrogates).
inline const char* utf8_or_none(PyObject* s, Py_ssize_t& size) {
    const char* data = utf8_and_size(s, size);
    if (data == nullptr) PyErr_Clear();
    return data;
}

inline std::string_view utf8_view(PyObject* s) {
    Py_ssize_t size;
    const char* data = utf8_or_none(s, size);
    return data != nullptr ? std::string_view(data, std::size_t(size)) : std::string_view();
}

using AddressText = char[2 + 2 * sizeof(std::uintptr_t)];

// The address as "%#llx" writes it ("0x7f..."), into `buf`, without printf's cost.
inline std::string_view hex_address(const void* p, AddressText& buf) {
    std::uintptr_t a = reinterpret_cast<std::uintptr_t>(p);
    if (a == 0) return "0";
    static constexpr auto pairs = [] {  // "000102...ff": a byte's two digits at a time
        std::array<char, 512> t{};
        for (int i = 0; i < 256; ++i) {
            t[std::size_t(2 * i)] = "0123456789abcdef"[i >> 4];
            t[std::size_t(2 * i + 1)] = "0123456789abcdef"[i & 0xf];
        }
        return t;
    }();
    char* end = buf + sizeof buf;
    char* at = end;
    for (; a > 0xf; a >>= 8) {  // a pair is never the leading one with a zero: what is left is above it
        at -= 2;
        std::memcpy(at, &pairs[2 * (a & 0xff)], 2);
    }
    if (a != 0) *--at = "0123456789abcdef"[a];
    *--at = 'x';
    *--at = '0';
    return {at, std::size_t(end - at)};
}

// Copies n bytes: short copies (most names and texts here) with a few moves instead of a call.
inline void copy_bytes(void* to, const void* from, std::size_t n) {
    auto* d = static_cast<unsigned char*>(to);
    const auto* s = static_cast<const unsigned char*>(from);
    if (n > 16) {
        std::memcpy(d, s, n);
    } else if (n >= 8) {
        std::memcpy(d, s, 8);
        std::memcpy(d + n - 8, s + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(d, s, 4);
        std::memcpy(d + n - 4, s + n - 4, 4);
    } else if (n > 0) {
        d[0] = s[0];
        d[n / 2] = s[n / 2];
        d[n - 1] = s[n - 1];
    }
}

// Writes a str of `size` bytes, given in pieces, with one growth of the buffer to its exact size.
class StrWriter : public msgpack::Cursor {
public:
    StrWriter(msgpack::Buffer& b, std::size_t size) : Cursor(nullptr) {
        const std::size_t at = b.size();
        b.resize(at + msgpack::str_header_size(size) + size);
        at_ = b.data() + at;
        str_header(size);
    }
    StrWriter& operator<<(std::string_view s) {
        copy_bytes(at_, s.data(), s.size());  // an empty view's data may be null: copies nothing then
        at_ += s.size();
        return *this;
    }
};

inline void put_str(msgpack::Buffer& b, const char* data, std::size_t n) {
    StrWriter(b, n) << std::string_view(data, n);
}

}  // namespace jarn
