"""Filter presets: installed libraries to include, named framework sets to ignore."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

from jarn.config import ConfigError, load_config
from jarn.filters import IGNORE_SETS, resolve_ignore_sets, resolve_include_libraries


def test_include_library_resolves_package_folders_without_importing(tmp_path, child_environ):
    code = (
        "import sys\n"
        "from jarn.filters import resolve_include_libraries\n"
        "[json_dir, rpc_dir] = resolve_include_libraries(['json', 'xmlrpc'])\n"
        "assert 'xmlrpc' not in sys.modules, 'looking a library up imported it'\n"
        "import json, xmlrpc, os\n"
        "assert (os.path.dirname(json.__file__) + '/', os.path.dirname(xmlrpc.__file__) + '/') == (json_dir, rpc_dir)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=child_environ, timeout=600)
    assert done.returncode == 0, done.stderr


def test_single_module_library_is_its_file(tmp_path, monkeypatch):
    (tmp_path / "lonely_mod_xyz.py").write_text("x = 1\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    assert resolve_include_libraries(["lonely_mod_xyz"]) == [str(tmp_path / "lonely_mod_xyz.py")]


def test_library_pattern_matches_the_frames_file_names(tmp_path, monkeypatch):
    """The pattern is matched against co_filename as the import system spelled it."""
    real = tmp_path / "real"
    (real / "pkg_xyz").mkdir(parents=True)
    (real / "pkg_xyz" / "__init__.py").write_text("def where():\n    return where.__code__.co_filename\n")
    os.symlink(real, tmp_path / "link")
    monkeypatch.syspath_prepend(str(tmp_path / "link"))
    patterns = resolve_include_libraries(["pkg_xyz"])
    import pkg_xyz

    assert any(p in pkg_xyz.where() for p in patterns)
    assert all(p.endswith("/") for p in patterns)


@pytest.mark.parametrize("name", ["no_such_lib_xyz", "sys", "", "a b", "json..x"])
def test_unknown_or_fileless_library_is_a_clear_value_error(name):
    with pytest.raises(ValueError, match=repr(name) if name else "library"):
        resolve_include_libraries([name])


def test_ignore_sets():
    assert resolve_ignore_sets(["flask", "asyncio"]) == ["/flask/", "/werkzeug/", "/jinja2/", "/asyncio/"]
    assert all(p.startswith("/") and p.endswith("/") for ps in IGNORE_SETS.values() for p in ps)
    with pytest.raises(ValueError, match="unknown ignore set 'djnago'.*django"):
        resolve_ignore_sets(["djnago"])


def test_presets_reach_the_configuration(tmp_path):
    (tmp_path / "pyproject.toml").write_text('[tool.jarn]\ninclude-library = ["json"]\nignore-sets = ["django"]\n')
    config = load_config({"ignore": ["/vendor/"]}, start=tmp_path)
    assert config["filters"]["ignore_frames"] == ["/django/", "/vendor/"]
    assert config["filters"]["include_frames"][0].endswith("/json/")
    (tmp_path / "pyproject.toml").write_text('[tool.jarn]\nignore-sets = ["nope"]\n')
    with pytest.raises(ConfigError, match="nope"):
        load_config(start=tmp_path)
