"""scalar_map_entries: argument forms, value rules, messages and effects."""
import collections.abc
import gc
import itertools
import re
import sys

import numpy as np
import pytest

import _plindra

INT_RANGES = {
    "int8": (-128, 127), "uint8": (0, 255), "int16": (-32768, 32767), "uint16": (0, 65535),
    "int32": (-2**31, 2**31 - 1), "uint32": (0, 2**32 - 1),
    "int64": (-2**63, 2**63 - 1), "uint64": (0, 2**64 - 1),
}
NOT_PAIRS = "scalar_map_entries must be a dict or an iterable of (source, target) pairs"
NOT_A_PAIR = "Each scalar_map entry must be a (source, target) pair"


def cast(values, src, dst, entries, **kw):
    arr = np.array(values, dtype=src)
    return _plindra.cast_array(arr, target_dtype=dst, rounding_mode="nearest-even",
                               out_of_range_mode=kw.get("oor"), scalar_map_entries=entries)


def source_msg(text, dtype):
    return re.escape(f"scalar_map source value {text}: expected a value convertible to source dtype {dtype}") + "$"


def target_msg(text, dtype):
    return re.escape(f"scalar_map target value {text}: expected a value convertible to target dtype {dtype}") + "$"


class Mapping(collections.abc.Mapping):
    """A non-dict mapping whose length and items are chosen by the test."""

    def __init__(self, items, length=None):
        self._items, self._length = items, length

    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(())

    def __len__(self):
        return len(self._items) if self._length is None else self._length

    def items(self):
        return self._items


class DictSub(dict):
    pass


class Index:
    def __init__(self, value):
        self.value, self.calls = value, 0

    def __index__(self):
        self.calls += 1
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


# --- argument forms -------------------------------------------------------

@pytest.mark.parametrize("entries", [
    {1: 10, 3: 30}, {1: 10, 3: Index(30)}, {1: 10, np.int64(3): 30},
    DictSub({1: 10, 3: 30}), Mapping([(1, 10), (3, 30)]),
    [(1, 10), (3, 30)], [[1, 10], (3, 30)], ((k, 10 * k) for k in (1, 3)),
    {1: 10, 3: 30}.items(), np.array([[1, 10], [3, 30]]), [{0: 1, 1: 10}, b"\x03\x1e"],
    Mapping([(1, 10), (3, 30)], length=0), Mapping([(1, 10), (3, 30)], length=sys.maxsize),
])
def test_forms_give_the_same_map(entries):
    assert cast([1, 3, 5], "int32", "int32", entries).tolist() == [10, 30, 5]


@pytest.mark.parametrize("entries", [None, {}, [], (), "", iter(()), Mapping([])])
def test_empty_forms(entries):
    assert cast([1, 2], "int8", "int8", entries).tolist() == [1, 2]


@pytest.mark.parametrize("entries, exc, msg", [
    (5, TypeError, re.escape(NOT_PAIRS) + "$"),
    ([5], ValueError, re.escape(NOT_A_PAIR) + "$"),
    ([(1, 2, 3)], ValueError, re.escape(NOT_A_PAIR) + "$"),
    ([(1,)], ValueError, re.escape(NOT_A_PAIR) + "$"),
    ("ab", ValueError, re.escape(NOT_A_PAIR) + "$"),
    ([(x for x in (1, 2))], ValueError, re.escape(NOT_A_PAIR) + "$"),
    (["ab"], TypeError, source_msg("'a'", "int32")),
    ([{"a": 1, "b": 2}], KeyError, "0"),
    ([{1, 2}], TypeError, "not subscriptable"),
    (Mapping([[1, 2]]), TypeError, re.escape("'list' object cannot be converted to 'PyTuple'") + "$"),
    (Mapping([(1, 2, 3)]), ValueError,
     re.escape("expected tuple of length 2, but got tuple of length 3") + "$"),
    (Mapping([(1, 2)], length=-5), TypeError, re.escape("Failed to get length of scalar_map dict.") + "$"),
    ([(1, 2), (3, "x"), (None, 4)], TypeError, target_msg("'x'", "int32")),
    ([("k", "v")], TypeError, source_msg("'k'", "int32")),
])
def test_structural_errors(entries, exc, msg):
    with pytest.raises(exc, match=msg) as info:
        cast([1], "int32", "int32", entries)
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_errors_of_callers_code_pass_through_unchanged():
    err = KeyError("items")

    class BadItems(Mapping):
        def items(self):
            raise err

    def gen():
        yield (1, 2)
        raise err

    class BadGetitem(list):
        def __getitem__(self, i):
            raise err

    for entries in (BadItems([]), gen(), [BadGetitem([1, 2])]):
        with pytest.raises(KeyError) as info:
            cast([1], "int32", "int32", entries)
        assert info.value is err


