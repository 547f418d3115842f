"""`velkora analyze` on a real tree: wall time with --jobs 1 and --jobs 2, peak memory, and the bare command.

    python benchmarks/bench_cli_tree.py [--repeats N] [--cache DIR] [--compare SRC] [--json FILE]

The tree is the Python source of scikit-learn 1.5.2 (566 files, about 330,000 lines), taken from its
wheel, which pip downloads into the cache directory on the first run (nothing is vendored here). The big
tree for the memory figure is three copies of it (about 990,000 lines). Runs of each command are
interleaved and repeated; the best and the median wall time are reported, with the load average, since
figures from a shared machine drift. Peak memory is the largest sum of the resident sizes of the command's
processes (parent and workers) seen by polling /proc every 20 ms, and the largest single process as
getrusage reports it.

`--compare SRC` times another checkout's command (PYTHONPATH=SRC, plain `analyze --no-gpu`) in the same
loop, for a before/after figure.

Not one of run.py's same-process cases: it is run by hand.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import threading
import time
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
SRC = HERE.parent / "src"
WHEEL = "scikit_learn-1.5.2-cp311-cp311-manylinux_2_17_x86_64.manylinux2014_x86_64.whl"
# The .py files of a wheel are the same for every platform; pin one so that any interpreter can fetch it.
PIP_DOWNLOAD = ["download", "--no-deps", "--only-binary", ":all:", "--platform", "manylinux2014_x86_64",
                "--python-version", "3.11", "--implementation", "cp", "--abi", "cp311", "scikit-learn==1.5.2"]


def fetch_tree(cache: Path) -> Path:
    """The sklearn package directory, extracted from the wheel (downloaded once)."""
    tree = cache / "scikit-learn-1.5.2"
    if (tree / "sklearn" / "__init__.py").exists():
        return tree / "sklearn"
    cache.mkdir(parents=True, exist_ok=True)
    wheel = cache / WHEEL
    if not wheel.exists():
        subprocess.run([sys.executable, "-m", "pip", *PIP_DOWNLOAD, "-d", str(cache)], check=True)
    partial = cache / "scikit-learn-1.5.2.partial"
    shutil.rmtree(partial, ignore_errors=True)
    with zipfile.ZipFile(wheel) as z:
        for name in z.namelist():
            if name.startswith("sklearn/") and name.endswith(".py"):
                z.extract(name, partial)
    partial.rename(tree)
    return tree / "sklearn"


def copies(cache: Path, package: Path, n: int) -> Path:
    """`n` copies of the package side by side (copied, not linked: each real file is analysed once)."""
    big = cache / f"scikit-learn-1.5.2-x{n}"
    if not big.exists():
        partial = cache / f"scikit-learn-1.5.2-x{n}.partial"
        shutil.rmtree(partial, ignore_errors=True)
        for i in range(n):
            shutil.copytree(package, partial / f"copy{i}" / "sklearn")
        partial.rename(big)
    return big


def count_lines(tree: Path) -> tuple[int, int]:
    files = list(tree.rglob("*.py"))
    return len(files), sum(p.read_bytes().count(b"\n") for p in files)


def _tree_rss(root: int) -> int:
    """Resident bytes of process `root` and its descendants (0 when gone)."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            children.setdefault(ppid, []).append(int(entry))
    total, todo = 0, [root]
    while todo:
        pid = todo.pop()
        todo.extend(children.get(pid, ()))
        try:
            with open(f"/proc/{pid}/statm") as f:
                total += int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        except (OSError, IndexError, ValueError):
            pass
    return total


