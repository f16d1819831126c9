"""Side-by-side timings of _plindra against NumPy (and pyarrow when installed).

Every figure is the median of repeated runs in this one process; the tables
print ratios (plindra time / other time), so < 1.0 means plindra is faster.

    python bench/bench.py            # full run (10^3, 10^6, 10^7 elements)
    python bench/bench.py --quick    # seconds-long smoke run
"""

from __future__ import annotations

import argparse
import statistics
import time
import tracemalloc

import numpy as np

import _plindra

try:  # optional third party
    import pyarrow as pa
    import pyarrow.compute as pc
except ImportError:  # pragma: no cover - optional
    pa = None

PAIRS = [
    ("float64", "uint8"), ("float64", "int32"), ("float32", "uint8"), ("float32", "int16"),
    ("float16", "int8"), ("int64", "int32"), ("uint64", "int64"), ("int32", "uint8"),
    ("int16", "float16"), ("int64", "float32"), ("uint64", "float64"), ("float64", "float32"),
    ("float64", "float16"), ("float32", "float16"), ("float16", "float64"),
    ("float64", "float64"), ("int32", "int32"),
]
ROUNDING = ["nearest-even", "towards-zero", "towards-positive", "towards-negative", "nearest-away"]


def median_time(fn, repeat: int) -> float:
    fn()  # warm-up
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter_ns()
        fn()
        times.append(time.perf_counter_ns() - t0)
    return statistics.median(times) / 1e9


def repeats_for(n: int, quick: bool) -> int:
    if quick:
        return 3
    return 200 if n <= 10_000 else (15 if n <= 1_000_000 else 7)


def sample(src: str, dst: str, n: int, rng: np.random.Generator) -> np.ndarray:
    """Values that convert without error (so every path runs to the end)."""
    s, d = np.dtype(src), np.dtype(dst)
    if d.kind in "iu":
        info = np.iinfo(d)
        lo, hi = max(float(info.min), -60000.0), min(float(info.max), 60000.0)
        if s.kind in "iu":
            sinfo = np.iinfo(s)
            lo, hi = max(lo, sinfo.min), min(hi, sinfo.max)
            return rng.integers(int(lo), int(hi), n, endpoint=True).astype(s)
        vals = rng.uniform(lo, hi, n)
        return np.clip(np.rint(vals), lo, hi).astype(s) if s == np.float16 else vals.astype(s)
    if s.kind in "iu":
        info = np.iinfo(s)
        return rng.integers(max(info.min, -60000), min(info.max, 60000), n, endpoint=True).astype(s)
    return rng.uniform(-60000.0, 60000.0, n).astype(s)


def cast(arr, dst, rounding="nearest-even", oor="clamp", smap=None):
    return _plindra.cast_array(arr, target_dtype=dst, rounding_mode=rounding,
                               out_of_range_mode=oor, scalar_map_entries=smap)


def row(label: str, ratio: float, goal: float | None = None) -> str:
    mark = "" if goal is None else ("  ok" if ratio <= goal else f"  MISSES ≤{goal}")
    return f"  {label:<52} {ratio:7.2f}x{mark}"


def vs_astype(sizes, quick, rng):
    print("cast_array vs arr.astype(D)  (nearest-even, clamp, no map)")
    ratios_at_max = []
    for n in sizes:
        print(f" n = {n:,}")
        for src, dst in PAIRS:
            a = sample(src, dst, n, rng)
            r = repeats_for(n, quick)
            t_p = median_time(lambda: cast(a, dst), r)
            t_n = median_time(lambda: a.astype(dst), r)
            goal = 1.25 if n == sizes[-1] else None
            print(row(f"{src} -> {dst}", t_p / t_n, goal))
            if n == sizes[-1]:
                ratios_at_max.append(t_p / t_n)
    print(row(f"median over pairs at n = {sizes[-1]:,}", statistics.median(ratios_at_max), 1.0))


def numpy_composition(n, quick, rng):
    print(f"\ncast_array vs the NumPy code with the same semantics  (n = {n:,})")
    r = repeats_for(n, quick)
    for src, dst in [("float64", "int32"), ("float64", "uint8"), ("float32", "int16")]:
        a = sample(src, dst, n, rng)
        info = np.iinfo(dst)

        def checked():  # NaN check + rint + range check + astype: the error mode
            if np.isnan(a).any():
                raise ValueError("nan")
            rr = np.rint(a)
            if (rr < info.min).any() or (rr > info.max).any():
                raise ValueError("range")
            return rr.astype(dst)

        def clamped():  # NaN check + rint + clip + astype
            if np.isnan(a).any():
                raise ValueError("nan")
            return np.clip(np.rint(a), info.min, info.max).astype(dst)

        t_p = median_time(lambda: cast(a, dst, oor=None), r)
        print(row(f"{src} -> {dst} error mode vs isnan+rint+bounds+astype", t_p / median_time(checked, r), 0.25))
        t_p = median_time(lambda: cast(a, dst), r)
        print(row(f"{src} -> {dst} clamp vs isnan+rint+clip+astype", t_p / median_time(clamped, r), 0.25))
    a = sample("float64", "int32", n, rng)
    a[::97] = np.nan
    where = lambda: np.where(np.isnan(a), -1, np.clip(np.rint(np.nan_to_num(a)), -2**31, 2**31 - 1)).astype(np.int32)
    t_p = median_time(lambda: cast(a, "int32", smap={float("nan"): -1}), r)
    print(row("float64 -> int32 NaN map vs where(isnan(a), -1, ...)", t_p / median_time(where, r)))


