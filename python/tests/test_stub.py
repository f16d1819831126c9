"""The installed type stub agrees with the module: the same functions, parameter
names, kinds and defaults, and string Literals the module accepts."""

import ast
import inspect
from pathlib import Path

import numpy as np
import pytest

import _plindra

MODULE_DIR = Path(_plindra.__file__).parent
INSTALLED = [MODULE_DIR / "_plindra.pyi", MODULE_DIR / "_plindra-stubs" / "__init__.pyi"]
SOURCE = Path(__file__).parents[1] / "_plindra.pyi"

KINDS = {"posonlyargs": inspect.Parameter.POSITIONAL_ONLY, "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
         "kwonlyargs": inspect.Parameter.KEYWORD_ONLY}


@pytest.fixture(scope="module")
def stub():
    return ast.parse(INSTALLED[0].read_text())


def functions(tree):
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def aliases(tree):
    return {node.target.id: node.value for node in tree.body
            if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and node.value is not None}


def stub_parameters(fn):
    a = fn.args
    assert a.vararg is None and a.kwarg is None
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    rows = [(arg, KINDS["posonlyargs" if i < len(a.posonlyargs) else "args"], d)
            for i, (arg, d) in enumerate(zip(positional, defaults, strict=True))]
    rows += [(arg, KINDS["kwonlyargs"], d) for arg, d in zip(a.kwonlyargs, a.kw_defaults, strict=True)]
    return [(arg.arg, kind, inspect.Parameter.empty if d is None else ast.literal_eval(d)) for arg, kind, d in rows]


def literal_strings(node, table):
    """The strings of every Literal an annotation allows, through type aliases."""
    found = set()
    for sub in ast.walk(node):
        if isinstance(sub, ast.Name) and sub.id in table:
            found |= literal_strings(table[sub.id], table)
        elif isinstance(sub, ast.Constant) and isinstance(sub.value, str):
            found.add(sub.value)
    return found


def test_installed_stubs_are_the_repository_stub():
    for path in INSTALLED:
        assert path.read_bytes() == SOURCE.read_bytes(), path


def test_same_functions(stub):
    exported = next(ast.literal_eval(n.value) for n in stub.body
                    if isinstance(n, ast.Assign) and [t.id for t in n.targets] == ["__all__"])
    assert exported == _plindra.__all__
    assert sorted(functions(stub)) == sorted(_plindra.__all__)


@pytest.mark.parametrize("name", _plindra.__all__)
def test_same_parameters(stub, name):
    real = [(p.name, p.kind, p.default) for p in inspect.signature(getattr(_plindra, name)).parameters.values()]
    assert stub_parameters(functions(stub)[name]) == real


def annotation_strings(stub, function, parameter):
    fn = functions(stub)[function]
    arg = next(a for a in fn.args.args + fn.args.kwonlyargs if a.arg == parameter)
    return literal_strings(arg.annotation, aliases(stub))


def test_dtype_literal_is_what_the_module_accepts(stub):
    names = annotation_strings(stub, "cast_array", "target_dtype")
    accepted = set()
    for code in np.typecodes["All"]:
        dtype = np.dtype(code)
        try:
            _plindra.cast_array(np.zeros(1, dtype), target_dtype="float64", rounding_mode="nearest-even")
        except TypeError:
            continue
        accepted.add(dtype.name)
    assert names == accepted
    for name in names:
        assert _plindra.cast_array(np.zeros(1), target_dtype=name, rounding_mode="nearest-even").dtype == name


@pytest.mark.parametrize("function, parameter, extra", [
    ("cast_array", "rounding_mode", {}),
    ("cast_array", "out_of_range_mode", {"rounding_mode": "nearest-even"}),
    ("cast_array_into", "rounding_mode", {}),
    ("cast_array_into", "out_of_range_mode", {"rounding_mode": "nearest-even"}),
])
def test_mode_literals_are_accepted(stub, function, parameter, extra):
    values = annotation_strings(stub, function, parameter)
    assert values
    arr = np.array([0.5, 300.0])
    args = (arr,) if function == "cast_array" else (arr, np.zeros(2, np.float32))
    if function == "cast_array":
        extra = {"target_dtype": "float32", **extra}
    for value in values:
        getattr(_plindra, function)(*args, **extra, **{parameter: value})
