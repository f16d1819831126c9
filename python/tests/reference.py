"""Pure-Python reference model of _plindra's element conversion rules.

Everything is exact: integers are Python ints, float elements are handled as
raw IEEE bit patterns decoded into fractions.Fraction, and every rounding
decision is made here on exact values (never by a hardware or NumPy cast).

Element convention used throughout: an integer element is its Python int value,
a float element is its bit pattern as an unsigned Python int.
"""
import math
import operator
import struct
from decimal import Decimal
from fractions import Fraction

import numpy as np

from dtypes import FLOAT_TYPES, INT_TYPES

NAN = "nan"
INF = "inf"


class MapValueError(ValueError):
    """A scalar-map value that the module must reject."""


def is_float(dtype):
    return dtype in FLOAT_TYPES


def int_range(dtype):
    bits, signed = INT_TYPES[dtype]
    return (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)


def width(dtype):
    return INT_TYPES[dtype][0] if dtype in INT_TYPES else 1 + sum(FLOAT_TYPES[dtype])


def uint_view(dtype):
    return np.dtype("uint%d" % width(dtype))


# ---------------------------------------------------------------- float bits

def _fmt(dtype):
    ebits, mbits = FLOAT_TYPES[dtype]
    bias = (1 << (ebits - 1)) - 1
    return ebits, mbits, bias


def decode(bits, dtype):
    """Bit pattern -> (negative, magnitude) with magnitude a Fraction, INF or NAN."""
    ebits, mbits, bias = _fmt(dtype)
    neg = bool(bits >> (ebits + mbits))
    exp = (bits >> mbits) & ((1 << ebits) - 1)
    frac = bits & ((1 << mbits) - 1)
    if exp == (1 << ebits) - 1:
        return neg, (NAN if frac else INF)
    if exp == 0:
        return neg, Fraction(frac) * Fraction(2) ** (1 - bias - mbits)
    return neg, Fraction(frac | (1 << mbits)) * Fraction(2) ** (exp - bias - mbits)


def inf_bits(dtype, neg=False):
    ebits, mbits, _ = _fmt(dtype)
    return (int(neg) << (ebits + mbits)) | (((1 << ebits) - 1) << mbits)


def nan_bits(dtype, neg=False):
    return inf_bits(dtype, neg) | (1 << (FLOAT_TYPES[dtype][1] - 1))


def max_finite(dtype):
    ebits, mbits, bias = _fmt(dtype)
    return (2 - Fraction(1, 1 << mbits)) * Fraction(2) ** bias


def is_nan_bits(bits, dtype):
    return decode(bits, dtype)[1] == NAN


def _magnitude_direction(neg, mode):
    """How a rounding mode moves a magnitude: 'near-even', 'near-away', 'up' or 'down'."""
    if mode == "nearest-even":
        return "near-even"
    if mode == "nearest-away":
        return "near-away"
    if mode == "towards-zero":
        return "down"
    return "up" if (mode == "towards-positive") != neg else "down"


def _round_fraction(q, direction):
    """Round a non-negative Fraction to an integer by a magnitude direction."""
    n = q.numerator // q.denominator
    rem = q - n
    if rem == 0 or direction == "down":
        return n
    if direction == "up":
        return n + 1
    half = Fraction(1, 2)
    if rem > half or (rem == half and (direction == "near-away" or n % 2 == 1)):
        return n + 1
    return n


