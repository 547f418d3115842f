"""`velkora analyze PATH... [options]`: the workload of every function in Python files and notebooks.

The command's options and the run: files chosen (velkora.analysis.sources), analysed (velkora.cli.runner), the
result document built and rendered (velkora.cli.report, velkora.cli.html_report). Settings not given on the
command line come from [tool.velkora] (velkora.cli.config).
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import IO, TYPE_CHECKING, Any

from velkora.analysis.classify import DEFAULT_THRESHOLDS, detect_gpu
from velkora.analysis.sources import DEFAULT_MAX_FILE_SIZE, STDIN, WalkOptions, collect, display_path, printable
from velkora.cli import config, html_report, report
from velkora.cli.output import write_out
from velkora.cli.runner import MAX_JOBS_PER_CORE, Analysis, Progress, analyze_items

if TYPE_CHECKING:
    from velkora.analysis.gitignore import RuleSet


def add_parser(sub: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds the `analyze` command and its options to the command line's subcommands."""
    a = sub.add_parser(
        "analyze", help="classify the workload of every function in Python files",
        description="Classify the workload of every function in Python files. Options not given are taken "
                    "from [tool.velkora] in the nearest pyproject.toml, if any.")
    a.add_argument("paths", nargs="+", metavar="PATH",
                   help="Python files or directories (walked for *.py); - reads one file from stdin")

    o = a.add_argument_group("output")
    fmt = o.add_mutually_exclusive_group()
    fmt.add_argument("--json", dest="format", action="store_const", const="json",
                     help="the result document as JSON (fields: see the README)")
    fmt.add_argument("--csv", dest="format", action="store_const", const="csv", help="one CSV line per function")
    fmt.add_argument("--markdown", dest="format", action="store_const", const="markdown",
                     help="a Markdown table and summary")
    fmt.add_argument("--format", choices=report.FORMATS, help="the same by name (default: text)")
    o.add_argument("--html", metavar="FILE",
                   help="also write a self-contained HTML page (chart, sortable table, top candidates)")
    o.add_argument("--wide", action=argparse.BooleanOptionalAction, default=None,
                   help="every score in its own column, one line per function, whatever the width")
    o.add_argument("--color", choices=report.COLOR_MODES, default=None,
                   help="colour the text table: auto (default: on a terminal, unless NO_COLOR is set)")
    o.add_argument("-q", "--quiet", action="store_true", default=None, help="no progress line, no summary")

    s = a.add_argument_group("choosing what to see")
    s.add_argument("--sort", choices=report.SORTS,
                   help="path (default: by file, then line), speedup (GPU speedup class, highest first), "
                        "score (the evidence for the function's pattern, highest first) or benefit (the "
                        "expected benefit of acting on the advice, highest first)")
    s.add_argument("--why", action="store_true", default=None,
                   help="show each function's reasons and advice under it in the text table")
    s.add_argument("--top", metavar="N", type=config.positive_int, help="show only the first N functions")
    s.add_argument("--pattern", metavar="NAME[,NAME...]", type=config.patterns, action="extend",
                   help="show only functions with these patterns (repeatable)")
    s.add_argument("--min-speedup", metavar="X", type=config.speedup,
                   help="show only functions with an estimated GPU speedup of at least X")

    f = a.add_argument_group("choosing files")
    f.add_argument("--exclude", metavar="GLOB[,GLOB...]", type=config.globs, action="extend",
                   help="leave out walked files and directories that match (gitignore syntax; repeatable)")
    f.add_argument("--hidden", action=argparse.BooleanOptionalAction, default=None,
                   help="also walk hidden files and directories (names starting with a dot)")
    f.add_argument("--no-ignore", dest="respect_gitignore", action="store_false", default=None,
                   help="walk what .gitignore files exclude too")
    f.add_argument("--respect-gitignore", dest="respect_gitignore", action="store_true", default=None,
                   help="leave out what .gitignore files exclude (the default)")
    f.add_argument("--max-file-size", metavar="SIZE", type=config.size, default=None,
                   help="skip (and report) files larger than this: bytes, or a number with K, M or G "
                        f"(default: {DEFAULT_MAX_FILE_SIZE >> 20}M)")
    f.add_argument("--stdin-filename", metavar="NAME", help="the name to report standard input (-) under")
    c = f.add_mutually_exclusive_group()
    c.add_argument("--config", metavar="FILE", help="read [tool.velkora] from this file instead")
    c.add_argument("--no-config", action="store_true", help="read no pyproject.toml")

    ci = a.add_argument_group("CI gate", f"exit with status {GATE_STATUS} when a selected function matches")
    ci.add_argument("--fail-on", metavar="PATTERN[,PATTERN...]", type=config.patterns, action="extend",
                    help="fail when a function has one of these patterns (repeatable)")
    ci.add_argument("--min-score", metavar="X", type=config.fraction,
                    help="fail only for a score of at least X (0 to 1); without --fail-on, for any function "
                         "with something to gain")

    r = a.add_argument_group("analysis")
    r.add_argument("-j", "--jobs", metavar="N", type=config.positive_int, default=None,
                   help=f"analyse in N processes (default: the cores this process may use, {config.default_jobs()}; "
                        f"at most {MAX_JOBS_PER_CORE} per core and one per file)")
    g = r.add_mutually_exclusive_group()
    g.add_argument("--gpu", dest="gpu", action="store_true", default=None, help="assume a GPU is available")
    g.add_argument("--no-gpu", dest="gpu", action="store_false", help="assume no GPU")
    r.add_argument("--compute-capability", metavar="X.Y", type=config.compute_capability, default=None,
                   help="GPU compute capability to score against (default: none given)")


