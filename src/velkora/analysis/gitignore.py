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
from collections.abc import Callable, Iterable, Sequence


_SEP, _STAR, _DSTAR = "/", "*", "**"


def _atoms(pattern: str) -> list[str]:
    """`pattern` in pieces: `/`, `*` (a run of stars inside a component), `**` (a whole component, with
    the `/` after it), or the regular expression of exactly one character."""
    out, i, n = [], 0, len(pattern)
    while i < n:
        c = pattern[i]
        if c == "*":
            j = i
            while j < n and pattern[j] == "*":
                j += 1
            # `**` is special only as a whole path component; elsewhere any run of stars is one `*`.
            if j - i == 2 and (i == 0 or pattern[i - 1] == "/") and (j == n or pattern[j] == "/"):
                out.append(_DSTAR)
                i = j if j == n else j + 1
                continue
            out.append(_STAR)
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
    return out


def _regex(atoms: list[str]) -> str:
    last = len(atoms) - 1
    return "".join(("(?:.*/)?" if k < last else ".*") if a == _DSTAR else "[^/]*" if a == _STAR else a
                   for k, a in enumerate(atoms))


def translate(pattern: str) -> str:
    """A regular expression for `pattern` (no leading or trailing `/`), matching the whole relative path."""
    return _regex(_atoms(pattern))


class _Component:
    """One path component's pattern with stars, matched without backtracking: the pieces between the
    stars have a fixed length, so the first must start the name, the last end it, and each one between
    is taken where it first occurs after the one before (the stars absorb whatever lies between).
    Time: linear in the name's length times the pattern's."""

    __slots__ = ("first", "middle", "last", "first_len", "last_len")

    def __init__(self, atoms: list[str]):
        pieces: list[list[str]] = [[]]
        for a in atoms:
            if a == _STAR:
                pieces.append([])
            else:
                pieces[-1].append(a)
        self.first, self.last = (re.compile("".join(p), re.S) for p in (pieces[0], pieces[-1]))
        self.middle = [re.compile("".join(p), re.S) for p in pieces[1:-1] if p]
        self.first_len, self.last_len = len(pieces[0]), len(pieces[-1])

    def match(self, name: str) -> bool:
        end = len(name) - self.last_len
        if end < self.first_len or not self.first.match(name) or not self.last.match(name, end):
            return False
        pos = self.first_len
        for piece in self.middle:
            found = piece.search(name, pos, end)
            if found is None:
                return False
            pos = found.end()
        return True


class _Glob:
    """A pattern with several stars, matched against a relative path without a backtracking regular
    expression (which takes time exponential in the number of stars on a name that fails late).

    Components are matched one by one; a `**` matches any number of them (at the end, at least one), and
    the runs of components between the `**`s are each taken where they first fit, as above.
    Time: the path's length times the pattern's."""

    __slots__ = ("groups",)

    def __init__(self, atoms: list[str]):
        components: list[_Component | re.Pattern[str] | None] = []      # None: a `**`
        current: list[str] = []
        for a in atoms:
            if a == _SEP:
                components.append(self._component(current))
                current = []
            elif a == _DSTAR:               # `current` is empty: a `**` is a whole component
                components.append(None)
            else:
                current.append(a)
        if current or not components or components[-1] is not None:
            components.append(self._component(current))
        else:                               # a trailing `**` stands for one component or more
            components[-1:] = [_Component([_STAR]), None]
        self.groups: list[list[_Component | re.Pattern[str]]] = [[]]
        for c in components:
            if c is None:
                self.groups.append([])
            else:
                self.groups[-1].append(c)

    @staticmethod
    def _component(atoms: list[str]) -> _Component | re.Pattern[str]:
        return _Component(atoms) if _STAR in atoms else re.compile("".join(atoms) + r"\Z", re.S)

    @staticmethod
    def _fits(group: list[_Component | re.Pattern[str]], parts: list[str], at: int) -> bool:
        return all(c.match(parts[at + k]) for k, c in enumerate(group))

    def match(self, path: str) -> bool:
        parts, groups = path.split("/"), self.groups
        head, tail = groups[0], groups[-1]
        if len(groups) == 1:
            return len(parts) == len(head) and self._fits(head, parts, 0)
        end = len(parts) - len(tail)
        if end < len(head) or not self._fits(head, parts, 0) or not self._fits(tail, parts, end):
            return False
        pos = len(head)
        for group in groups[1:-1]:
            at = next((k for k in range(pos, end - len(group) + 1) if self._fits(group, parts, k)), None)
            if at is None:
                return False
            pos = at + len(group)
        return True


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
    """One line. `test(text)` is true when it matches: the relative path for an anchored line, the last
    component for one without a `/` (which matches a name at any depth)."""

    __slots__ = ("test", "negate", "dir_only", "anchored")

    def __init__(self, body: str, negate: bool = False):
        self.negate = negate
        self.dir_only = body.endswith("/")
        body = body.rstrip("/")
        self.anchored = "/" in body
        atoms = _atoms(body[1:] if body.startswith("/") else body)
        # A regular expression with one star at most cannot backtrack far; with more, it can take time
        # exponential in their number, and a hostile repository chooses its .gitignore.
        if sum(a == _STAR or a == _DSTAR for a in atoms) <= 1:
            self.test: Callable[[str], object] = re.compile(_regex(atoms) + r"\Z", re.S).match
        else:
            self.test = _Glob(atoms).match


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
        name = path.rpartition("/")[2]
        for rule in reversed(self.rules):
            if rule.dir_only and not is_dir:
                continue
            if rule.anchored:
                if rel is None or not rule.test(rel):
                    continue
            elif not rule.test(name):
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
