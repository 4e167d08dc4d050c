"""Calls from several Python threads at once give exactly the serial results."""

import os
import random
import subprocess
import sys
import sysconfig
import textwrap
import threading

import numpy as np
import pytest

import vantorix_core as vc

from conftest import assert_same_outcome, layouts, outcome


def workload():
    """Calls of every kernel in every layout, some of them failing."""
    rng = np.random.default_rng(7)
    calls = []
    for n in (0, 1, 300, 4000):
        x = rng.integers(-1, 6, size=n).astype(np.int32)
        y = rng.integers(0, 4, size=n).astype(np.int32)
        values = rng.normal(size=n)
        values[: n // 50] *= 40
        for i, (vx, vv) in enumerate(zip(layouts(x).values(), layouts(values).values())):
            calls += [
                (vc.calculate_cramers_v, (vx, y, 5, 4 - i % 3)),
                (vc.detect_continuous_outliers, (vv, 1.5 + i / 4)),
                (vc.detect_categorical_outliers, (vx, 5 - i % 2, 0.05 * i)),
            ]
        calls += [
            (vc.calculate_cramers_v, (x, y[1:], 5, 4)),
            (vc.calculate_cramers_v, (x, y, -1, 4)),
            (vc.detect_categorical_outliers, (x, -3, 0.1)),
        ]
        for m in layouts(values.reshape(-1, 4) if n % 4 == 0 else values[:, None]).values():
            calls += [(vc.calculate_summary_stats, (m,)), (vc.detect_continuous_outliers, (m, 1.0))]
    return calls


def test_concurrent_calls_give_the_serial_results():
    calls = workload()
    serial = [outcome(f, *args) for f, args in calls]
    mismatches = []
    start = threading.Barrier(8)

    def worker(seed):
        order = list(range(len(calls)))
        random.Random(seed).shuffle(order)
        start.wait()
        for _ in range(3):
            for i in order:
                f, args = calls[i]
                try:
                    assert_same_outcome(outcome(f, *args), serial[i])
                except AssertionError as e:
                    mismatches.append((i, e))

    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # hand the interpreter lock over as often as it can be
    try:
        threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(switch)
    assert not mismatches, mismatches[:3]


def test_first_calls_from_many_threads_at_once():
    # The first call loads NumPy's array API, the one place where the lock is let go.
    code = """
        import sys, threading
        sys.setswitchinterval(1e-6)
        import vantorix_core as vc
        start = threading.Barrier(8)
        results = []
        def first_call():
            start.wait()
            results.append(vc.detect_continuous_outliers([1.0, 2.0, 3.0, 100.0], 1.0).tolist())
        threads = [threading.Thread(target=first_call) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(results == [[0, 0, 0, 1]] * 8)
    """
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "True\n"


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="a build with a GIL")
def test_the_free_threaded_build_keeps_the_gil_disabled():
    # An extension that does not declare itself safe without the GIL turns it back on for the
    # whole process at import, with a RuntimeWarning, here made an error.
    code = "import sys, vantorix_core as vc; vc.detect_continuous_outliers([1.0, 9.0], 1.0); "
    code += "print(sys._is_gil_enabled())"
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    proc = subprocess.run(
        [sys.executable, "-W", "error::RuntimeWarning", "-c", code],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    assert proc.stdout == "False\n", proc.stderr
