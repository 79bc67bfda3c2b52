// Hand-written MessagePack encoding, always in the smallest form. Pure C++: no Python here,
// so the encoder can be unit-tested alone.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace jarn::msgpack {

using Buffer = std::vector<std::uint8_t>;

inline void put_u8(Buffer& b, std::uint8_t v) { b.push_back(v); }

inline void put_be16(Buffer& b, std::uint16_t v) {
    const std::uint8_t bytes[2] = {std::uint8_t(v >> 8), std::uint8_t(v)};
    b.insert(b.end(), bytes, bytes + 2);
}

inline void put_be32(Buffer& b, std::uint32_t v) {
    const std::uint8_t bytes[4] = {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8),
                                   std::uint8_t(v)};
    b.insert(b.end(), bytes, bytes + 4);
}

inline void put_be64(Buffer& b, std::uint64_t v) {
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = std::uint8_t(v >> (56 - 8 * i));
    b.insert(b.end(), bytes, bytes + 8);
}

inline void put_bytes(Buffer& b, const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    b.insert(b.end(), p, p + n);
}

inline void write_nil(Buffer& b) { put_u8(b, 0xc0); }
inline void write_true(Buffer& b) { put_u8(b, 0xc3); }

// The header of a str of n bytes; the n bytes follow.
inline void write_str_header(Buffer& b, std::size_t n) {
    if (n < 32) {
        put_u8(b, std::uint8_t(0xa0 | n));
    } else if (n < 256) {
        put_u8(b, 0xd9);
        put_u8(b, std::uint8_t(n));
    } else if (n < 65536) {
        put_u8(b, 0xda);
        put_be16(b, std::uint16_t(n));
    } else {
        put_u8(b, 0xdb);
        put_be32(b, std::uint32_t(n));
    }
}

inline void write_str(Buffer& b, std::string_view s) {
    write_str_header(b, s.size());
    put_bytes(b, s.data(), s.size());
}

inline void write_uint(Buffer& b, std::uint64_t v) {
    if (v < 128) {
        put_u8(b, std::uint8_t(v));
    } else if (v < 256) {
        put_u8(b, 0xcc);
        put_u8(b, std::uint8_t(v));
    } else if (v < 65536) {
        put_u8(b, 0xcd);
        put_be16(b, std::uint16_t(v));
    } else if (v <= 0xffffffffULL) {
        put_u8(b, 0xce);
        put_be32(b, std::uint32_t(v));
    } else {
        put_u8(b, 0xcf);
        put_be64(b, v);
    }
}

inline void write_int(Buffer& b, std::int64_t v) {
    if (v >= 0) {
        write_uint(b, std::uint64_t(v));
    } else if (v >= -32) {
        put_u8(b, std::uint8_t(v));  // negative fixint: 0xe0..0xff
    } else if (v >= INT8_MIN) {
        put_u8(b, 0xd0);
        put_u8(b, std::uint8_t(std::int8_t(v)));
    } else if (v >= INT16_MIN) {
        put_u8(b, 0xd1);
        put_be16(b, std::uint16_t(std::int16_t(v)));
    } else if (v >= INT32_MIN) {
        put_u8(b, 0xd2);
        put_be32(b, std::uint32_t(std::int32_t(v)));
    } else {
        put_u8(b, 0xd3);
        put_be64(b, std::uint64_t(v));
    }
}

inline void write_f64(Buffer& b, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put_u8(b, 0xcb);
    put_be64(b, bits);
}

inline void write_map_header(Buffer& b, std::size_t n) {
    if (n < 16) {
        put_u8(b, std::uint8_t(0x80 | n));
    } else if (n < 65536) {
        put_u8(b, 0xde);
        put_be16(b, std::uint16_t(n));
    } else {
        put_u8(b, 0xdf);
        put_be32(b, std::uint32_t(n));
    }
}

inline void write_array_header(Buffer& b, std::size_t n) {
    if (n < 16) {
        put_u8(b, std::uint8_t(0x90 | n));
    } else if (n < 65536) {
        put_u8(b, 0xdc);
        put_be16(b, std::uint16_t(n));
    } else {
        put_u8(b, 0xdd);
        put_be32(b, std::uint32_t(n));
    }
}

// Key/value pair writers of the record and trace layouts.

inline void write_str_pair(Buffer& b, std::string_view key, std::optional<std::string_view> value) {
    write_str(b, key);
    if (value) {
        write_str(b, *value);
    } else {
        write_nil(b);
    }
}

inline void write_int_pair(Buffer& b, std::string_view key, std::optional<std::uint64_t> value) {
    write_str(b, key);
    if (value) {
        write_uint(b, *value);
    } else {
        write_nil(b);
    }
}

// "timestamp" is the only float field of records and traces.
inline void write_f64_pair(Buffer& b, double value) {
    write_str(b, "timestamp");
    write_f64(b, value);
}

// Appends an already encoded value verbatim and leaves the source empty.
inline void write_raw_pair(Buffer& b, std::string_view key, Buffer& raw) {
    write_str(b, key);
    b.insert(b.end(), raw.begin(), raw.end());
    raw.clear();
}

inline void write_raw_pair(Buffer& b, std::string_view key, std::string_view raw) {
    write_str(b, key);
    put_bytes(b, raw.data(), raw.size());
}

struct UserCodeCallSite {
    std::string_view call_frame_id;
    std::int32_t line_number;
};

inline void write_user_code_call_site(Buffer& b, const std::optional<UserCodeCallSite>& site) {
    write_str(b, "user_code_call_site");
    if (!site) {
        write_nil(b);
        return;
    }
    write_map_header(b, 2);
    write_str(b, "call_frame_id");
    write_str(b, site->call_frame_id);
    write_str(b, "line_number");
    write_int(b, site->line_number);
}

}  // namespace jarn::msgpack
