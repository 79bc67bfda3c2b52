// Unit tests of the parts of the core that do not touch Python: the MessagePack writer, the
// ChaCha20 generator, ULID text, substring search, path prefixes and the record list.
// One executable, no framework: each CHECK counts, the last line says how many passed.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "../../src/profiler/record_list.hpp"
#include "../../src/utils/chacha20.hpp"
#include "../../src/utils/finder.hpp"
#include "../../src/utils/msgpack.hpp"
#include "../../src/utils/path_prefix.hpp"
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

Buffer bytes(std::initializer_list<int> values) {
    Buffer b;
    for (int v : values) b.push_back(std::uint8_t(v));
    return b;
}

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

void test_msgpack_ints() {
    struct Case {
        std::int64_t value;
        const char* expected;
    };
    const Case cases[] = {
        {0, "00"},
        {127, "7f"},
        {128, "cc80"},
        {255, "ccff"},
        {256, "cd0100"},
        {65535, "cdffff"},
        {65536, "ce00010000"},
        {4294967295LL, "ceffffffff"},
        {4294967296LL, "cf0000000100000000"},
        {-1, "ff"},
        {-32, "e0"},
        {-33, "d0df"},
        {-128, "d080"},
        {-129, "d1ff7f"},
        {-32768, "d18000"},
        {-32769, "d2ffff7fff"},
        {INT32_MIN, "d280000000"},
        {std::int64_t(INT32_MIN) - 1, "d3ffffffff7fffffff"},
        {INT64_MIN, "d38000000000000000"},
    };
    for (const Case& c : cases) {
        Buffer b;
        jarn::msgpack::write_int(b, c.value);
        if (hex(b) != c.expected) std::printf("  int %lld -> %s\n", (long long)c.value, hex(b).c_str());
        CHECK(hex(b) == c.expected);
    }
    Buffer b;
    jarn::msgpack::write_uint(b, UINT64_MAX);
    CHECK(hex(b) == "cfffffffffffffffff");
}

void test_msgpack_str_lengths() {
    const std::size_t lengths[] = {0, 31, 32, 255, 256, 65535, 65536};
    const char* headers[] = {"a0", "bf", "d920", "d9ff", "da0100", "daffff", "db00010000"};
    for (std::size_t i = 0; i < std::size(lengths); ++i) {
        const std::string s(lengths[i], 'x');
        Buffer b;
        jarn::msgpack::write_str(b, s);
        const std::string h = hex(b);
        const std::string header = headers[i];
        CHECK(h.compare(0, header.size(), header) == 0);
        CHECK(b.size() == header.size() / 2 + s.size());
    }
}

void test_msgpack_containers_and_scalars() {
    struct Case {
        std::size_t n;
        const char* map;
        const char* array;
    };
    const Case cases[] = {
        {0, "80", "90"},         {15, "8f", "9f"},           {16, "de0010", "dc0010"},
        {65535, "deffff", "dcffff"}, {65536, "df00010000", "dd00010000"},
    };
    for (const Case& c : cases) {
        Buffer m;
        Buffer a;
        jarn::msgpack::write_map_header(m, c.n);
        jarn::msgpack::write_array_header(a, c.n);
        CHECK(hex(m) == c.map);
        CHECK(hex(a) == c.array);
    }
    Buffer b;
    jarn::msgpack::write_nil(b);
    jarn::msgpack::write_true(b);
    jarn::msgpack::write_f64(b, 1.5);
    CHECK(hex(b) == "c0c3cb3ff8000000000000");
}

void test_msgpack_pairs() {
    Buffer b;
    jarn::msgpack::write_str_pair(b, "k", std::string_view("v"));
    jarn::msgpack::write_str_pair(b, "n", std::nullopt);
    jarn::msgpack::write_int_pair(b, "i", 300);
    jarn::msgpack::write_int_pair(b, "z", std::nullopt);
    CHECK(b == bytes({0xa1, 'k', 0xa1, 'v', 0xa1, 'n', 0xc0, 0xa1, 'i', 0xcd, 0x01, 0x2c, 0xa1, 'z', 0xc0}));

    Buffer raw = bytes({0x93, 1, 2, 3});
    Buffer out;
    jarn::msgpack::write_raw_pair(out, "arg", raw);
    CHECK(out == bytes({0xa3, 'a', 'r', 'g', 0x93, 1, 2, 3}));
    CHECK(raw.empty());

    Buffer site;
    jarn::msgpack::write_user_code_call_site(site, std::nullopt);
    Buffer expected;
    jarn::msgpack::write_str(expected, "user_code_call_site");
    expected.push_back(0xc0);
    CHECK(site == expected);

    site.clear();
    jarn::msgpack::write_user_code_call_site(site, jarn::msgpack::UserCodeCallSite{"frm_x", -1});
    expected.pop_back();
    expected.push_back(0x82);
    jarn::msgpack::write_str(expected, "call_frame_id");
    jarn::msgpack::write_str(expected, "frm_x");
    jarn::msgpack::write_str(expected, "line_number");
    expected.push_back(0xff);
    CHECK(site == expected);
}

