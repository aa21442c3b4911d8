"""Sweeps on local threads and on a Dask cluster against single calls, bit for bit."""

from decimal import Decimal
import os
import signal

import numpy as np
import pytest

import nlayer
import nlayer._sweep
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


def faulting():
    # mua / D = 3 mua mus' of the bottom layer passes the extended range.
    return nlayer.Medium([nlayer.Layer(musp=1.0, mua=0.01, n=1.4, d=100.0),
                          nlayer.Layer(musp=1.0, mua=Decimal("1e4932"), n=1.4, d=100.0)])


@pytest.mark.parametrize("where", ["local", "dask"])
def test_a_faulting_model(where, request, expected):
    kwargs = dict(client=request.getfixturevalue("client")) if where == "dask" else {}
    batch = list(media(3)) + [faulting()] + list(media(7))[3:]
    with pytest.raises(nlayer.ModelError, match="overflow") as caught:
        nlayer.sweep(batch, rho=RHO, **kwargs, **GRID)
    assert "in model 3 of the sweep" in "".join(caught.value.__notes__)

    filled = nlayer.sweep(batch, rho=RHO, on_error="nan", **kwargs, **GRID).R
    assert np.isnan(filled[3]).all()
    assert np.array_equal(np.delete(filled, 3, axis=0), expected)


def test_a_failed_sweep_keeps_what_it_computed(expected):
    def check(error, must_be_valid, must_be_invalid, rows):
        valid, R = error.valid, error.partial.R
        assert valid.shape == (len(R),) and valid.dtype == bool
        assert valid[must_be_valid].all() and not valid[must_be_invalid].any()
        assert np.array_equal(R[valid], rows[valid]) and np.isnan(R[~valid]).all()
        assert np.array_equal(error.partial.t_ps, nlayer.time_resolved(two_layer(), rho=RHO, **GRID)[0])
        assert "error.partial" in "".join(error.__notes__)

    # A fault in model 3 of chunk [2, 3]: model 2 before it and the other chunk in flight stay.
    batch = list(media(3)) + [faulting()] + list(media(7))[3:]
    with_fault = np.insert(expected, 3, np.nan, axis=0)
    with pytest.raises(nlayer.ModelError, match="overflow") as caught:
        nlayer.sweep(batch, rho=RHO, chunk_size=2, workers=1, **GRID)
    check(caught.value, [0, 1, 2], [3], with_fault)
    # A generator that yields fewer, or more, media than count.
    with pytest.raises(ValueError, match="held 3 models, not count=5") as caught:
        nlayer.sweep(media(3), rho=RHO, count=5, **GRID)
    check(caught.value, [0, 1, 2], [3, 4], np.concatenate([expected[:3], expected[:2]]))
    with pytest.raises(ValueError, match="more than count=4") as caught:
        nlayer.sweep(media(7), rho=RHO, count=4, chunk_size=3, **GRID)
    check(caught.value, [0, 1, 2, 3], [], expected[:4])
    # An item that is no Medium late in the list; its chunk's media before it are kept.
    with pytest.raises(TypeError, match=r"media\[5\] is a str") as caught:
        nlayer.sweep(list(media(5)) + ["medium"] + list(media(7))[5:], rho=RHO, chunk_size=2, **GRID)
    check(caught.value, [0, 1, 2, 3, 4], [5, 6, 7], np.insert(expected, 5, np.nan, axis=0))


def test_a_stopped_worker_costs_one_timeout(expected):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster) as client:
        pids = [nanny.pid for nanny in cluster.workers.values()]
        try:
            os.kill(pids[0], signal.SIGSTOP)
            # Its chunks time out and run again on the other worker.
            result = nlayer.sweep(media(7), rho=RHO, client=client, count=7, chunk_size=2, timeout=2.0, **GRID)
            assert np.array_equal(result.R, expected)
            # With both stopped the second try fails too, and the error names the chunk.
            os.kill(pids[1], signal.SIGSTOP)
            with pytest.raises(TimeoutError, match=r"the chunk of models 0 to 1 did not finish within "
                                                   r"timeout=1 s, neither at first nor resubmitted once"):
                nlayer.sweep(media(2), rho=RHO, client=client, count=2, chunk_size=2, timeout=1.0, **GRID)
        finally:
            for pid in pids:
                os.kill(pid, signal.SIGCONT)


def test_a_worker_stopped_mid_sweep_is_found_without_a_timeout(expected, monkeypatch):
    distributed = pytest.importorskip("distributed")
    # The default's floor of a minute would make this test wait minutes; a few seconds keep
    # clients and schedulers slowed by a loaded machine from looking stalled.
    monkeypatch.setattr(nlayer._sweep, "_STALL_FLOOR_S", 2.0)

    def stopping(pids, at):
        """media(7), stopping the worker processes when the sweep asks for model `at`: the
        sweep has then seen `at` - 3 of its first chunks finish (4 are in flight)."""
        for i, medium in enumerate(media(7)):
            if i == at:
                for pid in pids:
                    os.kill(pid, signal.SIGSTOP)
            yield medium

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster) as client:
        pids = [nanny.pid for nanny in cluster.workers.values()]
        # Workers that import nlayer only for the first chunk would make it the longest.
        client.run(__import__, "nlayer")
        try:
            # One of two stopped: its chunks run again on the other, and the sweep completes.
            result = nlayer.sweep(stopping(pids[:1], 4), rho=RHO, client=client, count=7, chunk_size=1, **GRID)
            assert np.array_equal(result.R, expected)
            os.kill(pids[0], signal.SIGCONT)
            # Both stopped: the sweep ends with the error of a timeout and what it computed.
            with pytest.raises(TimeoutError, match='did not finish within .* s \\(timeout="auto"') as caught:
                nlayer.sweep(stopping(pids, 6), rho=RHO, client=client, count=7, chunk_size=1, **GRID)
            valid = caught.value.valid
            assert 3 <= valid.sum() < 7
            assert np.array_equal(caught.value.partial.R[valid], expected[valid])
        finally:
            for pid in pids:
                os.kill(pid, signal.SIGCONT)


@pytest.mark.parametrize("call, error, text", [
    (lambda: nlayer.sweep(media(3), rho=RHO), TypeError, "count"),
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
