"""Moments of curves and of the model, their sensitivities to each layer's absorption, and fits
of the layers' optical properties to measured curves."""

import numbers
import os
from typing import NamedTuple

import numpy as np

from . import _nlayer
from ._nlayer import Medium

_MAX_THREADS = 1024


class Moments(NamedTuple):
    """The moments of a curve: its total (mm^-2 for the model, counts for a measured curve), its
    mean time of flight <t> in ps and its variance <t^2> - <t>^2 in ps^2."""

    total: float
    mean_time: float
    variance: float


class Sensitivity(NamedTuple):
    """How one distance's curve depends on the absorption of each layer (index 0: the top).

    moments  the model's Moments at that distance
    mpp      mean partial pathlength -d ln(total) / d mua_k, mm, shape (layers,)
    mtsf     mean time sensitivity factor d<t> / d mua_k, ps mm, shape (layers,)
    vsf      variance sensitivity factor dV / d mua_k, ps^2 mm, shape (layers,)
    t_ps     the time grid of `gated`, shape (T,)
    gated    time-gated partial pathlengths -d ln R(t) / d mua_k, mm, shape (layers, T); where
             the curve is practically 0 (its earliest samples) the values mean nothing
    """

    moments: Moments
    mpp: np.ndarray
    mtsf: np.ndarray
    vsf: np.ndarray
    t_ps: np.ndarray
    gated: np.ndarray


def _check_medium(medium):
    if not isinstance(medium, Medium):
        raise TypeError(f"medium must be an nlayer.Medium, not {type(medium).__name__}")
    return medium


def _integer(value, name, low, high):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name} is {value}; it must be from {low} to {high}")
    return int(value)


def _real(value, name):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def _engine(engine):
    if not isinstance(engine, str):
        raise TypeError(f"engine must be 'exact' or 'fast', not {type(engine).__name__}")
    if engine not in ("exact", "fast"):
        raise ValueError(f"engine is {engine!r}; it must be 'exact' or 'fast'")
    return engine


def _vector(value, name):
    array = np.asarray(value)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must be a sequence of numbers")
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, not of shape {array.shape}")
    return array.astype(float)


def moments(medium, rho, *, threads=0, engine="exact"):
    """The model's moments at one or several distances: total (the continuous-wave reflectance,
    mm^-2), mean time of flight (ps) and variance (ps^2).

    They come from the frequency domain at and near f = 0, so no time window truncates them.
    A single distance gives one Moments, a sequence a list of them.

    >>> nlayer.moments(m, rho=30.0).mean_time      # ps
    """
    _check_medium(medium)
    array = np.asarray(rho)
    if array.dtype.kind not in "iuf" or array.ndim > 1:
        raise TypeError("rho must be a number or a one-dimensional sequence of numbers")
    distances = [float(x) for x in array.reshape(-1)]
    workers = _integer(threads, "threads", 0, _MAX_THREADS)
    values = [Moments(*each) for each in _nlayer.moments(medium, distances, workers, _engine(engine))]
    return values[0] if array.ndim == 0 else values


def curve_moments(t_ps, counts, irf=None):
    """The moments of a measured distribution of times of flight: `counts` in bins centred at
    `t_ps` (any spacing). With `irf` (counts on the same bins), the instrument's mean time and
    variance are subtracted, as convolution adds them; `total` stays the curve's own counts.

    Raises ValueError for arrays of different lengths, negative or non-finite counts, or a
    curve (or IRF) without counts.
    """
    t = _vector(t_ps, "t_ps")
    c = _vector(counts, "counts")
    i = None if irf is None else _vector(irf, "irf")
    return Moments(*_nlayer.curve_moments(t, c, i))


def sensitivity(medium, rho, *, dt_ps=10.0, samples=1024, threads=0, engine="exact"):
    """The sensitivities of the curve at one distance `rho` (mm) to each layer's mua: mean
    partial pathlengths, the sensitivity factors of the mean time and of the variance, and the
    time-gated partial pathlengths on the grid dt_ps * (1 ... samples/2). Returns a Sensitivity.

    The derivatives are those of the model as it stands: the top layer's mua also moves the
    source depth 1 / (mua + mus'). The call releases the GIL.
    """
    _check_medium(medium)
    distance = _real(rho, "rho")
    workers = _integer(threads, "threads", 0, _MAX_THREADS)
    n = _integer(samples, "samples", -(2**31), 2**31 - 1)
    m, mpp, mtsf, vsf, t, gated = _nlayer.sensitivity(medium, distance, _real(dt_ps, "dt_ps"), n, workers,
                                                      _engine(engine))
    return Sensitivity(Moments(*m), mpp, mtsf, vsf, t, gated)


