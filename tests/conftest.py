import subprocess
import sys

import pytest


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter (import-time behaviour); returns the completed process."""

    def run(code: str, check: bool = True):
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        if check and proc.returncode != 0:
            raise AssertionError(f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
        return proc

    return run
