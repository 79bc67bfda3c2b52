#include "signals.hpp"

#include <Python.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace jarn::process {
namespace {

static_assert(std::atomic<int>::is_always_lock_free, "the signal handlers need a lock-free int");

std::atomic<int> arrived{0};
// The process it arrived in: a signal sent to a forked child as soon as its pid is known may
// reach it before the fork's own handlers run in it (after_fork_in_child).
std::atomic<pid_t> arrived_in{0};
std::atomic<int> carrier{0};
// The thread that runs Python's signal handlers: the one that caught the signals, and in a
// forked child the thread that forked, as for the interpreter.
pthread_t main_thread;
std::atomic<pid_t> main_tid{0};

// The interpreter runs a tripped handler at its next check, which a main thread that was about
// to block (a lock, a read) may not make for a long time: until Python takes the signal, a timer
// interrupts the main thread with the carrier every kNudgeNs, and after kNudges the process ends
// by the default action after all. Raw system calls: they are safe in a signal handler, and the
// timer is made there, in the process the signal reached (a timer is not inherited by fork).
constexpr long kNudgeNs = 10'000'000;
constexpr int kNudges = 300;
std::atomic<int> nudges{0};
std::atomic<bool> nudging{false};
std::atomic<pid_t> timer_process{0};
int timer_id = 0;

void end_by(int signum) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signum, &action, nullptr);
    // Blocked while this handler runs: delivered, by the default action, once it returns.
    raise(signum);
}

void arm_nudges() {
    const pid_t self = getpid();
    if (timer_process.load() != self) {
        struct sigevent event {};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = carrier.load();
        event._sigev_un._tid = main_tid.load();
        int id = 0;
        if (syscall(SYS_timer_create, CLOCK_MONOTONIC, &event, &id) != 0) return;
        timer_id = id;
        timer_process.store(self);
    }
    struct itimerspec every {};
    every.it_value.tv_nsec = kNudgeNs;
    every.it_interval.tv_nsec = kNudgeNs;
    syscall(SYS_timer_settime, timer_id, 0, &every, nullptr);
}

// Only async-signal-safe calls in the handlers.
extern "C" void on_signal(int signum) {
    const int saved_errno = errno;
    if (!pthread_equal(pthread_self(), main_thread)) {
        // Handlers run on the main thread, whose blocking call (a join, a sleep) might otherwise
        // go on for ever: it is interrupted by the same signal, handled there.
        pthread_kill(main_thread, signum);
    } else {
        int none = 0;
        const int through = carrier.load();
        if (!arrived.compare_exchange_strong(none, signum) || through == 0 || PyErr_SetInterruptEx(through) != 0) {
            end_by(signum);
        } else {
            arrived_in.store(getpid());
            main_tid.store(pid_t(syscall(SYS_gettid)));  // before a fork's handlers have said so
            nudges.store(0);
            nudging.store(true);
            arm_nudges();
        }
    }
    errno = saved_errno;
}

// The carrier's own disposition: ours interrupt the main thread and trip the handler again (the
// interpreter forgets a tripped handler in a forked child); one sent by anyone else gets the
// default action, as without us.
extern "C" void on_carrier(int signum) {
    const int saved_errno = errno;
    if (!nudging.load()) {
        if (arrived.load() == 0) end_by(signum);
    } else if (nudges.fetch_add(1) >= kNudges) {
        end_by(arrived.load());
    } else {
        PyErr_SetInterruptEx(signum);
    }
    errno = saved_errno;
}

bool set_disposition(int signum, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    // As Python's own handlers: a blocking call is interrupted, not restarted.
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    return sigaction(signum, &action, nullptr) == 0;
}

void after_fork_in_child() {
    main_thread = pthread_self();
    main_tid.store(pid_t(syscall(SYS_gettid)));
    if (arrived_in.load() == getpid()) return;  // this child's own: it is still to be handled
    arrived.store(0);
    nudging.store(false);
}

void note_main_thread() {
    static const bool watching_forks = [] {
        pthread_atfork(nullptr, nullptr, after_fork_in_child);
        return true;
    }();
    (void)watching_forks;
    main_thread = pthread_self();
    main_tid.store(pid_t(syscall(SYS_gettid)));
}

bool handled_by(int signum, void (*handler)(int)) {
    struct sigaction current {};
    return sigaction(signum, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) && current.sa_handler == handler;
}

}  // namespace

bool catch_signal(int signum) {
    note_main_thread();
    struct sigaction current {};
    if (sigaction(signum, nullptr, &current) != 0) return false;
    if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO)) return true;  // not the default: not ours
    return set_disposition(signum, on_signal);
}

bool is_caught(int signum) { return handled_by(signum, on_signal); }

void release_signal(int signum) {
    if (is_caught(signum)) set_disposition(signum, SIG_DFL);
}

bool set_carrier(int signum) {
    const int previous = carrier.exchange(signum);
    // Left as it is when the program has since given it a handler of its own.
    if (previous != 0 && previous != signum && handled_by(previous, on_carrier)) set_disposition(previous, SIG_DFL);
    if (signum == 0) return true;
    note_main_thread();
    timer_process.store(0);  // made again for this carrier when needed
    return set_disposition(signum, on_carrier);
}

int take_signal() {
    if (nudging.exchange(false) && timer_process.load() == getpid()) {
        struct itimerspec stop {};
        syscall(SYS_timer_settime, timer_id, 0, &stop, nullptr);
    }
    return arrived.load();
}

}  // namespace jarn::process
