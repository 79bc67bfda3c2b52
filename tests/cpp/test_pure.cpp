// Unit tests of the core's parts whose exact output matters and that need no Python: the
// MessagePack writer, byte for byte, and the ChaCha20 generator against RFC 8439.
// One executable, no framework: each CHECK counts, the last line says how many passed.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "../../src/utils/chacha20.hpp"
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
    // The generator on stream 0 of the zero key gives the A.1 keystream, word by word, block after block.
    jarn::ChaCha20Rng rng;
    rng.seed(zero_key, 0);
    std::array<std::uint32_t, 16> first;
    for (std::uint32_t& w : first) w = rng.next_u32();
    CHECK(words_hex(first) == vectors[1].block);
    CHECK(rng.next_u32() == 0xbee7079fu && rng.blocks_used() == 2);
    // Across refills, every block is the block function's for its counter (the counter's high
    // word and the stream in the nonce).
    jarn::ChaCha20Rng many;
    const std::array<std::uint32_t, 8> key = {1, 2, 3, 4, 5, 6, 7, 0x80000000u};
    many.seed(key, 0x0123456789abcdefULL);
    for (std::uint32_t block = 0; block < 3 * jarn::ChaCha20Rng::kBlocksPerRefill + 1; ++block) {
        std::array<std::uint32_t, 16> expected, got;
        jarn::chacha20_block(key, block, {0, 0x89abcdefu, 0x01234567u}, expected);
        for (std::uint32_t& w : got) w = many.next_u32();
        CHECK(got == expected);
    }
    jarn::ChaCha20Rng other;
    other.seed(zero_key, 1);
    CHECK(other.next_u32() != 0xade0b876u);
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
