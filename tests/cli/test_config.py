"""Settings from [tool.velkora] in the nearest pyproject.toml: found from the current directory upwards,
overridden by the command line, and refused with a usage error when not understood."""

import json

import pytest

from velkora import cli

GOOD = "def good(xs):\n    return sum(x * x for x in xs)\n"
CONFIG = """
[tool.velkora]
sort = "score"
top = 2
pattern = ["mixed", "PARALLEL_FRIENDLY"]
exclude = ["skip_*.py"]
max-file-size = "64K"
compute-capability = "7.5"
"""


@pytest.fixture
def project(tmp_path, monkeypatch):
    (tmp_path / "pyproject.toml").write_text(CONFIG)
    (tmp_path / "src" / "pkg").mkdir(parents=True)
    for name in ("a.py", "b.py", "skip_c.py"):
        (tmp_path / "src" / "pkg" / name).write_text(f"def {name[:-3]}():\n    return 1\n")     # MIXED
    monkeypatch.chdir(tmp_path / "src")                 # found from a directory below
    return tmp_path


def settings(capsys, *args):
    status = cli.main(["analyze", "--json", "--gpu", *args, "."])
    out, err = capsys.readouterr()
    assert status == 0, err
    doc = json.loads(out)
    return doc["settings"], sorted(f["name"] for f in doc["functions"])


def test_the_nearest_table_applies(project, capsys):
    got, names = settings(capsys)
    assert (got["sort"], got["top"], got["patterns"], got["exclude"]) == (
        "score", 2, ["MIXED", "PARALLEL_FRIENDLY"], ["skip_*.py"])
    assert (got["max_file_size"], got["compute_capability"]) == (65536, "7.5")
    assert got["config"] == str(project / "pyproject.toml") and names == ["a", "b"]


def test_the_command_line_wins(project, capsys):
    got, names = settings(capsys, "--sort", "path", "--top", "5", "--pattern", "MIXED", "--exclude", "a.py",
                          "--max-file-size", "1M")
    assert (got["sort"], got["top"], got["patterns"], got["exclude"], got["max_file_size"]) == (
        "path", 5, ["MIXED"], ["a.py"], 1 << 20)
    assert names == ["b", "skip_c"]


def test_excludes_of_the_table_are_relative_to_its_directory(project, capsys):
    (project / "pyproject.toml").write_text('[tool.velkora]\nexclude = "/src/pkg/b.py"\n')
    assert settings(capsys)[1] == ["a", "skip_c"]
    assert settings(capsys, "--exclude", "/pkg/a.py")[1] == ["b", "skip_c"]      # ours: from here


def test_no_config_and_an_explicit_file(project, capsys, tmp_path_factory):
    got, names = settings(capsys, "--no-config")
    assert (got["sort"], got["top"], got["config"]) == ("path", None, None) and len(names) == 3
    other = tmp_path_factory.mktemp("elsewhere") / "velkora.toml"
    other.write_text('[tool.velkora]\nsort = "speedup"\n')
    assert settings(capsys, "--config", str(other))[0]["sort"] == "speedup"


def test_a_nearer_pyproject_without_the_table_is_passed_over(project, capsys):
    (project / "src" / "pyproject.toml").write_text('[project]\nname = "velkora-user"\n')
    assert settings(capsys)[0]["top"] == 2
    (project / "src" / "pyproject.toml").write_text("this is [not toml\n")      # not ours: ignored
    assert settings(capsys)[0]["top"] == 2


@pytest.mark.parametrize("line, message", [
    ("sortt = 'path'", "unknown key 'sortt'"),
    ("top = '3'", "top: expected a number"),
    ("top = 0", "top: invalid value"),
    ("top = true", "top: expected a number"),
    ("wide = 'yes'", "wide: expected true or false"),
    ("format = 'xml'", "format: invalid choice 'xml'"),
    ("pattern = ['NOPE']", "pattern: unknown pattern 'NOPE'"),
    ("exclude = [1]", "exclude: expected a string or a list of strings"),
    ("compute-capability = 'x'", "compute-capability: invalid compute capability"),
    ("velkora = 1\n[tool.velkora.x]", "unknown key"),
])
def test_what_is_not_understood_is_a_usage_error(tmp_path, monkeypatch, capsys, line, message):
    (tmp_path / "pyproject.toml").write_text(f"[tool.velkora]\n{line}\n")
    (tmp_path / "a.py").write_text(GOOD)
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as exit_:
        cli.main(["analyze", "."])
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and message in err and "pyproject.toml" in err


def test_invalid_toml_that_names_us_is_a_usage_error(tmp_path, monkeypatch, capsys):
    (tmp_path / "pyproject.toml").write_text("[tool.velkora\n")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as exit_:
        cli.main(["analyze", "."])
    assert exit_.value.code == 2 and "not valid TOML" in capsys.readouterr().err


@pytest.mark.parametrize("value", ["[" * 5000 + "]" * 5000, "{a = " * 5000 + "1" + "}" * 5000],
                         ids=["arrays", "inline-tables"])
def test_toml_nested_too_deeply_is_a_usage_error_naming_the_file(tmp_path, monkeypatch, capsys, value):
    (tmp_path / "pyproject.toml").write_text(f"[tool.velkora]\nx = {value}\n")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as exit_:
        cli.main(["analyze", "."])
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and "pyproject.toml: arrays or tables nested too deeply" in err
