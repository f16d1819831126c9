"""Smoke test of the extension module: import, one cast per family, errors."""

import numpy as np
import pytest

import _plindra


def test_module_surface():
    assert _plindra.__all__ == ["cast_array", "cast_array_into"]
    assert _plindra.__doc__ == ""


@pytest.mark.parametrize(
    "values, source, target, kwargs, expected",
    [
        ([-1, 300], "int16", "uint8", {"out_of_range_mode": "clamp"}, [0, 255]),
        ([2.5, -2.5], "float64", "int32", {"rounding_mode": "nearest-away"}, [3, -3]),
        ([16777217], "int64", "float32", {"rounding_mode": "towards-positive"}, [16777218]),
        ([1e300], "float64", "float32", {"out_of_range_mode": "clamp"}, [np.inf]),
    ],
)
def test_one_cast_per_family(values, source, target, kwargs, expected):
    arr = np.array(values, dtype=source).reshape(1, -1)
    kwargs = {"rounding_mode": "nearest-even", **kwargs}
    result = _plindra.cast_array(arr, target_dtype=target, **kwargs)
    assert result.dtype == np.dtype(target) and result.shape == arr.shape
    np.testing.assert_array_equal(result[0], np.array(expected, dtype=target))

    out = np.full(arr.shape, 7, dtype=target)
    assert _plindra.cast_array_into(arr, out, **kwargs) is None
    np.testing.assert_array_equal(out, result)


def test_cast_error_keeps_earlier_elements():
    out = np.full(4, -1, dtype=np.int8)
    with pytest.raises(ValueError, match=r"^Value 200 out of range \[0, 127\]"):
        _plindra.cast_array_into(np.array([1, 2, 200, 3], np.uint8), out, rounding_mode="nearest-even")
    assert out.tolist() == [1, 2, -1, -1]


def test_overlapping_and_misaligned_buffers():
    raw = np.zeros(8 * 6 + 1, np.uint8)
    src = raw[1:25].view(np.float32)  # misaligned
    src[:] = [1.5, 2.5, 3.5, 4.5, 5.5, 6.5]
    out = raw[1:49].view(np.float64)  # overlaps src
    _plindra.cast_array_into(src, out, rounding_mode="nearest-even")
    assert out.tolist() == [1.5, 2.5, 3.5, 4.5, 5.5, 6.5]
