"""The jarn command end to end: run, traces, show, export, bad input."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from jarn import db

ROOT = Path(__file__).resolve().parents[2]
SHOP = ROOT / "examples" / "shop.py"


@pytest.mark.parametrize("engine", ["profile", "monitoring"])
def test_run_show_traces_export(jarn_cli, tmp_path, engine):
    shutil.copy(SHOP, tmp_path / "shop.py")
    done = jarn_cli("run", "--engine", engine, "--threading", "shop.py")
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ada: 2.70\nbob: 1.50\n"
    assert "only 2 pear left" in done.stderr  # the program's own logging, unchanged
    saved = [line for line in done.stderr.splitlines() if line.startswith("jarn: trace trc_")]
    assert len(saved) == 1 and "saved to .jarn/db.sqlite3" in saved[0]
    trace_id = saved[0].split()[2]

    listing = jarn_cli("traces")
    assert listing.returncode == 0 and trace_id in listing.stdout and "shop.py" in listing.stdout

    shown = jarn_cli("show", "--latest")
    assert shown.returncode == 0, shown.stderr
    out = shown.stdout
    assert "\033[" not in out  # no colour when not a terminal
    for expected in ("__main__.Cart.add(", "item=Item(name='pear'", "[log] WARNING shop: only 2 pear left",
                     "shipping (native id", "__main__.label(order=['ada', 2.7]) -> 'ada: 2.70'", "shop.py:29"):
        assert expected in out, out
    assert "more calls" in jarn_cli("show", trace_id[:12], "--width", "1").stdout
    assert "more below" in jarn_cli("show", trace_id[:12], "--depth", "1").stdout

    exported = jarn_cli("export", trace_id, "--format", "json")
    data = json.loads(exported.stdout)
    assert data["trace_id"] == trace_id
    assert [t["name"] for t in data["threads"]] == ["MainThread", "shipping"]

    html = jarn_cli("export", trace_id, "--format", "html", "-o", "trace.html")
    assert html.returncode == 0
    page = (tmp_path / "trace.html").read_text()
    assert "http://" not in page.replace("http://www.w3.org/2000/svg", "") and "<script src" not in page


def test_html_export_in_a_browser(jarn_cli, tmp_path):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("no chromium on this machine: the HTML export is not checked in a browser")
    shutil.copy(SHOP, tmp_path / "shop.py")
    assert jarn_cli("run", "--threading", "shop.py").returncode == 0
    assert jarn_cli("export", "--format", "html", "-o", "t.html", jarn_cli("traces").stdout.split()[0]).returncode == 0
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    dom = subprocess.run(
        [browser, "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom", (tmp_path / "t.html").as_uri()],
        capture_output=True, text=True, timeout=120, env=env,
    ).stdout
    assert 'data-thread="MainThread"' in dom and 'data-thread="shipping"' in dom
    assert dom.count("<details") >= 3 and "__main__.Cart.add" in dom and "<svg" in dom


@pytest.mark.parametrize(
    ("body", "code", "in_stderr"),
    [
        ("import sys\nsys.exit(4)\n", 4, ""),
        ("def f():\n    raise LookupError('gone')\nf()\n", 1, "LookupError: gone"),
    ],
)
def test_program_endings_still_save(jarn_cli, tmp_path, body, code, in_stderr):
    (tmp_path / "prog.py").write_text(body)
    done = jarn_cli("run", "prog.py", "x")
    assert done.returncode == code
    assert in_stderr in done.stderr and "jarn/" not in done.stderr.split("jarn: trace")[0]
    assert db.list_traces(str(tmp_path / ".jarn" / "db.sqlite3"))[0].command_line == ["prog.py", "x"]


def test_ctrl_c_still_saves(tmp_path, child_environ):
    (tmp_path / "prog.py").write_text("import time\ndef wait():\n    print('ready', flush=True)\n    time.sleep(60)\nwait()\n")
    env = child_environ
    child = subprocess.Popen([sys.executable, "-m", "jarn", "run", "prog.py"], cwd=tmp_path, env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n"
    time.sleep(0.2)
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=60)
    assert child.returncode == 130 and "KeyboardInterrupt" in err
    [info] = db.list_traces(str(tmp_path / ".jarn" / "db.sqlite3"))
    assert info.record_count >= 1


def test_module_mode_and_configuration(jarn_cli, tmp_path):
    pkg = tmp_path / "app"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    (pkg / "__main__.py").write_text("import sys\ndef main(argv):\n    return len(argv)\nprint(main(sys.argv))\n")
    (tmp_path / "pyproject.toml").write_text('[tool.jarn]\ndb-path = "traces.sqlite3"\nomit-return-locals = true\n')
    done = jarn_cli("run", "--source", "nightly", "-m", "app", "a", "b", "--source")
    assert done.returncode == 0 and done.stdout == "4\n", done.stderr
    [info] = db.list_traces(str(tmp_path / "traces.sqlite3"))
    from jarn.decode import decode_trace

    trace = decode_trace(db.load_trace(str(tmp_path / "traces.sqlite3"), info.row_id))
    [(_, call)] = [(t, c) for t, c in trace.walk() if c.qualname == "__main__.main"]
    assert call.arguments == {"argv": [str(pkg / "__main__.py"), "a", "b", "--source"]} and call.return_locals is None
    assert trace.source == "nightly"


@pytest.mark.parametrize(
    ("setup", "args", "message"),
    [
        (None, ("run", "missing.py"), "can't open file 'missing.py'"),
        (None, ("show", "trc_nothing"), "no trace database"),
        ("corrupt", ("traces",), "not a database"),
        ("empty", ("show", "trc_unknown"), "no trace 'trc_unknown'"),
        ("garbage-trace", ("show", "--latest"), "does not decode"),
        (None, ("run", "--include-library", "no_such_lib_xyz", "p.py"), "no installed library"),
    ],
)
def test_bad_input_gives_one_error_line(jarn_cli, tmp_path, setup, args, message):
    store = tmp_path / ".jarn" / "db.sqlite3"
    store.parent.mkdir()
    (tmp_path / "p.py").write_text("pass\n")
    if setup == "corrupt":
        store.write_bytes(b"definitely not sqlite" * 50)
    elif setup == "empty":
        db.save_trace_in_sqlite(str(store), "trc_other", timeout=5, msgpack=b"\x80")
    elif setup == "garbage-trace":
        db.save_trace_in_sqlite(str(store), "trc_bad", timeout=5, msgpack=b"\xc1\xc1")
    done = jarn_cli(*args)
    assert done.returncode != 0
    assert "Traceback" not in done.stderr
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("jarn: error:") and message in lines[0], done.stderr


def test_syntax_error_is_reported_like_python(jarn_cli, tmp_path):
    (tmp_path / "bad.py").write_text("def f(:\n    pass\n")
    done = jarn_cli("run", "bad.py")
    assert done.returncode == 1 and "SyntaxError" in done.stderr and "jarn/" not in done.stderr
