"""The module's numbers against nlayer-run's files and against identities of the transforms."""

import pickle
from decimal import Decimal
import subprocess

import numpy as np
import pytest

import nlayer
from conftest import EXAMPLES, two_layer, write_model


def read_reflectance_dat(path):
    rows = np.array([[float(x) for x in line.split()] for line in path.read_text().splitlines()])
    return rows[:, 0], rows[:, 1]


MODELS = {
    "one_layer": EXAMPLES / "one_layer" / "input.dat",
    "adult_head": EXAMPLES / "adult_head" / "input.dat",
    # Indices other than 1.4, so that the boundaries' reflection is computed, not looked up.
    "mismatched": ([(1.3, 0.02, 1.33, 4.0), (0.9, 0.005, 1.5, 30.0)], 25),
}


def window_curve(medium, rho):
    """The window's run as the library predicts it: the curve on a period 8 times as long, summed
    over the run's 10240 ps period as its inverse FFT sums it, at t = 10 ... 5120 ps."""
    t_long, R_long = nlayer.time_resolved(medium, rho=rho, samples=8192)
    periods = R_long.reshape(-1)[: 4 * 1024].reshape(4, 1024)
    return t_long[:512], periods.sum(axis=0)[:512]


@pytest.mark.parametrize("name", MODELS)
def test_default_grid_equals_reflectance_dat(name, nlayer_run, tmp_path):
    model = MODELS[name]
    path = model if not isinstance(model, tuple) else write_model(tmp_path / "input.dat", *model)
    subprocess.run([nlayer_run, "--input", path, "--output", tmp_path / "reflectance.dat"], check=True)
    t_file, r_file = read_reflectance_dat(tmp_path / "reflectance.dat")

    medium, rho = nlayer.read_model(path)
    t_ps, R = nlayer.time_resolved(medium, rho=rho)
    index = np.rint(t_file / 10).astype(int) - 1
    assert len(t_file) > 100
    np.testing.assert_array_equal(t_ps[index], t_file)
    # The library's form of the layered solution rounds otherwise than the window's run, and its
    # root keeps the digits the window's loses from 97.66 MHz on; the transform's cancellation
    # makes that 3.5e-13 of the peak at 30 mm in the head, far below the curve's stated rounding.
    # The run keeps its period, and the slow mismatched stack's tail folds onto its start
    # (1.5e-7 of its peak): the library's curve summed over that period gives the file, to the
    # long curve's rounding, which spreads over its 8 times as many frequencies.
    folds = name == "mismatched"
    expected = window_curve(medium, rho)[1] if folds else R
    agree = 1e-9 if folds else 1e-12
    np.testing.assert_allclose(expected[index], r_file, rtol=agree, atol=agree * r_file.max())
    np.testing.assert_allclose(R[index], r_file, rtol=0, atol=1e-6 * r_file.max())

    # The file's decimal digits as Decimal give the very same extended values.
    tokens = [line.split()[0] for line in path.read_text().splitlines() if line.strip()]
    values = [Decimal(token) for token in tokens[1:-1]]
    exact = nlayer.Medium([nlayer.Layer(*values[i:i + 4]) for i in range(0, len(values), 4)])
    assert exact == medium


def test_time_and_frequency_domain_agree(head):
    """sum(R) dt is R~(0), and the phase lag at a low frequency is 2 pi f <t>."""
    rho = [10.0, 20.0, 30.0]
    t_ps, R = nlayer.time_resolved(head, rho=rho)
    cw = nlayer.continuous_wave(head, rho=rho)
    np.testing.assert_allclose(R.sum(axis=1) * 10.0, cw, rtol=1e-6)

    f_hz = 1e6
    Rf = nlayer.frequency_domain(head, rho=rho, f_hz=[0.0, f_hz])
    assert np.array_equal(Rf[:, 0].real, cw) and np.all(Rf[:, 0].imag == 0)
    mean_t_ps = (R * t_ps).sum(axis=1) / R.sum(axis=1)
    np.testing.assert_allclose(-np.angle(Rf[:, 1]) / (2 * np.pi * f_hz) * 1e12, mean_t_ps, rtol=1e-5)


def test_shapes_follow_the_arguments():
    m = two_layer()
    t_ps, R = nlayer.time_resolved(m, rho=20.0)
    assert R.shape == (512,) and t_ps[0] == 10.0 and t_ps[-1] == 5120.0
    t_ps, R3 = nlayer.time_resolved(m, rho=[10, 20, 30], dt_ps=5.0, samples=2048, threads=0)
    assert R3.shape == (3, 1024) and t_ps[0] == 5.0 and t_ps[-1] == 5120.0
    # A distance's curve does not depend on the others in the call.
    assert np.array_equal(nlayer.time_resolved(m, rho=[30.0], dt_ps=5.0, samples=2048)[1][0], R3[2])

    assert nlayer.frequency_domain(m, rho=[10, 30], f_hz=[0, 1e8]).shape == (2, 2)
    assert nlayer.frequency_domain(m, rho=10, f_hz=[0, 1e8, 2e8]).shape == (3,)
    assert nlayer.frequency_domain(m, rho=np.array([10.0, 30.0]), f_hz=1e8).shape == (2,)
    assert isinstance(nlayer.frequency_domain(m, rho=10, f_hz=1e8), complex)
    assert nlayer.continuous_wave(m, rho=[10, 30]).shape == (2,)
    assert isinstance(nlayer.continuous_wave(m, rho=10), float)


def test_media_keep_extended_values_through_pickle(tmp_path):
    # 0.013 and 1.37 are no doubles: the file's extended values must survive, not the floats.
    path = write_model(tmp_path / "input.dat", [(1.1, 0.013, 1.37, 6.0), (0.8, 0.02, 1.4, 20.0)], 15)
    medium, rho = nlayer.read_model(path)
    assert medium.layers[0].mua == 0.013 and rho == 15.0
    assert repr(medium) == ("Medium([Layer(musp=1.1, mua=0.013, n=1.37, d=6.0), "
                            "Layer(musp=0.8, mua=0.02, n=1.4, d=20.0)])")
    floats = nlayer.Medium([nlayer.Layer(musp=l.musp, mua=l.mua, n=l.n, d=l.d) for l in medium.layers])
    assert floats != medium

    copy = pickle.loads(pickle.dumps(medium))
    assert copy == medium and hash(copy) == hash(medium)
    assert np.array_equal(nlayer.time_resolved(copy, rho=rho, samples=256)[1],
                          nlayer.time_resolved(medium, rho=rho, samples=256)[1])
    assert pickle.loads(pickle.dumps(medium.layers[0])) == medium.layers[0]


def test_fast_engine_keeps_eight_digits_of_the_exact_one(head):
    t_ps, exact = nlayer.time_resolved(head, rho=[10.0, 30.0])
    _, fast = nlayer.time_resolved(head, rho=[10.0, 30.0], engine="fast")
    for e, f in zip(exact, fast):
        np.testing.assert_allclose(f, e, rtol=0, atol=1e-8 * e.max())
    cw = nlayer.continuous_wave(head, rho=[10.0, 30.0])
    np.testing.assert_allclose(nlayer.continuous_wave(head, rho=[10.0, 30.0], engine="fast"), cw, rtol=1e-8)
