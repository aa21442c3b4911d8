"""Edges of the Python boundary: pickling under every protocol, NUL bytes in paths, objects
made without their values, moments of extreme times, the argument rules, the phase lag."""

import pickle
import subprocess
import sys

import numpy as np
import pytest

import nlayer
from conftest import EXAMPLES, python_env, two_layer


def test_every_pickle_protocol_round_trips_exactly(head):
    # 0 and 1 went through copyreg and aborted the interpreter, so they run in a child first.
    script = ("import pickle, nlayer\n"
              "m = nlayer.read_model(r'%s').medium\n"
              "for p in range(6):\n"
              "    for x in (m, m.layers[1]): assert pickle.loads(pickle.dumps(x, protocol=p)) == x\n"
              % (EXAMPLES / "adult_head" / "input.dat"))
    done = subprocess.run([sys.executable, "-c", script], env=python_env(), capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    # The file's 0.018 is no double: each protocol keeps the extended value and the curve.
    reference = nlayer.time_resolved(head, rho=30.0, samples=256)[1]
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        copy = pickle.loads(pickle.dumps(head, protocol=protocol))
        assert type(copy) is nlayer.Medium and copy == head and hash(copy) == hash(head)
        assert np.array_equal(nlayer.time_resolved(copy, rho=30.0, samples=256)[1], reference)
        layer = pickle.loads(pickle.dumps(head.layers[0], protocol=protocol))
        assert layer == head.layers[0] and repr(layer) == "Layer(musp=1.9, mua=0.018, n=1.4, d=3.0)"
    half_space = nlayer.Medium([nlayer.Layer(1.0, 0.01, 1.4, d=-3.0)])  # a thickness never used
    assert pickle.loads(pickle.dumps(half_space, protocol=0)).layers[0].d == -3.0


def test_objects_cannot_exist_without_their_values():
    for cls in (nlayer.Layer, nlayer.Medium):
        with pytest.raises(TypeError):
            cls.__new__(cls)
    # __new__ with the values is the whole construction; a second __init__ changes nothing.
    layer = nlayer.Layer.__new__(nlayer.Layer, 1.0, 0.02, 1.4, 5.0)
    assert layer == nlayer.Layer(1.0, 0.02, 1.4, 5.0)
    layer.__init__(9.0, 9.0, 9.0, 9.0)
    assert layer.musp == 1.0
    medium = nlayer.Medium.__new__(nlayer.Medium, [layer])
    assert medium.layers == [layer]


@pytest.mark.parametrize("call", [
    lambda p, d: nlayer.read_model(p),
    lambda p, d: nlayer.read_curve(p),
    lambda p, d: nlayer.fit(p, d / "irf.csv", d / "input.dat", free=["mua1"]),
    lambda p, d: nlayer.fit(d / "measured.csv", p, d / "input.dat", free=["mua1"]),
    lambda p, d: nlayer.fit(d / "measured.csv", d / "irf.csv", p, free=["mua1"]),
])
def test_nul_in_a_path_is_refused(call, tmp_path):
    # The names up to the NUL exist: a truncating reader would open them.
    (tmp_path / "input.dat").write_text((EXAMPLES / "adult_head" / "input.dat").read_text())
    for name in ("measured.csv", "irf.csv"):
        (tmp_path / name).write_text("t_ps,counts\n0,1\n10,2\n20,1\n")
    for path in (f"{tmp_path}/input.dat\0.csv", f"{tmp_path}/input.dat\0.csv".encode()):
        with pytest.raises(ValueError, match="embedded null byte"):
            call(path, tmp_path)
    with pytest.raises(ValueError, match="embedded null byte"):
        nlayer._nlayer.read_model(f"{tmp_path}/input.dat\0")


def test_curve_moments_of_extreme_times():
    # Times far from 0 against their spread: <t^2> - <t>^2 lost every digit (-65536 ps^2).
    m = nlayer.curve_moments([1e12, 1e12 + 10], [1, 1])
    assert (m.total, m.mean_time, m.variance) == (2.0, 1e12 + 5, 25.0)
    m = nlayer.curve_moments([1e12 + 2, 1e12 + 4, 1e12 + 9], [1, 2, 1])
    assert m.mean_time == 1e12 + 4.75 and m.variance == pytest.approx(6.6875, rel=1e-15)
    # Products beyond the double range stay finite inside; the result when it is representable.
    m = nlayer.curve_moments([1e150, 3e150], [1, 1])
    assert m.mean_time == 2e150 and m.variance == pytest.approx(1e300, rel=1e-15)
    m = nlayer.curve_moments([1e-300, 3e-300], [1e300, 1e300])
    assert m.total == 2e300 and m.mean_time == 2e-300
    # A variance a double cannot hold (2.5e599 ps^2) is refused, not returned as inf.
    with pytest.raises(ValueError, match=r"variance is 2\.5\d*e\+599 ps\^2, beyond the range of a double"):
        nlayer.curve_moments([1e300, 2e300], [1, 1])
    with pytest.raises(ValueError, match="total"):
        nlayer.curve_moments([1.0, 2.0], [1.7e308, 1.7e308])


@pytest.mark.parametrize("call, error, text", [
    (lambda m: nlayer.time_resolved(m, 20, samples=2**40), ValueError,
     r"samples is 1099511627776; it must be a power of two from 16 to 65536"),
    (lambda m: nlayer.time_resolved(m, 20, samples=48), ValueError, "samples is 48; it must be a power of two"),
    (lambda m: nlayer.sensitivity(m, 20, samples=2**40), ValueError, "a power of two from 16 to 65536"),
    (lambda m: nlayer.sweep([m], 20, samples=-2**40), ValueError, "a power of two from 16 to 65536"),
    (lambda m: nlayer.time_resolved(m, 20, threads=2**40), ValueError, r"threads is \d+; it must be from 0 \(every core\)"),
    (lambda m: nlayer.moments(m, 20, threads=-1), ValueError, "threads is -1; it must be from 0"),
    (lambda m: nlayer.sweep([m], 20, chunk_size=0), ValueError, "chunk_size is 0; it must be 1 or more"),
    (lambda m: nlayer.sweep([m], 20, workers=2**40), ValueError, "workers is .*; it must be from 1 to 4096"),
    (lambda m: nlayer.sweep([m], 20, timeout=0), ValueError, "timeout is 0.0; it must be \"auto\", None or a number of seconds > 0"),
    (lambda m: nlayer.sweep([m], 20, count=-1), ValueError, "count is -1; it must be 0 or more"),
    (lambda m: nlayer.moments(m, "20"), TypeError, "rho must be a number"),
    (lambda m: nlayer.sensitivity(m, [[10, 20]]), ValueError, "one-dimensional"),
    (lambda m: nlayer.moments(m, 20, engine="quick"), ValueError, "engine is 'quick'"),
])
def test_argument_errors_state_the_rule(call, error, text):
    with pytest.raises(error, match=text):
        call(two_layer())


def test_phase_lag_is_continued_past_pi(head):
    # 40 mm of head: the lag passes pi near 400 MHz, where the principal value turns negative.
    f = np.array([9e8, 1e8, 5e8, 3e8, 2e8, 7e8, 4e8, 1e9, 6e8, 8e8])   # asked for out of order
    lag = nlayer.phase_lag(head, rho=[20.0, 40.0], f_hz=f)
    assert lag.shape == (2, 10)
    dense_f = np.linspace(0, 1e9, 401)
    dense = nlayer.frequency_domain(head, rho=40.0, f_hz=dense_f)
    continued = -np.unwrap(np.angle(dense))       # steps of 2.5 MHz: about 0.01 rad apart
    index = np.rint(f / 2.5e6).astype(int)
    np.testing.assert_allclose(lag[1], continued[index], rtol=0, atol=1e-9)
    at_500 = nlayer.frequency_domain(head, rho=40.0, f_hz=5e8)
    assert lag[1][f == 5e8][0] > np.pi > 0 > -np.angle(at_500)
    assert np.all(np.diff(lag[:, np.argsort(f)], axis=1) > 0)
    # One frequency alone, far past pi: the frequencies in between carry the continuation.
    assert nlayer.phase_lag(head, 40.0, 1e9) == lag[1, 7]
    assert nlayer.phase_lag(head, [40.0], [5e8, 0.0]).tolist() == [[lag[1, 2], 0.0]]
    with pytest.raises(ValueError, match="frequency -1 Hz"):
        nlayer.phase_lag(head, 40.0, [1e8, -1.0])
