// Unit tests of the core's parts whose exact output matters and that need no Python: the
// MessagePack writer, byte for byte, and the ChaCha generator against RFC 8439 and ChaCha12's keystream.
// One executable, no framework: each CHECK counts, the last line says how many passed.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "../../src/utils/chacha.hpp"
#include "../../src/utils/random_chars.hpp"
#include "../../src/utils/msgpack.hpp"
#include "../../src/utils/record_layout.hpp"
#include "../../src/utils/ulid.hpp"

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const char* what, const char* file, int line) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAIL %s:%d: %s\n", file, line, what);
    }
}

#define CHECK(cond) check((cond), #cond, __FILE__, __LINE__)

using jarn::msgpack::Buffer;
namespace mp = jarn::msgpack;

std::string hex(const Buffer& b) {
    std::string out;
    char tmp[3];
    for (std::uint8_t c : b) {
        std::snprintf(tmp, sizeof tmp, "%02x", c);
        out += tmp;
    }
    return out;
}

// ---------------------------------------------------------------- MessagePack writer

struct Written {
    void (*write)(Buffer&);
    const char* expected;  // hex
};

const Written kWritten[] = {
    {[](Buffer& b) { mp::write_int(b, 0); }, "00"},
    {[](Buffer& b) { mp::write_int(b, 127); }, "7f"},
    {[](Buffer& b) { mp::write_int(b, 128); }, "cc80"},
    {[](Buffer& b) { mp::write_int(b, 255); }, "ccff"},
    {[](Buffer& b) { mp::write_int(b, 256); }, "cd0100"},
    {[](Buffer& b) { mp::write_int(b, 65535); }, "cdffff"},
    {[](Buffer& b) { mp::write_int(b, 65536); }, "ce00010000"},
    {[](Buffer& b) { mp::write_int(b, 4294967295LL); }, "ceffffffff"},
    {[](Buffer& b) { mp::write_int(b, 4294967296LL); }, "cf0000000100000000"},
    {[](Buffer& b) { mp::write_uint(b, UINT64_MAX); }, "cfffffffffffffffff"},
    {[](Buffer& b) { mp::write_int(b, -1); }, "ff"},
    {[](Buffer& b) { mp::write_int(b, -32); }, "e0"},
    {[](Buffer& b) { mp::write_int(b, -33); }, "d0df"},
    {[](Buffer& b) { mp::write_int(b, -128); }, "d080"},
    {[](Buffer& b) { mp::write_int(b, -129); }, "d1ff7f"},
    {[](Buffer& b) { mp::write_int(b, -32768); }, "d18000"},
    {[](Buffer& b) { mp::write_int(b, -32769); }, "d2ffff7fff"},
    {[](Buffer& b) { mp::write_int(b, INT32_MIN); }, "d280000000"},
    {[](Buffer& b) { mp::write_int(b, std::int64_t(INT32_MIN) - 1); }, "d3ffffffff7fffffff"},
    {[](Buffer& b) { mp::write_int(b, INT64_MIN); }, "d38000000000000000"},
    {[](Buffer& b) { mp::write_map_header(b, 0); mp::write_array_header(b, 0); }, "8090"},
    {[](Buffer& b) { mp::write_map_header(b, 15); mp::write_array_header(b, 15); }, "8f9f"},
    {[](Buffer& b) { mp::write_map_header(b, 16); mp::write_array_header(b, 16); }, "de0010dc0010"},
    {[](Buffer& b) { mp::write_map_header(b, 65535); mp::write_array_header(b, 65535); }, "deffffdcffff"},
    {[](Buffer& b) { mp::write_map_header(b, 65536); mp::write_array_header(b, 65536); }, "df00010000dd00010000"},
    {[](Buffer& b) { mp::write_nil(b); mp::write_true(b); mp::write_f64(b, 1.5); }, "c0c3cb3ff8000000000000"},
    {[](Buffer& b) { mp::write_f64_pair(b, -2.0); }, "a974696d657374616d70cbc000000000000000"},
    {[](Buffer& b) { mp::write_str_pair(b, "k", std::string_view("v")); mp::write_str_pair(b, "n", std::nullopt); }, "a16ba176a16ec0"},
    {[](Buffer& b) { mp::write_int_pair(b, "i", 300); mp::write_int_pair(b, "z", std::nullopt); }, "a169cd012ca17ac0"},
    {[](Buffer& b) { mp::write_raw_pair(b, "arg", std::string_view("\x93\x01\x02\x03", 4)); }, "a3617267" "93010203"},
    {[](Buffer& b) { jarn::records::write_user_code_call_site(b, nullptr); }, "b3757365725f636f64655f63616c6c5f73697465" "c0"},
    {[](Buffer& b) {
         jarn::records::CallSite site{{}, -1};
         std::memcpy(site.call_frame_id.data(), "frm_0123456789ABCDEFGHJKMNPQRS", 30);
         jarn::records::write_user_code_call_site(b, &site);
     },
     "b3757365725f636f64655f63616c6c5f73697465" "82" "ad63616c6c5f6672616d655f6964" "be"
     "66726d5f3031323334353637383941424344454647484a4b4d4e50515253" "ab6c696e655f6e756d626572" "ff"},
};

