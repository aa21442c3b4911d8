"""What nlayer-analyze refuses: inputs and results that cannot be values, outputs over its
inputs, hostile SNIRF and problem files. Each refusal is one line naming the file and the
place, exit 1 (2 for a bad command line), and nothing is written."""

import os
import subprocess
import sys

import h5py
import numpy as np
import pytest

import nlayer
from nlayer import recording as rec
from conftest import LAYERS, WAVELENGTHS, gaussian_irf, python_env

TIME = np.arange(0.0, 8.0, 0.5)
GATES = 10.0 * np.arange(1, 257)
IRF = gaussian_irf(GATES)


def _model_file(path, medium, rho=("30",)):
    path.write_text("\n".join([str(len(medium))] + [repr(v) for layer in medium.layers for v in
                                                    (layer.musp, layer.mua, layer.n, layer.d)] + list(rho)) + "\n")


@pytest.fixture(scope="module")
def study(tmp_path_factory):
    folder = tmp_path_factory.mktemp("refusals")
    media = rec.hemoglobin_media(WAVELENGTHS, LAYERS)
    rec.simulate_recording(folder / "rec.snirf", media, [10.0, 30.0], TIME, samples=512,
                           changes={2: (5.0 * (TIME >= 4), 0.0)}, irf=IRF, counts=1e6, seed=3)
    for w, medium in media.items():
        _model_file(folder / f"m{w:g}.dat", medium)
    np.savetxt(folder / "irf.csv", np.column_stack(IRF), delimiter=",", header="t_ps,counts", comments="")
    return folder, media


def _analyze(folder, recording, *options, models=None):
    models = models or f"760={folder / 'm760.dat'},850={folder / 'm850.dat'}"
    return subprocess.run([sys.executable, "-m", "nlayer._analyze", str(recording), "--model", models,
                           "--baseline", "0:3.9", *map(str, options)], env=python_env(), capture_output=True,
                          text=True, cwd=folder)


def _copy(folder, name, change):
    target = folder / name
    target.write_bytes((folder / "rec.snirf").read_bytes())
    with h5py.File(target, "r+") as h5:
        change(h5)
    return target


def _refused(done, *words, status=1):
    assert done.returncode == status, done.stdout + done.stderr
    assert "Traceback" not in done.stderr and done.stdout == ""
    # A bad command line: argparse's usage, then its one line of error.
    line = done.stderr if status == 1 else next(text for text in done.stderr.splitlines() if "error:" in text)
    assert line.count("\n") <= 1 and all(word in line for word in words), done.stderr


def _scale_row(h5, factor, row=5, columns=slice(0, 256)):
    series = h5["nirs/data1/dataTimeSeries"]
    values = series[()]
    values[row, columns] *= factor
    series[...] = values


def test_what_cannot_give_hbo_and_hbr_is_refused(study, tmp_path):
    folder, media = study
    out = tmp_path / "r.csv"
    # A DTOF without counts, and counts whose moments overflow.
    (tmp_path / "rec.snirf").write_bytes((folder / "rec.snirf").read_bytes())
    zero = _copy(tmp_path, "zero.snirf", lambda h5: _scale_row(h5, 0.0))
    _refused(_analyze(folder, zero, "--csv", out), f"{zero}: /nirs/data1/dataTimeSeries", "2.5 s (row 6)",
             "760 nm has no counts")
    huge = _copy(tmp_path, "huge.snirf", lambda h5: _scale_row(h5, 1e300, columns=slice(None)))
    _refused(_analyze(folder, huge, "--csv", out), f"{huge}: /nirs/data1/dataTimeSeries", "not finite")
    # Options that are not finite numbers, and one whose least squares overflow.
    for value in ("nan", "inf", "-inf"):
        _refused(_analyze(folder, folder / "rec.snirf", f"--tikhonov={value}"), "--tikhonov", "not a finite number",
                 status=2)
    _refused(_analyze(folder, folder / "rec.snirf", "--tikhonov", "1e308"), "tikhonov 1e+308 overflows")
    # One wavelength, and one wavelength named twice.
    single = tmp_path / "single.snirf"
    rec.simulate_recording(single, {760.0: media[760.0]}, [10.0, 30.0], TIME, samples=512, irf=IRF, seed=1)
    _refused(_analyze(folder, single, "--csv", out), f"{single}: /nirs/data1", "HbO and HbR need two")
    twice = _copy(tmp_path, "twice.snirf", lambda h5: h5["nirs/probe/wavelengths"].__setitem__(1, 760.0))
    _refused(_analyze(folder, twice, "--csv", out), f"{twice}: /nirs/probe/wavelengths", "760 nm twice")
    assert not out.exists()
    # The same run on the intact recording gives finite values and writes them.
    done = _analyze(folder, folder / "rec.snirf", "--csv", out, "--tikhonov", "0.01")
    assert done.returncode == 0, done.stderr
    assert np.all(np.isfinite(np.genfromtxt(out, delimiter=",", skip_header=1)))


