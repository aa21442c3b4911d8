"""Makes a simulated two-distance, two-wavelength measurement of a two-layer head to fit with
problem.toml: the measured curves m<rho>_<nm>.csv and the IRFs irf_<nm>.csv.

The truth: a 10 mm extracerebral layer (HbO 25 µM, HbR 12 µM, mus' = 1.3 (lambda/800)^-1.2 per
mm) over 50 mm of brain (HbO 45 µM, HbR 20 µM, mus' = 1.0 (lambda/800)^-1.0 per mm), n = 1.4, seen at
10 and 30 mm at 760 and 850 nm through an IRF of about 100 ps FWHM with an exponential tail,
10 ps bins, 10^6 counts per curve and per IRF, each measurement 20 ps behind its IRF, Poisson
noise from fixed seeds.

    PYTHONPATH=build/python /usr/bin/python3 examples/joint/make_data.py [DIRECTORY]
"""

import math
import pathlib
import sys

import numpy as np

import nlayer

BIN_PS = 10.0
BINS = 500
COUNTS = 1e6
SHIFT_PS = 20.0
LAYERS = [  # HbO, HbR (µM), a (1/mm at 800 nm), b, d (mm)
    dict(HbO=25.0, HbR=12.0, a=1.3, b=1.2, d=10.0),
    dict(HbO=45.0, HbR=20.0, a=1.0, b=1.0, d=50.0),
]
DISTANCES = (10.0, 30.0)
WAVELENGTHS = (760.0, 850.0)


def medium_at(nm):
    """The true medium at a wavelength, from the shipped extinction coefficients."""
    spectra = nlayer.hemoglobin_spectra()
    layers = []
    for layer in LAYERS:
        mua = sum(math.log(10) * float(np.interp(nm, *spectra[c])) * layer[c] * 1e-7 for c in ("HbO", "HbR"))
        musp = layer["a"] * (nm / 800.0) ** -layer["b"]
        layers.append(nlayer.Layer(musp=musp, mua=mua, n=1.4, d=layer["d"]))
    return nlayer.Medium(layers)


def irf_shape(t_ps, sigma, tau=50.0, centre=400.0):
    """A Gaussian followed by an exponential tail (exponentially modified Gaussian)."""
    z = (t_ps - centre) / sigma
    erfc = np.vectorize(math.erfc)
    return np.exp(sigma**2 / (2 * tau**2) - (t_ps - centre) / tau) * erfc((sigma / tau - z) / math.sqrt(2))


def write(path, t_ps, counts):
    with open(path, "w", encoding="ascii") as out:
        out.write("t_ps,counts\n")
        for t, c in zip(t_ps, counts):
            out.write(f"{t:g},{c:g}\n")


def main(directory):
    directory = pathlib.Path(directory)
    t_ps = np.arange(BINS) * BIN_PS
    rng = np.random.default_rng(20261208)
    for k, nm in enumerate(WAVELENGTHS):
        shape = irf_shape(t_ps, sigma=35.0 + 5.0 * k)
        irf = rng.poisson(COUNTS * shape / shape.sum()).astype(float)
        write(directory / f"irf_{nm:g}.csv", t_ps, irf)
        for j, rho in enumerate(DISTANCES):
            counts = nlayer.simulate_counts(medium_at(nm), rho, shape, total_counts=COUNTS, dt_ps=BIN_PS,
                                            shift_ps=SHIFT_PS, seed=100 * k + j + 1)
            write(directory / f"m{rho:g}_{nm:g}.csv", t_ps, counts)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent)
