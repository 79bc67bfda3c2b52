// The random part of ULID texts, made from a generator's output many identifiers at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace jarn {

// Characters made from one block (16 words) of random output.
constexpr std::size_t kRandomCharsPerBlock = 96;

// Writes 96 characters of the ULID alphabet for each block of 16 words at `words`: one for each
// 5-bit field of bits 0-4, 5-9 and 10-14 of every 16-bit half (bit 15 is not used), so that each
// character carries 5 uniform random bits of its own. Their order within a block depends on the
// processor; a ULID's random part is any 16 of them.
void random_chars(const std::uint32_t* words, std::size_t blocks, char* out);
// The same without vector instructions, what processors without AVX2 get.
void random_chars_portable(const std::uint32_t* words, std::size_t blocks, char* out);

}  // namespace jarn
