"""velkora's command line: host probe and static workload analysis.

    velkora                        probe summary, then the analysis of a bundled sample workload
    velkora probe [--json]         the host capability report
    velkora analyze PATH... [--json] [--gpu | --no-gpu] [--compute-capability X.Y] [--max-file-size SIZE]

`python -m velkora` is the same command. The analysis itself lives in velkora.analysis.
Exit status: 0 on success, 2 on usage errors, 1 when nothing could be analysed, 130 when interrupted,
141 when the output pipe closed early.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import stat
import sys
import tokenize
from dataclasses import asdict
from pathlib import Path

from velkora import __version__
from velkora.analysis import DEFAULT_THRESHOLDS, FunctionReport, analyze_source, detect_gpu
from velkora.analysis import source_segment  # noqa: F401  (imported from here before the split)

SAMPLE = Path(__file__).with_name("sample_workload.py")


# ---- probe -------------------------------------------------------------------------------------

def probe_report() -> dict:
    from velkora.native import host_probe

    return host_probe.detect_capabilities()


def format_probe(caps: dict) -> str:
    if caps.get("has_gpu"):
        gpu = (f"{caps.get('gpu_count', 0)} x {caps.get('active_backend')} "
               f"{caps.get('backend_version') or ''}".rstrip())
        if caps.get("gpu_memory_mb"):
            gpu += f", {caps['gpu_memory_mb']} MiB"
    else:
        gpu = "none (CPU only)"
    lines = [
        f"velkora {__version__}: host capabilities ({caps.get('detector')}, "
        f"{caps.get('detection_time_ms', 0.0):.2f} ms)",
        f"  physical cores        {caps.get('physical_cores')}",
        f"  NUMA nodes            {caps.get('numa_nodes')}",
        f"  GPU                   {gpu}",
        f"  interpreter           Python {caps.get('python_version')} on {caps.get('platform')}",
        f"  sub-interpreters      {'supported' if caps.get('subinterpreter_support') else 'not supported'}",
    ]
    if "error" in caps:
        lines.append(f"  probe error           {caps['error']}")
    return "\n".join(lines)


# ---- files -------------------------------------------------------------------------------------

# A file larger than this is reported and skipped: parsing takes about 100 bytes of memory per byte of
# source, and hand-written modules stay well below it.
DEFAULT_MAX_FILE_SIZE = 4 * 2**20

_FILE_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
               (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


class Skip(Exception):
    """A file or directory left out, with the reason to report."""


def _printable(text: str) -> str:
    """`text` on one line: control characters and undecodable bytes of file names escaped."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else ascii(c)[1:-1] for c in text)


def _walk(top: str, problems: list):
    """*.py under `top`, depth first in name order; hidden and symlinked directories are not entered."""
    stack = [top]
    while stack:
        directory = stack.pop()
        try:
            with os.scandir(directory) as it:
                entries = sorted(it, key=lambda e: e.name)
        except OSError as exc:
            problems.append((directory, f"cannot read directory: {exc.strerror or exc}"))
            continue
        subdirs = []
        for entry in entries:
            try:
                is_dir = entry.is_dir()
            except OSError:
                is_dir = False
            if is_dir:
                if not entry.name.startswith(".") and not entry.is_symlink():
                    subdirs.append(entry.path)
            elif entry.name.endswith(".py"):
                yield entry.path
        stack.extend(reversed(subdirs))


def iter_python_files(paths: list[str], problems: list):
    """The files named, and the *.py files of the directories named; unreadable directories go to `problems`."""
    for p in paths:
        if os.path.isdir(p):
            yield from _walk(p, problems)
        else:
            yield p


def _check_regular(st: os.stat_result, max_size: int) -> None:
    # Only regular files: a FIFO would block the read and a device (a link to /dev/zero) never ends.
    if not stat.S_ISREG(st.st_mode):
        kind = next((name for test, name in _FILE_KINDS if test(st.st_mode)), "an unknown kind")
        raise Skip(f"not a regular file ({kind})")
    if st.st_size > max_size:
        raise Skip(f"{st.st_size} bytes, over the size limit of {max_size} (see --max-file-size)")


