"""Moments of curves and of the model, their sensitivities to each layer's absorption, and fits
of the layers' optical properties to measured curves."""

from __future__ import annotations

import os
from typing import Mapping, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from . import _checks
from . import _nlayer
from . import _types
from ._nlayer import Medium
from ._problem import FitProblem, fit_problem
from ._result import FitResult


class Moments(NamedTuple):
    """The moments of a curve: its total (mm^-2 for the model, counts for a measured curve), its
    mean time of flight <t> in ps and its variance <t^2> - <t>^2 in ps^2.

    Floats for one curve; for the model at several distances each field is an array with one
    value per distance."""

    total: Union[float, np.ndarray]
    mean_time: Union[float, np.ndarray]
    variance: Union[float, np.ndarray]


class Sensitivity(NamedTuple):
    """How a distance's curve depends on the absorption of each layer (index 0: the top).

    For one distance:
    moments  the model's Moments at that distance
    mpp      mean partial pathlength -d ln(total) / d mua_k, mm, shape (layers,)
    mtsf     mean time sensitivity factor d<t> / d mua_k, ps mm, shape (layers,)
    vsf      variance sensitivity factor dV / d mua_k, ps^2 mm, shape (layers,)
    t_ps     the time grid of `gated`, shape (T,)
    gated    time-gated partial pathlengths -d ln R(t) / d mua_k, mm, shape (layers, T); where
             the curve is practically 0 (its earliest samples) the values mean nothing
    For several distances a leading axis of one row per distance: moments' fields (R,), mpp,
    mtsf and vsf (R, layers), gated (R, layers, T); t_ps stays (T,).
    """

    moments: Moments
    mpp: np.ndarray
    mtsf: np.ndarray
    vsf: np.ndarray
    t_ps: np.ndarray
    gated: np.ndarray


# A measured curve or an IRF: a pair (t_ps, counts), an (N, 2) array, or counts alone (an IRF on
# the measured curve's bins).
Curve = Union[Tuple[npt.ArrayLike, npt.ArrayLike], npt.ArrayLike]


def moments(medium: Medium, rho: _types.Distances, *, threads: int = 0, engine: _types.Engine = "exact") -> Moments:
    """The model's moments at one or several distances: total (the continuous-wave reflectance,
    mm^-2), mean time of flight (ps) and variance (ps^2).

    They come from the frequency domain at and near f = 0, so no time window truncates them.
    A single distance gives one Moments of floats, a sequence a Moments of arrays, one value
    per distance (Moments(*np.array(...).T) of the list of tuples of earlier versions).

    >>> nlayer.moments(m, rho=30.0).mean_time      # ps
    >>> nlayer.moments(m, rho=[10, 20, 30]).mean_time   # ndarray (3,)
    """
    _checks.medium(medium)
    distances, single = _checks.distances(rho)
    workers = _checks.threads(threads)
    values = _nlayer.moments(medium, distances, workers, _checks.engine(engine))
    if single:
        return Moments(*values[0])
    columns = np.array(values, dtype=float).reshape(len(values), 3)
    return Moments(columns[:, 0].copy(), columns[:, 1].copy(), columns[:, 2].copy())


def curve_moments(t_ps: npt.ArrayLike, counts: npt.ArrayLike, irf: Optional[npt.ArrayLike] = None) -> Moments:
    """The moments of a measured distribution of times of flight: `counts` in bins centred at
    `t_ps` (any spacing). With `irf` (counts on the same bins), the instrument's mean time and
    variance are subtracted, as convolution adds them; `total` stays the curve's own counts.

    The sums are taken about the curve's own mean in extended precision, so times far from 0
    against their spread keep their digits. Raises ValueError for arrays of different lengths,
    negative or non-finite counts, a curve (or IRF) without counts, or a moment beyond the range
    of a float (a variance above 1.8e308 ps^2, from times of some 1e154 ps).
    """
    t = _checks.vector(t_ps, "t_ps")
    c = _checks.vector(counts, "counts")
    i = None if irf is None else _checks.vector(irf, "irf")
    return Moments(*_nlayer.curve_moments(t, c, i))


