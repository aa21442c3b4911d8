"""Recordings: a simulated study analysed by the moments method and by fits, SNIRF round trips,
and the refusal of bad files."""

import dataclasses
import re
import signal
import subprocess
import sys
import time

import h5py
import numpy as np
import pytest

import nlayer
import nlayer._snirf
from nlayer import recording as rec
from conftest import LAYERS, WAVELENGTHS, gaussian_irf, python_env

RHO = [10.0, 30.0]
# 40 time points in each period (baseline, extracerebral alone, both): at 1e6 counts a single
# DTOF gives the brain's HbO to some 0.45 uM and HbR to 0.25 uM, the mean of 40 to 0.07 and
# 0.04 uM.
TIME = np.arange(0.0, 30.0, 0.25)
EXTRA = rec.boxcar(TIME, [10.0], 20.0)    # the extracerebral +1 uM HbO from t = 10 s on
BRAIN = rec.boxcar(TIME, [20.0], 10.0)    # the activation from t = 20 s on
BASELINE, EXTRA_ONLY, BOTH = TIME < 10, (TIME >= 10) & (TIME < 20), TIME >= 20
GATES = 10.0 * np.arange(1, 513)
IRF = gaussian_irf(GATES)


@pytest.fixture(scope="module")
def study(tmp_path_factory):
    path = tmp_path_factory.mktemp("study") / "study.snirf"
    media = rec.hemoglobin_media(WAVELENGTHS, LAYERS)
    simulated = rec.simulate_recording(path, media, RHO, TIME, changes={1: (EXTRA, 0.0), 2: (5 * BRAIN, -2 * BRAIN)},
                                       irf=IRF, counts=1e6, seed=3,
                                       stim={"extracerebral": [(10, 20, 1)], "task": [(20, 10, 1)]})
    return path, media, simulated


@pytest.mark.slow
def test_moments_method_finds_the_brain_under_an_extracerebral_change(study):
    path, media, _ = study
    recording = rec.read_snirf(path)
    result = rec.moments_method(recording, media, baseline=(0, 9.9), irf=IRF, engine="fast")
    # The brain's activation within 15 %, under the extracerebral change.
    assert result.hbo[BOTH, 1].mean() == pytest.approx(5.0, rel=0.15)
    assert result.hbr[BOTH, 1].mean() == pytest.approx(-2.0, rel=0.15)
    assert result.hbo[EXTRA_ONLY, 0].mean() == pytest.approx(1.0, rel=0.15)
    # The extracerebral change stays out of the brain, below 20 % of it: the method's own leak,
    # on the expected counts, since the noise of one DTOF is larger than the bound.
    expected = rec.simulate_recording(None, media, RHO, TIME, changes={1: (EXTRA, 0.0), 2: (5 * BRAIN, -2 * BRAIN)},
                                      irf=IRF, counts=1e6, seed=None)
    clean = rec.moments_method(expected, media, baseline=(0, 9.9), irf=IRF, engine="fast")
    assert np.all(np.abs(clean.hbo[EXTRA_ONLY, 1]) < 0.2) and np.all(np.abs(clean.hbr[EXTRA_ONLY, 1]) < 0.2)
    assert np.all(np.abs(clean.hbo[EXTRA_ONLY, 0] - 1.0) < 0.2)
    # Concentrations and mua agree through the extinction coefficients (decadic, ln 10, uM).
    eps = np.array([[586.0, 1548.52], [1058.0, 691.32]])      # Prahl's table at 760 and 850 nm
    mua = np.log(10) * 1e-7 * (eps @ np.stack([result.hbo[:, 1], result.hbr[:, 1]]))
    np.testing.assert_allclose(mua.T, result.mua[:, 1, :], rtol=1e-9, atol=1e-12)
    # Every layer on its own, unregularised: nothing crosses over. Regularised or grouped, the
    # recovered change of a layer that changes alone leaks, and only into the other unknowns.
    np.testing.assert_allclose(result.crosstalk, np.broadcast_to(np.eye(2), (2, 2, 2)), atol=1e-9)
    damped = rec.moments_method(recording, media, baseline=(0, 9.9), tikhonov=0.3, engine="fast")
    assert np.all(np.diagonal(damped.crosstalk, axis1=1, axis2=2) < 0.99)
    single = rec.moments_method(recording, media, baseline=(0, 9.9), groups=[[1, 2]], engine="fast")
    assert single.names == ["layers 1-2"] and single.crosstalk.shape == (2, 1, 2)
    # The default baseline is the time before the first stimulus.
    assert rec.moments_method(recording, media, engine="fast").baseline == (0.0, 9.75)
    # The stated errors are the scatter of the 40 time points of each period about their mean
    # (within the scatter's own sampling error of some 11 %).
    for period in (BASELINE, EXTRA_ONLY, BOTH):
        for values, errors in ((result.hbo, result.hbo_err), (result.hbr, result.hbr_err), (result.mua, result.mua_err)):
            np.testing.assert_allclose(values[period].std(axis=0, ddof=1), errors[period].mean(axis=0), rtol=0.3)


