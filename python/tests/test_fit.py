"""Moments, sensitivities and fits from Python, against the library's other routes and against
synthetic measurements whose truth is known (made by examples/fit/make_data.py, which convolves
and bins in the time domain, not as the fit does)."""

import subprocess
import sys

import numpy as np
import pytest

import nlayer
from conftest import EXAMPLES, python_env, two_layer


sys.path.insert(0, str(EXAMPLES / "fit"))
import make_data  # noqa: E402  (the example's generator of synthetic measurements)


def test_moments_agree_with_the_curve_and_the_continuous_wave():
    head = two_layer()
    rho = [15.0, 30.0]
    moments = nlayer.moments(head, rho=rho)
    assert isinstance(moments, nlayer.Moments) and all(np.shape(field) == (2,) for field in moments)
    single = nlayer.moments(head, rho=30.0)
    assert isinstance(single, nlayer.Moments) and isinstance(single.mean_time, float)
    assert single == tuple(field[1] for field in moments)
    np.testing.assert_allclose(moments.total, nlayer.continuous_wave(head, rho=rho), rtol=1e-9)
    # On a grid long enough for the light to fade, sums over the curve give the same moments.
    t, R = nlayer.time_resolved(head, rho=rho, dt_ps=5.0, samples=4096)
    mean = (t * R).sum(axis=1) / R.sum(axis=1)
    np.testing.assert_allclose(moments.mean_time, mean, rtol=1e-6)
    variance = ((t - mean[:, None]) ** 2 * R).sum(axis=1) / R.sum(axis=1)
    np.testing.assert_allclose(moments.variance, variance, rtol=1e-5)


def test_sensitivity_is_the_derivative_of_the_model():
    medium = two_layer()
    s = nlayer.sensitivity(medium, 20.0, dt_ps=10.0, samples=1024)
    assert s.mpp.shape == s.mtsf.shape == s.vsf.shape == (2,)
    assert s.t_ps.shape == (512,) and s.gated.shape == (2, 512)
    assert s.moments == nlayer.moments(medium, 20.0)
    # Central differences of the continuous-wave reflectance and of the curve, layer by layer.
    h = 1e-5
    t_peak = int(np.argmax(nlayer.time_resolved(medium, 20.0)[1]))
    for k in range(2):
        def with_mua(mua):
            layers = list(medium.layers)
            old = layers[k]
            layers[k] = nlayer.Layer(old.musp, mua, old.n, old.d)
            return nlayer.Medium(layers)
        mua = medium.layers[k].mua
        up, down = with_mua(mua + h), with_mua(mua - h)
        mpp = -(np.log(nlayer.continuous_wave(up, 20.0)) - np.log(nlayer.continuous_wave(down, 20.0))) / (2 * h)
        np.testing.assert_allclose(s.mpp[k], mpp, rtol=1e-5)
        mtsf = (nlayer.moments(up, 20.0).mean_time - nlayer.moments(down, 20.0).mean_time) / (2 * h)
        np.testing.assert_allclose(s.mtsf[k], mtsf, rtol=1e-4)
        r_up, r_down = nlayer.time_resolved(up, 20.0)[1][t_peak], nlayer.time_resolved(down, 20.0)[1][t_peak]
        np.testing.assert_allclose(s.gated[k, t_peak], -(np.log(r_up) - np.log(r_down)) / (2 * h), rtol=1e-5)


def test_far_moments_and_sensitivities_are_refused_not_returned_wrong():
    # At 150 mm the transform's rounding swamps the moments of this half-space (they came back
    # negative); beyond rho mus' 2000 the transform itself is refused.
    half_space = nlayer.Medium([nlayer.Layer(musp=3.0, mua=0.01, n=1.4, d=10.0)])
    for rho in (150.0, 700.0):
        with pytest.raises(ValueError, match=f"rho = {rho:g} mm"):
            nlayer.moments(half_space, rho=rho)
        with pytest.raises(ValueError, match=f"rho = {rho:g} mm"):
            nlayer.sensitivity(half_space, rho, dt_ps=10.0, samples=1024)


