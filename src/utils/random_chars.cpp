#include "random_chars.hpp"

#include <immintrin.h>

#include <cstring>

namespace jarn {
namespace {

constexpr char kCrockford[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

}  // namespace

void random_chars_portable(const std::uint32_t* words, std::size_t blocks, char* out) {
    for (std::size_t i = 0; i < 32 * blocks; ++i) {
        std::uint16_t half;
        std::memcpy(&half, reinterpret_cast<const char*>(words) + 2 * i, 2);
        *out++ = kCrockford[half & 31];
        *out++ = kCrockford[(half >> 5) & 31];
        *out++ = kCrockford[(half >> 10) & 31];
    }
}

namespace {

// The alphabet's character for each byte of 0 to 31: its low four bits pick one of sixteen from
// either half of the alphabet, bit 4 says which half.
[[gnu::target("avx2")]] inline __m256i crockford(__m256i v) {
    const __m256i low = _mm256_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F',
                                         '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F');
    const __m256i high = _mm256_setr_epi8('G', 'H', 'J', 'K', 'M', 'N', 'P', 'Q', 'R', 'S', 'T', 'V', 'W', 'X', 'Y', 'Z',
                                          'G', 'H', 'J', 'K', 'M', 'N', 'P', 'Q', 'R', 'S', 'T', 'V', 'W', 'X', 'Y', 'Z');
    const __m256i in_high = _mm256_cmpgt_epi8(v, _mm256_set1_epi8(15));
    return _mm256_blendv_epi8(_mm256_shuffle_epi8(low, v), _mm256_shuffle_epi8(high, v), in_high);
}

[[gnu::target("avx2")]] void random_chars_avx2(const std::uint32_t* words, std::size_t blocks, char* out) {
    const __m256i five_bits = _mm256_set1_epi16(31);
    for (std::size_t b = 0; b < blocks; ++b) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + 16 * b));
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + 16 * b + 8));
        // Each 16-bit lane's fields, packed two vectors to one (the packing interleaves the lanes).
        const __m256i first = _mm256_packus_epi16(_mm256_and_si256(x, five_bits), _mm256_and_si256(y, five_bits));
        const __m256i second = _mm256_packus_epi16(_mm256_and_si256(_mm256_srli_epi16(x, 5), five_bits),
                                                   _mm256_and_si256(_mm256_srli_epi16(y, 5), five_bits));
        const __m256i third = _mm256_packus_epi16(_mm256_and_si256(_mm256_srli_epi16(x, 10), five_bits),
                                                  _mm256_and_si256(_mm256_srli_epi16(y, 10), five_bits));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), crockford(first));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), crockford(second));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 64), crockford(third));
        out += kRandomCharsPerBlock;
    }
}

const bool has_avx2 = [] {
    __builtin_cpu_init();  // this runs among the static constructors, perhaps before libgcc's
    return __builtin_cpu_supports("avx2") != 0;
}();

}  // namespace

void random_chars(const std::uint32_t* words, std::size_t blocks, char* out) {
    (has_avx2 ? random_chars_avx2 : random_chars_portable)(words, blocks, out);
}

}  // namespace jarn