def test_hemoglobin_follows_prahls_tabulation():
    # Prahl's tabulated coefficients (cm^-1/M, decadic) at 760 and 850 nm, their rows at 760 and
    # 762 nm for the linear interpolation between them.
    np.testing.assert_array_equal(rec.extinction([760.0, 850.0]), [[586.0, 1548.52], [1058.0, 691.32]])
    np.testing.assert_allclose(rec.extinction(761.0), [(586.0 + 598.0) / 2, (1548.52 + 1508.44) / 2], rtol=1e-15)
    with pytest.raises(ValueError, match="covers 250 ... 1000 nm, not 1100 nm"):
        rec.extinction([700.0, 1100.0])
    # The media: mua = ln(10) 1e-7 (eps_HbO [HbO] + eps_HbR [HbR]) + the rest, mus' a (nm / 800)^-b.
    layers = [dict(HbO=40.0, HbR=20.0, musp=(1.2, 1.5), n=1.4, d=12.0),
              dict(HbO=50.0, HbR=25.0, musp=0.9, n=1.33, d=50.0, mua_other=0.002)]
    media = rec.hemoglobin_media([760.0, 850.0], layers)
    for nm, eps in ((760.0, (586.0, 1548.52)), (850.0, (1058.0, 691.32))):
        top, bottom = media[nm].layers
        assert top.mua == pytest.approx(np.log(10) * 1e-7 * (eps[0] * 40 + eps[1] * 20), rel=1e-14)
        assert bottom.mua == pytest.approx(np.log(10) * 1e-7 * (eps[0] * 50 + eps[1] * 25) + 0.002, rel=1e-14)
        assert top.musp == pytest.approx(1.2 * (nm / 800) ** -1.5, rel=1e-14) and bottom.musp == 0.9
        assert (top.n, top.d, bottom.n, bottom.d) == (1.4, 12.0, 1.33, 50.0)


def test_the_simulated_dtof_is_the_model_convolved_with_the_irf(study):
    # Convolution adds the IRF's mean time and variance to the model's, which nlayer.moments
    # finds from the frequency domain at f = 0: a second route to the same three numbers.
    medium = study[1][850.0]
    expected = rec.simulate_recording(None, {850.0: medium}, [30.0], [0.0], irf=IRF, seed=None).counts[0, 0]
    found, model = rec.dtof_moments(GATES, expected, IRF), nlayer.moments(medium, 30.0)
    assert found.total == pytest.approx(1e6, rel=1e-9)
    # What of the curve's tail falls past the last gate (5.12 ns) costs the window a little.
    assert abs(found.mean_time - model.mean_time) < 0.01
    assert found.variance == pytest.approx(model.variance, rel=1e-4)
    with pytest.raises(ValueError, match="the IRF must lie on the recording's gates"):
        rec.simulate_recording(None, {850.0: medium}, [30.0], [0.0], irf=(GATES + 5.0, IRF[1]))


def test_dtof_moments_agree_with_curve_moments(study):
    counts = study[2].counts
    fast = rec.dtof_moments(GATES, counts, IRF)
    for t, c in [(0, 0), (119, 3)]:
        one = nlayer.curve_moments(GATES, counts[t, c], IRF[1])
        assert fast.total[t, c] == one.total
        assert fast.mean_time[t, c] == pytest.approx(one.mean_time, rel=1e-12)
        assert fast.variance[t, c] == pytest.approx(one.variance, rel=1e-9)


