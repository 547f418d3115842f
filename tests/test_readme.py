"""The README's examples run as they stand."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


def test_readme_has_examples():
    assert len(BLOCKS) >= 9


@pytest.mark.parametrize("code", BLOCKS, ids=[f"example{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(code):
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
