"""Sweeps on local threads and on a Dask cluster against single calls, bit for bit."""

import numpy as np
import pytest

import nlayer
from conftest import two_layer

RHO = [10.0, 30.0]
GRID = dict(dt_ps=20.0, samples=256)  # a short grid keeps the many models quick


def media(count):
    # One- and two-layer media of several thicknesses, with a fault-free variety of values.
    for i in range(count):
        if i % 3 == 0:
            yield nlayer.Medium([nlayer.Layer(musp=1.0 + 0.1 * i, mua=0.01, n=1.4)])
        else:
            yield two_layer(top_d=2.0 + i, top_mua=0.005 + 0.001 * i)


@pytest.fixture(scope="module")
def expected():
    """Each model alone, its frequencies on two threads (the sweep uses one per model)."""
    return np.stack([nlayer.time_resolved(m, rho=RHO, threads=2, **GRID)[1] for m in media(7)])


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


def test_local_sweep_equals_single_calls(expected):
    t_ps, R = nlayer.sweep(list(media(7)), rho=RHO, **GRID)
    assert np.array_equal(R, expected)
    assert np.array_equal(t_ps, nlayer.time_resolved(two_layer(), rho=RHO, **GRID)[0])
    # A generator in chunks, streamed into the array, on one worker thread.
    streamed = nlayer.sweep(media(7), rho=RHO, count=7, chunk_size=3, workers=1, threads=2, **GRID)
    assert np.array_equal(streamed.R, expected)
    single_rho = nlayer.sweep(list(media(7)), rho=RHO[1], **GRID).R
    assert single_rho.shape == (7, 128) and np.array_equal(single_rho, expected[:, 1])


def test_dask_sweep_equals_local_sweep(client, expected):
    for chunk_size in (None, 2):
        on_cluster = nlayer.sweep(media(7), rho=RHO, client=client, count=7, chunk_size=chunk_size, **GRID)
        assert np.array_equal(on_cluster.R, expected)
    # The engine reaches the workers.
    fast = np.stack([nlayer.time_resolved(m, rho=RHO, engine="fast", **GRID)[1] for m in media(7)])
    assert np.array_equal(nlayer.sweep(media(7), rho=RHO, client=client, count=7, engine="fast", **GRID).R, fast)
    assert np.array_equal(nlayer.sweep(list(media(7)), rho=RHO, engine="fast", **GRID).R, fast)


def thick():
    return nlayer.Medium([nlayer.Layer(musp=1.0, mua=0.01, n=1.4, d=100.0),
                          nlayer.Layer(musp=1.0, mua=0.01, n=1.4, d=100.0)])


@pytest.mark.parametrize("where", ["local", "dask"])
def test_a_faulting_model(where, request, expected):
    kwargs = dict(client=request.getfixturevalue("client")) if where == "dask" else {}
    batch = list(media(3)) + [thick()] + list(media(7))[3:]
    with pytest.raises(nlayer.ModelError, match="overflow") as caught:
        nlayer.sweep(batch, rho=RHO, **kwargs, **GRID)
    assert "in model 3 of the sweep" in "".join(caught.value.__notes__)

    filled = nlayer.sweep(batch, rho=RHO, on_error="nan", **kwargs, **GRID).R
    assert np.isnan(filled[3]).all()
    assert np.array_equal(np.delete(filled, 3, axis=0), expected)


@pytest.mark.parametrize("call, error, text", [
    (lambda: nlayer.sweep(media(3), rho=RHO), TypeError, "count"),
    (lambda: nlayer.sweep(media(3), rho=RHO, count=4), ValueError, "held 3 models, not count=4"),
    (lambda: nlayer.sweep(media(5), rho=RHO, count=4), ValueError, "more than count=4"),
    (lambda: nlayer.sweep([two_layer(), "medium"], rho=RHO), TypeError, r"media\[1\] is a str"),
    (lambda: nlayer.sweep(two_layer(), rho=RHO), TypeError, "time_resolved"),
    (lambda: nlayer.sweep([two_layer()], rho=RHO, on_error="skip"), ValueError, "on_error"),
    (lambda: nlayer.sweep([two_layer()], rho=RHO, samples=100), ValueError, "samples is 100"),
])
def test_bad_sweeps(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_empty_sweep():
    assert nlayer.sweep([], rho=RHO, **GRID).R.shape == (0, 2, 128)
