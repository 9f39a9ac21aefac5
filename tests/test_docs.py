"""The documents stay true: their code compiles and runs, and the layout names every source."""

import os
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def read(*parts):
    with open(os.path.join(ROOT, *parts), encoding="utf-8") as stream:
        return stream.read()


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs a C++ compiler")
def test_the_extending_guide_example_compiles(tmp_path):
    pybind11 = pytest.importorskip("pybind11")
    (example,) = re.findall(r"```cpp\n(#include.*?)```", read("docs", "extending.md"), re.S)
    source = tmp_path / "example.cpp"
    source.write_text(example)
    result = subprocess.run(
        [
            "g++",
            "-std=c++17",
            "-fsyntax-only",
            f"-I{os.path.join(ROOT, 'src')}",
            f"-I{pybind11.get_include()}",
            f"-I{sysconfig.get_paths()['include']}",
            str(source),
        ],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr[-3000:]


def test_the_layout_names_every_source_file():
    layout = read("docs", "layout.md")
    missing = []
    for top in ("src", os.path.join("python", "quillon")):
        for folder, _, files in os.walk(os.path.join(ROOT, top)):
            for name in files:
                stem, extension = os.path.splitext(name)
                if extension in (".cpp", ".hpp", ".py") and stem != "__init__" and stem not in layout:
                    missing.append(os.path.relpath(os.path.join(folder, name), ROOT))
    assert not missing, f"docs/layout.md does not mention {missing}"


def test_the_minimal_example_runs_as_its_docstring_says(tmp_path):
    script = os.path.join(ROOT, "examples", "train_detection_minimal.py")
    (command,) = re.findall(r"^\s+(python \S+.*)$", read("examples", "train_detection_minimal.py"), re.M)
    arguments = command.split()[1:]
    assert arguments[0] == "examples/train_detection_minimal.py"
    # The package as installed (here: as this test process finds it), from any folder.
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), TF_CPP_MIN_LOG_LEVEL="3")
    result = subprocess.run(
        [sys.executable, script, str(tmp_path / "run")],
        cwd=tmp_path,
        env=environment,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert f"Run folder: {tmp_path / 'run'}" in result.stdout