def read_curve(path):
    """Reads a curve file (a measured curve or an IRF): lines of t_ps and counts, separated by a
    comma or by blanks, an optional header line, "#" comments. Returns (t_ps, counts) arrays.

    Raises OSError when the file cannot be read and ValueError, naming the line, when it breaks
    the rules (a value that is not a number, negative counts, times that do not rise).
    """
    return _nlayer.read_curve(os.fspath(path))


class FitResult:
    """What nlayer.fit found.

    values        dict: name -> estimate; mua<k>, musp<k> in 1/mm, d1 in mm, amplitude in counts
                  mm^2 (the model's counts add up to amplitude times the continuous-wave
                  reflectance), shift_ps (the measurement's delay behind the IRF), background
                  (counts per bin) when fitted
    stderr        dict: name -> standard error from the covariance at the optimum (NaN where it
                  is singular)
    start, bounds dict: name -> the start value, the (lower, upper) bounds
    chi2_reduced  the sum of the squared residuals over the fit range per degree of freedom
    degrees_of_freedom
    t_ps, measured, model_counts, residuals   every bin (arrays); residuals are the fit's own,
                  with the sign of measured - model: the signed root of each bin's Poisson
                  deviance (about (y - m) / sqrt(m)), or (y - m) / sqrt(max(y, 1)) for chi2
    fit_range     slice of the bins that were fitted; fit_range_ps their first and last time
    medium        the model's Medium with the fitted values
    success       True when the solver converged and the covariance could be computed
    message       how the solver ended
    evaluations   how many times the model's spectrum was computed; iterations; seconds
    """

    def __init__(self, raw, t_ps, measured):
        self.values = raw["values"]
        self.stderr = raw["stderr"]
        self.start = raw["start"]
        self.bounds = raw["bounds"]
        self.medium = raw["medium"]
        self.chi2_reduced = raw["chi2_reduced"]
        self.degrees_of_freedom = raw["degrees_of_freedom"]
        self.t_ps = t_ps
        self.measured = measured
        self.model_counts = raw["model_counts"]
        self.residuals = raw["residuals"]
        self.fit_range = slice(raw["first_bin"], raw["last_bin"] + 1)
        self.fit_range_ps = (float(t_ps[raw["first_bin"]]), float(t_ps[raw["last_bin"]]))
        self.success = raw["success"]
        self.message = raw["message"]
        self.evaluations = raw["evaluations"]
        self.iterations = raw["iterations"]
        self.seconds = raw["seconds"]

    def __repr__(self):
        lines = [f"{name} = {value:.6g} +- {self.stderr[name]:.3g}" for name, value in self.values.items()]
        lines.append(f"chi2_reduced = {self.chi2_reduced:.4g}")
        state = "converged" if self.success else "NOT converged: " + self.message
        lines.append(f"({state}; {self.evaluations} evaluations, {self.iterations} iterations, {self.seconds:.2f} s)")
        return "FitResult(\n  " + "\n  ".join(lines) + "\n)"


def _curve(value, name, bins=None):
    """(t_ps or None, counts) from a path, a pair (t_ps, counts), an (N, 2) array, or counts."""
    if isinstance(value, (str, bytes, os.PathLike)):
        return read_curve(value)
    if isinstance(value, tuple) and len(value) == 2:
        return _vector(value[0], f"{name}'s t_ps"), _vector(value[1], f"{name}'s counts")
    array = np.asarray(value)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must be a file name, a pair (t_ps, counts) or an array of counts")
    if array.ndim == 2 and array.shape[1] == 2:
        return array[:, 0].astype(float), array[:, 1].astype(float)
    if array.ndim == 1 and bins is not None:
        return None, array.astype(float)
    raise ValueError(f"{name} must be a file name, a pair (t_ps, counts), an (N, 2) array"
                     + (" or counts on the measured curve's bins" if bins is not None else ""))


