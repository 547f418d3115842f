import sys


def pytest_terminal_summary(terminalreporter):
    registry = sys.modules.get("fuzz_registry")
    if registry is None or not registry.TALLY["calls"]:
        return
    tally = registry.TALLY
    terminalreporter.write_line(
        f"hostile fuzzing: {tally['calls']} calls over {len(tally['callables'])} callables")
