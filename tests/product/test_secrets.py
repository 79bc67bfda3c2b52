"""A program holding secrets in every place a trace could keep them leaves none of them in the
stored trace, in every mode, unless scrubbing is turned off."""

import json
import subprocess
import sys

import msgpack
import pytest

from conftest import child_env
from jarn import store as stores

SECRETS = ("pw-1f3a", "ak-9c2e", "tk-77b1")

PROGRAM = r'''
import dataclasses, http.server, threading, urllib.request
import httpx, requests, sqlalchemy

PASSWORD, API_KEY, TOKEN = "pw-1f3a", "ak-9c2e", "tk-77b1"


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
threading.Thread(target=server.serve_forever, daemon=True).start()
base = f"http://127.0.0.1:{server.server_port}"


@dataclasses.dataclass
class Account:
    user: str
    password: str
    api_key: str


def call_services(account, token):
    headers = {"Authorization": f"Bearer {token}", "X-Api-Key": account.api_key}
    url = f"{base}/items?token={token}&page=1"
    requests.get(url, headers=headers, timeout=30)
    httpx.get(url, headers=headers)
    urllib.request.urlopen(urllib.request.Request(url, headers=headers), timeout=30).read()
    return url


def query(password):
    engine = sqlalchemy.create_engine("sqlite://")
    with engine.connect() as conn:
        conn.execute(sqlalchemy.text("SELECT :password AS p"), {"password": password})
        conn.exec_driver_sql("CREATE TABLE users (name TEXT, password TEXT)")
        conn.exec_driver_sql("INSERT INTO users (name, password) VALUES (?, ?)", ("ann", password))
        return conn.exec_driver_sql("SELECT name FROM users WHERE password = ?", (password,)).all()


def main():
    account = Account("ann", PASSWORD, API_KEY)
    settings = {"db_password": PASSWORD, "token": TOKEN, "dsn": f"postgres://ann:{PASSWORD}@db/app"}
    call_services(account, TOKEN)
    print(query(PASSWORD))
    return settings


main()
server.shutdown()
'''


@pytest.mark.parametrize(("options", "scrubbed"), [
    (("--values", "fields"), True), (("--values", "repr"), True), (("--values", "type"), True), (("--values", "fields"), False)],
    ids=["fields", "repr", "type", "not scrubbed"])
def test_no_secret_is_stored(tmp_path, options, scrubbed):
    (tmp_path / "prog.py").write_text(PROGRAM)
    (tmp_path / "pyproject.toml").write_text("[tool.jarn]\n" + ("" if scrubbed else "scrub = false\n"))
    done = subprocess.run([sys.executable, "-m", "jarn", "run", *options, "prog.py"], cwd=tmp_path, capture_output=True,
                          text=True, timeout=300, env=child_env())
    assert done.returncode == 0 and "[('ann',)]" in done.stdout, done.stderr
    with stores.open_store(tmp_path / ".jarn" / "db.sqlite3") as store:
        [listed] = store.list()
        trace = msgpack.unpackb(store.load(listed.row_id), strict_map_key=False)
    records = [r for thread in [trace["frames_of_interest"], *trace["frames"].values()] for r in thread]
    text = json.dumps(trace, default=repr)
    found = [s for s in SECRETS if s in text]
    assert found == ([] if scrubbed else list(SECRETS)), [json.dumps(r, default=repr) for r in records if any(s in json.dumps(r, default=repr) for s in found)][:3]
    # The places they were in were recorded: headers and URLs of the requests, the SQL, the variables.
    http = [r for r in records if r.get("type") == "http" and r.get("subtype") == "request"]
    assert {r["library"] for r in http} == {"requests", "httpx", "http.client"}
    assert all(dict((k.lower(), v) for k, v in r["headers"].items())["authorization"] == "[scrubbed]" for r in http) == scrubbed, http
    sql = [r for r in records if r.get("type") == "sql"]
    assert [r["params"] for r in sql[-2:]] == ([["ann", "[scrubbed]"], ["[scrubbed]"]] if scrubbed else [["ann", SECRETS[0]], [SECRETS[0]]])
    assert any(r.get("qualname") == "__main__.call_services" for r in records)