def test_simulate_counts_refuses_a_long_irf_and_draws_huge_totals():
    medium = two_layer()
    # More bins than the simulation's grid holds wrote past its end.
    with pytest.raises(ValueError, match="5000000 bins"):
        nlayer.simulate_counts(medium, 30.0, np.ones(5_000_000), total_counts=1e6, dt_ps=10.0)
    # 1e25 counts spun forever in the Poisson draw.
    t = np.arange(300) * 10.0
    irf = np.exp(-0.5 * ((t - 300) / 40) ** 2)
    counts = nlayer.simulate_counts(medium, 30.0, irf, total_counts=1e25, dt_ps=10.0)
    assert counts.sum() == pytest.approx(1e25, rel=1e-6)
    # The C++ order (dt_ps, then total_counts) given positionally would swap the two.
    with pytest.raises(TypeError, match="positional"):
        nlayer.simulate_counts(medium, 30.0, irf, 10.0, 1e6)


def test_curve_moments_take_the_instrument_out():
    # A curve that is the IRF convolved with a known distribution has that distribution's
    # mean and variance once the IRF's are subtracted.
    t = np.arange(4000) * 2.0
    irf = np.exp(-0.5 * ((t - 300) / 40) ** 2)
    shape = np.where(t > 0, t**2 * np.exp(-t / 150.0), 0.0)
    curve = np.convolve(irf, shape)[:len(t)]
    m = nlayer.curve_moments(t, curve, irf)
    tau = np.arange(len(t)) * 2.0
    mean = (tau * shape).sum() / shape.sum()
    np.testing.assert_allclose(m.mean_time, mean, rtol=1e-9)
    np.testing.assert_allclose(m.variance, ((tau - mean) ** 2 * shape).sum() / shape.sum(), rtol=1e-9)
    assert m.total == pytest.approx(curve.sum())
    with pytest.raises(ValueError):
        nlayer.curve_moments(t, -curve)


@pytest.fixture(scope="module")
def measurement():
    """t_ps, noisy counts, noisy IRF counts of make_data's truth (seed 7)."""
    t, curve, irf = make_data.expected_counts(make_data.TRUTH)
    rng = np.random.default_rng(7)
    return t, rng.poisson(1e6 * curve).astype(float), rng.poisson(1e6 * irf).astype(float)


def test_fit_recovers_the_truth_from_arrays(measurement):
    t, counts, irf = measurement
    start = nlayer.Medium([nlayer.Layer(musp=1.25, mua=0.008, n=1.4, d=10.0)])
    result = nlayer.fit((t, counts), irf, start, rho=make_data.RHO_MM, free=["mua1", "musp1"], statistic="chi2")
    assert result.success, result.message
    for name, truth, tolerance in [("mua1", 0.01, 0.02), ("musp1", 1.0, 0.03)]:
        assert result.values[name] == pytest.approx(truth, rel=tolerance)
        assert abs(result.values[name] - truth) <= 3 * result.standard_error[name]
    assert abs(result.values["shift_ps"] - make_data.SHIFT_PS) <= 3 * result.standard_error["shift_ps"]
    assert 0.8 < result.chi2_reduced < 1.25
    assert result.model_counts.shape == result.residuals.shape == counts.shape
    chi2 = (result.residuals[result.fit_range] ** 2).sum()
    assert chi2 / result.degrees_of_freedom == pytest.approx(result.chi2_reduced, rel=1e-9)
    assert result.medium.layers[0].mua == result.values["mua1"]
    assert result.evaluations > 0 and result.seconds > 0
    assert "mua1 = " in repr(result)


