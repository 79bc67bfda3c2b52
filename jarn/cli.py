"""The `jarn` command: run a program under the profiler; list, show, export and delete its traces."""

from __future__ import annotations

import argparse
import contextlib
import datetime
import os
import sys
from contextlib import contextmanager
from pathlib import Path
from typing import Any, NoReturn

from jarn import store as stores
from jarn.config import ENGINES, VALUES, ConfigError, load_config
from jarn.progress import Progress
from jarn.terminal import printable
from jarn.version import __version__


class CommandError(Exception):
    """A user error: printed as one line, exit code 2."""


class _Parser(argparse.ArgumentParser):
    """Usage mistakes are one line, like every other jarn error; --help has the details."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"jarn: error: {message} (see {self.prog} --help)\n")


class _Help(argparse.RawDescriptionHelpFormatter):
    """Each option's help ends with its default, when it has one worth saying."""

    def _get_help_string(self, action: argparse.Action) -> str:
        text = action.help or ""
        default = action.default
        if "default" in text or default in (None, False, [], "", argparse.SUPPRESS) or action.option_strings == []:
            return text
        return f"{text} (default: {default})".lstrip()


# What each command's --help ends with: an example or two.
_EXAMPLES = {
    "run": "examples:\n  jarn run app.py --port 8000          # the program's own arguments follow it\n"
           "  jarn run --threading -m mypkg.main   # also its threads; -m as python -m\n"
           "  jarn show --latest                   # then its call tree",
    "traces": "example:\n  jarn traces --limit 5",
    "show": "examples:\n  jarn show --latest --depth 4\n  jarn show trc_01HX --locals --no-color | less",
    "export": "examples:\n  jarn export --latest --format chrome -o trace.json   # open in ui.perfetto.dev\n"
              "  jarn export trc_01HX -o page.html                   # one page to share",
    "testgen": "example:\n  jarn testgen --latest --function shop.Cart.total -o tests/test_cart_total.py",
    "rm": "examples:\n  jarn rm trc_01HX trc_01HY\n  jarn rm --latest",
    "prune": "examples:\n  jarn prune --keep 100\n  jarn prune --older-than 7",
    "serve": "examples:\n  jarn serve                        # opens the viewer in the browser, with its token\n"
             "  jarn serve --port 0 --no-browser  # any free port; prints the address to open",
    "stats": "example:\n  jarn stats --latest --sort self --limit 10",
    "diff": "example:\n  jarn diff trc_01HX trc_01HY --limit 10   # before, then after the change",
    "push": "examples:\n  jarn push --all --to postgresql://me@db.example/traces\n  jarn push trc_01HX trc_01HY --to \"$JARN_TEAM_DB\"",
}


def _command(commands: Any, name: str, help: str) -> argparse.ArgumentParser:
    return commands.add_parser(name, help=help, description=help[:1].upper() + help[1:] + ".", epilog=_EXAMPLES[name],
                               formatter_class=_Help)


_FORMATS = ("html", "json", "chrome", "speedscope")


def _add_db(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--db", metavar="PATH|URL",
                        help="trace store: a SQLite file or a postgresql:// URL (default: $JARN_DB, else db-path of [tool.jarn], else .jarn/db.sqlite3 of the project)")


