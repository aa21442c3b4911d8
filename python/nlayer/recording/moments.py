"""The moments method: changes of mua per layer from the changes of the DTOFs' moments."""

from __future__ import annotations

import collections
import threading
import warnings
from typing import Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from .. import _checks
from .. import _nlayer
from .. import _types
from .._snirf import Recording
from .._fit import Moments, curve_moments
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
        # A DTOF marked missing (NaN) must not take the others' reference with it.
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
        with warnings.catch_warnings():
            # A channel NaN at some baseline points has the others' mean; one NaN at all is refused before.
            warnings.simplefilter("ignore", RuntimeWarning)
            curve = np.nanmean(recording.counts[in_baseline], axis=0)      # (C, G)
        t = recording.gate_ps
        weight = curve / curve.sum(axis=1, keepdims=True)
        centred = t[None, :] - (weight @ t)[:, None]
        variance, third, fourth = (np.sum(weight * centred**k, axis=1) for k in (2, 3, 4))
    else:
        # Without the curve, a Gaussian's third and fourth moments.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
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


def _check_moments(recording, moments):
    """Refuses a DTOF without counts, or one whose moments overflow: its -ln N or mean time
    would turn every result of its wavelength into NaN. A DTOF the recording marks missing
    (NaN) is left out of its time point's solve instead."""
    missing = _missing(recording)
    bad = ~(np.isfinite(moments.total) & np.isfinite(moments.mean_time) & np.isfinite(moments.variance)
            & (moments.total > 0)) & ~missing
    if np.any(bad):
        row, channel = (int(i) for i in np.argwhere(bad)[0])
        what = "has no counts" if moments.total[row, channel] == 0 else "has moments that are not finite numbers"
        where = f"{recording.file or 'the recording'}: {recording.location or 'data'}/dataTimeSeries"
        raise ValueError(f"{where}: the DTOF at {recording.time_s[row]:g} s (row {row + 1}) of source "
                         f"{recording.source[channel]}, detector {recording.detector[channel]}, "
                         f"{recording.wavelengths[recording.wavelength_index[channel]]:g} nm {what}")


class RecordingWarning(UserWarning):
    """An analysis ran, but something about the data limits what its results say."""


def _missing(recording):
    """(T, C) bool: the DTOFs (or moments) the recording marks missing with NaN."""
    values = recording.counts if recording.kind == "gated" else recording.moments
    return np.any(np.isnan(values), axis=2)


# A channel whose gates hold less of its light than this says too little about the layers: its
# moments are those of the curve's rise alone.
_LEAST_KEPT = 0.5
# Without an IRF, a cut of more light than this biases the changes by more than their noise.
_LEAST_KEPT_WITHOUT_IRF = 0.99


# The model's moments per window and medium at every distance of a recording (_Window.moments).
_KEPT: "collections.OrderedDict" = collections.OrderedDict()
_KEPT_LOCK = threading.Lock()
_KEPT_MOST = 512


