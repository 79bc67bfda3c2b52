// ChaCha block functions (RFC 8439's with 20 rounds, and the 12-round variant) and a stream
// generator built on the 12-round one. Pure C++.
#pragma once

#include <array>
#include <cstdint>

namespace jarn {

// One ChaCha20 block: 20 rounds over the key, block counter and nonce, as RFC 8439 section 2.3.
void chacha20_block(const std::array<std::uint32_t, 8>& key, std::uint32_t counter,
                    const std::array<std::uint32_t, 3>& nonce, std::array<std::uint32_t, 16>& out);

// The vector instructions a batch of blocks can be made with; each gives the same words.
enum class ChaChaIsa { sse2 = 0, avx2 };
bool chacha_isa_available(ChaChaIsa isa);

// Eight consecutive 12-round blocks, from block `first` of a stream: the low
// 32 bits of the block number are the counter word, the high ones and the stream the nonce. The
// blocks are made side by side, one per vector lane, and stored as they lie in the lanes: word i
// of block `first + b` at out[8 * i + b]. Every word of the eight blocks appears exactly once;
// their order does not matter to anyone taking uniform random words.
constexpr unsigned kChaChaBatchBlocks = 8;
void chacha12_blocks(ChaChaIsa isa, const std::array<std::uint32_t, 8>& key, std::uint64_t stream,
                     std::uint64_t first, std::uint32_t* out);

// Keystream generator: batches of eight 12-round ChaCha blocks, side by side in vector
// registers. ChaCha12 keeps a wide margin over the best known attacks (on 7 rounds) for a third
// fewer instructions than ChaCha20. The nonce and the high counter words let one key yield 2^64
// blocks before it would repeat; the owner reseeds long before that.
class ChaCha12Rng {
public:
    static constexpr unsigned kBlocksPerBatch = kChaChaBatchBlocks;
    static constexpr std::size_t kWordsPerBatch = 16 * kBlocksPerBatch;

    void seed(const std::array<std::uint32_t, 8>& key, std::uint64_t stream = 0);
    // The words of the next batch of blocks, arranged as chacha12_blocks does, at `out`.
    void next_batch(std::uint32_t* out);
    // Blocks handed out since the seed.
    std::uint64_t blocks_used() const { return next_block_; }

private:
    std::array<std::uint32_t, 8> key_{};
    std::uint64_t stream_ = 0;
    std::uint64_t next_block_ = 0;  // number of the first block not yet made
};

}  // namespace jarn