def test_round_trips(study, tmp_path):
    path, media, simulated = study
    back = rec.read_snirf(path)
    assert np.array_equal(back.counts, simulated.counts) and back.counts.shape == (120, 4, 512)
    np.testing.assert_allclose(back.gate_ps, GATES, rtol=1e-12)
    np.testing.assert_allclose(back.rho_mm, [10, 30, 10, 30])
    assert back.wavelengths.tolist() == WAVELENGTHS and back.time_s.tolist() == TIME.tolist()
    assert [name for name, _ in back.stim] == ["extracerebral", "task"]

    # Moments (dataType 301) in ns, with an offset time axis in its two-number form.
    moments = rec.dtof_moments(back.gate_ps, back.counts)
    back.kind, back.counts, back.moments = "moments", None, np.stack(moments, axis=2)
    back.meta = dict(back.meta, TimeUnit="ns")
    rec.write_recording(tmp_path / "moments.snirf", back)
    with h5py.File(tmp_path / "moments.snirf", "r+") as h5:
        del h5["nirs/data1/time"]
        h5["nirs/data1/time"] = np.array([0.0, 0.25e9])
    again = rec.read_snirf(tmp_path / "moments.snirf")
    np.testing.assert_allclose(again.moments, back.moments, rtol=1e-12)
    np.testing.assert_allclose(again.time_s, TIME, rtol=1e-12)
    # The moments method reads both kinds alike (only the variance's noise weight differs:
    # without the DTOF its fourth moment is unknown).
    gated = rec.moments_method(rec.read_snirf(path), media, baseline=(0, 9.9), engine="fast")
    from_moments = rec.moments_method(again, media, baseline=(0, 9.9), engine="fast")
    np.testing.assert_allclose(from_moments.d_mean_ps, gated.d_mean_ps, atol=1e-9)
    np.testing.assert_allclose(from_moments.d_var_ps2, gated.d_var_ps2, rtol=1e-9, atol=1e-6)
    np.testing.assert_allclose(from_moments.hbo, gated.hbo, atol=0.3)

    # Results: a block per layer and one of channels, on the recording's time axis.
    rec.write_results(tmp_path / "results.snirf", gated)
    with h5py.File(tmp_path / "results.snirf", "r") as h5:
        brain = h5["nirs/data3"]       # after the per-channel block for MNE and layer 1
        assert brain["name"].asstr()[()] == "layer 2" and h5["nirs/data4/name"].asstr()[()] == "channels"
        labels = [brain[f"measurementList{k}/dataTypeLabel"].asstr()[()] for k in range(1, 6)]
        units = [brain[f"measurementList{k}/dataUnit"].asstr()[()] for k in range(1, 6)]
        assert labels == ["mua", "mua", "HbO", "HbR", "HbT"] and units == ["mm-1", "mm-1", "uM", "uM", "uM"]
        assert brain["measurementList3/dataType"][()] == 99999
        np.testing.assert_array_equal(brain["dataTimeSeries"][:, 2], gated.hbo[:, 1])
        np.testing.assert_array_equal(brain["time"][()], TIME)
        assert h5["nirs/probe/detectorPos3D"].shape == (2, 3)


def test_fits_per_time_point_locally_and_on_dask(study):
    distributed = pytest.importorskip("distributed")
    path, media, _ = study
    # Every tenth time point keeps the fits few.
    full = rec.read_snirf(path)
    recording = dataclasses.replace(full, time_s=full.time_s[::10], counts=full.counts[::10])
    t = recording.time_s
    local = rec.fit_method(recording, media, IRF, free=["mua2"], chunk_size=4, baseline=(0, 9.9))
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        remote = rec.fit_method(recording, media, IRF, free=["mua2"], chunk_size=4, baseline=(0, 9.9), client=client)
    assert np.array_equal(local.mua, remote.mua) and np.array_equal(local.hbo, remote.hbo)
    assert local.success.all()
    # The stated error of the brain's mua is that of a fit of the same DTOF on its own (a chunk's
    # first time point starts from the model, as a lone fit does); the layer not fitted has none.
    for w, wavelength in enumerate(WAVELENGTHS):
        c = int(np.flatnonzero((recording.wavelength_index == w) & (recording.rho_mm == 30.0))[0])
        alone = nlayer.fit((recording.gate_ps, recording.counts[4, c]), IRF[1], media[wavelength], 30.0, free=["mua2"],
                           engine="fast", threads=1)
        assert local.mua_err[4, 1, w] == pytest.approx(alone.standard_error["mua2"], rel=1e-6)
    assert np.isnan(local.mua_err[:, 0]).all() and np.isnan(local.hbo_err[:, 0]).all()
    assert np.all(np.isfinite(local.hbo_err[:, 1])) and np.all(local.hbo_err[:, 1] > 0)
    # The brain's mua at 30 mm, turned into concentrations: its rise during the task. (A fit of
    # the brain alone also takes the extracerebral change for the brain's, so the rise is
    # measured from the period with the extracerebral change alone.)
    rise = local.hbo[t >= 20, 1].mean() - local.hbo[(t >= 10) & (t < 20), 1].mean()
    assert rise == pytest.approx(5.0, rel=0.25)
    assert np.all(local.mua[:, 0] == np.array([m.layers[0].mua for m in media.values()]))
    np.testing.assert_allclose(local.sto2, 100 * local.hbo / (local.hbo + local.hbr))


