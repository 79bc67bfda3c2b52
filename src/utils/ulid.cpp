#include "ulid.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "chacha.hpp"
#include "random_chars.hpp"

namespace jarn {

namespace ulid_detail {
// Bumped in every child after fork, so that parent and child never share a key stream.
std::atomic<std::uint64_t> fork_generation{1};
}  // namespace ulid_detail

namespace {

constexpr char kCrockford[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
// Fresh key from the operating system after this many blocks (64 bytes each): 64 MiB of output.
constexpr std::uint64_t kReseedBlocks = 1u << 20;

using ulid_detail::fork_generation;

// The child's only thread is the one that forked: with its random characters all handed out, it
// makes new ones, from a generator seeded again for the new generation, before its next identifier.
void on_fork_child() {
    fork_generation.fetch_add(1, std::memory_order_relaxed);
    ulid_detail::identifier_text.used = ulid_detail::kPoolChars;
}

struct ThreadRng {
    ChaCha12Rng rng;
    std::uint64_t generation = 0;  // 0: never seeded
};

// initial-exec: a plain TLS offset instead of a __tls_get_addr call per identifier.
__attribute__((tls_model("initial-exec"))) thread_local ThreadRng thread_rng;

void fill_from_os(void* out, std::size_t n) {
    auto* p = static_cast<unsigned char*>(out);
    while (n > 0) {
        const ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            // No entropy source at all: fall back to the address-space and clock mix below
            // rather than stop the profiled program. Practically unreachable on Linux >= 3.17.
            break;
        }
        p += got;
        n -= std::size_t(got);
    }
    if (n > 0) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        std::uint64_t mix = std::uint64_t(ts.tv_nsec) ^ (std::uint64_t(ts.tv_sec) << 32) ^
                            reinterpret_cast<std::uintptr_t>(&thread_rng);
        for (std::size_t i = 0; i < n; ++i) {
            mix = mix * 6364136223846793005ULL + 1442695040888963407ULL;
            p[i] = static_cast<unsigned char>(mix >> 56);
        }
    }
}

void watch_forks() {
    static const bool atfork_registered = [] {
        pthread_atfork(nullptr, nullptr, on_fork_child);
        return true;
    }();
    (void)atfork_registered;
}

ChaCha12Rng& generator() {
    watch_forks();
    ThreadRng& t = thread_rng;
    const std::uint64_t gen = fork_generation.load(std::memory_order_relaxed);
    if (t.generation != gen || t.rng.blocks_used() >= kReseedBlocks) {
        std::array<std::uint32_t, 8> key;
        std::uint64_t stream;
        fill_from_os(key.data(), sizeof key);
        fill_from_os(&stream, sizeof stream);
        t.rng.seed(key, stream);
        t.generation = gen;
    }
    return t.rng;
}

}  // namespace

std::optional<double> timestamp_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec < 0) return std::nullopt;
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

std::uint64_t fork_generation_now() {
    watch_forks();
    return fork_generation.load(std::memory_order_relaxed);
}

Ulid make_ulid(std::uint64_t millis, std::uint16_t rand_high, std::uint64_t rand_low) {
    return Ulid{(millis << 16) | rand_high, rand_low};
}

void ulid_text(const Ulid& ulid, char out[26]) {
    // 130 bits of text for 128 bits of value: the first character carries the top 3 bits.
    out[0] = kCrockford[(ulid.high >> 61) & 0x7];
    for (int i = 1; i < 26; ++i) {
        const int shift = 125 - 5 * i;  // position of the group's lowest bit
        std::uint64_t group;
        if (shift >= 64) {
            group = ulid.high >> (shift - 64);
        } else if (shift > 59) {
            group = (ulid.high << (64 - shift)) | (ulid.low >> shift);
        } else {
            group = ulid.low >> shift;
        }
        out[i] = kCrockford[group & 0x1f];
    }
}

Identifier new_identifier(const char prefix[4]) { return new_identifier_at(prefix, realtime_ns()); }

void new_ulid_text_at(std::uint64_t unix_ns, char out[26]) { new_ulid_text_at_millis(unix_ns / 1000000, out); }

namespace ulid_detail {

constinit thread_local IdentifierText identifier_text;

void remake_time_text(std::uint64_t millis) {
    char full[26];
    ulid_text(make_ulid(millis, 0, 0), full);
    std::memcpy(identifier_text.time, full, 10);
    identifier_text.millis = millis;
}

void refill_random_text() {
    ChaCha12Rng& rng = generator();  // seeded again after a fork or when due
    static_assert(kPoolBlocks == ChaCha12Rng::kBlocksPerBatch, "the characters of one batch at a time");
    std::uint32_t words[ChaCha12Rng::kWordsPerBatch];
    rng.next_batch(words);
    random_chars(words, kPoolBlocks, identifier_text.random);
    identifier_text.used = 0;
}

}  // namespace ulid_detail

Identifier new_identifier_at(const char prefix[4], std::uint64_t unix_ns) {
    Identifier id;
    std::memcpy(id.data(), prefix, 4);
    new_ulid_text_at(unix_ns, id.data() + 4);
    return id;
}

}  // namespace jarn
