"""SharedArena figures that are not per-operation ratios (run by hand):

    python benchmarks/arena_figures.py [traces] [transfer] [--repeats N]

traces    the allocation traces of benchmarks/traces/ (recorded from real programs by
          arena_traces.py) replayed against the arena, best fit beside first fit: peak segment bytes
          over peak live bytes (requested), for the default first segment and a 1 MiB one.
transfer  an array sent to a worker of concurrent.futures.ProcessPoolExecutor, which reads it (its
          first and last element, and a sum over 4 KB) and answers: arena handle against pickling
          the array, joblib's memory-mapping (loky workers, joblib.Parallel reused), and an empty
          round trip; 1, 10 and 100 MB. All baselines run in the same process.
"""

from __future__ import annotations

import argparse
import pathlib
import statistics
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "src"))

from arena_traces import ALLOC, TRACES, load  # noqa: E402

from velkora.memory.arena import SharedArena  # noqa: E402

MIB = 1 << 20


def replay(path: pathlib.Path, first_fit: bool, segment_size: int) -> tuple[int, int, dict]:
    op, block, size = load(path)
    live: dict[int, np.ndarray] = {}
    live_bytes = peak_live = 0
    nbytes: dict[int, int] = {}
    with SharedArena(segment_size=segment_size, first_fit=first_fit) as arena:
        for o, b, s in zip(op.tolist(), block.tolist(), size.tolist()):
            if o == ALLOC:
                live[b] = arena.empty(s, np.uint8)
                nbytes[b] = s
                live_bytes += s
                peak_live = max(peak_live, live_bytes)
            else:
                del live[b]
                live_bytes -= nbytes.pop(b)
        stats = arena.stats()
        live.clear()
    return peak_live, stats["peak_segment_bytes"], stats


def traces() -> None:
    print(f"{'trace':16s} {'fit':5s} {'first seg':>9s} {'allocs':>7s} {'peak live':>11s} "
          f"{'peak segs':>11s} {'ratio':>6s}  target <= 1.25")
    for path in sorted(TRACES.glob("*.npz")):
        op, _, _ = load(path)
        for seg in (16 * MIB, MIB):
            for first_fit in (False, True):
                peak_live, peak_seg, _ = replay(path, first_fit, seg)
                ratio = peak_seg / peak_live
                print(f"{path.stem:16s} {'first' if first_fit else 'best':5s} {seg // MIB:7d}MB "
                      f"{int((op == ALLOC).sum()):7d} {peak_live:11d} {peak_seg:11d} {ratio:6.3f}  "
                      f"{'yes' if ratio <= 1.25 else 'NO'}")


# ---- transfer ----------------------------------------------------------------------------------


def read(a: np.ndarray) -> float:
    return float(a[0]) + float(a[-1]) + float(a[:512].sum())


def nothing() -> int:
    return 0


def timed(fn, repeats: int) -> float:
    fn()  # warm: workers started, segments attached
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def transfer(repeats: int) -> None:
    from concurrent.futures import ProcessPoolExecutor

    import joblib

    print(f"{'size':>6s} {'arena ms':>9s} {'pickle ms':>10s} {'joblib mmap ms':>15s} "
          f"{'pickle/arena':>13s} {'joblib/arena':>13s}  target >= 100x at 100 MB")
    with SharedArena() as arena, ProcessPoolExecutor(1) as pool, joblib.Parallel(
            n_jobs=2, max_nbytes="1M", mmap_mode="r") as par:
        empty = timed(lambda: pool.submit(nothing).result(), repeats * 4)
        joblib_empty = timed(lambda: par([joblib.delayed(nothing)()]), repeats)
        print(f"empty round trip: executor {empty * 1e3:.3f} ms, joblib.Parallel "
              f"{joblib_empty * 1e3:.3f} ms")
        for mb in (1, 10, 100):
            n = mb * MIB // 8
            shared = arena.zeros(n)
            plain = np.zeros(n)
            t_arena = timed(lambda: pool.submit(read, shared).result(), repeats * 4)
            t_pickle = timed(lambda: pool.submit(read, plain).result(), repeats)
            t_joblib = timed(lambda: par([joblib.delayed(read)(plain)]), repeats)
            print(f"{mb:4d}MB {t_arena * 1e3:9.3f} {t_pickle * 1e3:10.3f} {t_joblib * 1e3:15.3f} "
                  f"{t_pickle / t_arena:12.1f}x {t_joblib / t_arena:12.1f}x")
            del shared


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("parts", nargs="*", choices=["traces", "transfer", []], default=[])
    ap.add_argument("--repeats", type=int, default=7)
    args = ap.parse_args(argv)
    parts = args.parts or ["traces", "transfer"]
    if "traces" in parts:
        traces()
    if "transfer" in parts:
        transfer(args.repeats)
    return 0


if __name__ == "__main__":
    sys.exit(main())
