"""A team's store on a real PostgreSQL server: programs run into it at once, every command reads
it as it reads a SQLite store, `jarn serve` shows it, `jarn push` copies into it once."""

from __future__ import annotations

import json
import subprocess
import sys
import urllib.request

from conftest import child_env

PROGRAM = """
import sys
def price(item, qty):
    return {"pear": 2.5, "fig": 4.0}[item] * qty
def order(items):
    return sum(price(i, q) for i, q in items)
print(order([("pear", int(sys.argv[1])), ("fig", 1)]))
"""


def _jarn(*args: str, cwd, env=None):
    return subprocess.run([sys.executable, "-m", "jarn", *args], cwd=cwd, capture_output=True, text=True, timeout=300, env=env or child_env())


def test_a_team_store_on_postgresql(postgres, tmp_path):
    team = postgres.new_database()
    (tmp_path / "shop.py").write_text(PROGRAM)
    env = {**child_env(), "JARN_DB": team}  # named once for every command
    runs = [subprocess.Popen([sys.executable, "-m", "jarn", "run", "shop.py", str(n)], cwd=tmp_path, env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True) for n in range(4)]
    outputs = [run.communicate(timeout=300) for run in runs]
    assert [run.returncode for run in runs] == [0] * 4 and [o[0] for o in outputs] == [f"{2.5 * n + 4.0}\n" for n in range(4)], outputs
    assert all(f"saved to postgresql://jarn@127.0.0.1:{postgres.port}/" in o[1] and "s3cret" not in o[1] for o in outputs)
    listed = _jarn("traces", cwd=tmp_path, env=env).stdout.splitlines()
    assert sorted(line.rsplit(" ", 2)[1:] for line in listed) == [["shop.py", str(n)] for n in range(4)]
    # the same runs in a SQLite store, pushed to another team database: every view of them agrees
    for n in range(2):
        assert _jarn("run", "shop.py", str(n), cwd=tmp_path).returncode == 0
    other = postgres.new_database()
    first, again = _jarn("push", "--all", "--to", other, cwd=tmp_path), _jarn("push", "--all", "--to", other, cwd=tmp_path)
    assert "pushed 2 rows of 2 traces" in first.stderr and "pushed 0 rows of 2 traces" in again.stderr and "2 there already" in again.stderr
    for line in _jarn("traces", cwd=tmp_path).stdout.splitlines():
        trace_id = line.split()[0]
        for command in (["show", "--no-color", trace_id], ["stats", trace_id], ["export", trace_id, "--format", "json"]):
            local, pushed = _jarn(*command, cwd=tmp_path), _jarn(*command, "--db", other, cwd=tmp_path)
            assert (local.returncode, pushed.returncode) == (0, 0) and local.stdout == pushed.stdout, (command, pushed.stderr)
    # the viewer lists the team's traces, with who made them, and opens one
    server = subprocess.Popen([sys.executable, "-m", "jarn", "serve", "--no-browser", "--no-token", "--port", "0"], cwd=tmp_path, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = server.stdout.readline().split("viewer at ")[1].split()[0]
        traces = json.load(urllib.request.urlopen(url + "api/traces", timeout=60))
        assert len(traces) == 4 and all(t["host"] and t["user"] for t in traces)
        opened = json.load(urllib.request.urlopen(f"{url}api/traces/{traces[0]['row_id']}", timeout=60))
        assert opened["calls"] == 5  # the module, order, its generator expression (one run of three steps), and price twice
        detail = json.load(urllib.request.urlopen(f"{url}api/traces/{traces[0]['row_id']}/calls/1", timeout=60))
        assert detail["function"][0] == "__main__.<module>"
    finally:
        server.terminate()
        server.wait(timeout=30)
    # a test replaying a recorded call, then the team's traces deleted
    assert "({'item': 'fig', 'qty': 1}, 4.0)" in _jarn("testgen", "--latest", "--function", "__main__.price", cwd=tmp_path, env=env).stdout
    assert "deleted 3 traces" in _jarn("prune", "--keep", "1", cwd=tmp_path, env=env).stderr
    assert "deleted 1 trace " in _jarn("rm", "--latest", cwd=tmp_path, env=env).stderr and _jarn("traces", cwd=tmp_path, env=env).stdout.startswith("no traces")
    # a wrong password: one line, naming the host and the database, without the password
    wrong = _jarn("traces", "--db", postgres.url("postgres", password="hunter2-wrong"), cwd=tmp_path)
    assert wrong.returncode == 2 and len(wrong.stderr.splitlines()) == 1 and "hunter2" not in wrong.stderr, wrong.stderr
    assert "database 'postgres' on 127.0.0.1" in wrong.stderr and "password authentication failed" in wrong.stderr



def test_a_store_jarn_cannot_write_is_still_read(tmp_path):
    """A store on a file system mounted read-only: every command that reads works on it, the
    viewer too (indexing in memory of its own), and nothing is written beside it."""
    import pytest

    from jarn.store import save_trace
    from product_traces import call_pair, trace

    folder = tmp_path / "project"
    store = folder / ".jarn" / "db.sqlite3"
    save_trace(store, "trc_" + "R" * 26, trace(call_pair("shop.price", 1.0, 1.5, arguments={"item": "pear"}, result=2.5)))
    mounted = subprocess.run(["mount", "--bind", "-o", "ro", str(folder), str(folder)], capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a folder read-only here ({mounted.stderr.strip()}): a read-only store is not tried")
    try:
        assert subprocess.run(["touch", str(folder / ".jarn" / "x")], capture_output=True).returncode != 0  # not even root writes here
        for command, shown in ((["traces"], "app.py"), (["show", "--latest", "--no-color"], "shop.price(item='pear') -> 2.5"),
                               (["stats", "--latest"], "shop.price"), (["export", "--latest", "--format", "json"], '"shop.price"')):
            done = _jarn(*command, "--db", str(store), cwd=tmp_path)
            assert done.returncode == 0 and shown in done.stdout and done.stderr == "", (command, done.stderr)
        server = subprocess.Popen([sys.executable, "-m", "jarn", "serve", "--db", str(store), "--no-browser", "--no-token", "--port", "0"], cwd=tmp_path,
                                  env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            url = server.stdout.readline().split("viewer at ")[1].split()[0]
            [listed] = json.load(urllib.request.urlopen(url + "api/traces", timeout=60))
            for _ in range(2):  # indexed once, in the viewer's own memory
                detail = json.load(urllib.request.urlopen(f"{url}api/traces/{listed['row_id']}/calls/1", timeout=60))
                assert detail["arguments"] == {"item": "pear"} and detail["return_value"] == 2.5
        finally:
            server.terminate()
            server.wait(timeout=30)
        assert sorted(p.name for p in (folder / ".jarn").iterdir()) == [".gitignore", "db.sqlite3"]
    finally:
        subprocess.run(["umount", "-l", str(folder)], check=False)