void test_msgpack_writer() {
    for (const Written& w : kWritten) {
        Buffer b;
        w.write(b);
        if (hex(b) != w.expected) std::printf("  wrote %s, not %s\n", hex(b).c_str(), w.expected);
        CHECK(hex(b) == w.expected);
    }
    // The raw value is moved in: the source is left empty.
    Buffer raw = {0x93, 1, 2, 3};
    Buffer out;
    mp::write_raw_pair(out, "arg", raw);
    CHECK(hex(out) == "a361726793010203" && raw.empty());
    // The string header by length: fixstr, str8, str16, str32.
    const std::size_t lengths[] = {0, 31, 32, 255, 256, 65535, 65536};
    const std::string_view headers[] = {"a0", "bf", "d920", "d9ff", "da0100", "daffff", "db00010000"};
    for (std::size_t i = 0; i < std::size(lengths); ++i) {
        Buffer b;
        mp::write_str(b, std::string(lengths[i], 'x'));
        CHECK(hex(b).substr(0, headers[i].size()) == headers[i] && b.size() == headers[i].size() / 2 + lengths[i]);
    }
}

// ---------------------------------------------------------------- ChaCha20

std::string words_hex(const std::array<std::uint32_t, 16>& words) {
    Buffer b;
    for (std::uint32_t w : words) {
        for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(w >> (8 * i)));
    }
    return hex(b);
}

// A plain ChaCha block of any even number of rounds, the block number in the counter word and
// the first nonce word, the stream in the other two, written as RFC 8439 section 2.3 says.
std::array<std::uint32_t, 16> reference_block(int rounds, const std::array<std::uint32_t, 8>& key,
                                              std::uint64_t block, std::uint64_t stream) {
    std::array<std::uint32_t, 16> x = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
                                       key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
                                       std::uint32_t(block), std::uint32_t(block >> 32),
                                       std::uint32_t(stream), std::uint32_t(stream >> 32)};
    const std::array<std::uint32_t, 16> start = x;
    const auto rotl = [](std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); };
    const auto quarter = [&](int a, int b, int c, int d) {
        x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 16);
        x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 12);
        x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 8);
        x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 7);
    };
    for (int i = 0; i < rounds; i += 2) {
        quarter(0, 4, 8, 12); quarter(1, 5, 9, 13); quarter(2, 6, 10, 14); quarter(3, 7, 11, 15);
        quarter(0, 5, 10, 15); quarter(1, 6, 11, 12); quarter(2, 7, 8, 13); quarter(3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) x[i] += start[i];
    return x;
}

