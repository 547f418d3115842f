"""What `velkora analyze` reports: the formats (each parsed back), sorting and filtering, the summary, the
80-column table, colour, and standard input."""

import csv
import io
import json
import re
from collections import Counter
from dataclasses import fields
from pathlib import Path

import pytest

import velkora
from velkora import cli
from velkora.cli import report
from velkora.analysis import advice
from velkora.analysis.classify import FunctionReport

SAMPLE = str(Path(velkora.__file__).with_name("sample_workload.py"))
ANSI = re.compile(r"\033\[[0-9;]*m")


def run(capsys, *args):
    status = cli.main(["analyze", "--no-config", *args])
    out, err = capsys.readouterr()
    return status, out, err


def document(capsys, *args):
    status, out, err = run(capsys, "--json", *args)
    assert status == 0, err
    return json.loads(out)


def test_csv_and_markdown_carry_what_json_carries(capsys):
    doc = document(capsys, "--gpu", "--compute-capability", "8.6", SAMPLE)
    _, out, _ = run(capsys, "--csv", "--gpu", "--compute-capability", "8.6", SAMPLE)
    rows = list(csv.DictReader(io.StringIO(out)))
    assert len(rows) == len(doc["functions"]) >= 10
    for got, want in zip(rows, doc["functions"]):
        assert set(got) == set(want) - {"file", "function"}
        for key, text in got.items():
            value = want[key]
            expected = "" if value is None else "; ".join(value) if isinstance(value, list) else str(value)
            assert text == expected, key                 # floats at full precision: they parse back equal
    _, out, _ = run(capsys, "--markdown", "--wide", SAMPLE)
    table = [line for line in out.splitlines() if line.startswith("| `")]
    assert len(table) == len(rows) and all(line.count(" | ") == 14 for line in table)


@pytest.mark.parametrize("sort", report.SORTS)
def test_sort_and_top(capsys, sort):
    args = ("--gpu", "--compute-capability", "8.6", "--sort", sort, SAMPLE)
    rows = document(capsys, *args)["functions"]
    keys = [report.SORT_KEYS[sort](r) for r in rows]
    assert keys == sorted(keys)
    if sort == "speedup":
        assert rows[0]["gpu_speedup"] > 1.0 and rows[0]["gpu_speedup"] >= rows[-1]["gpu_speedup"]
    if sort == "score":
        assert [r["score"] for r in rows] == sorted((r["score"] for r in rows), reverse=True)
    top = document(capsys, "--top", "3", *args)
    assert top["functions"] == rows[:3]
    assert (top["summary"]["shown"], top["summary"]["selected"]) == (3, len(rows))


def test_pattern_and_min_speedup_select_what_the_table_and_summary_count(capsys):
    every = document(capsys, SAMPLE)["functions"]
    wanted = ("CPU_INTENSIVE", "MIXED", "SEQUENTIAL")
    doc = document(capsys, "--pattern", "cpu-intensive,MIXED", "--pattern", "SEQUENTIAL", SAMPLE)
    assert doc["functions"] == [r for r in every if r["pattern"] in wanted]
    assert doc["summary"]["by_pattern"] == dict(sorted(
        Counter(r["pattern"] for r in doc["functions"]).items(), key=lambda kv: (-kv[1], kv[0])))
    assert set(doc["summary"]["by_pattern"]) == set(wanted)
    assert {c["pattern"] for c in doc["summary"]["top_candidates"]} == {"CPU_INTENSIVE"}
    assert doc["summary"]["analysed"] == len(every) and doc["settings"]["patterns"] == list(wanted)
    fast = document(capsys, "--gpu", "--min-speedup", "2", SAMPLE)["functions"]
    assert fast and all(r["gpu_speedup"] >= 2 for r in fast)
    assert document(capsys, "--no-gpu", "--min-speedup", "1.01", SAMPLE)["functions"] == []


