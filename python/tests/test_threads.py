"""The GIL is released during a computation, and Ctrl-C ends a long one promptly."""

import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import nlayer
from conftest import EXAMPLES, interrupted, python_env


def test_python_threads_run_while_a_model_computes(head):
    results = []
    worker = threading.Thread(target=lambda: results.append(
        nlayer.time_resolved(head, rho=30.0, samples=2048, threads=1)[1]))
    start = time.perf_counter()
    worker.start()
    stamps = [start]
    while worker.is_alive():
        stamps.append(time.perf_counter())
    worker.join()
    duration = stamps[-1] - start
    # With the GIL held for the call, this thread would stand still for all of it.
    assert duration > 0.2
    assert np.diff(stamps).max() < 0.25 * duration

    # Two threads at once compute what one thread computes alone.
    pair = [None, None]
    threads = [threading.Thread(target=lambda i=i: pair.__setitem__(
        i, nlayer.time_resolved(head, rho=30.0, samples=2048, threads=1)[1])) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert np.array_equal(pair[0], results[0]) and np.array_equal(pair[1], results[0])


SCRIPT = """
import sys, nlayer
head = nlayer.read_model(sys.argv[2]).medium
print("computing", flush=True)
if sys.argv[1] == "sweep":
    nlayer.sweep([head] * 400, rho=30.0)  # some minutes on two cores
else:
    nlayer.time_resolved(head, rho=30.0, samples=65536, threads=1)  # about a minute
print("finished", flush=True)
"""


@pytest.mark.parametrize("what", ["sweep", "single"])
def test_ctrl_c_ends_a_long_computation_within_a_second(what):
    stdout, stderr, status, elapsed = interrupted(SCRIPT, what, str(EXAMPLES / "adult_head" / "input.dat"), timeout=30)
    assert "KeyboardInterrupt" in stderr and "finished" not in stdout
    assert status == -signal.SIGINT, stderr
    # One second, with room for a loaded machine; the computations take minutes.
    assert elapsed < 2.5


STOPPED_SCRIPT = """
import sys, time, nlayer
head = nlayer.read_model(sys.argv[1]).medium
print("computing", flush=True)
try:
    nlayer.time_resolved(head, rho=30.0, samples=65536, threads=1)  # about a minute
except KeyboardInterrupt:
    start = time.process_time()
    time.sleep(1.0)
    print("cpu", time.process_time() - start, flush=True)
"""


def test_ctrl_c_stops_the_computation_itself():
    # Caught, the interrupt leaves no computation running behind it: the process is idle.
    process = subprocess.Popen([sys.executable, "-c", STOPPED_SCRIPT, str(EXAMPLES / "adult_head" / "input.dat")],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=python_env())
    try:
        assert process.stdout.readline() == "computing\n"
        time.sleep(1.0)
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=30)
    finally:
        process.kill()
    assert process.returncode == 0, stderr
    cpu = float(stdout.split()[-1])
    # A computation left running would use a whole core, about 1 s of CPU in that second.
    assert cpu < 0.2, stdout
