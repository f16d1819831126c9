"""The interpreter lock is released while a kernel runs on a large array, and
concurrent calls give the same results as sequential ones."""

import os
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import _plindra

LARGE = 4_000_000


def _convert(a, dst, **kw):
    return _plindra.cast_array(a, target_dtype=dst, rounding_mode="nearest-even", **kw)


@pytest.mark.parametrize("into", [False, True])
def test_other_threads_run_during_a_large_conversion(into):
    a = np.linspace(-1e3, 1e3, LARGE)
    out = np.empty(LARGE, np.int32)
    counter = [0]
    stop = threading.Event()
    started = threading.Event()

    def spin():
        started.set()
        while not stop.is_set():
            counter[0] += 1
            time.sleep(0)

    old = sys.getswitchinterval()
    # This thread keeps the lock except where it gives it up itself.
    sys.setswitchinterval(100.0)
    worker = threading.Thread(target=spin)
    try:
        worker.start()
        started.wait()
        progressed = False
        for _ in range(20):
            before = counter[0]
            if into:
                _plindra.cast_array_into(a, out, rounding_mode="nearest-even")
            else:
                out = _convert(a, "int32")
            if counter[0] != before:
                progressed = True
                break
    finally:
        stop.set()
        sys.setswitchinterval(old)
        worker.join()
    assert progressed
    np.testing.assert_array_equal(out, np.rint(a).astype(np.int32))


@pytest.mark.parametrize(
    "src, dst, kw",
    [
        ("float64", "int32", {"out_of_range_mode": "clamp"}),
        ("float32", "uint8", {"out_of_range_mode": "wrap"}),
        ("int64", "int16", {"out_of_range_mode": "clamp"}),
        ("float64", "float16", {}),
    ],
)
def test_concurrent_calls_match_sequential(src, dst, kw):
    rng = np.random.default_rng(7)
    arrays = [(rng.standard_normal(300_000) * 200).astype(src) for _ in range(8)]
    expected = [_convert(a, dst, **kw) for a in arrays]
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda a: _convert(a, dst, **kw), arrays))
    for e, g in zip(expected, got, strict=True):
        np.testing.assert_array_equal(e, g)


def test_errors_raised_after_a_released_run():
    a = np.zeros(LARGE)
    a[-1] = np.nan
    out = np.full(LARGE, 7, np.int32)

    def run(_):
        with pytest.raises(ValueError, match="Cannot cast NaN"):
            _plindra.cast_array_into(a, out, rounding_mode="nearest-even")

    with ThreadPoolExecutor(4) as pool:
        list(pool.map(run, range(4)))
    assert out[-1] == 7 and not out[:-1].any()


def test_overlapping_into_from_several_threads():
    # Each thread converts its own buffer in place (input and output share memory).
    def run(seed):
        rng = np.random.default_rng(seed)
        buf = rng.integers(-1000, 1000, 200_000).astype(np.int64)
        expected = buf.astype(np.float64)
        _plindra.cast_array_into(buf, buf.view(np.float64), rounding_mode="nearest-even")
        np.testing.assert_array_equal(buf.view(np.float64), expected)

    with ThreadPoolExecutor(4) as pool:
        list(pool.map(run, range(8)))


_DAEMONS_AT_EXIT = """
import threading, time, numpy as np, _plindra
a = np.linspace(-1e3, 1e3, 2_000_000)
out = np.empty(a.size, np.int32)
def run():
    while True:
        {call}
for _ in range(4):
    threading.Thread(target=run, daemon=True).start()
time.sleep(0.2)
"""


@pytest.mark.parametrize("call", ['_plindra.cast_array_into(a, out, rounding_mode="nearest-even")',
                                  '_plindra.cast_array(a, target_dtype="int32", rounding_mode="nearest-even")'])
def test_interpreter_exits_cleanly_while_daemon_threads_convert(call):
    # Shutdown ends a daemon thread that asks for the lock back; that must not
    # abort the process.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    for _ in range(3):
        run = subprocess.run([sys.executable, "-c", _DAEMONS_AT_EXIT.format(call=call)], env=env,
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stderr[-2000:]
