"""Which files a walk of `velkora analyze` reads: .gitignore rules (checked against git itself where it is
installed), hidden names, --exclude, and paths reported relative to the current directory."""

import json
import os
import shutil
import subprocess
import sys

import pytest

import velkora
from velkora.analysis import gitignore

# The package as imported here, for commands run from another directory.
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(
    [os.path.dirname(os.path.dirname(velkora.__file__)), os.environ.get("PYTHONPATH", "")])}
GOOD = "def good(xs):\n    return sum(x * x for x in xs)\n"


def analyzed(*args, cwd):
    proc = subprocess.run([sys.executable, "-m", "velkora", "analyze", "--no-gpu", "--json", *map(str, args)],
                          capture_output=True, text=True, timeout=60, cwd=cwd, env=ENV)
    assert proc.returncode in (0, 1), proc.stderr
    return sorted({f["path"] for f in json.loads(proc.stdout)["functions"]}) if proc.stdout else []


@pytest.mark.parametrize("pattern, path, is_dir, ignored", [
    ("*.py", "a/b/c.py", False, True),
    ("b", "a/b", True, True),                       # no slash: a name at any depth
    ("/b", "a/b", True, False),                     # leading slash: anchored
    ("a/b", "x/a/b", True, False),                  # a slash in the middle anchors too
    ("build/", "build", False, False),              # trailing slash: directories only
    ("build/", "src/build", True, True),
    ("a/*.py", "a/x/y.py", False, False),           # * never crosses a slash
    ("a/**/y.py", "a/y.py", False, True),           # /**/ matches zero directories ...
    ("a/**/y.py", "a/x/z/y.py", False, True),       # ... or several
    ("**/gen", "deep/er/gen", True, True),
    ("gen/**", "gen/a/b.py", False, True),
    ("gen/**", "gen", True, False),
    ("a**b.py", "axyb.py", False, True),            # not a whole component: an ordinary *
    ("a**b.py", "ax/yb.py", False, False),
    ("x?.py", "x1.py", False, True),
    ("x?.py", "x/.py", False, False),
    ("[ab]c.py", "bc.py", False, True),
    ("[!ab]c.py", "bc.py", False, False),
    ("[!ab]c.py", "zc.py", False, True),
    ("[a-c]*.py", "b_1.py", False, True),
    ("\\#x.py", "#x.py", False, True),
    ("\\!x.py", "!x.py", False, True),
    ("sp\\ ", "sp ", False, True),                  # an escaped trailing space is kept ...
    ("sp   ", "sp", False, True),                  # ... others are dropped
    ("[oops.py", "[oops.py", False, True),          # an unclosed bracket is a literal
    ("[z-a].py", "z.py", False, True),              # a reversed range holds its first character only
    ("[z-a].py", "m.py", False, False),
    ("[!z-a].py", "z.py", False, False),
])
def test_a_pattern_means_what_it_means_to_git(pattern, path, is_dir, ignored):
    rules = gitignore.RuleSet("/r", gitignore.parse_lines([pattern]))
    assert bool(rules.match("/r/" + path, is_dir)) is ignored


def test_the_last_matching_line_and_the_deepest_file_win():
    top = gitignore.RuleSet("/r", gitignore.parse_lines(["*.py", "!keep*.py", "# comment", "", "keep_not.py"]))
    sub = gitignore.RuleSet("/r/sub", gitignore.parse_lines(["!*.py"]))
    assert gitignore.ignored("/r/x.py", False, [top])
    assert not gitignore.ignored("/r/keep.py", False, [top])
    assert gitignore.ignored("/r/keep_not.py", False, [top])
    assert not gitignore.ignored("/r/sub/x.py", False, [top, sub])


TREE = ["a.py", "keep.py", "build/b.py", "src/gen/g.py", "src/gen/ok.py", "src/m.py", "src/sub/deep/n.py",
        "docs/x.py", "notes/y.py", "lib/vendored/v.py"]
IGNORES = {
    ".gitignore": "build/\n/*.py\n!keep.py\nsrc/gen/*\n!src/gen/ok.py\nnotes\n",
    "src/.gitignore": "sub/deep/\n",
    "lib/.gitignore": "/vendored\n",
}