def test_no_output_overwrites_an_input(study, tmp_path):
    folder, _ = study
    recording = tmp_path / "rec.snirf"
    recording.write_bytes((folder / "rec.snirf").read_bytes())
    os.link(recording, tmp_path / "hard.snirf")
    os.symlink(recording, tmp_path / "soft.snirf")
    before = {p: p.read_bytes() for p in (recording, folder / "m760.dat", folder / "irf.csv")}
    hard, soft, irf, model = tmp_path / "hard.snirf", tmp_path / "soft.snirf", folder / "irf.csv", folder / "m760.dat"
    cases = [(("--out", recording), f"{recording} (--out): it is the recording"),
             (("--csv", recording), f"{recording} (--csv): it is the recording"),
             (("--plot", recording), f"{recording} (--plot): it is the recording"),
             (("--out", hard), f"{hard} (--out): it is the recording"),
             (("--csv", soft), f"{soft} (--csv): it is the recording"),
             (("--out", model), f"{model} (--out): it is --model 760"),
             (("--csv", irf, "--irf", irf), f"{irf} (--csv): it is --irf"),
             (("--csv", tmp_path / "a.csv", "--plot", tmp_path / "a.csv"), "a.csv (--plot): --csv writes it too")]
    for options, words in cases:
        _refused(_analyze(folder, recording, *options), "nlayer-analyze: cannot write", words)
    # A spectral model's spectrum files are inputs too.
    model = tmp_path / "model.toml"
    model.write_text('[spectral]\nchromophores = ["HbO", "HbR"]\n[[spectral.chromophore]]\nname = "water"\nfile = "water.txt"\nunit = "absorption"\n'
                     '[[layer]]\nn = 1.4\nHbO = 50.0\nHbR = 20.0\nwater = 0.7\na = 1.0\nb = 1.0\n')
    (tmp_path / "water.txt").write_text("700 0.001\n900 0.01\n")
    done = subprocess.run([sys.executable, "-m", "nlayer._analyze", str(recording), "--model", str(model),
                           "--csv", str(tmp_path / "water.txt")], env=python_env(), capture_output=True, text=True)
    _refused(done, f"water.txt (--csv): it is a spectrum {model} names")
    assert (tmp_path / "water.txt").read_text() == "700 0.001\n900 0.01\n"
    model.unlink()
    (tmp_path / "water.txt").unlink()
    assert {p: p.read_bytes() for p in before} == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["hard.snirf", "rec.snirf", "soft.snirf"]


def _soft_loop(h5):
    del h5["nirs/probe/wavelengths"]
    h5["nirs/probe/wavelengths"] = h5py.SoftLink("/nirs/probe/loop")
    h5["nirs/probe/loop"] = h5py.SoftLink("/nirs/probe/wavelengths")


def _declare(name, shape, dtype=float):
    def change(h5):
        del h5[name]
        chunks = (1024,) + (1,) * (len(shape) - 1) if min(shape) else None
        h5.create_dataset(name, shape=shape, dtype=dtype, chunks=chunks, fillvalue=1)
    return change


