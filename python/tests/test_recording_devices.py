"""Real devices' files through the recording path: dead and partly missing channels, stimulus
tables with columns of their own, many sources, a thick brain, the command's refusal of the
other method's options, an IRF off the gates, and MNE-Python reading the results."""

import dataclasses
import re
import subprocess
import sys

import h5py
import numpy as np
import pytest

from nlayer import recording as rec
from nlayer.recording.analysis import _align_irf
from conftest import LAYERS, WAVELENGTHS, gaussian_irf, python_env

TIME = np.arange(0.0, 6.0, 0.5)
ACTIVE = TIME >= 3.0
GATES = 10.0 * np.arange(1, 257)
IRF = gaussian_irf(GATES)
SOURCES = 12
# Detector 7 is source 4's first (two detectors per source).
DEAD = [(4, 7, 760.0), (4, 7, 850.0), (9, 18, 850.0)]


def _model_files(folder, media):
    names = []
    for w, medium in media.items():
        path = folder / f"m{w:g}.dat"
        path.write_text("\n".join([str(len(medium))] + [repr(v) for layer in medium.layers for v in
                                  (layer.musp, layer.mua, layer.n, layer.d)]) + "\n")
        names.append(f"{w:g}={path}")
    return ",".join(names)


def _analyze(folder, recording, *options):
    return subprocess.run([sys.executable, "-m", "nlayer._analyze", str(recording), "--model",
                           _model_files(folder, rec.hemoglobin_media(WAVELENGTHS, LAYERS)), "--baseline", "0:2.9",
                           *map(str, options)], env=python_env(), capture_output=True, text=True, cwd=folder)


@pytest.fixture(scope="module")
def head(tmp_path_factory):
    """A 12-source recording (two distances each) of a +5 uM HbO change in the brain, with
    dead channels, one DTOF missing after the baseline, and an eight-column stimulus table."""
    folder = tmp_path_factory.mktemp("devices")
    media = rec.hemoglobin_media(WAVELENGTHS, LAYERS)
    path = folder / "head.snirf"
    simulated = rec.simulate_recording(path, media, [10.0, 30.0], TIME, samples=512, irf=IRF, counts=1e6, seed=5,
                                       changes={2: (5.0 * ACTIVE, 0.0)}, sources=SOURCES, dead=DEAD,
                                       stim={"task": [(3.0, 3.0, 1.0)]})
    with h5py.File(path, "r+") as h5:
        series = h5["nirs/data1/dataTimeSeries"][()]
        # Source 2's detector 4 (30 mm) at 760 nm is the 6th channel of 48; a gate lost at 4 s.
        series[8, 5 * 256 + 40] = np.nan
        h5["nirs/data1/dataTimeSeries"][...] = series
        del h5["nirs/stim1/data"]
        h5["nirs/stim1/data"] = np.array([[3.0, 3.0, 1.0, np.nan, 7.0, np.nan, np.nan, 2.0]])
    return folder, path, media, simulated