def _corrupt(source, target, change):
    target.write_bytes(source.read_bytes())
    with h5py.File(target, "r+") as h5:
        change(h5)


def _replace(h5, name, value):
    del h5[name]
    h5[name] = value


@pytest.mark.parametrize("change, where, words", [
    (None, "/", "not an HDF5 file"),
    (lambda h5: h5.__delitem__("nirs/probe/wavelengths"), "/nirs/probe/wavelengths", "missing"),
    (lambda h5: _replace(h5, "nirs/probe/timeDelayWidths", h5["nirs/probe/timeDelayWidths"][()] * 2),
     "/nirs/probe/timeDelayWidths", "gates overlap"),
    (lambda h5: _replace(h5, "nirs/probe/timeDelays", h5["nirs/probe/timeDelays"][()][::-1]),
     "/nirs/probe/timeDelays", "not sorted"),
    (lambda h5: _replace(h5, "nirs/metaDataTags/TimeUnit", "fortnight"), "/nirs/metaDataTags/TimeUnit",
     "unknown time unit 'fortnight'"),
    (lambda h5: h5["nirs/data1/measurementLists/dataType"].__setitem__(5, 1),
     "/nirs/data1/measurementLists/dataType[5]", "unhandled dataType 1"),
])
def test_bad_files_name_the_hdf5_path_and_leave_no_output(study, tmp_path, change, where, words):
    bad = tmp_path / "bad.snirf"
    if change is None:
        bad.write_text("time,counts\n")
    else:
        _corrupt(study[0], bad, change)
    with pytest.raises(rec.RecordingError, match=words) as caught:
        rec.read_snirf(bad)
    assert caught.value.location == where and f"{bad}: {where}: " in str(caught.value)
    if where != "/nirs/probe/timeDelays":
        return
    # The command says the same and writes nothing (one case: each run imports the package).
    for w, medium in study[1].items():
        nlayer_file = tmp_path / f"m{w:g}.dat"
        nlayer_file.write_text("\n".join([str(len(medium))] + [repr(v) for layer in medium.layers for v in
                                          (layer.musp, layer.mua, layer.n, layer.d)] + ["30"]) + "\n")
    models = f"760={tmp_path / 'm760.dat'},850={tmp_path / 'm850.dat'}"
    done = subprocess.run([sys.executable, "-m", "nlayer._analyze", str(bad), "--model", models,
                           "--out", str(tmp_path / "r.snirf"), "--csv", str(tmp_path / "r.csv")],
                          env=python_env(), capture_output=True, text=True)
    assert done.returncode == 1 and done.stderr == f"nlayer-analyze: {caught.value}\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.snirf", "m760.dat", "m850.dat"]


def test_a_failed_write_leaves_nothing(tmp_path):
    def broken(h5):
        h5["half"] = np.zeros(3)
        raise RuntimeError("disk full")

    (tmp_path / "old.snirf").write_text("kept")
    with pytest.raises(RuntimeError):
        nlayer._snirf.atomic_write(tmp_path / "old.snirf", broken)
    assert [p.name for p in tmp_path.iterdir()] == ["old.snirf"] and (tmp_path / "old.snirf").read_text() == "kept"


def _string(group, name, text):
    group.create_dataset(name, data=text, dtype=h5py.string_dtype())


