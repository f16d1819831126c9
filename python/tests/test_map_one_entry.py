"""A one-entry scalar map next to each kind of conversion: identity pairs,
integer narrowing with keys at and around the target's bounds, float keys."""
import itertools

import numpy as np
import pytest

import _plindra

INTS = ["int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64"]
MODES = ["clamp", "wrap", None]  # None: out-of-range values are an error


def int_range(dtype):
    info = np.iinfo(dtype)
    return int(info.min), int(info.max)


def narrowing_pairs():
    for s, d in itertools.product(INTS, INTS):
        if np.dtype(d).itemsize <= np.dtype(s).itemsize:
            yield s, d


def convert(x, d, mode):
    lo, hi = int_range(d)
    if lo <= x <= hi:
        return x
    if mode == "clamp":
        return min(max(x, lo), hi)
    span = hi - lo + 1
    return (x - lo) % span + lo


def both_calls(arr, d, mode, entries):
    """cast_array and cast_array_into (which stages its blocks) on the same input."""
    kw = dict(rounding_mode="nearest-even", out_of_range_mode=mode, scalar_map_entries=entries)
    got = _plindra.cast_array(arr, target_dtype=d, **kw)
    out = np.zeros(arr.shape, d)
    _plindra.cast_array_into(arr, out, **kw)
    return got, out


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("s,d", list(narrowing_pairs()))
def test_integer_key_at_and_around_the_bounds(s, d, mode):
    slo, shi = int_range(s)
    dlo, dhi = int_range(d)
    # int16's bounds and their neighbours: where the key is looked for on
    # int16-saturated words, and where it cannot be.
    edges = {slo, shi, dlo - 1, dlo, dlo + 1, dhi - 1, dhi, dhi + 1, 0, 1, -1}
    edges |= {32766, 32767, 32768, -32767, -32768, -32769}
    values = sorted(v for v in edges if slo <= v <= shi)
    for key in values:
        target = dlo + 5 if key != dlo + 5 else dlo + 6
        pool = values if mode is not None else [v for v in values if dlo <= v <= dhi or v == key]
        # Every value at several lane positions, over more than one block.
        xs = [pool[(i * 7 + i // len(pool)) % len(pool)] for i in range(600)]
        arr = np.array(xs, dtype=s)
        expected = np.array([target if x == key else convert(x, d, mode) for x in xs], dtype=d)
        for got in both_calls(arr, d, mode, {key: target}):
            np.testing.assert_array_equal(got, expected, err_msg=f"key {key}")


@pytest.mark.parametrize("mode", ["clamp", None])
@pytest.mark.parametrize("s,d", [("int16", "uint8"), ("int32", "int8"), ("uint32", "uint16"), ("int8", "uint8")])
def test_integer_key_failure_leaves_the_rest(s, d, mode):
    dlo, dhi = int_range(d)
    arr = np.full(700, dlo + 1, dtype=s)
    arr[::3] = 0
    bad = dhi + 1 if dhi + 1 <= int_range(s)[1] else dlo - 1
    arr[450] = bad
    out = np.full(700, 7, dtype=d)
    kw = dict(rounding_mode="nearest-even", out_of_range_mode=mode, scalar_map_entries={0: dhi})
    expected = np.where(arr == 0, dhi, np.clip(arr, dlo, dhi)).astype(d)
    if mode is None:
        with pytest.raises(ValueError):
            _plindra.cast_array_into(arr, out, **kw)
        np.testing.assert_array_equal(out[:450], expected[:450])
        assert (out[450:] == 7).all()
    else:
        _plindra.cast_array_into(arr, out, **kw)
        np.testing.assert_array_equal(out, expected)


NAN_BITS = {"float16": [0x7C01, 0x7E00, 0xFE00, 0xFFFF], "float32": [0x7F800001, 0x7FC00000, 0xFFC00000],
            "float64": [0x7FF0000000000001, 0x7FF8000000000000, 0xFFF8000000000000]}
UINT = {"float16": np.uint16, "float32": np.uint32, "float64": np.uint64}


@pytest.mark.parametrize("key", ["nan", 0.0, -0.0, "inf", 1.5])
@pytest.mark.parametrize("f", ["float16", "float32", "float64"])
def test_float_identity_is_a_masked_copy(f, key):
    key = float(key) if isinstance(key, str) else key
    u = UINT[f]
    one = np.array([1.0], f).view(u)[0]
    specials = [np.array([v], f).view(u)[0] for v in (0.0, -0.0, np.inf, -np.inf, 1.5, -1.5, 65504.0, 2.0**-24)]
    pool = [int(b) for b in specials] + NAN_BITS[f] + [int(np.array([np.nan], f).view(u)[0]) ^ 1]
    bits = np.array([pool[(i * 5) % len(pool)] for i in range(530)], dtype=u)
    arr = bits.view(f)
    with np.errstate(invalid="ignore"):
        x = arr.astype(np.float64)
    hit = np.isnan(x) if np.isnan(key) else x == key
    expected = np.where(hit, one, bits)
    for got in both_calls(arr, f, None, {key: 1.0}):
        np.testing.assert_array_equal(got.view(u), expected)


# Shorter than the copy's 256-byte groups, one group of each width exactly
# and around it, several groups with a remainder.
@pytest.mark.parametrize("n", [3, 32, 33, 255, 256, 257, 517])
@pytest.mark.parametrize("t", INTS)
def test_integer_identity_is_a_masked_copy(t, n):
    lo, hi = int_range(t)
    rng = np.random.default_rng(3)
    for key, target in [(lo, hi), (hi, lo), (0, 1), (lo + 1, lo)]:
        arr = rng.integers(lo, hi, n, dtype=t, endpoint=True)
        arr[::4] = key
        expected = np.where(arr == key, np.array(target, t), arr)
        for got in both_calls(arr, t, None, {key: target}):
            np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("rounding", ["nearest-even", "nearest-away"])
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("s,d", list(itertools.product(["float16", "float32", "float64"], INTS)))
def test_float_key_to_integer_at_every_lane(s, d, mode, rounding):
    """A float key (NaN, zero, a tie, one past the target's range) at every
    lane of a vector and in the tail, among values within the range, under
    each out-of-range mode: the lanes equal to the key (0.0 for -0.0, and the
    source's rounding of the target's bounds) get the target, the others what
    the call without a map gives."""
    lo, hi = int_range(d)
    with np.errstate(over="ignore"):  # +inf where the source cannot hold a value
        held = [float(v) for v in np.array([-100.5, 0.5, 3.25, 126.0, lo, hi, float(hi) + 1.0], dtype=s)]
    near = [v for v in held[:-1] if lo <= v <= hi]  # exact comparisons of Python numbers
    past = held[-1]
    kw = dict(rounding_mode=rounding)
    for key in (float("nan"), -0.0, 2.5, past):
        target = lo + 3
        for length in (17, 40, 70):
            base = np.array([near[i % len(near)] for i in range(length)], dtype=s)
            want = _plindra.cast_array(base, target_dtype=d, out_of_range_mode=mode, **kw)
            for pos in range(length):
                arr = base.copy()
                arr[pos] = key
                expected = want.copy()
                expected[(arr == key) | (np.isnan(arr) & np.isnan(key))] = target
                got = _plindra.cast_array(arr, target_dtype=d, out_of_range_mode=mode,
                                          scalar_map_entries={key: target}, **kw)
                np.testing.assert_array_equal(got, expected, err_msg=f"key {key} at {pos} of {length}")


@pytest.mark.parametrize("rounding", ["nearest-even", "nearest-away"])
@pytest.mark.parametrize("s,d", list(itertools.product(["float16", "float32", "float64"], INTS)))
def test_nan_beside_a_numeric_key_fails_when_clamping(s, d, rounding):
    """Clamping, a NaN is the only element that can fail: with a numeric key
    in the map it still fails at every lane and in the tail, whichever lanes
    hold the key, and the call without it converts the rest."""
    plain = dict(rounding_mode=rounding, out_of_range_mode="clamp")
    kw = dict(plain, scalar_map_entries={2.5: 7})
    for length in (17, 40, 70):
        base = np.array([(2.5, 1.25, -3.0, 100.0)[i % 4] for i in range(length)], dtype=s)
        want = np.where(base == 2.5, 7, _plindra.cast_array(base, target_dtype=d, **plain))
        np.testing.assert_array_equal(_plindra.cast_array(base, target_dtype=d, **kw), want)
        for pos in range(length):
            arr = base.copy()
            arr[pos] = np.nan
            with pytest.raises(ValueError, match="NaN"):
                _plindra.cast_array(arr, target_dtype=d, **kw)


HALF_SOURCES = ["int16", "uint16", "int32", "uint32", "int64", "uint64"]


def half_keys(s):
    """Keys below 2048 (replaced on the float16 results), below 2^24
    (compared as float32) and beyond (compared exactly)."""
    lo, hi = int_range(s)
    keys = [0, 1, 2047, 2048, 2049, hi]
    if hi > 1 << 24:
        keys += [(1 << 24) - 1, 1 << 24, (1 << 24) + 1]
    if lo < 0:
        keys += [-1, -2047, lo]
    return keys


@pytest.mark.parametrize("rounding", ["nearest-even", "towards-zero", "nearest-away"])
@pytest.mark.parametrize("s", HALF_SOURCES)
def test_integer_key_to_float16(s, rounding):
    """The key at every lane of a vector and in the tail, among neighbours
    that float32 cannot tell from it (beyond 2^24 they load as 2^24)."""
    lo, hi = int_range(s)
    for key, target in itertools.product(half_keys(s), [7.0, -0.0, float("nan"), float("inf")]):
        near = [v for v in (key - 1, key + 1, 1 << 24, (1 << 24) + 1, hi, lo) if lo <= v <= hi and v != key]
        key_at_every_lane(s, "float16", key, target, near, rounding, (17, 40))


def key_at_every_lane(s, d, key, target, near, rounding, lengths):
    """The key at each position of arrays of `near` values: the result is the
    call without a map, with the target at that position (bits compared)."""
    u = UINT[d]
    for length in lengths:
        base = np.array([near[i % len(near)] for i in range(length)], dtype=s)
        for pos in range(length):
            arr = base.copy()
            arr[pos] = key
            kw = dict(rounding_mode=rounding, out_of_range_mode="clamp")
            want = _plindra.cast_array(arr, target_dtype=d, **kw)
            want[pos] = target
            got = _plindra.cast_array(arr, target_dtype=d, scalar_map_entries={key: target}, **kw)
            assert got.view(u).tolist() == want.view(u).tolist(), (key, target, pos)


@pytest.mark.parametrize("s,d", [("int64", "int32"), ("int64", "uint32"), ("uint64", "int16"), ("int64", "uint8"),
                                 ("uint64", "uint32")])
def test_wide_integer_key_where_every_value_fits_int32(s, d):
    """Blocks whose values all fit 32 bits compare the key on the low halves
    alone: a key beyond 32 bits whose low half equals a value must not
    match, and a key within them must match at every lane and in the tail."""
    lo, hi = int_range(s)
    dlo, dhi = int_range(d)
    # The 32 bits: those of uint32 for a uint32 target, else of int32.
    fits = (lambda v: 0 <= v < 1 << 32) if d == "uint32" else (lambda v: -(1 << 31) <= v < 1 << 31)
    present = [v for v in (5, dlo, dhi, -3, 1 << 20, 1 << 31) if lo <= v <= hi and fits(v)]
    keys = [5, dhi, dhi + 1, (1 << 32) + 5, (1 << 31) + 5, -(1 << 32) + 5]
    for key in (k for k in keys if lo <= k <= hi):
        target = dlo + 7
        for length in (16, 37):
            for pos in range(length):
                xs = [present[i % len(present)] for i in range(length)]
                if fits(key):
                    xs[pos] = key
                arr = np.array(xs, dtype=s)
                kw = dict(rounding_mode="nearest-even", out_of_range_mode="clamp")
                want = _plindra.cast_array(arr, target_dtype=d, **kw)
                want[arr == key] = target
                got = _plindra.cast_array(arr, target_dtype=d, scalar_map_entries={key: target}, **kw)
                np.testing.assert_array_equal(got, want, err_msg=f"key {key} at {pos}")


@pytest.mark.parametrize("rounding", ["nearest-even", "towards-negative", "nearest-away"])
@pytest.mark.parametrize("s", ["int64", "uint64"])
def test_wide_integer_key_to_float32(s, rounding):
    """The key at every lane and in the tail, among neighbours that round to
    the same float32 (beyond 2^24 and 2^53); targets a conversion never gives."""
    lo, hi = int_range(s)
    for key in (k for k in (0, 1 << 53, (1 << 60) + (1 << 36), hi, lo) if lo <= k <= hi):
        near = [v for v in (key - 1, key + 1, key + 2, 0, hi) if lo <= v <= hi and v != key]
        for target in (float("nan"), -0.0, 7.5):
            key_at_every_lane(s, "float32", key, target, near, rounding, (11, 20))
