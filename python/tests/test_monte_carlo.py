"""nlayer.monte_carlo against what the C++ tests do not see: the Python conversions, shapes,
seeds and the re-weighting of a white run's path record handed back and forth."""

import numpy as np
import pytest

import nlayer

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
