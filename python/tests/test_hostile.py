"""Hostile callers: references and memory on every exit path, caller hooks that raise, lie or
mutate the arguments mid-call, and arrays of unusual shape, alignment and ownership."""
import collections.abc
import gc
import os
import re
import subprocess
import sys
import tracemalloc

import numpy as np
import pytest

from _plindra import cast_array, cast_array_into

NOT_PAIRS = "scalar_map_entries must be a dict or an iterable of (source, target) pairs"
NOT_A_PAIR = "Each scalar_map entry must be a (source, target) pair"
NO_LENGTH = "Failed to get length of scalar_map dict."
NOT_WRITABLE = "Output array must be row-major (C-contiguous) and writeable"
WRONG_TYPE = "'ndarray' object cannot be converted to 'PyArray<T, D>'"


def fresh(text):
    """A str object of its own (never a shared constant), so its count is ours alone."""
    return "".join(list(text))


def tracked(*objs):
    """The objects and, recursively, the items of the containers among them."""
    found = []
    for obj in objs:
        found.append(obj)
        if isinstance(obj, dict):
            found += tracked(*obj.keys(), *obj.values())
        elif isinstance(obj, (list, tuple)):
            found += tracked(*obj)
    return found


def call(fn, args, kwargs):
    try:
        return fn(*args, **kwargs), None
    except Exception as e:  # noqa: BLE001 - the caller checks the type
        return None, e


# ------------------------------------------------------- every exit path

def exit_paths():
    """label -> (function, args, kwargs, expected exception type or None); fresh objects."""
    nan = float("nan")
    a = np.array([1.0, 2.0, nan, 4.0])  # fails at index 2 without a map entry for NaN
    rm, i8 = fresh("nearest-even"), fresh("int8")
    pair = lambda: (float("2.0"), int("-7"))  # noqa: E731
    paths = {}

    def add(label, fn, args, exc=None, **kwargs):
        paths[label] = (fn, args, dict(rounding_mode=rm, **kwargs), exc)

    for name, fn in (("alloc", cast_array), ("into", cast_array_into)):
        tgt = dict(target_dtype=i8) if fn is cast_array else {}

        def head(x=a, fn=fn):
            return (x,) if fn is cast_array else (x, np.full(x.shape, 9, np.int8))

        add(f"{name} ok dict", fn, head(), scalar_map_entries={nan: int("5")}, **tgt)
        add(f"{name} ok pairs", fn, head(), scalar_map_entries=[pair(), (nan, int("6"))], **tgt)
        add(f"{name} ok clamp", fn, head(a[:2] * 1e3), out_of_range_mode=fresh("clamp"), **tgt)
        add(f"{name} cast error", fn, head(), ValueError, scalar_map_entries=[pair()], **tgt)
        add(f"{name} bad mode", fn, head(), ValueError, out_of_range_mode=fresh("saturate"), **tgt)
        add(f"{name} mode not str", fn, head(), TypeError, out_of_range_mode=float("1.5"), **tgt)
        add(f"{name} bool source", fn, head(a > 1), TypeError, **tgt)
        add(f"{name} not row-major", fn, head(np.tile(a, (2, 1)).T), ValueError, **tgt)
        add(f"{name} map not iterable", fn, head(), TypeError, scalar_map_entries=float("1.0"), **tgt)
        add(f"{name} map hook raises", fn, head(), KeyError,
            scalar_map_entries=type("M", (), {"__iter__": lambda s: s, "__next__": lambda s: {}[0]})(), **tgt)
        for pos in range(3):
            for bad, exc in (((fresh("s"), int("1")), TypeError), ((float("1.0"), fresh("t")), TypeError),
                             ((float("1.0"),), ValueError)):
                entries = [pair(), pair(), pair()]
                entries[pos] = bad
                add(f"{name} bad entry {len(bad)}{type(bad[-1]).__name__} at {pos}", fn, head(), exc,
                    scalar_map_entries=entries, **tgt)
    add("alloc bad target", cast_array, (a,), TypeError, target_dtype=fresh("int128"))
    add("into shape mismatch", cast_array_into, (a, np.zeros((2, 2), np.int8)), ValueError)
    add("into out swapped", cast_array_into, (a, np.zeros(4, ">i2")), TypeError)
    ro = np.full(4, 9, np.int8)
    ro.flags.writeable = False
    add("into out read-only", cast_array_into, (a, ro), ValueError)
    add("into out strided", cast_array_into, (a, np.full(8, 9, np.int8)[::2]), ValueError)
    add("into out is arr", cast_array_into, (a, a), None, scalar_map_entries={nan: float("0.5")})
    return paths


