"""The process's floating-point environment changes no result, and every call
hands it back unchanged, failing calls included: the kernels and the scalar
map's float values alike."""

import ctypes
import ctypes.util
import platform
import subprocess
import sys

import numpy as np
import pytest

import _plindra

if platform.machine() not in ("x86_64", "AMD64"):
    pytest.skip("the <fenv.h> constants below are x86-64's", allow_module_level=True)

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
FLOATS = ["float16", "float32", "float64"]
# Map values whose narrowing to float16 or float32 goes up or down with the
# rounding direction (1 + 2**-30 only to float32, 1 + 2**-12 only to float16).
MAP_VALUES = [0.1, -0.1, 1 / 3, 1 + 2**-30, 1 + 2**-12, 1e-40, 65519.99]


def _values(src):
    if np.dtype(src).kind == "f":
        return np.array([0.1, -0.7, 1.5, 2.5, -2.5, 1e-40, 3.3e38, 200.5, 1e20], dtype=src)
    return np.array([3, -1 if src[0] == "i" else 1, 2**40 + 1, 2**60 + 2**36 + 1, 16777217], dtype=src)


# Made under the default mode: the keys as each float dtype stores them.
INPUTS = {src: _values(src) for src, _ in CASES}
KEYS = {f: np.array(MAP_VALUES, dtype=f) for f in FLOATS}
NAN_THEN_INDICES = np.array([np.nan, *range(len(MAP_VALUES))])


def _run_all():
    out = []
    for src, dst in CASES:
        for mode in MODES:
            out.append(
                _plindra.cast_array(INPUTS[src], target_dtype=dst, rounding_mode=mode, out_of_range_mode="clamp")
            )
    for f in FLOATS:
        # Map sources: each key matches its own element only if it is stored
        # as the array stores it.
        keyed = {v: i + 1 for i, v in enumerate(MAP_VALUES)}
        out.append(
            _plindra.cast_array(
                KEYS[f], target_dtype="int8", rounding_mode="towards-zero", scalar_map_entries=keyed
            )
        )
        # Map targets, through both entry points.
        targets = [(float(i), v) for i, v in enumerate(MAP_VALUES)] + [(float("nan"), 0.1)]
        out.append(
            _plindra.cast_array(NAN_THEN_INDICES, target_dtype=f, rounding_mode="nearest-even",
                                scalar_map_entries=targets).view(f"u{np.dtype(f).itemsize}")
        )
        into = np.zeros(len(NAN_THEN_INDICES), dtype=f)
        _plindra.cast_array_into(NAN_THEN_INDICES, into, rounding_mode="towards-positive",
                                 scalar_map_entries=dict(targets))
        out.append(into.view(f"u{np.dtype(f).itemsize}"))
    return out


def _failing_calls():
    with pytest.raises(ValueError, match="NaN"):
        _plindra.cast_array(np.array([1.0, np.nan]), target_dtype="int8", rounding_mode="towards-zero")
    with pytest.raises(TypeError, match="target value 'x'"):
        _plindra.cast_array(np.zeros(2), target_dtype="float16", rounding_mode="nearest-even",
                            scalar_map_entries={0.1: 0.1, 1.0: "x"})
    with pytest.raises(ValueError, match="out of range"):
        _plindra.cast_array(np.array([0.0, 1e300]), target_dtype="float32", rounding_mode="nearest-even",
                            scalar_map_entries={0.0: 1 + 2**-30})


@pytest.mark.parametrize("caller_mode", [FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO])
def test_callers_rounding_mode_is_neither_used_nor_lost(caller_mode):
    want = _run_all()
    assert _libm.fesetround(caller_mode) == 0
    try:
        got = _run_all()
        after_success = _libm.fegetround()
        _failing_calls()
        after_errors = _libm.fegetround()
    finally:
        _libm.fesetround(FE_TONEAREST)
    assert (after_success, after_errors) == (caller_mode, caller_mode)
    for w, g in zip(want, got, strict=True):
        np.testing.assert_array_equal(w, g)


TRAPPING = """
import ctypes, ctypes.util, numpy as np, _plindra
libm = ctypes.CDLL(ctypes.util.find_library("m"))
a = np.array([1.0, np.nan, 1e300, -np.inf])
libm.feenableexcept(0x01)  # FE_INVALID traps from here on
try:
    _plindra.cast_array(a, target_dtype="int32", rounding_mode="nearest-even")
except ValueError as e:
    print(e)
r = _plindra.cast_array(a, target_dtype="int32", rounding_mode="towards-zero", out_of_range_mode="clamp",
                        scalar_map_entries={float("nan"): -1})
print(libm.fegetexcept(), *r.tolist())
"""


def test_trapping_invalid_operations_are_not_raised_at_the_caller():
    # NaN and out-of-range conversions inside the kernels would raise SIGFPE.
    run = subprocess.run([sys.executable, "-c", TRAPPING], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split("\n")[:2] == [
        "Cannot cast NaN to integer type without scalar_map",
        f"1 1 -1 {2**31 - 1} {-(2**31)}",
    ]
