"""Module front: attributes, signatures, argument binding and conversion, mode
parsing, dtype identification, shape check, input view, output checks, the order
in which their errors win, and reference counts on every path."""
import importlib
import inspect
import sys

import numpy as np
import pytest

import _plindra
from _plindra import cast_array, cast_array_into
from dtypes import DTYPES

MULTIBYTE = [d for d in DTYPES if np.dtype(d).itemsize > 1]
RM = {"rounding_mode": "nearest-even"}
NOT_C = "Input array must be row-major (C-contiguous)"
BAD_OUT = "Output array must be row-major (C-contiguous) and writeable"
BAD_MAP = "scalar_map_entries must be a dict or an iterable of (source, target) pairs"


def view_err(type_name):
    return f"'{type_name}' object cannot be converted to 'PyArray<T, D>'"


def check(exc, msg, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc
    assert msg is None or str(info.value) == msg


Sub = type("Sub", (np.ndarray,), {})
Inner = type("Inner", (np.ndarray,), {"__qualname__": "Outer.Inner"})
RaisingDtype = type("RaisingDtype", (np.ndarray,), {"dtype": property(lambda self: {}["no dtype"])})
OddName = type("OddName", (np.ndarray,), {"dtype": property(lambda self: type("D", (), {"name": 42})())})


def swapped(dtype, n=4):
    return np.arange(n).astype(np.dtype(dtype).newbyteorder())


a8, o8, flag = np.arange(6, dtype=np.int8), np.zeros(6, dtype=np.int8), np.array([True])


# --------------------------------------------------------------- module object

def test_module_attributes_and_reimport():
    assert _plindra.__doc__ == ""
    assert _plindra.__all__ == ["cast_array", "cast_array_into"]
    assert {k for k in vars(_plindra) if not k.startswith("__")} == {"cast_array", "cast_array_into"}
    for fn in (cast_array, cast_array_into):
        assert fn.__module__ == "_plindra" and fn.__self__ is _plindra
    saved = sys.modules.pop("_plindra")
    try:
        assert importlib.import_module("_plindra") is saved
    finally:
        sys.modules["_plindra"] = saved


ITEMS = {"arr": "Input numpy array",
         "out": "Pre-allocated output numpy array (must match input shape)",
         "target_dtype": 'Target dtype string (e.g. "uint8", "float32")',
         "rounding_mode": 'Rounding mode string (e.g. "nearest-even")',
         "out_of_range_mode": 'Optional out-of-range handling ("clamp" or "wrap")',
         "scalar_map_entries": "Optional list of [source, target] pairs"}


@pytest.mark.parametrize("fn, second, summary, returns, errors", [
    (cast_array, "*, target_dtype", "Cast a numpy array to a new dtype, allocating a new output array.",
     "A new numpy array with the target dtype.",
     "Returns `PyValueError` for invalid rounding/out-of-range modes or\n"
     "conversion errors. Returns `PyTypeError` for unsupported dtypes."),
    (cast_array_into, "out, *", "Cast a numpy array into a pre-allocated output array.", "None on success.",
     "Returns `PyValueError` for shape mismatch, invalid modes, or conversion\n"
     "errors. Returns `PyTypeError` for unsupported dtypes."),
])
def test_signature_and_docstring(fn, second, summary, returns, errors):
    sig = f"(arr, {second}, rounding_mode, out_of_range_mode=None, scalar_map_entries=None)"
    assert fn.__text_signature__ == sig and str(inspect.signature(fn)) == sig
    names = [n for n in sig.strip("()").replace("=None", "").split(", ") if n != "*"]
    items = "\n".join(f"* `{n}` - {ITEMS[n]}" for n in names)
    assert fn.__doc__ == (f"{summary}\n\n# Arguments\n\n{items}\n\n# Returns\n\n{returns}\n\n"
                          f"# Errors\n\n{errors}")


# ------------------------------------------------------------ argument binding

@pytest.mark.parametrize("call, names", [
    (lambda: cast_array(a8, "int8", rounding_mode="nearest-even"), []),
    (lambda: cast_array(a8, target_dtype="int8", rounding_mode="nearest-even", bogus=1), ["bogus"]),
    (lambda: cast_array(a8, arr=a8, target_dtype="int8", rounding_mode="nearest-even"), ["arr"]),
    (lambda: cast_array(target_dtype="int8", rounding_mode="nearest-even"), ["arr"]),
    (lambda: cast_array(a8, rounding_mode="nearest-even"), ["target_dtype"]),
    (lambda: cast_array(a8), ["target_dtype", "rounding_mode"]),
    (lambda: cast_array_into(a8, o8, "nearest-even"), []),
    (lambda: cast_array_into(a8, o8, rounding_mode="nearest-even", target_dtype="int8"), ["target_dtype"]),
    (lambda: cast_array_into(a8, o8, out=o8, rounding_mode="nearest-even"), ["out"]),
    (lambda: cast_array_into(a8, o8), ["rounding_mode"]),
    # binding comes before any argument is converted
    (lambda: cast_array([1], "bad", rounding_mode=5), []),
    (lambda: cast_array_into([1], rounding_mode=5), ["out"]),
])
def test_binding_errors(call, names):
    with pytest.raises(TypeError) as info:
        call()
    msg = str(info.value)
    assert "PyUntypedArray" not in msg and "PyString" not in msg
    assert all(name in msg for name in names)


def test_keywords_explicit_none_and_str_subclasses():
    text = type("Text", (str,), {})
    a = np.array([1, -2, 3], dtype=np.int16)
    r = cast_array(arr=a, target_dtype=text("int32"), rounding_mode=text("towards-zero"),
                   out_of_range_mode=text("wrap"), scalar_map_entries=None)
    assert r.tolist() == [1, -2, 3] and r.dtype == np.int32
    out = np.zeros(3, dtype=np.float32)
    assert cast_array_into(out=out, arr=a, rounding_mode="nearest-away", out_of_range_mode=None,
                           scalar_map_entries=None) is None
    assert out.tolist() == [1.0, -2.0, 3.0]
    # Keyword names made at run time (equal text, not the interned names) and
    # str subclasses as names bind the same.
    names = {"".join(["target_", "dtype"]): "int32", text("rounding_mode"): "towards-zero",
             "out_of_range_" + "mode": "wrap"}
    assert cast_array(a, **names).tolist() == [1, -2, 3]
    msg = "Value -1 out of range [0, 127]. Set out_of_range='clamp' or out_of_range='wrap' to handle this."
    for kw in ({}, {"out_of_range_mode": None}):
        check(ValueError, msg, cast_array, np.array([-1], np.int8), target_dtype="uint8", **RM, **kw)


# -------------------------------------------------- argument conversion, modes

def conv(name, type_name, kind="PyString"):
    return f"argument '{name}': '{type_name}' object cannot be converted to '{kind}'"


BADMODE = dict(arr=a8, target_dtype="bogus")
BADOOR = dict(arr=flag, target_dtype="bogus", rounding_mode="towards-zero")


@pytest.mark.parametrize("kwargs, exc, msg", [
    (dict(arr=[1, 2], target_dtype="nope", rounding_mode="nope"), TypeError, conv("arr", "list", "PyUntypedArray")),
    (dict(arr=None, target_dtype="int8", **RM), TypeError, conv("arr", "NoneType", "PyUntypedArray")),
    (dict(arr=np.float64(1), target_dtype="int8", **RM), TypeError, conv("arr", "float64", "PyUntypedArray")),
    (dict(arr=a8, target_dtype=5, rounding_mode=5), TypeError, conv("target_dtype", "int")),
    (dict(arr=a8, target_dtype=b"int8", **RM), TypeError, conv("target_dtype", "bytes")),
    (dict(arr=a8, target_dtype=np.int8, **RM), TypeError, conv("target_dtype", "type")),
    (dict(arr=a8, target_dtype="\ud800", rounding_mode=5), UnicodeEncodeError, None),
    (dict(BADMODE, rounding_mode=1), TypeError, conv("rounding_mode", "int")),
    (dict(BADMODE, rounding_mode=None), TypeError, conv("rounding_mode", "NoneType")),
    (dict(BADMODE, rounding_mode="\udfff"), UnicodeEncodeError, None),
    *[(dict(BADMODE, rounding_mode=m, out_of_range_mode=3), ValueError, f"Unknown rounding mode: {m}")
      for m in ["Nearest-Even", " nearest-even", "nearest-even ", "nearest", "", "nearest-even\x00", "clamp"]],
    (dict(BADOOR, out_of_range_mode=0), TypeError, conv("out_of_range_mode", "int")),
    (dict(BADOOR, out_of_range_mode=b"clamp"), TypeError, conv("out_of_range_mode", "bytes")),
    *[(dict(BADOOR, out_of_range_mode=m), ValueError, f"Unknown out_of_range mode: {m}")
      for m in ["saturate", "none", "error", "Clamp", "WRAP", "", " clamp", "nearest-even"]],
    *[(dict(arr=np.zeros(2, np.float32), target_dtype=t, **RM), TypeError, f"Unsupported target dtype: {t}")
      for t in ["Float32", "float", "f4", " float32", "float32 ", "", "int", "double", "half", "bool", "i4",
                "<f8", "int128", "uint8\x00"]],
    # the dtype of arr is identified before the target name, which comes before the input's layout
    (dict(arr=flag, target_dtype="bogus", **RM), TypeError, "Unsupported numpy dtype: bool"),
    (dict(arr=np.zeros((3, 4), np.int32).T, target_dtype="Float32", **RM), TypeError,
     "Unsupported target dtype: Float32"),
])
def test_cast_array_argument_errors(kwargs, exc, msg):
    check(exc, msg, cast_array, **kwargs)


@pytest.mark.parametrize("args, kwargs, exc, msg", [
    (((1,), "x"), dict(rounding_mode=1), TypeError, conv("arr", "tuple", "PyUntypedArray")),
    ((a8, [0] * 6), dict(rounding_mode=1), TypeError, conv("out", "list", "PyUntypedArray")),
    ((flag, o8), dict(rounding_mode=1.5), TypeError, conv("rounding_mode", "float")),
    ((flag, o8), dict(rounding_mode="round"), ValueError, "Unknown rounding mode: round"),
    ((flag, o8), dict(rounding_mode="towards-zero", out_of_range_mode=["clamp"]), TypeError,
     conv("out_of_range_mode", "list")),
    ((flag, o8), dict(rounding_mode="towards-zero", out_of_range_mode="clip"), ValueError,
     "Unknown out_of_range mode: clip"),
    # dtype of arr, then dtype of out, then shapes, then the driver
    ((flag, np.zeros(2, np.complex128)), RM, TypeError, "Unsupported numpy dtype: bool"),
    ((a8, np.zeros(2, bool)), RM, TypeError, "Unsupported numpy dtype: bool"),
    ((np.zeros((2, 3), np.int32).T, np.zeros((2, 3), np.int8)), RM, ValueError,
     "Shape mismatch: input shape [3, 2] != output shape [2, 3]"),
])
def test_cast_array_into_argument_errors(args, kwargs, exc, msg):
    check(exc, msg, cast_array_into, *args, **kwargs)


# ------------------------------------------------------- dtype identification

@pytest.mark.parametrize("dtype", ["bool", "complex128", "complex64", "object", "U3", "S2", "M8[ns]",
                                   "m8[s]", "longdouble", "V4", [("a", "i4")]])
def test_unsupported_numpy_dtype(dtype):
    bad = np.zeros(3, dtype=dtype)
    msg = f"Unsupported numpy dtype: {bad.dtype.name}"
    check(TypeError, msg, cast_array, bad, target_dtype="bogus", **RM)
    for arr, out in [(bad, np.zeros(3, np.int8)), (bad, np.zeros(3, bool)), (o8[:3], bad), (o8, bad)]:
        check(TypeError, msg, cast_array_into, arr, out, **RM)


NUMPY_NUMERIC = sorted({np.dtype(t).name for t in set(np.sctypeDict.values()) if np.dtype(t).kind in "biufc"})


@pytest.mark.parametrize("name", NUMPY_NUMERIC)
def test_module_converts_exactly_the_shared_dtypes(name):
    """The tests' dtype list is the module's: every NumPy numeric type is a
    source and a target exactly when the list names it."""
    arr = np.ones(2, dtype=name)
    if name in DTYPES:
        assert cast_array(arr, target_dtype=name, **RM).tolist() == [1, 1]
    else:
        check(TypeError, f"Unsupported numpy dtype: {name}", cast_array, arr, target_dtype="int8", **RM)
        check(TypeError, f"Unsupported target dtype: {name}", cast_array, np.ones(2, np.int8), target_dtype=name, **RM)


def test_dtype_attribute_lookups_and_equivalent_descriptors():
    check(KeyError, None, cast_array, np.zeros(2).view(RaisingDtype), target_dtype="int8", **RM)
    check(KeyError, None, cast_array_into, np.zeros(2), np.zeros(2).view(RaisingDtype), **RM)
    check(TypeError, "'int' object cannot be converted to 'PyString'", cast_array,
          np.zeros(2).view(OddName), target_dtype="int8", **RM)
    for ctype in (np.intc, np.uintc, np.longlong, np.ulonglong, np.short, np.half, getattr(np, "long", np.int_)):
        a = np.array([1, 2, 3], dtype=ctype)
        assert cast_array(a, target_dtype=a.dtype.name, **RM).tolist() == [1, 2, 3]
        cast_array_into(np.array([4, 5, 6], np.int8), a, **RM)
        assert a.tolist() == [4, 5, 6]


@pytest.mark.parametrize("sin, sout", [((2, 3), (3, 2)), ((6,), (2, 3)), ((), (1,)), ((1,), ()),
                                       ((0,), (0, 0)), ((1, 1), (1,)), ((2, 0), (0, 2))])
def test_shape_mismatch(sin, sout):
    fmt = lambda s: "[" + ", ".join(map(str, s)) + "]"
    msg = f"Shape mismatch: input shape {fmt(sin)} != output shape {fmt(sout)}"
    check(ValueError, msg, cast_array_into, np.zeros(sin, np.int16), np.zeros(sout, np.int8), **RM)
    ro = np.zeros(sout, np.float32)
    ro.flags.writeable = False  # wins over a bad map, a swapped input and a read-only output
    check(ValueError, msg, cast_array_into, np.zeros(sin, ">i2"), ro, **RM, scalar_map_entries=5)


# ----------------------------------------------------------------- input view

_b = np.arange(24, dtype=np.float64)


@pytest.mark.parametrize("arr", [_b.reshape(4, 6).T, _b[::2], _b[::-1], _b.reshape(4, 6)[:, :3],
                                 np.asfortranarray(_b.reshape(2, 3, 4)), np.broadcast_to(_b[:3], (2, 3)),
                                 _b.reshape(4, 6).T.astype(">f8", order="K")])
def test_non_row_major_input(arr):
    assert not arr.flags.c_contiguous
    for kw in ({}, {"scalar_map_entries": 5}):  # reported before the map and before the output
        check(ValueError, NOT_C, cast_array, arr, target_dtype="int64", **RM, **kw)
        check(ValueError, NOT_C, cast_array_into, arr, np.zeros(arr.shape, ">f4").T.T[::-1], **RM, **kw)


@pytest.mark.parametrize("arr", [_b[2:7], _b.reshape(4, 6)[1:], np.asfortranarray(_b[:5]),
                                 _b[:4].reshape(4, 1, order="F"), _b.reshape(4, 6)[:1, 2:3]])
def test_row_major_views_accepted(arr):
    assert cast_array(arr, target_dtype="int8", **RM).tolist() == arr.astype(np.int8).tolist()


@pytest.mark.parametrize("dtype", MULTIBYTE)
def test_byte_swapped_arrays_and_check_order(dtype):
    arr, a = swapped(dtype), np.arange(4, dtype=np.int32)
    assert arr.dtype.name == dtype
    for kw in ({}, {"scalar_map_entries": 5}):  # the input view comes before the map
        check(TypeError, view_err("ndarray"), cast_array, arr, target_dtype="int8", **RM, **kw)
        check(TypeError, view_err("ndarray"), cast_array_into, arr[:0], o8[:0], **RM, **kw)
    check(TypeError, view_err("Sub"), cast_array, arr.view(Sub), target_dtype="float64", **RM)
    check(TypeError, view_err("Outer.Inner"), cast_array, arr.view(Inner), target_dtype="int8", **RM)
    # the scalar map is parsed before out is looked at, also when everything is empty
    for out in (arr, np.zeros(8, dtype)[::2], arr[:0]):
        check(TypeError, BAD_MAP, cast_array_into, a[:out.size], out, **RM, scalar_map_entries=5)
    # the output's type is checked before its emptiness and its layout
    for src, out, name in [(a, arr, "ndarray"), (a[:0], arr[:0], "ndarray"), (a, arr.view(Sub), "Sub"),
                           (a.reshape(2, 2), arr.reshape(2, 2).T, "ndarray")]:
        check(TypeError, view_err(name), cast_array_into, src, out, **RM)


# -------------------------------------------------------------- output checks

def _bad_outputs():
    z = np.full(12, 7.0, dtype=np.float32)
    ro = z.copy()
    ro.flags.writeable = False
    return [z[::2].reshape(2, 3), z[:6][::-1], np.asfortranarray(z.reshape(3, 4)), z.reshape(3, 4).T,
            ro.reshape(3, 4), np.broadcast_to(z[:4], (3, 4)), z.reshape(3, 4)[:, ::-1]]


@pytest.mark.parametrize("out", _bad_outputs())
def test_rejected_outputs(out):
    before = out.copy()
    for oor in (None, "clamp"):
        check(ValueError, BAD_OUT, cast_array_into, np.ones(out.shape, np.int8), out, **RM,
              out_of_range_mode=oor)
    np.testing.assert_array_equal(out, before)


_st = np.lib.stride_tricks.as_strided


@pytest.mark.parametrize("out", [_st(np.zeros(8), shape=(1, 3), strides=(8000, 8)),
                                 _st(np.zeros(8), shape=(3, 1), strides=(8, -8)),
                                 _st(np.zeros(8), shape=(1,), strides=(-8,)), np.zeros(4, order="F")])
def test_length_one_axes_ignore_strides(out):
    a = np.arange(1, out.size + 1, dtype=np.int16).reshape(out.shape)
    assert cast_array_into(a, out, **RM) is None
    np.testing.assert_array_equal(out, a)


@pytest.mark.parametrize("shape", [(0,), (3, 0), (0, 4), (2, 0, 3)])
def test_empty_output_skips_layout_and_writeability(shape):
    ro = np.zeros(shape, np.uint16)
    ro.flags.writeable = False
    for out in (ro, np.zeros(shape[::-1], np.uint16).T, np.broadcast_to(np.uint16(0), shape)):
        assert cast_array_into(np.zeros(shape, np.float64), out, **RM) is None


# ----------------------------------------------------------- reference counts

def _refcount_cases():
    a, ok = np.array([1.0, 2.0, np.nan]), np.zeros(3, np.int8)
    ro = ok.copy()
    ro.flags.writeable = False
    alloc, into = cast_array, cast_array_into
    return {
        "alloc ok": (alloc, (a[:2],), dict(target_dtype="int8"), None),
        "alloc cast error": (alloc, (a,), dict(target_dtype="int8"), ValueError),
        "alloc bad target": (alloc, (a,), dict(target_dtype="x"), TypeError),
        "alloc bad map": (alloc, (a,), dict(target_dtype="int8", scalar_map_entries=5), TypeError),
        "alloc not C": (alloc, (a[::2],), dict(target_dtype="int8"), ValueError),
        "alloc swapped": (alloc, (a.astype(">f8"),), dict(target_dtype="int8"), TypeError),
        "into ok": (into, (a[:2], ok[:2]), {}, None),
        "into cast error": (into, (a, ok), {}, ValueError),
        "into shape": (into, (a, ok[:2]), {}, ValueError),
        "into bad map": (into, (a, ok), dict(scalar_map_entries=5), TypeError),
        "into not C": (into, (a[::2], ok[:2]), {}, ValueError),
        "into out swapped": (into, (a, np.zeros(3, ">i2")), {}, TypeError),
        "into out read-only": (into, (a, ro), {}, ValueError),
        "into empty": (into, (a[:0], ro[:0]), {}, None),
        "into same array": (into, (ok, ok), {}, None),
    }


@pytest.mark.parametrize("label", list(_refcount_cases()))
def test_refcounts_unchanged(label):
    fn, arrays, kwargs, exc = _refcount_cases()[label]
    before = [sys.getrefcount(x) for x in arrays]
    for _ in range(3):
        try:
            res = fn(*arrays, **kwargs, **RM)
        except BaseException as e:  # noqa: BLE001 - the type is checked here
            assert exc is not None and type(e) is exc, repr(e)
            del e
        else:
            assert exc is None
            assert res is None or sys.getrefcount(res) == 2
            del res
    assert [sys.getrefcount(x) for x in arrays] == before
