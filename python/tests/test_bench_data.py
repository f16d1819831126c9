"""The data the bench's all-pairs section times: the tie data really holds only
ties of the target, within its range, and converts without error, and every
pair that can round has some; the random data converts in every mode."""
import importlib.util
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import _plindra
from dtypes import FLOATS, INTS, PAIRS, ROUNDING_MODES

_spec = importlib.util.spec_from_file_location("bench", Path(__file__).parents[2] / "bench" / "bench.py")
bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bench)

N = 400


def exact(x) -> Fraction:
    return Fraction(int(x)) if np.asarray(x).dtype.kind in "iu" else Fraction(float(x))


def can_round(src, dst):
    """Whether some value of `src` lies strictly between two adjacent values of `dst`."""
    if dst in INTS:
        return src in FLOATS
    fraction_bits = np.finfo(dst).nmant + 1
    if src in FLOATS:
        return np.finfo(src).nmant + 1 > fraction_bits
    return int(np.iinfo(src).max) >= 2**fraction_bits + 1  # the smallest integer tie


@pytest.mark.parametrize("src, dst", PAIRS)
def test_tie_data_lies_halfway_between_neighbours(src, dst):
    data = bench.ties(src, dst, N, np.random.default_rng(7))
    if not can_round(src, dst):
        assert data is None
        return
    assert data is not None and data.dtype == np.dtype(src) and data.shape == (N,)
    down, up = (_plindra.cast_array(data, target_dtype=dst, rounding_mode=m, out_of_range_mode=None)
                for m in ("towards-negative", "towards-positive"))
    for x, lo, hi in zip(data, down, up, strict=True):
        assert exact(lo) < exact(x) < exact(hi) and 2 * exact(x) == exact(lo) + exact(hi), (x, lo, hi)
        if dst in FLOATS:
            assert np.isfinite(hi) and np.nextafter(lo, hi) == hi, (x, lo, hi)
    # Both signs wherever the source and the target have them.
    assert (data < 0).any() == (np.dtype(src).kind != "u" and np.dtype(dst).kind != "u")


@pytest.mark.parametrize("src, dst", PAIRS)
def test_random_data_converts_in_every_mode(src, dst):
    data = bench.sample(src, dst, N, np.random.default_rng(11))
    for mode in ROUNDING_MODES:
        _plindra.cast_array(data, target_dtype=dst, rounding_mode=mode, out_of_range_mode="clamp")