def test_a_file_of_measurement_list_groups_in_other_units(tmp_path):
    # Two sources 3 cm from one detector (2D positions in cm), one wavelength, three gates of
    # 0.1 ns given out of column order, times in ns: the reader's arithmetic by hand.
    path = tmp_path / "groups.snirf"
    series = np.arange(1.0, 1.0 + 4 * 6).reshape(4, 6)
    columns = [(1, 2), (1, 1), (1, 3), (2, 3), (2, 1), (2, 2)]      # (source, gate) of each column
    with h5py.File(path, "w") as h5:
        _string(h5, "formatVersion", "1.1")
        meta = h5.create_group("nirs1/metaDataTags")
        for name, text in (("SubjectID", "x"), ("MeasurementDate", "unknown"), ("MeasurementTime", "unknown"),
                           ("LengthUnit", "cm"), ("TimeUnit", "ns"), ("FrequencyUnit", "Hz")):
            _string(meta, name, text)
        probe = h5.create_group("nirs1/probe")
        probe["wavelengths"] = [800.0]
        probe["sourcePos2D"] = [[0.0, 0.0], [0.0, 6.0]]
        probe["detectorPos2D"] = [[0.0, 3.0]]
        probe["timeDelays"] = [0.5, 0.6, 0.7]
        probe["timeDelayWidths"] = [0.1, 0.1, 0.1]
        block = h5.create_group("nirs1/data1")
        block["dataTimeSeries"] = series
        block["time"] = [2e9, 1e9]                                   # start 2 s, a time point every 1 s
        for k, (source, gate) in enumerate(columns, start=1):
            entry = block.create_group(f"measurementList{k}")
            for name, value in (("sourceIndex", source), ("detectorIndex", 1), ("wavelengthIndex", 1),
                                ("dataType", 201), ("dataTypeIndex", gate)):
                entry[name] = np.int32(value)
        stim = h5.create_group("nirs1/stim1")
        _string(stim, "name", "task")
        stim["data"] = [[3e9, 1e9, 1.0]]
    recording = rec.read_snirf(path)
    np.testing.assert_allclose(recording.rho_mm, [30.0, 30.0])
    np.testing.assert_allclose(recording.gate_ps, [550.0, 650.0, 750.0])
    np.testing.assert_allclose(recording.time_s, [2.0, 3.0, 4.0, 5.0])
    assert recording.source.tolist() == [1, 2]
    np.testing.assert_array_equal(recording.counts[:, 0], series[:, [1, 0, 2]])
    np.testing.assert_array_equal(recording.counts[:, 1], series[:, [4, 5, 3]])
    np.testing.assert_allclose(recording.stim_onsets(), [[3.0, 1.0]])
    # Two places on the head: the methods take one at a time.
    medium = {800: nlayer.Medium([nlayer.Layer(1.0, 0.01, 1.4, 50.0)])}
    with pytest.raises(ValueError, match="2 sources .1, 2.; choose one with source=, or analyse each"):
        rec.moments_method(recording, medium)
    one = rec.moments_method(recording, medium, source=2, baseline=(2, 3))
    assert one.recording.source.tolist() == [2] and one.d_mean_ps.shape == (4, 1)
    # The second source's DTOFs by hand: mean gate time, relative to the baseline's mean.
    dtofs = series[:, [4, 5, 3]]
    mean = dtofs @ np.array([550.0, 650.0, 750.0]) / dtofs.sum(axis=1)
    np.testing.assert_allclose(one.d_mean_ps[:, 0], mean - mean[:2].mean(), rtol=1e-12)