def _string_bytes(name, data):
    def change(h5):
        del h5[name]
        h5.create_dataset(name, data=data, dtype=h5py.string_dtype("ascii"))
    return change


@pytest.mark.parametrize("name, change, where, words", [
    ("empty", lambda h5: (_declare("nirs/data1/dataTimeSeries", (0, 1024))(h5),
                          _declare("nirs/data1/time", (0,))(h5)), "/nirs/data1/dataTimeSeries", "no time point"),
    ("loop", _soft_loop, "/nirs/probe/wavelengths", "cannot be opened"),
    # A file of a few hundred KB that declares datasets of 10^9 values (chunks never written
    # hold the fill value): refused before anything is read.
    ("time", _declare("nirs/data1/time", (10**9,)), "/nirs/data1/time", "declares 1000000000 values"),
    ("series", _declare("nirs/data1/dataTimeSeries", (10**7, 10**6)), "/nirs/data1/dataTimeSeries",
     "memory available"),
    ("lists", _declare("nirs/data1/measurementLists/sourceIndex", (10**9,), np.int32),
     "/nirs/data1/measurementLists/sourceIndex", "declares 1000000000 values"),
    ("wavelengths", _declare("nirs/probe/wavelengths", (10**9,)), "/nirs/probe/wavelengths", "declares"),
    ("ascii", _string_bytes("nirs/metaDataTags/SubjectID", b"M\xfcller"), "/nirs/metaDataTags/SubjectID",
     "byte 0xfc at position 2"),
    # Names that are not UTF-8, where the reader looks for members and where it copies them.
    ("name", lambda h5: h5["nirs"].create_group(b"stim\xfc"), "/nirs", r"name is not text .*b'stim\\xfc'"),
    ("probe", lambda h5: h5["nirs/probe"].create_dataset(b"M\xfcller", data=1), "/nirs/probe", "name is not text"),
])
def test_hostile_recordings_are_refused_with_their_place(study, tmp_path, name, change, where, words):
    (tmp_path / "rec.snirf").write_bytes((study[0] / "rec.snirf").read_bytes())
    bad = _copy(tmp_path, f"{name}.snirf", change)
    assert bad.stat().st_size < 2**20
    with pytest.raises(rec.RecordingError, match=words) as caught:
        rec.read_snirf(bad)
    assert caught.value.location == where and "\n" not in str(caught.value)


def test_a_micro_sign_in_a_string_labelled_ascii_is_read_as_utf8(study, tmp_path):
    (tmp_path / "rec.snirf").write_bytes((study[0] / "rec.snirf").read_bytes())
    source = rec.read_snirf(tmp_path / "rec.snirf")
    micro = _copy(tmp_path, "micro.snirf", _string_bytes("nirs/metaDataTags/TimeUnit", "\u00b5s".encode()))
    with h5py.File(micro, "r+") as h5:
        h5["nirs/data1/time"][...] = h5["nirs/data1/time"][()] * 1e6
    np.testing.assert_allclose(rec.read_snirf(micro).time_s, source.time_s, rtol=1e-15)


def test_the_command_line_refuses_in_one_line(study, tmp_path):
    folder, _ = study
    _refused(_analyze(folder, tmp_path), f"{tmp_path}: Is a directory")
    _refused(_analyze(folder, folder / "rec.snirf", "--groups", "2-1"), "'2-1' is an empty range", status=2)


