"""How `jarn` reads its command line (no program is run here)."""

from __future__ import annotations

import pytest

from jarn.cli import main, split_run_arguments


@pytest.mark.parametrize(
    ("argv", "options", "program", "module"),
    [
        (["app.py"], [], ["app.py"], False),
        (["--threading", "app.py", "--threading", "-m", "x"], ["--threading"], ["app.py", "--threading", "-m", "x"], False),
        (["--db", "t.db", "--include", "-weird-", "app.py", "--db"], ["--db", "t.db", "--include", "-weird-"], ["app.py", "--db"], False),
        (["-m", "pkg.tool", "--source", "x"], [], ["pkg.tool", "--source", "x"], True),
        (["--no-threading", "-mpkg", "a"], ["--no-threading"], ["pkg", "a"], True),
        (["--", "-odd-name.py", "b"], [], ["-odd-name.py", "b"], False),
        (["app.py", "--", "x"], [], ["app.py", "--", "x"], False),
        (["--source=nightly", "app.py"], ["--source=nightly"], ["app.py"], False),
        (["--threading"], ["--threading"], None, False),
        (["-m"], [], None, True),
    ],
)
def test_parsing_stops_at_the_program(argv, options, program, module):
    assert split_run_arguments(argv) == (options, program, module)


@pytest.mark.parametrize(
    "argv",
    [["run"], ["run", "--db"], ["run", "--frobnicate", "x.py"], ["nonsense"], [], ["show", "--depth", "deep"],
     ["export", "trc_x", "--format", "pdf"]],
)
def test_usage_mistakes_are_one_error_line(argv, capsys):
    try:
        code = main(argv)
    except SystemExit as stopped:  # argparse's own way out
        code = stopped.code
    err = capsys.readouterr().err
    assert code == 2 and err.count("\n") == 1 and err.startswith("jarn: error: "), err