def run_once(cmd: list[str], env: dict, cwd: Path) -> dict:
    """Wall time, peak summed RSS of the process tree, and the largest single process (getrusage)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    peak, done = 0, threading.Event()

    def sample():
        nonlocal peak
        while not done.is_set():
            peak = max(peak, _tree_rss(proc.pid))
            done.wait(0.02)

    sampler = threading.Thread(target=sample)
    sampler.start()
    _, err = proc.communicate()
    wall = time.perf_counter() - start
    done.set()
    sampler.join()
    if proc.returncode not in (0, 1):
        raise SystemExit(f"{' '.join(cmd)} exited {proc.returncode}:\n{err.decode()}")
    single = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return {"wall_s": wall, "peak_tree_mb": peak / 2**20,
            # getrusage keeps the maximum over all children so far: only a new maximum is this run's own.
            "max_process_mb": single / 1024 if single > before else None}


SPIN = "import time\nt = time.perf_counter()\nx = 0\nfor i in range(6_000_000): x += i\nprint(time.perf_counter() - t)"


def parallel_capacity() -> float:
    """How much faster two processes finish two equal CPU-bound loops than one process finishes one loop
    twice, right now: 2.0 on two idle cores, less where other work shares them. The ceiling for --jobs 2."""
    alone = sum(float(subprocess.run([sys.executable, "-c", SPIN], capture_output=True, text=True).stdout)
                for _ in range(2))
    pair = [subprocess.Popen([sys.executable, "-c", SPIN], stdout=subprocess.PIPE, text=True) for _ in range(2)]
    together = max(float(p.communicate()[0]) for p in pair)
    return alone / together


def measure(commands: dict[str, list[str]], envs: dict[str, dict], cwd: Path, repeats: int) -> dict:
    runs = {name: [] for name in commands}
    for _ in range(repeats):
        for name, cmd in commands.items():            # interleaved, so drift affects all alike
            runs[name].append(run_once(cmd, envs[name], cwd))
    out = {}
    for name, results in runs.items():
        walls = [r["wall_s"] for r in results]
        singles = [r["max_process_mb"] for r in results if r["max_process_mb"] is not None]
        out[name] = {"best_s": min(walls), "median_s": statistics.median(walls),
                     "peak_tree_mb": max(r["peak_tree_mb"] for r in results),
                     "max_process_mb": max(singles) if singles else None, "walls": walls}
    return out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--cache", type=Path, default=Path(os.environ.get(
        "VELKORA_BENCH_CACHE", Path.home() / ".cache" / "velkora-bench")))
    ap.add_argument("--compare", metavar="SRC", help="another checkout's src/ to time as the baseline")
    ap.add_argument("--json", metavar="FILE", help="write the figures as JSON")
    args = ap.parse_args(argv)

    package = fetch_tree(args.cache)
    big = copies(args.cache, package, 3)
    env = {**os.environ, "PYTHONPATH": str(SRC)}
    ours = [sys.executable, "-m", "velkora", "analyze", "--no-gpu", "--no-config", "--quiet"]
    trees = {"sklearn": (package.parent, ["sklearn"]), "sklearn x3": (big, ["."])}
    load_before = os.getloadavg()
    report = {"python": sys.version.split()[0], "machine": platform.machine(), "cpus": os.cpu_count(),
              "affinity": len(os.sched_getaffinity(0)), "load_before": load_before, "trees": {}}
    for label, (cwd, paths) in trees.items():
        files, lines = count_lines(cwd)
        commands = {"jobs 1": ours + ["--jobs", "1", *paths], "jobs 2": ours + ["--jobs", "2", *paths]}
        envs = {"jobs 1": env, "jobs 2": env}
        if args.compare and label == "sklearn":
            commands["compared"] = [sys.executable, "-m", "velkora", "analyze", "--no-gpu", *paths]
            envs["compared"] = {**os.environ, "PYTHONPATH": os.path.abspath(args.compare)}
        capacity = [parallel_capacity()]
        figures = measure(commands, envs, cwd, args.repeats)
        capacity.append(parallel_capacity())
        report["trees"][label] = {"files": files, "lines": lines, "runs": figures, "parallel_capacity": capacity}
        print(f"{label}: {files} files, {lines} lines; two CPU-bound processes ran "
              f"{capacity[0]:.2f}x / {capacity[1]:.2f}x as fast as one (before / after: the ceiling for --jobs 2)")
        for name, f in figures.items():
            single = f"{f['max_process_mb']:.0f}" if f["max_process_mb"] else "-"
            print(f"  {name:9s} best {f['best_s']:6.2f} s  median {f['median_s']:6.2f} s  "
                  f"peak (all processes) {f['peak_tree_mb']:6.0f} MB  largest process {single:>4s} MB")
        one, two = figures["jobs 1"], figures["jobs 2"]
        print(f"  --jobs 2 vs --jobs 1: {one['best_s'] / two['best_s']:.2f}x (best), "
              f"{one['median_s'] / two['median_s']:.2f}x (median)")
        if "compared" in figures:
            print(f"  --jobs 1 vs compared: {figures['compared']['best_s'] / one['best_s']:.2f}x (best)")
    bare = [sys.executable, "-m", "velkora"]
    walls = sorted(run_once(bare, env, HERE)["wall_s"] for _ in range(max(5, args.repeats)))
    report["bare_command"] = {"best_s": walls[0], "median_s": statistics.median(walls)}
    print(f"velkora (no arguments): best {walls[0]:.2f} s, median {statistics.median(walls):.2f} s")
    report["load_after"] = os.getloadavg()
    print("load average before: " + ", ".join(f"{x:.2f}" for x in load_before)
          + "; after: " + ", ".join(f"{x:.2f}" for x in report["load_after"]))
    if args.json:
        Path(args.json).write_text(json.dumps(report, indent=2, default=lambda x: None if x != x else x))
    return 0 if all(math.isfinite(f["best_s"]) for t in report["trees"].values() for f in t["runs"].values()) \
        else 1


if __name__ == "__main__":
    sys.exit(main())