def vs_pyarrow(n, quick, rng):
    if pa is None:
        print("\n(pyarrow not installed: skipping the pyarrow comparison)")
        return
    print(f"\ncast_array vs pyarrow.compute.cast(safe=True)  (n = {n:,})")
    r = repeats_for(n, quick)
    for src, dst in [("float64", "int32"), ("int64", "int32"), ("float64", "float32"), ("int32", "float64")]:
        a = sample(src, dst, n, rng)
        if np.dtype(dst).kind in "iu":
            a = np.rint(a).astype(src)  # arrow's safe cast refuses fractional values
        pa_arr = pa.array(a)
        target = pa.from_numpy_dtype(np.dtype(dst))
        opts = pc.CastOptions.safe(target)
        t_a = median_time(lambda: pc.cast(pa_arr, options=opts).to_numpy(zero_copy_only=False), r)
        t_p = median_time(lambda: cast(a, dst, oor=None), r)
        print(row(f"{src} -> {dst}", t_p / t_a))


def vs_bandwidth(n, quick, rng):
    print(f"\ncast_array vs the memory floor (n = {n:,}): a fresh-buffer copy of the input,")
    print("  scaled to the cast's traffic (n*size(S) read + n*size(D) written)")
    r = repeats_for(n, quick)
    for src, dst in [("float64", "int32"), ("float64", "uint8"), ("int64", "int32"), ("float32", "float16")]:
        a = sample(src, dst, n, rng)
        s_size, d_size = np.dtype(src).itemsize, np.dtype(dst).itemsize

        def copy():
            out = np.empty_like(a)
            np.copyto(out, a)
            return out

        floor = median_time(copy, r) * (s_size + d_size) / (2 * s_size)
        t_p = median_time(lambda: cast(a, dst), r)
        print(row(f"{src} -> {dst}", t_p / floor))


def modes(n, quick, rng):
    print(f"\nmodes, relative to their baseline  (n = {n:,})")
    r = repeats_for(n, quick)
    for src, dst in [("float64", "int32"), ("float32", "uint8"), ("float64", "float16"), ("int64", "float32")]:
        a = sample(src, dst, n, rng)
        base = median_time(lambda: cast(a, dst), r)
        for mode in ROUNDING[1:]:
            t = median_time(lambda: cast(a, dst, rounding=mode), r)
            print(row(f"{src} -> {dst} {mode} / nearest-even", t / base, 1.3))
        if np.dtype(dst).kind in "iu" or np.dtype(src).itemsize > np.dtype(dst).itemsize:
            for oor, goal in [(None, 1.15), ("wrap", None)]:
                t = median_time(lambda: cast(a, dst, oor=oor), r)
                print(row(f"{src} -> {dst} {oor or 'error'} / clamp", t / base, goal))
        if np.dtype(src).kind == "f":
            smap = {float("nan"): 0}
            t = median_time(lambda: cast(a, dst, smap=smap), r)
            print(row(f"{src} -> {dst} one-entry NaN map / no map", t / base, 1.5))


def per_call(quick):
    print("\nper-call cost vs astype (loops of 1000 calls)")
    r = 200 if not quick else 5
    for shape in [(1,), ()]:
        a = np.ones(shape, np.float64)

        def plindra_loop():
            for _ in range(1000):
                _plindra.cast_array(a, target_dtype="int32", rounding_mode="nearest-even",
                                    out_of_range_mode="clamp")

        def astype_loop():
            for _ in range(1000):
                a.astype(np.int32)

        ratio = median_time(plindra_loop, r) / median_time(astype_loop, r)
        print(row(f"float64 -> int32, shape {shape}", ratio, 1.0 if shape == (1,) else None))


def peak_memory(n, rng):
    print(f"\npeak traced memory of cast_array beyond its output  (n = {n:,})")
    for src, dst in [("float64", "int32"), ("float64", "float16"), ("int64", "int32")]:
        a = sample(src, dst, n, rng)
        tracemalloc.start()
        tracemalloc.reset_peak()
        out = cast(a, dst, oor=None)
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        extra = peak - out.nbytes
        mark = "ok" if extra <= 64 * 1024 else "MISSES ≤64 KiB"
        print(f"  {src} -> {dst:<44} {extra / 1024:8.1f} KiB  {mark}")
        del out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="seconds-long smoke run")
    args = ap.parse_args()
    rng = np.random.default_rng(12345)
    sizes = [1_000, 10_000] if args.quick else [1_000, 1_000_000, 10_000_000]
    big = sizes[-1]
    print(f"numpy {np.__version__}; one thread; medians of repeated runs\n")
    vs_astype(sizes, args.quick, rng)
    numpy_composition(big, args.quick, rng)
    vs_pyarrow(big, args.quick, rng)
    vs_bandwidth(big, args.quick, rng)
    modes(big, args.quick, rng)
    per_call(args.quick)
    peak_memory(big, rng)


if __name__ == "__main__":
    main()
