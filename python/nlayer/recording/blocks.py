"""Errors of time series whose noise is correlated in time: a time point's change against the
baseline mean, and the mean over a block of time points.

Physiological noise is slow: neighbouring time points share most of it, so that the mean of n
points is not n times better known than one point, and the baseline mean that every change is
measured against carries an error of its own. Both are counted here by taking the noise as a
first-order autoregressive process: its standard deviation sigma and the correlation r of
neighbouring time points, both from the residuals of the baseline period about a straight line
in time. For weights w over the time points (a block's mean minus the baseline's mean) the
variance is

    sigma^2 * sum_i sum_j w_i w_j r^|i - j|,

which for a block of n points alone is sigma^2 / n_eff with n_eff close to n (1 - r) / (1 + r),
and for a block far from the baseline adds the baseline mean's own sigma^2 / n_eff(baseline).
"""

from __future__ import annotations

from typing import Dict, Tuple

import numpy as np
import numpy.typing as npt

from .analysis import Analysis

# Fewer baseline points than this give no usable covariance or correlation of the noise.
MIN_BASELINE = 10


def _residuals(series: np.ndarray, time_s: np.ndarray, inside: np.ndarray) -> np.ndarray:
    """series (T, ...) over `inside`, less its least-squares line in time; time points with a
    value that is not finite (a channel's dropout) are left out."""
    values = np.asarray(series, dtype=float)
    inside = np.asarray(inside, dtype=bool) & np.all(np.isfinite(values.reshape(len(values), -1)), axis=1)
    x = values[inside]
    t = np.asarray(time_s, dtype=float)[inside]
    design = np.column_stack([np.ones_like(t), t - t.mean()])
    flat = x.reshape(len(t), -1)
    coefficients = np.linalg.lstsq(design, flat, rcond=None)[0]
    return (flat - design @ coefficients).reshape(x.shape)


def serial_noise(series: np.ndarray, time_s: np.ndarray, inside: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """(sigma, r) of each column of series (T, ...): the standard deviation of its residuals
    about a line over the time points `inside`, and their lag-one autocorrelation, taken as 0
    when negative (a line fitted to few points makes it so even for independent noise)."""
    r = _residuals(series, time_s, inside)
    n = r.shape[0]
    if n < MIN_BASELINE:
        raise ValueError(f"the baseline period holds {n} time points; the noise's scatter needs at least "
                         f"{MIN_BASELINE}")
    squares = np.sum(r * r, axis=0)
    sigma = np.sqrt(squares / (n - 2))
    with np.errstate(invalid="ignore", divide="ignore"):
        lag1 = np.where(squares > 0, np.sum(r[1:] * r[:-1], axis=0) / squares, 0.0)
    return sigma, np.clip(lag1, 0.0, 0.99)


def _smeared(w: np.ndarray, r: float) -> np.ndarray:
    """sum_j w_j r^|i - j| for every i: w (T,) convolved with r^|k|, cut where r^k no longer
    counts, so that long recordings stay cheap."""
    if r <= 0:
        return w.copy()
    reach = min(len(w) - 1, int(np.ceil(np.log(1e-17) / np.log(r))))
    kernel = np.power(float(r), np.abs(np.arange(-reach, reach + 1)))
    if len(w) * len(kernel) <= 1 << 20:
        return np.convolve(w, kernel, mode="full")[reach:reach + len(w)]
    # Hours of recording at a few Hz: by FFT, to rounding of the largest term.
    size = 1 << int(np.ceil(np.log2(len(w) + len(kernel) - 1)))
    full = np.fft.irfft(np.fft.rfft(w, size) * np.fft.rfft(kernel, size), size)
    return full[reach:reach + len(w)]


def weighted_variance(weights: np.ndarray, r: float) -> float:
    """sum_i sum_j w_i w_j r^|i - j| for weights (T,) on consecutive time points."""
    w = np.asarray(weights, dtype=float)
    return float(w @ _smeared(w, r))


def change_variance_factors(inside: np.ndarray, r: float) -> np.ndarray:
    """(T,): the variance of each time point's value less the mean over `inside`, in units of
    the noise's variance, for AR(1) noise of neighbour correlation r."""
    b = np.asarray(inside, dtype=float) / np.count_nonzero(inside)
    shared = _smeared(b, r)           # each point's covariance with the baseline mean
    return np.maximum(1.0 - 2.0 * shared + float(b @ shared), 0.0)


def block_average(analysis: Analysis, during: npt.ArrayLike) -> Dict[str, Tuple[np.ndarray, np.ndarray]]:
    """The mean of HbO, HbR and mua over the time points `during` (a boolean mask over
    analysis.time_s) and its standard error: {"hbo": (mean (groups,), error), "hbr": ...,
    "mua": (mean (groups, W), error)}.

    The error counts the serial correlation of the time points (AR(1), see the module's
    note) and, for changes against the baseline (moments), the baseline mean's own error. The
    moments method gives each quantity's noise and correlation (analysis.noise_sd and
    noise_lag1); for other analyses (fits) the noise is the mean of the stated errors over
    the block, and the correlation that of the baseline's residuals when it holds enough
    points, else none."""
    during = np.asarray(during, dtype=bool)
    t = analysis.time_s
    baseline = (t >= analysis.baseline[0]) & (t <= analysis.baseline[1])
    out = {}
    for name, values, errors in (("hbo", analysis.hbo, analysis.hbo_err), ("hbr", analysis.hbr, analysis.hbr_err),
                                 ("mua", analysis.mua, analysis.mua_err)):
        mean = values[during].mean(axis=0)
        if errors is None:
            out[name] = (mean, np.full(mean.shape, np.nan))
            continue
        if analysis.noise_sd is not None:
            sigma, lag1 = analysis.noise_sd[name], analysis.noise_lag1[name]
        else:
            sigma = np.sqrt(np.mean(errors[during] ** 2, axis=0))
            lag1 = np.zeros(mean.shape)
            if np.count_nonzero(baseline) >= MIN_BASELINE and np.all(np.isfinite(values[baseline])):
                lag1 = serial_noise(values, t, baseline)[1]
        weights = during / np.count_nonzero(during)
        if analysis.changes:
            weights = weights - baseline / np.count_nonzero(baseline)
        factor = np.vectorize(lambda r: weighted_variance(weights, r))(lag1) if np.size(lag1) else lag1
        out[name] = (mean, sigma * np.sqrt(factor))
    return out
