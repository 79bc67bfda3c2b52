// Bytes kept to be copied into records many times over, such as a place's texts or a thread's
// entries. Their allocation is never shorter than kShortest, so that short contents are copied in
// whole blocks of 16 bytes, inlined, rather than by a call of memcpy: the call costs more in the
// registers its caller saves around it than the copy itself.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace jarn {

class PaddedBytes {
public:
    // Contents up to this long are copied in whole blocks (copy_to).
    static constexpr std::size_t kShortest = 128;

    PaddedBytes() = default;
    PaddedBytes(PaddedBytes&& other) noexcept { *this = std::move(other); }
    PaddedBytes& operator=(PaddedBytes&& other) noexcept {
        if (this != &other) {
            owned_ = std::move(other.owned_);
            capacity_ = other.capacity_;
            size_ = other.size_;
            data_ = owned_ ? owned_.get() : kNothing;
            other.capacity_ = other.size_ = 0;
            other.data_ = kNothing;
        }
        return *this;
    }

    void assign(const void* from, std::size_t n) {
        if (n > capacity_) {
            const std::size_t capacity = n > kShortest ? n : kShortest;
            owned_ = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
            capacity_ = capacity;
            data_ = owned_.get();
        }
        if (n != 0) std::memcpy(owned_.get(), from, n);
        size_ = n;
    }

    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::string_view view() const { return {reinterpret_cast<const char*>(data_), size_}; }

    // Writes the contents at `to`, followed by bytes of no meaning up to kShortest / 2 or
    // kShortest, which the caller overwrites: `to` must have room for kShortest bytes or the size.
    [[gnu::always_inline]] void copy_to(std::uint8_t* to) const {
        if (size_ <= kShortest / 2) [[likely]] {
            copy_blocks<kShortest / 32>(to, data_);
        } else if (size_ <= kShortest) {
            copy_blocks<kShortest / 16>(to, data_);
        } else {
            std::memcpy(to, data_, size_);
        }
    }

private:
    // n blocks of 16 bytes, each in one move: memcpy would be free to make a fixed copy of many
    // blocks a string instruction, which repeats a step of four bytes.
    template <std::size_t n>
    [[gnu::always_inline]] static void copy_blocks(std::uint8_t* to, const std::uint8_t* from) {
        typedef std::uint8_t Block __attribute__((vector_size(16), aligned(1), may_alias));
        static_assert(16 * n <= kShortest);
#pragma GCC unroll 8
        for (std::size_t i = 0; i < n; ++i) {
            *reinterpret_cast<Block*>(to + 16 * i) = *reinterpret_cast<const Block*>(from + 16 * i);
        }
    }

    // What an empty one reads from: as long as any allocation.
    static constexpr std::uint8_t kNothing[kShortest] = {};
    std::unique_ptr<std::uint8_t[]> owned_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
    const std::uint8_t* data_ = kNothing;
};

}  // namespace jarn
