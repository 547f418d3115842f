"""Every class with a lock under hostile thread interleavings (the scenarios live in interleavings.py).

Each scenario runs in a fresh interpreter, so that a crash or a deadlock fails its own test instead of
ending the whole run. VELKORA_INTERLEAVING_SECONDS sets how long the threads of each scenario run;
tools/stress_interleavings.py repeats them for longer.
"""

from __future__ import annotations

import os
import random

import pytest

import interleavings

pytestmark = pytest.mark.stress

SECONDS = float(os.environ.get("VELKORA_INTERLEAVING_SECONDS", "1.5"))


@pytest.mark.parametrize("name", sorted(interleavings.SCENARIOS))
def test_scenario_keeps_its_invariants(name):
    outcome = interleavings.run_in_subprocess(name, SECONDS, random.randrange(2**32))
    assert outcome.status == "ok", outcome.report()