def test_replaced_errors_leave_no_trace():
    class BadLen(DictSub):
        def __len__(self):
            raise OverflowError("len")

    class BadIter:
        def __iter__(self):
            raise OverflowError("iter")

    for entries, msg in ((BadLen(), "Failed to get length"), (BadIter(), "must be a dict")):
        with pytest.raises(TypeError, match=msg) as info:
            cast([1], "int32", "int32", entries)
        assert info.value.__context__ is None


@pytest.mark.parametrize("entries", [{300: 1, 5: 2}, {300: 1, "a": 2}, {300: 1, 5: Index(2)}, {5: 2, 300: 1},
                                     {5: 2, 6: 3, 300: 1.5}])
def test_first_refused_entry_is_reported(entries):
    with pytest.raises(TypeError, match=source_msg("300", "int8")):
        cast([5], "int8", "int8", entries)


@pytest.mark.parametrize("entries", [{5: 2.5}, {5: 2, 6: 2.5}, {5: 2, 6: 2**64}])
def test_refused_plain_target_after_accepted_entries(entries):
    bad = next(iter(reversed(entries.values())))
    with pytest.raises(TypeError, match=target_msg(repr(bad), "int8")):
        cast([5], "int8", "int8", entries)


def test_source_failure_stops_before_element_one():
    seen = []

    class Entry:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            seen.append(i)
            return "bad" if i == 0 else 1

    with pytest.raises(TypeError, match=source_msg("'bad'", "int8")):
        cast([1], "int8", "int8", [Entry()])
    assert seen == [0]


def test_isinstance_failure_goes_to_unraisable_hook(monkeypatch):
    hooked = []
    monkeypatch.setattr(sys, "unraisablehook", hooked.append)

    class Odd:
        @property
        def __class__(self):
            raise RuntimeError("cls")

        def __iter__(self):
            return iter([(1, 7)])

    assert cast([1], "int8", "int8", Odd()).tolist() == [7]
    assert len(hooked) == 1 and isinstance(hooked[0].exc_value, RuntimeError)


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_non_exception_errors_pass_through(exc, monkeypatch):
    hooked = []
    monkeypatch.setattr(sys, "unraisablehook", hooked.append)

    def raiser(*a):
        raise exc("hook")

    bad_len = type("BadLen", (DictSub,), {"__len__": raiser})()
    bad_iter = type("BadIter", (), {"__iter__": raiser})()
    bad_entry = type("BadEntry", (), {"__len__": raiser})()
    bad_class = type("BadClass", (), {"__class__": property(raiser)})()
    bad_repr = type("BadRepr", (), {"__repr__": raiser, "__index__": lambda s: 999})()
    for entries in (bad_len, bad_iter, [bad_entry], bad_class, [(Index(exc("i")), 1)], [(bad_repr, 1)]):
        with pytest.raises(exc):
            cast([1], "int8", "int8", entries)
    assert hooked == []


def test_endless_iterator_is_a_memory_error():
    with pytest.raises(MemoryError):
        cast([1], "int8", "int8", itertools.repeat((1, 2)))


def test_items_list_shrinking_during_walk():
    items = [(1, 10), (2, 20), (3, 30)]

    class Shrinker:  # a key whose conversion empties the shared items list
        def __index__(self):
            del items[1:]
            return 1

    items[0] = (Shrinker(), 10)
    assert cast([1, 2, 3], "int8", "int8", Mapping(items)).tolist() == [10, 2, 3]


# --- value rules ----------------------------------------------------------

@pytest.mark.parametrize("dtype", list(INT_RANGES))
def test_integer_bounds(dtype):
    lo, hi = INT_RANGES[dtype]
    assert cast([lo, hi], dtype, "float64", {lo: 1.0, hi: 2.0}).tolist() == [1.0, 2.0]
    assert cast([0, 1], "int8", dtype, [(0, lo), (1, hi)]).tolist() == [lo, hi]
    for bad in (lo - 1, hi + 1, 2**100):
        with pytest.raises(TypeError, match=source_msg(bad, dtype)):
            cast([0], dtype, "float64", {bad: 1.0})
        with pytest.raises(TypeError, match=target_msg(bad, dtype)):
            cast([0], "int8", dtype, {0: bad})


@pytest.mark.parametrize("dtype", list(INT_RANGES))
@pytest.mark.parametrize("bad", [3.0, float("nan"), "7", None, np.float64(1.0), 1 + 0j, b"1"])
def test_integer_rejects_non_integers(dtype, bad):
    with pytest.raises(TypeError, match=target_msg(repr(bad), dtype)):
        cast([0], "int8", dtype, [(0, bad)])


