"""The viewer on a big generated trace, in a real browser: first opening, search, zoom, values.

Usage: PYTHONPATH=. python bench/viewer.py [--records N] [--db PATH] [--search WORD ...]

Writes (or reuses, with --db) a trace of N records (default 10 million) made by bench/views.py,
starts `jarn serve` on it, and with Playwright driving Debian's chromium measures: the first
opening (from the page asking for the trace until its call tree shows; the index is built then),
the time until the values can be searched, each search (until its results show), a zoom with the
wheel down to one nanosecond across the flame chart, and the values shown for calls at the start,
middle and end of the trace against those the trace was made with. The server's peak resident
memory is read from /proc when it exits.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=10_000_000)
    parser.add_argument("--db")
    parser.add_argument("--search", nargs="*", default=["ada", "sku-3", "/item/4242", "2.5"])
    options = parser.parse_args()
    db_path = options.db or os.path.join(tempfile.mkdtemp(), "db.sqlite3")
    if not Path(db_path).exists():
        trace_file = os.path.join(os.path.dirname(db_path), "trace.msgpack")
        subprocess.run([sys.executable, str(Path(__file__).with_name("views.py")), "--make", trace_file, "--records", str(options.records)],
                       check=True)
        subprocess.run([sys.executable, "-c", "import sys\nfrom jarn.store import save_trace\n"
                        "save_trace(sys.argv[2], 'trc_BENCH', open(sys.argv[1], 'rb').read())", trace_file, db_path],
                       check=True, env={**os.environ, "PYTHONPATH": os.getcwd()})
        os.remove(trace_file)
    from playwright.sync_api import sync_playwright

    server = subprocess.Popen([sys.executable, "-m", "jarn", "serve", "--db", db_path, "--no-browser", "--port", "0"],
                              stdout=subprocess.PIPE, text=True, env={**os.environ, "PYTHONPATH": os.getcwd()})
    url = server.stdout.readline().split("viewer at ")[1].split()[0]  # type: ignore[union-attr]
    peak = 0

    def watch() -> int:
        nonlocal peak
        try:
            for line in Path(f"/proc/{server.pid}/status").read_text().splitlines():
                if line.startswith("VmHWM:"):
                    peak = max(peak, int(line.split()[1]) // 1024)
        except OSError:
            pass
        return peak

    try:
        with sync_playwright() as p:
            browser = p.chromium.launch(executable_path=shutil.which("chromium"), args=["--no-sandbox", "--disable-gpu"])
            page = browser.new_page(viewport={"width": 1400, "height": 860})
            page.goto(url)
            page.wait_for_selector("#traces tbody tr")
            start = time.perf_counter()
            page.locator("#traces tbody tr").first.click()
            page.wait_for_selector("#tree .row", timeout=600_000)
            print(f"first opening: {time.perf_counter() - start:.1f} s (server peak so far {watch()} MiB)")
            row = page.evaluate("window.jarnViewer.state.row")
            start = time.perf_counter()
            page.evaluate(f"fetch('/api/traces/{row}/search?q=ada')")
            page.wait_for_function(f"fetch('/api/traces/{row}/search?q=ada').then(r => r.ok)", timeout=600_000)
            print(f"values searchable after: {time.perf_counter() - start:.1f} s more")
            for word in options.search:
                start = time.perf_counter()
                page.fill("#search", "")
                page.fill("#search", word)
                page.wait_for_function(f"(() => {{ const p = document.querySelector('#results-list p');"
                                       f" return p !== null && p.textContent.includes('“{word}”'); }})()", timeout=600_000)
                found = page.locator("#results-list [data-call]").count()
                print(f"search {word!r}: {time.perf_counter() - start:.2f} s, {found} calls shown (includes the page's 250 ms pause)")
            box = page.locator("#flame").bounding_box()
            page.mouse.move(box["x"] + box["width"] / 3, box["y"] + 30)
            start = time.perf_counter()
            for _ in range(60):
                page.mouse.wheel(0, -3000)
            page.wait_for_function("(() => { const v = window.jarnViewer.state.view; return Math.abs(v.t1 - v.t0 - 1e-9) < 1e-12; })()")
            page.evaluate("new Promise(r => requestAnimationFrame(() => r()))")
            print(f"zoomed to 1 ns across the chart in {time.perf_counter() - start:.1f} s, page still answering")
            calls = page.evaluate(f"fetch('/api/traces/{row}').then(r => r.json()).then(s => s.calls)")
            handles = (calls - 1) // 5  # bench/views.py: one module call, then handle(n) and its four price calls
            for n in (0, handles // 2, handles - 1):
                call_id = 2 + 5 * n
                start = time.perf_counter()
                page.evaluate(f"location.hash = 'row={row}&call={call_id}'")
                page.wait_for_function(f"window.jarnViewer.state.detail && window.jarnViewer.state.detail.id === {call_id}", timeout=60_000)
                detail = page.inner_text("#detail")
                right = f'"/item/{n}"' in detail
                print(f"handle(n={n}) (call {call_id}): shown in {time.perf_counter() - start:.2f} s, values {'right' if right else 'WRONG'}")
            browser.close()
    finally:
        watch()
        server.terminate()
        server.wait(timeout=30)
        print(f"server peak resident memory: {peak} MiB")


if __name__ == "__main__":
    main()