# The exit status when a function trips --fail-on/--min-score (1 is for a run that analysed nothing).
GATE_STATUS = 3


def run(args: argparse.Namespace, ap: argparse.ArgumentParser) -> int:
    """The command for parsed `args`: the paths checked, the settings merged, the run; returns the exit status."""
    if args.paths.count(STDIN) > 1:
        ap.error("standard input (-) can be read once only")
    if STDIN in args.paths and sys.stdin is None:
        ap.error("standard input (-) is closed")
    for p in args.paths:
        if p == STDIN:
            continue
        if not os.path.exists(p):
            ap.error(f"no such file or directory: {p}")
        if not os.access(p, os.R_OK):
            ap.error(f"cannot read: {p}")
    settings, path = config.resolve(args, ap)
    gpu, cc = _gpu_available(settings["gpu"], settings["compute_capability"])
    analysis = Analysis(gpu, cc, settings["max_file_size"], tuple(sorted(settings["thresholds"].items())))
    return run_analysis(args.paths, settings, analysis,
                        config_path=path, stdin_name=args.stdin_filename, html_path=args.html)


def _gpu_available(flag: bool | None, cc: str | None) -> tuple[bool, str | None]:
    """The GPU flag and compute capability to analyse with: as given, or asked of the host."""
    if flag is not None:
        return flag, cc
    gpu, probed = detect_gpu()
    return gpu, cc or probed


def _isatty(stream: IO[str]) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


def use_color(mode: str, stream: IO[str]) -> bool:
    """--color always/never decide; otherwise NO_COLOR (any value) turns colour off, FORCE_COLOR (other than
    0 or false) turns it on, and without either a terminal gets colour and a pipe or file does not."""
    if mode != "auto":
        return mode == "always"
    if os.environ.get("NO_COLOR"):
        return False
    if os.environ.get("FORCE_COLOR", "") not in ("", "0", "false"):
        return True
    return _isatty(stream) and os.environ.get("TERM") != "dumb"


def _width(stream: IO[str]) -> int:
    if not _isatty(stream):
        return 80
    import shutil

    return max(60, shutil.get_terminal_size().columns)


def _exclusions(globs: list[str], base: str | None) -> RuleSet | None:
    if not globs:
        return None
    from velkora.analysis import gitignore

    return gitignore.RuleSet(base or os.sep, gitignore.parse_lines(globs), anywhere=True)


def run_analysis(paths: list[str], settings: dict[str, Any], analysis: Analysis, out: IO[str] | None = None,
                 config_path: str | None = None,
                 stdin_name: str | None = None, html_path: str | None = None) -> int:
    """Analyse `paths` and write the report to `out` (default stdout); returns the exit status."""
    out = out or sys.stdout
    err = sys.stderr
    progress = Progress(err, enabled=not settings["quiet"] and _isatty(err))
    options = WalkOptions(settings["hidden"], settings["respect_gitignore"],
                          _exclusions(settings["exclude"], settings.get("exclude_base")))
    items = collect(paths, options, analysis.max_size, progress.finding, stdin_name)
    progress.begin(len(items))
    reports, skipped, files = [], [], 0
    try:
        for item, found, error in analyze_items(items, analysis, settings["jobs"] or config.default_jobs(),
                                                progress.refresh):
            if found is not None:
                files += 1
                reports.extend(found)
            if error is not None:
                # One line per problem on stderr, whatever the output format, as compilers and linters do.
                skipped.append((item.display, error))
                progress.message(f"{printable(item.display)}: error: {printable(error)}")
            progress.advance()
    finally:
        progress.clear()
    doc = report.document(reports, skipped, files, {
        "gpu_available": analysis.gpu_available, "compute_capability": analysis.compute_capability,
        "thresholds": {**DEFAULT_THRESHOLDS, **dict(analysis.thresholds)},
        "sort": settings["sort"], "top": settings["top"],
        "patterns": settings["pattern"], "min_speedup": settings["min_speedup"],
        "exclude": settings["exclude"], "hidden": settings["hidden"],
        "respect_gitignore": settings["respect_gitignore"], "max_file_size": analysis.max_size,
        "config": display_path(config_path, config.current_directory()) if config_path else None,
        "fail_on": settings.get("fail_on", []), "min_score": settings.get("min_score"),
    })
    if html_path is not None:
        try:
            html_report.write(html_path, doc)
        except OSError as exc:
            print(f"{printable(html_path)}: error: cannot write the HTML report: {exc.strerror or exc}",
                  file=err)
            return 1
        if not settings["quiet"]:
            print(f"wrote {printable(html_path)}", file=err)
    view = report.View(_width(out), use_color(settings["color"], out), settings["wide"],
                       summary=not settings["quiet"], why=settings.get("why", False))
    text = report.RENDERERS[settings["format"]](doc, view)
    write_out(text, out)
    if not reports:
        if not files:
            print("no functions analysed", file=err)
            return 1
        # Files that parse but define nothing (re-export modules, settings): a result, not a failure.
        print(f"note: no functions in {files} file{'s' if files != 1 else ''} analysed", file=err)
    matched = doc["summary"]["gate"]
    if matched:
        print(f"{len(matched)} function{'s' if len(matched) != 1 else ''} match --fail-on/--min-score "
              f"(first: {printable(matched[0])})", file=err)
        return GATE_STATUS
    return 0