PATHS = exit_paths()


@pytest.mark.parametrize("label", list(PATHS))
def test_references_unchanged_on_every_exit_path(label):
    fn, args, kwargs, exc = exit_paths()[label]
    objs = tracked(*args, *kwargs.values())
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(3):
        res, err = call(fn, args, kwargs)
        assert type(err) is exc if exc else err is None, repr(err)
        assert err is None or (err.__cause__ is None and err.__context__ is None)
        if fn is cast_array and err is None:
            assert sys.getrefcount(res) == 2 and res.base is None
        del res, err
    assert [sys.getrefcount(o) for o in objs] == before


def total_refs():
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0


@pytest.mark.parametrize("label", list(PATHS))
def test_no_growth_over_many_calls(label):
    fn, args, kwargs, _ = exit_paths()[label]
    for _ in range(50):
        call(fn, args, kwargs)
    gc.collect()
    tracemalloc.start()
    try:
        start, refs = tracemalloc.get_traced_memory()[0], total_refs()
        for _ in range(2000):
            call(fn, args, kwargs)
        gc.collect()
        grown, refs_grown = tracemalloc.get_traced_memory()[0] - start, total_refs() - refs
    finally:
        tracemalloc.stop()
    assert grown < 4096 and refs_grown < 100, (grown, refs_grown)


# ---------------------------------------------- hooks that raise or lie

class Boom(Exception):
    pass


def raiser(err):
    def hook(*_):
        raise err
    return hook


def obj(base=object, **methods):
    return type("Hooked", (base,), methods)()


class Mapping(collections.abc.Mapping):
    """A mapping over a dict, read through the generic items() view."""

    def __init__(self, data, **hooks):
        self.data, self.hooks = dict(data), hooks

    def __getitem__(self, key):
        return self.hooks.get("getitem", self.data.__getitem__)(key)

    def __iter__(self):
        return self.hooks.get("iter", lambda: iter(self.data))()

    def __len__(self):
        return self.hooks.get("len", self.data.__len__)()


def entry(length, items=(1, 7)):
    return obj(__len__=lambda s: length(), __getitem__=lambda s, i: items[i])


# site -> (function making scalar_map_entries (or arrays) from a hook, outcome of an ordinary
# exception: "pass" for unchanged, else (type, message pattern))
SITES = {
    "mapping __len__": (lambda h: Mapping({1: 7}, len=h), (TypeError, re.escape(NO_LENGTH))),
    "mapping __iter__": (lambda h: Mapping({1: 7}, iter=h), "pass"),
    "mapping __getitem__": (lambda h: Mapping({1: 7}, getitem=h), "pass"),
    "pairs __iter__": (lambda h: obj(__iter__=h), (TypeError, re.escape(NOT_PAIRS))),
    "pairs __next__": (lambda h: obj(__iter__=lambda s: s, __next__=h), "pass"),
    "entry __len__": (lambda h: [entry(h)], (ValueError, re.escape(NOT_A_PAIR))),
    "entry __getitem__": (lambda h: [obj(__len__=lambda s: 2, __getitem__=h)], "pass"),
    "key __index__": (lambda h: [(obj(__index__=h), 7)], (TypeError, "source value <.*Hooked")),
    "value __float__": (lambda h: [(1, obj(__float__=h))], (TypeError, "target value <.*Hooked")),
    "__repr__ of a refused value": (lambda h: [(obj(__repr__=h, __str__=lambda s: "k"), 7)],
                                    (TypeError, "source value k:")),
    "__str__ after __repr__": (lambda h: [(obj(__repr__=raiser(Boom()), __str__=h), 7)],
                               (TypeError, "source value <unprintable Hooked object>:")),
    "isinstance test": (lambda h: obj(__class__=property(h), __iter__=lambda s: iter([(1, 7)])), None),
    "arr dtype": (lambda h: {"arr": np.ones(3, np.int16).view(type("A", (np.ndarray,), {"dtype": property(h)}))},
                  "pass"),
    "out dtype": (lambda h: {"out": np.full(3, 9.0).view(type("A", (np.ndarray,), {"dtype": property(h)}))}, "pass"),
}