def test_fit_says_when_not_to_trust_it(measurement):
    t, counts, irf = measurement
    start = nlayer.Medium([nlayer.Layer(musp=1.3, mua=0.012, n=1.4, d=10.0)])
    good = nlayer.fit((t, counts), irf, start, rho=make_data.RHO_MM, free=["mua1", "musp1"])
    assert good.success and good.flags == [] and "verdict: success" in good.report()
    # The covariance and the reported errors agree; the correlations are its normalised form.
    np.testing.assert_allclose(np.sqrt(np.diag(good.covariance)), [good.standard_error[n] for n in good.names], rtol=1e-12)
    np.testing.assert_allclose(good.correlation, good.correlation.T, atol=1e-12)

    bounded = nlayer.fit((t, counts), irf, start, rho=make_data.RHO_MM, free=["mua1", "musp1"],
                         bounds={"mua1": (0.0105, 0.1)})
    assert not bounded.success
    assert [f["kind"] for f in bounded.flags] == ["at_bound"] and bounded.flags[0]["parameters"] == ["mua1"]
    assert "mua1 stopped at its lower bound 0.0105" in bounded.flags[0]["sentence"]
    assert "NOT to be trusted (1 flag)" in bounded.report() and "NOT to be trusted" in repr(bounded)
    as_dict = bounded.to_dict()
    assert as_dict["success"] is False and as_dict["flags"] == bounded.flags
    assert [e["name"] for e in as_dict["estimates"]] == bounded.names == ["mua1", "musp1", "amplitude", "shift_ps"]

    # Counts scaled far below one count: the same optimum, flagged as no counts.
    scaled = nlayer.fit((t, counts * 1e-14), irf, start, rho=make_data.RHO_MM, free=["mua1", "musp1"])
    assert not scaled.success and [f["kind"] for f in scaled.flags] == ["not_counts"]
    assert abs(scaled.values["mua1"] - good.values["mua1"]) < 0.01 * good.standard_error["mua1"]

    # A calibrated shift held at the fitted one: the same estimates, with the errors conditioned
    # on it, which can only be smaller.
    fixed = nlayer.fit((t, counts), irf, start, rho=make_data.RHO_MM, free=["mua1", "musp1"],
                       shift_ps=good.values["shift_ps"])
    assert fixed.success and fixed.fixed == ["shift_ps"] and fixed.standard_error["shift_ps"] == 0
    assert fixed.values["shift_ps"] == good.values["shift_ps"]
    for name in ("mua1", "musp1"):
        assert abs(fixed.values[name] - good.values[name]) < 0.01 * good.standard_error[name]
        assert fixed.standard_error[name] < good.standard_error[name]


def test_fit_refuses_what_it_cannot_fit(measurement, tmp_path):
    t, counts, irf = measurement
    medium = nlayer.Medium([nlayer.Layer(musp=1.0, mua=0.01, n=1.4, d=10.0)])
    cases = [
        (dict(measured=(t, counts), irf=irf[:-1]), "the IRF has 399 bins and the measured curve 400"),
        (dict(measured=(t, counts), irf=(t + 3.0, irf)), "the IRF's bins do not match"),
        (dict(measured=(np.sqrt(t + 1) * 100, counts), irf=irf), "bins are not uniform"),
        (dict(measured=(t, counts), irf=np.zeros_like(irf)), "the IRF has no counts"),
        (dict(measured=(t, counts), irf=irf, free=["musp2"]), "musp2 names no layer"),
        (dict(measured=(t, counts), irf=irf, bounds={"mua1": (0.02, 0.1)}), "lies outside its bounds"),
        (dict(measured=(t, counts), irf=irf, window_ps=(0, 300)), "no counts in the fit range"),
    ]
    for arguments, says in cases:
        arguments.setdefault("free", ["mua1"])
        with pytest.raises(ValueError, match=says):
            nlayer.fit(model=medium, rho=30.0, **arguments)
    with pytest.raises(TypeError):
        nlayer.fit((t, counts), irf, medium, rho=30.0, free=[1])
    bad = tmp_path / "bad.csv"
    bad.write_text("t_ps,counts\n0,1\n10,x\n")
    with pytest.raises(ValueError, match="bad.csv:3") as error:
        nlayer.read_curve(bad)
    assert error.value.line == 3
    with pytest.raises(OSError):
        nlayer.read_curve(tmp_path / "missing.csv")


