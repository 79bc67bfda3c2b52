"""Running a program under the profiler as the interpreter would run it: `run` starts it, saves
its trace however it ends (`saving` makes sure nothing is lost) and handles the ending signals
without changing what the program sees of them (`signals`); `children` runs the Python programs
it starts under jarn too, each with a trace of its own linked to its parent's.

Everything here may run while the native profiler is installed, so the core never records it.
"""