def encode(neg, mag, dtype, mode="nearest-even"):
    """Correctly round the exact value (-1)^neg * mag into dtype's bit pattern.

    mag is a non-negative Fraction, INF or NAN. Overflow gives infinity or the
    largest finite value, as the mode's direction says; underflow keeps the sign.
    """
    ebits, mbits, bias = _fmt(dtype)
    sign = int(neg) << (ebits + mbits)
    if mag == NAN:
        return nan_bits(dtype, neg)
    if mag == INF:
        return inf_bits(dtype, neg)
    if mag == 0:
        return sign
    direction = _magnitude_direction(neg, mode)
    e = mag.numerator.bit_length() - mag.denominator.bit_length()
    if mag < Fraction(2) ** e:
        e -= 1
    e = max(e, 1 - bias)
    quantum = Fraction(2) ** (e - mbits)
    n = _round_fraction(mag / quantum, direction)
    if n * quantum > max_finite(dtype):
        if direction == "down":
            return sign | (inf_bits(dtype) - 1)
        return sign | inf_bits(dtype)
    if n >> (mbits + 1):  # carried into the next binade
        n >>= 1
        e += 1
    if n >> mbits:
        return sign | ((e + bias) << mbits) | (n - (1 << mbits))
    return sign | n  # subnormal or zero


def float_to_bits(x, dtype):
    """A Python float narrowed to dtype once, round to nearest even."""
    (b,) = struct.unpack("<Q", struct.pack("<d", x))
    return b if dtype == "float64" else encode(*decode(b, "float64"), dtype)


def bits_to_float(bits, dtype):
    """A dtype element widened (exactly) to a Python float."""
    neg, mag = decode(bits, dtype)
    if mag == NAN:
        return math.nan
    v = math.inf if mag == INF else float(mag)
    return -v if neg else v


# ------------------------------------------------------------ number format

def format_number(x):
    """Shortest round-trip decimal digits of a double, never with an exponent."""
    if math.isnan(x):
        return "NaN"
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    if math.isinf(x):
        return sign + "inf"
    if x == 0:
        return sign + "0"
    _, digits, exp10 = Decimal(repr(abs(x))).normalize().as_tuple()
    ds = "".join(map(str, digits))
    k = len(ds)
    e = k + exp10  # value = 0.d1..dk * 10^e
    if e <= 0:
        body = "0." + "0" * (-e) + ds
    elif e < k:
        body = ds[:e] + "." + ds[e:]
    else:
        body = ds + "0" * (e - k)
    return sign + body


def not_finite_message(value):
    return "Cannot cast %s to integer type without scalar_map" % format_number(value)


def out_of_range_message(value, lo, hi):
    return ("Value %s out of range [%s, %s]. Set out_of_range='clamp' or out_of_range='wrap' "
            "to handle this." % (format_number(value), format_number(lo), format_number(hi)))


# --------------------------------------------------------------- scalar map

def map_value(v, dtype):
    """A Python map value as the module stores it for dtype (int or bit pattern)."""
    if is_float(dtype):
        try:
            d = float(v)
        except (TypeError, ValueError, OverflowError) as exc:
            raise MapValueError(repr(v)) from exc
        return float_to_bits(d, dtype)
    if isinstance(v, float):
        raise MapValueError(repr(v))
    try:
        n = operator.index(v)
    except TypeError as exc:
        raise MapValueError(repr(v)) from exc
    lo, hi = int_range(dtype)
    if not lo <= n <= hi:
        raise MapValueError(repr(v))
    return n


def parse_map(entries, src, dst):
    if entries is None:
        return []
    items = entries.items() if hasattr(entries, "items") else entries
    return [(map_value(s, src), map_value(t, dst)) for s, t in items]


def _float_key(bits, dtype):
    """Comparable key under IEEE equality: None for NaN, zeros of both signs equal."""
    neg, mag = decode(bits, dtype)
    if mag == NAN:
        return None
    if mag == INF:
        return -math.inf if neg else math.inf
    return -mag if neg else mag


def lookup(entries, x, dtype):
    """Target of the first entry matching element x, or None."""
    if not is_float(dtype):
        return next((t for s, t in entries if s == x), None)
    key = _float_key(x, dtype)
    for s, t in entries:
        skey = _float_key(s, dtype)
        if (key is None and skey is None) or (key is not None and skey is not None and key == skey):
            return t
    return None


