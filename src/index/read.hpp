// Reading MessagePack from a byte range, one value at a time, without building values: headers,
// strings as views, numbers, and skipping. Every read is bounds-checked and says when the range
// ends before the value does (`Need::more`), so that a caller reading a stream in windows can
// wait for more bytes and try again. Pure C++: no Python here.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace jarn::index {

enum class Need : std::uint8_t { ok, more, bad };

class Cursor {
public:
    Cursor(const std::uint8_t* begin, const std::uint8_t* end) noexcept : p_(begin), end_(end) {}

    const std::uint8_t* at() const noexcept { return p_; }
    std::size_t left() const noexcept { return std::size_t(end_ - p_); }

    // The header of a map or an array: its entry count.
    Need map_header(std::uint32_t& n) noexcept { return container(n, 0x80, 0xde); }
    Need array_header(std::uint32_t& n) noexcept { return container(n, 0x90, 0xdc); }

    Need str(std::string_view& out) noexcept {
        if (!have(1)) return Need::more;
        const std::uint8_t b = *p_;
        std::uint32_t n;
        std::size_t head;
        if ((b & 0xe0) == 0xa0) {
            n = b & 0x1f;
            head = 1;
        } else if (b == 0xd9 || b == 0xda || b == 0xdb) {
            head = 1 + (std::size_t(1) << (b - 0xd9));
            if (!have(head)) return Need::more;
            n = std::uint32_t(be(p_ + 1, head - 1));
        } else {
            return Need::bad;
        }
        if (!have(head + n)) return Need::more;
        out = std::string_view(reinterpret_cast<const char*>(p_ + head), n);
        p_ += head + n;
        return Need::ok;
    }

    bool is_nil() const noexcept { return p_ < end_ && *p_ == 0xc0; }
    bool is_map() const noexcept { return p_ < end_ && ((*p_ & 0xf0) == 0x80 || *p_ == 0xde || *p_ == 0xdf); }
    bool is_str() const noexcept { return p_ < end_ && ((*p_ & 0xe0) == 0xa0 || (*p_ >= 0xd9 && *p_ <= 0xdb)); }

    // A number (int or float) as a double; `is_number` false (and the value skipped) for others.
    Need number(double& out, bool& is_number) noexcept {
        if (!have(1)) return Need::more;
        const std::uint8_t b = *p_;
        is_number = true;
        if (b <= 0x7f) {
            out = b;
            ++p_;
            return Need::ok;
        }
        if (b >= 0xe0) {
            out = std::int8_t(b);
            ++p_;
            return Need::ok;
        }
        if (b == 0xcb || b == 0xca || (b >= 0xcc && b <= 0xd3)) {
            const std::size_t n = b == 0xcb ? 8 : b == 0xca ? 4 : std::size_t(1) << ((b - 0xcc) & 3);
            if (!have(1 + n)) return Need::more;
            const std::uint64_t raw = be(p_ + 1, n);
            if (b == 0xcb) {
                std::memcpy(&out, &raw, 8);
            } else if (b == 0xca) {
                float f;
                const std::uint32_t r32 = std::uint32_t(raw);
                std::memcpy(&f, &r32, 4);
                out = f;
            } else if (b <= 0xcf) {
                out = double(raw);
            } else {
                out = n == 1 ? double(std::int8_t(raw)) : n == 2 ? double(std::int16_t(raw)) : n == 4 ? double(std::int32_t(raw)) : double(std::int64_t(raw));
            }
            p_ += 1 + n;
            return Need::ok;
        }
        is_number = false;
        return skip();
    }

    // An integer that fits 64 bits, signed or not; `is_int` false (and the value skipped) otherwise.
    Need integer(std::int64_t& out, bool& is_int) noexcept {
        if (!have(1)) return Need::more;
        const std::uint8_t b = *p_;
        if (b <= 0x7f || b >= 0xe0 || (b >= 0xcc && b <= 0xd3)) {
            is_int = true;
            if (b <= 0x7f || b >= 0xe0) {
                out = b <= 0x7f ? b : std::int8_t(b);
                ++p_;
                return Need::ok;
            }
            const std::size_t n = std::size_t(1) << ((b - 0xcc) & 3);
            if (!have(1 + n)) return Need::more;
            const std::uint64_t raw = be(p_ + 1, n);
            if (b <= 0xcf) {
                if (raw > std::uint64_t(INT64_MAX)) is_int = false;
                out = std::int64_t(raw);
            } else {
                out = n == 1 ? std::int8_t(raw) : n == 2 ? std::int16_t(raw) : n == 4 ? std::int32_t(raw) : std::int64_t(raw);
            }
            p_ += 1 + n;
            return Need::ok;
        }
        is_int = false;
        return skip();
    }

