"""The element types the module converts between, in the module's order, and
the mode names: the one copy every test imports."""

# name -> (bits, signed)
INT_TYPES = {
    "int8": (8, True), "int16": (16, True), "int32": (32, True), "int64": (64, True),
    "uint8": (8, False), "uint16": (16, False), "uint32": (32, False), "uint64": (64, False),
}
# name -> (exponent bits, fraction bits)
FLOAT_TYPES = {"float16": (5, 10), "float32": (8, 23), "float64": (11, 52)}
INTS = list(INT_TYPES)
FLOATS = list(FLOAT_TYPES)
DTYPES = INTS + FLOATS
PAIRS = [(s, d) for s in DTYPES for d in DTYPES]

ROUNDING_MODES = ["nearest-even", "towards-zero", "towards-positive", "towards-negative", "nearest-away"]
OUT_OF_RANGE_MODES = [None, "clamp", "wrap"]
