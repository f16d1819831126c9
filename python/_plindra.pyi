# Signatures of the _plindra extension module for editors and type checkers;
# installed beside the module. The parameter names and kinds follow the
# module's own tables (python/src/module.cpp); tests compare the two.
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

__all__ = ["cast_array", "cast_array_into"]

_DTypeName: TypeAlias = Literal[
    "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float16", "float32", "float64"
]
_RoundingMode: TypeAlias = Literal[
    "nearest-even", "towards-zero", "towards-positive", "towards-negative", "nearest-away"
]
_OutOfRangeMode: TypeAlias = Literal["clamp", "wrap"]

# A map value: an int (or an __index__ object) for an integer dtype; for a
# float dtype anything float() accepts.
_Scalar: TypeAlias = SupportsIndex | SupportsFloat
# {source: target}, or an iterable of (source, target) pairs (tuples, lists,
# rows of an (n, 2) array). Mapping keys are Any: Mapping is invariant in them.
_ScalarMap: TypeAlias = Mapping[Any, _Scalar] | Iterable[Sequence[_Scalar]] | npt.NDArray[Any]

def cast_array(
    arr: npt.NDArray[Any],
    *,
    target_dtype: _DTypeName,
    rounding_mode: _RoundingMode,
    out_of_range_mode: _OutOfRangeMode | None = None,
    scalar_map_entries: _ScalarMap | None = None,
) -> np.ndarray[Any, np.dtype[Any]]:
    """Cast a numpy array to a new dtype, allocating a new output array."""

def cast_array_into(
    arr: npt.NDArray[Any],
    out: npt.NDArray[Any],
    *,
    rounding_mode: _RoundingMode,
    out_of_range_mode: _OutOfRangeMode | None = None,
    scalar_map_entries: _ScalarMap | None = None,
) -> None:
    """Cast a numpy array into a pre-allocated output array."""
