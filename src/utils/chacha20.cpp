#include "chacha20.hpp"

namespace jarn {
namespace {

// Four 32-bit lanes, one per block. GCC and Clang lower this to SSE2 on x86-64 (and to the
// target's vectors, or to scalar code, elsewhere).
typedef std::uint32_t Lanes __attribute__((vector_size(16)));

// The rounds are written once, for one block's words (std::uint32_t) and for four blocks side
// by side (Lanes).
template <class Word>
inline Word rotl(Word v, int n) { return (v << n) | (v >> (32 - n)); }

template <class Word>
inline void quarter_round(Word& a, Word& b, Word& c, Word& d) {
    a += b; d ^= a; d = rotl(d, 16);
    c += d; b ^= c; b = rotl(b, 12);
    a += b; d ^= a; d = rotl(d, 8);
    c += d; b ^= c; b = rotl(b, 7);
}

template <class Words>
inline void twenty_rounds(Words& x) {
    for (int i = 0; i < 10; ++i) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
}

}  // namespace

void chacha20_block(const std::array<std::uint32_t, 8>& key, std::uint32_t counter,
                    const std::array<std::uint32_t, 3>& nonce, std::array<std::uint32_t, 16>& out) {
    std::array<std::uint32_t, 16> state = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
                                           key[0],     key[1],     key[2],     key[3],
                                           key[4],     key[5],     key[6],     key[7],
                                           counter,    nonce[0],   nonce[1],   nonce[2]};
    out = state;
    twenty_rounds(out);
    for (int i = 0; i < 16; ++i) out[i] += state[i];
}

void ChaCha20Rng::seed(const std::array<std::uint32_t, 8>& key, std::uint64_t stream) {
    key_ = key;
    stream_ = stream;
    next_block_ = 0;
    index_ = words_.size();
}

void ChaCha20Rng::refill() {
    static_assert(kBlocksPerRefill == 4, "one lane per block");
    // The low 32 bits of the block counter go in the counter word, the high ones in the first
    // nonce word, so the stream never wraps within one seed.
    Lanes state[16];
    const std::uint32_t constants[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (int i = 0; i < 4; ++i) state[i] = Lanes{} + constants[i];
    for (int i = 0; i < 8; ++i) state[4 + i] = Lanes{} + key_[std::size_t(i)];
    for (unsigned lane = 0; lane < 4; ++lane) {
        const std::uint64_t block = next_block_ + lane;
        state[12][lane] = std::uint32_t(block);
        state[13][lane] = std::uint32_t(block >> 32);
    }
    state[14] = Lanes{} + std::uint32_t(stream_);
    state[15] = Lanes{} + std::uint32_t(stream_ >> 32);
    Lanes x[16];
    for (int i = 0; i < 16; ++i) x[i] = state[i];
    twenty_rounds(x);
    for (int i = 0; i < 16; ++i) {
        const Lanes word = x[i] + state[i];
        for (unsigned lane = 0; lane < 4; ++lane) words_[16 * lane + unsigned(i)] = word[lane];
    }
    next_block_ += kBlocksPerRefill;
    index_ = 0;
}

}  // namespace jarn