def sensitivity(medium: Medium, rho: _types.Distances, *, dt_ps: float = 10.0, samples: int = 1024, threads: int = 0,
                engine: _types.Engine = "exact") -> Sensitivity:
    """The sensitivities of the curve at a distance `rho` (mm; a number or a sequence) to each
    layer's mua: mean partial pathlengths, the sensitivity factors of the mean time and of the
    variance, and the time-gated partial pathlengths on the grid dt_ps * (1 ... samples/2).
    Returns a Sensitivity; for a sequence of distances its arrays have one row per distance.

    The derivatives are those of the model as it stands: the top layer's mua also moves the
    source depth 1 / (mua + mus'). The call releases the GIL.
    """
    _checks.medium(medium)
    distances, single = _checks.distances(rho)
    if not distances:
        raise ValueError("no source-detector distance was given; give at least one")
    workers = _checks.threads(threads)
    n = _checks.samples(samples)
    dt = _checks.real(dt_ps, "dt_ps")
    name = _checks.engine(engine)
    rows = [_nlayer.sensitivity(medium, distance, dt, n, workers, name) for distance in distances]
    if single:
        m, mpp, mtsf, vsf, t, gated = rows[0]
        return Sensitivity(Moments(*m), mpp, mtsf, vsf, t, gated)
    moments_rows = np.array([row[0] for row in rows], dtype=float)
    mpp, mtsf, vsf = (np.stack([row[k] for row in rows]) for k in (1, 2, 3))
    return Sensitivity(Moments(*(moments_rows[:, k].copy() for k in range(3))), mpp, mtsf, vsf, rows[0][4],
                       np.stack([row[5] for row in rows]))


def read_curve(path: _types.Path) -> Tuple[_types.FloatArray, _types.FloatArray]:
    """Reads a curve file (a measured curve or an IRF): lines of t_ps and counts, separated by a
    comma or by blanks, an optional header line, "#" comments. Returns (t_ps, counts) arrays.

    Raises OSError when the file cannot be read and ValueError, naming the line, when it breaks
    the rules (a value that is not a number, negative counts, times that do not rise).
    """
    return _nlayer.read_curve(_checks.path(path))


