#include "chacha20.hpp"

namespace jarn {
namespace {

constexpr std::uint32_t rotl(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
    a += b; d ^= a; d = rotl(d, 16);
    c += d; b ^= c; b = rotl(b, 12);
    a += b; d ^= a; d = rotl(d, 8);
    c += d; b ^= c; b = rotl(b, 7);
}

}  // namespace

void chacha20_block(const std::array<std::uint32_t, 8>& key, std::uint32_t counter,
                    const std::array<std::uint32_t, 3>& nonce, std::array<std::uint32_t, 16>& out) {
    std::array<std::uint32_t, 16> state = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
                                           key[0],     key[1],     key[2],     key[3],
                                           key[4],     key[5],     key[6],     key[7],
                                           counter,    nonce[0],   nonce[1],   nonce[2]};
    out = state;
    for (int i = 0; i < 10; ++i) {
        quarter_round(out[0], out[4], out[8], out[12]);
        quarter_round(out[1], out[5], out[9], out[13]);
        quarter_round(out[2], out[6], out[10], out[14]);
        quarter_round(out[3], out[7], out[11], out[15]);
        quarter_round(out[0], out[5], out[10], out[15]);
        quarter_round(out[1], out[6], out[11], out[12]);
        quarter_round(out[2], out[7], out[8], out[13]);
        quarter_round(out[3], out[4], out[9], out[14]);
    }
    for (int i = 0; i < 16; ++i) out[i] += state[i];
}

void ChaCha20Rng::seed(const std::array<std::uint32_t, 8>& key, std::uint64_t stream) {
    key_ = key;
    nonce_ = {0, std::uint32_t(stream), std::uint32_t(stream >> 32)};
    block_counter_ = 0;
    index_ = 16;
}

void ChaCha20Rng::refill() {
    // The low 32 bits of the block counter go in the counter word, the high ones in the first
    // nonce word, so the stream never wraps within one seed.
    nonce_[0] = std::uint32_t(block_counter_ >> 32);
    chacha20_block(key_, std::uint32_t(block_counter_), nonce_, block_);
    ++block_counter_;
    index_ = 0;
}

std::uint32_t ChaCha20Rng::next_u32() {
    if (index_ >= 16) refill();
    return block_[index_++];
}

}  // namespace jarn
