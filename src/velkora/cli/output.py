"""What every subcommand shares about ending: writing standard output, the error a failed write
becomes, and the exception a stopping signal raises. Kept free of the analysis so that `velkora run`
starts without importing it."""

from __future__ import annotations

import sys
from typing import IO


class OutputError(Exception):
    """Standard output cannot be written (a full disk, a closed descriptor): reported in one line."""

    def __init__(self, exc: OSError):
        super().__init__(f"cannot write the output: {exc.strerror or exc}")


def write_out(text: str, out: IO[str] | None = None) -> None:
    """`text` on `out` (default standard output); a failed write other than a closed pipe (which the
    command ends quietly on) is an OutputError.

    In pieces: a single write of a few hundred kilobytes to a pipe whose reader leaves part-way through
    can return without the BrokenPipeError that a piecewise write reports.
    """
    stream = out or sys.stdout
    try:
        for start in range(0, len(text), 1 << 15):
            stream.write(text[start:start + (1 << 15)])
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise OutputError(exc) from None


class Stopped(BaseException):
    """SIGTERM or SIGHUP arrived while worker processes ran: raised to stop them, then the signal's default
    action is taken."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum
