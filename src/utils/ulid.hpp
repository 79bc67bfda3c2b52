// Wall-clock time, ULIDs and the identifiers made from them.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>
#include <string_view>

#include "random_chars.hpp"

namespace jarn {

struct Ulid {
    std::uint64_t high;
    std::uint64_t low;
};

// Frame and trace identifiers: a four-character prefix and the 26-character ULID text.
using Identifier = std::array<char, 30>;

inline std::string_view view(const Identifier& id) { return {id.data(), id.size()}; }

// Seconds since the Unix epoch, or nothing when the clock reads before it.
std::optional<double> timestamp_seconds();
// The same clock in nanoseconds since the epoch (0 before it), and as seconds from that reading.
inline std::uint64_t realtime_ns() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec < 0 ? 0 : std::uint64_t(ts.tv_sec) * 1000000000 + std::uint64_t(ts.tv_nsec);
}
inline double seconds_of(std::uint64_t ns) { return double(ns / 1000000000) + double(ns % 1000000000) / 1e9; }
// One reading of the same clock kept as the system gives it, for a caller that needs both its
// seconds and its milliseconds: false when it reads before the epoch.
struct WallTime {
    std::uint64_t seconds;
    std::uint32_t nanoseconds;
};
inline bool wall_time(WallTime& out) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    out = {std::uint64_t(ts.tv_sec), std::uint32_t(ts.tv_nsec)};
    return ts.tv_sec >= 0;
}
// As seconds_of and the milliseconds of a ULID give them for that reading in nanoseconds.
inline double seconds_of(const WallTime& t) { return double(t.seconds) + double(t.nanoseconds) / 1e9; }
inline std::uint64_t millis_of(const WallTime& t) { return t.seconds * 1000 + t.nanoseconds / 1000000; }

// Builds a ULID from its parts; the time keeps only its low 48 bits.
Ulid make_ulid(std::uint64_t millis, std::uint16_t rand_high, std::uint64_t rand_low);
// The canonical 26-character Crockford base-32 text, most significant bits first.
void ulid_text(const Ulid& ulid, char out[26]);

namespace ulid_detail {
extern std::atomic<std::uint64_t> fork_generation;

// The characters of the thread's identifiers: the ten of a ULID text that carry the time, for
// the last millisecond an identifier was made in on this thread (identifiers come many to a
// millisecond), and the random characters of its next identifiers, made from a batch of the
// thread's generator at a time (48 identifiers), so that an identifier takes its 16 with one copy.
constexpr std::size_t kPoolBlocks = 8;
constexpr std::size_t kPoolChars = kPoolBlocks * kRandomCharsPerBlock;
static_assert(kPoolChars % 16 == 0);
struct IdentifierText {
    std::uint64_t millis = ~std::uint64_t(0);
    char time[10] = {};
    std::size_t used = kPoolChars;  // random characters handed out; all of them after a fork
    char random[kPoolChars] = {};
};
// initial-exec: a plain offset from the thread pointer instead of a __tls_get_addr call.
extern constinit __attribute__((tls_model("initial-exec"))) thread_local IdentifierText identifier_text;
void remake_time_text(std::uint64_t millis);
[[gnu::noinline]] void refill_random_text();
}  // namespace ulid_detail

// The 26 characters of a new ULID's text for a time in milliseconds since the epoch, at `out`: the
// first ten are exactly the 48 time bits, the other sixteen the 80 random ones.
inline void new_ulid_text_at_millis(std::uint64_t millis, char out[26]) {
    using namespace ulid_detail;
    IdentifierText& text = identifier_text;
    if (text.millis != millis) [[unlikely]] remake_time_text(millis);
    std::memcpy(out, text.time, 10);
    if (text.used == kPoolChars) [[unlikely]] refill_random_text();
    std::memcpy(out + 10, text.random + text.used, 16);
    text.used += 16;
}

Identifier new_identifier(const char prefix[4]);
// An identifier whose time part is that of `unix_ns` (realtime_ns()), for a caller that has just
// read the clock.
Identifier new_identifier_at(const char prefix[4], std::uint64_t unix_ns);
// The 26 characters of a new ULID's text for that time, written at `out`.
void new_ulid_text_at(std::uint64_t unix_ns, char out[26]);
inline Identifier frame_id() { return new_identifier("frm_"); }
inline Identifier frame_id_at(std::uint64_t unix_ns) { return new_identifier_at("frm_", unix_ns); }
// frame_id_at(unix_ns) written at `out` (30 characters), for a record that holds its place.
inline void frame_id_text_at(std::uint64_t unix_ns, char out[30]) {
    std::memcpy(out, "frm_", 4);
    new_ulid_text_at(unix_ns, out + 4);
}
inline void frame_id_text_at(const WallTime& now, char out[30]) {
    std::memcpy(out, "frm_", 4);
    new_ulid_text_at_millis(millis_of(now), out + 4);
}
inline Identifier trace_id() { return new_identifier("trc_"); }

// Counts the forks this process descends from (1 in the original process), so that state
// inherited from a parent can be told apart. Counting starts with the first call.
std::uint64_t fork_generation_now();

// fork_generation_now() for a caller that has called it once before: read at every event.
inline std::uint64_t fork_generation_counted() { return ulid_detail::fork_generation.load(std::memory_order_relaxed); }

}  // namespace jarn
