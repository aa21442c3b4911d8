"""Makes a synthetic measurement to fit: measured.csv, irf.csv and the start model input.dat.

The truth: a homogeneous medium (mus' 1.0/mm, mua 0.01/mm, n 1.4) seen at rho = 30 mm through
an instrument response of 118 ps FWHM with an exponential tail, 10 ps bins, 10^6 counts in
the curve and in the IRF, the measurement 36 ps behind the IRF, Poisson noise from seed 1.

The curve is made in the time domain, independently of the fit's frequency-domain route: the
model on a grid five times finer than the bins, convolved with the analytic IRF by a direct sum,
delayed by whole fine steps, integrated over each bin.

    PYTHONPATH=build/python /usr/bin/python3 examples/fit/make_data.py [DIRECTORY]
"""

import math
import os
import pathlib
import sys
import tempfile

import numpy as np

import nlayer

TRUTH = nlayer.Medium([nlayer.Layer(musp=1.0, mua=0.01, n=1.4, d=10.0)])
RHO_MM = 30.0
BIN_PS = 10.0
BINS = 400
SHIFT_PS = 36.0
TOTAL = 1e6
IRF_TOTAL = 1e6
FINE = 5  # fine steps per bin, odd: each bin's centre is a fine sample


def irf_shape(t_ps, sigma=35.0, tau=60.0, centre=300.0):
    """A Gaussian followed by an exponential tail (exponentially modified Gaussian)."""
    z = (t_ps - centre) / sigma
    erfc = np.vectorize(math.erfc)
    return np.exp(sigma**2 / (2 * tau**2) - (t_ps - centre) / tau) * erfc((sigma / tau - z) / math.sqrt(2))


def expected_counts(medium, rho_mm=RHO_MM, bin_ps=BIN_PS, bins=BINS, shift_ps=SHIFT_PS):
    """(t_ps, expected curve shape, expected IRF shape), each summing to 1, by the time-domain route."""
    step = bin_ps / FINE
    fine = bins * FINE + FINE
    samples = 16
    while samples < 2 * fine:
        samples *= 2
    _, r = nlayer.time_resolved(medium, rho=rho_mm, dt_ps=step, samples=samples, engine="fast")
    r = np.concatenate([[0.0], r, np.zeros(fine)])  # r[n] at t = n step
    h = irf_shape(np.arange(fine) * step) * step
    delay = int(round(shift_ps / step))
    # The curve delayed by `delay` fine steps: shifted[n] = r[n - delay], 0 before t = 0.
    n = np.arange(fine) - delay
    shifted = np.where(n >= 0, r[np.clip(n, 0, None)], 0.0)
    convolved = np.convolve(h / h.sum(), shifted)[:fine]
    # Bin i is centred at i * bin_ps and takes the fine samples i * FINE - 2 ... i * FINE + 2.
    index = np.arange(bins)[:, None] * FINE + np.arange(-(FINE // 2), FINE // 2 + 1)[None, :]
    valid = index >= 0
    curve = np.where(valid, convolved[np.clip(index, 0, None)], 0).sum(axis=1)
    irf = np.where(valid, h[np.clip(index, 0, None)], 0).sum(axis=1)
    # Where the light has not arrived the curve holds its spectrum's rounding, of either sign.
    curve = np.clip(curve, 0.0, None)
    return np.arange(bins) * bin_ps, curve / curve.sum(), irf / irf.sum()


def replace_file(path, text):
    """Writes the whole text to a new file beside `path`, then renames it over `path`."""
    with tempfile.NamedTemporaryFile("w", dir=path.parent, prefix=path.name + ".", delete=False) as file:
        file.write(text)
    os.chmod(file.name, 0o644)
    os.replace(file.name, path)


def write_curve(path, t_ps, counts):
    replace_file(path, "t_ps,counts\n" + "".join(f"{t:g},{int(c)}\n" for t, c in zip(t_ps, counts)))


def main(directory):
    directory.mkdir(parents=True, exist_ok=True)
    t_ps, curve, irf = expected_counts(TRUTH)
    rng = np.random.default_rng(1)
    write_curve(directory / "measured.csv", t_ps, rng.poisson(TOTAL * curve))
    write_curve(directory / "irf.csv", t_ps, rng.poisson(IRF_TOTAL * irf))
    # The start values of the fit: deliberately off the truth.
    replace_file(
        directory / "input.dat",
        "1      layer\n1.3    mus' 1/mm (start value)\n0.007  mua 1/mm (start value)\n"
        "1.4    refractive index\n10     thickness mm (a half-space)\n30     rho mm\n")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent))
