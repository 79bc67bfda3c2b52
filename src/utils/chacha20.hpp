// ChaCha20 block function (RFC 8439) and a stream generator built on it. Pure C++.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace jarn {

// One ChaCha20 block: 20 rounds over the key, block counter and nonce, as RFC 8439 section 2.3.
void chacha20_block(const std::array<std::uint32_t, 8>& key, std::uint32_t counter,
                    const std::array<std::uint32_t, 3>& nonce, std::array<std::uint32_t, 16>& out);

// Keystream generator: 32-bit words taken in order from consecutive blocks. The nonce and the
// high counter words let one key yield 2^64 blocks before it would repeat; the owner reseeds
// long before that. Blocks are made eight at a time, side by side in vector registers: the same
// keystream for a fraction of the instructions per word.
class ChaCha20Rng {
public:
    static constexpr unsigned kBlocksPerRefill = 8;

    void seed(const std::array<std::uint32_t, 8>& key, std::uint64_t stream = 0);
    std::uint32_t next_u32() {
        if (index_ >= words_.size()) refill();
        return words_[index_++];
    }
    std::uint64_t next_u64() {
        const std::uint64_t lo = next_u32();
        const std::uint64_t hi = next_u32();
        return (hi << 32) | lo;
    }
    // The next n words (n at most 128) at once, from fresh blocks if fewer are left.
    void take_words(std::uint32_t* out, std::size_t n) {
        if (words_left() < n) refill();
        std::memcpy(out, words_.data() + index_, n * sizeof(std::uint32_t));
        index_ += n;
    }
    std::size_t words_left() const { return words_.size() - index_; }
    // Blocks of which at least one word has been handed out.
    std::uint64_t blocks_used() const { return next_block_ - (words_.size() - index_) / 16; }

private:
    void refill();
    std::array<std::uint32_t, 8> key_{};
    std::uint64_t stream_ = 0;
    std::uint64_t next_block_ = 0;  // counter of the first block not yet made
    std::array<std::uint32_t, 16 * kBlocksPerRefill> words_{};
    std::size_t index_ = 16 * kBlocksPerRefill;
};

}  // namespace jarn
