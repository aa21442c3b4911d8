"""What a bad medium, a bad argument, a model fault and a bad model file raise."""

from decimal import Decimal
import errno
import pickle

import numpy as np

import pytest

import nlayer
from conftest import two_layer, write_model


@pytest.mark.parametrize("layers, layer, field, text", [
    ([(1.0, 0.01, 1.4, 5.0), (2.0, -0.01, 1.4, 15.0)], 2, "mua", "mua of layer 2 is -0.01; it must be >= 0"),
    ([(0.0, 0.01, 1.4, 5.0), (2.0, 0.03, 1.4, 15.0)], 1, "musp", "musp of layer 1 is 0"),
    ([(1.0, 0.01, float("nan"), 5.0)], 1, "n", "n of layer 1 is nan"),
    ([(1.0, 0.01, 1.4, float("inf")), (2.0, 0.03, 1.4, 15.0)], 1, "d", "d of layer 1 is inf"),
    ([(1.0, 0.01, 1.4, 5.0), (2.0, 0.03, 1.4, float("-inf"))], 2, "d", "d of layer 2 is -inf"),
    ([], None, "layers", "no layers"),
])
def test_medium_names_layer_and_field(layers, layer, field, text):
    with pytest.raises(ValueError, match=text) as caught:
        nlayer.Medium([nlayer.Layer(*values) for values in layers])
    assert (caught.value.layer, caught.value.field) == (layer, field)


def test_single_layer_is_a_half_space_whatever_its_thickness():
    assert len(nlayer.Medium([nlayer.Layer(musp=1.0, mua=0.01, n=1.4, d=-3.0)])) == 1


@pytest.mark.parametrize("call, error, text", [
    (lambda m: nlayer.Medium([nlayer.Layer(1, 0.01, 1.4, 5), "layer"]), TypeError, "layer 2 is a str"),
    (lambda m: nlayer.Layer(musp="1"), TypeError, ""),
    (lambda m: nlayer.time_resolved("medium", rho=20), TypeError, "nlayer.Medium"),
    (lambda m: nlayer.time_resolved(m, rho="20"), TypeError, "rho"),
    (lambda m: nlayer.time_resolved(m, rho=20, samples=1024.0), TypeError, "samples"),
    (lambda m: nlayer.time_resolved(m, rho=20, threads=1.5), TypeError, "threads"),
    (lambda m: nlayer.time_resolved(m, rho=20, dt_ps="10"), TypeError, "dt_ps"),
    (lambda m: nlayer.time_resolved(m, rho=0), ValueError, "rho is 0; it must be > 0"),
    (lambda m: nlayer.time_resolved(m, rho=[]), ValueError, "no source-detector distance"),
    (lambda m: nlayer.time_resolved(m, rho=[[10, 20]]), ValueError, "one-dimensional"),
    (lambda m: nlayer.time_resolved(m, rho=20, samples=1000), ValueError, "power of two"),
    (lambda m: nlayer.time_resolved(m, rho=20, dt_ps=-1.0), ValueError, "dt_ps is -1"),
    (lambda m: nlayer.time_resolved(m, rho=20, threads=-1), ValueError, "threads is -1"),
    (lambda m: nlayer.frequency_domain(m, rho=20, f_hz=[1e8, -1.0]), ValueError, "frequency -1 Hz"),
    (lambda m: nlayer.continuous_wave(m, rho=float("nan")), ValueError, "rho is nan"),
    (lambda m: nlayer.continuous_wave(m, rho=10, engine="quick"), ValueError, "engine is 'quick'"),
    (lambda m: nlayer.frequency_domain(m, rho=10, f_hz=0, engine=None), TypeError, "engine"),
])
def test_bad_arguments(call, error, text):
    with pytest.raises(error, match=text):
        call(two_layer())


def test_model_fault_raises_model_error_with_its_place():
    # mua / D = 3 mua mus' of the bottom layer passes the extended range.
    extreme = nlayer.Medium([nlayer.Layer(musp=1.0, mua=0.01, n=1.4, d=100.0),
                             nlayer.Layer(musp=1.0, mua=Decimal("1e4932"), n=1.4, d=100.0)])
    with pytest.raises(nlayer.ModelError, match="overflow.*far outside physical values") as caught:
        nlayer.frequency_domain(extreme, rho=20, f_hz=[0.0, 1e9])
    error = caught.value
    assert isinstance(error, ArithmeticError)
    assert (error.kind, error.stage, error.frequency_index, error.frequency_hz) == ("overflow", "frequency", 0, 0.0)
    # Dask sends errors back pickled.
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is nlayer.ModelError and str(copy) == str(error) and copy.kind == "overflow"
    with pytest.raises(nlayer.ModelError):
        nlayer.time_resolved(extreme, rho=20)


def test_no_thickness_overflows():
    # 200 mm of scattering stack once overflowed the extended range; light does not come back
    # from 200 mm, so a bottom without end gives the same curve to the rounding.
    def stack(bottom):
        return nlayer.Medium([nlayer.Layer(musp=1.0, mua=0.01, n=1.4, d=100.0),
                              nlayer.Layer(musp=1.0, mua=0.01, n=1.4, d=bottom)])
    _, thick = nlayer.time_resolved(stack(100.0), rho=20)
    _, deep = nlayer.time_resolved(stack(float("inf")), rho=20, engine="fast")
    np.testing.assert_allclose(deep, thick, rtol=0, atol=1e-8 * thick.max())
    assert stack(float("inf")).layers[1].d == float("inf")


def test_read_model_errors(tmp_path):
    with pytest.raises(FileNotFoundError) as caught:
        nlayer.read_model(tmp_path / "missing.dat")
    assert caught.value.errno == errno.ENOENT and caught.value.filename == str(tmp_path / "missing.dat")

    bad = tmp_path / "input.dat"
    bad.write_text("1\n1\n0.01\n1,4\n10\n20\n")
    with pytest.raises(ValueError, match=r"input.dat:4: .*1,4") as caught:
        nlayer.read_model(bad)
    assert caught.value.line == 4

    write_model(bad, [(1.0, -0.01, 1.4, 10.0)], 20)
    with pytest.raises(ValueError, match=r"input.dat:3: mua of layer 1 is -0.01"):
        nlayer.read_model(bad)
