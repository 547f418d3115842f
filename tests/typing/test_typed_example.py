"""`mypy --strict` on the package and on a typed script that uses every module (skipped without mypy),
and the script itself run: the types the stubs promise, and that the code they describe works."""

import os
import pathlib
import runpy
import site
import subprocess
import sys

import pytest

import velkora

HERE = pathlib.Path(__file__).parent
EXAMPLE = HERE / "typed_example.py"


def test_example_runs():
    runpy.run_path(str(EXAMPLE), run_name="__main__")


def test_mypy_strict_on_the_package_and_the_example():
    pytest.importorskip("mypy")
    root = pathlib.Path(velkora.__file__).resolve().parent.parent
    # An installed velkora is found as a typed package; a checkout's src/ has to be named.
    installed = {pathlib.Path(p).resolve() for p in [*site.getsitepackages(), site.getusersitepackages()]}
    paths = [str(HERE)] + ([] if root in installed else [str(root)])
    env = dict(os.environ, MYPYPATH=os.pathsep.join(paths))
    config = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"
    cmd = [sys.executable, "-m", "mypy", "--no-incremental", "--strict", "-p", "velkora", "-m", EXAMPLE.stem]
    if config.exists():
        cmd[3:3] = ["--config-file", str(config)]
    r = subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=HERE)
    assert r.returncode == 0, r.stdout + r.stderr
