"""The moments method: changes of mua per layer from the changes of the DTOFs' moments."""

from __future__ import annotations

import functools
import warnings
from typing import Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from .. import _checks
from .. import _types
from .._snirf import Recording
from .._fit import Moments, curve_moments, sensitivity
from .analysis import Analysis, _one_source, baseline_window
from .blocks import MIN_BASELINE, _residuals, change_variance_factors, serial_noise
from .media import Media, _concentrations, _media_by_wavelength


def dtof_moments(t_ps: npt.ArrayLike, counts: npt.ArrayLike,
                 irf: Optional[Tuple[npt.ArrayLike, npt.ArrayLike]] = None) -> Moments:
    """The moments of many DTOFs at once: counts (..., G) on the gates t_ps (G,). Returns
    Moments of arrays (...): total counts, mean time (ps), variance (ps^2), with the IRF's mean
    and variance subtracted when irf = (t_ps, counts) is given (as curve_moments does for one
    curve). A DTOF without counts gives NaN."""
    t = np.asarray(t_ps, dtype=float)
    c = np.asarray(counts, dtype=float)
    # Counts near the largest float overflow to inf and NaN here: the callers refuse those.
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        # About a time near every curve's mean, so that the variance loses no digits.
        # (A DTOF the device left out, NaN, must not take the others' reference with it.)
        reference = float(np.sum(np.nansum(c.reshape(-1, len(t)), axis=0) * t) / max(np.nansum(c), 1e-300))
        shifted = t - reference
        powers = np.stack([np.ones_like(t), shifted, shifted * shifted], axis=1)   # (G, 3)
        sums = c @ powers                                                          # (..., 3)
        total = sums[..., 0]
        first = sums[..., 1] / total
        variance = sums[..., 2] / total - first * first
        mean = first + reference
    if irf is not None:
        irf_moments = curve_moments(irf[0], irf[1])
        mean = mean - irf_moments.mean_time
        variance = variance - irf_moments.variance
    return Moments(total, mean, variance)


