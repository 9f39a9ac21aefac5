"""The tree stays linted and formatted: ruff (rules and style in pyproject.toml) and clang-format (.clang-format);
its packages import one way."""

import ast
import glob
import graphlib
import os
import re
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CPP_SOURCES = sorted(glob.glob(os.path.join(ROOT, "src", "*", "*.[ch]pp")))


@pytest.mark.parametrize(
    "command",
    [
        [sys.executable, "-m", "ruff", "check", "--no-cache", "."],
        [sys.executable, "-m", "ruff", "format", "--check", "--no-cache", "."],
        ["clang-format", "--dry-run", "--Werror", *CPP_SOURCES],
    ],
    ids=["ruff check", "ruff format", "clang-format"],
)
def test_the_tree_is_linted_and_formatted(command):
    if command[0] == "clang-format" and shutil.which("clang-format") is None:
        pytest.skip("clang-format is not installed (pip install '.[test]' brings it)")
    if command[0] == sys.executable:
        pytest.importorskip("ruff")
    result = subprocess.run(command, cwd=ROOT, capture_output=True, text=True)
    assert result.returncode == 0, (result.stdout + result.stderr)[-4000:]


def _package(module, depth):
    """The package an import counts for: its first ``depth`` names (quillon.validator has no subpackages)."""
    parts = module.split(".")
    return ".".join(parts[: 2 if parts[1] == "validator" else depth])


def _imports():
    """(importing module, imported module) for every import of quillon, in Python and in the C++ modules."""
    for path in glob.glob(os.path.join(ROOT, "python", "quillon", "**", "*.py"), recursive=True):
        module = os.path.relpath(path, os.path.join(ROOT, "python"))[:-3].replace(os.sep, ".")
        for node in ast.walk(ast.parse(open(path, encoding="utf-8").read())):
            names = [node.module] if isinstance(node, ast.ImportFrom) else []
            names += [alias.name for alias in node.names] if isinstance(node, ast.Import) else []
            yield from ((module, name) for name in names if name and name.startswith("quillon."))
    for path in CPP_SOURCES:
        module = "quillon.forgeline." + os.path.basename(os.path.dirname(path))
        for name in re.findall(r'"(quillon\.[\w.]+)"', open(path, encoding="utf-8").read()):
            yield module, name


@pytest.mark.parametrize("depth", [2, 3], ids=["quillon's packages", "forgeline's subpackages"])
def test_packages_import_one_way(depth):
    graph = {}
    for module, imported in _imports():
        if _package(module, depth) != _package(imported, depth):
            graph.setdefault(_package(module, depth), set()).add(_package(imported, depth))
    try:
        graphlib.TopologicalSorter(graph).prepare()
    except graphlib.CycleError as error:
        pytest.fail(f"packages import each other: {' -> '.join(error.args[1])}")
