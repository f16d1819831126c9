"""Two builds of _plindra side by side in one process: every pair, paired
call by call, to tell whether a change to the kernels moved their speed.

    python bench/compare_builds.py BEFORE.so AFTER.so
    python bench/compare_builds.py BEFORE.so AFTER.so --sizes 10000 --parts clamp,into

BEFORE.so and AFTER.so are built modules, each a file named _plindra*.so
(e.g. build/release/python/_plindra*.so of two checkouts) in a directory of
its own. Each row is the median over repetitions of the ratio
after / before (below 1: the change made it faster), the two calls made back
to back on the same data and output kind, in alternating order. Parts
(--parts, default all):
    clamp  cast_array, nearest-even, clamp
    error  the same with out_of_range_mode=None, an error (data in range)
    wrap   the same with "wrap"
    map    clamp with a one-entry map ({nan: 0} for float sources, {0: 1} else)
    modes  nearest-away and towards-zero (the directed modes share one path)
    into   cast_array_into a resident output, clamp
Each part prints its rows beyond --show (default 1.05) and the geometric
mean of its rows; the variant is the one the process runs
(PLINDRA_KERNEL_VARIANT=x86-64-v3 forces the AVX2 kernels).
"""

from __future__ import annotations

import argparse
import importlib
import math
import statistics
import sys
from pathlib import Path

import numpy as np


def load(path: str):
    """The module built at `path`, imported from its directory and kept apart
    from any other build (extension modules are told apart by their file)."""
    sys.modules.pop("_plindra", None)
    sys.path.insert(0, str(Path(path).resolve().parent))
    importlib.invalidate_caches()
    try:
        module = importlib.import_module("_plindra")
    finally:
        del sys.path[0]
        sys.modules.pop("_plindra", None)
    if Path(module.__file__).resolve() != Path(path).resolve():
        sys.exit(f"{path}: its directory gave {module.__file__}; name the build _plindra*.so, alone in its directory")
    return module


PARTS = ["clamp", "error", "wrap", "map", "modes", "into"]


def calls(mod, part: str, a: np.ndarray, dst: str, out: np.ndarray | None):
    """The zero-argument calls of one part for the data `a`, by row suffix;
    `into` writes `out`, the same output for both builds."""
    if part == "into":
        f = mod.cast_array_into
        return {"": lambda: f(a, out, rounding_mode="nearest-even", out_of_range_mode="clamp")}
    f = mod.cast_array
    if part == "modes":
        return {f" {m}": (lambda m=m: f(a, target_dtype=dst, rounding_mode=m, out_of_range_mode="clamp"))
                for m in ("nearest-away", "towards-zero")}
    oor = {"error": None, "wrap": "wrap"}.get(part, "clamp")
    smap = None
    if part == "map":
        smap = {float("nan"): 0} if a.dtype.kind == "f" else {0: 1}
    return {"": lambda: f(a, target_dtype=dst, rounding_mode="nearest-even", out_of_range_mode=oor,
                          scalar_map_entries=smap)}


def in_range(mod, a: np.ndarray, dst: str) -> np.ndarray:
    """`a`, halved until every value converts without an error (the data
    reaches the target's bounds, which float16 may round past)."""
    for _ in range(4):
        try:
            mod.cast_array(a, target_dtype=dst, rounding_mode="nearest-even", out_of_range_mode=None)
            return a
        except ValueError:
            a = (a / 2).astype(a.dtype) if a.dtype.kind == "f" else a // 2
    raise ValueError(f"no data in range for {a.dtype} -> {dst}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("before")
    ap.add_argument("after")
    ap.add_argument("--sizes", default="10000,200000", help="element counts (default 10000,200000)")
    ap.add_argument("--parts", default=",".join(PARTS), help="parts to time (default all)")
    ap.add_argument("--repeats", type=int, default=31, help="paired repetitions per row (default 31)")
    ap.add_argument("--pairs", metavar="SRC:DST,...", help="only these pairs (e.g. float16:int16,int64:int32)")
    ap.add_argument("--show", type=float, default=1.05, help="print rows whose ratio is beyond this")
    args = ap.parse_args()
    if Path(args.before).resolve() == Path(args.after).resolve():
        sys.exit("the two builds must be different files")
    before, after = load(args.before), load(args.after)
    sys.modules["_plindra"] = before  # what bench.py imports; only its data and timing helpers are used
    sys.path.insert(0, str(Path(__file__).parent))
    import bench

    print(f"before: {args.before}\nafter:  {args.after}\nkernel variant {bench.kernel_variant()}; "
          f"{args.repeats} paired repetitions per row; ratio after / before")
    parts = args.parts.split(",")
    unknown = set(parts) - set(PARTS)
    if unknown:
        sys.exit(f"unknown parts: {', '.join(sorted(unknown))}")
    for n in (int(s) for s in args.sizes.split(",")):
        for part in parts:
            rows: dict[str, float] = {}
            for index, (src, dst) in enumerate(bench.ALL_PAIRS):
                if args.pairs and f"{src}:{dst}" not in args.pairs.split(","):
                    continue
                a = bench.sample(src, dst, n, np.random.default_rng([2024, n, index]))
                if part == "error":
                    a = in_range(before, a, dst)
                out = np.zeros(a.shape, dtype=dst) if part == "into" else None  # resident: written before timing
                mine, theirs = calls(after, part, a, dst, out), calls(before, part, a, dst, out)
                for suffix in mine:
                    inner = bench.calls_per_sample(theirs[suffix])
                    t_before, t_after = bench.paired([theirs[suffix], mine[suffix]], args.repeats, inner)
                    rows[f"{src} -> {dst}{suffix}"] = statistics.median(x / y for x, y in
                                                                        zip(t_after, t_before, strict=True))
            geomean = math.exp(statistics.fmean(math.log(r) for r in rows.values()))
            beyond = sorted(((r, label) for label, r in rows.items() if r > args.show or r < 1 / args.show),
                            reverse=True)
            print(f"\nn={n:,} {part}: geomean {geomean:.3f} over {len(rows)} rows, "
                  f"range {min(rows.values()):.2f}-{max(rows.values()):.2f}")
            for r, label in beyond:
                print(f"  {r:.3f}  {label}")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
