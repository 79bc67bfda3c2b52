// Hand-written MessagePack encoding, always in the smallest form. Pure C++: no Python here,
// so the encoder can be unit-tested alone.
#pragma once

#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace jarn::msgpack {

// Buffer memory is not cleared when a buffer grows: every byte is written before it is read, and
// a buffer grown by an upper bound (RawWriter) would otherwise clear what it then overwrites.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() noexcept = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;  // default initialisation: a byte is left as it is
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using Buffer = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;

inline void put_u8(Buffer& b, std::uint8_t v) { b.push_back(v); }

// Grows the buffer and copies: with this allocator, vector::insert would construct byte by byte.
inline void put_bytes(Buffer& b, const void* data, std::size_t n) {
    const std::size_t at = b.size();
    b.resize(at + n);
    if (n != 0) std::memcpy(b.data() + at, data, n);
}

inline void put_be16(Buffer& b, std::uint16_t v) {
    const std::uint8_t bytes[2] = {std::uint8_t(v >> 8), std::uint8_t(v)};
    put_bytes(b, bytes, 2);
}

inline void put_be32(Buffer& b, std::uint32_t v) {
    const std::uint8_t bytes[4] = {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8),
                                   std::uint8_t(v)};
    put_bytes(b, bytes, 4);
}

inline void put_be64(Buffer& b, std::uint64_t v) {
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = std::uint8_t(v >> (56 - 8 * i));
    put_bytes(b, bytes, 8);
}

inline void write_nil(Buffer& b) { put_u8(b, 0xc0); }
inline void write_true(Buffer& b) { put_u8(b, 0xc3); }

// The size of that header.
constexpr std::size_t str_header_size(std::size_t n) { return n < 32 ? 1 : n < 256 ? 2 : n < 65536 ? 3 : 5; }

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

// The header of a bin of n bytes; the n bytes follow.
inline void write_bin_header(Buffer& b, std::size_t n) {
    if (n < 256) {
        put_u8(b, 0xc4);
        put_u8(b, std::uint8_t(n));
    } else if (n < 65536) {
        put_u8(b, 0xc5);
        put_be16(b, std::uint16_t(n));
    } else {
        put_u8(b, 0xc6);
        put_be32(b, std::uint32_t(n));
    }
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

// Writes MessagePack through a plain pointer into memory the caller has made room in: no check
// at every byte. The caller makes room for the most that its writes can take.
class Cursor {
public:
    explicit Cursor(std::uint8_t* at) : at_(at) {}
    std::uint8_t* at() const { return at_; }

    template <std::size_t N>
    void constant(const char (&bytes)[N]) {  // a literal's bytes, without its terminating zero
        std::memcpy(at_, bytes, N - 1);
        at_ += N - 1;
    }
    void byte(std::uint8_t v) { *at_++ = v; }
    void raw(std::string_view bytes) {  // bytes already encoded
        std::memcpy(at_, bytes.data(), bytes.size());
        at_ += bytes.size();
    }
    void str_header(std::size_t n) {
        if (n < 32) {
            *at_++ = std::uint8_t(0xa0 | n);
        } else if (n < 256) {
            *at_++ = 0xd9;
            *at_++ = std::uint8_t(n);
        } else if (n < 65536) {
            *at_++ = 0xda;
            be(n, 2);
        } else {
            *at_++ = 0xdb;
            be(n, 4);
        }
    }
    void str(std::string_view s) {
        str_header(s.size());
        std::memcpy(at_, s.data(), s.size());
        at_ += s.size();
    }
    void uint(std::uint64_t v) {
        if (v < 128) {
            *at_++ = std::uint8_t(v);
        } else if (v < 256) {
            *at_++ = 0xcc;
            *at_++ = std::uint8_t(v);
        } else if (v < 65536) {
            *at_++ = 0xcd;
            be(v, 2);
        } else if (v <= 0xffffffffULL) {
            *at_++ = 0xce;
            be(v, 4);
        } else {
            *at_++ = 0xcf;
            be(v, 8);
        }
    }
    void sint(std::int64_t v) {
        if (v >= 0) {
            uint(std::uint64_t(v));
        } else if (v >= -32) {
            *at_++ = std::uint8_t(v);  // negative fixint: 0xe0..0xff
        } else if (v >= INT8_MIN) {
            *at_++ = 0xd0;
            *at_++ = std::uint8_t(std::int8_t(v));
        } else if (v >= INT16_MIN) {
            *at_++ = 0xd1;
            be(std::uint16_t(std::int16_t(v)), 2);
        } else if (v >= INT32_MIN) {
            *at_++ = 0xd2;
            be(std::uint32_t(std::int32_t(v)), 4);
        } else {
            *at_++ = 0xd3;
            be(std::uint64_t(v), 8);
        }
    }
    void f64(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        *at_++ = 0xcb;
        be(bits, 8);
    }

protected:
    // The low n bytes of v (2, 4 or 8), most significant first.
    void be(std::uint64_t v, int n) {
        if constexpr (std::endian::native == std::endian::little) {
            if (n == 8) {
                v = __builtin_bswap64(v);
            } else if (n == 4) {
                const std::uint32_t w = __builtin_bswap32(std::uint32_t(v));
                std::memcpy(at_, &w, 4);
                at_ += 4;
                return;
            } else {
                const std::uint16_t w = __builtin_bswap16(std::uint16_t(v));
                std::memcpy(at_, &w, 2);
                at_ += 2;
                return;
            }
            std::memcpy(at_, &v, 8);
            at_ += 8;
        } else {
            for (int i = n - 1; i >= 0; --i) *at_++ = std::uint8_t(v >> (8 * i));
        }
    }
    std::uint8_t* at_;
};

// A Cursor over a stretch of a buffer: the buffer grows once, by an upper bound of what is
// written, and finish() gives back the rest.
class RawWriter : public Cursor {
public:
    RawWriter(Buffer& b, std::size_t most) : Cursor(nullptr), b_(b) {
        const std::size_t start = b.size();
        b.resize(start + most);
        at_ = b.data() + start;
    }
    RawWriter(const RawWriter&) = delete;
    RawWriter& operator=(const RawWriter&) = delete;
    void finish() { b_.resize(std::size_t(at_ - b_.data())); }

private:
    Buffer& b_;
};

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
    put_bytes(b, raw.data(), raw.size());
    raw.clear();
}

inline void write_raw_pair(Buffer& b, std::string_view key, std::string_view raw) {
    write_str(b, key);
    put_bytes(b, raw.data(), raw.size());
}

}  // namespace jarn::msgpack