def fit(measured: Union[_types.Path, Curve, FitProblem], irf: Optional[Union[_types.Path, Curve]] = None,
        model: Optional[Union[Medium, _types.Path]] = None, rho: Optional[_types.Real] = None, *,
        free: Optional[Union[str, Sequence[str]]] = None,
        bounds: Optional[Mapping[str, Tuple[Optional[float], Optional[float]]]] = None,
        start: Optional[Mapping[str, float]] = None, fit_range: Tuple[float, float] = (0.1, 0.01),
        window_ps: Optional[Tuple[float, float]] = None, background: bool = False, statistic: str = "poisson",
        engine: _types.Engine = "fast", threads: int = 0, spectrum_tolerance: float = 1e-8,
        max_iterations: int = 100, shift_ps: Optional[float] = None,
        profile: Optional[Union[str, Sequence[str]]] = None, starts: Optional[int] = None) -> FitResult:
    """Fits the layers' optical properties to a measured time-resolved curve, or to every curve
    of a FitProblem (or of a problem file, "head.toml") at once.

    nlayer.fit(problem, profile=["HbO2"], starts=None, engine=None, threads=None) fits a
    FitProblem: `profile` names parameters whose profile-likelihood intervals are wanted (those
    whose error exceeds 20 % of their value get theirs unasked),
    `starts` the number of starts spread within the bounds (0: chosen from the number of free
    parameters); the other arguments below are the single curve's.

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
    rho : float or Decimal, optional
        Source-detector distance in mm (default: the model file's, exactly; needed with a
        Medium).
    free : sequence of str
        The parameters to fit: "mua<k>", "musp<k>" (layer k, 1 the top) and "d<k>" (a layer's
        thickness, not the bottom's). The amplitude and the shift are always fitted.
    start : dict, optional
        name -> start value of a free parameter (default: the model's value).
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
    shift_ps : float, optional
        A calibrated shift (ps) held fixed instead of fitted.

    Returns a FitResult, whose `success` is False with a sentence per flag in `flags` when the
    fit is not to be trusted (not converged, a parameter on a bound, poorly determined, not
    finite, chi2/nu above 4, a shift outside the data, scaled data under the Poisson
    statistic); raises ValueError (with an English sentence) for input that cannot be fitted:
    bins that are not uniform or differ between curve and IRF, an IRF without counts,
    no counts in the fit range, a parameter that names no layer, bounds that exclude the start
    value. The call releases the GIL.

    >>> result = nlayer.fit("measured.csv", "irf.csv", "input.dat", free=["mua1", "musp1"])
    >>> result.values["mua1"], result.standard_error["mua1"]
    """
    problem: Union[FitProblem, str, None] = measured if isinstance(measured, FitProblem) else None
    if isinstance(measured, (str, os.PathLike)) and os.fsdecode(measured).endswith(".toml") and irf is None \
            and model is None:
        problem = os.fsdecode(measured)
    if problem is not None:
        return fit_problem(problem, profile=profile, starts=starts,
                           engine=None if engine == "fast" else engine, threads=threads or None)
    if irf is None or model is None or free is None:
        raise TypeError("fit() of one curve needs measured, irf, model and free (or pass a FitProblem)")
    if profile is not None or starts is not None:
        raise ValueError("profile and starts belong to a FitProblem's fit")
    t_ps, counts = _checks.curve(measured, "measured")
    if t_ps is None:
        raise ValueError("measured needs its times: a file name, a pair (t_ps, counts) or an (N, 2) array")
    irf_t, irf_counts = _checks.curve(irf, "irf", bins=len(counts))
    if isinstance(model, Medium):
        medium = model
        if rho is None:
            raise ValueError("rho is needed with a Medium (a model file gives its own)")
    else:
        medium, file_rho = _nlayer.read_model(_checks.path(model, "model"))
        rho = file_rho if rho is None else rho
    distance = _checks.distance(rho)
    if isinstance(free, str):
        free = [item.strip() for item in free.split(",")]
    names = list(free)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"free must name parameters as strings, not {type(name).__name__}")
    bounds = dict(bounds or {})
    starts_given = dict(start or {})
    for name in list(bounds) + list(starts_given):
        if name not in names:
            raise ValueError(f"bounds or start name {name}, which is not free")
    entries = []
    for name in names:
        lower, upper = bounds.get(name, (None, None))
        first = starts_given.get(name)
        entries.append((name, None if lower is None else _checks.real(lower, f"lower bound of {name}"),
                        None if upper is None else _checks.real(upper, f"upper bound of {name}"),
                        None if first is None else _checks.real(first, f"start of {name}")))
    rise, fall = (_checks.real(x, "fit_range") for x in fit_range)
    first, last = (None, None) if window_ps is None else (_checks.real(x, "window_ps") for x in window_ps)
    _checks.choice(statistic, "statistic", ("poisson", "chi2"))
    raw = _nlayer.fit(t_ps, counts, irf_counts, [] if irf_t is None else irf_t, medium, distance, entries,
                      bool(background), statistic, rise, fall, first, last,
                      _checks.threads(threads), _checks.engine(engine),
                      _checks.real(spectrum_tolerance, "spectrum_tolerance"),
                      _checks.positive_count(max_iterations, "max_iterations", 10000),
                      None if shift_ps is None else _checks.real(shift_ps, "shift_ps"))
    return FitResult(raw, np.asarray(t_ps, dtype=float), np.asarray(counts, dtype=float))
