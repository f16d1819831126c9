"""Side-by-side timings of _plindra against NumPy (and pyarrow and dask when
installed).

Timing method: every comparison runs its calls PAIRED in one process. Each
repetition calls every contender once, back to back, rotating which goes
first (A B, then B A, ...), so slow spells of a shared machine hit both
sides of a pair alike. A row's figure is the MEDIAN OF THE PER-REPETITION
RATIOS (plindra time / other time), so < 1.0 means plindra is faster; the
bracket beside it is the interquartile range of those ratios (a wide bracket
marks a noisy row). The garbage collector is collected before and disabled
during each measurement, every contender is called once untimed first, the
output of a call is released after its clock stops, and small arrays are
timed over loops of calls so that a sample lasts about 100 us.

Rows with a goal end in "ok" or "MISSES <=goal" (">=goal" where more is
better); the last lines count the goals met and list the ones missed. The
script exits 0 either way.

    python bench/bench.py                 # full run (over ten minutes; pairs alone about 7)
    python bench/bench.py --quick         # seconds-long smoke run
    python bench/bench.py --only threads  # one section (repeatable, or a,b)
    python bench/bench.py --only pairs --pairs-sizes 10000,200000 --pairs-parts astype,modes

The "pairs" section covers all 121 (source, target) pairs at each of
--pairs-sizes (default 10^4, 2*10^5 and 10^7; --quick: 10^4), for the kernel
variant the process runs (PLINDRA_KERNEL_VARIANT=x86-64-v3 forces the AVX2
kernels). At each size it goes over all the pairs three times (--quick:
once), on the same data, and a row's figure is taken over the repetitions
of every pass, so that a slow spell of the machine lasting seconds does not
decide a row. Its parts (--pairs-parts, default all):
    astype  cast_array (nearest-even, clamp) vs arr.astype(D); goal <=1.3,
            <=1.05 from 10^7 elements on
    map     a one-entry scalar map ({nan: 0} for float sources, {0: 1} for
            integer ones; seldom or never matching the data) vs no map;
            goal <=1.5
    modes   each other rounding mode vs nearest-even on the same data;
            goal <=1.3, and <=1.15 for the directed modes to float32 and
            float64 (one hardware conversion in nearest-even, or exact),
            from 2*10^5 elements on (smaller sizes are printed without one)
    ties    the same on data made only of ties of the target (k + 0.5, or
            halfway between two adjacent floats); pairs that never round
            (integer -> integer, float -> a float as wide or wider, integers
            a target holds exactly) have none and are left out
    into    cast_array_into vs np.copyto into a resident output at 10^7
            (--quick: 10^4) for four pairs; goal <=1.05
Each part prints its worst rows and how many rows miss the goal; that count
is one goal of the summary, missed when any row misses.

For the thread measurements give the process at least four cores, e.g.
`taskset -c 0,1,2,3 python bench/bench.py --only threads`.
"""

from __future__ import annotations

import argparse
import gc
import os
import platform
import statistics
import sys
import threading
import time
import tracemalloc
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import _plindra

try:  # optional third party
    import pyarrow as pa
    import pyarrow.compute as pc
except ImportError:  # pragma: no cover - optional
    pa = None

try:  # optional third party
    import dask
    import dask.array as da
except ImportError:  # pragma: no cover - optional
    da = None

PAIRS = [
    ("float64", "uint8"), ("float64", "int32"), ("float32", "uint8"), ("float32", "int16"),
    ("float16", "int8"), ("int64", "int32"), ("uint64", "int64"), ("int32", "uint8"),
    ("int16", "float16"), ("int64", "float32"), ("uint64", "float64"), ("float64", "float32"),
    ("float64", "float16"), ("float32", "float16"), ("float16", "float64"),
    ("float64", "float64"), ("int32", "int32"),
]
INTO_PAIRS = [  # (source, target, goal); the last one is shown for reference
    ("float64", "uint8", 1.05), ("float64", "int32", 1.05), ("float64", "int16", 1.05),
    ("float32", "int16", 1.05), ("int64", "int32", 1.05), ("float64", "float32", None),
]
MODE_PAIRS = [
    ("float64", "int32"), ("float32", "uint8"), ("float64", "int16"), ("int64", "float32"),
    ("uint64", "float64"), ("float64", "float32"), ("float64", "float16"), ("float32", "float16"),
]
ROUNDING = ["nearest-even", "towards-zero", "towards-positive", "towards-negative", "nearest-away"]
THREADS = 4
DTYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float16", "float32", "float64"]
ALL_PAIRS = [(s, d) for s in DTYPES for d in DTYPES]
ALL_PAIRS_INTO = [("float64", "uint8", 1.05), ("float32", "int16", 1.05), ("float64", "int32", 1.05),
                  ("int64", "int32", 1.05)]