def test_dead_channels_are_left_out_and_named_and_partial_ones_kept(head, tmp_path):
    folder, path, media, simulated = head
    recording = rec.read_snirf(path)
    assert recording.left_out == ["S4-D7 760 nm", "S4-D7 850 nm", "S9-D18 850 nm"]
    assert recording.channels == 2 * 2 * SOURCES - 3
    kept = list(zip(recording.source.tolist(), recording.detector.tolist()))
    assert (4, 7) not in kept and kept.count((9, 18)) == 1 and kept.count((4, 8)) == 2
    # The channel missing at one time point is kept, NaN there only, the rest as simulated.
    c = int(np.flatnonzero((recording.source == 2) & (recording.detector == 4) & (recording.wavelength_index == 0))[0])
    assert np.isnan(recording.counts[8, c]).all() and np.isfinite(np.delete(recording.counts[:, c], 8, axis=0)).all()
    np.testing.assert_array_equal(np.delete(recording.counts[:, c], 8, axis=0), np.delete(simulated.counts[:, 5], 8, axis=0))
    # Onset, duration and amplitude of the eight-column table; the NaN in the device's columns is no matter.
    assert [(name, table.tolist()) for name, table in recording.stim] == [("task", [[3.0, 3.0, 1.0]])]

    # Moments (dataType 301) alike: the dead channels' moments are NaN, a lost variance at 4 s.
    moments = dataclasses.replace(simulated, kind="moments", counts=None, gate_ps=None, gate_width_ps=None,
                                  moments=np.stack(rec.dtof_moments(GATES, simulated.counts), axis=2))
    moments.moments[8, 5, 2] = np.nan
    rec.write_recording(tmp_path / "moments.snirf", moments)
    back = rec.read_snirf(tmp_path / "moments.snirf")
    assert back.left_out == recording.left_out and np.isnan(back.moments[8, c]).all()
    assert np.isfinite(np.delete(back.moments, 8, axis=0)).all()

    # The simulated Recording itself, NaN where channels died, is analysed as the file read back.
    np.testing.assert_allclose(rec.moments_method(simulated, media, baseline=(0, 2.9), source=4, engine="fast").hbo,
                               rec.moments_method(recording, media, baseline=(0, 2.9), source=4, engine="fast").hbo,
                               rtol=1e-9, atol=1e-12)

    # A missing DTOF after the baseline changes nothing at the other time points: the intact
    # recording's analysis is the second route.
    intact = rec.read_snirf(path)
    intact.counts[8, c] = simulated.counts[8, 5]
    missing, whole = (rec.moments_method(r, media, baseline=(0, 2.9), irf=IRF, source=2, engine="fast")
                      for r in (recording, intact))
    others = np.arange(len(TIME)) != 8
    np.testing.assert_allclose(missing.hbo[others], whole.hbo[others], rtol=1e-12, atol=1e-12)
    # A fit of that one channel skips it, flagged, and fits the rest; the joint fit of every
    # distance goes on without it at that time point.
    around = dataclasses.replace(recording, time_s=TIME[7:10], counts=recording.counts[7:10])
    fits = rec.fit_method(around, media, IRF, source=2, chunk_size=3, workers=1, free=["mua2"])
    assert not fits.success[1, 0] and fits.success[1, 1] and np.isnan(fits.mua[1, 1, 0])
    assert np.isfinite(fits.mua[[0, 2]]).all() and fits.success[[0, 2]].all()
    joint = rec.fit_method(around, media, IRF, source=2, chunk_size=3, workers=1, baseline=(3.5, 3.5))
    assert np.isfinite(joint.mua).all() and joint.success.all()

    # Refused only when nothing is left, or where the stimulus table's own columns are not numbers.
    for change, words in ((lambda h5: h5["nirs/data1/dataTimeSeries"].__setitem__(Ellipsis, np.nan),
                           "no channel has a finite value at any time point (48 channels)"),
                          (lambda h5: h5["nirs/stim1/data"].__setitem__((0, 1), np.nan),
                           "the duration of row 1 is not a finite number")):
        bad = tmp_path / "bad.snirf"
        bad.write_bytes(path.read_bytes())
        with h5py.File(bad, "r+") as h5:
            change(h5)
        with pytest.raises(rec.RecordingError, match=re.escape(words)):
            rec.read_snirf(bad)