@pytest.mark.parametrize("dtype", list(INT_RANGES))
def test_integer_accepts_bool_index_and_numpy(dtype):
    idx = Index(7)
    sub = type("Sub", (int,), {"__index__": lambda self: 99})(5)
    got = cast([0, 1, 2, 3], "int8", dtype, [(0, True), (1, idx), (2, sub), (3, np.int16(9))])
    assert got.tolist() == [1, 7, 5, 9] and idx.calls == 1


def test_index_out_of_range_and_raising():
    with pytest.raises(TypeError, match="source dtype uint8$"):
        cast([0], "uint8", "int8", [(Index(300), 1)])
    assert cast([300], "int16", "int8", [(Index(300), 1)]).tolist() == [1]
    with pytest.raises(TypeError, match="source dtype int16$") as info:
        cast([0], "int16", "int8", [(Index(ValueError("v")), 1)])
    assert info.value.__context__ is None
    assert cast([0], "uint64", "uint64", [(0, np.uint64(2**64 - 1))]).tolist() == [2**64 - 1]


@pytest.mark.parametrize("value, bits", [
    (65504.0, 0x7BFF), (65519.998046875, 0x7BFF), (65520.0, 0x7C00), (1e300, 0x7C00),
    (-1e300, 0xFC00), (1.0004882812500002, 0x3C01), (2**-25 + 2**-60, 0x0001), (-1e-300, 0x8000),
    (-0.0, 0x8000), (float("inf"), 0x7C00), (float("nan"), 0x7E00), (-1, 0xBC00), (True, 0x3C00),
    (2**1000, 0x7C00),
])
def test_float16_values_round_once(value, bits):
    assert cast([0], "int8", "float16", {0: value}).view(np.uint16)[0] == bits


@pytest.mark.parametrize("value, expected", [
    (1e39, np.inf), (-1e39, -np.inf), (2**24 + 1, 2.0**24), (1e-46, 0.0), (-1.0, -1.0),
])
def test_float32_values(value, expected):
    assert cast([0], "int8", "float32", {0: value})[0] == np.float32(expected)


@pytest.mark.parametrize("dtype", ["float16", "float32", "float64"])
@pytest.mark.parametrize("bad", ["nan", None, 2**1024, 1j])
def test_float_rejects(dtype, bad):
    with pytest.raises(TypeError, match=source_msg(repr(bad), dtype)):
        cast([0.0], dtype, "int8", [(bad, 1)])
    with pytest.raises(TypeError, match=target_msg(repr(bad), dtype)):
        cast([0], "int8", dtype, [(0, bad)])


# --- messages -------------------------------------------------------------

def test_value_text_fallbacks():
    def raiser(self):
        raise ValueError("no text")

    str_only = type("StrOnly", (), {"__repr__": raiser, "__str__": lambda s: "shown"})()
    neither = type("Neither", (), {"__repr__": raiser, "__str__": raiser})()
    surrogate = type("Sur", (), {"__repr__": lambda s: "a\ud800b"})()
    for value, text in ((str_only, "shown"), (neither, "<unprintable Neither object>"),
                        (10**5000, "<unprintable int object>"), (surrogate, "a\ufffd\ufffd\ufffdb")):
        with pytest.raises(TypeError, match=source_msg(text, "uint16")) as info:
            cast([0], "uint16", "int8", [(value, 1)])
        assert info.value.__context__ is None


# --- effects through both functions ----------------------------------------

def cast_into(values, src, out, entries):
    _plindra.cast_array_into(np.array(values, dtype=src), out, rounding_mode="nearest-even",
                             out_of_range_mode=None, scalar_map_entries=entries)
    return out


@pytest.mark.parametrize("run", [
    lambda v, s, d, m: cast(v, s, d, m),
    lambda v, s, d, m: cast_into(v, s, np.zeros(len(v), dtype=d), m),
])
def test_effects(run):
    nan = float("nan")
    assert run([nan, 1.5, -nan], "float64", "int8", {nan: -1}).tolist() == [-1, 2, -1]
    assert run([1, 2], "int16", "int16", [(1, 5), (1, 6)]).tolist() == [5, 2]
    assert run([0.0, -0.0], "float32", "int8", [(-0.0, 7)]).tolist() == [7, 7]
    assert run([np.inf, -np.inf], "float16", "uint8", {np.inf: 1, -np.inf: 2}).tolist() == [1, 2]
    with pytest.raises(ValueError):
        run([nan], "float64", "int8", None)


