"""The terminal and export views of a trace, each a handler of the one walk (jarn.trace.walk).

`show` prints the call tree as the trace is read, keeping only what it prints; `stats` prints
the per-function table from the store's index; `export` writes the decoded tree as JSON or as one
self-contained HTML page; `chrome` and `speedscope` write those viewers' formats while the trace
is read, so they work on traces of any size. None of them knows where a trace is stored.
"""