def test_model_files_need_no_distance(study, tmp_path):
    # nlayer-analyze takes each channel's distance from the probe: a model file without one
    # (or with one nlayer-run would refuse) gives the very results of one with a sound one.
    folder, media = study
    for (w, medium), rho in zip(media.items(), ([], ["-5"])):
        _model_file(tmp_path / f"m{w:g}.dat", medium, rho)
    models = f"760={tmp_path / 'm760.dat'},850={tmp_path / 'm850.dat'}"
    runs = [_analyze(folder, folder / "rec.snirf", "--csv", tmp_path / f"{name}.csv", models=chosen)
            for name, chosen in (("without", models), ("with", None))]
    assert [done.returncode for done in runs] == [0, 0], runs[0].stderr
    assert (tmp_path / "without.csv").read_bytes() == (tmp_path / "with.csv").read_bytes()
    # Elsewhere the distance is still required, and the hint is Python's, not nlayer-run's --rho.
    with pytest.raises(ValueError, match=r"m760.dat: rho is missing .* need_rho=False") as caught:
        nlayer.read_model(tmp_path / "m760.dat")
    assert "--rho" not in str(caught.value)
    assert nlayer.read_model(tmp_path / "m760.dat", need_rho=False).rho is None


HB = '[spectral]\nchromophores = ["HbO", "HbR"]\n'
LAYER = "[[layer]]\nn = 1.4\nHbO = 50.0\nHbR = 20.0\na = 1.0\nb = 1.0\n"


@pytest.mark.parametrize("text, words", [
    ("[spectral]\n" + "x = " + "[" * 1200 + "]" * 1200 + "\n", ":2: keys and values nest more than 64 levels"),
    (HB + LAYER.replace("n = 1.4", "n = [1.4]"), ":4: layer 1: n must be a number"),
    (HB + "[[spectral.chromophore]]\nname = \"w\"\nfile = 5\nunit = \"absorption\"\n", ":5: file must be a string"),
    (HB + LAYER.replace("HbO = 50.0", "HbO = { start = 50.0, lower = \"a\" }"),
     ":5: layer 1: HbO's lower bound must be a number"),
    # Misspellings the model's reader once let through and computed with defaults.
    (HB.replace("[spectral]\n", "[spectral]\nreferense_nm = 760\n") + LAYER, ':2: \\[spectral\\]: unknown key "referense_nm"'),
    ('[fit]\nstatistik = "chi2"\n' + HB + LAYER, ':2: \\[fit\\]: unknown key "statistik"'),
    (HB + LAYER + "musp = 1.2\n", ':9: layer 1: unknown key "musp"'),
])
def test_a_malformed_model_file_is_refused_with_its_name_and_line(tmp_path, study, text, words):
    model = tmp_path / "model.toml"
    model.write_text(text)
    with pytest.raises(ValueError, match=words) as caught:
        rec.spectral_model(model)
    assert str(caught.value).startswith(f"{model}:")
    # The command's refusal is the reader's, in one line.
    folder, _ = study
    done = subprocess.run([sys.executable, "-m", "nlayer._analyze", str(folder / "rec.snirf"), "--model", str(model),
                           "--irf", str(folder / "irf.csv")], env=python_env(), capture_output=True, text=True)
    _refused(done, str(caught.value))


def test_processed_results_carry_indices_from_one(study, tmp_path):
    folder, media = study
    recording = rec.read_snirf(folder / "rec.snirf")
    analysis = rec.moments_method(recording, media, baseline=(0, 3.9), irf=IRF, engine="fast")
    rec.write_results(tmp_path / "r.snirf", analysis)
    with h5py.File(tmp_path / "r.snirf", "r") as h5:
        probe = h5["nirs/probe"]
        limits = {"sourceIndex": len(probe["sourcePos3D"]), "detectorIndex": len(probe["detectorPos3D"]),
                  "wavelengthIndex": len(probe["wavelengths"]), "dataTypeIndex": 1}
        blocks = [h5[f"nirs/{key}"] for key in h5["nirs"] if key.startswith("data")]
        assert len(blocks) == len(analysis.names) + 2     # with the channels' and MNE's
        for block in blocks:
            lists = [block[key] for key in block if key.startswith("measurementList")]
            assert len(lists) == block["dataTimeSeries"].shape[1]
            for entry in lists:
                for name, limit in limits.items():
                    assert 1 <= int(entry[name][()]) <= limit, (block.name, entry.name, name)
