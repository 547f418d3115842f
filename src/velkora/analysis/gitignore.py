"""Path patterns with the syntax and meaning of .gitignore files, for the walk of `velkora analyze`.

Implemented here rather than asking git: a tree need not be a repository, git need not be installed, and
one process per directory would cost more than the analysis of the files in it.

What is followed (gitignore(5)): blank lines and `#` comments; `\\` escapes (`\\#`, `\\!`, a trailing `\\ `);
trailing spaces dropped; `!` re-includes; a trailing `/` matches directories only; a pattern with a `/` at the
start or in the middle is anchored to the directory of its file, one without matches a name at any depth;
`*`, `?` and `[...]` (with `!` or `^` to negate) never match `/`; `**/`, `/**/` and `/**` match any number
of directories. The last matching line wins, and a deeper file's lines come after its parents'. A path inside
an ignored directory is never seen: the walk does not enter the directory, so it cannot be re-included.
"""

from __future__ import annotations

import os
import re
import stat
from collections.abc import Iterable, Sequence


def translate(pattern: str) -> str:
    """A regular expression for `pattern` (no leading or trailing `/`), matching the whole relative path."""
    out, i, n = [], 0, len(pattern)
    while i < n:
        c = pattern[i]
        if c == "*":
            j = i
            while j < n and pattern[j] == "*":
                j += 1
            # `**` is special only as a whole path component; elsewhere any run of stars is one `*`.
            if j - i == 2 and (i == 0 or pattern[i - 1] == "/") and (j == n or pattern[j] == "/"):
                if j == n:
                    out.append(".*")
                    i = j
                else:
                    out.append("(?:.*/)?")
                    i = j + 1
                continue
            out.append("[^/]*")
            i = j
        elif c == "?":
            out.append("[^/]")
            i += 1
        elif c == "[":
            cls, i = _bracket(pattern, i)
            out.append(cls)
        elif c == "\\" and i + 1 < n:
            out.append(re.escape(pattern[i + 1]))
            i += 2
        else:
            out.append(re.escape(c))
            i += 1
    return "".join(out)


def _bracket(pattern: str, start: int) -> tuple[str, int]:
    """The class that starts at pattern[start] ('['), and the index after it; a lone '[' is literal."""
    i, n = start + 1, len(pattern)
    negate = i < n and pattern[i] in "!^"
    if negate:
        i += 1
    items, first = [], True
    while i < n and (pattern[i] != "]" or first):
        c = pattern[i]
        if c == "\\" and i + 1 < n:
            i += 1
            c = pattern[i]
        if i + 2 < n and pattern[i + 1] == "-" and pattern[i + 2] != "]":
            lo, hi = c, pattern[i + 2]
            # A reversed range holds its first character only, as in git (which tests it before it
            # sees the `-`); as a regular expression it would be an error.
            items.append(f"{re.escape(lo)}-{re.escape(hi)}" if lo <= hi else re.escape(lo))
            i += 3
        else:
            items.append(re.escape(c))
            i += 1
        first = False
    if i >= n:
        return re.escape("["), start + 1
    body = "".join(items)
    # A class never matches the separator, negated or not.
    return (f"[^/{body}]" if negate else f"(?!/)[{body}]"), i + 1


class Rule:
    __slots__ = ("regex", "negate", "dir_only", "anchored")

    def __init__(self, body: str, negate: bool = False):
        self.negate = negate
        self.dir_only = body.endswith("/")
        body = body.rstrip("/")
        self.anchored = "/" in body
        body = translate(body[1:] if body.startswith("/") else body)
        self.regex = re.compile(("" if self.anchored else "(?:.*/)?") + body + r"\Z", re.S)


def parse_lines(lines: Iterable[str]) -> list[Rule]:
    rules = []
    for line in lines:
        line = line.rstrip("\r\n")
        if not line or line.startswith("#"):
            continue
        while line.endswith(" ") and not line.endswith("\\ "):      # trailing spaces go unless escaped
            line = line[:-1]
        negate = line.startswith("!")
        if negate:
            line = line[1:]
        elif line.startswith(("\\!", "\\#")):
            line = line[1:]
        if line.strip("/"):
            rules.append(Rule(line, negate))
    return rules


class RuleSet:
    """The rules of one file (or of --exclude), relative to the directory `base` (absolute)."""

    __slots__ = ("base", "rules", "anywhere")

    def __init__(self, base: str, rules: list[Rule], anywhere: bool = False):
        self.base = base.rstrip("/") or "/"
        self.rules = rules
        # For --exclude: an unanchored pattern also applies to paths outside `base` (named by their
        # base name), as a user who excludes `tests` expects wherever the tree is.
        self.anywhere = anywhere

    def match(self, path: str, is_dir: bool) -> bool | None:
        """True when the last matching rule ignores absolute `path`, False when it re-includes it, None
        when no rule matches."""
        prefix = self.base if self.base.endswith("/") else self.base + "/"
        if path.startswith(prefix):
            rel = path[len(prefix):]
        elif self.anywhere:
            rel = None
        else:
            return None
        for rule in reversed(self.rules):
            if rule.dir_only and not is_dir:
                continue
            if rel is None:
                if rule.anchored or not rule.regex.match(os.path.basename(path)):
                    continue
            elif not rule.regex.match(rel):
                continue
            return not rule.negate
        return None


def ignored(path: str, is_dir: bool, rulesets: Sequence[RuleSet]) -> bool:
    """Whether absolute `path` is ignored by `rulesets`, outermost first (later sets override earlier)."""
    for rs in reversed(rulesets):
        verdict = rs.match(path, is_dir)
        if verdict is not None:
            return verdict
    return False


def load(path: str, base: str, limit: int = 1 << 20) -> RuleSet | None:
    """The rules of file `path` relative to `base`; None when absent, unreadable, not a regular file or huge."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError:
        return None
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode) or st.st_size > limit:
            return None
        data = os.read(fd, limit)
    except OSError:
        return None
    finally:
        os.close(fd)
    rules = parse_lines(data.decode("utf-8", "surrogateescape").splitlines())
    return RuleSet(base, rules) if rules else None


def enclosing_rules(directory: str) -> tuple[RuleSet, ...]:
    """The rules that apply inside absolute `directory` from above it: .git/info/exclude and the .gitignore
    files of the directories between the top of the git work tree that holds it and its parent. Nothing when
    no work tree holds it. (`directory`'s own .gitignore is read by the walk.)"""
    above, top = [], directory
    while not os.path.exists(os.path.join(top, ".git")):
        parent = os.path.dirname(top)
        if parent == top:
            return ()
        top = parent
        above.append(top)
    sets = [load(os.path.join(top, ".git", "info", "exclude"), top)]
    sets += [load(os.path.join(d, ".gitignore"), d) for d in reversed(above)]
    return tuple(rs for rs in sets if rs)
