// The clock of jarn's own time: read at the start and end of every event, so it must cost less
// than the wall clock. Where the kernel keeps its own clock with the processor's time-stamp
// counter (clocksource "tsc": invariant, in step on every core), the counter is read directly and
// its ticks are turned into nanoseconds when the notes are written, at the rate measured against
// CLOCK_MONOTONIC since profiling began; elsewhere it reads CLOCK_MONOTONIC in nanoseconds.
#pragma once

#include <cstdint>
#include <ctime>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define JARN_OWN_CLOCK_TSC 1
#endif

namespace jarn::own_clock {

namespace detail {
extern bool use_counter;  // set once, before any profiler runs
}  // namespace detail

// Chooses the clock; called once at module initialisation.
void init();

inline std::uint64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec);
}

// The clock's reading, in its own units (ticks).
inline std::uint64_t now() {
#if defined(JARN_OWN_CLOCK_TSC)
    if (detail::use_counter) return __rdtsc();
#endif
    return monotonic_ns();
}

// Ticks in which at most a millisecond passes: a millisecond of a counter of 1 GHz, slower than any
// time-stamp counter runs (a faster one makes the span shorter).
inline constexpr std::uint64_t kMillisecondAtMost = 1000000;

// A reading of the clock and of CLOCK_MONOTONIC together: two of them give the rate.
struct Reading {
    std::uint64_t ticks = 0;
    std::uint64_t ns = 0;
};
Reading reading();

// Nanoseconds per tick between two readings (1 when the clock counts nanoseconds itself).
double ns_per_tick(const Reading& from, const Reading& to);

}  // namespace jarn::own_clock
