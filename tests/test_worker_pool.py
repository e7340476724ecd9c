"""The core's worker threads: kept between calls, shared by callers on several Python
threads at once (each getting its own, unchanged result), and started afresh in a child
made by fork()."""

import os
import pathlib
import select
import threading
import warnings

import numpy as np
import pytest

from Aerolume.atmosphere import standard_atmosphere
from Aerolume.io import read_licel

SAMPLES = sorted((pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "licel")
                 .glob("RM*"))
ALTITUDES = np.linspace(0.0, 86_000.0, 100_003)


def test_callers_on_many_threads_share_the_workers_and_get_their_own_results():
    air = standard_atmosphere(ALTITUDES, threads=1)
    raw = read_licel(SAMPLES, threads=1)
    failures = []

    def caller(k):
        try:
            for round_ in range(4):
                z = ALTITUDES[k * 1000:]
                mine = standard_atmosphere(z, threads=2 + (k + round_) % 3)
                if not np.array_equal(mine.pressure, air.pressure[k * 1000:]):
                    failures.append(f"caller {k}: pressures differ")
                if k % 2 == 0 and not read_licel(SAMPLES, threads=3).identical(raw):
                    failures.append(f"caller {k}: the raw files read differently")
        except Exception as e:  # pragma: no cover - reported below
            failures.append(f"caller {k}: {e!r}")

    callers = [threading.Thread(target=caller, args=(k,)) for k in range(6)]
    for c in callers:
        c.start()
    for c in callers:
        c.join(timeout=300)
    assert not any(c.is_alive() for c in callers), "a caller never returned"
    assert failures == []


def _child_answer(pid, read_end) -> bytes:
    try:
        ready, _, _ = select.select([read_end], [], [], 60)
        if not ready:
            os.kill(pid, 9)
            return b"hung"
        return os.read(read_end, 64)
    finally:
        os.close(read_end)
        os.waitpid(pid, 0)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_a_child_forked_while_other_threads_use_the_workers_gets_workers_of_its_own():
    z = ALTITUDES[:20_000]
    expected = standard_atmosphere(z, threads=1).pressure
    stop = threading.Event()

    def busy():  # keeps the workers' queue changing while the main thread forks
        while not stop.is_set():
            standard_atmosphere(z, threads=2)

    others = [threading.Thread(target=busy) for _ in range(2)]
    for t in others:
        t.start()
    answers = []
    try:
        for _ in range(20):
            read_end, write_end = os.pipe()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a threaded process
                pid = os.fork()
            if pid == 0:  # the child: answer through the pipe, never return into the test run
                try:
                    same = np.array_equal(standard_atmosphere(z, threads=2).pressure, expected)
                    os.write(write_end, b"same" if same else b"different")
                finally:
                    os._exit(0)
            os.close(write_end)
            answers.append(_child_answer(pid, read_end))
            if answers[-1] != b"same":
                break
    finally:
        stop.set()
        for t in others:
            t.join()
    assert answers == [b"same"] * 20, answers[-1]
