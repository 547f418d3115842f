"""Settings of `velkora analyze`: the command line over `[tool.velkora]` in the nearest pyproject.toml over
the defaults.

Keys are the long option names (`min-speedup`, `respect-gitignore`); the command line wins over them.
This module finds the table and checks the TOML types of its values; a value is then read as the option's
argument is read (the readers below serve both), so that both accept and refuse the same things.
"""

from __future__ import annotations

import argparse
import math
import os
from collections.abc import Callable
from typing import Any

from velkora.analysis.patterns import LABELS, parse_label
from velkora.analysis.sources import DEFAULT_MAX_FILE_SIZE
from velkora.cli import report

# key: (the option's destination, the TOML types its value may have)
KEYS = {
    "format": ("format", (str,)), "wide": ("wide", (bool,)), "sort": ("sort", (str,)), "top": ("top", (int,)),
    "pattern": ("pattern", (str, list)), "min-speedup": ("min_speedup", (int, float)),
    "exclude": ("exclude", (str, list)), "hidden": ("hidden", (bool,)),
    "respect-gitignore": ("respect_gitignore", (bool,)), "jobs": ("jobs", (int,)),
    "max-file-size": ("max_file_size", (int, str)), "gpu": ("gpu", (bool,)),
    "compute-capability": ("compute_capability", (str, int, float)), "color": ("color", (str,)),
    "fail-on": ("fail_on", (str, list)), "min-score": ("min_score", (int, float)),
    "thresholds": ("thresholds", (dict,)),
}
_TYPE_NAMES = {bool: "true or false", int: "a number", float: "a number", str: "a string",
               list: "a list of strings", dict: "a table"}
# [tool.velkora] thresholds: its keys, and the analysis threshold each one sets.
THRESHOLDS = {"cpu": "cpu_threshold", "memory": "memory_threshold", "gpu": "gpu_threshold",
              "numpy": "numpy_threshold", "pandas": "pandas_threshold", "sklearn": "sklearn_threshold"}


class ConfigError(Exception):
    """A configuration that cannot be used; the message names the file and the key."""


def find(start: str) -> str | None:
    """The nearest pyproject.toml with a [tool.velkora] table, in `start` or a directory above it."""
    directory = os.path.abspath(start)
    while True:
        candidate = os.path.join(directory, "pyproject.toml")
        try:
            if not os.path.isfile(candidate):          # a FIFO of that name would block the read
                raise FileNotFoundError
            with open(candidate, "rb") as f:
                # Only a file that mentions us is parsed: a broken pyproject.toml of some other project
                # above the tree is none of our business.
                mentions = b"velkora" in f.read()
        except OSError:
            mentions = False
        if mentions and _table(candidate, required=False) is not None:
            return candidate
        parent = os.path.dirname(directory)
        if parent == directory:
            return None
        directory = parent


def _table(path: str, required: bool = True) -> dict[str, Any] | None:
    import tomllib

    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as exc:
        raise ConfigError(f"cannot read {path}: {exc.strerror or exc}") from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as exc:
        raise ConfigError(f"{path} is not valid TOML: {exc}") from None
    except RecursionError:              # the parser recurses once per nested array or inline table
        raise ConfigError(f"{path}: arrays or tables nested too deeply to read") from None
    tool = data.get("tool")
    table = tool.get("velkora") if isinstance(tool, dict) else None
    if table is None:
        return {} if required else None
    if not isinstance(table, dict):
        raise ConfigError(f"{path}: [tool.velkora] must be a table")
    return table


def read(path: str, convert: Callable[[str, Any], object]) -> dict[str, Any]:
    """The settings of [tool.velkora] in `path`, by option destination.

    `convert(dest, value)` turns a value of the right TOML type into the option's value, raising
    argparse.ArgumentTypeError as the command line would; ConfigError for anything not understood.
    """
    settings: dict[str, Any] = {}
    for key, value in (_table(path) or {}).items():
        if key not in KEYS:
            raise ConfigError(f"{path}: unknown key {key!r} in [tool.velkora] (known keys: {', '.join(KEYS)})")
        dest, types = KEYS[key]
        where = f"{path}: [tool.velkora] {key}"
        listed = isinstance(value, list) and list in types
        if isinstance(value, bool) != (bool in types) or not isinstance(value, types) or (
                isinstance(value, list) and listed and not all(isinstance(v, str) for v in value)):
            expected = " or ".join(dict.fromkeys(_TYPE_NAMES[t] for t in types))
            raise ConfigError(f"{where}: expected {expected}, got {value!r}")
        try:
            settings[dest] = convert(dest, value)
        except argparse.ArgumentTypeError as exc:
            raise ConfigError(f"{where}: {exc}") from None
    return settings


# ---- the options' values ------------------------------------------------------------------------------

def default_jobs() -> int:
    """The processes --jobs defaults to: the cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


DEFAULTS = {
    "format": "text", "wide": False, "sort": "path", "top": None, "pattern": [], "min_speedup": None,
    "exclude": [], "hidden": False, "respect_gitignore": True, "jobs": None, "max_file_size":
    DEFAULT_MAX_FILE_SIZE, "gpu": None, "compute_capability": None, "color": "auto", "quiet": False,
    "fail_on": [], "min_score": None, "thresholds": {}, "why": False,
}


def patterns(text: str) -> list[str]:
    """NAME[,NAME...]: pattern names, in any case, `-` or `_` between words."""
    names = []
    for part in text.split(","):
        try:
            names.append(parse_label(part))
        except KeyError:
            raise argparse.ArgumentTypeError(f"unknown pattern {part.strip()!r} (choose from "
                                             f"{', '.join(LABELS)})") from None
    return names


def globs(text: str) -> list[str]:
    """GLOB[,GLOB...]: --exclude's patterns, blanks dropped; at least one."""
    found = [g.strip() for g in text.split(",") if g.strip()]
    if not found:
        raise argparse.ArgumentTypeError("empty pattern")
    return found


