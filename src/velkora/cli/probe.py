"""`velkora probe [--json]`: the host capability report."""

from __future__ import annotations

import argparse
import json
from typing import TYPE_CHECKING

from velkora import __version__
from velkora.cli.output import write_out

if TYPE_CHECKING:
    from velkora.native.host_probe import Capabilities


def probe_report() -> Capabilities:
    """The host's capabilities, as the native probe detects them."""
    from velkora.native import host_probe

    return host_probe.detect_capabilities()


def format_probe(caps: Capabilities) -> str:
    """The capability report as the few lines `velkora probe` prints."""
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



def add_parser(sub: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds the `probe` command to the command line's subcommands."""
    p = sub.add_parser("probe", help="report the host's capabilities")
    p.add_argument("--json", action="store_true", help="print the report as JSON")


def run(args: argparse.Namespace, ap: argparse.ArgumentParser) -> int:
    """Prints the host's capabilities, as text or JSON; returns the exit status."""
    caps = probe_report()
    write_out((json.dumps(caps, indent=2) if args.json else format_probe(caps)) + "\n")
    return 0
