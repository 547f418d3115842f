"""`velkora analyze` in CI: --fail-on and --min-score set the exit status, --format sarif writes SARIF 2.1.0,
the analysis thresholds come from [tool.velkora], a tree without functions is no failure; --why shows the
reasons and advice in the text table and Markdown."""

import json
from pathlib import Path

import pytest

import velkora
from velkora import cli
from velkora.cli.analyze import GATE_STATUS

SAMPLE = str(Path(velkora.__file__).with_name("sample_workload.py"))


def run(capsys, *args):
    status = cli.main(["analyze", "--no-config", "--no-gpu", *args])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("args, status", [
    ([], 0),
    (["--fail-on", "cpu-intensive"], GATE_STATUS),
    (["--fail-on", "CPU_INTENSIVE", "--min-score", "0.99"], 0),
    (["--fail-on", "GPU_SUITABLE"], 0),
    (["--min-score", "0.4"], GATE_STATUS),           # any function with something to gain
    (["--min-score", "1"], 0),
], ids=["no-gate", "pattern", "pattern-below-score", "absent-pattern", "score-alone", "score-too-high"])
def test_the_gate_sets_the_exit_status(capsys, args, status):
    code, out, err = run(capsys, "--json", *args, SAMPLE)
    assert code == status and json.loads(out)["functions"]
    assert ("match --fail-on/--min-score" in err) is (status == GATE_STATUS)


def test_sarif_holds_a_result_per_function_with_something_to_gain(capsys):
    _, doc, _ = run(capsys, "--json", SAMPLE)
    code, out, _ = run(capsys, "--format", "sarif", "--fail-on", "CPU_INTENSIVE", SAMPLE)
    assert code == GATE_STATUS
    log = json.loads(out)
    assert log["version"] == "2.1.0" and log["$schema"].endswith("sarif-2.1.0.json")
    [run_] = log["runs"]
    rules = [r["id"] for r in run_["tool"]["driver"]["rules"]]
    rows = {(r["path"], r["line"]): r for r in json.loads(doc)["functions"]}
    expected = {k for k, r in rows.items() if r["benefit"] > 0 or r["pattern"] == "CPU_INTENSIVE"}
    got = set()
    for res in run_["results"]:
        where = res["locations"][0]["physicalLocation"]
        key = (where["artifactLocation"]["uri"], where["region"]["startLine"])
        got.add(key)
        assert rules[res["ruleIndex"]] == res["ruleId"] == rows[key]["pattern"]
        assert res["level"] == ("warning" if res["ruleId"] == "CPU_INTENSIVE" else "note")
        assert rows[key]["advice"] in res["message"]["text"]
    assert got == expected


def test_thresholds_come_from_the_configuration(tmp_path, monkeypatch, capsys):
    (tmp_path / "k.py").write_text("def k(w, h):\n    out = []\n    for y in range(h):\n        for x in range(w):\n"
                                   "            out.append(x * y + x - y)\n    return out\n")
    monkeypatch.chdir(tmp_path)
    (tmp_path / "pyproject.toml").write_text("[tool.velkora]\nthresholds = {cpu = 0.99}\n")
    doc = json.loads(cli.main(["analyze", "--json", "--no-gpu", "."]) == 0 and capsys.readouterr().out)
    assert doc["settings"]["thresholds"]["cpu_threshold"] == 0.99
    strict = json.loads(cli.main(["analyze", "--json", "--no-gpu", "--no-config", "."]) == 0
                        and capsys.readouterr().out)
    assert [f["pattern"] for f in doc["functions"]] != [f["pattern"] for f in strict["functions"]]
    (tmp_path / "pyproject.toml").write_text("[tool.velkora]\nthresholds = {cpu = 2}\n")
    with pytest.raises(SystemExit) as exit_:
        cli.main(["analyze", "."])
    assert exit_.value.code == 2 and "thresholds: invalid value '2'" in capsys.readouterr().err


def test_a_tree_without_functions_is_no_failure(tmp_path, capsys):
    (tmp_path / "__init__.py").write_text("from .core import *\n__all__ = ['x']\n")
    code, _, err = run(capsys, str(tmp_path))
    assert code == 0 and "note: no functions in 1 file analysed" in err


@pytest.mark.parametrize("fmt", ["text", "markdown"])
def test_why_shows_the_reasons_and_the_advice(capsys, fmt):
    _, doc, _ = run(capsys, "--json", SAMPLE)
    rows = json.loads(doc)["functions"]
    _, out, _ = run(capsys, "--why", "--format", fmt, "--quiet", SAMPLE)
    flat = " ".join(out.split()).replace("\\", "")
    for r in rows:
        assert " ".join(r["advice"].split()) in flat and " ".join(r["reasons"][0].split()) in flat
