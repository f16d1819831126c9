"""The process's floating-point environment changes no result, and every call
hands it back unchanged, failing calls included: the kernels and the scalar
map's float values alike."""

import ctypes
import ctypes.util
import json
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


# Each case runs in a fresh interpreter, first with the invalid-operation trap
# masked, then unmasked; it prints its outcome and the SSE control register
# (status flags included) before and after each call.
SIGNALLING = """
import ctypes, ctypes.util, json, sys
import numpy as np, _plindra
libm = ctypes.CDLL(ctypes.util.find_library("m"))
fenv = ctypes.create_string_buffer(32)  # glibc's x86-64 fenv_t: the SSE control register at byte 28


def mxcsr():
    libm.fegetenv(fenv)
    return int.from_bytes(fenv.raw[28:32], "little")


# Signalling NaNs, made from their bits (arithmetic would quieten them).
snan = np.frombuffer((0x7FF0000000000001).to_bytes(8, "little"), np.float64)[0]
snan32 = np.frombuffer((0x7F800001).to_bytes(4, "little"), np.float32)[0]
snan_float = snan.item()


class AsFloat:
    def __float__(self):
        return snan_float


def call():
    kind, holder, dtype, mode = sys.argv[1:]
    value = {"np.float64": snan, "np.float32": snan32, "__float__": AsFloat()}.get(holder)
    if kind == "element":
        arr = np.array([1.0, 2.0, snan, 4.0])
        mode = None if mode == "error" else mode
        if dtype == "cast_array":
            return _plindra.cast_array(arr, target_dtype="int32", rounding_mode="nearest-even",
                                       out_of_range_mode=mode)
        out = np.full(4, 99, dtype="int32")
        try:
            _plindra.cast_array_into(arr, out, rounding_mode="nearest-even", out_of_range_mode=mode)
        finally:
            print(json.dumps(out.tolist()))
    if kind in ("map source", "refused source"):  # refused by an integer source: shown in the TypeError
        arr = np.array([1.0, np.nan if kind == "map source" else 3.0, 2.0], dtype=dtype)
        return _plindra.cast_array(arr, target_dtype="int32", rounding_mode="nearest-even",
                                   scalar_map_entries=[(value, -7)])
    arr = np.array([0, 1], dtype="int32")
    return _plindra.cast_array(arr, target_dtype=dtype, rounding_mode="nearest-even",
                               scalar_map_entries=[(1, value)])


for trap in (False, True):
    if trap:
        libm.feenableexcept(0x01)  # FE_INVALID
    before = mxcsr()
    try:
        result = call()
        outcome = result.view(f"u{result.itemsize}").tolist()
    except Exception as e:
        outcome = f"{type(e).__name__}: {e}"
    print(json.dumps([outcome, before, mxcsr()]), flush=True)
"""

NAN_ERROR = "ValueError: Cannot cast NaN to integer type without scalar_map"
# Map targets keep their bits in float64; narrower targets quieten them.
SNAN_STORED = {"float16": 0x7E00, "float32": 0x7FC00000, "float64": 0x7FF0000000000001}
HOLDERS = ("np.float64", "__float__")
# (what holds the NaN, the map value's holder, the dtype or entry point, the out-of-range mode)
SIGNALLING_CASES = (
    [("element", "-", into, mode) for into in ("cast_array", "cast_array_into") for mode in ("error", "clamp", "wrap")]
    + [("map source", holder, f, "-") for holder in (*HOLDERS, "np.float32") for f in FLOATS]
    + [("map target", holder, f, "-") for holder in HOLDERS for f in FLOATS]
    + [("refused source", holder, "int32", "-") for holder in ("np.float64", "np.float32")]
)


