"""The processor time of one request, with and without jarn, served in-process with no server.

    python bench/load_cpu.py [--frameworks flask,django,fastapi] [--requests 3000] [--repeat 3]
                             [--against DIR]

Each framework's application of load_apps.py is called directly (WSGI for Flask and Django, ASGI
on an asyncio loop for FastAPI), one request after another on one thread, in a process of its own
per run. The figure is the process's processor time (user and system, every thread's: the
background writer's saving included, waited for at the end) divided by the requests. A server
under load (load.py) pays this and, on a busy machine, more: waiting for the interpreter lock and
switching threads grow with it. Unlike load.py's throughput, it hardly depends on what else the
machine is running, so two builds of jarn (--against DIR, an in-place build of another tree) are
compared by it within a few per cent.
"""

from __future__ import annotations

import argparse
import io
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent


def _environ() -> dict[str, Any]:
    return {"REQUEST_METHOD": "GET", "PATH_INFO": "/items/7", "QUERY_STRING": "", "SCRIPT_NAME": "",
            "SERVER_NAME": "127.0.0.1", "SERVER_PORT": "8000", "SERVER_PROTOCOL": "HTTP/1.1", "HTTP_HOST": "127.0.0.1:8000",
            "REMOTE_ADDR": "127.0.0.1", "wsgi.url_scheme": "http", "wsgi.input": io.BytesIO(), "wsgi.errors": sys.stderr,
            "wsgi.version": (1, 0), "wsgi.multithread": True, "wsgi.multiprocess": False, "wsgi.run_once": False}


def _wsgi_caller(app: Any) -> Any:
    def start_response(status: str, headers: Any, exc_info: Any = None) -> Any:
        return lambda data: None

    def one() -> None:
        body = app(_environ(), start_response)
        for _ in body:
            pass
        close = getattr(body, "close", None)
        if close is not None:
            close()

    return one


def _asgi_caller(app: Any) -> Any:
    import asyncio

    loop = asyncio.new_event_loop()
    scope = {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": "GET", "scheme": "http",
             "path": "/items/7", "raw_path": b"/items/7", "query_string": b"", "root_path": "",
             "headers": [(b"host", b"127.0.0.1:8000")], "client": ("127.0.0.1", 50000), "server": ("127.0.0.1", 8000)}

    async def receive() -> dict[str, Any]:
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message: dict[str, Any]) -> None:
        pass

    return lambda: loop.run_until_complete(app(dict(scope), receive, send))


def serve(framework: str, db: str | None, requests: int) -> None:
    """In the child: the application called `requests` times after a warm-up; prints the
    processor time per request in microseconds."""
    sys.path.insert(0, str(HERE))
    import load_apps

    make = {"flask": load_apps.flask_app, "django": load_apps.django_app, "fastapi": load_apps.fastapi_app}[framework]
    app = make(db)
    one = _asgi_caller(app) if framework == "fastapi" else _wsgi_caller(app)
    for _ in range(300):
        one()
    if db:
        from jarn import writer

        writer.get_writer().flush()
    started = time.process_time()
    for _ in range(requests):
        one()
    if db:
        writer.get_writer().flush()
    print(f"{(time.process_time() - started) / requests * 1e6:.2f}")


def one_run(framework: str, db: str | None, requests: int, tree: str | None) -> float:
    paths = ([tree] if tree else []) + [os.path.abspath(p) for p in sys.path if p]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(paths)}
    done = subprocess.run([sys.executable, __file__, "--serve", framework, db or "-", str(requests)], env=env,
                          capture_output=True, text=True, cwd=Path(db).parent if db else None)
    if done.returncode != 0:
        raise RuntimeError(f"{framework}: {done.stderr.strip()[-2000:]}")
    return float(done.stdout.split()[-1])


def main() -> int:
    if sys.argv[1:2] == ["--serve"]:
        serve(sys.argv[2], None if sys.argv[3] == "-" else sys.argv[3], int(sys.argv[4]))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frameworks", default="flask,django,fastapi")
    parser.add_argument("--requests", type=int, default=3000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--against", metavar="DIR", help="also run with the jarn of this tree (an in-place build)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="jarn-load-cpu-") as tmp:
        for framework in args.frameworks.split(","):
            modes = ["without", "with"] + (["against"] if args.against else [])
            runs: dict[str, list[float]] = {mode: [] for mode in modes}
            for _ in range(args.repeat):
                for mode in modes:  # alternated, so that a busy machine weighs on each alike
                    db = None if mode == "without" else str(Path(tmp) / f"{framework}-{time.monotonic_ns()}.sqlite3")
                    runs[mode].append(one_run(framework, db, args.requests, os.path.abspath(args.against) if mode == "against" else None))
            plain = statistics.median(runs["without"])
            cells = []
            for mode in modes:
                median = statistics.median(runs[mode])
                label = {"without": "without jarn", "with": "with jarn", "against": "with DIR's"}[mode]
                added = "" if mode == "without" else f" (+{median - plain:.1f})"
                cells.append(f"{label} {median:.1f}{added} ({min(runs[mode]):.1f}..{max(runs[mode]):.1f})")
            print(f"{framework}: processor µs per request, median of {args.repeat} runs of {args.requests}: " + "; ".join(cells),
                  flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
