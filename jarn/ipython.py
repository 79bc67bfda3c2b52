"""jarn in IPython and Jupyter: `%load_ext jarn`, then

    %%jarn                 profile the cell; its trace is stored like any other
    %jarn_show             the last profiled cell's call tree, with a link to open it in the viewer
    %jarn_show TRACE_ID    the same for any stored trace

The viewer (`jarn serve`) is started in the background the first time a link is shown, on a free
port of 127.0.0.1, and serves the store the cell was saved in. IPython is needed only here.
"""

from __future__ import annotations

import ast
import html
import io
import threading
from dataclasses import dataclass, field
from typing import Any

from IPython.core.magic import Magics, cell_magic, line_magic, magics_class
from IPython.core.magic_arguments import argument, magic_arguments, parse_argstring

from jarn import config as config_module


@dataclass
class _Saved:
    db_path: str
    trace_id: str


@dataclass
class _State:
    last: _Saved | None = None
    servers: dict[str, str] = field(default_factory=dict)  # store path -> viewer URL
    lock: threading.Lock = field(default_factory=threading.Lock)


def _viewer_url(state: _State, db_path: str) -> str:
    """The URL of a viewer of this store, started in a daemon thread the first time."""
    from jarn.viewer import make_server, prepare
    from jarn.viewer.guard import new_token

    with state.lock:
        url = state.servers.get(db_path)
        if url is None:
            prepare(db_path)
            server = make_server(db_path, 0, token=new_token())  # the link carries the token, as jarn serve's address does
            threading.Thread(target=server.serve_forever, name="jarn-viewer", daemon=True).start()
            url = state.servers[db_path] = server.url  # type: ignore[attr-defined]
        return url


_RESULT = "_jarn_cell_result"


def _compiled_cell(source: str, filename: str) -> Any:
    """The cell as one module, its last line's value (when it is an expression: the cell's result,
    as IPython shows it) kept under a name of its own for the run."""
    tree = ast.parse(source, filename)
    if tree.body and isinstance(tree.body[-1], ast.Expr):
        last = tree.body[-1]
        tree.body[-1] = ast.copy_location(ast.Assign(targets=[ast.Name(_RESULT, ast.Store())], value=last.value), last)
        ast.fix_missing_locations(tree)
    return compile(tree, filename, "exec")


class _Text(io.StringIO):
    def isatty(self) -> bool:
        return False


@magics_class
class JarnMagics(Magics):
    def __init__(self, shell: Any) -> None:
        super().__init__(shell)
        self.state = _State()
        self.cells = 0

    @magic_arguments()
    @argument("--db", help="the store to save the trace in (default: the project's, as for jarn run)")
    @argument("--threading", action="store_true", help="also record threads the cell starts")
    @cell_magic
    def jarn(self, line: str, cell: str) -> Any:
        """Profile the cell with jarn and store its trace; %jarn_show shows it."""
        from jarn.profiler import JarnProfiler

        args = parse_argstring(self.jarn, line)
        self.cells += 1
        filename = f"<jarn-cell-{self.cells}>"
        code = _compiled_cell(self.shell.transform_cell(cell), filename)
        overrides = {"threading": True} if args.threading else None
        db_path = args.db or str(config_module.merged(overrides)["db_path"])
        profiler = JarnProfiler(overrides, db_path=db_path, source=f"%%jarn cell {self.cells}")
        namespace = self.shell.user_ns
        profiler.start()
        try:
            exec(code, namespace)
        finally:
            result = namespace.pop(_RESULT, None)
            profiler.stop()
            if profiler.save_quietly():
                self.state.last = _Saved(db_path, profiler.trace_id)
                print(f"jarn: trace {profiler.trace_id} saved in {db_path} (%jarn_show shows it)")
        return result

    @magic_arguments()
    @argument("trace_id", nargs="?", help="a stored trace's id or prefix (default: the last %%jarn cell's)")
    @argument("--db", help="the store to read (default: the last %%jarn cell's, else the project's)")
    @argument("--depth", type=int, default=12, help="levels of calls shown")
    @argument("--locals", action="store_true", help="also show each call's locals at its return")
    @line_magic
    def jarn_show(self, line: str) -> None:
        """The call tree of the last %%jarn cell (or of a stored trace), and a link to the viewer."""
        from IPython.display import display

        from jarn.cli import CommandError, find_rows, stream_rows
        from jarn.store import StoreError, open_store
        from jarn.views.show import show

        args = parse_argstring(self.jarn_show, line)
        last = self.state.last
        db_path = args.db or (last.db_path if last else str(config_module.merged(None)["db_path"]))
        trace_id = args.trace_id or (last.trace_id if last and db_path == last.db_path else None)
        if trace_id is None:
            print("jarn: no profiled cell yet: run one with %%jarn, or name a trace")
            return
        try:
            with open_store(db_path) as store:
                rows = find_rows(store, trace_id)
                out = _Text()
                with stream_rows(store, rows, "reading", progress=False) as walk:
                    show(walk, out, depth=max(args.depth, 1), color=False, locals=args.locals)
        except (CommandError, StoreError) as exc:
            print(f"jarn: {exc}")
            return
        url = f"{_viewer_url(self.state, db_path)}#row={rows[-1].row_id}"
        text = out.getvalue()
        display({
            "text/plain": f"{text}\nopen it in jarn serve: {url}",
            "text/html": f'<pre>{html.escape(text)}</pre><p><a href="{html.escape(url)}" target="_blank">open it in jarn serve</a></p>',
        }, raw=True)


def load_ipython_extension(shell: Any) -> None:
    shell.register_magics(JarnMagics)