def _read_up_to(f, limit: int, hint: int) -> bytes:
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


def read_source(path: str, max_size: int, seen: set) -> str | None:
    """The text of a regular file, decoded as the interpreter decodes source (BOM, coding line).

    None for a file already read under another name (a symlink, a hard link, a path given twice).
    """
    _check_regular(os.stat(path), max_size)
    # Non-blocking, so that a FIFO put in the file's place since the stat cannot hang the open.
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    with open(fd, "rb") as f:
        st = os.fstat(fd)
        _check_regular(st, max_size)
        if (st.st_dev, st.st_ino) in seen:
            return None
        seen.add((st.st_dev, st.st_ino))
        data = _read_up_to(f, max_size + 1, st.st_size)
    if len(data) > max_size:
        raise Skip(f"more than the size limit of {max_size} bytes (see --max-file-size)")
    # What tokenize.open does, on the bytes already read.
    buffer = io.BytesIO(data)
    encoding, _ = tokenize.detect_encoding(buffer.readline)
    buffer.seek(0)
    return io.TextIOWrapper(buffer, encoding, line_buffering=True).read()


def _describe(exc: BaseException) -> str:
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


def analyze_paths(paths: list[str], gpu_available: bool, compute_capability: str | None,
                  max_size: int = DEFAULT_MAX_FILE_SIZE):
    """(reports, problems): problems are (path, message) for what could not be analysed.

    One bad file never stops the run: whatever reading or parsing it raises is reported and it is skipped.
    """
    reports, problems, seen = [], [], set()
    for path in iter_python_files(paths, problems):
        try:
            text = read_source(path, max_size, seen)
            if text is not None:
                reports.extend(analyze_source(text, path, gpu_available, compute_capability))
        except (Skip, SyntaxError, ValueError, RecursionError, MemoryError, OSError) as exc:
            problems.append((path, _describe(exc)))
    return reports, problems


def format_reports(reports: list[FunctionReport]) -> str:
    header = (f"{'location':32s} {'function':24s} {'pattern':22s} {'cpu':>5s} {'mem':>5s} "
              f"{'par':>5s} {'gpu':>5s} {'speedup':>8s}")
    rows = [header, "-" * len(header)]
    for r in reports:
        loc = f"{_printable(r.file)}:{r.line}"
        if len(loc) > 32:
            loc = "..." + loc[-29:]
        rows.append(f"{loc:32s} {r.function[:24]:24s} {r.pattern:22s} {r.cpu_intensity:5.2f} "
                    f"{r.memory_intensity:5.2f} {r.parallelization_potential:5.2f} "
                    f"{r.gpu_suitability:5.2f} {r.gpu_speedup:7.1f}x")
    return "\n".join(rows)


# ---- entry point -------------------------------------------------------------------------------

def _parser(prog: str = "velkora") -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog=prog, description="velkora: host probe and workload analysis")
    ap.add_argument("--version", action="version", version=f"velkora {__version__}")
    sub = ap.add_subparsers(dest="command")
    p = sub.add_parser("probe", help="report the host's capabilities")
    p.add_argument("--json", action="store_true", help="print the report as JSON")
    a = sub.add_parser("analyze", help="classify the workload of every function in Python files")
    a.add_argument("paths", nargs="+", metavar="PATH", help="Python files or directories (walked for *.py)")
    a.add_argument("--json", action="store_true", help="print the results as JSON")
    g = a.add_mutually_exclusive_group()
    g.add_argument("--gpu", dest="gpu", action="store_true", default=None, help="assume a GPU is available")
    g.add_argument("--no-gpu", dest="gpu", action="store_false", help="assume no GPU")
    a.add_argument("--compute-capability", metavar="X.Y", type=_compute_capability, default=None,
                   help="GPU compute capability to score against (default: none given)")
    a.add_argument("--max-file-size", metavar="SIZE", type=_size, default=DEFAULT_MAX_FILE_SIZE,
                   help="skip (and report) files larger than this: bytes, or a number with K, M or G "
                        f"(default: {DEFAULT_MAX_FILE_SIZE >> 20}M)")
    return ap