// ---------------------------------------------------------------- ChaCha20

Buffer serialize(const std::array<std::uint32_t, 16>& words) {
    Buffer b;
    for (std::uint32_t w : words) {
        for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(w >> (8 * i)));
    }
    return b;
}

void test_chacha20_rfc8439_block() {
    // Section 2.3.2: key 00..1f, nonce 00:00:00:09:00:00:00:4a:00:00:00:00, counter 1.
    std::array<std::uint32_t, 8> key;
    for (int i = 0; i < 8; ++i) {
        key[i] = std::uint32_t(4 * i) | std::uint32_t(4 * i + 1) << 8 | std::uint32_t(4 * i + 2) << 16 |
                 std::uint32_t(4 * i + 3) << 24;
    }
    const std::array<std::uint32_t, 3> nonce = {0x09000000, 0x4a000000, 0x00000000};
    std::array<std::uint32_t, 16> out;
    jarn::chacha20_block(key, 1, nonce, out);
    CHECK(hex(serialize(out)) ==
          "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
          "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e");
}

void test_chacha20_rfc8439_appendix_a1() {
    const std::array<std::uint32_t, 8> zero_key{};
    const std::array<std::uint32_t, 3> zero_nonce{};
    std::array<std::uint32_t, 16> out;
    jarn::chacha20_block(zero_key, 0, zero_nonce, out);
    CHECK(hex(serialize(out)) ==
          "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
          "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586");
    jarn::chacha20_block(zero_key, 1, zero_nonce, out);
    CHECK(hex(serialize(out)) ==
          "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
          "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f");
}

void test_chacha20_stream() {
    const std::array<std::uint32_t, 8> zero_key{};
    jarn::ChaCha20Rng rng;
    rng.seed(zero_key, 0);
    // Stream 0 of the zero key is the A.1 keystream, word by word.
    CHECK(rng.next_u32() == 0xade0b876u);
    CHECK(rng.next_u32() == 0x903df1a0u);
    for (int i = 2; i < 16; ++i) rng.next_u32();
    CHECK(rng.next_u32() == 0xbee7079fu);  // first word of block 1
    CHECK(rng.blocks_used() == 2);

    jarn::ChaCha20Rng other;
    other.seed(zero_key, 1);
    CHECK(other.next_u32() != 0xade0b876u);
}

// ---------------------------------------------------------------- ULID

std::string text(const jarn::Ulid& u) {
    char out[26];
    jarn::ulid_text(u, out);
    return std::string(out, 26);
}

void test_ulid_text() {
    CHECK(text(jarn::make_ulid(0, 0, 0)) == "00000000000000000000000000");
    CHECK(text(jarn::make_ulid(0xffffffffffffULL, 0xffff, UINT64_MAX)) == "7ZZZZZZZZZZZZZZZZZZZZZZZZZ");
    CHECK(text(jarn::make_ulid(1, 0, 0)) == "00000000010000000000000000");
    CHECK(text(jarn::make_ulid(0, 0, 1)) == "00000000000000000000000001");
    CHECK(text(jarn::make_ulid(0, 0, 32)) == "00000000000000000000000010");
    // The 80 random bits start right after the 48 time bits: bit 79 is the top of rand_high.
    CHECK(text(jarn::make_ulid(0, 0x8000, 0)) == "0000000000G000000000000000");
    // A group that straddles the two 64-bit halves.
    CHECK(text(jarn::make_ulid(0, 1, 0x8000000000000000ULL)) == "0000000000000R000000000000");
    // Time beyond 48 bits keeps only its low bits.
    CHECK(text(jarn::make_ulid(1ULL << 48, 0, 0)) == "00000000000000000000000000");
}

void test_identifiers() {
    const std::string alphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        const jarn::Identifier id = jarn::frame_id();
        const std::string s(jarn::view(id));
        CHECK(s.size() == 30 && s.compare(0, 4, "frm_") == 0);
        bool ok = s[4] <= '7';
        for (std::size_t k = 4; k < s.size(); ++k) ok = ok && alphabet.find(s[k]) != std::string::npos;
        CHECK(ok);
        seen.insert(s);
    }
    CHECK(seen.size() == 2000);
    const std::string t(jarn::view(jarn::trace_id()));
    CHECK(t.compare(0, 4, "trc_") == 0);
    // Identifiers made now sort after one from 2020 by their time prefix.
    const std::string then = text(jarn::make_ulid(1577836800000ULL, 0, 0));
    CHECK(t.substr(4, 10) > then.substr(0, 10));
    const auto ts = jarn::timestamp_seconds();
    CHECK(ts.has_value() && *ts > 1577836800.0);
}

// ---------------------------------------------------------------- substring search and paths

