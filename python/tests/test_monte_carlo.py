"""nlayer.monte_carlo against what the C++ tests do not see: the Python conversions, shapes,
seeds and the re-weighting of a white run's path record handed back and forth."""

import signal

import numpy as np
import pytest

import nlayer
from conftest import interrupted

HALF_SPACE = nlayer.Medium([(1.0, 0.02, 1.4)])


def test_curves_have_the_shapes_of_time_resolved():
    one = nlayer.monte_carlo(HALF_SPACE, 10.0, photons=2000, g=0.0, width_mm=4.0, dt_ps=100.0, samples=64)
    t_ps, R = nlayer.time_resolved(HALF_SPACE, 10.0, dt_ps=100.0, samples=64)
    np.testing.assert_array_equal(one.t_ps, t_ps)
    assert one.R.shape == R.shape == one.R_error.shape
    assert one.photons == 2000 and one.batches == 20 and one.paths is None
    two = nlayer.monte_carlo(HALF_SPACE, [10.0, 20.0], photons=2000, g=0.0, width_mm=4.0, dt_ps=100.0, samples=64)
    assert two.R.shape == (2, 32)
    # The same seed, the same photons: the first distance is the single run's, bit for bit.
    np.testing.assert_array_equal(two.R[0], one.R)


def test_white_run_reweights_to_a_direct_run():
    options = dict(photons=40_000, g=0.0, width_mm=4.0, dt_ps=100.0, samples=64)
    white = nlayer.monte_carlo(HALF_SPACE, 10.0, white=True, seed=2, **options)
    assert white.paths.path_mm.shape == (len(white.paths.weight), 1)
    re = nlayer.monte_carlo_reweight(white, [0.02])
    direct = nlayer.monte_carlo(HALF_SPACE, 10.0, seed=3, **options)
    joint = np.hypot(re.R_error, direct.R_error).sum()
    assert abs(re.R.sum() - direct.R.sum()) < 4 * joint
    # One layer: the mean partial pathlength is the mean time of flight times c / n.
    weights = white.paths.weight * np.exp(-0.02 * white.paths.path_mm[:, 0])
    mean_time = (weights * white.paths.time_ps).sum() / weights.sum()
    assert re.mean_partial_path_mm[0] == pytest.approx(mean_time * 0.299792458 / 1.4, rel=1e-9)


def test_refusals():
    with pytest.raises(ValueError) as error:
        nlayer.monte_carlo(HALF_SPACE, 10.0, photons=100, g=1.0)
    assert error.value.field == "g"
    direct = nlayer.monte_carlo(HALF_SPACE, 10.0, photons=100)
    with pytest.raises(ValueError):
        nlayer.monte_carlo_reweight(direct, [0.01])


HEAD = nlayer.Medium([(1.9, 0.018, 1.4, 3), (1.6, 0.016, 1.4, 7), (0.25, 0.004, 1.4, 2), (1.2, 0.02, 1.4, 50)])
RUN = dict(photons=1200, batches=6, width_mm=4.0, dt_ps=50.0, samples=32, seed=4, white=True)


def assert_same_run(a, b):
    for field in ("t_ps", "R", "R_error"):
        np.testing.assert_array_equal(getattr(a, field), getattr(b, field))
    assert (a.photons, a.batches, a.total_reflectance, a.total_transmittance, a.unfinished) == \
        (b.photons, b.batches, b.total_reflectance, b.total_transmittance, b.unfinished)
    for x, y in zip(a.paths, b.paths):
        np.testing.assert_array_equal(x, y)


def test_batches_one_per_core_or_on_a_cluster_are_the_local_run():
    local = nlayer.monte_carlo(HEAD, [10.0, 20.0], threads=1, **RUN)
    assert len(local.paths.weight) > 0
    # progress=True runs the batches one per task on the local cores, as a cluster would.
    assert_same_run(nlayer.monte_carlo(HEAD, [10.0, 20.0], progress=True, threads=2, **RUN), local)
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        assert_same_run(nlayer.monte_carlo(HEAD, [10.0, 20.0], client=client, progress=False, **RUN), local)
        # A refused run fails on the workers as it does locally.
        with pytest.raises(ValueError):
            nlayer.monte_carlo(HEAD, 10.0, photons=100, g=1.0, client=client, progress=False)


CTRL_C_SCRIPT = """
import sys, nlayer
head = nlayer.Medium([(1.9, 0.018, 1.4, 3), (1.6, 0.016, 1.4, 7), (0.25, 0.004, 1.4, 2), (1.2, 0.02, 1.4, 50)])
print("computing", flush=True)
# Batches of 5e6 photons, minutes each: the interrupt must not wait for the ones under way.
nlayer.monte_carlo(head, 30.0, photons=10**8, batches=20, threads=2, progress=sys.argv[1] == "batches")
print("finished", flush=True)
"""


@pytest.mark.parametrize("how", ["batches", "whole"])
def test_ctrl_c_ends_a_run_within_a_second(how):
    stdout, stderr, status, elapsed = interrupted(CTRL_C_SCRIPT, how)
    assert "KeyboardInterrupt" in stderr and "finished" not in stdout
    assert status == -signal.SIGINT, stderr
    assert elapsed < 2.5