def test_every_source_is_analysed_written_and_read_by_mne(head, tmp_path):
    folder, path, media, _ = head
    out, table = tmp_path / "r.snirf", tmp_path / "r.csv"
    done = _analyze(folder, path, "--out", out, "--csv", table, "--plot", tmp_path / "r.png")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "left out 3 channels with no finite value: S4-D7 760 nm, S4-D7 850 nm, S9-D18 850 nm"
    assert [line for line in lines if line.startswith("source ")] == [f"source {k}:" for k in range(1, SOURCES + 1)]
    # Every place on the head sees the brain's +5 uM (the method's own bias and one source's
    # noise allowed), and the command's numbers are the library's for that source alone.
    recording = rec.read_snirf(path)
    analyses = rec.analyse_sources(recording, media, baseline=(0, 2.9), engine="fast")
    assert [a.source for a in analyses] == list(range(1, SOURCES + 1))
    for analysis in analyses:
        assert np.nanmean(analysis.hbo[ACTIVE, 1]) == pytest.approx(5.0, rel=0.5)
    third = rec.moments_method(recording, media, baseline=(0, 2.9), source=3, engine="fast")
    np.testing.assert_array_equal(analyses[2].hbo, third.hbo)
    # (Another process: the fast engine's eight digits.)
    csv = np.genfromtxt(table, delimiter=",", names=True)
    np.testing.assert_allclose(csv["S3_L2_dHbO_uM"], third.hbo[:, 1], rtol=1e-6)
    with h5py.File(out, "r") as h5:
        names = {h5[f"nirs/{key}/name"].asstr()[()]: h5[f"nirs/{key}"] for key in h5["nirs"] if key.startswith("data")}
        assert len(names) == 1 + 2 * SOURCES + 1 and "source 12, layer 1" in names
        block = names["source 3, layer 2"]
        entries = [block[f"measurementList{k}"] for k in range(1, 6)]
        assert {int(e["sourceIndex"][()]) for e in entries} == {3}
        np.testing.assert_array_equal(block["dataTimeSeries"][:, 2], csv["S3_L2_dHbO_uM"])
        channels = names["channels"]
        assert channels["dataTimeSeries"].shape == (len(TIME), 2 * recording.channels)

    mne = pytest.importorskip("mne")
    raw = mne.io.read_raw_snirf(str(out), preload=True, verbose="error")
    assert raw.get_channel_types() == ["hbo", "hbr"] * (2 * SOURCES)
    assert raw.ch_names[:4] == ["S1_D1 hbo", "S1_D1 hbr", "S1_D2 hbo", "S1_D2 hbr"]
    assert raw.info["sfreq"] == pytest.approx(2.0)
    # Each channel's HbO, in mol/l, is the deepest layer's change of its source; its source and
    # detector sit where simulate_recording put them (50 mm apart, detectors 10 and 30 mm
    # along x), in metres.
    pick = raw.ch_names.index("S3_D6 hbo")
    np.testing.assert_allclose(raw.get_data(picks=[pick])[0], 1e-6 * csv["S3_L2_dHbO_uM"], rtol=1e-12)
    loc = raw.info["chs"][pick]["loc"]
    np.testing.assert_allclose(loc[3:6], [0.0, 0.100, 0.0], atol=1e-12)
    np.testing.assert_allclose(loc[6:9], [0.030, 0.100, 0.0], atol=1e-12)
    # Source 4's only detectors died: its pairs are there for the reader, without values.
    assert np.isnan(raw.get_data(picks=[raw.ch_names.index("S4_D7 hbo")])).all()

    # --source picks, as a list.
    done = _analyze(folder, path, "--source", "2,11", "--out", tmp_path / "two.snirf")
    assert done.returncode == 0, done.stderr
    assert [line for line in done.stdout.splitlines() if line.startswith("source ")] == ["source 2:", "source 11:"]
    raw = mne.io.read_raw_snirf(str(tmp_path / "two.snirf"), preload=True, verbose="error")
    assert np.isfinite(raw.get_data(picks=[raw.ch_names.index("S11_D22 hbr")])).all()
    assert np.isnan(raw.get_data(picks=[raw.ch_names.index("S5_D9 hbr")])).all()

    # A source without a channel at one wavelength is left out of the whole head, and named.
    lost = tmp_path / "lost.snirf"
    lost.write_bytes(path.read_bytes())
    with h5py.File(lost, "r+") as h5:
        series = h5["nirs/data1/dataTimeSeries"][()]
        series[:, (9 - 1) * 4 * 256:(9 - 1) * 4 * 256 + 2 * 256] = np.nan     # source 9 at 760 nm
        h5["nirs/data1/dataTimeSeries"][...] = series
    done = _analyze(folder, lost, "--csv", tmp_path / "lost.csv")
    assert done.returncode == 0, done.stderr
    assert "left out source 9: no channel at 760 nm" in done.stdout.splitlines()
    assert "source 9:" not in done.stdout.splitlines() and "source 10:" in done.stdout.splitlines()


def test_options_of_the_other_method_are_refused(head):
    folder, path, _, _ = head
    for options in (("--method", "fit", "--tikhonov", "0.1"), ("--free", "mua2"), ("--rho", "30")):
        done = _analyze(folder, path, *options)
        assert done.returncode == 2 and done.stdout == "", done.stderr
        name = options[-2]
        assert f"argument {name}: belongs to --method" in done.stderr.splitlines()[-2]


def test_an_irf_off_the_gates_is_moved_onto_them_or_named():
    t, counts = IRF
    # 120 bins starting 3 ps after gate 5: each bin goes to the gate 3 ps before it.
    counts_on, note = _align_irf((t[4:124] + 3.0, counts[4:124]), t)
    assert note == "the IRF was moved by -3 ps onto the gates"
    np.testing.assert_array_equal(counts_on[4:124], counts[4:124])
    assert not counts_on[:4].any() and not counts_on[124:].any()
    # Bins reaching past the last gate: what falls outside is said.
    counts_on, note = _align_irf((t + 2400.0, counts), t)
    assert note == (f"{100 * counts[-240:].sum() / counts.sum():.3g} % of its counts fall outside the gates "
                    "and are left out") and counts_on[239] == 0 and counts_on[240] == counts[0]
    for irf, words in (((t[::2], counts[::2]), "bins are 20 ps wide; the gates are 10 ps wide"),
                       ((np.r_[t[:10], t[11:]], np.r_[counts[:10], counts[11:]]), "not evenly spaced (steps of 10 to 20"),
                       (counts[:100], "the IRF has 100 counts; the recording has 256 gates")):
        with pytest.raises(ValueError, match=words.replace("(", r"\(")):
            _align_irf(irf, t)