def _add_trace_id(parser: argparse.ArgumentParser, default: str = "") -> None:
    parser.add_argument("trace_id", nargs="?", help="trace id or a unique prefix" + (f" ({default})" if default else ""))
    parser.add_argument("--latest", action="store_true", help="the latest trace")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="jarn", description="A tracing profiler for Python programs.", formatter_class=_Help,
                     epilog="start with: jarn run script.py, then jarn show --latest (each command has --help)")
    parser.add_argument("--version", action="version", version=f"jarn {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    run = _command(commands, "run", "run a script or module under the profiler and store its trace")
    _add_db(run)
    run.add_argument("-m", dest="module", action="store_true", help="run a module, as python -m does")
    run.add_argument("--threading", action=argparse.BooleanOptionalAction, default=None, help="also profile new threads")
    run.add_argument("--values", choices=VALUES, default=None,
                     help="how objects are recorded: their fields (default), their repr, or type and address")
    run.add_argument("--lightweight-repr", action="store_true", default=None, help="the same as --values type")
    run.add_argument("--omit-return-locals", action="store_true", default=None, help="no locals in return records")
    run.add_argument("--include", action="append", default=[], metavar="PATTERN", help="always record files matching")
    run.add_argument("--ignore", action="append", default=[], metavar="PATTERN", help="never record files matching")
    run.add_argument("--include-library", action="append", default=[], metavar="NAME", help="record an installed package")
    run.add_argument("--ignore-set", action="append", default=[], metavar="NAME", help="drop a named set of frameworks")
    run.add_argument("--engine", choices=ENGINES, default=None, help="how events reach jarn (default: the project's, else monitoring)")
    run.add_argument("--source", default="", metavar="TEXT", help="what this run is, stored with the trace")
    run.add_argument("--follow-children", action=argparse.BooleanOptionalAction, default=None,
                     help="also record Python programs it starts through subprocess, each in a trace of its own "
                          "(multiprocessing's workers are recorded unless --no-follow-children)")
    # The program and its arguments are split off before parsing (see split_run_arguments):
    # these two only describe them in the help text.
    run.add_argument("program", nargs="?", help="the script (or, with -m, the module)")
    run.add_argument("args", nargs="*", help="the program's own arguments")

    traces = _command(commands, "traces", "list stored traces, newest first")
    _add_db(traces)
    traces.add_argument("--limit", type=int, default=20, metavar="N", help="traces shown")

    show = _command(commands, "show", "show a trace as a call tree")
    _add_db(show)
    _add_trace_id(show, "default: the latest")
    show.add_argument("--depth", type=int, default=12, metavar="N", help="levels of calls shown")
    show.add_argument("--width", type=int, default=40, metavar="N", help="children shown per call")
    show.add_argument("--locals", action="store_true", help="also show each call's locals when it returned")
    show.add_argument("--no-color", action="store_true", help="no colour (also: the NO_COLOR environment variable)")

    export = _command(commands, "export", "export a trace for a viewer: JSON, HTML, Chrome trace events, speedscope")
    _add_db(export)
    _add_trace_id(export)
    export.add_argument("--format", choices=_FORMATS, default="html",
                        help="html: one page for sharing a small trace; chrome: Perfetto or chrome://tracing; "
                             "speedscope: speedscope.app; json: the call trees")
    export.add_argument("-o", "--output", metavar="FILE", help="default: TRACE_ID.html for html, else standard output")

    testgen = _command(commands, "testgen", "write a pytest test replaying a recorded call")
    _add_db(testgen)
    _add_trace_id(testgen)
    testgen.add_argument("--function", required=True, metavar="QUALNAME")
    testgen.add_argument("-o", "--output", metavar="FILE", help="default: standard output")

    rm = _command(commands, "rm", "delete traces")
    _add_db(rm)
    rm.add_argument("trace_ids", nargs="*", metavar="TRACE_ID", help="trace ids or unique prefixes")
    rm.add_argument("--latest", action="store_true", help="the latest trace")

    prune = _command(commands, "prune", "delete old traces")
    _add_db(prune)
    which = prune.add_mutually_exclusive_group(required=True)
    which.add_argument("--keep", type=int, metavar="N", help="keep the N newest traces")
    which.add_argument("--older-than", type=float, metavar="DAYS", help="delete traces saved more than DAYS days ago")

    push = _command(commands, "push", "copy local traces into a team store (each once, however often it runs)")
    _add_db(push)
    push.add_argument("trace_ids", nargs="*", metavar="TRACE_ID", help="trace ids or unique prefixes")
    push.add_argument("--all", action="store_true", help="every trace of the store")
    push.add_argument("--to", required=True, metavar="URL", help="the team store, e.g. postgresql://user@host/traces")

    serve = _command(commands, "serve", "browse the stored traces in a local web viewer")
    _add_db(serve)
    serve.add_argument("--port", type=int, default=8642, metavar="N", help="port on 127.0.0.1 (0: any free one)")
    serve.add_argument("--no-browser", action="store_true", help="only print the viewer's address")
    serve.add_argument("--no-token", action="store_true",
                       help="answer requests without the random token of the printed address (any local program can then read the traces)")
    serve.add_argument("--host", metavar="NAME", help="one more name the viewer answers to (a tunnel's, a proxy's); it still listens on 127.0.0.1 only")

    stats = _command(commands, "stats", "calls, total and self time per function of a trace")
    _add_db(stats)
    _add_trace_id(stats, "default: the latest")
    stats.add_argument("--sort", choices=("calls", "total", "self"), default="total", help="the column sorted by, largest first")
    stats.add_argument("--limit", type=int, default=30, metavar="N", help="rows shown (0: all)")

    diff = _command(commands, "diff", "compare two traces: time per function, and the calls whose values changed")
    _add_db(diff)
    diff.add_argument("before", metavar="TRACE_A", help="the run before the change (id or unique prefix)")
    diff.add_argument("after", metavar="TRACE_B", help="the run after it")
    diff.add_argument("--limit", type=int, default=20, metavar="N", help="rows shown per part (0: all)")
    return parser


_RUN_VALUE_OPTIONS = ("--db", "--engine", "--include", "--ignore", "--source", "--include-library", "--ignore-set", "--values")


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
    from jarn.process.children import Family
    from jarn.process.run import run_command
    from jarn.profiler import JarnProfiler

    overrides: dict[str, Any] = {}
    for key in ("threading", "lightweight_repr", "values", "omit_return_locals", "engine"):
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
    if Path(db_path).exists() and not stores.is_url(db_path):
        with stores.open_store(db_path) as store:  # an unusable store is refused before the program runs
            store.latest()
    elif stores.is_url(db_path):
        # A server may be out of reach for a while: the program runs, and its trace is kept in
        # the local store if the server is still out of reach when it ends.
        try:
            with stores.open_store(db_path) as store:
                store.latest()
        except stores.StoreError as exc:
            print(f"jarn: warning: {exc}; the trace goes to the project's local store if it still cannot be saved there",
                  file=sys.stderr)
    source = args.source or " ".join([("-m " if args.module else "") + args.program, *args.args])
    profiler = JarnProfiler(config, db_path=db_path, source=source)
    # Children open the same store from wherever they run.
    named = db_path if stores.is_url(db_path) else os.path.abspath(db_path)
    family = None if args.follow_children is False else Family(bool(args.follow_children), profiler.config, named, source)
    # `python -m` finds modules in the working directory; the `jarn` script's sys.path[0] is its
    # own folder instead, so the lookup gets the working directory too.
    cwd = os.getcwd()
    added = args.module and cwd not in sys.path
    if added:
        sys.path.insert(0, cwd)
    try:
        # Whatever became of the trace, the exit status is the program's.
        return run_command(profiler, [args.program, *args.args], mode="module" if args.module else "script",
                           announce=True, family=family)
    except (FileNotFoundError, ModuleNotFoundError, ValueError) as exc:
        raise CommandError(str(exc)) from None
    finally:
        if added and cwd in sys.path:
            sys.path.remove(cwd)


def _traces(args: argparse.Namespace) -> int:
    from jarn.views.show import format_duration

    path = _db_path(args)
    with stores.open_store(path) as store:
        infos = store.list(limit=args.limit)
    if not infos:
        print(f"no traces in {stores.describe(path)}")
        return 0
    # Traces a web server dropped (its writer was full) are gaps in the list, shown where they fell.
    from jarn.writer import gaps

    missing = gaps(path, infos[-1].created_at if len(infos) == args.limit else 0.0)
    for info, depth in in_families(infos):
        if not depth:
            _print_gaps([missing.pop(0) for _ in range(sum(1 for g in missing if g[0] >= info.created_at))])
        took = format_duration(info.duration) if info.duration is not None else "?"
        child = "  " * (depth - 1) + "└ " if depth else ""
        print(f"{printable(info.trace_id)}  {_when(info.created_at)}  {took:>9}  {info.record_count:>7} records  {_size(info.size):>9}"
              f"  {child}{printable(info.what)}")
    _print_gaps(missing)
    return 0


def _print_gaps(gaps: list[tuple[float, str, dict[str, int]]]) -> None:
    """The drops noted between two listed traces, one line per reason (when: the latest)."""
    from jarn.writer import describe_gap

    merged: dict[str, tuple[float, dict[str, int]]] = {}
    for at, reason, dropped in gaps:
        latest, paths = merged.get(reason, (at, {}))
        for what, n in dropped.items():
            paths[what] = paths.get(what, 0) + n
        merged[reason] = (max(latest, at), paths)
    for reason, (at, paths) in merged.items():
        print(f"{'(gap)':<30}  {_when(at)}  {printable(describe_gap(reason, paths))}")


def in_families(infos: list[stores.TraceInfo]) -> list[tuple[stores.TraceInfo, int]]:
    """The traces in their order, each child process's (and its own children's) under its parent
    when that is among them, oldest first; with each one's depth below the trace it is listed under."""
    listed = {info.trace_id for info in infos}
    children: dict[str, list[stores.TraceInfo]] = {}
    roots = []
    for info in infos:
        if info.parent_trace_id in listed and info.parent_trace_id != info.trace_id:
            children.setdefault(info.parent_trace_id, []).append(info)
        else:
            roots.append(info)
    ordered: list[tuple[stores.TraceInfo, int]] = []

    def add(info: stores.TraceInfo, depth: int) -> None:
        ordered.append((info, depth))
        for child in sorted(children.pop(info.trace_id, []), key=lambda c: c.created_at):
            add(child, depth + 1)

    for root in roots:
        add(root, 0)
    for rest in children.values():  # a family whose links go round: listed as they are
        ordered.extend((info, 0) for info in rest)
    return ordered


def _when(timestamp: float) -> str:
    return datetime.datetime.fromtimestamp(timestamp).isoformat(sep=" ", timespec="seconds")


def _size(n: int) -> str:
    for unit in ("B", "KiB", "MiB"):
        if n < 1024:
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024  # type: ignore[assignment]
    return f"{n:.1f} GiB"


def find_rows(store: stores.Store, trace_id: str | None, latest: bool = False) -> list[stores.TraceInfo]:
    """The stored rows of the trace asked for: by id or prefix, else (or with --latest) the latest."""
    if trace_id is not None and latest:
        raise CommandError("give a trace id or --latest, not both")
    if trace_id is None:
        info = store.latest()
        if info is None:
            raise CommandError(f"no traces in {store.name}")
        trace_id = info.trace_id
    rows = store.find(trace_id)
    if not rows:
        raise CommandError(f"no trace {trace_id!r} in {store.name}")
    return rows


def _asked_rows(args: argparse.Namespace, store: stores.Store) -> list[stores.TraceInfo]:
    """For commands that need the trace named: an id, or --latest."""
    if args.trace_id is None and not args.latest:
        raise CommandError("which trace? give its id (see jarn traces) or --latest")
    return find_rows(store, args.trace_id, args.latest)


def load_rows(store: stores.Store, rows: list[stores.TraceInfo]):
    """The decoded trace of some rows of one trace id (merged)."""
    from jarn.trace import TraceFormatError, decode_trace

    try:
        with Progress(f"reading trace {rows[0].trace_id}"):
            return decode_trace([store.source(r.row_id) for r in rows])
    except TraceFormatError as exc:
        raise CommandError(f"trace {rows[0].trace_id}: {exc}") from None


@contextmanager
def stream_rows(store: stores.Store, rows: list[stores.TraceInfo], doing: str, *, progress: bool = True):
    """The rows as one walk read straight from the store, with progress on stderr."""
    from jarn.trace import TraceFormatError, Walk

    try:
        walk = Walk([store.source(r.row_id) for r in rows])
        total = sum(r.record_count for r in rows) or walk.head.record_count
        report = Progress(f"{doing} trace {rows[0].trace_id}", lambda: walk.record_count, total)
        with report if progress else contextlib.nullcontext():
            yield walk
    except TraceFormatError as exc:
        raise CommandError(f"trace {rows[0].trace_id}: {exc}") from None


def _show(args: argparse.Namespace) -> int:
    from jarn.views.show import show

    with stores.open_store(_db_path(args)) as store:
        rows = find_rows(store, args.trace_id, args.latest)
        # On a terminal the tree itself shows the work going on; a progress line would land in it.
        with stream_rows(store, rows, "reading", progress=not sys.stdout.isatty()) as walk:
            show(walk, sys.stdout, depth=max(args.depth, 1), width=max(args.width, 1),
                 color=False if args.no_color else None, locals=args.locals)
    return 0


# Past this size an HTML page gets slow to open: the command says what to use instead.
_HTML_COMFORT_RECORDS = 100_000


def _export(args: argparse.Namespace) -> int:
    with stores.open_store(_db_path(args)) as store:
        return _export_from(store, args)


def _export_from(store: stores.Store, args: argparse.Namespace) -> int:
    rows = _asked_rows(args, store)
    trace_id = rows[0].trace_id
    output = args.output or (f"{trace_id}.html" if args.format == "html" else None)
    # A file is written under another name and renamed when complete: a failed export leaves no
    # half file. Anything else (a device, a pipe) is written directly.
    partial = None
    if output is not None and (not os.path.exists(output) or os.path.isfile(output)):
        partial = f"{output}.partial"
    with contextlib.ExitStack() as stack:
        if partial is not None:
            stack.callback(lambda: os.path.exists(partial) and os.unlink(partial))
        target = partial or output
        out = sys.stdout if target is None else stack.enter_context(open(target, "w", encoding="utf-8"))
        if args.format in ("chrome", "speedscope"):
            from jarn.views.chrome import write_chrome_trace
            from jarn.views.speedscope import write_speedscope

            walk = stack.enter_context(stream_rows(store, rows, "exporting"))
            (write_chrome_trace if args.format == "chrome" else write_speedscope)(walk, out)
        else:
            from jarn.views.export import to_html, to_json

            trace = load_rows(store, rows)
            with Progress(f"writing trace {trace_id} as {args.format}"):
                out.write(to_json(trace) + "\n" if args.format == "json" else to_html(trace))
        if partial is not None and output is not None:
            out.close()
            os.replace(partial, output)
    if output is not None:
        print(f"jarn: wrote {output}", file=sys.stderr)
    if args.format == "html" and sum(r.record_count for r in rows) > _HTML_COMFORT_RECORDS:
        print("jarn: this trace is big for one page; jarn serve shows it loading only what is on screen", file=sys.stderr)
    return 0


def _testgen(args: argparse.Namespace) -> int:
    from jarn.testgen import TestgenError, generate_test

    with stores.open_store(_db_path(args)) as store:
        trace = load_rows(store, _asked_rows(args, store))
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


def _rm(args: argparse.Namespace) -> int:
    if not args.trace_ids and not args.latest:
        raise CommandError("which traces? give their ids (see jarn traces) or --latest")
    with stores.open_store(_db_path(args)) as store:
        # Every id is checked before anything is deleted: one typo deletes nothing.
        ids = [find_rows(store, trace_id)[0].trace_id for trace_id in args.trace_ids]
        if args.latest:
            ids.append(find_rows(store, None)[0].trace_id)
        with Progress(f"deleting {len(set(ids))} traces from {store.name}"):
            removed = store.remove(ids)
    print(f"jarn: deleted {_plural(len(set(ids)), 'trace')} ({_plural(removed, 'row')}) from {store.name}", file=sys.stderr)
    return 0


def _prune(args: argparse.Namespace) -> int:
    if (args.keep is not None and args.keep < 0) or (args.older_than is not None and args.older_than < 0):
        raise CommandError("--keep and --older-than take a number that is not negative")
    older = args.older_than * 86400 if args.older_than is not None else None
    with stores.open_store(_db_path(args)) as store:
        ids = store.to_prune(keep=args.keep, older_than=older)
        removed = 0
        if ids:
            with Progress(f"deleting {len(ids)} traces from {store.name}"):
                removed = store.remove(ids)
    print(f"jarn: deleted {_plural(len(ids), 'trace')} ({_plural(removed, 'row')}) from {store.name}", file=sys.stderr)
    return 0


def _push(args: argparse.Namespace) -> int:
    if bool(args.trace_ids) == args.all:
        raise CommandError("which traces? give their ids, or --all")
    with stores.open_store(_db_path(args)) as local:
        rows = local.list()[::-1] if args.all else [r for trace_id in args.trace_ids for r in find_rows(local, trace_id)]
        copied = 0
        with stores.open_store(args.to, create=True) as team, Progress(f"pushing {_plural(len(rows), 'row')} to {team.name}"):
            for info in rows:
                copied += team.copy_in(info, local.source(info.row_id)) is not None
            target = team.name
    ids = {r.trace_id for r in rows}
    print(f"jarn: pushed {_plural(copied, 'row')} of {_plural(len(ids), 'trace')} to {target}"
          + (f" ({len(rows) - copied} there already)" if copied < len(rows) else ""), file=sys.stderr)
    return 0


def _plural(n: int, word: str) -> str:
    return f"{n} {word}" + ("" if n == 1 else "s")




def _serve(args: argparse.Namespace) -> int:
    from jarn.viewer import serve

    path = _db_path(args)
    with stores.open_store(path) as store:  # a missing or unusable store is refused before serving
        store.latest()
    try:
        serve(path, args.port, open_browser=not args.no_browser, token=not args.no_token, host=args.host,
              announce=lambda url: print(f"jarn: viewer at {url} (Ctrl-C stops it)", flush=True))
    except OSError as exc:
        print(f"jarn: error: cannot serve on 127.0.0.1 port {args.port}: {exc.strerror or exc} (try --port 0 for any free port)", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        pass
    return 0


def _stats(args: argparse.Namespace) -> int:
    from jarn.store.index import TraceIndexError
    from jarn.views.stats import function_table, print_table

    with stores.open_store(_db_path(args)) as store:
        rows = find_rows(store, args.trace_id, args.latest)
        try:
            table = function_table(store, [r.row_id for r in rows], args.sort, args.limit if args.limit > 0 else None,
                                   progress=sys.stderr if sum(r.size for r in rows) > 16 << 20 else None)
        except TraceIndexError as exc:
            raise CommandError(f"trace {rows[0].trace_id}: {exc}") from None
    print_table(table, sys.stdout)
    return 0


def _diff(args: argparse.Namespace) -> int:
    from jarn.diff import collect, compare, render

    runs, names = [], []
    with stores.open_store(_db_path(args)) as store:
        for asked in (args.before, args.after):
            rows = find_rows(store, asked)
            with stream_rows(store, rows, "reading", progress=False) as walk:
                runs.append(collect(walk))
            names.append(f"{rows[0].trace_id}  {rows[0].what}")
    for line in render(compare(*runs), *names, limit=args.limit if args.limit > 0 else 1 << 62):
        print(printable(line))
    return 0


COMMANDS = {
    "run": _run, "traces": _traces, "show": _show, "export": _export, "testgen": _testgen,
    "rm": _rm, "prune": _prune, "push": _push, "serve": _serve, "stats": _stats, "diff": _diff,
}


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
        code = COMMANDS[args.command](args)
        if args.command != "run":  # a program's standard output is its own business
            sys.stdout.flush()  # a closed pipe shows here, while it can still be handled
        return code
    except BrokenPipeError:
        # The reader went away (`jarn traces | head`): what it did not read is not wanted. The
        # interpreter's own flush at exit is pointed at /dev/null so it cannot complain either.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return 0
    except (CommandError, stores.StoreError, ConfigError, OSError) as exc:
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
