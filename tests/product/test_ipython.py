"""`%load_ext jarn` in an IPython shell, driven with IPython's own test tools."""

from __future__ import annotations

import json
import re
import urllib.request

import pytest

pytest.importorskip("IPython", reason="IPython is not installed: the magics are not checked")
from IPython.testing.globalipapp import get_ipython  # noqa: E402
from IPython.utils.capture import capture_output  # noqa: E402

CELL = """
def price(item):
    if item > 2:
        raise KeyError(item)
    return item * 2.5

def basket(items):
    return sum(price(i) for i in items)

total = basket([1, 2])
total + 1
"""


@pytest.fixture
def ip():
    shell = get_ipython()
    shell.run_line_magic("load_ext", "jarn")
    return shell


def _shown(ip, line: str) -> str:
    with capture_output() as out:
        ip.run_line_magic("jarn_show", line)
    return out.stdout + "".join(o.data.get("text/plain", "") for o in out.outputs)


def test_a_profiled_cell_is_stored_and_shown_with_a_link_to_the_viewer(ip, tmp_path):
    store = tmp_path / "db.sqlite3"
    # the cell runs as it would without jarn: its names stay defined, its last value is its result
    with capture_output() as out:
        result = ip.run_cell_magic("jarn", f"--db {store}", CELL)
    assert "saved in" in out.stdout and result == 8.5 and ip.user_ns["total"] == 7.5
    shown = _shown(ip, "")
    assert shown.count("<module>()") == 1 and re.search(r"basket\(items=\[1, 2\]\) -> 7\.5", shown), shown
    assert re.search(r"price\(item=2\) -> 5\.0", shown) and "<jarn-cell-" in shown
    # the link opens the same trace in the viewer
    url = re.search(r"open it in jarn serve: (\S+)", shown).group(1)
    address, row = url.split("#row=")
    base, _, token = address.partition("?")
    with urllib.request.urlopen(f"{base}api/traces/{row}/functions?{token}", timeout=60) as response:
        functions = {f["qualname"]: f["calls"] for f in json.loads(response.read())}
    assert functions["__main__.price"] == 2 and functions["__main__.basket"] == 1

    # a cell that raises still saves its trace, and the exception reaches the shell as without jarn
    with pytest.raises(KeyError), capture_output():
        ip.run_cell_magic("jarn", f"--db {store}", "basket([3])")
    assert "KeyError" in _shown(ip, "")
    # a trace that is not there is said so, in one line
    assert _shown(ip, f"trc_nothing --db {store}").strip() == f"jarn: no trace 'trc_nothing' in {store}"
