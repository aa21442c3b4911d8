"""The baseline held against the model, the model's scattering fitted to the baseline, and the fit
method's joint fit of every distance: small simulated recordings of a two- or three-layer head."""

import dataclasses
import math

import numpy as np
import pytest

from nlayer import _analyze
from nlayer import recording as rec
from nlayer.recording import baseline_check
from conftest import LAYERS, WAVELENGTHS

RHO = [10.0, 30.0]
# 128 gates of 20 ps reach 2.56 ns, where the 30-mm curve of the two-layer head has fallen to
# well below 1 % of its peak: the fit range ends inside the window.
DT, SAMPLES = 20.0, 256
GATES = DT * np.arange(1, SAMPLES // 2 + 1)
IRF = (GATES, 1e5 * np.exp(-0.5 * ((GATES - 200.0) / 40.0) ** 2))
# Prahl's molar extinction (cm^-1/M, decadic) of HbO and HbR at 760 and 850 nm.
EPSILON = np.array([[586.0, 1548.52], [1058.0, 691.32]])


def _media(scatter=1.0, layers=LAYERS):
    media = rec.hemoglobin_media(WAVELENGTHS, layers)
    return {nm: _scaled(m, scatter) for nm, m in media.items()}


def _scaled(medium, factor, layers=None):
    for k in layers or range(1, len(medium) + 1):
        medium = medium.replace(k, musp=factor * medium.layers[k - 1].musp)
    return medium


def _static(media, points=1, counts=1e6, seed=1):
    return rec.simulate_recording(None, media, RHO, np.arange(float(points)), irf=IRF, counts=counts, dt_ps=DT,
                                  samples=SAMPLES, seed=seed)


def test_student_t_limits_agree_with_their_closed_forms():
    tail = math.erfc(5.0 / math.sqrt(2.0))
    # One degree of freedom is Cauchy's, P(|T| > x) = 1 - 2 atan(x) / pi; two give 1 - x / sqrt(2 + x^2).
    assert baseline_check.t_limit(1) == pytest.approx(1.0 / math.tan(0.5 * math.pi * tail), rel=1e-3)
    assert baseline_check.t_limit(2) == pytest.approx(math.sqrt(2.0 / ((1.0 - tail) ** -2 - 1.0)), rel=1e-3)
    # Many degrees of freedom: the normal's 5 sigma.
    assert baseline_check.t_limit(20000) == pytest.approx(5.0, rel=1e-3)
    # Chi-square with many degrees of freedom is normal about nu with variance 2 nu.
    assert baseline_check.chi2_limit(1e6) == pytest.approx(1.0 + 5.0 * math.sqrt(2e-6), rel=1e-4)


def test_a_correct_model_passes_at_any_count_level_and_scattering_10_percent_off_fails():
    media = _media()
    for counts in (1e3, 1e6, 1e9):
        for seed in (1, 2):
            check = rec.check_baseline(_static(media, counts=counts, seed=seed), media, IRF)
            assert check.passed, (counts, seed, check.statistic)
    # One DTOF of 1e6 counts already tells every mus' 10 % off, either way, at every channel.
    recording = _static(media)
    for factor in (0.9, 1.1):
        check = rec.check_baseline(recording, _media(factor), IRF)
        assert np.all(check.statistic > check.limit), (factor, check.statistic)
        assert "S1-D2 760 nm" in check.sentence() and "--fit-baseline" in check.sentence()


def test_moments_data_are_held_against_the_model_in_standard_errors():
    media = _media()
    # 512 gates of 10 ps hold the whole curve, so its moments are the model's untruncated ones.
    gated = rec.simulate_recording(None, media, RHO, np.arange(20.0), counts=1e6, seed=4)
    found = rec.dtof_moments(gated.gate_ps, gated.counts)
    recording = dataclasses.replace(gated, kind="moments", counts=None, gate_ps=None, gate_width_ps=None,
                                    moments=np.stack([found.total, found.mean_time, found.variance], axis=2))
    check = rec.check_baseline(recording, media, baseline=(0, 19))
    assert check.passed and check.kind == "moments"
    off = rec.check_baseline(recording, _media(1.1), baseline=(0, 19))
    assert not off.passed and np.all(off.statistic > 5 * off.limit)
    # Too few points to tell the scatter: no verdict rather than a false one.
    few = rec.check_baseline(recording, _media(1.1), baseline=(0, 3))
    assert few.passed and "too few" in few.line()


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """A short recording (4 baseline points, then a brain change), its true and its 10 %-off
    models, and the IRF, as nlayer-analyze reads them."""
    folder = tmp_path_factory.mktemp("fitmethod")
    media = _media()
    time_s = np.arange(8.0)
    task = (time_s >= 4).astype(float)
    rec.simulate_recording(folder / "r.snirf", media, RHO, time_s, changes={2: (5 * task, -2 * task)}, irf=IRF,
                           counts=1e6, dt_ps=DT, samples=SAMPLES, seed=5, stim={"task": [(4.0, 4.0, 1.0)]})
    np.savetxt(folder / "irf.csv", np.column_stack(IRF), delimiter=",")
    for name, scatter in (("true", 1.0), ("off", 1.1)):
        for nm, medium in _media(scatter).items():
            values = [len(medium)] + [v for layer in medium.layers for v in (layer.musp, layer.mua, layer.n, layer.d)]
            (folder / f"{name}{nm:g}.dat").write_text("\n".join(repr(v) for v in values) + "\n")
    return folder, media


def _analyze_run(folder, model, *more):
    return _analyze.main([str(folder / "r.snirf"), "--model", f"760={folder / model}760.dat,850={folder / model}850.dat",
                          "--irf", str(folder / "irf.csv"), "--baseline", "0:3", *more])


def test_the_command_exits_3_naming_channels_and_fit_baseline_mends_it(files, capsys):
    folder, media = files
    assert _analyze_run(folder, "true") == 0
    assert "the model fits" in capsys.readouterr().out
    # Every mus' 10 % off: exit 3 with the worst channels named, the results still written.
    assert _analyze_run(folder, "off", "--csv", str(folder / "off.csv")) == 3
    out, err = capsys.readouterr()
    assert "does not fit" in out and "the baseline does not fit the model" in err
    assert all(f"S1-D{d} {nm} nm" in err for d in (1, 2) for nm in (760, 850))
    assert (folder / "off.csv").stat().st_size > 0
    # Both layers' mus' fitted to the baseline: back within their stated errors of the truth.
    assert _analyze_run(folder, "off", "--fit-baseline", "musp1,musp2") == 0
    out = capsys.readouterr().out
    assert "the model fits" in out and "musp2: " in out
    recording = rec.read_snirf(folder / "r.snirf")
    fitted = rec.fit_baseline(recording, _media(1.1), IRF, ["musp1", "musp2"], baseline=(0, 3))
    for k in (1, 2):
        for nm in WAVELENGTHS:
            truth = media[nm].layers[k - 1].musp
            error = fitted.errors[f"musp{k}"][nm]
            assert abs(fitted.values[f"musp{k}"][nm] - truth) < 3 * error, (k, nm)
            assert 0 < error < 0.05 * truth
    assert fitted.media[760.0].layers[1].musp == fitted.values["musp2"][760.0]


def test_the_joint_fit_keeps_a_scalp_change_out_of_the_brain():
    """10^10 counts, whose noise is far below the bounds: the bias alone shows. (Noiseless
    data would start each fit at its exact minimum, where nlayer.fit rightly flags the solver
    for taking no step.) The older fit of the bottom layer alone leaks the scalp's
    change into the brain; every layer fitted jointly does not."""
    media = _media()
    time_s = np.arange(4.0)
    scalp = (time_s >= 2).astype(float)
    recording = rec.simulate_recording(None, media, RHO, time_s, changes={1: (5 * scalp, -2 * scalp)}, irf=IRF,
                                       counts=1e10, dt_ps=DT, samples=SAMPLES, seed=7)
    joint = rec.fit_method(recording, media, IRF, baseline=(0, 1), workers=1, progress=False)
    assert joint.changes and joint.names == ["layer 1", "layer 2"] and joint.success.all()
    # The scalp's mua change through the extinction coefficients, at each wavelength.
    expected = np.log(10) * 1e-7 * EPSILON @ np.array([5.0, -2.0])
    np.testing.assert_allclose(joint.mua[2:, 0, :], np.tile(expected, (2, 1)), rtol=0.01)
    assert np.all(np.abs(joint.hbo[2:, 1]) < 0.05 * 5.0) and np.all(np.abs(joint.hbr[2:, 1]) < 0.05 * 2.0)
    assert np.all(np.isfinite(joint.hbo_err)) and np.all(joint.hbo_err > 0)
    alone = rec.fit_method(recording, media, IRF, free=["mua2"], workers=1, progress=False)
    leak = alone.hbo[2:, 1].mean() - alone.hbo[:2, 1].mean()
    assert abs(leak) > 0.1 * 5.0


def test_groups_tie_the_changes_of_layers_whose_mua_differ():
    layers = [dict(LAYERS[0], d=4.0), dict(LAYERS[0], HbO=20.0, HbR=10.0, d=8.0), LAYERS[1]]
    media = _media(layers=layers)
    time_s = np.arange(3.0)
    step = (time_s >= 1).astype(float)
    # The two upper layers change alike, as the group says.
    recording = rec.simulate_recording(None, media, RHO, time_s, changes={1: (4 * step, 0.0), 2: (4 * step, 0.0)},
                                       irf=IRF, counts=1e10, dt_ps=DT, samples=SAMPLES, seed=8)
    result = rec.fit_method(recording, media, IRF, groups=[[1, 2], [3]], baseline=(0, 0), workers=1, progress=False)
    assert result.names == ["layers 1-2", "layer 3"] and result.groups == [[1, 2], [3]]
    assert result.success.all()
    np.testing.assert_allclose(result.hbo[1:, 0], 4.0, rtol=0.01)
    assert np.all(np.abs(result.hbo[1:, 1]) < 0.05 * 4.0)
    with pytest.raises(ValueError, match="groups go with the joint fit"):
        rec.fit_method(recording, media, IRF, free=["mua3"], groups=[[1, 2], [3]])