@pytest.mark.parametrize("site", list(SITES))
@pytest.mark.parametrize("kind", [Boom, KeyboardInterrupt, SystemExit])
def test_hook_errors(site, kind, monkeypatch):
    hooked = []
    monkeypatch.setattr(sys, "unraisablehook", hooked.append)
    make, outcome = SITES[site]
    err = kind("hook")
    made = make(raiser(err))
    arr, out = np.ones(3, np.int16), np.full(3, 9.0)
    if type(made) is dict:
        arr, out, made = made.get("arr", arr), made.get("out", out), None
    counts = [sys.getrefcount(x) for x in (arr, out, made) if x is not None]
    calls = [(cast_array_into, (arr, out), {})]
    if site != "out dtype":
        calls.append((cast_array, (arr,), {"target_dtype": "float64"}))
    for fn, args, extra in calls:
        kw = dict(rounding_mode="towards-zero", scalar_map_entries=made, **extra)
        if kind is not Boom or outcome == "pass":
            with pytest.raises(kind) as info:
                fn(*args, **kw)
            assert info.value is err
        elif outcome is None:  # an ordinary failure of the isinstance test is reported, then ignored
            res = fn(*args, **kw)
            assert (out if res is None else res).tolist() == [7.0] * 3
            out[:] = 9.0
            continue
        else:
            with pytest.raises(outcome[0], match=outcome[1]) as info:
                fn(*args, **kw)
            assert info.value.__context__ is None
        del info
    assert out.tolist() == [9.0] * 3
    assert len(hooked) == (len(calls) if (site, kind) == ("isinstance test", Boom) else 0)
    hooked.clear()
    del calls, args, kw
    err.__traceback__ = None  # its frames hold the hooked objects
    assert [sys.getrefcount(x) for x in (arr, out, made) if x is not None] == counts


def test_repr_calling_back_into_the_module_ends(monkeypatch):
    """Each level's refused value has a repr that is refused one level deeper."""
    monkeypatch.setattr(sys, "unraisablehook", lambda _: None)
    calls = []

    class Rep:
        def __repr__(self):
            calls.append(1)
            cast_array(np.ones(1, np.int8), target_dtype="int8", rounding_mode="towards-zero",
                       scalar_map_entries=[(Rep(), 1)])
            return "r"

    def headroom(n=0):
        try:
            return headroom(n + 1)
        except RecursionError:
            return n

    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(limit - headroom() + 30)
    try:
        with pytest.raises(TypeError, match="source value <unprintable Rep object>:"):
            cast_array(np.ones(1, np.int8), target_dtype="int8", rounding_mode="towards-zero",
                       scalar_map_entries=[(Rep(), 1)])
    finally:
        sys.setrecursionlimit(limit)
    assert len(calls) < 100  # linear in the depth, not exponential


