#include "own_clock.hpp"

#include <cstdio>
#include <cstring>

namespace jarn::own_clock {

namespace detail {
bool use_counter = false;
}  // namespace detail

namespace {

// Whether the kernel's own clock runs on the time-stamp counter: it checks that the counter is
// invariant and synchronised between cores before it uses it, and stops using it (another
// clocksource then shows here) when it finds it is not.
bool kernel_clock_is_counter() {
    std::FILE* f = std::fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "r");
    if (f == nullptr) return false;
    char name[32] = {};
    const bool read = std::fgets(name, sizeof name, f) != nullptr;
    std::fclose(f);
    return read && std::strcmp(name, "tsc\n") == 0;
}

}  // namespace

void init() {
#if defined(JARN_OWN_CLOCK_TSC)
    detail::use_counter = kernel_clock_is_counter();
#endif
}

Reading reading() {
    Reading r;
    r.ticks = now();
    r.ns = monotonic_ns();
    return r;
}

double ns_per_tick(const Reading& from, const Reading& to) {
    if (!detail::use_counter || to.ticks <= from.ticks || to.ns <= from.ns) return 1.0;
    return double(to.ns - from.ns) / double(to.ticks - from.ticks);
}

}  // namespace jarn::own_clock
