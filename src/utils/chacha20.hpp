// ChaCha20 block function (RFC 8439) and a stream generator built on it. Pure C++.
#pragma once

#include <array>
#include <cstdint>

namespace jarn {

// One ChaCha20 block: 20 rounds over the key, block counter and nonce, as RFC 8439 section 2.3.
void chacha20_block(const std::array<std::uint32_t, 8>& key, std::uint32_t counter,
                    const std::array<std::uint32_t, 3>& nonce, std::array<std::uint32_t, 16>& out);

// Keystream generator: 32-bit words taken in order from consecutive blocks. The nonce and the
// high counter words let one key yield 2^64 blocks before it would repeat; the owner reseeds
// long before that.
class ChaCha20Rng {
public:
    void seed(const std::array<std::uint32_t, 8>& key, std::uint64_t stream = 0);
    std::uint32_t next_u32();
    std::uint64_t next_u64() {
        const std::uint64_t lo = next_u32();
        const std::uint64_t hi = next_u32();
        return (hi << 32) | lo;
    }
    std::uint64_t blocks_used() const { return block_counter_; }

private:
    void refill();
    std::array<std::uint32_t, 8> key_{};
    std::array<std::uint32_t, 3> nonce_{};
    std::array<std::uint32_t, 16> block_{};
    std::uint64_t block_counter_ = 0;
    unsigned index_ = 16;
};

}  // namespace jarn