def test_the_fit_method_takes_an_irf_off_the_gates(head, tmp_path):
    folder, _, media, _ = head
    single = folder / "single.snirf"
    rec.simulate_recording(single, media, [30.0], TIME[:4], samples=512, irf=IRF, counts=1e6, seed=2)
    shifted = tmp_path / "irf.csv"
    np.savetxt(shifted, np.column_stack([IRF[0] - 4.0, IRF[1]]), delimiter=",", header="t_ps,counts", comments="")
    done = _analyze(folder, single, "--method", "fit", "--free", "mua2", "--irf", shifted, "--csv", tmp_path / "r.csv")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[0] == "--irf: the IRF was moved by +4 ps onto the gates"
    # Moved back by 4 ps, it is the simulation's own: the brain's mua (850 nm) comes back.
    table = np.genfromtxt(tmp_path / "r.csv", delimiter=",", names=True)
    assert table["L2_mua850_mm1"] == pytest.approx(media[850.0].layers[1].mua, rel=0.05)


def test_a_brain_100_mm_thick_goes_through_the_command(tmp_path):
    layers = [dict(LAYERS[0]), dict(LAYERS[1], d=100.0)]
    media = rec.hemoglobin_media(WAVELENGTHS, layers)
    path = tmp_path / "thick.snirf"
    rec.simulate_recording(path, media, [10.0, 30.0], TIME, samples=1024, irf=gaussian_irf(10.0 * np.arange(1, 513)),
                           changes={2: (5.0 * ACTIVE, -2.0 * ACTIVE)}, counts=1e6, seed=None)
    done = subprocess.run([sys.executable, "-m", "nlayer._analyze", str(path), "--model", _model_files(tmp_path, media),
                           "--baseline", "0:2.9", "--csv", str(tmp_path / "r.csv")], env=python_env(),
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    table = np.genfromtxt(tmp_path / "r.csv", delimiter=",", names=True)
    # Noiseless: the truth within the moments method's own first-order bias.
    assert table["L2_dHbO_uM"][ACTIVE].mean() == pytest.approx(5.0, rel=0.1)
    assert table["L2_dHbR_uM"][ACTIVE].mean() == pytest.approx(-2.0, rel=0.1)
    assert np.abs(table["L1_dHbO_uM"][ACTIVE]).max() < 0.25


def test_each_pair_on_its_own_finds_a_homogeneous_change(tmp_path):
    # A homogeneous head (the top layer as a half-space) whose HbO rises by 2 uM and HbR falls
    # by 1 uM everywhere: every pair, near or far, sees that change (noiseless counts).
    media = rec.hemoglobin_media(WAVELENGTHS, [dict(LAYERS[0], d=100.0)])
    path = tmp_path / "flat.snirf"
    rec.simulate_recording(path, media, [10.0, 30.0], TIME, samples=1024, irf=gaussian_irf(10.0 * np.arange(1, 513)),
                           changes={1: (2.0 * ACTIVE, -1.0 * ACTIVE)}, counts=1e6, seed=None, sources=2)
    done = subprocess.run([sys.executable, "-m", "nlayer._analyze", str(path), "--model", _model_files(tmp_path, media),
                           "--baseline", "0:2.9", "--per-channel", "--csv", str(tmp_path / "r.csv"),
                           "--out", str(tmp_path / "r.snirf")], env=python_env(), capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert [line.split(":")[0] for line in done.stdout.splitlines() if line.startswith("S")] == \
        ["S1-D1", "S1-D2", "S2-D3", "S2-D4"]
    table = np.genfromtxt(tmp_path / "r.csv", delimiter=",", names=True)
    for pair in ("S1_D1", "S1_D2", "S2_D3", "S2_D4"):
        assert table[f"{pair}_homogeneous_dHbO_uM"][ACTIVE].mean() == pytest.approx(2.0, rel=0.03)
        assert table[f"{pair}_homogeneous_dHbR_uM"][ACTIVE].mean() == pytest.approx(-1.0, rel=0.03)
    mne = pytest.importorskip("mne")
    raw = mne.io.read_raw_snirf(str(tmp_path / "r.snirf"), preload=True, verbose="error")
    np.testing.assert_allclose(raw.get_data(picks=["S2_D4 hbr"])[0], 1e-6 * table["S2_D4_homogeneous_dHbR_uM"],
                               rtol=1e-12)
    # A homogeneous model has one layer: groups, fits and spectral models are refused.
    for options in (("--groups", "1"), ("--method", "fit")):
        done = subprocess.run([sys.executable, "-m", "nlayer._analyze", str(path), "--model",
                               _model_files(tmp_path, media), "--per-channel", *options], env=python_env(),
                              capture_output=True, text=True)
        assert done.returncode == 2 and "argument --per-channel" in done.stderr
