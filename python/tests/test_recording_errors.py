"""Errors from the data: the moments method's stated errors against the scatter of simulated
recordings with a device's intensity scale and physiological noise, and the block means'
errors against closed forms of correlated noise."""

import numpy as np
import pytest

from nlayer import recording as rec
from nlayer.recording import blocks
from conftest import LAYERS, WAVELENGTHS

RHO = [10.0, 30.0]
TIME = np.arange(0.0, 50.0, 0.5)                 # 100 time points at 2 Hz; the baseline: 30 points to 14.5 s
TASK = (TIME >= 20.0) & (TIME < 35.0)            # 30 points
ACTIVATION = {2: (5.0 * TASK, -2.0 * TASK)}
# Mostly in the extracerebral layer, as systemic changes are; a smaller share in the brain.
PHYSIOLOGY = {1: 1.0, 2: 0.3}
# Few, wide gates keep the 20 recordings cheap; the moments need only the window to hold the DTOF.
GATES = dict(dt_ps=20.0, samples=512)


@pytest.fixture(scope="module")
def media():
    return rec.hemoglobin_media(WAVELENGTHS, LAYERS)


@pytest.fixture(scope="module")
def clean(media):
    """The method's answer without noise: what the noisy recordings scatter about (the
    first-order method's own bias is not the errors' business)."""
    expected = rec.simulate_recording(None, media, RHO, TIME, changes=ACTIVATION, counts=1e6, seed=None, **GATES)
    return rec.moments_method(expected, media, baseline=(0, 14.9), engine="fast")


def pulls(results, clean):
    """Per time point and per task block, (value - clean) / stated error of the scalp's and the
    brain's HbO and HbR over all recordings."""
    points, means = [], []
    reference = blocks.block_average(clean, TASK)
    for result in results:
        average = blocks.block_average(result, TASK)
        for name in ("hbo", "hbr"):
            values, errors = getattr(result, name), getattr(result, f"{name}_err")
            points.append(((values - getattr(clean, name)) / errors).ravel())
            means.append((average[name][0] - reference[name][0]) / average[name][1])
    return np.concatenate(points), np.concatenate(means)


@pytest.mark.parametrize("output, scale", [("moments", 3.7e-3), ("gated", 1.0)])
def test_stated_errors_equal_the_scatter_under_physiology(media, clean, output, scale):
    results = []
    for seed in range(20):
        recording = rec.simulate_recording(None, media, RHO, TIME, changes=ACTIVATION, counts=1e6, seed=seed,
                                           physiology=PHYSIOLOGY, physiology_seed=100 + seed, scale=scale,
                                           output=output, **GATES)
        results.append(rec.moments_method(recording, media, baseline=(0, 14.9), engine="fast"))
    assert {r.noise for r in results} == {"baseline" if output == "moments" else "baseline, Poisson floor"}
    points, means = pulls(results, clean)
    assert 0.7 < points.std() < 1.3
    assert 0.7 < means.std() < 1.3
    # Shot noise alone would claim a fraction of the scatter: the physiology is what counts.
    poisson = rec.moments_method(rec.simulate_recording(None, media, RHO, TIME, changes=ACTIVATION, counts=1e6,
                                                        seed=0, **GATES), media, baseline=(0, 14.9),
                                 engine="fast")
    assert np.median(results[0].hbo_err[:, 0]) > 1.5 * np.median(poisson.hbo_err[:, 0])


def test_pure_poisson_noise_keeps_its_errors_on_either_route(media, clean):
    short, long = [], []
    for seed in range(20):
        recording = rec.simulate_recording(None, media, RHO, TIME, changes=ACTIVATION, counts=1e6, seed=seed, **GATES)
        # Eight baseline points: too few for a scatter, so the counts' Poisson noise alone.
        short.append(rec.moments_method(recording, media, baseline=(0, 3.9), engine="fast"))
        long.append(rec.moments_method(recording, media, baseline=(0, 14.9), engine="fast"))
    assert {r.noise for r in short} == {"Poisson"} and {r.noise for r in long} == {"baseline, Poisson floor"}
    # Each against the noiseless analysis with its own baseline.
    reference = rec.moments_method(rec.simulate_recording(None, media, RHO, TIME, changes=ACTIVATION, seed=None,
                                                          **GATES), media, baseline=(0, 3.9), engine="fast")
    for results, clean_run in ((short, reference), (long, clean)):
        points, means = pulls(results, clean_run)
        assert 0.7 < points.std() < 1.3 and 0.7 < means.std() < 1.3


def test_a_device_scale_changes_nothing_and_moments_need_a_baseline(media):
    one, scaled = (rec.moments_method(rec.simulate_recording(None, media, RHO, TIME, changes=ACTIVATION, seed=4,
                                                             physiology=PHYSIOLOGY, scale=scale, output="moments",
                                                             **GATES), media, baseline=(0, 14.9), engine="fast")
                   for scale in (1.0, 2.5e-4))
    for name in ("hbo", "hbr", "hbo_err", "hbr_err", "mua_err"):
        np.testing.assert_allclose(getattr(scaled, name), getattr(one, name), rtol=1e-9, atol=1e-12)
    recording = rec.simulate_recording(None, media, RHO, TIME, seed=4, output="moments", **GATES)
    with pytest.raises(ValueError, match="the baseline period holds 8 time points; .* needs at least 10"):
        rec.moments_method(recording, media, baseline=(0, 3.9), engine="fast")


