"""The host package's modules import one another without a cycle, also through imports made
inside functions."""

import ast
from pathlib import Path

import jarn

PACKAGE = Path(jarn.__file__).resolve().parent


def _module(path: Path) -> str:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _imports(path: Path, modules: set[str]) -> set[str]:
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            found |= {a.name for a in node.names}
        elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
            found |= {f"{node.module}.{a.name}" if f"{node.module}.{a.name}" in modules else node.module for a in node.names}
    return {name for name in found if name in modules}


def test_no_module_of_jarn_imports_itself_through_others():
    files = {_module(p): p for p in PACKAGE.rglob("*.py")}
    graph = {name: _imports(path, set(files)) - {name} for name, path in files.items()}
    cycles, done = [], set()

    def visit(name, path):
        for other in sorted(graph[name]):
            if other in path:
                cycles.append(path[path.index(other):] + [other])
            elif other not in done:
                visit(other, path + [other])
        done.add(name)

    for name in sorted(graph):
        if name not in done:
            visit(name, [name])
    # a package's own __init__ gathers its modules: importing it from one of them is no cycle
    cycles = [c for c in cycles if not any(c[i].startswith(c[i + 1] + ".") for i in range(len(c) - 1))]
    assert cycles == []
