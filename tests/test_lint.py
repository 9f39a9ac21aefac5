"""The tree stays linted and formatted: ruff (rules and style in pyproject.toml) and clang-format (.clang-format)."""

import glob
import os
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