PAIRS_PARTS = ["astype", "map", "modes", "ties", "into"]
WORST_ROWS = 8

SECTIONS = ["astype", "into", "numpy", "pyarrow", "floor", "modes", "threads", "dask", "per-call", "memory",
            "pairs"]


# --------------------------------------------------------------------------
# timing and reporting

def repeats_for(n: int, quick: bool) -> int:
    if quick:
        return 9
    if n <= 10_000:
        return 301
    if n <= 100_000:
        return 101
    return 61 if n <= 1_000_000 else 21


def inner_for(n: int) -> int:
    """Calls per sample: about 100 us of work for small arrays, else one."""
    return max(1, 100_000 // max(n, 1))


def paired(fns, repeat: int, inner: int = 1) -> list[list[float]]:
    """Per-repetition times (seconds per call) of each callable in `fns`.

    Every repetition calls each one (`inner` times in a row), rotating the
    order from one repetition to the next."""
    k = len(fns)
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        for fn in fns:  # warm-up: first-touch, caches, lazy imports
            fn()
        times: list[list[float]] = [[] for _ in fns]
        clock = time.perf_counter_ns
        for i in range(repeat):
            for j in (i + m for m in range(k)):
                j %= k
                fn = fns[j]
                if inner == 1:
                    t0 = clock()
                    r = fn()
                    t1 = clock()
                else:
                    t0 = clock()
                    for _ in range(inner):
                        r = fn()
                    t1 = clock()
                del r
                times[j].append((t1 - t0) / inner / 1e9)
    finally:
        if enabled:
            gc.enable()
    return times


class Ratio:
    """Median and interquartile range of per-repetition ratios a_i / b_i."""

    def __init__(self, a, b):
        self.values = sorted(x / y for x, y in zip(a, b, strict=True))
        self.median = statistics.median(self.values)
        q = statistics.quantiles(self.values, n=4) if len(self.values) >= 2 else [self.median] * 3
        self.q1, self.q3 = q[0], q[2]


def meets(value: float, goal: float, at_least: bool = False) -> bool:
    value = round(value, 2)  # judged as printed
    return value >= goal if at_least else value <= goal


class Goals:
    def __init__(self):
        self.met: list[str] = []
        self.missed: list[str] = []

    def check(self, name: str, value: float, goal: float, at_least: bool = False) -> str:
        ok = meets(value, goal, at_least)
        (self.met if ok else self.missed).append(f"{name}: {value:.2f} (goal {'≥' if at_least else '≤'}{goal})")
        return mark(ok, goal, at_least)


def mark(ok: bool, goal: float, at_least: bool = False) -> str:
    return "ok" if ok else f"MISSES {'≥' if at_least else '≤'}{goal}"


GOALS = Goals()


def row(label: str, value, goal: float | None = None, *, at_least: bool = False,
        section: str = "", unit: str = "x", note: str = "", count: bool = True) -> None:
    """One printed row; with a goal, judged and (when `count`) counted in GOALS."""
    if isinstance(value, Ratio):
        ratio, spread = value.median, f"[{value.q1:.2f}-{value.q3:.2f}]"
    else:
        ratio, spread = value, ""
    if goal is None:
        judged = ""
    elif count:
        judged = GOALS.check(f"{section}{label}", ratio, goal, at_least)
    else:
        judged = mark(meets(ratio, goal, at_least), goal, at_least)
    print(f"  {label:<56} {ratio:6.2f}{unit} {spread:<12} {judged}{note}".rstrip())


class Tally:
    """The ratios of one measurement over many pairs: printed as its worst
    rows and a count of the rows that miss `goal`, which is one goal in
    GOALS (met when no row misses)."""

    def __init__(self, title: str, goal: float | None, what: str = "pairs"):
        self.title, self.goal, self.what = title, goal, what
        self.samples: dict[str, tuple[list[float], list[float]]] = {}  # label -> (times, baseline times)
        self.seconds = 0.0

    def add(self, label: str, times: list[float], baseline: list[float]) -> None:
        """Paired samples of one row, joined to those of earlier passes."""
        a, b = self.samples.setdefault(label, ([], []))
        a.extend(times)
        b.extend(baseline)

    @property
    def ratios(self) -> dict[str, Ratio]:
        return {label: Ratio(a, b) for label, (a, b) in self.samples.items()}

    def report(self, derived: bool = False) -> None:
        ratios = self.ratios
        if not ratios:
            return
        took = "from the runs above" if derived else f"{self.seconds:.1f} s"
        print(f"\n {self.title}  ({len(ratios)} {self.what}, {took}); worst {WORST_ROWS}:")
        ranked = sorted(ratios.items(), key=lambda kv: -kv[1].median)
        for label, ratio in ranked[:WORST_ROWS]:
            row(label, ratio, self.goal, count=False)
        if self.goal is None:
            print("  (no goal at this size)")
            return
        missed = [f"{label} {ratio.median:.2f}" for label, ratio in ranked if not meets(ratio.median, self.goal)]
        line = f"{len(missed)} of {len(ratios)} {self.what} miss ≤{self.goal}"
        listed = ", ".join(missed[:12]) + (f", and {len(missed) - 12} more" if len(missed) > 12 else "")
        print(f"  {line}" + (f" (worst: {', '.join(missed[:4])})" if missed else ""))
        (GOALS.missed if missed else GOALS.met).append(f"{self.title}: {line}" + (f" ({listed})" if missed else ""))


# --------------------------------------------------------------------------
# data and calls

def sample(src: str, dst: str, n: int, rng: np.random.Generator) -> np.ndarray:
    """Values that convert without error (so every path runs to the end);
    integer to float32/float64 uses the source's whole range, so that the
    wide integers really round."""
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
        if d.itemsize >= 4:
            return rng.integers(info.min, info.max, n, endpoint=True, dtype=s)
        return rng.integers(max(info.min, -60000), min(info.max, 60000), n, endpoint=True).astype(s)
    return rng.uniform(-60000.0, 60000.0, n).astype(s)


def ties(src: str, dst: str, n: int, rng: np.random.Generator) -> np.ndarray | None:
    """Values that each lie exactly halfway between two adjacent values of
    `dst`, within its range, so that every rounding mode has a tie to break
    (and they convert without error under clamp); None for a pair that never
    rounds: integer -> integer, a float to a float as wide or wider, and
    integers that `dst` holds exactly."""
    s, d = np.dtype(src), np.dtype(dst)
    if d.kind in "iu":
        if s.kind in "iu":
            return None
        info = np.iinfo(d)
        bound = 1023 if s == np.float16 else 60000  # k + 0.5 is exact in float16 below 2^10
        k = rng.integers(max(info.min, -bound), min(info.max, bound), n)  # so k + 1 fits too
        return (k + 0.5).astype(s)
    if s.kind == "f":
        if s.itemsize <= d.itemsize:
            return None
        x = rng.uniform(-60000.0, 60000.0, n).astype(d)
        above = np.nextafter(x, d.type(np.inf))
        return ((x.astype(np.float64) + above.astype(np.float64)) / 2).astype(s)  # exact in `s`
    # integer -> float with p significand bits: (2m + 1) * 2^(e - p) for m in [2^(p-1), 2^p),
    # halfway between m * 2^(e-p+1) and (m + 1) * 2^(e-p+1), below 2^(e+1) (2049, 2^24 + 1, 2^53 + 1, ...)
    p = np.finfo(d).nmant + 1
    top = np.iinfo(s).bits - (s.kind == "i") - 1  # 2^(top+1) - 1 fits in the source
    if d == np.float16:
        top = min(top, 14)  # the upper neighbour, up to 2^15, stays finite
    if top < p:
        return None
    e = rng.integers(p, top, n, endpoint=True).astype(np.uint64)
    m = rng.integers(2 ** (p - 1), 2**p, n, dtype=np.uint64)
    v = ((2 * m + 1) << (e - np.uint64(p))).astype(s)
    return np.where(rng.random(n) < 0.5, -v, v) if s.kind == "i" else v


def cast(arr, dst, rounding="nearest-even", oor="clamp", smap=None):
    return _plindra.cast_array(arr, target_dtype=dst, rounding_mode=rounding,
                               out_of_range_mode=oor, scalar_map_entries=smap)


def caller(a, dst, rounding="nearest-even", oor="clamp", smap=None):
    """A zero-argument call of cast_array with a single Python frame, like
    the `lambda: a.astype(dt)` it is compared with."""
    f = _plindra.cast_array
    return lambda: f(a, target_dtype=dst, rounding_mode=rounding, out_of_range_mode=oor,
                     scalar_map_entries=smap)


def astyper(a, dst):
    dt = np.dtype(dst)
    return lambda: a.astype(dt)


# --------------------------------------------------------------------------
# environment

def cpu_flags() -> set[str]:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


V3_FLAGS = {"sse4_1", "sse4_2", "ssse3", "popcnt", "cx16", "lahf_lm",
            "avx", "avx2", "bmi1", "bmi2", "f16c", "fma", "movbe", "abm", "xsave"}
V4_FLAGS = V3_FLAGS | {"avx512f", "avx512bw", "avx512cd", "avx512dq", "avx512vl"}


def supported_variants() -> list[str]:
    if platform.machine().lower() not in ("x86_64", "amd64"):
        return ["portable"]
    flags = cpu_flags()
    found = ["portable"]
    if V3_FLAGS <= flags:
        found.append("x86-64-v3")
    if V4_FLAGS <= flags:
        found.append("x86-64-v4")
    return found


def usable_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not Linux
        return os.cpu_count() or 1


def kernel_variant() -> str:
    """The kernel variant this process runs and how that is known."""
    forced = os.environ.get("PLINDRA_KERNEL_VARIANT")
    if forced:
        return f"{forced}, forced by PLINDRA_KERNEL_VARIANT"
    return f"{supported_variants()[-1]}, inferred from the CPU's flags"


def environment(quick: bool) -> None:
    variants = supported_variants()
    print(f"CPU: {cpu_model()}; {os.cpu_count()} cores, {usable_cpus()} usable by this process")
    print(f"python {platform.python_version()}; numpy {np.__version__}"
          + (f"; pyarrow {pa.__version__}" if pa is not None else "")
          + (f"; dask {dask.__version__}" if da is not None else ""))
    forced = os.environ.get("PLINDRA_KERNEL_VARIANT")
    if forced:
        note = "" if forced in variants else " (this CPU lacks it)"
        print(f"kernel variant: {forced}, forced by PLINDRA_KERNEL_VARIANT{note}; "
              f"the CPU's best: {variants[-1]}")
    else:
        print(f"kernel variant: {variants[-1]} (inferred from the CPU's flags: the best this CPU runs "
              "among those a default build has)")
    print(f"{'quick smoke run' if quick else 'full run'}; ratios plindra / other: median of paired "
          "per-repetition ratios [interquartile range]\n")


# --------------------------------------------------------------------------
# sections

def vs_astype(sizes, quick, rng):
    print("cast_array vs arr.astype(D)  (nearest-even, clamp, no map)")
    row_goal = {10_000: 1.1, 1_000_000: 1.0, 10_000_000: 1.0}
    for n in sizes:
        print(f" n = {n:,}")
        r, inner = repeats_for(n, quick), inner_for(n)
        medians = []
        for src, dst in PAIRS:
            a = sample(src, dst, n, rng)
            t_p, t_n = paired([caller(a, dst), astyper(a, dst)], r, inner)
            ratio = Ratio(t_p, t_n)
            medians.append(ratio.median)
            row(f"{src} -> {dst}", ratio, row_goal.get(n), section=f"astype n={n:,}: ")
        row("median over pairs", statistics.median(medians),
            0.9 if n >= 1_000_000 else None, section=f"astype n={n:,}: ")


def into_vs_copyto(n, quick, rng, pairs=INTO_PAIRS, section="into: ", goals=True):
    """With goals=False, every row is printed without one."""
    print(f"\ncast_array_into(a, out) vs np.copyto(out, a, casting='unsafe'), out resident  (n = {n:,})")
    r, inner = repeats_for(n, quick), inner_for(n)
    into = _plindra.cast_array_into
    for src, dst, goal in pairs:
        a = sample(src, dst, n, rng)
        out = np.empty(n, dst)
        out.fill(1)  # fault the pages in before timing

        def p(a=a, out=out):
            return into(a, out, rounding_mode="nearest-even", out_of_range_mode="clamp")

        def c(a=a, out=out):
            return np.copyto(out, a, casting="unsafe")

        t_p, t_c = paired([p, c], r, inner)
        label = f"{src} -> {dst}" + ("" if goal or not goals else "  (reference)")
        row(label, Ratio(t_p, t_c), goal if goals else None, section=section)


def numpy_composition(n, quick, rng):
    print(f"\ncast_array vs the NumPy code with the same semantics  (n = {n:,})")
    r, inner = repeats_for(n, quick), inner_for(n)
    for src, dst in [("float64", "int32"), ("float64", "uint8"), ("float32", "int16")]:
        a = sample(src, dst, n, rng)
        info = np.iinfo(dst)

        def checked(a=a, info=info, dst=dst):  # NaN check + rint + range check + astype: the error mode
            if np.isnan(a).any():
                raise ValueError("nan")
            rr = np.rint(a)
            if (rr < info.min).any() or (rr > info.max).any():
                raise ValueError("range")
            return rr.astype(dst)

        def clamped(a=a, info=info, dst=dst):  # NaN check + rint + clip + astype
            if np.isnan(a).any():
                raise ValueError("nan")
            return np.clip(np.rint(a), info.min, info.max).astype(dst)

        t_p, t_n = paired([caller(a, dst, oor=None), checked], r, inner)
        row(f"{src} -> {dst} error mode vs isnan+rint+bounds+astype", Ratio(t_p, t_n), 0.25, section="numpy: ")
        t_p, t_n = paired([caller(a, dst), clamped], r, inner)
        row(f"{src} -> {dst} clamp vs isnan+rint+clip+astype", Ratio(t_p, t_n), 0.25, section="numpy: ")
    a = sample("float64", "int32", n, rng)
    a[::97] = np.nan
    where = lambda: np.where(np.isnan(a), -1, np.clip(np.rint(np.nan_to_num(a)), -2**31, 2**31 - 1)).astype(np.int32)
    t_p, t_n = paired([caller(a, "int32", smap={float("nan"): -1}), where], r, inner)
    row("float64 -> int32 NaN map vs where(isnan(a), -1, ...)", Ratio(t_p, t_n))


def vs_pyarrow(n, quick, rng):
    if pa is None:
        print("\n(pyarrow not installed: skipping the pyarrow comparison)")
        return
    print(f"\ncast_array vs pyarrow.compute.cast(safe=True)  (n = {n:,})")
    r, inner = repeats_for(n, quick), inner_for(n)
    for src, dst in [("float64", "int32"), ("int64", "int32"), ("float64", "float32"), ("int32", "float64")]:
        a = sample(src, dst, n, rng)
        if np.dtype(dst).kind in "iu":
            a = np.rint(a).astype(src)  # arrow's safe cast refuses fractional values
        pa_arr = pa.array(a)
        opts = pc.CastOptions.safe(pa.from_numpy_dtype(np.dtype(dst)))
        arrow = lambda pa_arr=pa_arr, opts=opts: pc.cast(pa_arr, options=opts).to_numpy(zero_copy_only=False)
        t_p, t_a = paired([caller(a, dst, oor=None), arrow], r, inner)
        row(f"{src} -> {dst}", Ratio(t_p, t_a))


def vs_bandwidth(n, quick, rng):
    print(f"\ncast_array vs the memory floor (n = {n:,}): a fresh-buffer copy of the input,")
    print("  scaled to the cast's traffic (n*size(S) read + n*size(D) written); astype's beside it")
    r, inner = repeats_for(n, quick), inner_for(n)
    for src, dst in [("float64", "int32"), ("float64", "uint8"), ("int64", "int32"), ("float32", "float16")]:
        a = sample(src, dst, n, rng)
        scale = (a.itemsize + np.dtype(dst).itemsize) / (2 * a.itemsize)

        def copy(a=a):
            out = np.empty_like(a)
            np.copyto(out, a)
            return out

        t_p, t_c, t_n = paired([caller(a, dst), copy, astyper(a, dst)], r, inner)
        floor = [t * scale for t in t_c]
        row(f"{src} -> {dst}", Ratio(t_p, floor), note=f"   astype / floor {Ratio(t_n, floor).median:.2f}x")


def modes(sizes, quick, rng):
    for n in sizes:
        print(f"\nrounding modes vs nearest-even, same pair  (clamp, no map; n = {n:,})")
        r, inner = repeats_for(n, quick), inner_for(n)
        for src, dst in MODE_PAIRS:
            a = sample(src, dst, n, rng)
            times = paired([caller(a, dst, rounding=m) for m in ROUNDING], r, inner)
            for mode, t in zip(ROUNDING[1:], times[1:], strict=True):
                row(f"{src} -> {dst} {mode}", Ratio(t, times[0]), 1.15, section=f"modes n={n:,}: ")
    n = sizes[-1]
    print(f"\nout-of-range modes vs clamp, scalar map vs none  (nearest-even; n = {n:,})")
    r, inner = repeats_for(n, quick), inner_for(n)
    for src, dst in [("float64", "int32"), ("float32", "uint8"), ("float64", "float16"), ("int64", "float32")]:
        a = sample(src, dst, n, rng)
        fns = [caller(a, dst)]
        labels = []
        if np.dtype(dst).kind in "iu" or np.dtype(src).itemsize > np.dtype(dst).itemsize:
            fns += [caller(a, dst, oor=None), caller(a, dst, oor="wrap")]
            labels += [("error / clamp", 1.15), ("wrap / clamp", None)]
        if np.dtype(src).kind == "f":
            fns.append(caller(a, dst, smap={float("nan"): 0}))
            labels.append(("one-entry NaN map / no map", 1.5))
        if not labels:
            continue
        times = paired(fns, r, inner)
        for (label, goal), t in zip(labels, times[1:], strict=True):
            row(f"{src} -> {dst} {label}", Ratio(t, times[0]), goal, section="modes: ")


def threads(n, quick, rng):
    cpus = usable_cpus()
    print(f"\n{THREADS} threads vs one: each thread converts its own array of {n:,} elements, against")
    print(f"  one thread converting all {THREADS} in turn; speed-up = sequential time / threaded time")
    if cpus < THREADS:
        print(f"  (only {cpus} CPU(s) usable by this process: the speed-ups are capped)")
    r = 9 if quick else 41
    barrier = threading.Barrier(THREADS)

    def start_together(fn, a):
        barrier.wait()
        return fn(a)

    with ThreadPoolExecutor(THREADS) as pool:
        for src, dst in [("float64", "int32"), ("float32", "uint8")]:
            arrays = [sample(src, dst, n, rng) for _ in range(THREADS)]
            dt = np.dtype(dst)
            one_p = lambda a, dst=dst: _plindra.cast_array(a, target_dtype=dst, rounding_mode="nearest-even",
                                                           out_of_range_mode="clamp")
            one_n = lambda a, dt=dt: a.astype(dt)

            def sequential(fn, arrays=arrays):
                return lambda: [fn(a) for a in arrays]

            def threaded(fn, arrays=arrays):
                return lambda: [f.result() for f in [pool.submit(start_together, fn, a) for a in arrays]]

            expected = sequential(one_p)()
            if not all(np.array_equal(x, y) for x, y in zip(expected, threaded(one_p)(), strict=True)):
                print(f"  {src} -> {dst}: threaded results differ from sequential ones")
                GOALS.missed.append(f"threads: {src} -> {dst} threaded results differ")
            del expected
            t_sp, t_tp, t_sn, t_tn = paired([sequential(one_p), threaded(one_p),
                                             sequential(one_n), threaded(one_n)], r)
            sp_p, sp_n = Ratio(t_sp, t_tp), Ratio(t_sn, t_tn)
            print(f"  {src} -> {dst} (clamp)")
            row("speed-up of cast_array", sp_p)
            row("speed-up of astype", sp_n)
            row("cast_array's speed-up / astype's", sp_p.median / sp_n.median, 0.9, at_least=True,
                section=f"threads {src} -> {dst}: ")


def dask_map_blocks(n, quick, rng):
    if da is None:
        print("\n(dask not installed: skipping the dask comparison)")
        return
    blocks = 2 * THREADS
    print(f"\ndask.array map_blocks, threaded scheduler, 1 -> {THREADS} workers  "
          f"(float64 -> int32, clamp; n = {n:,} in {blocks} blocks)")
    if usable_cpus() < THREADS:
        print(f"  (only {usable_cpus()} CPU(s) usable by this process: the speed-ups are capped)")
    r = 9 if quick else 41
    x = da.from_array(sample("float64", "int32", n, rng), chunks=n // blocks)
    block_p = lambda b: _plindra.cast_array(b, target_dtype="int32", rounding_mode="nearest-even",
                                            out_of_range_mode="clamp")
    block_n = lambda b: b.astype(np.int32)
    y_p = x.map_blocks(block_p, dtype=np.int32)
    y_n = x.map_blocks(block_n, dtype=np.int32)
    run = lambda y, k: (lambda: y.compute(scheduler="threads", num_workers=k))
    t_1p, t_kp, t_1n, t_kn = paired([run(y_p, 1), run(y_p, THREADS), run(y_n, 1), run(y_n, THREADS)], r)
    sp_p, sp_n = Ratio(t_1p, t_kp), Ratio(t_1n, t_kn)
    row("speed-up over cast_array", sp_p)
    row("speed-up over astype", sp_n)
    row("cast_array's speed-up / astype's", sp_p.median / sp_n.median)


def per_call(quick):
    print("\nper-call cost vs astype (loops of 1000 calls)")
    r = 201 if not quick else 9
    i32 = np.dtype(np.int32)
    for shape in [(1,), ()]:
        a = np.ones(shape, np.float64)

        def plindra_loop(a=a):
            for _ in range(1000):
                _plindra.cast_array(a, target_dtype="int32", rounding_mode="nearest-even",
                                    out_of_range_mode="clamp")

        def astype_loop(a=a):
            for _ in range(1000):
                a.astype(i32)

        t_p, t_n = paired([plindra_loop, astype_loop], r)
        row(f"float64 -> int32, shape {shape}", Ratio(t_p, t_n), 1.0 if shape == (1,) else None,
            section="per-call: ")


def peak_memory(n, rng):
    print(f"\npeak traced memory of cast_array beyond its output  (n = {n:,})")
    for src, dst in [("float64", "int32"), ("float64", "float16"), ("int64", "int32")]:
        a = sample(src, dst, n, rng)
        tracemalloc.start()
        tracemalloc.reset_peak()
        out = cast(a, dst, oor=None)
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        extra = (peak - out.nbytes) / 1024
        row(f"{src} -> {dst}", extra, 64, section="memory: ", unit=" KiB")
        del out


# Passes over all the pairs at each size; a row's samples are those of every
# pass. The state of a shared machine drifts over seconds (how many fresh
# output pages come as huge pages, the load of other guests), longer than a
# row takes: one row timed in one stretch read int16 -> float32 1.08x
# `astype` at 10^7 (interquartile range 1.06-1.10), and 0.98x minutes later;
# nearest-away float32 -> int8 at 2*10^5 read 1.23x in one run and 1.33x in
# another. Across 121 rows judged against 1.05, such a drift reads as a miss.
PAIR_PASSES = 3


def pair_repeats(n: int, quick: bool) -> int:
    """Repetitions per row in each pass. At 10^7 elements one call's time
    moves by up to a fifth (fresh output pages, memory bandwidth shared with
    the host): with 7 repetitions a copy on both sides (uint64 -> uint64)
    once read 1.08x `astype`, and six medians of one row spread over
    0.96-1.03 (float32 -> uint16) and 0.91-1.00 (int8 -> uint16); with 15,
    over 0.98-1.00 and 0.91-0.95."""
    if quick:
        return 5
    if n <= 10_000:
        return 21
    return 14 if n <= 1_000_000 else 10


def calls_per_sample(fn) -> int:
    """How many calls of fn take about 100 us (1 to 100)."""
    fn()
    t0 = time.perf_counter()
    fn()
    return max(1, min(100, int(100e-6 / max(time.perf_counter() - t0, 1e-7))))


def time_rows(tally: Tally, fns, labels, r: int, inner: int) -> list[list[float]]:
    """Times fns[0] (the baseline) and the others, paired; adds samples of
    fns[i] / fns[0] to the row labels[i - 1], and returns the times. A
    sample lasts at least about 100 us: a fast pair at 2*10^5 elements takes
    a few microseconds a call, and one interrupt would move a single-call
    sample."""
    t0 = time.perf_counter()
    times = paired(fns, r, max(inner, calls_per_sample(fns[0])))
    tally.seconds += time.perf_counter() - t0
    for label, t in zip(labels, times[1:], strict=True):
        tally.add(label, t, times[0])
    return times


def time_modes(whole: Tally, tight: Tally, a, src, dst, r, inner) -> None:
    """Every other rounding mode vs nearest-even; the directed modes to
    float32 and float64 (one hardware conversion, or exact) go to `tight`
    as well."""
    labels = [f"{src} -> {dst} {m}" for m in ROUNDING[1:]]
    times = time_rows(whole, [caller(a, dst, rounding=m) for m in ROUNDING], labels, r, inner)
    if dst in ("float32", "float64"):
        for label, mode, t in zip(labels, ROUNDING[1:], times[1:], strict=True):
            if mode.startswith("towards-"):
                tight.add(label, t, times[0])


def all_pairs(sizes, parts, quick, rng):
    print(f"\nall {len(ALL_PAIRS)} pairs; kernel variant {kernel_variant()}")
    passes = 1 if quick else PAIR_PASSES
    for n in sizes:
        r, inner = pair_repeats(n, quick), inner_for(n)
        at = f"pairs n={n:,}"
        print(f"\n n = {n:,}: {passes} passes over the pairs, {r} repetitions per row in each, each of {inner} "
              "or more calls (about 100 us); nearest-even, clamp unless said")
        sys.stdout.flush()
        astype = Tally(f"{at} cast_array / astype", 1.05 if n >= 10_000_000 else 1.3)
        smap = Tally(f"{at} one-entry map / no map", 1.5)
        # The modes' goals hold from 2*10^5 elements on; smaller arrays are
        # shown for information.
        modes_goal = n >= 200_000
        tallies = {}
        for data in ("random", "ties"):
            tallies[data] = (Tally(f"{at} {data} data: rounding mode / nearest-even", 1.3 if modes_goal else None,
                                   "pair-mode rows"),
                             Tally(f"{at} {data} data: towards-* / nearest-even, to float32/float64",
                                   1.15 if modes_goal else None, "pair-mode rows"))

        for index, (src, dst) in [(i, pair) for _ in range(passes) for i, pair in enumerate(ALL_PAIRS)]:
            label = f"{src} -> {dst}"
            data_rng = np.random.default_rng([12345, n, index])  # the same data in every pass
            a = sample(src, dst, n, data_rng)
            if "astype" in parts:
                time_rows(astype, [astyper(a, dst), caller(a, dst)], [label], r, inner)
            if "map" in parts:
                entry = {float("nan"): 0} if np.dtype(src).kind == "f" else {0: 1}
                time_rows(smap, [caller(a, dst), caller(a, dst, smap=entry)], [label], r, inner)
            if "modes" in parts:
                time_modes(*tallies["random"], a, src, dst, r, inner)
            del a
            t = ties(src, dst, n, data_rng) if "ties" in parts else None
            if t is not None:
                time_modes(*tallies["ties"], t, src, dst, r, inner)
            del t
        astype.report()
        smap.report()
        for whole, tight in tallies.values():
            whole.report()
            tight.report(derived=True)
    if "into" in parts:
        t0 = time.perf_counter()
        into_vs_copyto(10_000 if quick else 10_000_000, quick, rng, ALL_PAIRS_INTO, "pairs into: ")
        print(f"  ({time.perf_counter() - t0:.1f} s)")


# --------------------------------------------------------------------------

def summary(elapsed: float) -> None:
    total = len(GOALS.met) + len(GOALS.missed)
    print(f"\ngoals: {len(GOALS.met)} of {total} met, {len(GOALS.missed)} missed  ({elapsed:.0f} s)")
    for line in GOALS.missed:
        print(f"  missed  {line}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="seconds-long smoke run")
    ap.add_argument("--only", action="append", metavar="SECTION",
                    help=f"run only these sections (repeatable or comma-separated): {', '.join(SECTIONS)}")
    ap.add_argument("--pairs-sizes", metavar="N,N,...",
                    help="array sizes of the pairs section (default 10000,200000,10000000; --quick: 10000)")
    ap.add_argument("--pairs-parts", metavar="PART,...",
                    help=f"parts of the pairs section to run (default all): {', '.join(PAIRS_PARTS)}")
    args = ap.parse_args()
    only = set()
    for item in args.only or []:
        only.update(s.strip() for s in item.split(",") if s.strip())
    unknown = only - set(SECTIONS)
    if unknown:
        ap.error(f"unknown section(s) {', '.join(sorted(unknown))}; choose from {', '.join(SECTIONS)}")
    wanted = lambda name: not only or name in only
    try:
        pair_sizes = [int(x) for x in (args.pairs_sizes or ("10000" if args.quick else "10000,200000,10000000"))
                      .replace("_", "").split(",") if x.strip()]
    except ValueError:
        ap.error(f"--pairs-sizes takes comma-separated integers, not {args.pairs_sizes!r}")
    pair_parts = {x.strip() for x in (args.pairs_parts or ",".join(PAIRS_PARTS)).split(",") if x.strip()}
    if pair_parts - set(PAIRS_PARTS):
        ap.error(f"unknown pairs part(s) {', '.join(sorted(pair_parts - set(PAIRS_PARTS)))}; "
                 f"choose from {', '.join(PAIRS_PARTS)}")

    rng = np.random.default_rng(12345)
    quick = args.quick
    sizes = [1_000, 10_000] if quick else [1_000, 10_000, 1_000_000, 10_000_000]
    big = sizes[-1]
    start = time.perf_counter()
    environment(quick)
    if wanted("astype"):
        vs_astype(sizes, quick, rng)
    if wanted("into"):
        if not quick:  # in the cache's reach, where the output is not streamed: no goal
            into_vs_copyto(1_000_000, quick, rng, section="into n=1,000,000: ", goals=False)
        into_vs_copyto(big, quick, rng)
    if wanted("numpy"):
        numpy_composition(big, quick, rng)
    if wanted("pyarrow"):
        vs_pyarrow(big, quick, rng)
    if wanted("floor"):
        vs_bandwidth(big, quick, rng)
    if wanted("modes"):
        modes([big] if quick else [1_000_000, big], quick, rng)
    if wanted("threads"):
        threads(100_000 if quick else 4_000_000, quick, rng)
    if wanted("dask"):
        dask_map_blocks(400_000 if quick else 16_000_000, quick, rng)
    if wanted("per-call"):
        per_call(quick)
    if wanted("memory"):
        peak_memory(big, rng)
    if wanted("pairs"):
        all_pairs(pair_sizes, pair_parts, quick, rng)
    summary(time.perf_counter() - start)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
