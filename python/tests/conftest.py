"""Shared fixtures. Run with PYTHONPATH=<build>/python (scripts/test.sh does)."""

import os
import pathlib
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import nlayer

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = REPOSITORY / "examples"


@pytest.fixture(scope="session")
def nlayer_run():
    """The headless command of the same build: <build>/bin/nlayer-run, or $NLAYER_RUN."""
    path = pathlib.Path(os.environ.get("NLAYER_RUN") or
                        pathlib.Path(nlayer.__file__).resolve().parents[2] / "bin" / "nlayer-run")
    assert path.is_file(), f"nlayer-run not found at {path}; build it or set NLAYER_RUN"
    return path


@pytest.fixture(scope="session")
def head():
    return nlayer.read_model(EXAMPLES / "adult_head" / "input.dat").medium


def python_env():
    """The environment for a child python3 that imports this very nlayer, from any directory."""
    env = os.environ.copy()
    package_parent = str(pathlib.Path(nlayer.__file__).resolve().parents[1])
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_parent, env.get("PYTHONPATH")]))
    return env


def two_layer(top_d=5.0, top_mua=0.01):
    return nlayer.Medium([nlayer.Layer(musp=1.0, mua=top_mua, n=1.4, d=top_d),
                          nlayer.Layer(musp=2.0, mua=0.03, n=1.4, d=15.0)])


def write_model(path, layers, rho):
    """A model file as the window reads it: the count, four values per layer, then rho."""
    values = [str(len(layers))] + [str(v) for layer in layers for v in layer] + [str(rho)]
    path.write_text("\n".join(values) + "\n")
    return path


def pytest_configure(config):
    # Debian's tornado under Dask warns about its own event-loop use.
    config.addinivalue_line("filterwarnings", "ignore::DeprecationWarning:tornado.*")
    # scripts/test.sh --quick leaves these out; the whole suite (and CI) runs them.
    config.addinivalue_line("markers", "slow: takes tens of seconds; left out of scripts/test.sh --quick")


# The two-layer head of the recording tests at two wavelengths: scalp and skull, then brain.
WAVELENGTHS = [760.0, 850.0]
LAYERS = [dict(HbO=40.0, HbR=20.0, musp=(1.2, 1.0), n=1.4, d=12.0),
          dict(HbO=50.0, HbR=25.0, musp=(1.0, 1.0), n=1.4, d=50.0)]


def gaussian_irf(gates):
    """An instrument response of 1e5 counts at its peak, 200 ps, 40 ps wide, on `gates` (ps)."""
    return gates, 1e5 * np.exp(-0.5 * ((gates - 200.0) / 40.0) ** 2)


def interrupted(script, *args, timeout=60):
    """Runs `python -c script args`, which prints "computing" before a computation of minutes,
    sends it Ctrl-C a second later and returns (stdout, stderr, return code, seconds from the
    signal to its end). An uncaught KeyboardInterrupt ends Python as the signal would have."""
    process = subprocess.Popen([sys.executable, "-c", script, *args], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, env=python_env())
    try:
        assert process.stdout.readline() == "computing\n"
        time.sleep(1.0)
        assert process.poll() is None
        sent = time.perf_counter()
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=timeout)
        return stdout, stderr, process.returncode, time.perf_counter() - sent
    finally:
        process.kill()
