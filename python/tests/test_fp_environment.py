"""The process's floating-point rounding mode changes no result, and every call
hands it back unchanged, failing calls included."""

import ctypes
import ctypes.util
import platform

import numpy as np
import pytest

import _plindra

if platform.machine() not in ("x86_64", "AMD64"):
    pytest.skip("the kernels set the rounding mode on x86-64 only", allow_module_level=True)

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
# <fenv.h> on x86-64
FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO = 0x000, 0x400, 0x800, 0xC00
MODES = ["nearest-even", "towards-zero", "towards-positive", "towards-negative", "nearest-away"]
CASES = [
    ("float64", "float32"),
    ("float64", "float16"),
    ("float64", "int32"),
    ("float32", "uint8"),
    ("int64", "float32"),
    ("uint64", "float64"),
]


def _values(src):
    if np.dtype(src).kind == "f":
        return np.array([0.1, -0.7, 1.5, 2.5, -2.5, 1e-40, 3.3e38, 200.5, 1e20], dtype=src)
    return np.array([3, -1 if src[0] == "i" else 1, 2**40 + 1, 2**60 + 2**36 + 1, 16777217], dtype=src)


INPUTS = {src: _values(src) for src, _ in CASES}  # made under the default mode


def _run_all():
    out = []
    for src, dst in CASES:
        for mode in MODES:
            out.append(
                _plindra.cast_array(INPUTS[src], target_dtype=dst, rounding_mode=mode, out_of_range_mode="clamp")
            )
    return out


@pytest.mark.parametrize("caller_mode", [FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO])
def test_callers_rounding_mode_is_neither_used_nor_lost(caller_mode):
    want = _run_all()
    assert _libm.fesetround(caller_mode) == 0
    try:
        got = _run_all()
        with pytest.raises(ValueError):
            _plindra.cast_array(np.array([1.0, np.nan]), target_dtype="int8", rounding_mode="towards-zero")
        after = _libm.fegetround()
    finally:
        _libm.fesetround(FE_TONEAREST)
    assert after == caller_mode
    for w, g in zip(want, got, strict=True):
        np.testing.assert_array_equal(w, g)