@pytest.mark.parametrize("args, message", [
    (["--pattern", "FAST"], "unknown pattern 'FAST'"),
    (["--top", "0"], "expected a positive whole number"),
    (["--min-speedup", "nan"], "invalid speedup"),
    (["--sort", "name"], "invalid choice"),
    (["--jobs", "-1"], "expected a positive whole number"),
])
def test_bad_choices_are_usage_errors(capsys, args, message):
    with pytest.raises(SystemExit) as exit_:
        cli.main(["analyze", *args, SAMPLE])
    assert exit_.value.code == 2 and message in capsys.readouterr().err


def fake(name, pattern, line, path="pkg/mod.py", **scores):
    values = {f.name: 0 for f in fields(FunctionReport)} | {"gpu_speedup": 1.0, "advice": "", "actionable": True} | scores
    values |= {"file": path, "line": line, "function": name, "pattern": pattern,
               "pattern_code": None if pattern == "NO_CODE" else 0}
    return FunctionReport(**values)


@pytest.mark.parametrize("pattern, scores, expected", [
    ("SKLEARN_INFERENCE", {"sklearn_score": 0.4, "cpu_intensity": 0.9}, 0.4),
    ("GPU_MEMORY_BOUND", {"gpu_suitability": 0.7}, 0.7),
    ("PARALLEL_FRIENDLY", {"parallelization_potential": 0.8}, 0.8),
    ("SEQUENTIAL", {"parallelization_potential": 0.25}, 0.75),
    ("MIXED", {"cpu_intensity": 0.1, "memory_intensity": 0.2}, 0.2),
    ("NO_CODE", {"cpu_intensity": 0.5}, 0.0),
])
def test_score_is_the_evidence_for_the_pattern(pattern, scores, expected):
    assert report.function_row(fake("f", pattern, 1, **scores))["score"] == pytest.approx(expected)


def test_the_table_fits_80_columns_and_cuts_nothing():
    long_path = "src/" + "deeply_nested_package/" * 4 + "module.py"
    reports = [
        fake("<module>", "MIXED", 1),
        fake("Outer.method.<locals>.a_helper_with_a_name_too_long_for_its_column", "CPU_INTENSIVE", 12,
             cpu_intensity=0.5),
        fake("abstract", "NO_CODE", 30),
        fake("kernel", "GPU_COMPUTE_INTENSIVE", 7, path=long_path, gpu_suitability=0.9, gpu_speedup=22.5),
    ]
    doc = report.document(reports, [("bad.py", "syntax error at line 1: x")], 2, {"sort": "path"})
    text = report.render_text(doc)
    lines = text.splitlines()
    assert all(len(line) <= 80 for line in lines if long_path not in line)
    assert long_path in lines and "Outer.method.<locals>.a_helper_with_a_name_too_long_for_its_column" in text
    [no_code] = [line for line in lines if " abstract " in line]
    assert "no code" in no_code and "0.00" not in no_code
    assert "<module>" in text
    assert "  1. kernel  GPU_COMPUTE_INTENSIVE  score 0.90  gpu class 22.5x" in lines
    assert [c["name"] for c in doc["summary"]["top_candidates"]] == [
        "kernel", "Outer.method.<locals>.a_helper_with_a_name_too_long_for_its_column"]
    assert doc["summary"]["by_pattern"]["NO_CODE"] == 1 and "1 skipped" in text
    # The summary comes after the table.
    assert text.index("functions per pattern") > text.index(" kernel ")
    header = lines[0]
    row = next(line for line in lines if " kernel " in line)
    assert header.index("pattern") == row.index("GPU_COMPUTE_INTENSIVE")
    # The figure is a class read from the code's shape, not a time: the header does not call it a speedup.
    assert "speedup" not in header and header.rstrip().endswith("gpu class")


@pytest.mark.parametrize("env, args, coloured", [
    ({}, [], False),                                    # captured output is not a terminal
    ({"FORCE_COLOR": "1"}, [], True),
    ({"FORCE_COLOR": "0"}, [], False),
    ({"FORCE_COLOR": "1", "NO_COLOR": "1"}, [], False),
    ({"NO_COLOR": "1"}, ["--color", "always"], True),
    ({"FORCE_COLOR": "1"}, ["--color", "never"], False),
])
def test_colour_only_where_wanted(capsys, monkeypatch, env, args, coloured):
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.delenv("FORCE_COLOR", raising=False)
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    _, out, _ = run(capsys, "--no-gpu", *args, SAMPLE)
    assert bool(ANSI.search(out)) is coloured
    assert ANSI.sub("", out) == run(capsys, "--no-gpu", "--color", "never", SAMPLE)[1]
    _, out, _ = run(capsys, "--no-gpu", "--json", *args, SAMPLE)
    assert "\033" not in out