def fit(measured, irf, model, rho=None, *, free, bounds=None, fit_range=(0.1, 0.01), window_ps=None,
        background=False, statistic="poisson", engine="fast", threads=0, spectrum_tolerance=1e-8,
        max_iterations=100):
    """Fits the layers' optical properties to a measured time-resolved curve.

    The model of the counts in bin i is amplitude * sum_j w_j R(t_i - t_j - shift) dt (+ a
    background), R the model's reflectance and w the IRF normalised to unit area, computed on
    the measurement's own bins through the frequency domain (the convolution and the sub-bin
    shift are exact there). Levenberg-Marquardt with bounds (Ceres Solver) over the fit range,
    with Poisson statistics; the standard errors come from the covariance at the optimum.

    Parameters
    ----------
    measured : path, (t_ps, counts) or array of shape (N, 2)
        The measured curve on uniform bins of any width (a file as read_curve reads it).
    irf : path, (t_ps, counts), array of shape (N, 2), or counts alone
        The instrument response on the same bins (counts alone: on the measured curve's bins).
    model : Medium or path of a model file ("input.dat")
        The start values and every value that is not fitted.
    rho : float, optional
        Source-detector distance in mm (default: the model file's; needed with a Medium).
    free : sequence of str
        The parameters to fit: "mua<k>", "musp<k>" (layer k, 1 the top) and "d1" (the top
        layer's thickness). The amplitude and the shift are always fitted.
    bounds : dict, optional
        name -> (lower, upper), either may be None for the default (mua 0 ... 1, musp 0.01 ...
        20 in 1/mm, d1 0.1 ... 200 mm). The start value must lie within.
    fit_range : (rise, fall), optional
        The bins from `rise` of the peak on the rising edge to `fall` of it on the falling edge
        (default 10 % and 1 %).
    window_ps : (first, last), optional
        The fit range as times instead.
    background : bool
        Also fit a constant background (counts per bin).
    statistic : "poisson" or "chi2"
        The Poisson likelihood (default; unbiased where counts are few) or least squares
        weighted by the counts' Poisson variance max(y, 1).
    engine : "fast" or "exact"; threads : int
        As for time_resolved; the fast engine (the default here) keeps 8 digits, far below any
        counting noise, and fits some 10 times faster.
    spectrum_tolerance : float
        Frequencies whose contribution to any bin stays below this fraction of the curve's
        peak are left out while fitting (0: never); the fitted curve is checked and returned
        from the whole spectrum.

    Returns a FitResult; raises ValueError (with an English sentence) for input that cannot be
    fitted: bins that are not uniform or differ between curve and IRF, an IRF without counts,
    no counts in the fit range, a parameter that names no layer, bounds that exclude the start
    value. The call releases the GIL.

    >>> result = nlayer.fit("measured.csv", "irf.csv", "input.dat", free=["mua1", "musp1"])
    >>> result.values["mua1"], result.stderr["mua1"]
    """
    t_ps, counts = _curve(measured, "measured")
    if t_ps is None:
        raise ValueError("measured needs its times: a file name, a pair (t_ps, counts) or an (N, 2) array")
    irf_t, irf_counts = _curve(irf, "irf", bins=len(counts))
    if isinstance(model, Medium):
        medium = model
        if rho is None:
            raise ValueError("rho is needed with a Medium (a model file gives its own)")
    else:
        medium, file_rho = _nlayer.read_model(os.fspath(model))
        rho = file_rho if rho is None else rho
    distance = _real(rho, "rho")
    if isinstance(free, str):
        free = [item.strip() for item in free.split(",")]
    names = list(free)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"free must name parameters as strings, not {type(name).__name__}")
    bounds = dict(bounds or {})
    for name in bounds:
        if name not in names:
            raise ValueError(f"bounds name {name}, which is not free")
    entries = []
    for name in names:
        lower, upper = bounds.get(name, (None, None))
        entries.append((name, None if lower is None else _real(lower, f"lower bound of {name}"),
                        None if upper is None else _real(upper, f"upper bound of {name}")))
    rise, fall = (_real(x, "fit_range") for x in fit_range)
    first, last = (None, None) if window_ps is None else (_real(x, "window_ps") for x in window_ps)
    if statistic not in ("poisson", "chi2"):
        raise ValueError(f"statistic is {statistic!r}; it must be 'poisson' or 'chi2'")
    raw = _nlayer.fit(t_ps, counts, irf_counts, [] if irf_t is None else irf_t, medium, distance, entries,
                      bool(background), statistic, rise, fall, first, last,
                      _integer(threads, "threads", 0, _MAX_THREADS), _engine(engine),
                      _real(spectrum_tolerance, "spectrum_tolerance"),
                      _integer(max_iterations, "max_iterations", 1, 10000))
    return FitResult(raw, np.asarray(t_ps, dtype=float), np.asarray(counts, dtype=float))