def test_map_error_comes_before_output_checks():
    out = np.full(4, 9, dtype=np.int8)[::2]  # not row-major
    with pytest.raises(TypeError, match="source dtype int8$"):
        cast_into([1, 2], "int8", out, [("x", 1)])
    readonly = np.full(2, 9, dtype=np.int8)
    readonly.flags.writeable = False
    with pytest.raises(ValueError, match=re.escape(NOT_A_PAIR)):
        cast_into([1, 2], "int8", readonly, [(1,)])
    assert readonly.tolist() == [9, 9]


# --- references -----------------------------------------------------------

@pytest.mark.parametrize("entries_of", [
    lambda k, v: {k: v}, lambda k, v: [(k, v)], lambda k, v: [[k, v]], lambda k, v: Mapping([(k, v)]),
])
@pytest.mark.parametrize("target", ["int16", "float64", "int8"])
def test_refcounts_unchanged(entries_of, target):
    key, value, text = int("1000"), int("2000"), "x" * 3
    for k, v in ((key, value), (text, value), (key, text)):
        entries = entries_of(k, v)
        before = sys.getrefcount(k), sys.getrefcount(v)
        for _ in range(3):
            try:
                cast([1000], "int16", target, entries)
            except TypeError:
                pass
        gc.collect()
        assert (sys.getrefcount(k), sys.getrefcount(v)) == before


# --- resource failures of the type probes ----------------------------------

def _raising(exc):
    def hook(*args):
        raise exc("probe")
    return hook


@pytest.mark.parametrize("exc", [MemoryError, RecursionError])
@pytest.mark.parametrize("probe, make", [
    # each object, were the failure read as "no", would give [7] or a TypeError/ValueError of the parser
    ("isinstance", lambda h: type("C", (), {"__class__": property(h), "__iter__": lambda s: iter([(1, 7)])})()),
    ("mapping length", lambda h: type("L", (Mapping,), {"__len__": h})([(1, 7)])),
    ("iter", lambda h: type("I", (), {"__iter__": h})()),
    ("entry length", lambda h: [type("E", (), {"__len__": h, "__getitem__": lambda s, i: (1, 7)[i]})()]),
])
def test_probe_resource_failures_reach_the_caller(exc, probe, make, monkeypatch):
    hooked = []
    monkeypatch.setattr(sys, "unraisablehook", hooked.append)
    with pytest.raises(exc, match="^probe$"):
        cast([1], "int8", "int8", make(_raising(exc)))
    assert hooked == []


@pytest.mark.parametrize("exc", [RuntimeError, ValueError, TypeError])
def test_ordinary_isinstance_failure_still_goes_to_the_hook(exc, monkeypatch):
    hooked = []
    monkeypatch.setattr(sys, "unraisablehook", hooked.append)
    odd = type("C", (), {"__class__": property(_raising(exc)), "__iter__": lambda s: iter([(1, 7)])})()
    assert cast([1], "int8", "int8", odd).tolist() == [7]
    assert [type(h.exc_value) for h in hooked] == [exc] and hooked[0].object is odd


NEAR_LIMIT = r'''
import collections.abc, sys
import numpy as np, _plindra

class Keys(list):
    """A non-dict Mapping whose keys are pairs; its length and iteration are list's (no Python frame)."""
    def items(self):
        return [(k, 0) for k in self]

collections.abc.Mapping.register(Keys)
arr, entries = np.array([1], np.int8), Keys([(1, 7)])

def call():
    try:
        return repr(_plindra.cast_array(arr, target_dtype="int8", rounding_mode="nearest-even",
                                        scalar_map_entries=entries).tolist())
    except RecursionError:
        return "RecursionError"
    except TypeError as e:
        return "TypeError: " + str(e)

def at_depth(k):
    return at_depth(k - 1) if k else call()

def depth():
    f, n = sys._getframe(), 0
    while f is not None:
        f, n = f.f_back, n + 1
    return n

free = sys.getrecursionlimit() - depth()
seen = set()
for k in range(free - 40, free + 3):
    try:
        seen.add(at_depth(k))
    except RecursionError:
        seen.add("RecursionError")
print(sorted(seen))
'''


def test_mapping_test_at_the_recursion_limit():
    # A fresh interpreter: pytest's own hooks do not work this close to the limit.
    import subprocess
    run = subprocess.run([sys.executable, "-c", NEAR_LIMIT], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    seen = eval(run.stdout)
    normal = "TypeError: scalar_map source value (1, 7): expected a value convertible to source dtype int8"
    # Never "[7]", the keys read as pairs after a failed isinstance test: a
    # different result from the same call, only for lack of room.
    assert seen == ["RecursionError", normal], (seen, run.stderr)
    assert "Exception ignored" not in run.stderr  # nothing went to the unraisable hook