def test_correlated_noise_variances_match_their_closed_forms():
    rng = np.random.default_rng(5)
    T = 60
    lags = np.abs(np.subtract.outer(np.arange(T), np.arange(T)))
    for r in (0.0, 0.4, 0.93):
        correlation = r ** lags
        weights = rng.standard_normal(T)
        assert blocks.weighted_variance(weights, r) == pytest.approx(weights @ correlation @ weights, rel=1e-12)
        # A block of n alone: n (1 + r) / (1 - r) - 2 r (1 - r^n) / (1 - r)^2 over n^2.
        n = 25
        block = np.r_[np.ones(n), np.zeros(T - n)] / n
        closed = (n * (1 + r) / (1 - r) - 2 * r * (1 - r**n) / (1 - r) ** 2) / n**2
        assert blocks.weighted_variance(block, r) == pytest.approx(closed, rel=1e-12)
        # A time point less the mean of the first 10: e_t - b over the correlation matrix.
        inside = np.arange(T) < 10
        b = inside / 10.0
        expected = [(np.eye(T)[t] - b) @ correlation @ (np.eye(T)[t] - b) for t in range(T)]
        np.testing.assert_allclose(blocks.change_variance_factors(inside, r), expected, rtol=1e-10, atol=1e-15)
    # 5000 points with a correlation reaching thousands of lags go by FFT: the same numbers.
    inside, r = np.arange(5000) < 400, 0.995
    factors = blocks.change_variance_factors(inside, r)
    for t in (0, 399, 401, 4999):
        row = np.eye(1, 5000, t)[0] - inside / 400.0
        support = np.flatnonzero(row)
        assert factors[t] == pytest.approx(
            row[support] @ (r ** np.abs(np.subtract.outer(support, support))) @ row[support], rel=1e-9)
    # The estimate of sigma and r from an AR(1) series with a trend (which it removes).
    r, n = 0.7, 20000
    noise = np.zeros(n)
    shocks = rng.standard_normal(n) * np.sqrt(1 - r * r)
    for k in range(1, n):
        noise[k] = r * noise[k - 1] + shocks[k]
    sigma, lag1 = blocks.serial_noise(noise + 1e-3 * np.arange(n), np.arange(n, dtype=float), np.ones(n, bool))
    assert sigma == pytest.approx(1.0, abs=0.05) and lag1 == pytest.approx(r, abs=0.02)


def test_physiology_scale_and_moments_in_the_simulated_recording(media):
    import nlayer
    from nlayer.recording import simulate

    course = simulate._physiology(TIME, 1)
    assert course.std() == pytest.approx(1.0, rel=0.15)
    # Interpolated along the course, the DTOF is the model's at that time point's medium.
    per_uM = rec.media._mua_per_uM(np.array(WAVELENGTHS))
    expected = rec.simulate_recording(None, media, RHO, TIME, changes=ACTIVATION, seed=None,
                                      physiology=PHYSIOLOGY, **GATES)
    for i in (3, 50):
        for w, medium in enumerate(media.values()):
            changed = medium
            for layer, amplitude in PHYSIOLOGY.items():
                hbo = amplitude * course[i] + ACTIVATION.get(layer, (0 * TASK, 0 * TASK))[0][i]
                hbr = 0.25 * amplitude * course[i] + ACTIVATION.get(layer, (0 * TASK, 0 * TASK))[1][i]
                changed = changed.replace(layer, mua=medium.layers[layer - 1].mua + per_uM[w] @ [hbo, hbr])
            direct = nlayer.time_resolved(changed, RHO, samples=GATES["samples"], dt_ps=GATES["dt_ps"], engine="fast")[1]
            at_baseline = nlayer.time_resolved(medium, RHO, samples=GATES["samples"], dt_ps=GATES["dt_ps"],
                                               engine="fast")[1]
            curves = np.maximum(direct * (1e6 / at_baseline.sum(axis=1))[:, None], 0.0)
            np.testing.assert_allclose(expected.counts[i, 2 * w:2 * w + 2], curves, rtol=0, atol=1e-9 * curves.max())
    # The scale multiplies the noisy counts; moments data are those counts' moments.
    plain, scaled, moments = (rec.simulate_recording(None, media, RHO, TIME[:5], seed=9, physiology=1.0, scale=s,
                                                     output=o, **GATES)
                              for s, o in ((1.0, "gated"), (0.02, "gated"), (0.02, "moments")))
    np.testing.assert_allclose(scaled.counts, 0.02 * plain.counts, rtol=1e-15)
    assert np.all(plain.counts == np.round(plain.counts))
    t = plain.gate_ps
    one = plain.counts[2, 3]
    mean = one @ t / one.sum()
    np.testing.assert_allclose(moments.moments[2, 3], [0.02 * one.sum(), mean, one @ (t - mean) ** 2 / one.sum()],
                               rtol=1e-9)
