"""Shared fixtures. Run with PYTHONPATH=<build>/python (scripts/test.sh does)."""

import os
import pathlib

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