@pytest.mark.parametrize("entries, want", [
    (Mapping({1: 7}, len=lambda: 2**100), NO_LENGTH),
    (Mapping({1: 7}, len=lambda: "1"), NO_LENGTH),
    (Mapping({1: 7, 2: 8}, len=lambda: 2**40), [7, 8, 3]),
    (Mapping({1: 7, 2: 8}, len=lambda: 1), [7, 8, 3]),
    (type("D", (dict,), {"__len__": lambda s: 2**63})({1: 7}), NO_LENGTH),
    (type("D", (dict,), {"__len__": lambda s: 2**62})({1: 7}), [7, 2, 3]),
    ([entry(lambda: 2**100)], NOT_A_PAIR), ([entry(lambda: -1)], NOT_A_PAIR),
    ([entry(lambda: "2")], NOT_A_PAIR), ([entry(lambda: 2.0)], NOT_A_PAIR),
    ([entry(lambda: 3, (1, 7, 8))], NOT_A_PAIR), ([entry(lambda: 1)], NOT_A_PAIR),
    ([entry(lambda: 2, (1,))], IndexError),
    ([entry(lambda: True, (1, 7))], NOT_A_PAIR),
    # never hashed nor compared: map keys are read by position, not looked up
    ([(obj(__index__=lambda s: 2, __hash__=raiser(Boom()), __eq__=raiser(Boom())), 8)], [1, 8, 3]),
    ({obj(__index__=lambda s: 2, __eq__=raiser(Boom()), __hash__=lambda s: 0): 8}, [1, 8, 3]),
])
def test_lying_lengths_and_unused_hooks(entries, want):
    arr = np.array([1, 2, 3], np.int8)
    if isinstance(want, list):
        assert cast_array(arr, target_dtype="int8", rounding_mode="towards-zero",
                          scalar_map_entries=entries).tolist() == want
    else:
        with pytest.raises(IndexError if want is IndexError else (TypeError, ValueError),
                           match=None if want is IndexError else re.escape(want) + "$"):
            cast_array(arr, target_dtype="int8", rounding_mode="towards-zero", scalar_map_entries=entries)


# --------------------------------------- hooks that change the arguments

A = None  # the input of the running call
OUT = None  # the output of the running call

MUTATIONS = {
    "resize arr": (lambda: A.resize(8, refcheck=False), ValueError, "Shape mismatch"),
    "reshape arr": (lambda: setattr(A, "shape", (2, 2)), ValueError, "Shape mismatch"),
    "retype arr": (lambda: setattr(A, "dtype", np.int16), TypeError, re.escape(WRONG_TYPE)),
    "resize out": (lambda: OUT.resize(2, refcheck=False), ValueError, "Shape mismatch"),
    "reshape out": (lambda: setattr(OUT, "shape", (4, 1)), ValueError, "Shape mismatch"),
    "retype out": (lambda: setattr(OUT, "dtype", np.int32), TypeError, re.escape(WRONG_TYPE)),
    "out read-only": (lambda: setattr(OUT.flags, "writeable", False), ValueError, re.escape(NOT_WRITABLE)),
    "empty both": (lambda: (A.resize(0, refcheck=False), OUT.resize(0, refcheck=False)), None, []),
    "same shape": (lambda: (A.resize((3, 3), refcheck=False), OUT.resize((3, 3), refcheck=False)), None,
                   [[7, 2, 3], [4, 0, 0], [0, 0, 0]]),
    "reentrant call": (lambda: cast_array_into(A[::-1].copy(), OUT, rounding_mode="towards-zero"), None,
                       [7, 2, 3, 4]),
}


@pytest.mark.parametrize("when", ["iteration", "key conversion"])
@pytest.mark.parametrize("label", list(MUTATIONS))
def test_arguments_changed_by_the_map(label, when):
    global A, OUT
    action, exc, want = MUTATIONS[label]
    A, OUT = np.array([1, 2, 3, 4], np.int32), np.full(4, -1, np.int64)
    key = obj(__index__=lambda s: (action(), 1)[1])
    entries = obj(__iter__=lambda s: (action(), iter([(1, 7)]))[1]) if when == "iteration" else [(key, 7)]
    try:
        if exc is None:
            assert cast_array_into(A, OUT, rounding_mode="towards-zero", scalar_map_entries=entries) is None
            assert OUT.tolist() == want
        else:
            with pytest.raises(exc, match=want):
                cast_array_into(A, OUT, rounding_mode="towards-zero", scalar_map_entries=entries)
            assert set(OUT.ravel().view(np.uint8).tolist()) <= {0, 255}  # never written
    finally:
        A = OUT = None


