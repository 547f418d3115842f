"""Which files `velkora analyze` reads, and how: the walk of the trees named, and reading source text.

The walk decides everything that needs no more than a stat (ignore rules, hidden names, file kinds, sizes,
files reached twice), so that what is handed to the analysis, in this process or another, is a plain list
of regular files to read.
"""

from __future__ import annotations

import io
import os
import stat
import tokenize
from collections.abc import Callable, Iterator
from typing import BinaryIO, NamedTuple, overload

from velkora.analysis import gitignore

# A file larger than this is reported and skipped: parsing takes about 100 bytes of memory per byte of
# source, and hand-written modules stay well below it.
DEFAULT_MAX_FILE_SIZE = 4 * 2**20

STDIN = "-"

_FILE_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
               (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


class Skip(Exception):
    """A file or directory left out, with the reason to report."""


class WalkOptions(NamedTuple):
    hidden: bool = False                # enter hidden directories, read hidden files
    respect_gitignore: bool = True
    exclude: gitignore.RuleSet | None = None


class Item(NamedTuple):
    """One input in report order: a file to analyse, or (`error` set) one to report and skip."""
    path: str                           # as opened (absolute for walked files; STDIN for standard input)
    display: str                        # as reported: relative to the current directory where inside it
    error: str | None = None
    size: int = 0


# What a directory walk picks up: Python source and Jupyter notebooks.
SOURCE_SUFFIXES = (".py", ".ipynb")

def printable(text: str) -> str:
    """`text` on one line: control characters and undecodable bytes of file names escaped."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else ascii(c)[1:-1] for c in text)


def display_path(path: str, cwd: str | None) -> str:
    """`path` relative to `cwd` when inside it (never `..`), else absolute; `cwd` None keeps it as given."""
    if cwd is None or path == STDIN:
        return path
    full = os.path.abspath(os.path.join(cwd, path))
    if full == cwd:
        return "."
    prefix = cwd if cwd.endswith("/") else cwd + "/"
    return full[len(prefix):] if full.startswith(prefix) else full


def _current_directory() -> str | None:
    try:
        return os.getcwd()
    except OSError:                     # removed under us: report paths as given
        return None


def _scan(directory: str) -> list[os.DirEntry[str]]:
    with os.scandir(directory) as it:
        return sorted(it, key=lambda e: e.name)


def walk(top: str, options: WalkOptions) -> Iterator[tuple[str, str | None]]:
    """(path, error) for the *.py files under directory `top` (absolute), depth first in name order.

    Hidden names (and always `.git`), symlinked directories and what the ignore rules or --exclude name are
    left out; a directory that cannot be listed comes back with its error.
    """
    rules: tuple[gitignore.RuleSet, ...] = gitignore.enclosing_rules(top) if options.respect_gitignore else ()
    stack: list[tuple[Iterator[os.DirEntry[str]], tuple[gitignore.RuleSet, ...]]] = []

    def enter(directory: str, rules: tuple[gitignore.RuleSet, ...]) -> str | None:
        try:
            entries = _scan(directory)
        except OSError as exc:
            return f"cannot read directory: {exc.strerror or exc}"
        if options.respect_gitignore:
            own = gitignore.load(os.path.join(directory, ".gitignore"), directory)
            if own:
                rules = rules + (own,)
        stack.append((iter(entries), rules))
        return None

    error = enter(top, rules)
    if error:
        yield top, error
    while stack:
        entries, rules = stack[-1]
        entry = next(entries, None)
        if entry is None:
            stack.pop()
            continue
        name = entry.name
        if name.startswith(".") and (not options.hidden or name == ".git"):
            continue
        try:
            is_dir = entry.is_dir()
        except OSError:
            is_dir = False
        if is_dir and entry.is_symlink():
            continue
        if not is_dir and not name.endswith(SOURCE_SUFFIXES):
            continue
        path = entry.path
        if gitignore.ignored(path, is_dir, rules):
            continue
        if options.exclude is not None and options.exclude.match(path, is_dir):
            continue
        if is_dir:
            error = enter(path, rules)
            if error:
                yield path, error
        else:
            yield path, None


def check_regular(st: os.stat_result, max_size: int) -> None:
    # Only regular files: a FIFO would block the read and a device (a link to /dev/zero) never ends.
    if not stat.S_ISREG(st.st_mode):
        kind = next((name for test, name in _FILE_KINDS if test(st.st_mode)), "an unknown kind")
        raise Skip(f"not a regular file ({kind})")
    if st.st_size > max_size:
        raise Skip(f"{st.st_size} bytes, over the size limit of {max_size} (see --max-file-size)")


def collect(paths: list[str], options: WalkOptions, max_size: int, on_found: Callable[[int], object] | None = None,
            stdin_name: str | None = None) -> list[Item]:
    """The inputs of a run, in report order: each file named, then each directory's walk.

    A regular file reached more than once (links, a path named twice or named and walked) is kept once,
    under the first name that is not a symbolic link, else under the first name. `on_found(count)` is
    told how many files have been found so far, now and then (for a progress line). Standard input is
    reported as `stdin_name`, default `<stdin>`.
    """
    cwd = _current_directory()
    found: list[tuple[Item, tuple[int, int] | None, bool]] = []     # (Item, identity or None, is_link)

    def add(path: str, error: str | None = None) -> None:
        display = display_path(path, cwd) if path != STDIN else display_path(stdin_name or "<stdin>", cwd)
        if error is not None:
            found.append((Item(path, display, error), None, False))
            return
        if path == STDIN:
            found.append((Item(path, display), None, False))
            return
        try:
            st = os.stat(path)
            check_regular(st, max_size)
        except (OSError, Skip) as exc:
            found.append((Item(path, display, describe(exc)), None, False))
            return
        is_link = os.path.islink(path)
        found.append((Item(path, display, None, st.st_size), (st.st_dev, st.st_ino), is_link))
        if on_found is not None and len(found) % 256 == 0:
            on_found(len(found))

    for p in paths:
        if p != STDIN and os.path.isdir(p):
            for path, error in walk(os.path.abspath(p), options):
                add(path, error)
        else:
            add(p)

    chosen: dict[tuple[int, int], int] = {}
    for index, (_, identity, is_link) in enumerate(found):
        if identity is not None:
            first = chosen.get(identity)
            if first is None or (found[first][2] and not is_link):
                chosen[identity] = index
    keep = set(chosen.values())
    return [item for index, (item, identity, _) in enumerate(found) if identity is None or index in keep]


def _read_up_to(f: BinaryIO, limit: int, hint: int) -> bytes:
    """At most `limit` bytes of `f`; `hint` (the size fstat reported) sizes the first read."""
    parts, left, size = [], limit, min(hint + 1, limit)
    while left > 0:
        part = f.read(size)
        if not part:
            break
        parts.append(part)
        left -= len(part)
        size = min(left, 1 << 20)
    return b"".join(parts)


def decode_source(data: bytes) -> str:
    """Source bytes decoded as the interpreter decodes them (BOM, coding line), newlines translated."""
    # What tokenize.open does, on bytes already read.
    buffer = io.BytesIO(data)
    encoding, _ = tokenize.detect_encoding(buffer.readline)
    buffer.seek(0)
    return io.TextIOWrapper(buffer, encoding, line_buffering=True).read()


@overload
def read_source(path: str, max_size: int, seen: None = None) -> str: ...
@overload
def read_source(path: str, max_size: int, seen: set[tuple[int, int]]) -> str | None: ...
def read_source(path: str, max_size: int, seen: set[tuple[int, int]] | None = None) -> str | None:
    """The text of a regular file, decoded as the interpreter decodes source.

    With `seen` (a set of file identities), None for a file already read under another name.
    """
    data = read_bytes(path, max_size, seen)
    return None if data is None else decode_source(data)


@overload
def read_bytes(path: str, max_size: int, seen: None = None) -> bytes: ...
@overload
def read_bytes(path: str, max_size: int, seen: set[tuple[int, int]]) -> bytes | None: ...
def read_bytes(path: str, max_size: int, seen: set[tuple[int, int]] | None = None) -> bytes | None:
    """The bytes of a regular file of at most `max_size` bytes (None: already read, as read_source)."""
    check_regular(os.stat(path), max_size)
    # Non-blocking, so that a FIFO put in the file's place since the stat cannot hang the open.
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    with open(fd, "rb") as f:
        st = os.fstat(fd)
        check_regular(st, max_size)
        if seen is not None:
            if (st.st_dev, st.st_ino) in seen:
                return None
            seen.add((st.st_dev, st.st_ino))
        data = _read_up_to(f, max_size + 1, st.st_size)
    if len(data) > max_size:
        raise Skip(f"more than the size limit of {max_size} bytes (see --max-file-size)")
    return data


def read_stdin(stream: BinaryIO, max_size: int) -> str:
    return decode_source(read_stdin_bytes(stream, max_size))


def read_stdin_bytes(stream: BinaryIO, max_size: int) -> bytes:
    data = _read_up_to(stream, max_size + 1, 1 << 16)
    if len(data) > max_size:
        raise Skip(f"more than the size limit of {max_size} bytes (see --max-file-size)")
    return data


def describe(exc: BaseException) -> str:
    """The one-line reason reported for a file that could not be analysed."""
    if isinstance(exc, Skip):
        return str(exc)
    if isinstance(exc, SyntaxError):
        where = f" at line {exc.lineno}" if exc.lineno else ""
        return f"syntax error{where}: {exc.msg}"
    # The parser's own limits on nesting: it recurses once per operator or nested expression.
    if isinstance(exc, RecursionError):
        return f"too deeply nested to parse (RecursionError: {exc})"
    if isinstance(exc, MemoryError):
        return "too deeply nested or too large to parse (MemoryError)"
    if isinstance(exc, OSError) and exc.strerror:
        return f"cannot read: {exc.strerror}"
    return f"{type(exc).__name__}: {exc}"


# What reading or parsing one file may raise; anything else is a fault of ours and is not hidden.
FILE_ERRORS = (Skip, SyntaxError, ValueError, RecursionError, MemoryError, OSError)
