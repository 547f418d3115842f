"""`velkora analyze` on hostile trees: files that break the parser, files that are not files, links,
encodings, unreadable directories and odd names. One bad input is reported on one line and skipped."""

import json
import os
import subprocess
import sys
from dataclasses import asdict

import pytest

from velkora import cli
from velkora.analysis import analyze_source
from velkora.analysis.sources import Skip, decode_source, read_source
from velkora.cli.commands import parser

GOOD = "def good(xs):\n    return sum(x * x for x in xs)\n"


def analyze(*args, timeout=60):
    return subprocess.run([sys.executable, "-m", "velkora", "analyze", "--no-gpu", *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


def error_lines(stderr):
    return [line for line in stderr.splitlines() if ": error: " in line]


@pytest.mark.parametrize("source, reason", [
    # The parser recurses once per operator and gives up.
    ("def f(x):\n    return " + "+".join(["x"] * 3000) + "\n", "nested"),
    ("def f():\n    return " + "not " * 100_000 + "x\n", "nested"),
    ("f = " + "lambda: " * 100_000 + "0\n", "nested"),
    (b"def f():\n    return 1\0\n", "null"),
    (b"def f():\n    return '\xff'\n", "UnicodeDecodeError"),
    ("# -*- coding: no-such-codec -*-\ndef f(): pass\n", "syntax error"),
    ("# -*- coding: base64 -*-\ndef f(): pass\n", "syntax error: encoding problem: base64"),
    ("def f(:\n", "syntax error at line 1"),
], ids=["deep-sum", "not-chain", "lambda-chain", "null-byte", "not-utf-8", "unknown-coding", "codec-coding", "syntax"])
def test_a_file_that_breaks_the_parser_is_reported_and_the_rest_analysed(tmp_path, source, reason):
    bad = tmp_path / "bad.py"
    bad.write_bytes(source if isinstance(source, bytes) else source.encode())
    (tmp_path / "good.py").write_text(GOOD)
    proc = analyze("--json", tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "Traceback" not in proc.stderr
    names = [f["function"] for f in json.loads(proc.stdout)["functions"]]
    if names == ["f", "good"] and reason == "nested" and sys.version_info >= (3, 13):
        return  # a newer parser may take the whole expression: then it is simply analysed
    assert names == ["good"]
    [line] = error_lines(proc.stderr)
    assert line.startswith(f"{bad}: error: ") and reason in line


@pytest.mark.parametrize("codec", ["base64", "hex", "zlib", "rot13", "uu_codec", "bz2_codec", "quopri",
                                   "utf-16", "utf-32"])
def test_a_coding_line_the_interpreter_refuses_is_a_syntax_error(codec):
    with pytest.raises(SyntaxError, match=f"encoding problem: {codec}"):
        decode_source(f"# -*- coding: {codec} -*-\ndef f(): pass\n".encode())


def fifo(path):
    os.mkfifo(path)


def link_to_dev_zero(path):
    path.symlink_to("/dev/zero")


@pytest.mark.parametrize("make, kind", [(fifo, "FIFO"), (link_to_dev_zero, "character device")])
@pytest.mark.parametrize("named", [False, True], ids=["walked", "named"])
def test_only_regular_files_are_read(tmp_path, make, kind, named):
    special = tmp_path / "x.py"
    make(special)
    (tmp_path / "good.py").write_text(GOOD)
    # A read of either would block or run until memory is gone; the timeout turns that into a failure.
    proc = analyze(*([special, tmp_path / "good.py"] if named else [tmp_path]), timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert " good " in proc.stdout
    assert error_lines(proc.stderr) == [f"{special}: error: not a regular file (a {kind})"]


def test_the_size_limit_is_reported_and_adjustable(tmp_path):
    big = tmp_path / "big.py"
    big.write_text(GOOD + "#" * 2000 + "\n")
    proc = analyze("--max-file-size", "1K", big)
    assert proc.returncode == 1
    [line] = error_lines(proc.stderr)
    assert line.startswith(f"{big}: error: ") and "size limit of 1024" in line and "--max-file-size" in line
    assert analyze("--max-file-size", "3K", big).returncode == 0
    assert analyze(big).returncode == 0                   # well under the default


def test_a_file_longer_than_it_claims_is_cut_off_at_the_limit():
    # /proc files are regular and report size 0, like a file that grows while it is read.
    with pytest.raises(Skip, match="more than the size limit of 100 bytes"):
        read_source("/proc/self/maps", 100, set())
    assert "\n" in read_source("/proc/self/maps", 10**7, set())


@pytest.mark.parametrize("text, value", [("4096", 4096), ("1K", 1024), ("4m", 4 << 20), ("1G", 1 << 30)])
def test_size_arguments(text, value):
    assert parser().parse_args(["analyze", "--max-file-size", text, "x.py"]).max_file_size == value


@pytest.mark.parametrize("text", ["0", "-1", "1.5M", "abc", "", "1T", "١٢", "9" * 40])
def test_bad_sizes_are_usage_errors(text, capsys):
    with pytest.raises(SystemExit) as exit_:
        cli.main(["analyze", "--max-file-size", text, "x.py"])
    assert exit_.value.code == 2
    assert "invalid size" in capsys.readouterr().err


def test_an_unreadable_directory_is_reported(tmp_path, monkeypatch, capsys):
    # Simulated: root reads any directory, and CI runs as root.
    for name in ("a", "locked", "z"):
        (tmp_path / name).mkdir()
        (tmp_path / name / f"in_{name}.py").write_text(f"def in_{name}(): pass\n")
    locked = str(tmp_path / "locked")
    real_scandir = os.scandir

    def scandir(path="."):
        if os.fspath(path) == locked:
            raise PermissionError(13, "Permission denied", path)
        return real_scandir(path)

    monkeypatch.setattr(os, "scandir", scandir)
    assert cli.main(["analyze", "--json", "--no-gpu", str(tmp_path)]) == 0
    out, err = capsys.readouterr()
    result = json.loads(out)
    assert [f["function"] for f in result["functions"]] == ["in_a", "in_z"]
    reason = "cannot read directory: Permission denied"
    assert result["skipped"] == [{"path": locked, "file": locked, "reason": reason}]
    assert error_lines(err) == [f"{locked}: error: cannot read directory: Permission denied"]


@pytest.mark.parametrize("how", ["symlink", "hardlink", "named twice", "named and walked"])
def test_each_real_file_is_analysed_once(tmp_path, how):
    real = tmp_path / "real.py"
    real.write_text(GOOD)
    args = [tmp_path]
    if how == "symlink":
        (tmp_path / "alias.py").symlink_to(real)
    elif how == "hardlink":
        os.link(real, tmp_path / "alias.py")
    elif how == "named twice":
        args = [real, real]
    else:
        args = [real, tmp_path]
    proc = analyze("--json", *args)
    assert proc.returncode == 0, proc.stderr
    assert [f["function"] for f in json.loads(proc.stdout)["functions"]] == ["good"]


@pytest.mark.parametrize("data", [
    b"\xef\xbb\xbfdef good(xs):\n    return 'caf\xc3\xa9'\n",
    b"# -*- coding: latin-1 -*-\ndef good(xs):\n    return 'caf\xe9'\n",
    b"#!/usr/bin/env python\n# vim: set fileencoding=cp1252 :\ndef good(xs):\n    return '\x80 caf\xe9'\r\n",
], ids=["bom", "latin-1", "cp1252-crlf"])
def test_source_is_decoded_as_the_interpreter_decodes_it(tmp_path, data):
    path = tmp_path / "enc.py"
    path.write_bytes(data)
    namespace = {}
    exec(compile(data, str(path), "exec"), namespace)       # the interpreter runs it
    assert namespace["good"]([]).endswith("café")
    proc = analyze("--json", path)
    assert proc.returncode == 0, proc.stderr
    [row] = json.loads(proc.stdout)["functions"]
    text = read_source(str(path), 10**6, set())
    assert "café" in text and "\r" not in text and not text.startswith("\ufeff")
    expected = asdict(analyze_source(text, str(path), False, None)[0])
    assert {key: row[key] for key in expected} == expected


@pytest.mark.parametrize("name", [b"new\nline.py", b"tab\there.py", b"\xff\xfe.py"])
def test_odd_file_names_stay_on_one_line(tmp_path, name):
    good = os.path.join(os.fsencode(tmp_path), name)
    with open(good, "w") as f:
        f.write(GOOD)
    with open(os.path.join(os.fsencode(tmp_path), b"bad_" + name), "w") as f:
        f.write("def f(:\n")
    proc = analyze(tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "Traceback" not in proc.stderr
    table = proc.stdout.split("\n\n")[0]                  # the summary follows after a blank line
    [row] = [line for line in table.splitlines() if " good " in line]
    [line] = error_lines(proc.stderr)
    assert "bad_" in line and "syntax error" in line
