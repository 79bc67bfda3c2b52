#include "chacha20.hpp"

#include <type_traits>

namespace jarn {
namespace {

// 32-bit lanes, one per block: four side by side in SSE2 registers (every x86-64 has them), or
// eight in AVX2 registers where the processor has those, for half the instructions per word.
typedef std::uint32_t Lanes __attribute__((vector_size(16)));
typedef std::uint32_t WideLanes __attribute__((vector_size(32)));
typedef std::uint8_t Bytes16 __attribute__((vector_size(16)));
typedef std::uint8_t Bytes32 __attribute__((vector_size(32)));

// The rounds are written once, for one block's words (std::uint32_t) and for blocks side by
// side (Lanes, WideLanes). Always inlined, so that they take the instructions of their caller's
// target; vectors go by reference only.
template <class Word>
[[gnu::always_inline]] inline void rotl(Word& v, int n) { v = (v << n) | (v >> (32 - n)); }

// Rotations by whole bytes of lanes side by side: one byte shuffle instead of two shifts and an or.
template <class Word, int kBytes>
[[gnu::always_inline]] inline void rotl_bytes(Word& v) {
    if constexpr (sizeof(Word) == sizeof(std::uint32_t)) {
        rotl(v, 8 * kBytes);
    } else {
        using Bytes = std::conditional_t<sizeof(Word) == 16, Bytes16, Bytes32>;
        Bytes mask;
        for (unsigned i = 0; i < sizeof(Word); ++i) mask[i] = std::uint8_t((i & ~3u) | ((i - kBytes) & 3u));
        v = reinterpret_cast<Word>(__builtin_shuffle(reinterpret_cast<Bytes>(v), mask));
    }
}

template <class Word>
[[gnu::always_inline]] inline void quarter_round(Word& a, Word& b, Word& c, Word& d) {
    a += b; d ^= a; rotl_bytes<Word, 2>(d);
    c += d; b ^= c; rotl(b, 12);
    a += b; d ^= a; rotl_bytes<Word, 1>(d);
    c += d; b ^= c; rotl(b, 7);
}

template <class Words>
[[gnu::always_inline]] inline void twenty_rounds(Words& x) {
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

// As many consecutive blocks as a Vec has lanes, from block `first`, written in order at `out`.
// The low 32 bits of the block counter go in the counter word, the high ones in the first nonce
// word, so the stream never wraps within one seed.
template <class Vec, unsigned kLanes>
[[gnu::always_inline]] inline void make_blocks(const std::array<std::uint32_t, 8>& key, std::uint64_t stream,
                                               std::uint64_t first, std::uint32_t* out) {
    Vec state[16];
    const std::uint32_t constants[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (int i = 0; i < 4; ++i) state[i] = Vec{} + constants[i];
    for (int i = 0; i < 8; ++i) state[4 + i] = Vec{} + key[std::size_t(i)];
    for (unsigned lane = 0; lane < kLanes; ++lane) {
        const std::uint64_t block = first + lane;
        state[12][lane] = std::uint32_t(block);
        state[13][lane] = std::uint32_t(block >> 32);
    }
    state[14] = Vec{} + std::uint32_t(stream);
    state[15] = Vec{} + std::uint32_t(stream >> 32);
    Vec x[16];
    for (int i = 0; i < 16; ++i) x[i] = state[i];
    twenty_rounds(x);
    for (int i = 0; i < 16; ++i) {
        x[i] += state[i];
        for (unsigned lane = 0; lane < kLanes; ++lane) out[16 * lane + unsigned(i)] = x[i][lane];
    }
}

[[gnu::target("avx2")]] void make_eight_blocks_avx2(const std::array<std::uint32_t, 8>& key, std::uint64_t stream,
                                                   std::uint64_t first, std::uint32_t* out) {
    make_blocks<WideLanes, 8>(key, stream, first, out);
}

void make_eight_blocks(const std::array<std::uint32_t, 8>& key, std::uint64_t stream, std::uint64_t first,
                       std::uint32_t* out) {
    make_blocks<Lanes, 4>(key, stream, first, out);
    make_blocks<Lanes, 4>(key, stream, first + 4, out + 64);
}

const bool has_avx2 = [] {
    __builtin_cpu_init();  // this runs among the static constructors, perhaps before libgcc's
    return __builtin_cpu_supports("avx2") != 0;
}();

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
    static_assert(kBlocksPerRefill == 8, "eight blocks a refill");
    (has_avx2 ? make_eight_blocks_avx2 : make_eight_blocks)(key_, stream_, next_block_, words_.data());
    next_block_ += kBlocksPerRefill;
    index_ = 0;
}

}  // namespace jarn