void test_finder() {
    struct Case {
        const char* needle;
        const char* haystack;
        bool expected;
    };
    const Case cases[] = {
        {"", "", true},
        {"", "abc", true},
        {"a", "", false},
        {"/", "/usr/lib", true},
        {"x", "/usr/lib", false},
        {"site-packages", "/v/lib/python3.12/site-packages/a.py", true},
        {"site-packages", "/v/lib/python3.12/site-package/a.py", false},
        {"abcd", "abc", false},
        {"aab", "aaab", true},
    };
    for (const Case& c : cases) CHECK(jarn::Finder(c.needle).occurs_in(c.haystack) == c.expected);
    // Embedded NULs are ordinary bytes.
    const std::string hay("a\0b\0c", 5);
    CHECK(jarn::Finder(std::string_view("\0c", 2)).occurs_in(hay));
    CHECK(jarn::starts_with("<frozen os>", "<frozen "));
    CHECK(!jarn::starts_with("<fro", "<frozen "));
    CHECK(jarn::ends_with("/x/attr/_make.py", "attr/_make.py"));
    CHECK(!jarn::ends_with("make.py", "attr/_make.py"));
}

void test_strip_dir_prefix() {
    struct Case {
        const char* path;
        const char* dir;
        const char* expected;
    };
    const Case cases[] = {
        {"/home/u/app/main.py", "/home/u/app", "main.py"},
        {"/home/u/app/main.py", "/home/u/app/", "main.py"},
        {"/home/u/app/pkg/m.py", "/home/u/app", "pkg/m.py"},
        {"/home/u/application/m.py", "/home/u/app", "/home/u/application/m.py"},
        {"/home/u//app/./m.py", "/home/u/app", "m.py"},
        {"/other/m.py", "/home/u/app", "/other/m.py"},
        {"rel/m.py", "/home/u/app", "rel/m.py"},
        {"/m.py", "/", "m.py"},
        {"<string>", "/home/u", "<string>"},
        {"/home/u/app", "/home/u/app", ""},
    };
    for (const Case& c : cases) {
        const std::string_view got = jarn::strip_dir_prefix(c.path, c.dir);
        if (got != c.expected) std::printf("  strip(%s, %s) -> %.*s\n", c.path, c.dir, int(got.size()), got.data());
        CHECK(got == c.expected);
    }
}

// ---------------------------------------------------------------- record list

Buffer record(std::size_t n, std::uint8_t fill) { return Buffer(n, fill); }

void test_record_list() {
    jarn::RecordList list;
    Buffer out;
    list.write_array(out);
    CHECK(out == bytes({0x90}));

    // Enough records to cross several chunk boundaries, and one larger than any chunk.
    Buffer expected_body;
    std::size_t total = 0;
    for (int i = 0; i < 20000; ++i) {
        const Buffer r = record(100 + i % 50, std::uint8_t(i));
        list.append(r);
        expected_body.insert(expected_body.end(), r.begin(), r.end());
        total += r.size();
    }
    const Buffer huge = record(3 << 20, 0xab);
    list.append(huge);
    expected_body.insert(expected_body.end(), huge.begin(), huge.end());
    total += huge.size();

    CHECK(list.count() == 20001);
    CHECK(list.byte_size() == total);
    CHECK(list.reserved_bytes() >= total);
    out.clear();
    list.write_array(out);
    Buffer expected = bytes({0xdc, 0x4e, 0x21});
    expected.insert(expected.end(), expected_body.begin(), expected_body.end());
    CHECK(out == expected);
}

void test_record_list_prepend() {
    jarn::RecordList later;
    later.append(bytes({0x01}));
    later.append(bytes({0x02}));
    jarn::RecordList earlier;
    earlier.append(bytes({0xa1, 'x'}));
    later.prepend(std::move(earlier));
    CHECK(earlier.empty());
    CHECK(later.count() == 3);
    Buffer out;
    later.write_array(out);
    CHECK(out == bytes({0x93, 0xa1, 'x', 0x01, 0x02}));

    jarn::RecordList empty;
    later.prepend(std::move(empty));
    CHECK(later.count() == 3);

    jarn::RecordList target;
    jarn::RecordList source;
    source.append(bytes({0x07}));
    target.prepend(std::move(source));
    target.append(bytes({0x08}));
    out.clear();
    target.write_array(out);
    CHECK(out == bytes({0x92, 0x07, 0x08}));
}

}  // namespace

int main() {
    test_msgpack_ints();
    test_msgpack_str_lengths();
    test_msgpack_containers_and_scalars();
    test_msgpack_pairs();
    test_chacha20_rfc8439_block();
    test_chacha20_rfc8439_appendix_a1();
    test_chacha20_stream();
    test_ulid_text();
    test_identifiers();
    test_finder();
    test_strip_dir_prefix();
    test_record_list();
    test_record_list_prepend();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