def _changes_of_moments(t_ps: np.ndarray, counts: np.ndarray,
                        inside: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Each DTOF's change of mean time and of variance against their means over `inside`."""
    d = dtof_moments(t_ps, counts, None)
    mean, variance = np.asarray(d.mean_time), np.asarray(d.variance)
    return mean - np.nanmean(mean[inside], axis=0), variance - np.nanmean(variance[inside], axis=0)


def _groups(groups, layers):
    if groups is None:
        return [[k] for k in range(1, layers + 1)]
    out = []
    for group in groups:
        members = [int(k) for k in np.atleast_1d(group)]
        if not members:
            raise ValueError("groups hold an empty group")
        for k in members:
            if not 1 <= k <= layers:
                raise ValueError(f"groups name layer {k}; the model's layers are numbered from 1 (the top) to {layers}")
        out.append(members)
    flat = [k for g in out for k in g]
    if len(set(flat)) != len(flat):
        raise ValueError("groups name a layer twice")
    return out


def _group_name(members):
    if len(members) == 1:
        return f"layer {members[0]}"
    if members == list(range(members[0], members[-1] + 1)):
        return f"layers {members[0]}-{members[-1]}"
    return "layers " + ",".join(str(k) for k in members)


def _channel_moments(recording, irf):
    """Moments (T, C) of every DTOF of the recording, and the baseline noise's 4th moment."""
    if recording.kind == "gated":
        return dtof_moments(recording.gate_ps, recording.counts, irf)
    m = recording.moments
    total, mean, variance = m[..., 0], m[..., 1], m[..., 2]
    if irf is not None:
        irf_moments = curve_moments(irf[0], irf[1])
        mean, variance = mean - irf_moments.mean_time, variance - irf_moments.variance
    return Moments(total, mean, variance)


def _poisson_covariance(recording, in_baseline, baseline_moments):
    """(C, 3, 3): for each channel the covariance of -ln N, <t> and V of one baseline DTOF
    under Poisson noise, its values taken as counts. The total is independent of the curve's
    shape; the mean time and the variance are correlated through the third central moment."""
    total = baseline_moments.total
    if recording.kind == "gated":
        curve = np.nanmean(recording.counts[in_baseline], axis=0)      # (C, G)
        t = recording.gate_ps
        weight = curve / curve.sum(axis=1, keepdims=True)
        centred = t[None, :] - (weight @ t)[:, None]
        variance, third, fourth = (np.sum(weight * centred**k, axis=1) for k in (2, 3, 4))
    else:
        # Without the curve, a Gaussian's third and fourth moments.
        variance = np.nanmean(recording.moments[in_baseline, :, 2], axis=0)
        third, fourth = np.zeros_like(variance), 3.0 * variance**2
    covariance = np.zeros((len(total), 3, 3))
    covariance[:, 0, 0] = 1.0
    covariance[:, 1, 1] = variance
    covariance[:, 1, 2] = covariance[:, 2, 1] = third
    covariance[:, 2, 2] = np.maximum(fourth - variance**2, 1e-12 * variance**2)
    return covariance / total[:, None, None]


def _whitening(recording, in_baseline, baseline_moments, delta):
    """(whitening (C, 3, 3), Poisson covariance (C, 3, 3), noise): for each channel the inverse
    Cholesky factor of the covariance of its moments' changes, which weights the solve.

    The covariance is the baseline period's own: the scatter of each channel's -ln N, <t> and
    V about a line in time, so that physiology and a device's intensity scale count as they
    are. For gated data the counts' Poisson covariance P is its floor: with S the scatter's
    covariance, the eigenvalues of S in P's metric (those of L^-1 S L^-T, P = L L^T) are
    raised to at least 1, which gives the least matrix above both in that metric. Moments
    data hold no counts, so their P (the totals taken as counts) serves only to keep the
    matrix invertible where the scatter is nil (noiseless data: their weighting is then
    Poisson's). With fewer than MIN_BASELINE baseline points there is no scatter to take:
    gated data fall back to Poisson, moments data are refused."""
    poisson = _poisson_covariance(recording, in_baseline, baseline_moments)
    n = int(np.count_nonzero(in_baseline & np.all(np.isfinite(delta.reshape(len(delta), -1)), axis=1)))
    gated = recording.kind == "gated"
    if n < MIN_BASELINE:
        if not gated:
            raise ValueError(f"{recording.file or 'the recording'}: the baseline period holds {n} time points; "
                             "the noise of moments data is taken from the baseline's scatter, which needs at "
                             f"least {MIN_BASELINE} (give a longer --baseline)")
        return np.linalg.inv(np.linalg.cholesky(poisson)), poisson, "Poisson"
    residuals = _residuals(delta, recording.time_s, in_baseline)              # (n, C, 3)
    scatter = np.einsum("nci,ncj->cij", residuals, residuals) / (n - 2)
    lower = np.linalg.cholesky(poisson)
    inverse = np.linalg.inv(lower)
    relative = inverse @ scatter @ np.swapaxes(inverse, 1, 2)
    values, vectors = np.linalg.eigh(relative)
    values = np.maximum(values, 1.0 if gated else 1e-6)
    covariance = lower @ (vectors * values[:, None, :]) @ np.swapaxes(vectors, 1, 2) @ np.swapaxes(lower, 1, 2)
    return (np.linalg.inv(np.linalg.cholesky(covariance)), poisson,
            "baseline, Poisson floor" if gated else "baseline")


def _errors(series, poisson_sd, time_s, in_baseline, route):
    """(errors (T, ...), sigma, lag1) of a solved quantity's time series (T, ...): one time
    point's noise sigma from the baseline's residuals (at least poisson_sd for gated data,
    poisson_sd alone on the Poisson route), their neighbour correlation, and each time point's
    error of its change against the baseline mean (recording.blocks)."""
    if route == "Poisson" or not np.any(np.isfinite(series)):
        # (One wavelength leaves HbO and HbR NaN, their Poisson errors too.)
        sigma, lag1 = poisson_sd, np.zeros(np.shape(poisson_sd))
    else:
        sigma, lag1 = serial_noise(series, time_s, in_baseline)
        if route == "baseline, Poisson floor":
            sigma = np.maximum(sigma, poisson_sd)
    lag1 = np.where(np.isfinite(lag1), lag1, 0.0)
    factors = {float(r): change_variance_factors(in_baseline, float(r)) for r in np.unique(lag1)}
    errors = np.empty(np.shape(series))
    for index in np.ndindex(*np.shape(sigma)):
        errors[(slice(None),) + index] = sigma[index] * np.sqrt(factors[float(lag1[index])])
    return errors, sigma, lag1


@functools.lru_cache(maxsize=32)
def _sensitivity(medium, rho, engine):
    """The baseline model's sensitivities, kept: many recordings (sources, sessions, a test's
    seeds) share a model and its distances, and computing them is most of the method's time."""
    return sensitivity(medium, list(rho), samples=16, engine=engine)


def _missing(recording):
    """(T, C) bool: the DTOFs (or moments) the recording lacks, NaN in its file."""
    values = recording.counts if recording.kind == "gated" else recording.moments
    return np.isnan(values).any(axis=2)


def _check_moments(recording, moments):
    """Refuses a DTOF without counts, or one whose moments overflow: its -ln N or mean time
    would turn every result of its wavelength into NaN."""
    bad = ~(np.isfinite(moments.total) & np.isfinite(moments.mean_time) & np.isfinite(moments.variance)
            & (moments.total > 0))
    # What the device left out (NaN in the file) is missing, not wrong: that time point's solve
    # goes without it.
    bad &= ~_missing(recording)
    if np.any(bad):
        row, channel = (int(i) for i in np.argwhere(bad)[0])
        what = "has no counts" if moments.total[row, channel] == 0 else "has moments that are not finite numbers"
        where = f"{recording.file or 'the recording'}: {recording.location or 'data'}/dataTimeSeries"
        raise ValueError(f"{where}: the DTOF at {recording.time_s[row]:g} s (row {row + 1}) of source "
                         f"{recording.source[channel]}, detector {recording.detector[channel]}, "
                         f"{recording.wavelengths[recording.wavelength_index[channel]]:g} nm {what}")


def moments_method(recording: Recording, media: Media, *, baseline: Optional[Tuple[float, float]] = None,
                   irf: Optional[Tuple[npt.ArrayLike, npt.ArrayLike]] = None,
                   groups: Optional[Sequence[Sequence[int]]] = None, tikhonov: float = 0.0,
                   engine: _types.Engine = "exact", source: Optional[int] = None) -> Analysis:
    """Changes of mua, HbO and HbR in each layer from the changes of the DTOFs' moments.

    For every DTOF the total N, mean time <t> and variance V (the IRF's mean and variance
    subtracted when irf is given) are compared with their means over the baseline period:
    -ln(N / N0), <t> - <t>0 and V - V0 of every channel at a wavelength are, to first order,
    the baseline model's sensitivities (mean partial pathlengths, mean time and variance
    sensitivity factors; nlayer.sensitivity at each channel's distance) times the layers' mua
    changes. The changes are found by least squares weighted by each channel's covariance of
    the three moments' changes, taken from the baseline period's scatter (for gated data at
    least the counts' Poisson covariance; _whitening), optionally with Tikhonov
    regularisation, separately for each wavelength; the changes of HbO and HbR follow from the
    mua changes at all wavelengths through the extinction coefficients. The errors come from
    the solved series' own baseline scatter and count the baseline mean's error and the serial
    correlation of the time points (recording.blocks); Analysis.noise says which noise was used.

    Parameters
    ----------
    recording : Recording (read_snirf, simulate_recording), gated or moments data
    media : dict {wavelength_nm: Medium} or one Medium per recording.wavelengths
        The baseline model at each wavelength; its layers are the layers solved for.
    baseline : (t0, t1) s, optional; default: before the first stimulus, else the first 10 %
    irf : (t_ps, counts), optional: its mean and variance are subtracted from each DTOF's
    groups : sequence of sequences of layers (1-based), optional
        Layers that share one mua change, e.g. [[1, 2, 3], [4]]; default each layer alone.
    tikhonov : float
        Regularisation strength relative to the largest singular value of the weighted
        sensitivity matrix (0: plain least squares).
    engine : the sensitivities' engine, as for time_resolved.
    source : int, optional
        The source whose channels are analysed (1-based); needed when there are several.

    Returns an Analysis with changes=True. The sensitivities are computed once; the
    per-DTOF work is a few matrix products (python/benchmarks/bench_recording.py).
    """
    recording = _one_source(recording, source)
    wavelengths, items = _media_by_wavelength(media, recording.wavelengths)
    layers = {len(m) for m in items}
    if len(layers) != 1:
        raise ValueError(f"the models have different numbers of layers ({sorted(layers)}); they must match")
    L = layers.pop()
    members = _groups(groups, L)
    membership = np.zeros((L, len(members)))
    for g, group in enumerate(members):
        membership[np.array(group) - 1, g] = 1.0
    alpha = _checks.real(tikhonov, "tikhonov")
    if not 0 <= alpha < np.inf:
        raise ValueError(f"tikhonov is {alpha}; it must be a finite number >= 0")
    t0, t1 = baseline_window(recording, baseline)
    in_baseline = (recording.time_s >= t0) & (recording.time_s <= t1)

    moments = _channel_moments(recording, irf)
    _check_moments(recording, moments)
    with warnings.catch_warnings():
        # A channel missing throughout the baseline is refused just below.
        warnings.simplefilter("ignore", RuntimeWarning)
        reference = Moments(*(np.nanmean(m[in_baseline], axis=0) for m in moments))
    if np.any(~np.isfinite(reference.total)) or np.any(reference.total <= 0):
        raise ValueError("a channel has no counts in the baseline period")
    delta = np.stack([-np.log(moments.total / reference.total), moments.mean_time - reference.mean_time,
                      moments.variance - reference.variance], axis=2)        # (T, C, 3)
    whiten, poisson, noise = _whitening(recording, in_baseline, reference, delta)   # (C, 3, 3)
    # The Poisson covariance in the whitened coordinates: the errors' floor for gated data.
    whitened_poisson = whiten @ poisson @ np.swapaxes(whiten, 1, 2)

    T, W = len(recording.time_s), len(wavelengths)
    mua = np.zeros((T, len(members), W))
    mua_poisson = np.zeros((len(members), W))
    crosstalk = np.zeros((W, len(members), L))
    for w in range(W):
        channels = np.flatnonzero(recording.wavelength_index == w)
        if not len(channels):
            raise ValueError(f"the recording has no channel at {wavelengths[w]:g} nm")
        # The moments' sensitivities come from the spectrum near f = 0, whatever the time grid:
        # the smallest grid spares the gated pathlengths this method does not use.
        s = _sensitivity(items[w], tuple(float(r) for r in recording.rho_mm[channels]), engine)
        matrix = np.einsum("cij,cjl->cil", whiten[channels], np.stack([s.mpp, s.mtsf, s.vsf], axis=1))
        matrix = matrix.reshape(-1, L)
        grouped = matrix @ membership
        singular = np.linalg.svd(grouped, compute_uv=False)
        with np.errstate(over="ignore"):
            lam = (alpha * singular[0]) ** 2
        if not np.isfinite(lam):
            raise ValueError(f"tikhonov {alpha:g} overflows the regularisation at {wavelengths[w]:g} nm; "
                             "it is relative to the largest singular value, so a value near 1 already damps fully")
        normal = grouped.T @ grouped + lam * np.eye(len(members))
        solve = np.linalg.solve(normal, grouped.T)                    # (G, 3 C_w)
        if not np.all(np.isfinite(solve)):
            raise ValueError(f"at {wavelengths[w]:g} nm the weighted least squares have no finite solution "
                             f"(tikhonov {alpha:g}); a smaller tikhonov is needed")
        data = np.einsum("cij,tcj->tci", whiten[channels], delta[:, channels]).reshape(T, -1)
        mua[:, :, w] = data @ solve.T
        per_channel = solve.reshape(len(members), len(channels), 3)
        mua_poisson[:, w] = np.sqrt(np.einsum("gci,cij,gcj->g", per_channel, whitened_poisson[channels], per_channel))
        crosstalk[w] = solve @ matrix
    # The errors from the solved series themselves: the channels and wavelengths share
    # physiology, which a per-channel weighting cannot see but their baseline scatter shows.
    hbo, hbr, _, _ = _concentrations(mua, mua_poisson, wavelengths)
    _, _, hbo_poisson, hbr_poisson = (x[0] for x in _concentrations(mua[:1], mua_poisson[None], wavelengths))
    t = recording.time_s
    mua_err, mua_sd, mua_lag1 = _errors(mua, mua_poisson, t, in_baseline, noise)
    hbo_err, hbo_sd, hbo_lag1 = _errors(hbo, hbo_poisson, t, in_baseline, noise)
    hbr_err, hbr_sd, hbr_lag1 = _errors(hbr, hbr_poisson, t, in_baseline, noise)
    return Analysis(method="moments", changes=True, time_s=recording.time_s, wavelengths=wavelengths,
                    baseline=(t0, t1), names=[_group_name(g) for g in members], groups=members, mua=mua,
                    hbo=hbo, hbr=hbr, d_mean_ps=delta[:, :, 1], d_var_ps2=delta[:, :, 2], recording=recording,
                    crosstalk=crosstalk, mua_err=mua_err, hbo_err=hbo_err, hbr_err=hbr_err, noise=noise,
                    noise_sd={"mua": mua_sd, "hbo": hbo_sd, "hbr": hbr_sd},
                    noise_lag1={"mua": mua_lag1, "hbo": hbo_lag1, "hbr": hbr_lag1})