def _size(text: str) -> int:
    """A byte count for --max-file-size: 4096, 512K, 4M, 1G (powers of 1024)."""
    number, unit = text[:-1], text[-1:].upper()
    if unit not in ("K", "M", "G"):
        number, unit = text, ""
    if not (number.isascii() and number.isdigit()) or len(number) > 18 or int(number) == 0:
        raise argparse.ArgumentTypeError(f"invalid size {text!r}: expected a positive number of bytes, "
                                         "optionally with K, M or G")
    return int(number) << {"": 0, "K": 10, "M": 20, "G": 30}[unit]


def _compute_capability(text: str) -> str:
    """MAJOR or MAJOR.MINOR in ASCII digits, the major within the scorer's 32-bit range."""
    major, dot, minor = text.partition(".")
    if not all(part.isascii() and part.isdigit() for part in (major, *([minor] if dot else []))):
        raise argparse.ArgumentTypeError(f"invalid compute capability {text!r}: expected MAJOR.MINOR, e.g. 8.6")
    if len(major.lstrip("0")) > 10 or int(major) >= 2**31:
        raise argparse.ArgumentTypeError(f"compute capability {text!r} out of range")
    return text


def _gpu_available(flag: bool | None, cc: str | None) -> tuple[bool, str | None]:
    """The GPU flag and compute capability to analyse with: as given, or asked of the host."""
    if flag is not None:
        return flag, cc
    gpu, probed = detect_gpu()
    return gpu, cc or probed


def _run_analysis(paths, gpu, cc, as_json, out, max_size=DEFAULT_MAX_FILE_SIZE) -> int:
    reports, problems = analyze_paths(paths, gpu, cc, max_size)
    # One line per problem on stderr, whatever the output format, as compilers and linters do.
    for f, m in problems:
        print(f"{_printable(f)}: error: {_printable(m)}", file=sys.stderr)
    if as_json:
        json.dump({"gpu_available": gpu, "compute_capability": cc, "thresholds": DEFAULT_THRESHOLDS,
                   "functions": [asdict(r) for r in reports],
                   "skipped": [{"file": f, "reason": m} for f, m in problems]}, out, indent=2)
        out.write("\n")
    else:
        if reports:
            print(format_reports(reports), file=out)
        if not reports:
            print("no functions analysed", file=sys.stderr)
    return 0 if reports else 1


def _command(argv: list[str] | None, prog: str) -> int:
    ap = _parser(prog)
    args = ap.parse_args(argv)
    if args.command is None:
        caps = probe_report()
        print(format_probe(caps))
        print(f"\nWorkload analysis of the bundled sample ({SAMPLE.name}); "
              f"run `{prog} analyze PATH` on your own code:\n")
        return _run_analysis([str(SAMPLE)], bool(caps.get("has_gpu")), None, False, sys.stdout)
    if args.command == "probe":
        caps = probe_report()
        print(json.dumps(caps, indent=2) if args.json else format_probe(caps))
        return 0
    for p in args.paths:
        if not os.path.exists(p):
            ap.error(f"no such file or directory: {p}")
        if not os.access(p, os.R_OK):
            ap.error(f"cannot read: {p}")
    gpu, cc = _gpu_available(args.gpu, args.compute_capability)
    return _run_analysis(args.paths, gpu, cc, args.json, sys.stdout, args.max_file_size)


def _silence_stdout() -> None:
    # The interpreter flushes stdout again at exit; point it at /dev/null so that flush cannot fail too.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: list[str] | None = None, prog: str = "velkora") -> int:
    """The `velkora` command (`python -m velkora` passes its own name); returns the exit status."""
    try:
        status = _command(argv, prog)
        sys.stdout.flush()      # a closed pipe shows here, not in the interpreter's final flush
        return status
    except KeyboardInterrupt:
        return 130              # 128 + SIGINT, what shells report for an interrupted command
    except BrokenPipeError:     # the reader went away (`| head`): nothing more to say
        _silence_stdout()
        return 141              # 128 + SIGPIPE, as for a command the signal ended