@pytest.mark.parametrize("name_args, reported", [([], "<stdin>"), (["--stdin-filename", "pkg/x.py"], "pkg/x.py")])
def test_a_dash_reads_one_file_from_standard_input(capsys, monkeypatch, name_args, reported):
    source = "# -*- coding: latin-1 -*-\ndef caf\xe9(xs):\n    return [x * 2 for x in xs]\n"
    monkeypatch.setattr("sys.stdin", io.TextIOWrapper(io.BytesIO(source.encode("latin-1"))))
    doc = document(capsys, "--no-gpu", *name_args, "-")
    assert [(r["path"], r["name"]) for r in doc["functions"]] == [(reported, "café")]
    with pytest.raises(SystemExit):
        cli.main(["analyze", "-", "-"])
    assert "once" in capsys.readouterr().err


def test_markdown_keeps_a_table_cell_whole(tmp_path, capsys):
    odd = tmp_path / "a|b.py"
    odd.write_text("def f():\n    return 1\n")
    _, out, _ = run(capsys, "--markdown", "--no-gpu", str(odd))
    [row] = [line for line in out.splitlines() if line.startswith("| `")]
    assert "a\\|b.py:1" in row and row.count(" | ") == 4


def code_span(text):
    """The content of the CommonMark code span that `text` must be, whole."""
    fence = re.match("`+", text).group()
    close = next(m for m in re.finditer("`+", text[len(fence):]) if len(m.group()) == len(fence))
    assert len(fence) + close.end() == len(text), f"the span ends early in {text!r}"
    content = text[len(fence):len(fence) + close.start()]
    if content.startswith(" ") and content.endswith(" ") and content.strip(" "):
        content = content[1:-1]
    return content


@pytest.mark.parametrize("name", ["plain.py", "a`b.py", "a``b.py", "`x.py", "x.py`", "``<img src=x onerror=alert(1)>",
                                  "a ``` b `` c ` d.py"])
def test_no_file_name_can_end_its_markdown_code_span(name):
    assert code_span(report._md(name)) == name


def test_without_a_gpu_candidates_are_ranked_by_expected_benefit(capsys):
    doc = document(capsys, "--no-gpu", "--sort", "speedup", SAMPLE)
    rows = doc["functions"]
    candidates = [r for r in rows if r["benefit"] > 0]
    assert candidates and rows[:len(candidates)] == candidates         # nothing with nothing to gain first
    assert all(r["pattern"] not in ("SEQUENTIAL", "MIXED", "NO_CODE") and r["actionable"] for r in candidates)
    top = doc["summary"]["top_candidates"]
    assert [c["name"] for c in top] == [r["name"] for r in sorted(candidates, key=report.SORT_KEYS["benefit"])][:5]
    assert doc["summary"]["notes"] == [report.NO_GPU_NOTE]
    _, text, _ = run(capsys, "--no-gpu", SAMPLE)
    assert text.count("note: no GPU") == 1 and top[0]["advice"] in text.replace("\n     ", " ")
    assert document(capsys, "--gpu", SAMPLE)["summary"]["notes"] == []


def test_tests_rank_after_the_codes_own_rows_with_as_much_to_gain():
    rows = [{"name": name, "benefit": 0.0, "score": score, "gpu_speedup": 1.0, "advice": adv, "path": "p.py",
             "cell": None, "line": line}
            for line, (name, score, adv) in enumerate([("test_x", 1.0, advice.TEST), ("helper", 0.2, "x")])]
    for sort in ("benefit", "speedup"):
        assert [r["name"] for r in sorted(rows, key=report.SORT_KEYS[sort])] == ["helper", "test_x"]
