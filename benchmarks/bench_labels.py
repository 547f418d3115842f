"""Accuracy of `velkora analyze` on labelled functions of real libraries.

    python3 benchmarks/bench_labels.py [--set functions|heldout|cases] [--cache DIR] [--show-wrong]

`--set functions` (the default) is the labelled set the analysis is developed against; `--set heldout`
is a small set from a library it was never tuned on, to see whether the figures carry over. The wheels
named in the chosen file under benchmarks/labels/ are fetched at their pinned versions with
`pip download` into the cache (default ~/.cache/velkora-labels) and read from the zip; nothing of
them is stored in this repository. `--set cases` holds small programs in the shapes that misled the
analysis (array calls in loops, fit/score names without scikit-learn, locks, reductions and recurrences,
notebooks whose imports are in an earlier cell); their source is in the file. Prints overall,
per-pattern and trap accuracy.
"""

from __future__ import annotations

import argparse
import collections
import os
import platform
import subprocess
import sys
import sysconfig
import tomllib
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


def fetch(name: str, version: str, cache: Path) -> Path:
    """The wheel of name==version in the cache, downloaded first when missing."""
    stem = name.replace("-", "_").lower()
    for p in cache.glob("*.whl"):
        dist, ver = p.name.split("-")[:2]
        if dist.lower() == stem and ver == version:
            return p
    cache.mkdir(parents=True, exist_ok=True)
    subprocess.run([sys.executable, "-m", "pip", "download", "--no-deps", "--only-binary", ":all:",
                    "--quiet", f"{name}=={version}", "-d", str(cache)], check=True)
    return fetch(name, version, cache) if any(cache.glob(f"{stem}-{version}-*.whl")) else sys.exit(
        f"no wheel for {name}=={version}")


class Stdlib:
    """The standard library of the running interpreter, read in place, as library `python`: its labels
    hold for one version of it, which must be the one running."""

    def __init__(self, version: str) -> None:
        if platform.python_version() != version:
            sys.exit(f"the labels name the standard library of Python {version}; this is "
                     f"{platform.python_version()}")
        self.root = Path(sysconfig.get_paths()["stdlib"])

    def read(self, module: str) -> bytes:
        return (self.root / module).read_bytes()


def _reports(entry: dict, wheels: dict, analysis) -> list:
    if "cells" in entry:            # a notebook: one namespace, cell after cell
        names: dict[str, str] = {}
        return [r for cell in entry["cells"]
                for r in analysis.analyze_source(cell, entry["module"], False, None, namespace=names)]
    text = entry["source"] if "source" in entry else wheels[entry["library"]].read(entry["module"]).decode()
    return analysis.analyze_source(text, entry["module"], False, None)


def main() -> int:
    from velkora import analysis

    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cache", default=os.path.expanduser("~/.cache/velkora-labels"))
    ap.add_argument("--set", default="functions", choices=("functions", "heldout", "cases"),
                    help="which labelled set of benchmarks/labels/ to measure")
    ap.add_argument("--labels", help="a labels file of the same format (overrides --set)")
    ap.add_argument("--show-wrong", action="store_true", help="list every function labelled wrongly")
    args = ap.parse_args()
    spec = tomllib.loads(Path(args.labels or HERE / "labels" / f"{args.set}.toml").read_text())
    cache = Path(args.cache)
    wheels = {lib["name"]: Stdlib(lib["version"]) if lib["name"] == "python" else zipfile.ZipFile(
        fetch(lib["name"], lib["version"], cache)) for lib in spec.get("library", ())}
    # A case is its own library and module: its source is in the labels file.
    for case in spec.get("case", ()):
        spec.setdefault("function", []).append({**case, "library": "case", "module": case["name"]})
    results = {}        # (library, module) -> {qualname: pattern}
    total = ok = traps = traps_ok = 0
    per = collections.defaultdict(lambda: [0, 0])
    wrong = []
    for entry in spec["function"]:
        key = (entry["library"], entry["module"])
        if key not in results:
            results[key] = {r.function: r for r in _reports(entry, wheels, analysis)}
        report = results[key].get(entry["function"])
        got = report.pattern if report else "(missing)"
        good = got in entry["labels"]
        total += 1
        ok += good
        per[entry["labels"][0]][0] += 1
        per[entry["labels"][0]][1] += good
        if "trap" in entry:
            traps += 1
            traps_ok += good
        if not good:
            wrong.append((entry, got, report))
    print(f"overall: {ok}/{total} acceptable ({100 * ok / total:.1f} %)")
    print(f"traps:   {traps_ok}/{traps} ({100 * traps_ok / max(traps, 1):.1f} %)")
    print("per pattern (by first acceptable label):")
    for pat, (n, g) in sorted(per.items()):
        print(f"  {pat:20s} {g:3d}/{n:<3d} {100 * g / n:5.1f} %")
    if args.show_wrong:
        for entry, got, report in wrong:
            why = "; ".join(report.reasons) if report else ""
            print(f"  {entry['library']}:{entry['module']}:{entry['function']}: got {got}, want "
                  f"{'/'.join(entry['labels'])}  [{why}]")
    return 0


if __name__ == "__main__":
    # Run by hand from a checkout: the package beside this file (built in place). Only then: the
    # benchmark runner imports this file too, and must keep the installed package.
    sys.path.insert(0, str(HERE.parent / "src"))
    sys.exit(main())
