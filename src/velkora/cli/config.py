"""Settings of `velkora analyze` from `[tool.velkora]` in the nearest pyproject.toml.

Keys are the long option names (`min-speedup`, `respect-gitignore`); the command line wins over them.
This module finds the table and checks the TOML types of its values; the command line reads a value as it
reads the option's argument, so that both accept and refuse the same things.
"""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable
from typing import Any

# key: (the option's destination, the TOML types its value may have)
KEYS = {
    "format": ("format", (str,)), "wide": ("wide", (bool,)), "sort": ("sort", (str,)), "top": ("top", (int,)),
    "pattern": ("pattern", (str, list)), "min-speedup": ("min_speedup", (int, float)),
    "exclude": ("exclude", (str, list)), "hidden": ("hidden", (bool,)),
    "respect-gitignore": ("respect_gitignore", (bool,)), "jobs": ("jobs", (int,)),
    "max-file-size": ("max_file_size", (int, str)), "gpu": ("gpu", (bool,)),
    "compute-capability": ("compute_capability", (str, int, float)), "color": ("color", (str,)),
}
_TYPE_NAMES = {bool: "true or false", int: "a number", float: "a number", str: "a string",
               list: "a list of strings"}


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
