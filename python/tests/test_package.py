"""The package as users meet it: installed with pip into a venv, its public names, exact
distances from Decimal and model files, Medium.replace, several distances at once."""

import os
import pathlib
import shutil
import subprocess
from decimal import Decimal

import numpy as np
import pytest

import nlayer
from conftest import REPOSITORY, two_layer, write_model
from test_values import read_reflectance_dat, window_curve


# Some minutes of compiling: ctest runs it once (python_package_install, which sets the
# variable); the plain pytest run skips it.
@pytest.mark.skipif(os.environ.get("NLAYER_TEST_PIP_INSTALL") != "1",
                    reason="ctest's python_package_install runs it (NLAYER_TEST_PIP_INSTALL=1)")
def test_pip_install_into_a_venv_offline(tmp_path):
    source = tmp_path / "source"
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], cwd=REPOSITORY, check=True,
                           capture_output=True, text=True).stdout.split("\n")
    for name in filter(None, files):
        if (REPOSITORY / name).is_file():
            (source / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(REPOSITORY / name, source / name)
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", venv], check=True)
    python = venv / "bin" / "python"
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    # The extension comes from the build the tests run in (python_package_install names it), not
    # from a second compilation of the library; setup.py's own CMake build is what users get.
    done = subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-deps",
                           "--disable-pip-version-check", str(source)], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    if "NLAYER_CMAKE_BUILD" in env:
        assert not list(source.glob("build/pip/temp.*/cmake")), "pip built the library again"
    else:
        # Only the extension was built, under pip's build.
        cache = next(source.glob("build/pip/temp.*/cmake/CMakeCache.txt")).read_text()
        assert "NLAYER_BUILD_UI:BOOL=OFF" in cache and "NLAYER_BUILD_TESTS:BOOL=OFF" in cache
        assert not list(source.glob("build/pip/temp.*/cmake/bin/*"))
    # and nothing of it outside build/pip, which one rm -r removes
    assert [p.name for p in (source / "build").iterdir()] == ["pip"]
    assert all(p.is_relative_to(source / "build" / "pip") for p in source.glob("**/*.egg-info"))
    check = ("import nlayer, pathlib, sys; p = pathlib.Path(nlayer.__file__).parent; "
             "assert str(p).startswith(sys.prefix), p; "
             "assert {'py.typed', '_nlayer.pyi', '_checks.py'} <= {f.name for f in p.iterdir()}; "
             "assert (p / 'recording' / 'spectral.py').is_file(); "
             "assert nlayer.recording.extinction(760.0).tolist() == [586.0, 1548.52]; "
             "m = nlayer.Medium([(1.0, 0.01, 1.4)]); print(nlayer.continuous_wave(m, 20.0))")
    done = subprocess.run([python, "-c", check], env=env, cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert float(done.stdout) == nlayer.continuous_wave(nlayer.Medium([(1.0, 0.01, 1.4)]), 20.0)
    # The console script.
    done = subprocess.run([venv / "bin" / "nlayer-analyze", "--version"], env=env, capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout == f"nlayer-analyze {nlayer.__version__}\n", done.stderr


def test_public_names():
    public = {name for name in dir(nlayer) if not name.startswith("_")}
    assert public == set(nlayer.__all__) - {"__version__"}
    for name in nlayer.__all__:
        assert hasattr(nlayer, name)
    package = pathlib.Path(nlayer.__file__).parent
    assert (package / "py.typed").is_file()
    stub = (package / "_nlayer.pyi").read_text()
    for name in ("class Layer", "class Medium", "class ModelError", "def replace"):
        assert name in stub
    # py.typed promises types: every public function and method states its parameters' and its
    # result's, or a checker sees Any (the compiled classes' are in the stub).
    import inspect
    unannotated = []
    for module in (nlayer, nlayer.recording):
        for name in module.__all__:
            item = getattr(module, name)
            if getattr(item, "__module__", "").endswith("_nlayer"):
                continue
            members = [item] if inspect.isfunction(item) else [
                member for key, member in vars(item).items() if inspect.isfunction(member) and not key.startswith("_")
            ] if inspect.isclass(item) else []
            for function in members:
                signature = inspect.signature(function)
                missing = [p.name for p in signature.parameters.values()
                           if p.annotation is p.empty and p.name not in ("self", "cls")]
                if missing or signature.return_annotation is signature.empty:
                    unannotated.append(f"{function.__qualname__}: {missing or 'result'}")
    assert not unannotated


def test_model_file_distance_is_exact(nlayer_run, tmp_path):
    # 30.1 is no double; the file's value is the extended real nearest to it.
    path = write_model(tmp_path / "input.dat", [(1.3, 0.02, 1.33, 4.0), (0.9, 0.005, 1.5, 30.0)], "30.1")
    subprocess.run([nlayer_run, "--input", path, "--output", tmp_path / "reflectance.dat"], check=True)
    t_file, r_file = read_reflectance_dat(tmp_path / "reflectance.dat")
    index = np.rint(t_file / 10).astype(int) - 1
    near = r_file >= 1e-6 * r_file.max()

    medium, rho = nlayer.read_model(path)
    assert isinstance(rho, np.longdouble) and rho == np.longdouble("30.1") and float(rho) == 30.1
    R = nlayer.time_resolved(medium, rho=rho)[1]
    # The run's period folds this slow stack's tail onto its start; summed as the run sums it,
    # the library's curve gives the file (to the long curve's rounding).
    np.testing.assert_allclose(window_curve(medium, rho)[1][index][near], r_file[near], rtol=1e-9,
                               atol=1e-9 * r_file.max())
    # Decimal digits give the same extended value everywhere a distance is taken.
    same = [nlayer.time_resolved(medium, rho=Decimal("30.1"))[1],
            nlayer.time_resolved(medium, rho=[Decimal("30.1")])[1][0],
            nlayer.sweep([medium], rho=Decimal("30.1")).R[0]]
    for curve in same:
        assert np.array_equal(curve, R)
    assert nlayer.continuous_wave(medium, rho) == nlayer.continuous_wave(medium, Decimal("30.1"))
    assert nlayer.moments(medium, rho) == nlayer.moments(medium, Decimal("30.1"))
    assert nlayer.frequency_domain(medium, rho, 1e8) == nlayer.frequency_domain(medium, Decimal("30.1"), 1e8)
    # The float 30.1 is another distance, far beyond the file's 15 digits.
    floats = nlayer.time_resolved(medium, rho=30.1)[1]
    assert np.max(np.abs(floats[index][near] / r_file[near] - 1)) > 1e-10


def test_replace_and_tuples(head):
    # Layers numbered from 1 (the top), as in errors and fit parameters.
    deeper = head.replace(4, mua=Decimal("0.025"))
    expected = nlayer.Medium([(Decimal("1.9"), Decimal("0.018"), Decimal("1.4"), 3),
                              (Decimal("1.6"), Decimal("0.016"), Decimal("1.4"), 7),
                              (Decimal("0.25"), Decimal("0.004"), Decimal("1.4"), 2),
                              (Decimal("1.2"), Decimal("0.025"), Decimal("1.4"), 50)])
    assert deeper == expected and head.replace(4, mua=Decimal("0.02")) == head
    assert head.replace(1, musp=2.0, d=4.0).layers[0] == nlayer.Layer(2.0, Decimal("0.018"), Decimal("1.4"), 4.0)
    assert nlayer.Medium([(1.0, 0.01, 1.4)]) == nlayer.Medium([nlayer.Layer(1.0, 0.01, 1.4, 0.0)])
    with pytest.raises(ValueError, match="layer is 0; the layers are numbered from 1 .the top. to 4"):
        head.replace(0, mua=0.01)
    with pytest.raises(ValueError, match="mua of layer 2 is -1") as caught:
        head.replace(2, mua=-1)
    assert caught.value.layer == 2
    with pytest.raises(TypeError, match="layer 2 is a tuple"):   # neither Layer nor (musp, mua, n, d)
        nlayer.Medium([(1.0, 0.01, 1.4, 5.0), (1.0, 0.01)])
    with pytest.raises(TypeError):
        head.replace(1, 0.01)                                    # the values are keywords


def test_moments_and_sensitivity_over_several_distances():
    m = two_layer()
    rho = [10.0, 20.0, 30.0]
    many = nlayer.sensitivity(m, rho, samples=256)
    assert many.mpp.shape == many.mtsf.shape == many.vsf.shape == (3, 2) and many.gated.shape == (3, 2, 128)
    assert many.moments.total.shape == (3,) and many.t_ps.shape == (128,)
    for k, r in enumerate(rho):
        one = nlayer.sensitivity(m, r, samples=256)
        assert np.array_equal(many.mpp[k], one.mpp) and np.array_equal(many.gated[k], one.gated)
        assert tuple(field[k] for field in many.moments) == one.moments == nlayer.moments(m, r)