def test_the_command_line_writes_results_table_and_figure(study, tmp_path):
    path, media, _ = study
    models = []
    for w, medium in media.items():
        model = tmp_path / f"head{w:g}.dat"
        model.write_text("\n".join([str(len(medium))] + [repr(v) for layer in medium.layers for v in
                                   (layer.musp, layer.mua, layer.n, layer.d)] + ["30"]) + "\n")
        models.append(f"{w:g}={model}")
    done = subprocess.run([sys.executable, "-m", "nlayer._analyze", str(path), "--model", ",".join(models),
                           "--baseline", "0:9.9", "--out", str(tmp_path / "r.snirf"), "--csv", str(tmp_path / "r.csv"),
                           "--plot", str(tmp_path / "r.png")], env=python_env(), capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    # Each condition on its own: the extracerebral period 10 to 30 s, the task 20 to 30 s.
    # The brain's +5 uM within three of its printed errors (the moments are modelled as recorded).
    task = re.search(r"layer 2: mean change of HbO ([-+.0-9]+) \+- ([.0-9]+) uM",
                     done.stdout.split("during extracerebral")[-1])
    assert abs(float(task[1]) - 5.0) < 3 * float(task[2]), done.stdout
    assert "layer 1: mean change of HbO +1.0" in done.stdout
    assert (tmp_path / "r.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    table = np.genfromtxt(tmp_path / "r.csv", delimiter=",", names=True)
    assert table.dtype.names[:6] == ("time_s", "L1_dHbO_uM", "L1_dHbO_err_uM", "L1_dHbR_uM", "L1_dHbR_err_uM",
                                     "L1_dHbT_uM")
    # The task's 40 time points less the baseline's 40: for the Poisson noise of one DTOF
    # (some 0.45 uM for the brain's HbO), independent, sqrt(1/40 + 1/40) of it; a time point's
    # change carries sqrt(1 + 1/40). The serial correlation estimated from 40 points moves
    # it by some 20 %.
    printed = next(line for line in done.stdout.splitlines() if line.startswith("layer 2") and "during task" in line)
    assert float(printed.split("HbO ")[1].split("+-")[1].split()[0]) == pytest.approx(
        table["L2_dHbO_err_uM"][-1] * np.sqrt(2 / 40 / (1 + 1 / 40)), rel=0.25)
    assert "errors: from the baseline period's scatter, at least the counts' Poisson noise" in done.stdout
    with h5py.File(tmp_path / "r.snirf", "r") as h5:
        np.testing.assert_allclose(h5["nirs/data3/dataTimeSeries"][:, 2], table["L2_dHbO_uM"], rtol=1e-15)


def test_ctrl_c_stops_the_fits_within_a_second(study):
    script = f"""
import dataclasses, sys, numpy as np
from nlayer import recording as rec
r = rec.read_snirf({str(study[0])!r})
r = dataclasses.replace(r, time_s=np.arange(1200.0), counts=np.tile(r.counts, (10, 1, 1)))
media = rec.hemoglobin_media({WAVELENGTHS!r}, {LAYERS!r})
print("fitting", flush=True)
rec.fit_method(r, media, np.exp(-0.5 * ((np.arange(1, 513) * 10.0 - 200.0) / 40.0) ** 2), free=["mua2"], progress=False)
"""
    process = subprocess.Popen([sys.executable, "-c", script], env=python_env(), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    assert process.stdout.readline() == "fitting\n"
    time.sleep(0.5)
    process.send_signal(signal.SIGINT)
    started = time.monotonic()
    _, stderr = process.communicate(timeout=30)
    assert process.returncode == -signal.SIGINT and "KeyboardInterrupt" in stderr
    assert time.monotonic() - started < 1.0


def _spectral_dict(layers, starts):
    """The study's model as baseline_fit takes it: n and d from the study, hemoglobin and a free
    from `starts`, b held at the truth."""
    medium = nlayer.Medium([nlayer.Layer(1.0, 0.01, layer["n"], layer["d"]) for layer in layers])
    spectral = [{"HbO": {"start": s[0], "lower": 0.0, "upper": 200.0},
                 "HbR": {"start": s[1], "lower": 0.0, "upper": 200.0},
                 "a": {"start": s[2]}, "b": layer["musp"][1]} for layer, s in zip(layers, starts)]
    return {"medium": medium, "reference_nm": 800.0, "layers": spectral}


def _spectral_toml(layers, starts, absorber=None):
    """The model of _spectral_dict as a problem file's text; with `absorber`, a chromophore
    "absorber" (absorber.txt beside it, a volume fraction) held at that fraction in every layer."""
    lines = ["[spectral]", "reference_nm = 800", 'chromophores = ["HbO", "HbR"]']
    if absorber is not None:
        lines += ["[[spectral.chromophore]]", 'name = "absorber"', 'file = "absorber.txt"', 'unit = "absorption"']
    for layer, (hbo, hbr, a) in zip(layers, starts):
        lines += ["[[layer]]", f"n = {layer['n']}", f"d = {layer['d']}",
                  f"HbO = {{ start = {hbo}, lower = 0.0, upper = 200.0 }}",
                  f"HbR = {{ start = {hbr}, lower = 0.0, upper = 200.0 }}", f"a = {{ start = {a} }}",
                  f"b = {layer['musp'][1]}"] + ([] if absorber is None else [f"absorber = {absorber}"])
    return "\n".join(lines) + "\n"


@pytest.mark.slow
def test_the_baseline_fit_finds_absolute_values_from_a_dict_or_a_problem_file(study, tmp_path):
    path, media, _ = study
    recording = rec.read_snirf(path)
    starts = [(30.0, 15.0, 1.0), (35.0, 18.0, 1.2)]
    found = rec.baseline_fit(recording, _spectral_dict(LAYERS, starts), IRF, baseline=(0, 9.9))
    assert found.success, found.result.message
    assert found.hbo[1] == pytest.approx(50.0, rel=0.1) and found.hbr[1] == pytest.approx(25.0, rel=0.1)
    assert found.hbo[0] == pytest.approx(40.0, rel=0.1) and found.hbr[0] == pytest.approx(20.0, rel=0.1)
    # Derived values and mus' agree with the fitted concentrations and the power law.
    np.testing.assert_allclose(found.hbt, found.hbo + found.hbr, rtol=1e-9)
    np.testing.assert_allclose(found.sto2, 100 * found.hbo / found.hbt, rtol=1e-9)
    a = np.array([found.result.values["a1"], found.result.values["a2"]])
    np.testing.assert_allclose(found.musp, a[:, None] * (np.array(WAVELENGTHS) / 800.0)[None, :] ** -1.0, rtol=1e-12)
    # b held: mus' at each wavelength has a's relative error.
    np.testing.assert_allclose(found.musp_err[:, 0] / found.musp[:, 0], [found.result.standard_error["a1"] / a[0],
                                                                         found.result.standard_error["a2"] / a[1]], rtol=1e-9)
    assert np.all(found.hbo_err > 0) and np.all(found.hbo_err < 0.1 * found.hbo)
    for w, medium in found.media.items():
        assert medium.layers[1].mua == pytest.approx(media[w].layers[1].mua, rel=0.1)
    # The same model as a problem file: the same fit.
    (tmp_path / "model.toml").write_text(_spectral_toml(LAYERS, starts))
    again = rec.baseline_fit(recording, tmp_path / "model.toml", IRF, baseline=(0, 9.9))
    np.testing.assert_allclose(again.hbo, found.hbo, rtol=1e-9)
    (tmp_path / "bad.toml").write_text('[spectral]\nchromophores = ["HbO", "HbR"]\n[[layer]]\nn = 1.4\n'
                                       "HbO = { lower = 0 }\nHbR = 1\na = 1\nb = 1\n")
    with pytest.raises(ValueError, match="bad.toml:5: layer 1: HbO is free .a table. but has no start value"):
        rec.baseline_fit(recording, tmp_path / "bad.toml", IRF)


@pytest.mark.slow
def test_a_further_absorber_held_at_its_fraction_leaves_hemoglobin_its_own(tmp_path):
    # An absorber (a volume fraction of a pure substance, mua rising from 0.002 to 0.006/mm over
    # 700 to 900 nm, much as water's does) in both layers, as large as hemoglobin's own mua.
    nm = np.array([700.0, 800.0, 900.0])
    pure = np.array([0.002, 0.0035, 0.006])
    (tmp_path / "absorber.txt").write_text("wavelength_nm value\n" + "".join(f"{w} {v}\n" for w, v in zip(nm, pure)))
    fraction = 0.75
    media = rec.hemoglobin_media(WAVELENGTHS, LAYERS)
    for w, medium in media.items():
        for k in (1, 2):
            medium = medium.replace(k, mua=medium.layers[k - 1].mua + fraction * np.interp(w, nm, pure))
        media[w] = medium
    recording = rec.simulate_recording(None, media, RHO, np.arange(3.0), irf=IRF, counts=1e7, seed=11)
    starts = [(30.0, 15.0, 1.0), (35.0, 18.0, 1.2)]
    (tmp_path / "model.toml").write_text(_spectral_toml(LAYERS, starts, absorber=fraction))
    found = rec.baseline_fit(recording, tmp_path / "model.toml", IRF, baseline=(0, 2))
    assert found.success, found.result.message
    truth = np.array([[layer["HbO"], layer["HbR"]] for layer in LAYERS])
    np.testing.assert_allclose(np.stack([found.hbo, found.hbr], axis=1), truth, rtol=0.1)
    # The fitted media hold the absorber's share again, and a time point's fit gives them back.
    for w, medium in found.media.items():
        assert medium.layers[1].mua == pytest.approx(media[w].layers[1].mua, rel=0.05)
    course = rec.spectral_fit_method(recording, tmp_path / "model.toml", IRF, start=found, progress=False)
    brain = [found.media[w].layers[1].mua for w in WAVELENGTHS]
    np.testing.assert_allclose(course.mua[:, 1, :], np.tile(brain, (3, 1)), rtol=0.05)
    # Without it, hemoglobin is made to carry the absorber's mua.
    (tmp_path / "blind.toml").write_text(_spectral_toml(LAYERS, starts))
    blind = rec.baseline_fit(recording, tmp_path / "blind.toml", IRF, baseline=(0, 2))
    assert blind.hbo[1] > 1.2 * truth[1, 0]


def test_joint_fits_per_time_point_follow_a_boxcar_locally_and_on_dask():
    distributed = pytest.importorskip("distributed")
    t = np.arange(4.0)
    on = rec.boxcar(t, [2.0], 2.0)
    media = rec.hemoglobin_media(WAVELENGTHS, LAYERS)
    recording = rec.simulate_recording(None, media, RHO, t, changes={2: (5 * on, -2 * on)}, irf=IRF, counts=1e7,
                                       seed=5)
    truth = [(layer["HbO"], layer["HbR"], layer["musp"][0]) for layer in LAYERS]
    model = rec.spectral_model(_spectral_dict(LAYERS, truth))
    local = rec.spectral_fit_method(recording, model, IRF, start=model, chunk_size=2, progress=False)
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        remote = rec.spectral_fit_method(recording, model, IRF, start=model, chunk_size=2, client=client)
    assert np.array_equal(local.hbo, remote.hbo) and np.array_equal(local.hbr, remote.hbr)
    assert local.success.all()
    rise_hbo = local.hbo[on == 1, 1].mean() - local.hbo[on == 0, 1].mean()
    rise_hbr = local.hbr[on == 1, 1].mean() - local.hbr[on == 0, 1].mean()
    assert rise_hbo == pytest.approx(5.0, rel=0.25) and rise_hbr == pytest.approx(-2.0, rel=0.35)
    # What was not fitted stays the model's, without an error; mua follows the concentrations.
    assert np.all(local.hbo[:, 0] == 40.0) and np.isnan(local.hbo_err[:, 0]).all() and np.isnan(local.mua_err[:, 0]).all()
    # The brain's errors: its HbO and HbR each within a few of their errors of the truth.
    assert np.all(np.abs(local.hbo[:, 1] - (50.0 + 5 * on)) < 4 * local.hbo_err[:, 1])
    assert np.all(np.abs(local.hbr[:, 1] - (25.0 - 2 * on)) < 4 * local.hbr_err[:, 1])
    eps = np.array([[586.0, 1548.52], [1058.0, 691.32]])      # Prahl's table at 760 and 850 nm
    np.testing.assert_allclose(local.mua[:, 1, :], np.log(10) * 1e-7 * np.stack([local.hbo[:, 1], local.hbr[:, 1]], 1)
                               @ eps.T, rtol=1e-9)


@pytest.mark.slow
def test_the_command_line_fits_a_spectral_model_first(tmp_path):
    t = np.arange(4.0)
    on = rec.boxcar(t, [2.0], 2.0)
    media = rec.hemoglobin_media(WAVELENGTHS, LAYERS)
    rec.simulate_recording(tmp_path / "tiny.snirf", media, RHO, t, changes={2: (5 * on, -2 * on)}, irf=IRF,
                           counts=1e7, seed=7)
    np.savetxt(tmp_path / "irf.csv", np.column_stack(IRF), delimiter=",")
    lines = ["[spectral]", "reference_nm = 800", 'chromophores = ["HbO", "HbR"]']
    for layer in LAYERS:
        lines += ["[[layer]]", f"n = {layer['n']}", f"d = {layer['d']}", "HbO = { start = 35.0, lower = 0.0 }",
                  "HbR = { start = 18.0, lower = 0.0 }", f"a = {{ start = {layer['musp'][0]} }}",
                  f"b = {layer['musp'][1]}"]
    (tmp_path / "model.toml").write_text("\n".join(lines) + "\n")

    def analyze(*options):
        done = subprocess.run([sys.executable, "-m", "nlayer._analyze", str(tmp_path / "tiny.snirf"), "--model",
                               str(tmp_path / "model.toml"), "--irf", str(tmp_path / "irf.csv"), "--baseline", "0:1",
                               *options], env=python_env(), capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        return done.stdout

    printed = analyze("--method", "fit", "--csv", str(tmp_path / "r.csv"), "--out", str(tmp_path / "r.snirf"))
    table = np.genfromtxt(tmp_path / "r.csv", delimiter=",", names=True)
    assert table["L2_baseline_HbO_uM"][0] == pytest.approx(50.0, rel=0.1)
    hbo, error = table["L2_baseline_HbO_uM"][0], table["L2_baseline_HbO_err_uM"][0]
    assert f"layer 2: HbO {hbo:.3f} +- {error:.3f} uM" in printed
    rise = table["L2_HbO_uM"][on == 1].mean() - table["L2_HbO_uM"][on == 0].mean()
    assert rise == pytest.approx(5.0, rel=0.3)
    with h5py.File(tmp_path / "r.snirf", "r") as h5:
        block = h5["nirs/data6"]       # MNE's block, two layers, the channels, then the baseline fit's
        labels = [block[f"measurementList{k}/dataTypeLabel"].asstr()[()] for k in range(1, 7)]
        assert labels == ["HbO", "HbR", "HbT", "StO2", "musp", "musp"]
        np.testing.assert_array_equal(block["dataTimeSeries"][:, 0], table["L2_baseline_HbO_uM"])
    # The moments method from the fitted baseline: the brain's change.
    printed = analyze("--method", "moments")
    change = float(printed.split("layer 2: mean change of HbO ")[1].split()[0])
    assert change == pytest.approx(5.0, rel=0.3)    # after the baseline: the two active points