def make_tree(root):
    for rel in TREE:
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_text(GOOD)
    for rel, text in IGNORES.items():
        (root / rel).write_text(text)


def test_the_walk_leaves_out_what_gitignore_files_exclude(tmp_path):
    (tmp_path / ".git").mkdir()
    make_tree(tmp_path)
    expected = ["docs/x.py", "keep.py", "src/gen/ok.py", "src/m.py"]
    assert analyzed(".", cwd=tmp_path) == expected
    assert analyzed("--no-ignore", ".", cwd=tmp_path) == sorted(TREE)
    if shutil.which("git"):
        # git's own verdict on the same tree
        subprocess.run(["git", "init", "-q", str(tmp_path)], check=True, capture_output=True)
        listed = subprocess.run(["git", "ls-files", "--others", "--exclude-standard"], cwd=tmp_path,
                                capture_output=True, text=True, check=True).stdout.split()
        assert sorted(p for p in listed if p.endswith(".py")) == expected


def test_the_rules_above_a_walked_directory_apply_inside_its_work_tree(tmp_path):
    (tmp_path / ".git").mkdir()
    (tmp_path / ".git" / "info").mkdir()
    (tmp_path / ".git" / "info" / "exclude").write_text("private_*.py\n")
    make_tree(tmp_path)
    (tmp_path / "src" / "private_x.py").write_text(GOOD)
    assert analyzed("src", cwd=tmp_path) == ["src/gen/ok.py", "src/m.py"]
    # Outside any work tree, a parent's .gitignore is not ours to apply.
    shutil.rmtree(tmp_path / ".git")
    assert "src/gen/g.py" in analyzed("src", cwd=tmp_path)


def test_hidden_names_are_left_out_unless_asked_for(tmp_path):
    for rel in (".hidden/a.py", ".b.py", "c.py", ".git/d.py"):
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text(GOOD)
    assert analyzed(".", cwd=tmp_path) == ["c.py"]
    assert analyzed("--hidden", ".", cwd=tmp_path) == [".b.py", ".hidden/a.py", "c.py"]
    assert analyzed(".hidden", ".b.py", cwd=tmp_path) == [".b.py", ".hidden/a.py"]     # named: read


@pytest.mark.parametrize("globs, left", [
    (["tests"], ["pkg/a.py", "top.py"]),                      # a name, at any depth
    (["/pkg"], ["top.py", "x/pkg/tests/t.py"]),              # anchored at the current directory
    (["*.py,!top.py"], ["top.py"]),
    (["x/", "pkg/a.py"], ["pkg/tests/t.py", "top.py"]),
])
def test_exclude_takes_gitignore_patterns_relative_to_the_current_directory(tmp_path, globs, left):
    for rel in ("pkg/a.py", "pkg/tests/t.py", "top.py", "x/pkg/tests/t.py"):
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text(GOOD)
    args = [a for g in globs for a in ("--exclude", g)]
    assert analyzed(*args, ".", cwd=tmp_path) == left
    assert analyzed(*args, "pkg/a.py", cwd=tmp_path) == ["pkg/a.py"]          # a named file is always read


def test_paths_are_reported_relative_to_the_current_directory_and_never_cut(tmp_path):
    deep = tmp_path / "work" / ("a_rather_long_directory_name_" * 3) / "pkg"
    deep.mkdir(parents=True)
    (deep / "module_with_a_long_name.py").write_text(GOOD)
    outside = tmp_path / "elsewhere.py"
    outside.write_text(GOOD)
    rel = os.path.relpath(deep / "module_with_a_long_name.py", tmp_path / "work")
    assert analyzed(".", "../elsewhere.py", cwd=tmp_path / "work") == sorted([rel, str(outside)])
    proc = subprocess.run([sys.executable, "-m", "velkora", "analyze", "--no-gpu", "."], capture_output=True,
                          text=True, timeout=60, cwd=tmp_path / "work", env=ENV)
    assert rel in proc.stdout.splitlines()