def test_calls_with_maps_one_after_another_and_nested():
    """Each call reads its own entries: none left over from an earlier call on the pair, from a
    failed one, or from a call made while its own map is read."""
    a = np.array([1, 2, 3, 4], np.int32)

    def run(entries):
        return cast_array(a, target_dtype="int64", rounding_mode="towards-zero",
                          scalar_map_entries=entries).tolist()

    assert run({1: 7}) == [7, 2, 3, 4]
    assert run({k: 100 + k for k in range(-10, 30)}) == [101, 102, 103, 104]
    with pytest.raises(ValueError, match=re.escape(NOT_A_PAIR)):
        run([(2, 9), "not a pair"])
    assert run({3: 9}) == [1, 2, 9, 4]
    assert run(None) == [1, 2, 3, 4]
    inner = []
    entries = obj(__iter__=lambda s: (inner.append(run({4: 40})), iter([(2, 20)]))[1])
    assert run(entries) == [1, 20, 3, 4]
    assert inner == [[1, 2, 3, 40]]
    assert run([(1, 5), (1, 6)]) == [5, 2, 3, 4]


@pytest.mark.parametrize("entries_of, want", [
    (lambda d, pairs: d, [7, 8, 3]),  # the dict's items are taken once, before any conversion
    (lambda d, pairs: pairs, [7, 2, 9]),  # a list grown during iteration yields the new pair too
])
def test_map_changed_while_read(entries_of, want):
    d, pairs = {}, []
    key = obj(__index__=lambda s: (d.clear(), d.update({3: 9}), pairs.append((3, 9)), 1)[-1])
    d.update({key: 7, 2: 8})
    pairs.append((key, 7))
    got = cast_array(np.array([1, 2, 3], np.int8), target_dtype="int8", rounding_mode="towards-zero",
                     scalar_map_entries=entries_of(d, pairs))
    assert got.tolist() == want


FINALIZER_CLEARS_THE_MAP = """
import gc, numpy as np, _plindra
d, n = {}, [10**12]
def fresh():  # a negative int on the heap that only the dict holds
    n[0] += 1
    return -int(str(n[0]))
armed = [False]
class Cycle:
    def __init__(self):
        self.me = self
    def __del__(self):
        if armed[0]:
            d.clear()
            d[ENTRY] = 1 if SOURCE else fresh()
gc.set_threshold(40, 1000, 1000)
for j in range(45):  # the collection falls on each allocation of the call in turn
    d.clear()
    d[ENTRY] = 1 if SOURCE else fresh()
    try:
        raise KeyError  # while one is handled, a new exception is built at once
    except KeyError:
        gc.collect()
        Cycle()
        keep = [[] for _ in range(j)]
        armed[0] = True
        try:
            _plindra.cast_array(np.array([1, 2, 3], "uint8"), target_dtype="uint8", rounding_mode="nearest-even",
                                out_of_range_mode="clamp", scalar_map_entries=d)
        except TypeError:
            pass
        armed[0] = False
print("done")
"""


