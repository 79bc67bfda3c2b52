"""The `jarn` command: run a program under the profiler, list, show and export its traces."""

from __future__ import annotations

import argparse
import datetime
import os
import sys
from pathlib import Path
from typing import Any, NoReturn

from jarn import db
from jarn.config import ENGINES, ConfigError, load_config
from jarn.version import __version__


class CommandError(Exception):
    """A user error: printed as one line, exit code 2."""


class _Parser(argparse.ArgumentParser):
    """Usage mistakes are one line, like every other jarn error; --help has the details."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"jarn: error: {message} (see {self.prog} --help)\n")


def _add_db(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--db", metavar="PATH", help="trace database (default: .jarn/db.sqlite3 of the project)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="jarn", description="A tracing profiler for Python programs.")
    parser.add_argument("--version", action="version", version=f"jarn {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    run = commands.add_parser("run", help="run a script or module under the profiler and store its trace")
    _add_db(run)
    run.add_argument("-m", dest="module", action="store_true", help="run a module, as python -m does")
    run.add_argument("--threading", action=argparse.BooleanOptionalAction, default=None, help="also profile new threads")
    run.add_argument("--lightweight-repr", action="store_true", default=None, help="describe objects without calling them")
    run.add_argument("--omit-return-locals", action="store_true", default=None, help="no locals in return records")
    run.add_argument("--include", action="append", default=[], metavar="PATTERN", help="always record files matching")
    run.add_argument("--ignore", action="append", default=[], metavar="PATTERN", help="never record files matching")
    run.add_argument("--include-library", action="append", default=[], metavar="NAME", help="record an installed package")
    run.add_argument("--ignore-set", action="append", default=[], metavar="NAME", help="drop a named set of frameworks")
    run.add_argument("--engine", choices=ENGINES, default=None, help="how events reach jarn (default: profile)")
    run.add_argument("--source", default="", metavar="TEXT", help="what this run is, stored with the trace")
    # The program and its arguments are split off before parsing (see split_run_arguments):
    # these two only describe them in the help text.
    run.add_argument("program", nargs="?", help="the script (or, with -m, the module)")
    run.add_argument("args", nargs="*", help="the program's own arguments")

    traces = commands.add_parser("traces", help="list stored traces, newest first")
    _add_db(traces)
    traces.add_argument("--limit", type=int, default=20, metavar="N")

    show = commands.add_parser("show", help="show a trace as a call tree")
    _add_db(show)
    show.add_argument("trace_id", nargs="?", help="trace id or a unique prefix (default: the latest)")
    show.add_argument("--latest", action="store_true", help="the latest trace")
    show.add_argument("--depth", type=int, default=12, metavar="N", help="levels of calls shown")
    show.add_argument("--width", type=int, default=40, metavar="N", help="children shown per call")
    show.add_argument("--no-color", action="store_true")

    export = commands.add_parser("export", help="export a trace as JSON or a self-contained HTML page")
    _add_db(export)
    export.add_argument("trace_id")
    export.add_argument("--format", choices=("json", "html"), default="html")
    export.add_argument("-o", "--output", metavar="FILE", help="default: standard output (json) or TRACE_ID.html")

    testgen = commands.add_parser("testgen", help="write a pytest test replaying a recorded call")
    _add_db(testgen)
    testgen.add_argument("trace_id")
    testgen.add_argument("--function", required=True, metavar="QUALNAME")
    testgen.add_argument("-o", "--output", metavar="FILE", help="default: standard output")
    return parser


_RUN_VALUE_OPTIONS = ("--db", "--engine", "--include", "--ignore", "--source", "--include-library", "--ignore-set")


def split_run_arguments(argv: list[str]) -> tuple[list[str], list[str] | None, bool]:
    """(jarn's own options, the program's argv, module mode) of `jarn run ...`.

    Everything from the script name (or the module after -m) on belongs to the program, kept
    exactly, "--" and option-like words included. Returns None for the program when there is none.
    """
    i = 0
    while i < len(argv):
        word = argv[i]
        if word == "--":
            return argv[:i], (argv[i + 1 :] or None), False
        if word == "-m":
            return argv[:i], (argv[i + 1 :] or None), True
        if word.startswith("-m") and not word.startswith("--"):
            return argv[:i], [word[2:], *argv[i + 1 :]], True
        if not word.startswith("-") or word == "-":
            return argv[:i], argv[i:], False
        if word in _RUN_VALUE_OPTIONS:
            i += 1  # its value, whatever it looks like
        i += 1
    return argv, None, False


def _db_path(args: argparse.Namespace) -> str:
    if args.db:
        return args.db
    return str(load_config()["db_path"])


def _run(args: argparse.Namespace) -> int:
    from jarn.profiler import JarnProfiler, run_program

    overrides: dict[str, Any] = {}
    for key in ("threading", "lightweight_repr", "omit_return_locals", "engine"):
        if getattr(args, key) is not None:
            overrides[key] = getattr(args, key)
    for key, value in (
        ("include", args.include),
        ("ignore", args.ignore),
        ("include_library", args.include_library),
        ("ignore_sets", args.ignore_set),
    ):
        if value:
            overrides[key] = value
    config = load_config(overrides)
    db_path = args.db or str(config["db_path"])
    if not args.module and not os.path.isfile(args.program):
        raise CommandError(f"can't open file {args.program!r}: no such file")
    if Path(db_path).exists():
        db.list_traces(db_path, limit=1)  # an unusable database is refused before the program runs
    source = args.source or " ".join([("-m " if args.module else "") + args.program, *args.args])
    profiler = JarnProfiler(config, db_path=db_path, source=source)
    # `python -m` finds modules in the working directory; the `jarn` script's sys.path[0] is its
    # own folder instead, so the lookup gets the working directory too.
    cwd = os.getcwd()
    added = args.module and cwd not in sys.path
    if added:
        sys.path.insert(0, cwd)
    try:
        code = run_program(profiler, [args.program, *args.args], module=args.module)
    except (FileNotFoundError, ModuleNotFoundError, ValueError) as exc:
        raise CommandError(str(exc)) from None
    finally:
        if added and cwd in sys.path:
            sys.path.remove(cwd)
    if profiler.rust_profiler is not None:
        if profiler.save_error is None:
            try:
                rows = db.find_rows(db_path, profiler.trace_id)
                records = rows[-1].record_count if rows else 0
                print(f"jarn: trace {profiler.trace_id} saved to {db_path} ({records} records)", file=sys.stderr)
            except db.StoreError as exc:
                print(f"jarn: error: {exc}", file=sys.stderr)
        else:
            print(f"jarn: error: the trace could not be saved: {profiler.save_error}", file=sys.stderr)
            return code or 1
    return code


def _traces(args: argparse.Namespace) -> int:
    path = _db_path(args)
    infos = db.list_traces(path, limit=args.limit)
    if not infos:
        print(f"no traces in {path}")
        return 0
    for info in infos:
        when = datetime.datetime.fromtimestamp(info.created_at).isoformat(sep=" ", timespec="seconds")
        command = " ".join(info.command_line)
        print(f"{info.trace_id}  {when}  {info.record_count:>7} records  {_size(info.size):>9}  {command}")
    return 0


def _size(n: int) -> str:
    for unit in ("B", "KiB", "MiB"):
        if n < 1024:
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024  # type: ignore[assignment]
    return f"{n:.1f} GiB"


def load(path: str, trace_id: str | None):
    """The decoded trace of an id (all its rows merged), or of the latest row."""
    from jarn.decode import TraceFormatError, decode_trace

    if trace_id is None:
        info = db.latest(path)
        if info is None:
            raise CommandError(f"no traces in {path}")
        rows = db.find_rows(path, info.trace_id)
    else:
        rows = db.find_rows(path, trace_id)
        if not rows:
            raise CommandError(f"no trace {trace_id!r} in {path}")
    try:
        return decode_trace([db.load_trace(path, r.row_id) for r in rows])
    except TraceFormatError as exc:
        raise CommandError(f"trace {rows[0].trace_id}: {exc}") from None


def _show(args: argparse.Namespace) -> int:
    from jarn.show import show

    trace = load(_db_path(args), None if args.latest else args.trace_id)
    show(trace, sys.stdout, depth=max(args.depth, 1), width=max(args.width, 1), color=False if args.no_color else None)
    return 0


def _export(args: argparse.Namespace) -> int:
    from jarn.export import to_html, to_json

    trace = load(_db_path(args), args.trace_id)
    text = to_json(trace) + "\n" if args.format == "json" else to_html(trace)
    output = args.output or (f"{trace.trace_id}.html" if args.format == "html" else None)
    if output is None:
        sys.stdout.write(text)
    else:
        Path(output).write_text(text, encoding="utf-8")
        print(f"jarn: wrote {output}", file=sys.stderr)
    return 0


def _testgen(args: argparse.Namespace) -> int:
    from jarn.testgen import TestgenError, generate_test

    trace = load(_db_path(args), args.trace_id)
    try:
        result = generate_test(trace, args.function)
    except TestgenError as exc:
        raise CommandError(str(exc)) from None
    for note in result.skipped:
        print(f"jarn: {note}", file=sys.stderr)
    if args.output:
        Path(args.output).write_text(result.source, encoding="utf-8")
        print(f"jarn: wrote {args.output} ({result.cases} cases)", file=sys.stderr)
    else:
        sys.stdout.write(result.source)
    return 0


COMMANDS = {"run": _run, "traces": _traces, "show": _show, "export": _export, "testgen": _testgen}


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["run"]:
        options, program, module = split_run_arguments(argv[1:])
        args = parser.parse_args(["run", *options])
        if program is None:
            print("jarn: error: no program given (jarn run script.py [args...] or jarn run -m module [args...])", file=sys.stderr)
            return 2
        args.program, args.args, args.module = program[0], program[1:], module
    else:
        args = parser.parse_args(argv)
    try:
        return COMMANDS[args.command](args)
    except (CommandError, db.StoreError, ConfigError, OSError) as exc:
        print(f"jarn: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("jarn: interrupted", file=sys.stderr)
        return 130
    except RecursionError:
        print("jarn: error: the trace's calls are nested too deeply for this command (try jarn show --depth)", file=sys.stderr)
        return 2
    except Exception as exc:  # a fault of jarn itself: still one line, with what went wrong
        print(f"jarn: error: internal error: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 3
