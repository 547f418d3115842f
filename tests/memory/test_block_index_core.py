"""The pure C++ tree core, compiled on its own with the sanitizers and checked against std::map."""

import pathlib
import shutil
import subprocess

import pytest

HERE = pathlib.Path(__file__).resolve().parent
SRC = HERE.parents[1] / "src"
CXX = shutil.which("g++") or shutil.which("clang++")


@pytest.fixture(scope="module")
def core_check(tmp_path_factory):
    if CXX is None:
        pytest.skip("no C++ compiler")
    exe = tmp_path_factory.mktemp("core") / "core_check"
    cmd = [CXX, "-std=c++20", "-O1", "-g", "-Wall", "-Wextra", "-Werror", "-fsanitize=address,undefined",
           "-fno-sanitize-recover=all", "-I", str(SRC), str(HERE / "test_block_index_core.cpp"), "-o", str(exe)]
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    if proc.returncode != 0:
        pytest.fail(f"core check did not build:\n{proc.stderr}")
    return exe


@pytest.mark.parametrize("seed", [1, 7, 12345])
def test_core_against_model(core_check, seed):
    proc = subprocess.run([str(core_check), str(seed)], capture_output=True, text=True, timeout=300,
                          env={"ASAN_OPTIONS": "detect_leaks=1"})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"