class _Window:
    """The model's moments taken as the recording's are. A gated recording holds the DTOF within
    its gates only, the IRF convolved; its moments are those of that cut curve, and so must the
    model's be, or the cut's bias (several per cent at the example's 5 ns, a wrong sign at
    1.3 ns) passes into the layers. Moments data (dataType 301) were computed by the device over
    a window the file does not state: the model's untruncated moments stand for them."""

    def __init__(self, recording, irf, engine, everywhere):
        self.engine, self.truncated, self.notes = engine, False, []
        self.everywhere = np.unique(np.asarray(everywhere, dtype=float))
        self.signature = (engine, self.everywhere.tobytes())
        if recording.kind != "gated":
            return
        t = np.asarray(recording.gate_ps, dtype=float)
        steps = np.diff(t)
        if len(t) < 3 or np.ptp(steps) > 1e-6 * steps.mean():
            self.notes.append("the gates are not uniform: the model's moments are untruncated, not taken over "
                              "the gates as the data's are")
            return
        self.truncated, self.t, self.dt = True, t, float(steps.mean())
        self.samples = 16
        while self.samples < max(2 * len(t), 10000.0 / self.dt, 2 * t[-1] / self.dt + 2):
            self.samples *= 2
        self.irf = None
        if irf is not None:
            irf_t, irf_c = (np.asarray(v, dtype=float) for v in irf)
            on_gates = len(irf_t) == len(t) and np.allclose(irf_t, t, rtol=0, atol=1e-6 * self.dt)
            # An IRF on other bins is moved onto the gates: only its shape on the data's clock counts.
            self.irf = irf_c if on_gates else np.interp(t, irf_t, irf_c, left=0.0, right=0.0)
            if not self.irf.sum() > 0:
                raise ValueError("the IRF has no counts within the recording's gates")
        self.signature += (t.tobytes(), None if self.irf is None else self.irf.tobytes())

    def curves(self, medium, rho):
        """(R, samples): the model's DTOF on the gates' bins and beyond (the gates are the first G)."""
        if self.irf is None:
            # The curve itself at the gates' times, as a recording without an IRF holds it.
            times, values = _nlayer.time_resolved(medium, rho, self.dt, self.samples, 0, self.engine)
            values = np.asarray(values, dtype=float).reshape(len(rho), -1)
            grid = self.t[0] + self.dt * np.arange(len(times))
            return np.maximum([np.interp(grid, times, v, left=0.0, right=0.0) for v in values], 0.0)
        while True:
            f_hz = np.arange(self.samples // 2 + 1) / (self.samples * self.dt * 1e-12)
            spectrum = _nlayer.frequency_domain(medium, rho, f_hz.tolist(), 0, self.engine)
            spectrum = np.asarray(spectrum).reshape(len(rho), -1)
            irf_spectrum = np.fft.rfft(self.irf / self.irf.sum(), self.samples)
            curves = np.fft.irfft(spectrum * irf_spectrum[None, :], self.samples)
            # What a period too short still carries at its end lands on its start.
            tail = np.abs(curves[:, -self.samples // 8:]).max(axis=1)
            if np.all(tail <= 1e-9 * curves.max(axis=1)) or self.samples >= 1 << 20:
                return np.maximum(curves, 0.0)
            self.samples *= 2

    def moments(self, medium, rho):
        """(R, 3): -ln N, mean time (ps) and variance (ps^2) of the model at the distances rho.

        Computed at every distance of the recording at once and kept: its sources share the
        model, and one library call takes all their distances at little more than the cost of
        one."""
        return self._kept_table(medium, rho)[:, :3]

    def _kept_table(self, medium, rho):
        rho = np.asarray(rho, dtype=float)
        index = np.searchsorted(self.everywhere, rho).clip(0, len(self.everywhere) - 1)
        if not np.array_equal(self.everywhere[index], rho):
            return self._moments(medium, rho)
        key = (self.signature, medium)
        with _KEPT_LOCK:
            table = _KEPT.get(key)
            if table is not None:
                _KEPT.move_to_end(key)
        if table is None:
            table = self._moments(medium, self.everywhere)
            with _KEPT_LOCK:
                _KEPT[key] = table
                while len(_KEPT) > _KEPT_MOST:
                    _KEPT.popitem(last=False)
        return table[index]

    def _moments(self, medium, rho):
        """(R, 3) as moments(), and in a fourth column the share of the light within the gates."""
        if not self.truncated:
            return np.column_stack([self._untruncated(medium, rho), np.ones(len(rho))])
        whole = self.curves(medium, rho)
        curves = whole[:, :len(self.t)]
        total = curves.sum(axis=1)
        # Gates without the model's light give no moments; the caller refuses them by their share.
        with np.errstate(divide="ignore", invalid="ignore"):
            weight = curves / total[:, None]
            mean = weight @ self.t
            variance = np.sum(weight * (self.t[None, :] - mean[:, None]) ** 2, axis=1)
            return np.column_stack([-np.log(total), mean, variance, total / whole.sum(axis=1)])

    def _untruncated(self, medium, rho):
        """The untruncated moments from the spectrum at 0, f and 2f: ln R(w) = ln N - i w <t> -
        w^2 V / 2 + O(w^3), the next terms removed by Richardson's step from w to 2w. Three
        frequencies cost a seventh of the library's moments, which the expansion would call a
        score of times per wavelength; the first call sets f from the library's moments and
        holds the two routes to each other (else the library's stand)."""
        library = None
        if getattr(self, "f_hz", None) is None:
            # The longest distance has the widest curve; it alone sets f and is compared.
            longest = int(np.argmax(rho))
            library = np.array(_nlayer.moments(medium, [rho[longest]], 0, self.engine), dtype=float).reshape(3)
            # w^2 V at most 2.5e-3: the terms left are some 1e-6 of V, the rounding 1e-12.
            self.f_hz = 0.05 / np.sqrt(library[2]) / (2 * np.pi) * 1e12
            self.spectral = True
        if not self.spectral:
            values = np.array(_nlayer.moments(medium, rho, 0, self.engine), dtype=float).reshape(len(rho), 3)
            return np.column_stack([-np.log(values[:, 0]), values[:, 1], values[:, 2]])
        spectrum = np.asarray(_nlayer.frequency_domain(medium, rho, [0.0, self.f_hz, 2 * self.f_hz], 0, self.engine))
        spectrum = spectrum.reshape(len(rho), 3)
        w = 2 * np.pi * self.f_hz * 1e-12                                 # rad/ps
        one, two = np.log(spectrum[:, 1] / spectrum[:, 0]), np.log(spectrum[:, 2] / spectrum[:, 0])
        # The sign of the phase follows the transform's convention: the mean time is positive.
        mean = np.abs((4 * one.imag / w - two.imag / (2 * w)) / 3)
        variance = (4 * (-2 * one.real / w**2) - (-2 * two.real / (4 * w**2))) / 3
        found = np.column_stack([-np.log(spectrum[:, 0].real), mean, variance])
        if library is not None and not np.allclose(found[longest, 1:], library[1:], rtol=1e-5, atol=0):
            self.spectral = False
            return self._untruncated(medium, rho)
        return found

    def kept(self, medium, rho):
        """(R,): the share of each distance's light that falls within the gates."""
        return self._kept_table(medium, rho)[:, 3]


def _step(mua):
    """The step of the stencil along a change of these layers' mua: 10 % of the least mua, so
    that the stencil spans +-20 %, and each offset whether it may go below the baseline."""
    least = float(np.min(mua))
    if least > 0:
        return 0.1 * least, np.array([-2.0, -1.0, 1.0, 2.0])
    # A layer without absorption has none to lose: the stencil lies on one side.
    return 1e-4, np.array([1.0, 2.0, 3.0, 4.0])


def _polynomial(f0, values, offsets):
    """(4, ...): the coefficients of x, x^2, x^3, x^4 of the quartic through (0, f0) and
    (offsets[i], values[i])."""
    powers = np.stack([offsets**k for k in range(1, 5)], axis=1)          # (4, 4)
    rhs = np.stack([v - f0 for v in values]).reshape(len(offsets), -1)
    return np.linalg.solve(powers, rhs).reshape((4,) + f0.shape)


class _Expansion:
    """The model's moments about the baseline medium in the groups' mua changes x (every layer
    of a group alike): F(x) = F0 + sum_g P_g(x_g) + sum_{g<h} C_gh x_g x_h, each P_g a quartic
    through the model at four changes along the group (spanning +-20 % of its mua), each C_gh
    from one change along the pair. The changes sought lie within some 20 % of mua, where the
    quartic holds the moments to a small part of a per cent; a second-order expansion about 0
    leaves several per cent at +5 uM in the brain.

    slope (R, 3, G) and cross (R, 3, G, G) (symmetric, zero diagonal) after whitening are what
    the solve takes; also the slopes of each layer alone (R, 3, layers), for the cross-talk."""

    def __init__(self, window, medium, rho, members):
        L = len(medium)
        mua0 = np.array([layer.mua for layer in medium.layers])
        cache = {}

        def at(change):
            key = tuple(np.round(change, 15))
            if key not in cache:
                changed = medium
                for k in np.flatnonzero(change):
                    changed = changed.replace(int(k) + 1, mua=float(mua0[k] + change[k]))
                cache[key] = window.moments(changed, rho)
            return cache[key]

        f0 = at(np.zeros(L))
        G = len(members)
        self.poly = np.zeros((G, 4) + f0.shape)
        self.cross = np.zeros(f0.shape + (G, G))
        directions, ends = [], []
        for g, group in enumerate(members):
            u = np.zeros(L)
            u[np.array(group) - 1] = 1.0
            h, offsets = _step(mua0[np.array(group) - 1])
            self.poly[g] = _polynomial(f0, [at(o * h * u) for o in offsets], offsets * h)
            directions.append(u)
            ends.append(h)
        for g in range(G):
            for k in range(g):
                x = np.zeros(G)
                x[g], x[k] = ends[g], ends[k]
                rest = at(ends[g] * directions[g] + ends[k] * directions[k]) - f0 - self._along(x)
                self.cross[..., g, k] = self.cross[..., k, g] = rest / (ends[g] * ends[k])
        # Each layer alone, to first order (central differences where the mua allows).
        self.per_layer = np.zeros(f0.shape + (L,))
        for k in range(L):
            single = [g for g, group in enumerate(members) if group == [k + 1]]
            if single:
                self.per_layer[..., k] = self.poly[single[0], 0]
                continue
            h, offsets = _step(mua0[k:k + 1])
            e = np.eye(L)[k]
            if offsets[0] < 0:
                self.per_layer[..., k] = (at(h * e) - at(-h * e)) / (2 * h)
            else:
                self.per_layer[..., k] = (4 * at(h * e) - 3 * f0 - at(2 * h * e)) / (2 * h)

    def _along(self, x):
        """sum_g P_g(x_g) for one x (G,): (R, 3)."""
        return sum(sum(self.poly[g, j] * x[g] ** (j + 1) for j in range(4)) for g in range(len(x)))

    def whitened(self, whiten):
        """The expansion with each channel's rows whitened: polynomial coefficients (G, 4, 3C)
        and cross terms (3C, G, G)."""
        G = self.poly.shape[0]
        poly = np.einsum("cij,gkcj->gkci", whiten, self.poly).reshape(G, 4, -1)
        cross = np.einsum("cij,cjgh->cigh", whiten, self.cross).reshape(-1, G, G)
        return poly, cross


def _solve(data, present, poly, cross, lam, iterations=30):
    """Gauss-Newton on the expansion, every time point at once: x (T, G) minimising
    |data - sum_g P_g(x_g) - x^T C x / 2|^2 + lam |x|^2 over the rows present at each time point
    (data (T, R); poly (G, 4, R) and cross (R, G, G) whitened, cross symmetric with zero
    diagonal, so the cross terms count once per pair). Returns x and its covariance (T, G, G)
    under unit-covariance data. It stops when no step moves a change by more than 1e-4 of its
    standard error: what is left is far below the noise."""
    T, G = data.shape[0], poly.shape[0]
    R = data.shape[1]
    weight = present.astype(float)
    data = np.where(present, data, 0.0)
    x = np.zeros((T, G))
    eye = np.eye(G)
    degree = np.arange(1, 5)
    flat = poly.reshape(G * 4, R)                                          # rows: (group, power)
    pairs = cross.transpose(2, 0, 1).reshape(G, R * G)                     # x @ pairs: sum_h C_rgh x_h

    def residual_of(x, cx=None):
        if cx is None:
            cx = (x @ pairs).reshape(T, R, G)
        model = (x[:, :, None] ** degree).reshape(T, -1) @ flat + 0.5 * np.einsum("trg,tg->tr", cx, x)
        return (data - model) * weight, cx

    def jacobian(x, cx):
        slopes = degree * x[:, :, None] ** (degree - 1)                   # (T, G, 4)
        jac = np.stack([slopes[:, g] @ poly[g] for g in range(G)], axis=2) + cx
        return jac * weight[:, :, None]

    def cost(x, residual):
        return np.einsum("tr,tr->t", residual, residual) + lam * np.einsum("tg,tg->t", x, x)

    residual, cx = residual_of(x)
    jac = jacobian(x, cx)
    for _ in range(iterations):
        normal = np.matmul(jac.transpose(0, 2, 1), jac) + lam * eye
        gradient = np.einsum("tri,tr->ti", jac, residual) - lam * x
        step = np.linalg.solve(normal, gradient[..., None])[..., 0]
        before = cost(x, residual)
        trial = x + step
        new_residual, new_cx = residual_of(trial)
        # Where the expansion misleads the step, halve it: the cost may only fall.
        for _ in range(20):
            worse = cost(trial, new_residual) > before * (1 + 1e-12) + 1e-300
            if not np.any(worse):
                break
            step[worse] *= 0.5
            trial = x + step
            new_residual, new_cx = residual_of(trial)
        x, residual = trial, new_residual
        jac = jacobian(x, new_cx)
        error = np.sqrt(np.abs(np.diagonal(np.linalg.inv(normal), axis1=1, axis2=2)))
        if np.all(np.abs(step) <= 1e-4 * error):
            break
    normal = np.matmul(jac.transpose(0, 2, 1), jac)
    inverse = np.linalg.inv(normal + lam * eye)
    return x, inverse @ normal @ inverse


def moments_method(recording: Recording, media: Media, *, baseline: Optional[Tuple[float, float]] = None,
                   irf: Optional[Tuple[npt.ArrayLike, npt.ArrayLike]] = None,
                   groups: Optional[Sequence[Sequence[int]]] = None, tikhonov: float = 0.0,
                   engine: _types.Engine = "exact", source: Optional[int] = None) -> Analysis:
    """Changes of mua, HbO and HbR in each layer from the changes of the DTOFs' moments.

    For every DTOF the total N, mean time <t> and variance V (the IRF's mean and variance
    subtracted when irf is given) are compared with their means over the baseline period:
    -ln(N / N0), <t> - <t>0 and V - V0 of every channel at a wavelength. The model's moments are
    taken as the data's are: for gated data over the recorded gates with the IRF convolved (the
    DTOF the recording holds is cut off by its window), for moments data (dataType 301)
    untruncated, as the device states them. The changes of each layer's (or group's) mua are
    those whose model moments change as the data's did: the model is expanded about the
    baseline medium (a quartic along each unknown and a cross term per pair, from the model at
    a few changed media) and solved by Gauss-Newton at every time point, weighted by each
    channel's covariance of the three moments' changes, taken from the baseline period's
    scatter (for gated data at least the counts' Poisson covariance; _whitening), optionally
    with Tikhonov regularisation, separately for each wavelength; the changes of HbO and HbR
    follow from the mua changes at all wavelengths through the extinction coefficients. The
    errors come from the solved series' own baseline scatter and count the baseline mean's
    error and the serial correlation of the time points (recording.blocks); Analysis.noise
    says which noise was used.

    A DTOF the recording marks missing (NaN) at some time points is left out of those time
    points' solves; a time point with no channel left at a wavelength is refused. Where a
    channel's gates hold less than half the model's light, a warning says that the window leaves
    too little of the curve.

    Parameters
    ----------
    recording : Recording (read_snirf, simulate_recording), gated or moments data
    media : dict {wavelength_nm: Medium} or one Medium per recording.wavelengths
        The baseline model at each wavelength; its layers are the layers solved for.
    baseline : (t0, t1) s, optional; default: before the first stimulus, else the first 10 %
    irf : (t_ps, counts), optional: its mean and variance are subtracted from each DTOF's, and
        the model's DTOF is convolved with it (on the gates; an IRF on other bins is
        interpolated onto them)
    groups : sequence of sequences of layers (1-based), optional
        Layers that share one mua change, e.g. [[1, 2, 3], [4]]; default each layer alone.
    tikhonov : float
        Regularisation strength relative to the largest singular value of the weighted
        sensitivity matrix (0: plain least squares).
    engine : the model's engine, as for time_resolved.
    source : int, optional
        The source whose channels are analysed (1-based); needed when there are several.

    Returns an Analysis with changes=True. The model is evaluated a few times per wavelength;
    the per-DTOF work is a few batched matrix products (python/benchmarks/bench_recording.py,
    bench_recording_bias.py for the bias).
    """
    # Every source's distances: the model's moments at all of them come from one library call.
    everywhere = recording.rho_mm
    recording = _one_source(recording, source)
    wavelengths, items = _media_by_wavelength(media, recording.wavelengths)
    layers = {len(m) for m in items}
    if len(layers) != 1:
        raise ValueError(f"the models have different numbers of layers ({sorted(layers)}); they must match")
    L = layers.pop()
    members = _groups(groups, L)
    alpha = _checks.real(tikhonov, "tikhonov")
    if not 0 <= alpha < np.inf:
        raise ValueError(f"tikhonov is {alpha}; it must be a finite number >= 0")
    t0, t1 = baseline_window(recording, baseline)
    in_baseline = (recording.time_s >= t0) & (recording.time_s <= t1)

    moments = _channel_moments(recording, irf)
    _check_moments(recording, moments)
    missing = _missing(recording)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        reference = Moments(*(np.nanmean(np.where(missing, np.nan, m)[in_baseline], axis=0) for m in moments))
    bad = np.flatnonzero(~np.isfinite(reference.total) | ~(reference.total > 0))
    if len(bad):
        c = int(bad[0])
        raise ValueError(f"source {recording.source[c]}, detector {recording.detector[c]}, "
                         f"{recording.wavelengths[recording.wavelength_index[c]]:g} nm has no counts in the baseline "
                         f"period ({t0:g} to {t1:g} s)")
    delta = np.stack([-np.log(moments.total / reference.total), moments.mean_time - reference.mean_time,
                      moments.variance - reference.variance], axis=2)        # (T, C, 3)
    whiten, poisson, noise = _whitening(recording, in_baseline, reference, delta)   # (C, 3, 3)
    # The Poisson covariance in the whitened coordinates: the errors' floor for gated data.
    whitened_poisson = whiten @ poisson @ np.swapaxes(whiten, 1, 2)
    window = _Window(recording, irf, engine, everywhere)

    T, W, G = len(recording.time_s), len(wavelengths), len(members)
    mua = np.zeros((T, G, W))
    mua_poisson = np.zeros((G, W))
    scale = np.ones((T, G, W))
    crosstalk = np.zeros((W, G, L))
    notes = list(window.notes)
    irf_said = False
    for w in range(W):
        channels = np.flatnonzero(recording.wavelength_index == w)
        if not len(channels):
            raise ValueError(f"the recording has no channel at {wavelengths[w]:g} nm")
        present = ~missing[:, channels]
        empty = np.flatnonzero(~present.any(axis=1))
        if len(empty):
            row = int(empty[0])
            raise ValueError(f"at {recording.time_s[row]:g} s (row {row + 1}) no channel at {wavelengths[w]:g} nm "
                             "has a DTOF (all are NaN); leave that time point out of the recording")
        rho = [float(r) for r in recording.rho_mm[channels]]
        kept = window.kept(items[w], rho)
        if not np.all(kept > 1e-6):
            c = int(np.argmin(np.nan_to_num(kept)))
            raise ValueError(f"the gates ({recording.gate_ps[0]:g} to {recording.gate_ps[-1]:g} ps) hold practically "
                             f"none of the model's light at {rho[c]:g} mm and {wavelengths[w]:g} nm: nothing can be "
                             "said about the layers there")
        if np.any(kept < _LEAST_KEPT):
            c = int(np.argmin(kept))
            notes.append(f"the gates hold only {100 * kept[c]:.0f} % of the model's light at {rho[c]:g} mm and "
                         f"{wavelengths[w]:g} nm: the window leaves too little of the curve to tell the layers "
                         "apart reliably; the results there rest on the curve's rise alone")
        if window.truncated and window.irf is None and np.any(kept < _LEAST_KEPT_WITHOUT_IRF) and not irf_said:
            # The model's cut is then that of a curve without the instrument's response, which
            # every recorded DTOF holds: on a 2.56 ns window at 45 mm the brain came out 15 % low.
            c = int(np.argmin(kept))
            notes.append(f"no IRF given, and the gates cut the model's curve (they hold {100 * kept[c]:.1f} % of its "
                         f"light at {rho[c]:g} mm and {wavelengths[w]:g} nm): the model is cut as a curve without "
                         "the instrument's response, unlike the recorded DTOFs; give the IRF (irf=, --irf)")
            irf_said = True
        expansion = _Expansion(window, items[w], rho, members)
        poly, cross = expansion.whitened(whiten[channels])
        A = poly[:, 0].T                                            # (3 C_w, G): the slopes at 0
        singular = np.linalg.svd(A, compute_uv=False)
        with np.errstate(over="ignore"):
            lam = (alpha * singular[0]) ** 2
        if not np.isfinite(lam):
            raise ValueError(f"tikhonov {alpha:g} overflows the regularisation at {wavelengths[w]:g} nm; "
                             "it is relative to the largest singular value, so a value near 1 already damps fully")
        normal = A.T @ A + lam * np.eye(G)
        solve = np.linalg.solve(normal, A.T)                      # (G, 3 C_w)
        if not np.all(np.isfinite(solve)) or np.linalg.cond(normal) > 1e14:
            raise ValueError(f"at {wavelengths[w]:g} nm the weighted least squares have no finite solution "
                             f"(tikhonov {alpha:g}); a smaller tikhonov or fewer unknowns (groups) are needed")
        data = np.einsum("cij,tcj->tci", whiten[channels], np.nan_to_num(delta[:, channels])).reshape(T, -1)
        rows = np.repeat(present, 3, axis=1)
        x, covariance = _solve(data, rows, poly, cross, lam)
        if not np.all(np.isfinite(x)):
            row = int(np.argwhere(~np.isfinite(x))[0][0])
            raise ValueError(f"at {recording.time_s[row]:g} s (row {row + 1}) and {wavelengths[w]:g} nm the "
                             "channels left do not determine the unknowns")
        mua[:, :, w] = x
        # The Poisson part of one time point's noise, through the slopes at the baseline.
        per_channel = solve.reshape(G, len(channels), 3)
        mua_poisson[:, w] = np.sqrt(np.einsum("gci,cij,gcj->g", per_channel, whitened_poisson[channels], per_channel))
        # Channels missing at a time point, and the change itself, move that point's slopes: its
        # error scales as the solve's own against the baseline's with every channel.
        scale[:, :, w] = np.sqrt(np.diagonal(covariance, axis1=1, axis2=2) / np.diagonal(solve @ solve.T))
        crosstalk[w] = solve @ np.einsum("cij,cjl->cil", whiten[channels], expansion.per_layer).reshape(-1, L)
    for note in notes:
        warnings.warn(note, RecordingWarning, stacklevel=2)
    # The errors from the solved series themselves: the channels and wavelengths share
    # physiology, which a per-channel weighting cannot see but their baseline scatter shows.
    hbo, hbr, _, _ = _concentrations(mua, mua_poisson, wavelengths)
    _, _, hbo_poisson, hbr_poisson = (x[0] for x in _concentrations(mua[:1], mua_poisson[None], wavelengths))
    t = recording.time_s
    mua_err, mua_sd, mua_lag1 = _errors(mua, mua_poisson, t, in_baseline, noise)
    hbo_err, hbo_sd, hbo_lag1 = _errors(hbo, hbo_poisson, t, in_baseline, noise)
    hbr_err, hbr_sd, hbr_lag1 = _errors(hbr, hbr_poisson, t, in_baseline, noise)
    _, _, hbo_scaled, hbr_scaled = _concentrations(mua, mua_poisson * scale, wavelengths)
    with np.errstate(invalid="ignore", divide="ignore"):
        mua_err, hbo_err, hbr_err = mua_err * scale, hbo_err * hbo_scaled / hbo_poisson, hbr_err * hbr_scaled / hbr_poisson
    return Analysis(method="moments", changes=True, time_s=recording.time_s, wavelengths=wavelengths,
                    baseline=(t0, t1), names=[_group_name(g) for g in members], groups=members, mua=mua,
                    hbo=hbo, hbr=hbr, d_mean_ps=delta[:, :, 1], d_var_ps2=delta[:, :, 2], recording=recording,
                    crosstalk=crosstalk, mua_err=mua_err, hbo_err=hbo_err, hbr_err=hbr_err, noise=noise,
                    noise_sd={"mua": mua_sd, "hbo": hbo_sd, "hbr": hbr_sd},
                    noise_lag1={"mua": mua_lag1, "hbo": hbo_lag1, "hbr": hbr_lag1})