def test_nlayer_fit_prints_writes_and_refuses(nlayer_run, tmp_path):
    nlayer_fit = nlayer_run.parent / "nlayer-fit"
    make_data.main(tmp_path)
    command = [nlayer_fit, "--measured", tmp_path / "measured.csv", "--irf", tmp_path / "irf.csv",
               "--model", tmp_path / "input.dat", "--free", "mua1,musp1", "--csv", tmp_path / "fit.csv"]
    done = subprocess.run(command, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    names = [line.split(" = ")[0] for line in lines[:5]]
    assert names == ["mua1", "musp1", "amplitude", "shift_ps", "chi2_reduced"]
    value, error = (float(x) for x in lines[0].split(" = ")[1].split(" +- "))
    assert abs(value - 0.01) <= 3 * error and abs(value - 0.01) < 0.0002
    table = np.genfromtxt(tmp_path / "fit.csv", delimiter=",", names=True)
    assert table.dtype.names == ("t_ps", "measured", "model", "residual", "in_fit_range")
    t, counts = nlayer.read_curve(tmp_path / "measured.csv")
    np.testing.assert_array_equal(table["measured"], counts)

    refused = subprocess.run(command[:-2] + ["--free", "mua2"], capture_output=True, text=True)
    assert refused.returncode == 1 and refused.stdout == ""
    assert refused.stderr == "nlayer-fit: the free parameter mua2 names no layer: the model has 1 layer\n"
    usage = subprocess.run(command + ["--range", "0.1"], capture_output=True, text=True)
    assert usage.returncode == 2 and "--range" in usage.stderr


def test_the_worked_example_fits_and_draws(tmp_path):
    env = python_env()
    for script, args in [("make_data.py", [tmp_path]), ("fit.py", [tmp_path, tmp_path / "fit.png"])]:
        done = subprocess.run([sys.executable, EXAMPLES / "fit" / script, *args], env=env, capture_output=True,
                              text=True, timeout=300)
        assert done.returncode == 0, done.stderr
    assert "(converged;" in done.stdout and "mua1 = 0.00" in done.stdout
    assert (tmp_path / "fit.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fit.png", "input.dat", "irf.csv", "measured.csv"]


def test_joint_fit_from_code_and_from_a_problem_file_agree_and_recover_the_truth(tmp_path):
    # Two distances of a homogeneous medium: the builder's problem and the same problem written
    # as a TOML file must reach the same estimates, and those must hold the truth.
    truth = nlayer.Medium([nlayer.Layer(musp=1.0, mua=0.01, n=1.4, d=10.0)])
    t = np.arange(400) * 10.0
    irf = np.exp(-0.5 * ((t - 300) / 40) ** 2)
    counts = {rho: nlayer.simulate_counts(truth, rho, irf, total_counts=1e6, dt_ps=10.0, seed=rho,
                                          shift_ps=15) for rho in (20, 30)}
    assert np.array_equal(counts[20], nlayer.simulate_counts(truth, 20, irf, total_counts=1e6, dt_ps=10.0, seed=20,
                                                                shift_ps=15))
    problem = nlayer.FitProblem(nlayer.Medium([nlayer.Layer(musp=1.3, mua=0.007, n=1.4, d=10.0)]))
    for rho in (20, 30):
        problem.add_curve(counts[rho], irf, rho, t_ps=t, label=f"m{rho}.csv")
    problem.free("mua1").free("musp1", lower=0.5, upper=2.0)
    built = nlayer.fit(problem)

    for rho in (20, 30):
        np.savetxt(tmp_path / f"m{rho}.csv", np.column_stack([t, counts[rho]]), delimiter=",", fmt="%.17g")
    np.savetxt(tmp_path / "irf.csv", np.column_stack([t, irf]), delimiter=",", fmt="%.17g")
    (tmp_path / "p.toml").write_text(
        "[[layer]]\nn = 1.4\nmua = { start = 0.007 }\nmusp = { start = 1.3, lower = 0.5, upper = 2.0 }\n"
        + "".join(f'[[curve]]\nfile = "m{rho}.csv"\nirf = "irf.csv"\nrho = {rho}\n' for rho in (20, 30)))
    read = nlayer.fit(str(tmp_path / "p.toml"))
    assert built.success and read.success
    for name in ("mua1", "musp1"):
        assert read.values[name] == pytest.approx(built.values[name], rel=1e-9)
        assert abs(built.values[name] - {"mua1": 0.01, "musp1": 1.0}[name]) < 3 * built.standard_error[name]
    assert [c["label"] for c in read.curves] == ["m20.csv", "m30.csv"]
    assert "amplitude[m30.csv]" in read.values

    (tmp_path / "bad.toml").write_text("[[layer]]\nn = 1.4\nmua = { lower = 0 }\nmusp = 1\n"
                                       '[[curve]]\nfile = "m20.csv"\nirf = "irf.csv"\nrho = 20\n')
    with pytest.raises(ValueError, match="bad.toml:3") as error:
        nlayer.FitProblem.from_file(tmp_path / "bad.toml")
    assert error.value.line == 3
    with pytest.raises(FileNotFoundError):
        nlayer.FitProblem.from_file(tmp_path / "missing.toml")
    # So deep a header overflowed the parser's stack and killed the interpreter.
    (tmp_path / "deep.toml").write_text("[[layer]]\nn = 1.4\n\n[" + ".".join(["t"] * 35000) + "]\n")
    with pytest.raises(ValueError, match="deep.toml:4: keys and values nest more than"):
        nlayer.FitProblem.from_file(tmp_path / "deep.toml")
    with pytest.raises(ValueError, match="mua7"):
        nlayer.fit(nlayer.FitProblem(truth).add_curve(counts[20], irf, 20, t_ps=t).free("mua7"))