@pytest.mark.parametrize("case", SIGNALLING_CASES, ids=" ".join)
def test_signalling_nans_outside_the_kernels_neither_trap_nor_raise_a_flag(case):
    kind, _, dtype, _ = case
    run = subprocess.run([sys.executable, "-c", SIGNALLING, *case], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, f"exit status {run.returncode} (-8: SIGFPE) {run.stderr}"
    lines = run.stdout.splitlines()
    if kind == "element":
        want = NAN_ERROR
    elif kind == "map source":
        want = [1, 2**32 - 7, 2]
    elif kind == "map target":
        want = [0, SNAN_STORED[dtype]]
    else:  # the value's repr differs between NumPy versions
        want = json.loads(lines[0])[0]
        assert want.startswith("TypeError: scalar_map source value ")
    if dtype == "cast_array_into":
        # The elements before the NaN written, it and the rest untouched.
        assert lines[0::2] == ["[1, 2, 99, 99]"] * 2
        lines = lines[1::2]
    assert len(lines) == 2  # masked, then trapping
    for line in lines:
        outcome, before, after = json.loads(line)
        assert outcome == want
        assert hex(after) == hex(before)


# NumPy converts and prints long double scalars with x87 instructions, which
# follow the x87 unit's own control and status words. Each case runs in a fresh
# interpreter: the calls once in the default environment, then again under the
# case's settings, printing both outcomes and, around the second, the x87
# control and status words and the SSE control register.
X87 = """
import ctypes, ctypes.util, json, sys
import numpy as np, _plindra
libm = ctypes.CDLL(ctypes.util.find_library("m"))
fenv = ctypes.create_string_buffer(32)  # glibc's x86-64 fenv_t


def words():
    libm.fegetenv(fenv)
    return [int.from_bytes(fenv.raw[at:at + size], "little") for at, size in ((0, 2), (4, 2), (28, 4))]


class Hook:  # a __float__ that leaves the thread rounding upward, invalid operations trapping
    def __float__(self):
        libm.fesetround(0x800)
        libm.feenableexcept(0x01)
        return 0.5


class RefusingHook(np.longdouble):  # the same, then refused: its repr is shown
    def __float__(self):
        Hook.__float__(self)
        raise ValueError


# Made in the default environment; the signalling NaN from its bits.
SNAN = np.frombuffer((0x7FFF_8000000000000001).to_bytes(16, "little"), np.longdouble)[0]
VALUES = {
    "1/3": np.longdouble(1) / np.longdouble(3),
    "sNaN": SNAN,
    "huge": np.finfo(np.longdouble).max,
    "tiny": np.finfo(np.longdouble).smallest_normal,
    "hook": Hook(),
    "refusing hook": RefusingHook(SNAN),
}
setup, kind, *names = sys.argv[1:]
values = [VALUES[name] for name in names]
if kind == "target":
    arr, dtype = np.arange(len(values) + 1, dtype=np.int32), "float64"
    entries = [(i + 1, v) for i, v in enumerate(values)]
elif kind == "source":  # float64 elements, each matched by the long double it was rounded from
    arr, dtype = np.array([0.0, *map(float, values)]), "int32"
    entries = [(v, -(i + 1)) for i, v in enumerate(values)]
else:  # refused by an integer source: shown in the TypeError
    arr, dtype = np.zeros(2, dtype=np.int32), "int32"
    entries = [(v, 1) for v in values]


def call():
    try:
        result = _plindra.cast_array(arr, target_dtype=dtype, rounding_mode="nearest-even",
                                     scalar_map_entries=entries)
        return result.view(f"u{result.itemsize}").tolist()
    except Exception as e:
        return f"{type(e).__name__}: {e}"


default = call()
libm.feclearexcept(0x3D)  # FE_ALL_EXCEPT: a trap enabled below must not find a flag raised
exec(setup, {"libm": libm})
before = words()
outcome = call()
print(json.dumps([default, outcome, before, words()]), flush=True)
"""

X87_CASES = {
    # The caller's overflow flag (raised in the x87 unit alone) must come back too.
    "upward target": ("libm.fesetround(0x800); libm.feraiseexcept(0x08)", "target", "1/3"),
    "upward source": ("libm.fesetround(0x800); libm.feraiseexcept(0x08)", "source", "1/3"),
    "inexact trap": ("libm.feenableexcept(0x20)", "target", "1/3"),
    "invalid trap": ("libm.feenableexcept(0x01)", "target", "sNaN"),
    "overflow trap": ("libm.feenableexcept(0x08)", "target", "huge"),
    "underflow trap": ("libm.feenableexcept(0x10)", "target", "tiny"),
    "masked flags": ("", "target", "1/3", "sNaN", "huge", "tiny"),
    # An exception the caller left pending neither fires in the call nor is lost.
    "pending overflow": ("libm.feraiseexcept(0x08); libm.feenableexcept(0x08)", "target", "1/3", "huge"),
    "refused repr": ("libm.feenableexcept(0x01)", "refused", "sNaN"),
    # The values after the hook are read as in the default environment.
    "__float__ hook": ("", "target", "hook", "1/3", "sNaN"),
    # The repr of a signalling NaN whose __float__ left traps enabled.
    "__float__ hook refused": ("", "target", "refusing hook"),
}


@pytest.mark.skipif(np.finfo(np.longdouble).nmant != 63, reason="long double is not the x87 80-bit format")
@pytest.mark.parametrize("case", X87_CASES.values(), ids=X87_CASES.keys())
def test_long_double_map_values_under_the_callers_x87_settings(case):
    run = subprocess.run([sys.executable, "-c", X87, *case], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, f"exit status {run.returncode} (-8: SIGFPE) {run.stderr}"
    default, outcome, before, after = json.loads(run.stdout)
    assert outcome == default
    # A refused value ends the call with the TypeError that shows it.
    assert isinstance(default, str) == (case[1] == "refused" or "refusing hook" in case)
    assert not isinstance(default, str) or default.startswith("TypeError: scalar_map ")
    assert [hex(w) for w in after] == [hex(w) for w in before]  # x87 control, x87 status, MXCSR
