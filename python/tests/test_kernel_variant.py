"""PLINDRA_KERNEL_VARIANT, the test setting that picks the kernels' instruction-set
variant for a process: the portable variant always runs, a name that picks no
variant stops the module before any conversion."""
import os
import subprocess
import sys

import pytest

SCRIPT = """
import numpy as np
try:
    import _plindra
    out = _plindra.cast_array(np.array([1.5, 300.0, -2.5]), target_dtype="uint8",
                              rounding_mode="nearest-even", out_of_range_mode="clamp")
except BaseException as e:
    print(type(e).__name__, e)
    raise SystemExit(3)
print(out.tolist())
"""


def run_with(setting):
    env = dict(os.environ, PLINDRA_KERNEL_VARIANT=setting)
    return subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("setting", ["portable", ""])
def test_portable_and_unset_run(setting):
    res = run_with(setting)
    assert (res.returncode, res.stdout) == (0, "[2, 255, 0]\n"), res.stderr


@pytest.mark.parametrize("setting, why", [
    ("bogus", 'unknown kernel variant "bogus" (known: portable, x86-64-v3, x86-64-v4)'),
    ("X86-64-V4", 'unknown kernel variant "X86-64-V4" (known: portable, x86-64-v3, x86-64-v4)'),
    ("x86-64-v2", 'unknown kernel variant "x86-64-v2" (known: portable, x86-64-v3, x86-64-v4)'),
])
def test_names_that_pick_no_variant_fail_loudly(setting, why):
    res = run_with(setting)
    assert res.returncode == 3, (res.stdout, res.stderr)
    # Refused when the module loads.
    kind, _, message = res.stdout.strip().partition(" ")
    assert kind == "ImportError"
    assert message == f"PLINDRA_KERNEL_VARIANT={setting}: {why}"