    // Skips one whole value, however deep (iteratively: a hostile nesting cannot overflow the stack).
    Need skip() noexcept {
        const std::uint8_t* start = p_;
        std::uint64_t pending = 1;
        while (pending != 0) {
            --pending;
            std::uint64_t children = 0;
            const Need got = skip_one(children);
            if (got != Need::ok) {
                p_ = start;
                return got;
            }
            pending += children;
        }
        return Need::ok;
    }

private:
    bool have(std::size_t n) const noexcept { return std::size_t(end_ - p_) >= n; }

    static std::uint64_t be(const std::uint8_t* at, std::size_t n) noexcept {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) v = (v << 8) | at[i];
        return v;
    }

    Need container(std::uint32_t& n, std::uint8_t fix, std::uint8_t wide16) noexcept {
        if (!have(1)) return Need::more;
        const std::uint8_t b = *p_;
        if ((b & 0xf0) == fix) {
            n = b & 0x0f;
            ++p_;
            return Need::ok;
        }
        if (b == wide16 || b == wide16 + 1) {
            const std::size_t w = b == wide16 ? 2 : 4;
            if (!have(1 + w)) return Need::more;
            n = std::uint32_t(be(p_ + 1, w));
            p_ += 1 + w;
            return Need::ok;
        }
        return Need::bad;
    }

    // Moves past one value's own bytes; `children` is how many values it holds (a map's keys
    // and values), still to be skipped.
    Need skip_one(std::uint64_t& children) noexcept {
        if (!have(1)) return Need::more;
        const std::uint8_t b = *p_;
        std::size_t size = 1;
        if (b <= 0x7f || b >= 0xe0 || (b >= 0xc0 && b <= 0xc3)) {
            size = 1;
        } else if ((b & 0xf0) == 0x80) {
            children = 2 * std::uint64_t(b & 0x0f);
        } else if ((b & 0xf0) == 0x90) {
            children = b & 0x0f;
        } else if ((b & 0xe0) == 0xa0) {
            size = 1 + (b & 0x1f);
        } else {
            switch (b) {
                case 0xc4: case 0xc5: case 0xc6: case 0xd9: case 0xda: case 0xdb: {  // bin, str
                    const std::size_t w = std::size_t(1) << (b >= 0xd9 ? b - 0xd9 : b - 0xc4);
                    if (!have(1 + w)) return Need::more;
                    size = 1 + w + be(p_ + 1, w);
                    break;
                }
                case 0xc7: case 0xc8: case 0xc9: {  // ext 8/16/32
                    const std::size_t w = std::size_t(1) << (b - 0xc7);
                    if (!have(1 + w)) return Need::more;
                    size = 2 + w + be(p_ + 1, w);
                    break;
                }
                case 0xca: size = 5; break;
                case 0xcb: size = 9; break;
                case 0xcc: case 0xd0: size = 2; break;
                case 0xcd: case 0xd1: size = 3; break;
                case 0xce: case 0xd2: size = 5; break;
                case 0xcf: case 0xd3: size = 9; break;
                case 0xd4: size = 3; break;
                case 0xd5: size = 4; break;
                case 0xd6: size = 6; break;
                case 0xd7: size = 10; break;
                case 0xd8: size = 18; break;
                case 0xdc: case 0xdd: case 0xde: case 0xdf: {
                    const std::size_t w = (b == 0xdc || b == 0xde) ? 2 : 4;
                    if (!have(1 + w)) return Need::more;
                    const std::uint64_t n = be(p_ + 1, w);
                    children = b >= 0xde ? 2 * n : n;
                    size = 1 + w;
                    break;
                }
                default:
                    return Need::bad;  // 0xc1, never used
            }
        }
        if (!have(size)) return Need::more;
        p_ += size;
        return Need::ok;
    }

    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

}  // namespace jarn::index