# ------------------------------------------------------------ element rules

class CastFailure(Exception):
    pass


def _round_to_integer(neg, mag, mode):
    n = _round_fraction(mag, _magnitude_direction(neg, mode))
    return -n if neg else n


def _range_fallback(r, value, src, dst, oor):
    """Out-of-range handling of an integral r (int or +-inf) for an integer target."""
    lo, hi = int_range(dst)
    if oor == "clamp":
        return lo if r < lo else hi
    if oor == "wrap":
        bits = INT_TYPES[dst][0]
        v = r % (1 << bits)
        return v - (1 << bits) if v > hi else v
    if not is_float(src):
        lo, hi = max(lo, int_range(src)[0]), min(hi, int_range(src)[1])
    raise CastFailure(out_of_range_message(value, float(lo), float(hi)))


def _int_to_int(x, src, dst, oor):
    lo, hi = int_range(dst)
    return x if lo <= x <= hi else _range_fallback(x, float(x), src, dst, oor)


def _float_to_int(x, src, dst, rounding, oor):
    neg, mag = decode(x, src)
    if mag == NAN:
        raise CastFailure(not_finite_message(math.nan))
    if mag == INF:
        if oor == "wrap":
            raise CastFailure(not_finite_message(-math.inf if neg else math.inf))
        r = -math.inf if neg else math.inf
        return _range_fallback(r, r, src, dst, oor)
    r = _round_to_integer(neg, mag, rounding)
    lo, hi = int_range(dst)
    return r if lo <= r <= hi else _range_fallback(r, float(r), src, dst, oor)


def _int_to_float(x, dst, rounding):
    return encode(x < 0, Fraction(abs(x)), dst, rounding)


def _float_to_float(x, src, dst, rounding, oor):
    if src == dst:
        return x
    neg, mag = decode(x, src)
    r = encode(neg, mag, dst, rounding)
    if mag not in (NAN, INF) and decode(r, dst)[1] == INF and oor != "clamp":
        bound = float(max_finite(dst))
        raise CastFailure(out_of_range_message(bits_to_float(x, src), -bound, bound))
    return r


def convert_element(x, src, dst, rounding, oor, entries=()):
    """One element; raises CastFailure with the module's message."""
    hit = lookup(entries, x, src) if entries else None
    if hit is not None:
        return hit
    if is_float(src):
        if is_float(dst):
            return _float_to_float(x, src, dst, rounding, oor)
        return _float_to_int(x, src, dst, rounding, oor)
    if is_float(dst):
        return _int_to_float(x, dst, rounding)
    return _int_to_int(x, src, dst, oor)


def source_elements(values, src):
    """Elements (ints / float bit patterns) from an array or a list.

    Python floats in a list for a float dtype are narrowed once, nearest even.
    """
    if isinstance(values, np.ndarray):
        flat = np.ascontiguousarray(values).reshape(-1)
        if is_float(src):
            return [int(b) for b in flat.view(uint_view(src))]
        return [int(v) for v in flat]
    if is_float(src):
        return [float_to_bits(v, src) if isinstance(v, float) else int(v) for v in values]
    return [int(v) for v in values]


def convert(values, src, dst, rounding, oor=None, scalar_map=None):
    """Convert a sequence like the module does.

    Returns (outputs, error message or None, index of the failing element or
    None); outputs holds the elements converted before the failure.
    """
    entries = parse_map(scalar_map, src, dst)
    out = []
    for i, x in enumerate(source_elements(values, src)):
        try:
            out.append(convert_element(x, src, dst, rounding, oor, entries))
        except CastFailure as exc:
            return out, str(exc), i
    return out, None, None


def to_array(elements, dtype):
    """Model elements as a NumPy array of dtype (float elements are bit patterns)."""
    if is_float(dtype):
        return np.array(elements, dtype=uint_view(dtype)).view(dtype)
    return np.array(elements, dtype=dtype)
