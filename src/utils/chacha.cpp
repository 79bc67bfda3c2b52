#include "chacha.hpp"

#include <type_traits>

namespace jarn {
namespace {

// 32-bit lanes, one per block: four side by side in SSE2 registers (every x86-64 has them), or
// eight in AVX2 registers where the processor has those, for half the instructions per word.
typedef std::uint32_t Lanes4 __attribute__((vector_size(16)));
typedef std::uint32_t Lanes8 __attribute__((vector_size(32)));
typedef std::uint8_t Bytes16 __attribute__((vector_size(16)));
typedef std::uint8_t Bytes32 __attribute__((vector_size(32)));

// The rounds are written once, for one block's words (std::uint32_t) and for blocks side by
// side (the Lanes types). Always inlined, so that they take the instructions of their caller's
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

template <int kRounds, class Words>
[[gnu::always_inline]] inline void rounds(Words& x) {
    static_assert(kRounds % 2 == 0, "rounds go in pairs, a column round and a diagonal one");
    for (int i = 0; i < kRounds / 2; ++i) {
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

constexpr int kStreamRounds = 12;

// The words a batch of blocks starts from, word i for the blocks in a Vec's lanes from block
// `first`. Worked out again for the final addition rather than kept: broadcasts from memory cost
// no more than loads of a copy would.
template <class Vec>
[[gnu::always_inline]] inline void initial_words(Vec& out, int i, const std::array<std::uint32_t, 8>& key,
                                                 std::uint64_t stream, std::uint64_t first) {
    constexpr unsigned kLanes = sizeof(Vec) / sizeof(std::uint32_t);
    constexpr std::uint32_t kConstants[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    if (i < 4) {
        out = Vec{} + kConstants[i];
    } else if (i < 12) {
        out = Vec{} + key[std::size_t(i - 4)];
    } else if (i < 14) {
        // The block numbers' low words, and their high ones: one more in a lane whose low word wrapped.
        Vec lane_numbers;
        for (unsigned lane = 0; lane < kLanes; ++lane) lane_numbers[lane] = lane;
        const Vec low = (Vec{} + std::uint32_t(first)) + lane_numbers;
        out = i == 12 ? low : (Vec{} + std::uint32_t(first >> 32)) - reinterpret_cast<Vec>(low < std::uint32_t(first));
    } else {
        out = Vec{} + std::uint32_t(i == 14 ? stream : stream >> 32);
    }
}

// As many consecutive blocks as a Vec has lanes, from block `first`, each word i stored whole as
// the lanes hold it, in word i's row of a batch's words (whose other lanes other calls fill).
template <class Vec>
[[gnu::always_inline]] inline void make_blocks(const std::array<std::uint32_t, 8>& key, std::uint64_t stream,
                                               std::uint64_t first, std::uint32_t* out) {
    typedef Vec UnalignedVec __attribute__((aligned(alignof(std::uint32_t))));
    Vec x[16];
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) initial_words(x[i], i, key, stream, first);
    rounds<kStreamRounds>(x);
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) {
        Vec start;
        initial_words(start, i, key, stream, first);
        *reinterpret_cast<UnalignedVec*>(out + kChaChaBatchBlocks * unsigned(i)) = x[i] + start;
    }
}

template <class Vec>
[[gnu::always_inline]] inline void make_batch(const std::array<std::uint32_t, 8>& key, std::uint64_t stream,
                                              std::uint64_t first, std::uint32_t* out) {
    constexpr unsigned kLanes = sizeof(Vec) / sizeof(std::uint32_t);
    for (unsigned b = 0; b < kChaChaBatchBlocks; b += kLanes) make_blocks<Vec>(key, stream, first + b, out + b);
}

void make_batch_sse2(const std::array<std::uint32_t, 8>& key, std::uint64_t stream, std::uint64_t first,
                     std::uint32_t* out) {
    make_batch<Lanes4>(key, stream, first, out);
}

[[gnu::target("avx2")]] void make_batch_avx2(const std::array<std::uint32_t, 8>& key, std::uint64_t stream,
                                             std::uint64_t first, std::uint32_t* out) {
    make_batch<Lanes8>(key, stream, first, out);
}

using MakeBatch = void (*)(const std::array<std::uint32_t, 8>&, std::uint64_t, std::uint64_t, std::uint32_t*);

MakeBatch batch_maker(ChaChaIsa isa) {
    switch (isa) {
        case ChaChaIsa::avx2: return make_batch_avx2;
        case ChaChaIsa::sse2: break;
    }
    return make_batch_sse2;
}

}  // namespace

bool chacha_isa_available(ChaChaIsa isa) {
    __builtin_cpu_init();  // this may run among the static constructors, perhaps before libgcc's
    switch (isa) {
        case ChaChaIsa::avx2: return __builtin_cpu_supports("avx2") != 0;
        case ChaChaIsa::sse2: break;
    }
    return true;
}

namespace {
// SSE2 (zero) until the static constructors have looked.
const ChaChaIsa best_isa = chacha_isa_available(ChaChaIsa::avx2) ? ChaChaIsa::avx2 : ChaChaIsa::sse2;
}  // namespace

void chacha12_blocks(ChaChaIsa isa, const std::array<std::uint32_t, 8>& key, std::uint64_t stream,
                     std::uint64_t first, std::uint32_t* out) {
    batch_maker(isa)(key, stream, first, out);
}

void chacha20_block(const std::array<std::uint32_t, 8>& key, std::uint32_t counter,
                    const std::array<std::uint32_t, 3>& nonce, std::array<std::uint32_t, 16>& out) {
    std::array<std::uint32_t, 16> state = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
                                           key[0],     key[1],     key[2],     key[3],
                                           key[4],     key[5],     key[6],     key[7],
                                           counter,    nonce[0],   nonce[1],   nonce[2]};
    out = state;
    rounds<20>(out);
    for (int i = 0; i < 16; ++i) out[i] += state[i];
}

void ChaCha12Rng::seed(const std::array<std::uint32_t, 8>& key, std::uint64_t stream) {
    key_ = key;
    stream_ = stream;
    next_block_ = 0;
}

void ChaCha12Rng::next_batch(std::uint32_t* out) {
    batch_maker(best_isa)(key_, stream_, next_block_, out);
    next_block_ += kBlocksPerBatch;
}

}  // namespace jarn