void test_chacha20_rfc8439() {
    std::array<std::uint32_t, 8> counting_key;  // 00:01:02:...:1f
    for (std::uint32_t i = 0; i < 8; ++i) counting_key[i] = (4 * i) | (4 * i + 1) << 8 | (4 * i + 2) << 16 | (4 * i + 3) << 24;
    const std::array<std::uint32_t, 8> zero_key{};
    struct Vector {
        const std::array<std::uint32_t, 8>* key;
        std::uint32_t counter;
        std::array<std::uint32_t, 3> nonce;
        const char* block;
    };
    const Vector vectors[] = {
        // Section 2.3.2.
        {&counting_key, 1, {0x09000000, 0x4a000000, 0},
         "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
         "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"},
        // Appendix A.1, test vectors 1 and 2.
        {&zero_key, 0, {0, 0, 0},
         "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
         "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
        {&zero_key, 1, {0, 0, 0},
         "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
         "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"},
    };
    for (const Vector& v : vectors) {
        std::array<std::uint32_t, 16> out;
        jarn::chacha20_block(*v.key, v.counter, v.nonce, out);
        CHECK(words_hex(out) == v.block);
    }
    // The generator's 12 rounds, against the reference below (itself checked against the RFC's
    // 20-round vector and the published 12-round keystream of the zero key and nonce), for every
    // batch maker the processor can run: word i of block first + b at 8 * i + b, and the block
    // number's high word in the nonce, carried where the low word wraps within a batch.
    CHECK(words_hex(reference_block(20, zero_key, 1, 0)) == vectors[2].block);
    CHECK(words_hex(reference_block(12, zero_key, 0, 0)) ==
          "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
          "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be");
    const std::array<std::uint32_t, 8> key = {1, 2, 3, 4, 5, 6, 7, 0x80000000u};
    const auto batch_is_reference = [&](const std::uint32_t* words, std::uint64_t first, std::uint64_t stream) {
        bool same = true;
        for (unsigned b = 0; b < jarn::kChaChaBatchBlocks; ++b) {
            const std::array<std::uint32_t, 16> block = reference_block(12, key, first + b, stream);
            for (unsigned i = 0; i < 16; ++i) same = same && words[jarn::kChaChaBatchBlocks * i + b] == block[i];
        }
        return same;
    };
    for (jarn::ChaChaIsa isa : {jarn::ChaChaIsa::sse2, jarn::ChaChaIsa::avx2}) {
        if (!jarn::chacha_isa_available(isa)) continue;
        for (std::uint64_t first : {std::uint64_t(0), std::uint64_t(0x1fffffffa)}) {
            std::uint32_t words[16 * jarn::kChaChaBatchBlocks];
            jarn::chacha12_blocks(isa, key, 0x0123456789abcdefULL, first, words);
            CHECK(batch_is_reference(words, first, 0x0123456789abcdefULL));
        }
    }
    // The generator hands out consecutive batches, and counts the blocks it has handed out.
    jarn::ChaCha12Rng rng;
    rng.seed(key, 0x0123456789abcdefULL);
    std::uint32_t words[jarn::ChaCha12Rng::kWordsPerBatch];
    for (std::uint64_t batch = 0; batch < 3; ++batch) {
        rng.next_batch(words);
        CHECK(batch_is_reference(words, batch * jarn::kChaChaBatchBlocks, 0x0123456789abcdefULL));
        CHECK(rng.blocks_used() == (batch + 1) * jarn::kChaChaBatchBlocks);
    }
    rng.seed(key, 0x0123456789abcdeeULL);
    rng.next_batch(words);
    CHECK(rng.blocks_used() == jarn::kChaChaBatchBlocks && batch_is_reference(words, 0, 0x0123456789abcdeeULL));
}

// Random characters from blocks of words: each 5-bit field of bits 0-4, 5-9 and 10-14 of every
// 16-bit half gives exactly one character, the alphabet's for its value, whichever way they are made.
void test_ulid_random_chars() {
    const std::string_view alphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
    for (auto make : {jarn::random_chars, jarn::random_chars_portable}) {
        std::uint32_t mix = 12345;
        for (int pattern = 0; pattern < 6; ++pattern) {
            {
                // First every value in every field of each block (bit 15 set or not), then
                // arbitrary halves, whose fields differ, so that a field read twice shows.
                std::uint16_t halves[64];
                for (int j = 0; j < 64; ++j) {
                    mix = mix * 1664525u + 1013904223u;
                    const int a = j % 32, b = (j + 7) % 32, c = (31 - j % 32 + 3) % 32;
                    halves[j] = pattern < 2 ? std::uint16_t((pattern << 15) | a | (b << 5) | (c << 10))
                                            : std::uint16_t(mix >> 16);
                }
                std::uint32_t words[32];
                std::memcpy(words, halves, sizeof words);
                char out[2 * jarn::kRandomCharsPerBlock];
                make(words, 2, out);
                bool same = true;
                for (int block = 0; block < 2; ++block) {
                    int expected[32] = {}, got[32] = {};
                    for (int j = 32 * block; j < 32 * block + 32; ++j) {
                        for (int s = 0; s < 15; s += 5) ++expected[(halves[j] >> s) & 31];
                    }
                    for (std::size_t k = 0; k < jarn::kRandomCharsPerBlock; ++k) {
                        const std::size_t value = alphabet.find(out[block * jarn::kRandomCharsPerBlock + k]);
                        if (value == std::string_view::npos) same = false; else ++got[value];
                    }
                    for (int v = 0; v < 32; ++v) same = same && expected[v] == got[v];
                }
                CHECK(same);
            }
        }
    }
}

}  // namespace

int main() {
    test_msgpack_writer();
    test_chacha20_rfc8439();
    test_ulid_random_chars();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
