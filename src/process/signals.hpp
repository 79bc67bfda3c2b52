// Ending signals caught below the `signal` module, so that a program that installs, restores or
// queries handlers, or calls interrupt_main, sees exactly what it would without us.
//
// Python's handler table keeps saying SIG_DFL for a caught signal; only the operating system's
// disposition is ours. A real delivery is noted here and handed to the interpreter through a
// carrier signal whose Python handler is the host's: PyErr_SetInterruptEx is async-signal-safe
// where nothing else that makes the main thread run Python code is. Should the main thread not
// get to it within a few seconds, the process ends by the signal's default action after all.
#pragma once

namespace jarn::process {

// Makes `signum`'s disposition ours when it is the default; false with errno when sigaction fails.
bool catch_signal(int signum);
// Whether the disposition of `signum` is ours.
bool is_caught(int signum);
// Gives `signum` back its default disposition when it is ours.
void release_signal(int signum);
// The signal whose Python handler is told of a caught one (0: none, and a caught signal then
// ends the process at once). Deliveries of it that are not ours keep the default action.
bool set_carrier(int signum);
// The caught signal that arrived first, 0 when none did; its handler has it now, so the main
// thread is no longer interrupted until it does. It stays set: a second one ends the process by
// its default action at once, whatever the first one's handling is doing.
int take_signal();

}  // namespace jarn::process
