"""Filter presets: installed libraries to include, named framework sets to ignore."""

from __future__ import annotations

import json
import os
import sys

import pytest

from jarn.config import ConfigError, load_config
from jarn.filters import IGNORE_SETS, resolve_ignore_sets, resolve_include_libraries


def test_include_library_matches_the_file_names_python_gives_without_importing(tmp_path, monkeypatch):
    real = tmp_path / "real"
    (real / "pkg_xyz").mkdir(parents=True)
    (real / "pkg_xyz" / "__init__.py").write_text("def where():\n    return where.__code__.co_filename\n")
    (real / "lonely_mod_xyz.py").write_text("x = 1\n")
    os.symlink(real, tmp_path / "link")  # matched as the import system spells the path
    monkeypatch.syspath_prepend(str(tmp_path / "link"))
    patterns = resolve_include_libraries(["pkg_xyz", "lonely_mod_xyz", "json"])
    assert "pkg_xyz" not in sys.modules, "looking a library up imported it"
    import pkg_xyz

    link = str(tmp_path / "link")
    assert patterns[:3] == [f"{link}/pkg_xyz/", f"{os.path.realpath(real)}/pkg_xyz/", f"{link}/lonely_mod_xyz.py"]
    assert patterns[0] in pkg_xyz.where() and patterns[3] == os.path.dirname(json.__file__) + "/"
    monkeypatch.delitem(sys.modules, "pkg_xyz")


@pytest.mark.parametrize(("names", "message"), [
    (["no_such_lib_xyz"], "'no_such_lib_xyz'"), (["sys"], "'sys'"), ([""], "library"), (["a b"], "'a b'"), (["json..x"], "'json..x'")])
def test_unknown_or_fileless_library_is_a_clear_value_error(names, message):
    with pytest.raises(ValueError, match=message):
        resolve_include_libraries(names)


def test_ignore_sets_and_presets_in_the_configuration(tmp_path):
    assert resolve_ignore_sets(["flask", "asyncio"]) == ["/flask/", "/werkzeug/", "/jinja2/", "/asyncio/"]
    assert all(p.startswith("/") and p.endswith("/") for ps in IGNORE_SETS.values() for p in ps)
    with pytest.raises(ValueError, match="unknown ignore set 'djnago'.*django"):
        resolve_ignore_sets(["djnago"])
    (tmp_path / "pyproject.toml").write_text('[tool.jarn]\ninclude-library = ["json"]\nignore-sets = ["django"]\n')
    config = load_config({"ignore": ["/vendor/"]}, start=tmp_path)
    assert config["filters"]["ignore_frames"] == ["/django/", "/vendor/"] and config["filters"]["include_frames"][0].endswith("/json/")
    (tmp_path / "pyproject.toml").write_text('[tool.jarn]\nignore-sets = ["nope"]\n')
    with pytest.raises(ConfigError, match="nope"):
        load_config(start=tmp_path)