def size(text: str) -> int:
    """A byte count for --max-file-size: 4096, 512K, 4M, 1G (powers of 1024)."""
    number, unit = text[:-1], text[-1:].upper()
    if unit not in ("K", "M", "G"):
        number, unit = text, ""
    if not (number.isascii() and number.isdigit()) or len(number) > 18 or int(number) == 0:
        raise argparse.ArgumentTypeError(f"invalid size {text!r}: expected a positive number of bytes, "
                                         "optionally with K, M or G")
    return int(number) << {"": 0, "K": 10, "M": 20, "G": 30}[unit]


def compute_capability(text: str) -> str:
    """MAJOR.MINOR in ASCII digits, the major within the scorer's 32-bit range."""
    major, dot, minor = text.partition(".")
    if not (dot and all(part.isascii() and part.isdigit() for part in (major, minor))):
        raise argparse.ArgumentTypeError(f"invalid compute capability {text!r}: expected MAJOR.MINOR, e.g. 8.6")
    if len(major.lstrip("0")) > 10 or int(major) >= 2**31:
        raise argparse.ArgumentTypeError(f"compute capability {text!r} out of range")
    return text


def positive_int(text: str) -> int:
    """A whole number above zero in ASCII digits (--top, --jobs)."""
    if not (text.isascii() and text.isdigit()) or len(text) > 9 or int(text) == 0:
        raise argparse.ArgumentTypeError(f"invalid value {text!r}: expected a positive whole number")
    return int(text)


def fraction(text: str) -> float:
    """A number from 0 to 1 (--min-score, the analysis thresholds)."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0.0 <= value <= 1.0 or not text.isascii():
        raise argparse.ArgumentTypeError(f"invalid value {text!r}: expected a number from 0 to 1")
    return value


def thresholds(table: dict[str, Any]) -> dict[str, float]:
    """[tool.velkora] thresholds = {cpu = 0.3, ...}: the analysis thresholds it sets, by their names."""
    out = {}
    for key, value in table.items():
        if key not in THRESHOLDS:
            raise argparse.ArgumentTypeError(f"unknown threshold {key!r} (known: {', '.join(THRESHOLDS)})")
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise argparse.ArgumentTypeError(f"threshold {key}: expected a number from 0 to 1, got {value!r}")
        out[THRESHOLDS[key]] = fraction(str(value))
    return out


def speedup(text: str) -> float:
    """A finite number, zero or more (--min-speedup)."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value >= 0) or not text.isascii():
        raise argparse.ArgumentTypeError(f"invalid speedup {text!r}: expected a number, e.g. 1.5")
    return value


_CHOICES = {"format": report.FORMATS, "sort": report.SORTS, "color": report.COLOR_MODES}


def read_value(dest: str, value: Any) -> object:
    """A [tool.velkora] value (of a type velkora.cli.config has checked) read as its option's argument."""
    if dest in _CHOICES:
        if value not in _CHOICES[dest]:
            raise argparse.ArgumentTypeError(f"invalid choice {value!r} (choose from {', '.join(_CHOICES[dest])})")
        return value
    if dest == "thresholds":
        return thresholds(value)
    if dest in ("pattern", "exclude", "fail_on"):
        parse = globs if dest == "exclude" else patterns
        return [v for text in (value if isinstance(value, list) else [value]) for v in parse(text)]
    convert: Callable[[str], object] | None = {
        "top": positive_int, "jobs": positive_int, "min_speedup": speedup, "max_file_size": size,
        "compute_capability": compute_capability, "min_score": fraction}.get(dest)
    return convert(str(value)) if convert is not None else value


def current_directory() -> str | None:
    """The working directory, or None where it has been removed or cannot be read."""
    try:
        return os.getcwd()
    except OSError:
        return None


def resolve(args: argparse.Namespace, ap: argparse.ArgumentParser) -> tuple[dict[str, Any], str | None]:
    """Each analyze option from the command line, else from [tool.velkora], else its default; and the
    configuration file read, if any. A bad file or value ends the run as a usage error (`ap.error`)."""
    cwd = current_directory() or os.sep
    path = None
    try:
        if args.config is not None:
            if not os.path.isfile(args.config):
                ap.error(f"no such configuration file: {args.config}")
            path = args.config
        elif not args.no_config:
            path = find(cwd)
        from_config = read(path, read_value) if path else {}
    except ConfigError as exc:
        ap.error(str(exc))
    settings: dict[str, Any] = {}
    for key, default in DEFAULTS.items():
        given = getattr(args, key, None)
        settings[key] = given if given is not None else from_config.get(key, default)
    # --exclude patterns are relative to where they were written: the current directory, or the
    # directory of the configuration file.
    settings["exclude_base"] = cwd if args.exclude is not None or not path else (
        os.path.dirname(os.path.abspath(path)))
    return settings, path