@pytest.mark.parametrize("side", ["source", "target"])
def test_finalizer_clearing_the_map_while_a_value_is_refused(side):
    """Refusing a value (a negative int for uint8) raises, which may collect
    garbage and run a finalizer that empties the dict: the value being read
    must stay alive (a freed one crashes under the debug allocator)."""
    source = side == "source"
    code = FINALIZER_CLEARS_THE_MAP.replace("ENTRY", "fresh()" if source else "1").replace("SOURCE", str(source))
    env = dict(os.environ, PYTHONMALLOC="debug", PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stdout.strip() == "done", run.stderr[-2000:]


# ------------------------------------------------------ unusual arrays

def zero_size(shape, dtype):
    return np.lib.stride_tricks.as_strided(np.zeros(1, dtype), shape=shape, strides=(0,) * len(shape))


@pytest.mark.parametrize("make", [
    lambda d: np.empty((0, 2**40), d), lambda d: np.empty((10**9, 0), d),
    lambda d: zero_size((0, 2**58), d), lambda d: zero_size((3, 0, 2**50), d),
])
def test_huge_shapes_without_elements(make):
    src = make(np.float64)
    res = cast_array(src, target_dtype="int16", rounding_mode="towards-zero", scalar_map_entries={1.0: 2})
    assert res.shape == src.shape and res.dtype == np.int16 and res.flags.c_contiguous
    out = make(np.uint8)
    assert cast_array_into(src, out, rounding_mode="towards-zero") is None
    with pytest.raises(TypeError, match="target value 'x'"):
        cast_array_into(src, out, rounding_mode="towards-zero", scalar_map_entries=[(1.0, "x")])


@pytest.mark.parametrize("entries", [None, {3.5: 9}])
def test_zero_dimensional(entries):
    kw = dict(rounding_mode="towards-zero", scalar_map_entries=entries)
    want = 9 if entries else 3
    res = cast_array(np.array(3.5), target_dtype="uint8", **kw)
    assert res.shape == () and res.dtype == np.uint8 and res[()] == want
    out = np.array(0, np.uint8)
    assert cast_array_into(np.array(3.5), out, **kw) is None and out[()] == want
    with pytest.raises(ValueError, match="out of range"):
        cast_array_into(np.array(-3.5), out, **kw)
    with pytest.raises(ValueError, match="Shape mismatch"):
        cast_array_into(np.array(3.5), np.zeros(1, np.uint8), **kw)
    assert out[()] == want


def placed(values, dtype, offset, fill=None):
    """`values` as `dtype` at byte `offset` of a fresh buffer (misaligned for an odd offset)."""
    dtype = np.dtype(dtype)
    raw = np.full(len(values) * dtype.itemsize + offset, 0xA5 if fill is None else fill, np.uint8)
    arr = raw[offset:].view(dtype)
    if fill is None:
        arr[:] = values
    return raw, arr


@pytest.mark.parametrize("s, d", [("float64", "int32"), ("float32", "uint8"), ("float64", "uint8"),
                                  ("float16", "int16"), ("int64", "int8"), ("uint16", "int16"),
                                  ("int32", "uint64"), ("float64", "int64")])
@pytest.mark.parametrize("n, bad", [(5000, 3000), (2049, 1024), (64, 63), (33, 0)])
@pytest.mark.parametrize("soff, doff", [(0, 0), (1, 0), (0, 1), (3, 5)])
def test_failing_element_stops_every_layout(s, d, n, bad, soff, doff):
    vals = (np.arange(n) % 100).astype(s)
    vals[bad] = np.nan if vals.dtype.kind == "f" else np.iinfo(s).max if d[0] == "i" else -1
    _, src = placed(vals, s, soff)
    raw, out = placed(vals, d, doff, fill=0xEE)
    with pytest.raises(ValueError):
        cast_array_into(src, out, rounding_mode="towards-zero")
    assert out[:bad].tolist() == vals[:bad].astype(d).tolist()
    assert set(raw[doff + bad * out.itemsize:].tolist()) == {0xEE}
    assert raw[:doff].tolist() == [0xEE] * doff
    with pytest.raises(ValueError):
        cast_array(src, target_dtype=d, rounding_mode="towards-zero")


@pytest.mark.parametrize("arr", [
    np.arange(6.0).reshape(2, 3), np.arange(6.0).reshape(2, 3).T, np.arange(6, dtype=">i4"),
])
def test_out_is_arr(arr):
    before = arr.copy()
    kw = dict(rounding_mode="towards-zero", scalar_map_entries={2.0: -1.0} if arr.dtype.kind == "f" else None)
    if arr.flags.c_contiguous and arr.dtype.isnative:
        assert cast_array_into(arr, arr, **kw) is None
        assert arr.tolist() == np.where(before == 2.0, -1.0, before).tolist()
        arr.flags.writeable = False
        with pytest.raises(ValueError, match=re.escape(NOT_WRITABLE)):
            cast_array_into(arr, arr, **kw)
    else:
        with pytest.raises((ValueError, TypeError)):
            cast_array_into(arr, arr, **kw)
        assert arr.tolist() == before.tolist()
