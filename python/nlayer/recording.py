"""Recordings: time-domain NIRS time series in SNIRF files, simulated or measured, analysed for
changes of absorption and hemoglobin in each layer of a model.

    >>> from nlayer import recording as rec
    >>> r = rec.read_snirf("study.snirf")                   # DTOFs: r.counts (T, C, G)
    >>> media = {760: nlayer.read_model("head760.dat").medium, 850: nlayer.read_model("head850.dat").medium}
    >>> result = rec.moments_method(r, media)               # changes per layer against the baseline
    >>> result.hbo[:, 3]                                    # the brain's (layer 4) HbO change, uM
    >>> rec.write_results("results.snirf", result)

Two methods: moments_method (changes of the DTOFs' total, mean time and variance against a
baseline period, turned into changes of mua per layer through the baseline model's
sensitivities, then into HbO and HbR) and fit_method (nlayer.fit of chosen parameters at every
time point, warm-started from the previous one, locally or on a Dask cluster).
simulate_recording writes a recording of a layered medium whose hemoglobin changes in time.

Units: mua and musp in 1/mm, concentrations in uM (micromol per litre), times of flight in ps,
the recording's time in s, distances in mm. Extinction coefficients are Prahl's tabulation
(decadic, cm^-1/M), so that mua = ln(10) * (eps_HbO [HbO] + eps_HbR [HbR]).
"""

import csv
import dataclasses
import io
import os
from dataclasses import dataclass, field

import numpy as np

from . import _checks
from . import _nlayer
from . import _output
from ._fit import curve_moments, fit, sensitivity, Moments
from ._nlayer import Medium
from ._problem import chromophore_items
from ._sweep import _progress_bar, run_chunks
from ._snirf import (Recording, RecordingError, read_snirf, write_recording,
                     write_results as _write_blocks)

__all__ = ["Analysis", "BaselineFit", "Recording", "RecordingError", "SpectralModel", "baseline_fit", "boxcar",
           "dtof_moments", "extinction", "fit_method", "spectral_fit_method", "spectral_model",
           "hemoglobin_media", "moments_method", "read_snirf", "simulate_recording", "write_csv",
           "write_recording", "write_results"]

_hemoglobin_table = None


def _hemoglobin():
    """The library's oxy- and deoxyhemoglobin spectra, as the binding takes chromophores."""
    global _hemoglobin_table
    if _hemoglobin_table is None:
        _hemoglobin_table = list(_nlayer.hemoglobin())
    return _hemoglobin_table


def extinction(wavelength_nm):
    """Molar extinction coefficients (eps_HbO, eps_HbR) in cm^-1/M (decadic), Prahl's table
    interpolated linearly; shape (2,) for one wavelength, (W, 2) for several. 250 to 1000 nm."""
    wavelengths = np.asarray(wavelength_nm, dtype=float)
    # Read as absorption spectra, the library hands back the table's own interpolated values:
    # the coefficients, without the conversion to mua.
    table = [(name, "absorption", nm, values, source) for name, _unit, nm, values, source in _hemoglobin()]
    values = _nlayer.absorption_per_unit(table, wavelengths.ravel().tolist())
    return values.reshape(wavelengths.shape + (2,))


def _mua_per_uM(wavelengths):
    """(W, 2): the mua (1/mm) that 1 uM of HbO and of HbR add at each wavelength."""
    return _nlayer.absorption_per_unit(_hemoglobin(), np.atleast_1d(np.asarray(wavelengths, dtype=float)).tolist())


def hemoglobin_media(wavelengths, layers):
    """Media at each wavelength from each layer's hemoglobin and scattering.

    layers: a sequence, top first, of dicts with HbO and HbR (uM), musp (1/mm: a number for
    every wavelength, or (a, b) for a * (wavelength / 800 nm)^-b), n, d (mm, as Layer takes it)
    and optionally mua_other (1/mm, absorption of everything else,
    e.g. water). Returns {wavelength: Medium}."""
    nm = [float(w) for w in np.atleast_1d(wavelengths)]
    if not nm:
        return {}
    # Everything else absorbs alike at every wavelength: a flat spectrum of unit absorption.
    other = ("other", "absorption", [min(nm), max(nm)], [1.0, 1.0], "mua_other")
    spectral_layers, geometry = [], []
    for layer in layers:
        musp = layer["musp"]
        a, b = (musp[0], musp[1]) if isinstance(musp, (tuple, list)) else (musp, 0.0)
        spectral_layers.append(([float(layer["HbO"]), float(layer["HbR"]), float(layer.get("mua_other", 0.0))],
                                float(a), float(b)))
        geometry.append(_nlayer.Layer(1.0, 0.0, float(layer["n"]), float(layer["d"])))
    spectral = {"chromophores": _hemoglobin() + [other], "layers": spectral_layers, "reference_nm": 800.0}
    return dict(zip(nm, _nlayer.medium_at(spectral, Medium(geometry), nm)))


def boxcar(time_s, onsets_s, duration_s, amplitude=1.0):
    """amplitude during [onset, onset + duration) for each onset, 0 elsewhere, on time_s."""
    t = np.asarray(time_s, dtype=float)
    on = np.zeros(t.shape)
    for onset in np.atleast_1d(onsets_s):
        on[(t >= onset) & (t < onset + duration_s)] = 1.0
    return amplitude * on


# --------------------------------------------------------------------------------------------
# Simulation


def _media_by_wavelength(media, wavelengths=None):
    """(wavelengths array, list of Medium) from {wavelength: Medium} or a sequence matching
    `wavelengths`."""
    if isinstance(media, dict):
        keys = np.array([float(k) for k in media], dtype=float)
        items = [media[k] for k in media]
        if wavelengths is None:
            return keys, items
        chosen = []
        for wavelength in wavelengths:
            match = np.flatnonzero(np.abs(keys - wavelength) < 0.5)
            if not len(match):
                raise ValueError(f"no model for {wavelength:g} nm; models are given for "
                                 f"{', '.join(f'{k:g}' for k in keys)} nm")
            chosen.append(items[match[0]])
        return np.asarray(wavelengths, dtype=float), chosen
    items = list(media)
    if wavelengths is None or len(items) != len(wavelengths):
        raise ValueError("media must be a dict {wavelength_nm: Medium}, or one Medium per wavelength")
    return np.asarray(wavelengths, dtype=float), items


def _irf_on_gates(irf, t_ps):
    """The IRF's counts on the gates t_ps, from (t_ps, counts) on them or counts alone."""
    if isinstance(irf, tuple):
        values = np.asarray(irf[1], dtype=float)
        if len(values) != len(t_ps) or not np.allclose(np.asarray(irf[0], dtype=float), t_ps):
            raise ValueError("the IRF must lie on the recording's gates")
        return values
    values = np.asarray(irf, dtype=float)
    if values.shape != np.shape(t_ps):
        raise ValueError(f"the IRF has {values.size} counts; the recording has {len(t_ps)} gates")
    return values


def simulate_recording(path, media, rho, time_s, *, changes=None, irf=None, counts=1e6, dt_ps=10.0,
                       samples=1024, stim=None, seed=0, engine="fast"):
    """Simulates a time-domain gated recording of a layered medium and writes it as SNIRF.

    Parameters
    ----------
    path : path or None
        The SNIRF file to write (None: only return the Recording).
    media : dict {wavelength_nm: Medium}
        The baseline medium at each wavelength (hemoglobin_media makes them from concentrations
        and scattering).
    rho : sequence of float
        Source-detector distances, mm: one source, one detector per distance, every distance
        measured at every wavelength.
    time_s : sequence of float
        The recording's time points, s.
    changes : dict {layer: (dHbO, dHbR)}, optional
        Concentration changes (uM) of a layer (1: the top), each an array over time_s or a
        number; they change the layer's mua at each wavelength through the extinction
        coefficients.
    irf : (t_ps, counts) or counts, optional
        The instrument response on the recording's gates, convolved with the model by the
        library (nlayer.simulate_counts's convolution). Without it the DTOF is the model's
        curve itself.
    counts : float
        The expected counts of each channel's DTOF at baseline; changes scale them as they
        scale the light.
    dt_ps, samples : the gates: width dt_ps, centred at dt_ps, 2 dt_ps, ..., samples/2 dt_ps.
    stim : dict {name: rows of (onset s, duration s, value)}, optional; written as /nirs/stim(j).
    seed : int; the Poisson noise's seed (None: no noise, the expected counts).
    engine : as for time_resolved (default "fast").

    Returns the Recording written: counts (T, C, G) with channels ordered by wavelength, then
    distance.
    """
    wavelengths, items = _media_by_wavelength(media)
    distances = [float(r) for r in np.atleast_1d(rho)]
    t = np.asarray(time_s, dtype=float)
    T, W, R = len(t), len(wavelengths), len(distances)
    per_uM = _mua_per_uM(wavelengths)
    shifts = np.zeros((T, W, max((len(m) for m in items), default=0)))
    engine = _checks.engine(engine)
    for layer, (d_hbo, d_hbr) in (changes or {}).items():
        if not 1 <= layer <= shifts.shape[2]:
            raise ValueError(f"changes name layer {layer}; the media's layers are numbered from 1 (the top) "
                             f"to {shifts.shape[2]}")
        course = np.broadcast_to(np.asarray(d_hbo, dtype=float), (T,))[:, None] * per_uM[None, :, 0] + \
            np.broadcast_to(np.asarray(d_hbr, dtype=float), (T,))[:, None] * per_uM[None, :, 1]
        shifts[:, :, layer - 1] += course
    t_ps = dt_ps * np.arange(1, samples // 2 + 1)
    irf_counts = None if irf is None else _irf_on_gates(irf, t_ps)

    def curves_of(medium):
        if irf_counts is None:
            return _nlayer.time_resolved(medium, distances, float(dt_ps), int(samples), 0, engine)[1]
        return _nlayer.expected_counts(medium, distances, irf_counts, float(dt_ps), 1.0, 0.0, 0.0, 0, engine)

    cache = {}
    expected = np.empty((T, W * R, len(t_ps)))
    for w, medium in enumerate(items):
        for i in range(T):
            changed = medium
            for k in np.flatnonzero(shifts[i, w]):
                changed = changed.replace(int(k) + 1, mua=medium.layers[k].mua + shifts[i, w, k])
            if changed not in cache:
                cache[changed] = curves_of(changed)
            expected[i, w * R:(w + 1) * R] = cache[changed]
    baseline = {}
    for w, medium in enumerate(items):
        if medium not in cache:
            cache[medium] = curves_of(medium)
        baseline[w] = cache[medium].sum(axis=1)
    scale = np.concatenate([counts / baseline[w] for w in range(W)])
    # The transform leaves rounding-sized negative values where the curve is practically 0.
    expected = np.maximum(expected * scale[None, :, None], 0.0)
    if seed is None:
        data = expected
    else:
        data = np.random.default_rng(seed).poisson(expected).astype(float)
    detectors = np.column_stack([distances, np.zeros(R), np.zeros(R)])
    recording = Recording(
        time_s=t, wavelengths=wavelengths, source=np.ones(W * R, dtype=np.int64),
        detector=np.tile(np.arange(1, R + 1), W), wavelength_index=np.repeat(np.arange(W), R),
        rho_mm=np.tile(distances, W), kind="gated", gate_ps=t_ps, gate_width_ps=np.full(len(t_ps), float(dt_ps)),
        counts=data,
        stim=[(name, np.asarray(rows, dtype=float).reshape(-1, 3)) for name, rows in (stim or {}).items()],
        probe={"wavelengths": wavelengths, "sourcePos3D": np.zeros((1, 3)), "detectorPos3D": detectors,
               "sourceLabels": np.array(["S1"], dtype=object),
               "detectorLabels": np.array([f"D{k}" for k in range(1, R + 1)], dtype=object)},
        meta={"SubjectID": "simulated", "LengthUnit": "mm", "TimeUnit": "s"},
        file="" if path is None else os.fspath(path), location="/nirs/data1")
    if path is not None:
        write_recording(path, recording)
    return recording


# --------------------------------------------------------------------------------------------
# Moments


def dtof_moments(t_ps, counts, irf=None):
    """The moments of many DTOFs at once: counts (..., G) on the gates t_ps (G,). Returns
    Moments of arrays (...): total counts, mean time (ps), variance (ps^2), with the IRF's mean
    and variance subtracted when irf = (t_ps, counts) is given (as curve_moments does for one
    curve). A DTOF without counts gives NaN."""
    t = np.asarray(t_ps, dtype=float)
    c = np.asarray(counts, dtype=float)
    # Counts near the largest float overflow to inf and NaN here: the callers refuse those.
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        # About a time near every curve's mean, so that the variance loses no digits.
        reference = float(np.sum(c.reshape(-1, len(t)).sum(axis=0) * t) / max(c.sum(), 1e-300))
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


def baseline_window(recording, baseline=None):
    """(t0, t1) in s: the one given, else the time before the first stimulus's onset, else the
    first 10 % of the recording."""
    t = recording.time_s
    if baseline is not None:
        t0, t1 = (float(x) for x in baseline)
        if not np.any((t >= t0) & (t <= t1)):
            raise ValueError(f"the baseline {t0:g} to {t1:g} s holds no time point of the recording "
                             f"({t[0]:g} to {t[-1]:g} s)")
        return t0, t1
    onsets = recording.stim_onsets()
    if len(onsets) and np.any(t < onsets[0, 0]):
        return float(t[0]), float(t[t < onsets[0, 0]][-1])
    last = max(1, int(np.ceil(0.1 * len(t))))
    return float(t[0]), float(t[last - 1])


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


@dataclass
class Analysis:
    """What an analysis found, on the recording's time axis.

    method        "moments" or "fit"
    changes       True: mua, hbo, hbr, hbt are changes against the baseline (moments);
                  False: absolute values (fit; concentrations assume hemoglobin is the only
                  absorber besides what the model's other layers hold fixed)
    time_s (T,), wavelengths (W,), baseline (t0, t1) s
    names         each result's layer or group of layers ("layer 4", "layers 1-3")
    groups        their layers, 1-based
    mua           (T, groups, W) 1/mm; musp likewise (fit only, else None)
    hbo, hbr, hbt (T, groups) uM (NaN with fewer than two wavelengths); sto2 (T, groups) %,
                  fit only
    d_mean_ps, d_var_ps2   (T, C): each channel's change of mean time and variance against the
                  baseline (gated or moments data)
    crosstalk     (W, groups, layers), moments only: the mua change found in each group when
                  one layer alone changes by 1 (the identity for every layer on its own and no
                  regularisation)
    success       (T, W) bool, fit only: whether each fit can be trusted (nlayer.fit's flags)
    mua_err, hbo_err, hbr_err   one standard error of mua, hbo and hbr at each time point, in
                  their shapes and units: for the moments method from the baseline DTOFs' Poisson
                  noise (the same at every time point; with tikhonov > 0 the noise part only,
                  not the regularisation's bias), for fits from each fit's covariance; NaN for
                  what was not fitted
    recording     the Recording analysed
    """

    method: str
    changes: bool
    time_s: np.ndarray
    wavelengths: np.ndarray
    baseline: tuple
    names: list
    groups: list
    mua: np.ndarray
    hbo: np.ndarray
    hbr: np.ndarray
    d_mean_ps: np.ndarray
    d_var_ps2: np.ndarray
    recording: Recording = field(repr=False)
    musp: np.ndarray = None
    sto2: np.ndarray = None
    crosstalk: np.ndarray = None
    success: np.ndarray = None
    mua_err: np.ndarray = None
    hbo_err: np.ndarray = None
    hbr_err: np.ndarray = None

    @property
    def hbt(self):
        return self.hbo + self.hbr


def _concentrations(mua, mua_err, wavelengths):
    """(HbO, HbR, their standard errors) in uM from mua (..., W) and its standard errors,
    independent across wavelengths, by least squares over the wavelengths."""
    if len(set(np.asarray(wavelengths, dtype=float).tolist())) < 2:
        # One wavelength (or one given twice) leaves two unknowns to one equation.
        return tuple(np.full(mua.shape[:-1], np.nan) for _ in range(4))
    inverse = np.linalg.pinv(_mua_per_uM(wavelengths))     # (2, W)
    values = mua @ inverse.T
    errors = np.sqrt(mua_err**2 @ (inverse**2).T)
    return values[..., 0], values[..., 1], errors[..., 0], errors[..., 1]


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


def _whitening(recording, in_baseline, baseline_moments):
    """(C, 3, 3): for each channel the inverse Cholesky factor of the covariance of -ln N, <t>
    and V of one baseline DTOF under Poisson noise. The total is independent of the curve's
    shape; the mean time and the variance are correlated through the third central moment."""
    total = baseline_moments.total
    if recording.kind == "gated":
        curve = recording.counts[in_baseline].mean(axis=0)             # (C, G)
        t = recording.gate_ps
        weight = curve / curve.sum(axis=1, keepdims=True)
        centred = t[None, :] - (weight @ t)[:, None]
        variance, third, fourth = (np.sum(weight * centred**k, axis=1) for k in (2, 3, 4))
    else:
        # Without the curve, a Gaussian's third and fourth moments.
        variance = recording.moments[in_baseline, :, 2].mean(axis=0)
        third, fourth = np.zeros_like(variance), 3.0 * variance**2
    covariance = np.zeros((len(total), 3, 3))
    covariance[:, 0, 0] = 1.0
    covariance[:, 1, 1] = variance
    covariance[:, 1, 2] = covariance[:, 2, 1] = third
    covariance[:, 2, 2] = np.maximum(fourth - variance**2, 1e-12 * variance**2)
    covariance /= total[:, None, None]
    return np.linalg.inv(np.linalg.cholesky(covariance))


def _one_source(recording, source):
    """The recording reduced to the channels of one source: the methods take one place on the
    head at a time."""
    sources = sorted(set(recording.source.tolist()))
    if source is None:
        if len(sources) > 1:
            raise ValueError(f"the recording has {len(sources)} sources ({', '.join(map(str, sources))}); "
                             "analyse one at a time with source=")
        return recording
    if source not in sources:
        raise ValueError(f"the recording has no source {source}; its sources are {', '.join(map(str, sources))}")
    keep = recording.source == source
    return dataclasses.replace(
        recording, source=recording.source[keep], detector=recording.detector[keep],
        wavelength_index=recording.wavelength_index[keep], rho_mm=recording.rho_mm[keep],
        counts=None if recording.counts is None else recording.counts[:, keep],
        moments=None if recording.moments is None else recording.moments[:, keep])


def _check_moments(recording, moments):
    """Refuses a DTOF without counts, or one whose moments overflow: its -ln N or mean time
    would turn every result of its wavelength into NaN."""
    bad = ~(np.isfinite(moments.total) & np.isfinite(moments.mean_time) & np.isfinite(moments.variance)
            & (moments.total > 0))
    if np.any(bad):
        row, channel = (int(i) for i in np.argwhere(bad)[0])
        what = "has no counts" if moments.total[row, channel] == 0 else "has moments that are not finite numbers"
        where = f"{recording.file or 'the recording'}: {recording.location or 'data'}/dataTimeSeries"
        raise ValueError(f"{where}: the DTOF at {recording.time_s[row]:g} s (row {row + 1}) of source "
                         f"{recording.source[channel]}, detector {recording.detector[channel]}, "
                         f"{recording.wavelengths[recording.wavelength_index[channel]]:g} nm {what}")


def moments_method(recording, media, *, baseline=None, irf=None, groups=None, tikhonov=0.0, engine="exact",
                   source=None):
    """Changes of mua, HbO and HbR in each layer from the changes of the DTOFs' moments.

    For every DTOF the total N, mean time <t> and variance V (the IRF's mean and variance
    subtracted when irf is given) are compared with their means over the baseline period:
    -ln(N / N0), <t> - <t>0 and V - V0 of every channel at a wavelength are, to first order,
    the baseline model's sensitivities (mean partial pathlengths, mean time and variance
    sensitivity factors; nlayer.sensitivity at each channel's distance) times the layers' mua
    changes. The changes are found by least squares weighted by the moments' Poisson noise at
    baseline (their covariance: the mean time and the variance are correlated), optionally
    with Tikhonov regularisation, separately for each wavelength; the changes of HbO and HbR
    follow from the mua changes at all wavelengths through the extinction coefficients.

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
    reference = Moments(*(np.mean(m[in_baseline], axis=0) for m in moments))
    if np.any(~np.isfinite(reference.total)) or np.any(reference.total <= 0):
        raise ValueError("a channel has no counts in the baseline period")
    delta = np.stack([-np.log(moments.total / reference.total), moments.mean_time - reference.mean_time,
                      moments.variance - reference.variance], axis=2)        # (T, C, 3)
    whiten = _whitening(recording, in_baseline, reference)                     # (C, 3, 3)

    T, W = len(recording.time_s), len(wavelengths)
    mua = np.zeros((T, len(members), W))
    mua_err = np.zeros((len(members), W))
    crosstalk = np.zeros((W, len(members), L))
    for w in range(W):
        channels = np.flatnonzero(recording.wavelength_index == w)
        if not len(channels):
            raise ValueError(f"the recording has no channel at {wavelengths[w]:g} nm")
        # The moments' sensitivities come from the spectrum near f = 0, whatever the time grid:
        # the smallest grid spares the gated pathlengths this method does not use.
        s = sensitivity(items[w], [float(r) for r in recording.rho_mm[channels]], samples=16, engine=engine)
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
        # The whitened moments of one DTOF have unit covariance.
        mua_err[:, w] = np.sqrt(np.sum(solve**2, axis=1))
        crosstalk[w] = solve @ matrix
    mua_err = np.broadcast_to(mua_err, mua.shape).copy()
    hbo, hbr, hbo_err, hbr_err = _concentrations(mua, mua_err, wavelengths)
    return Analysis(method="moments", changes=True, time_s=recording.time_s, wavelengths=wavelengths,
                    baseline=(t0, t1), names=[_group_name(g) for g in members], groups=members, mua=mua,
                    hbo=hbo, hbr=hbr, d_mean_ps=delta[:, :, 1], d_var_ps2=delta[:, :, 2], recording=recording,
                    crosstalk=crosstalk, mua_err=mua_err, hbo_err=hbo_err, hbr_err=hbr_err)


# --------------------------------------------------------------------------------------------
# Fits per time point


def _fit_chunk(t_ps, curves, irf_counts, medium, rho, free, options, stop=None):
    """Fits curves (n, G) one after the other, each starting from the previous one's result
    (the first from `medium`). Module-level, so that Dask workers find it by name. Returns a
    list of (mua per layer, musp per layer, success, mua's standard error per layer (NaN where
    not fitted)), or None when stopped."""
    out = []
    start = medium
    for curve in curves:
        if stop is not None and stop.is_set():
            return None
        result = fit((t_ps, curve), irf_counts, start, rho, free=free, **options)
        start = result.medium
        errors = [result.standard_error.get(f"mua{k}", np.nan) for k in range(1, len(start.layers) + 1)]
        out.append(([layer.mua for layer in start.layers], [layer.musp for layer in start.layers],
                    bool(result.success), errors))
    return out


def _run_chunks(function, tasks, store, total, *, client=None, workers=None, progress=None):
    """Runs function(*args) for each (key, args) of tasks through the sweep's scheduler (local
    threads or a Dask client, Ctrl-C, stalled workers), calling store(key, results) as each
    finishes and advancing a tqdm bar by the results' number. The first error stops the rest
    and is raised."""
    bar = _progress_bar(total, progress)

    def stored(key, results):
        store(key, results)
        if bar is not None:
            bar.update(len(results))

    try:
        failure = run_chunks(function, tasks, stored, client=client, workers=workers,
                             describe=lambda key: f"the chunk of time points from {key if isinstance(key, int) else key[1]}")
    finally:
        if bar is not None:
            bar.close()
    if failure is not None:
        raise failure


def fit_method(recording, media, irf, *, free=None, rho=None, baseline=None, client=None, chunk_size=8,
               workers=None, progress=None, engine="fast", source=None, **options):
    """Fits chosen parameters to every DTOF of one channel per wavelength, time point by time point.

    Parameters
    ----------
    recording : Recording with gated data on uniform gates
    media : dict {wavelength_nm: Medium} (or one per wavelength): the start model at each
        wavelength and every value not fitted
    irf : (t_ps, counts) on the recording's gates, or counts on them
    free : parameters as nlayer.fit takes them; default the bottom layer's mua ("mua<L>")
    rho : float, optional: the channel's distance (mm; default the longest of each wavelength)
    baseline : as for moments_method (kept in the result; the values are absolute)
    client : dask.distributed.Client, optional: the chunks run on its cluster instead of local
        threads, with the same results
    chunk_size : time points per task (default 8); each chunk starts from the model, every
        later point from the fit before it, so the results depend on chunk_size but not on
        where the chunks run
    workers : local threads (default every core); progress : a tqdm bar as for sweep
    source : the source whose channels are fitted (1-based); needed when there are several
    engine and further keywords (fit_range, statistic, bounds, ...) go to nlayer.fit.

    Returns an Analysis with changes=False: mua and musp of every layer (those not fitted stay
    the model's), HbO, HbR (absolute, from mua at all wavelengths: hemoglobin taken as the only
    absorber) and StO2 in %; success[t, w] False where nlayer.fit flagged a fit. Ctrl-C stops
    it within a second and raises KeyboardInterrupt.
    """
    if recording.kind != "gated":
        raise ValueError("fit_method needs DTOFs (gated data); this recording holds moments")
    recording = _one_source(recording, source)
    wavelengths, items = _media_by_wavelength(media, recording.wavelengths)
    t_ps = recording.gate_ps
    if len(t_ps) > 1 and np.ptp(np.diff(t_ps)) > 1e-6 * np.mean(np.diff(t_ps)):
        raise ValueError("fit_method needs uniform gates")
    irf_counts = _irf_on_gates(irf, t_ps)
    options = dict(options, engine=engine, threads=1)
    chunk = _checks.positive_count(chunk_size, "chunk_size")
    L = len(items[0])
    if free is None:
        free = [f"mua{L}"]
    T, W = len(recording.time_s), len(wavelengths)
    tasks = []
    for w in range(W):
        channels = np.flatnonzero(recording.wavelength_index == w)
        if not len(channels):
            raise ValueError(f"the recording has no channel at {wavelengths[w]:g} nm")
        distances = recording.rho_mm[channels]
        c = channels[np.argmax(distances)] if rho is None else channels[np.argmin(np.abs(distances - rho))]
        for start in range(0, T, chunk):
            tasks.append(((w, start), (t_ps, recording.counts[start:start + chunk, c], irf_counts, items[w],
                                       float(recording.rho_mm[c]), list(free), options)))
    mua = np.empty((T, L, W))
    mua_err = np.empty((T, L, W))
    musp = np.empty((T, L, W))
    success = np.zeros((T, W), dtype=bool)

    def store(key, results):
        w, start = key
        for i, (a, s, ok, e) in enumerate(results):
            mua[start + i, :, w], musp[start + i, :, w], success[start + i, w] = a, s, ok
            mua_err[start + i, :, w] = e

    _run_chunks(_fit_chunk, tasks, store, T * W, client=client, workers=workers, progress=progress)
    hbo, hbr, hbo_err, hbr_err = _concentrations(mua, mua_err, wavelengths)
    with np.errstate(invalid="ignore", divide="ignore"):
        sto2 = 100.0 * hbo / (hbo + hbr)
    t0, t1 = baseline_window(recording, baseline)
    d = dtof_moments(t_ps, recording.counts, None)
    inside = (recording.time_s >= t0) & (recording.time_s <= t1)
    return Analysis(method="fit", changes=False, time_s=recording.time_s, wavelengths=wavelengths, baseline=(t0, t1),
                    names=[f"layer {k}" for k in range(1, L + 1)], groups=[[k] for k in range(1, L + 1)],
                    mua=mua, musp=musp, hbo=hbo, hbr=hbr, sto2=sto2, success=success, recording=recording,
                    d_mean_ps=d.mean_time - d.mean_time[inside].mean(axis=0),
                    d_var_ps2=d.variance - d.variance[inside].mean(axis=0),
                    mua_err=mua_err, hbo_err=hbo_err, hbr_err=hbr_err)


# --------------------------------------------------------------------------------------------
# Output


def _baseline_series(fit, length):
    """Per layer, (label, unit, wavelength index or 0, value, error) of a baseline fit's values."""
    out = []
    for k in range(len(fit.hbo)):
        rows = [("HbO", "uM", 0, fit.hbo[k], fit.hbo_err[k]), ("HbR", "uM", 0, fit.hbr[k], fit.hbr_err[k]),
                ("HbT", "uM", 0, fit.hbt[k], fit.hbt_err[k]), ("StO2", "%", 0, fit.sto2[k], fit.sto2_err[k])]
        rows += [("musp", "mm-1", w + 1, fit.musp[k, w], fit.musp_err[k, w]) for w in range(len(fit.wavelengths))]
        out.append([(label, unit, w, np.full(length, value), np.full(length, error))
                    for label, unit, w, value, error in rows])
    return out


def write_results(path, analysis, baseline_fit=None):
    """Writes an Analysis as SNIRF processed data (dataType 99999): one data(j) per layer (or
    group of layers), named "layer 4" ("layers 1-3"), with mua (and musp) per wavelength in
    "mm-1", HbO, HbR, HbT in "uM" (and StO2 in "%" from fits), sourceIndex the recording's
    source; SNIRF has no index for "none", so a value that belongs to no single detector or
    wavelength names the first detector of the source's channels and wavelength 1 (its
    dataTypeLabel says what it is);
    then a data block "channels" with dMean ("ps") and dVar ("ps2") of every channel. The time
    axis, probe, metaDataTags and stim are the recording's. With a BaselineFit, a data block
    "baseline layer k" per layer follows with its absolute HbO, HbR, HbT ("uM"), StO2 ("%")
    and musp at each wavelength ("mm-1"), the same value at every time point. Written to a
    temporary file and renamed: nothing half-written is left behind."""
    rec = analysis.recording
    # The methods analyse one source at a time.
    source, detector = int(rec.source[0]), int(np.min(rec.detector))
    blocks = []
    for g, name in enumerate(analysis.names):
        series = []
        for w in range(len(analysis.wavelengths)):
            series.append(("mua", "mm-1", source, detector, w + 1, analysis.mua[:, g, w]))
        if analysis.musp is not None:
            for w in range(len(analysis.wavelengths)):
                series.append(("musp", "mm-1", source, detector, w + 1, analysis.musp[:, g, w]))
        if len(analysis.wavelengths) >= 2:
            series += [("HbO", "uM", source, detector, 1, analysis.hbo[:, g]),
                       ("HbR", "uM", source, detector, 1, analysis.hbr[:, g]),
                       ("HbT", "uM", source, detector, 1, analysis.hbt[:, g])]
            if analysis.sto2 is not None:
                series.append(("StO2", "%", source, detector, 1, analysis.sto2[:, g]))
        blocks.append((name, series))
    channel_series = []
    for c in range(rec.channels):
        where = (int(rec.source[c]), int(rec.detector[c]), int(rec.wavelength_index[c]) + 1)
        channel_series.append(("dMean", "ps", *where, analysis.d_mean_ps[:, c]))
        channel_series.append(("dVar", "ps2", *where, analysis.d_var_ps2[:, c]))
    blocks.append(("channels", channel_series))
    if baseline_fit is not None:
        for k, rows in enumerate(_baseline_series(baseline_fit, len(rec.time_s)), start=1):
            blocks.append((f"baseline layer {k}", [(label, unit, source, detector, max(w, 1), value)
                                                    for label, unit, w, value, _error in rows]))
    _write_blocks(path, rec, blocks)


def write_csv(path, analysis, baseline_fit=None):
    """The time courses as a CSV table: time_s, then for each layer HbO, HbR, HbT (uM), mua at
    each wavelength (1/mm; changes for the moments method, as the column names say with a
    leading d), HbO, HbR and each mua followed by its standard error (..._err_...), written
    through the package's one save (nlayer._output.save). With a BaselineFit, columns
    L<k>_baseline_HbO_uM, ..._HbO_err_uM (and HbR, HbT, StO2 in %, musp<nm> in 1/mm) follow,
    the same value in every row."""
    prefix = "d" if analysis.changes else ""
    header = ["time_s"]
    columns = [analysis.time_s]
    for g, name in enumerate(analysis.names):
        label = name.replace("layers ", "L").replace("layer ", "L").replace(",", "+")
        for quantity, values, errors in (("HbO", analysis.hbo, analysis.hbo_err), ("HbR", analysis.hbr, analysis.hbr_err),
                                         ("HbT", analysis.hbt, None)):
            header.append(f"{label}_{prefix}{quantity}_uM")
            columns.append(values[:, g])
            if errors is not None:
                header.append(f"{label}_{prefix}{quantity}_err_uM")
                columns.append(errors[:, g])
        for w, wavelength in enumerate(analysis.wavelengths):
            header.append(f"{label}_{prefix}mua{wavelength:g}_mm-1")
            columns.append(analysis.mua[:, g, w])
            if analysis.mua_err is not None:
                header.append(f"{label}_{prefix}mua{wavelength:g}_err_mm-1")
                columns.append(analysis.mua_err[:, g, w])
    if baseline_fit is not None:
        for k, rows in enumerate(_baseline_series(baseline_fit, len(analysis.time_s)), start=1):
            for quantity, unit, w, value, error in rows:
                name = quantity if w == 0 else f"{quantity}{baseline_fit.wavelengths[w - 1]:g}"
                header += [f"L{k}_baseline_{name}_{unit}", f"L{k}_baseline_{name}_err_{unit}"]
                columns += [value, error]
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(header)
    for row in np.column_stack(columns):
        writer.writerow([repr(float(x)) for x in row])
    _output.save(path, text.getvalue().encode())


# --------------------------------------------------------------------------------------------
# Joint fits of every channel to a spectral model

@dataclass
class SpectralModel:
    """A layered model whose absorption is hemoglobin (and further chromophores of the user's)
    and whose scattering is a power law.

    medium      n and d of each layer (its mua and musp are placeholders)
    values      name -> value: HbO<k>, HbR<k> (uM), each further chromophore's <name><k>,
                a<k> (mus' at reference_nm, 1/mm), b<k>, d<k>
    free        name -> (lower, upper): the parameters a baseline fit frees (bounds may be None)
    ties        name -> name of the free parameter it follows
    reference_nm
    extra       further chromophores as FitProblem takes them, (name, unit, wavelength_nm,
                values): unit "molar_extinction" (decadic, cm^-1/M; concentration in uM) or
                "absorption" (mua of the pure substance, 1/mm; concentration a volume fraction),
                e.g. water held at its fraction so that hemoglobin is not made to carry its
                absorption
    """

    medium: Medium
    values: dict
    free: dict
    ties: dict
    reference_nm: float = 800.0
    extra: list = field(default_factory=list)

    @property
    def layers(self):
        return len(self.medium)

    @property
    def chromophores(self):
        return ["HbO", "HbR"] + [c[0] for c in self.extra]

    def keys(self):
        """Each layer's spectral parameters, without the layer's number."""
        return self.chromophores + ["a", "b"]

    def _chromophores(self):
        """The chromophores as the binding takes them: hemoglobin's, then the user's."""
        return _hemoglobin() + [(str(name), unit, np.asarray(nm, dtype=float), np.asarray(values, dtype=float),
                                 "given in Python") for name, unit, nm, values in self.extra]

    def absorption(self, wavelengths):
        """(W, chromophores): the mua (1/mm) that one unit of each chromophore adds."""
        nm = np.atleast_1d(np.asarray(wavelengths, dtype=float)).tolist()
        return _nlayer.absorption_per_unit(self._chromophores(), nm)

    def media(self, wavelengths, values=None):
        """The Medium at each wavelength at `values` (default the model's own), as the
        library's spectral fits compute it."""
        v = dict(self.values, **(values or {}))
        layers = [([float(v[f"{c}{k}"]) for c in self.chromophores], float(v[f"a{k}"]), float(v[f"b{k}"]))
                  for k in range(1, self.layers + 1)]
        spectral = {"chromophores": self._chromophores(), "layers": layers, "reference_nm": float(self.reference_nm)}
        nm = np.atleast_1d(np.asarray(wavelengths, dtype=float)).tolist()
        return _nlayer.medium_at(spectral, self.with_values(v).medium, nm)

    def spectral(self, values=None):
        """The FitProblem's spectral= dict at `values` (default the model's own)."""
        v = dict(self.values, **(values or {}))
        return dict(chromophores=["HbO", "HbR"] + [tuple(c) for c in self.extra], reference_nm=self.reference_nm,
                    layers=[{key: float(v[f"{key}{k}"]) for key in self.keys()} for k in range(1, self.layers + 1)])

    def with_values(self, values):
        """The model at other values (its free parameters and ties kept): the thicknesses go
        into the medium."""
        merged = dict(self.values, **values)
        medium = self.medium
        for k in range(1, self.layers):
            if f"d{k}" in merged:
                medium = medium.replace(k, d=float(merged[f"d{k}"]))
        return dataclasses.replace(self, medium=medium, values=merged)


def _dict_parameter(value, name):
    """(value, free bounds or None, tie or None) of a dict model's number or table {start,
    lower, upper} / {tie}, as problem files give them."""
    if isinstance(value, dict):
        unknown = set(value) - {"start", "lower", "upper", "tie"}
        if unknown:
            raise ValueError(f"model: {name} has unknown keys {sorted(unknown)} (known: start, lower, upper, tie)")
        if "tie" in value:
            if not isinstance(value["tie"], str):
                raise ValueError(f"model: {name}'s tie must be a string, not {value['tie']!r}")
            return None, None, value["tie"]
        if "start" not in value:
            raise ValueError(f"model: {name} is free (a table) but has no start value: add start = ...")
        bounds = tuple(None if value.get(k) is None else _checks.real(value[k], f"{name}'s {k}")
                       for k in ("lower", "upper"))
        return _checks.real(value["start"], f"{name}'s start"), bounds, None
    return _checks.real(value, name), None, None


def _file_model(path):
    """values, free, ties, medium, reference and further chromophores of a problem file's
    model, read by the library's reader (nlayer-fit's), which names file and line."""
    where = os.fspath(path)
    setup = _nlayer.read_problem_model(_checks.path(path))
    spectral = setup["spectral"]
    if spectral is None:
        raise ValueError(f"{where}: a recording's model needs a [spectral] section (HbO and HbR per layer)")
    names = [c[0] for c in spectral["chromophores"]]
    if "HbO" not in names or "HbR" not in names:
        raise ValueError(f"{where}: a recording's model takes both shipped chromophores, chromophores = "
                         "[\"HbO\", \"HbR\"] (further ones as [[spectral.chromophore]])")
    medium = setup["medium"]
    values = {}
    for k, (concentrations, a, b) in enumerate(spectral["layers"], start=1):
        values.update({f"{name}{k}": float(c) for name, c in zip(names, concentrations)})
        values.update({f"a{k}": float(a), f"b{k}": float(b)})
        if k < len(medium):
            values[f"d{k}"] = float(medium.layers[k - 1].d)
    free, ties = {}, {}
    for name, lower, upper, start, tie in setup["free"]:
        if tie:
            ties[name] = tie
            continue
        free[name] = (lower, upper)
        if start is not None:
            values[name] = float(start)
    extra = [tuple(c[:4]) for c in spectral["chromophores"] if c[0] not in ("HbO", "HbR")]
    return values, free, ties, medium, spectral["reference_nm"], extra


def spectral_model(model):
    """A SpectralModel from a problem file's path (its [spectral] section and [[layer]]s, read
    by nlayer-fit's reader, which refuses what it does not know with file and line; its [fit]
    and [[curve]]s are not used) or from a dict
    {"medium": Medium (n and d), "reference_nm": 800, "layers": [{"HbO": ..., "HbR": ..., "a": ...,
    "b": ...}, ...]} whose values are numbers (fixed) or tables {"start", "lower", "upper"}
    (free) or {"tie": name}, as in problem files. HbO and HbR always; further chromophores from
    the file's [[spectral.chromophore]] tables or the dict's "chromophores": [(name, unit,
    wavelength_nm, values), ...], each with its concentration in every layer."""
    if isinstance(model, SpectralModel):
        return model
    if isinstance(model, (str, bytes, os.PathLike)):
        values, free, ties, medium, reference, extra = _file_model(model)
        where = os.fspath(model)
    elif isinstance(model, dict):
        where = "model"
        layers = model.get("layers", [])
        medium = model.get("medium")
        _checks.medium(medium)
        if len(medium) != len(layers):
            raise ValueError(f"the model's medium has {len(medium)} layers and its spectral layers {len(layers)}")
        if not layers:
            raise ValueError("model: the model has no layers")
        reference = model.get("reference_nm", 800.0)
        extra = [tuple(c[:4]) for c in chromophore_items(model.get("chromophores", [])) if c[0] not in ("HbO", "HbR")]
        names = [c[0] for c in extra]
        clash = [n for n in names if n in ("HbO", "HbR", "a", "b", "d") or names.count(n) > 1]
        if clash:
            raise ValueError(f"model: chromophore name {clash[0]} is taken; name it otherwise")
        spectral_keys = ["HbO", "HbR"] + names + ["a", "b"]
        values, free, ties = {}, {}, {}
        for k, layer in enumerate(layers, start=1):
            layer = dict(layer, d=medium.layers[k - 1].d)
            missing = [key for key in spectral_keys if key not in layer]
            if missing:
                raise ValueError(f"model: layer {k} has no value of {', '.join(missing)}")
            for key in spectral_keys + (["d"] if k < len(layers) else []):
                value, bounds, tie = _dict_parameter(layer[key], f"{key}{k}")
                if tie is not None:
                    ties[f"{key}{k}"] = tie
                else:
                    values[f"{key}{k}"] = value
                if bounds is not None:
                    free[f"{key}{k}"] = bounds
    else:
        raise TypeError(f"a model is a problem file's path or a dict, not {type(model).__name__}")
    for name, target in ties.items():
        if target not in free:
            raise ValueError(f"{where}: {name} is tied to {target}, which is not free: tie it to a free parameter")
        values[name] = values[target]
    result = SpectralModel(medium, values, free, ties, float(reference), extra)
    return result.with_values({})


def _irf_by_channel(recording, irf):
    """The IRF counts of every channel on the recording's gates, from one IRF ((t_ps, counts) or
    counts) or a dict {wavelength_nm: IRF}."""
    t_ps = recording.gate_ps

    def counts(item):
        return _irf_on_gates(item, t_ps)

    if isinstance(irf, dict):
        wavelengths, items = _media_by_wavelength(irf, recording.wavelengths)
        per_wavelength = [counts(item) for item in items]
        return [per_wavelength[w] for w in recording.wavelength_index]
    one = counts(irf)
    return [one] * recording.channels


def _joint_problem(model, t_ps, curves, irfs, rho, wavelengths, engine, starts=0):
    from ._problem import FitProblem

    problem = FitProblem(model.medium, spectral=model.spectral(), engine=engine, threads=1, starts=starts)
    for c in range(len(curves)):
        problem.add_curve(curves[c], irfs[c], float(rho[c]), t_ps=t_ps, wavelength=float(wavelengths[c]),
                          label=f"{rho[c]:g} mm, {wavelengths[c]:g} nm")
    return problem


@dataclass
class BaselineFit:
    """The absolute values of every layer from one joint fit of all channels' baseline DTOFs.

    wavelengths (W,), baseline (t0, t1) s
    hbo, hbr, hbt (L,) uM, sto2 (L,) %, musp (L, W) 1/mm, each with its standard error in
    hbo_err, ...; model  the SpectralModel at the fitted values (the start of later fits);
    media  {wavelength: Medium} fitted; result  nlayer.fit's FitResult (flags, curves, ...)
    """

    wavelengths: np.ndarray
    baseline: tuple
    hbo: np.ndarray
    hbo_err: np.ndarray
    hbr: np.ndarray
    hbr_err: np.ndarray
    hbt: np.ndarray
    hbt_err: np.ndarray
    sto2: np.ndarray
    sto2_err: np.ndarray
    musp: np.ndarray
    musp_err: np.ndarray
    model: SpectralModel = field(repr=False)
    media: dict = field(repr=False)
    result: object = field(repr=False)

    @property
    def success(self):
        return bool(self.result.success)

    def lines(self):
        """Each layer's values with their errors, as nlayer-analyze prints them."""
        out = [f"baseline fit {self.baseline[0]:g} to {self.baseline[1]:g} s"
               + ("" if self.success else " (flagged: " + "; ".join(f["kind"] for f in self.result.flags) + ")")]
        for k in range(len(self.hbo)):
            musp = ", ".join(f"{self.musp[k, w]:.4g} +- {self.musp_err[k, w]:.2g} at {nm:g} nm"
                             for w, nm in enumerate(self.wavelengths))
            out.append(f"layer {k + 1}: HbO {self.hbo[k]:.3f} +- {self.hbo_err[k]:.3f} uM, "
                       f"HbR {self.hbr[k]:.3f} +- {self.hbr_err[k]:.3f} uM, HbT {self.hbt[k]:.3f} +- "
                       f"{self.hbt_err[k]:.3f} uM, StO2 {self.sto2[k]:.2f} +- {self.sto2_err[k]:.2f} %, "
                       f"mus' {musp} 1/mm")
        return out


def _error(result, name):
    value = result.standard_error.get(name)
    return 0.0 if value is None else float(value)


def _musp_with_error(result, values, k, wavelengths, reference):
    """mus' of layer k at each wavelength and its error through a and b's covariance."""
    a, b = values[f"a{k}"], values[f"b{k}"]
    ratio = np.asarray(wavelengths, dtype=float) / reference
    musp = a * ratio ** (-b)
    gradient = np.stack([ratio ** (-b), -musp * np.log(ratio)], axis=1)     # d/da, d/db
    names = [f"a{k}", f"b{k}"]
    covariance = np.zeros((2, 2))
    index = {name: i for i, name in enumerate(result.names)}
    for i, p in enumerate(names):
        for j, q in enumerate(names):
            if p in index and q in index:
                covariance[i, j] = result.covariance[index[p], index[q]]
    variance = np.einsum("wi,ij,wj->w", gradient, covariance, gradient)
    return musp, np.sqrt(np.maximum(variance, 0.0))


def baseline_fit(recording, model, irf, *, baseline=None, free=None, engine="fast", source=None):
    """The absolute hemoglobin and scattering of every layer from the baseline's DTOFs.

    Each channel's DTOFs are summed over the baseline period and all channels (every distance
    at every wavelength) are fitted at once to the spectral model (nlayer.FitProblem with
    spectral=): mua(lambda) = ln(10) (eps_HbO HbO + eps_HbR HbR) + the model's further
    chromophores' share, mus'(lambda) =
    a (lambda / reference)^-b per layer, each curve with its own amplitude and shift.

    Parameters
    ----------
    recording : Recording with gated data
    model : a problem file's path (its [spectral] section and layers; curves ignored), a dict
        (see spectral_model) or a SpectralModel; its free parameters (tables) are fitted
    irf : (t_ps, counts) on the recording's gates, counts on them, or {wavelength_nm: either}
    baseline : (t0, t1) s, default as for moments_method
    free : names to fit instead of the model's, a list or {name: (lower, upper)}
    engine, source : as for fit_method

    Returns a BaselineFit. Raises ValueError where the model does not fit the recording.
    """
    from ._fit import fit as _fit

    if recording.kind != "gated":
        raise ValueError("a baseline fit needs DTOFs (gated data); this recording holds moments")
    recording = _one_source(recording, source)
    model = spectral_model(model)
    chosen = model.free if free is None else (dict(free) if isinstance(free, dict) else
                                              {name: model.free.get(name, (None, None)) for name in free})
    if not chosen:
        raise ValueError("nothing to fit: the model frees no parameter (give tables or free=)")
    t0, t1 = baseline_window(recording, baseline)
    inside = (recording.time_s >= t0) & (recording.time_s <= t1)
    summed = recording.counts[inside].sum(axis=0)
    wavelengths = recording.wavelengths[recording.wavelength_index]
    problem = _joint_problem(model, recording.gate_ps, summed, _irf_by_channel(recording, irf), recording.rho_mm,
                             wavelengths, _checks.engine(engine))
    for name, (lower, upper) in chosen.items():
        problem.free(name, start=model.values[name], lower=lower, upper=upper)
    for name, target in model.ties.items():
        if target in chosen:
            problem.tie(name, target)
    result = _fit(problem)
    values = dict(model.values, **{k: v for k, v in result.values.items() if k in model.values})
    L, W = model.layers, len(recording.wavelengths)
    out = {key: np.empty(L) for key in ("hbo", "hbo_err", "hbr", "hbr_err", "hbt", "hbt_err", "sto2", "sto2_err")}
    musp, musp_err = np.empty((L, W)), np.empty((L, W))
    for k in range(1, L + 1):
        out["hbo"][k - 1], out["hbo_err"][k - 1] = values[f"HbO{k}"], _error(result, f"HbO{k}")
        out["hbr"][k - 1], out["hbr_err"][k - 1] = values[f"HbR{k}"], _error(result, f"HbR{k}")
        for key, name in (("hbt", "HbT"), ("sto2", "StO2")):
            value, error = result.derived.get(f"{name}{k}", (np.nan, np.nan))
            out[key][k - 1], out[f"{key}_err"][k - 1] = value, error
        musp[k - 1], musp_err[k - 1] = _musp_with_error(result, values, k, recording.wavelengths, model.reference_nm)
    # The library derives StO2 as a fraction; recordings report it in %.
    out["sto2"], out["sto2_err"] = 100.0 * out["sto2"], 100.0 * out["sto2_err"]
    return BaselineFit(wavelengths=np.asarray(recording.wavelengths, dtype=float), baseline=(t0, t1), musp=musp,
                       musp_err=musp_err, model=model.with_values(values), media=dict(result.media), result=result,
                       **out)


def _spectral_chunk(t_ps, counts, irfs, rho, wavelengths, model, free, ties, engine, stop=None):
    """Joint fits of all channels at time points counts (n, C, G) one after the other, each
    starting from the previous one's values (the first from the model's). Module-level, so
    that Dask workers find it by name. Returns a list of (values of the free parameters,
    success, their covariance in the order of `free`), or None when stopped."""
    from ._fit import fit as _fit

    out = []
    values = {name: model.values[name] for name in free}
    for curves in counts:
        if stop is not None and stop.is_set():
            return None
        # The previous time point's minimum is the start: further spread starts would only look
        # for minima far from it, many times the cost.
        problem = _joint_problem(model, t_ps, curves, irfs, rho, wavelengths, engine, starts=1)
        for name, (lower, upper) in free.items():
            problem.free(name, start=values[name], lower=lower, upper=upper)
        for name, target in ties.items():
            problem.tie(name, target)
        result = _fit(problem)
        values = {name: float(result.values[name]) for name in free}
        index = [result.names.index(name) for name in free]
        out.append((values, bool(result.success), np.asarray(result.covariance)[np.ix_(index, index)]))
    return out


def spectral_fit_method(recording, model, irf, *, free=None, start=None, baseline=None, client=None, chunk_size=8,
                        workers=None, progress=None, engine="fast", source=None):
    """Joint fits of every channel (all distances and wavelengths) at each time point to the
    spectral model, of a few parameters, warm-started from the previous time point.

    Parameters
    ----------
    recording : Recording with gated data
    model : the spectral model as baseline_fit takes it
    irf : as for baseline_fit
    free : names fitted at each time point, a list or {name: (lower, upper)}; default the
        bottom layer's HbO<L> and HbR<L> (bounds from the model where it frees them)
    start : a BaselineFit (or SpectralModel) whose values are the start and hold every value
        not fitted; default baseline_fit(recording, model, irf, baseline=...) first
    baseline, client, chunk_size, workers, progress, engine, source : as for fit_method; each
        chunk starts from `start`, so the results depend on chunk_size but not on where the
        chunks run

    Returns an Analysis with changes=False: per layer HbO, HbR (uM), StO2 (%), and the mua and
    musp they give at each wavelength; success[t, w] False at every wavelength of a time point
    whose fit nlayer.fit flagged. Ctrl-C stops it within a fit and raises KeyboardInterrupt.
    """
    if recording.kind != "gated":
        raise ValueError("spectral_fit_method needs DTOFs (gated data); this recording holds moments")
    recording = _one_source(recording, source)
    engine = _checks.engine(engine)
    if start is None:
        start = baseline_fit(recording, model, irf, baseline=baseline, engine=engine)
    fitted = start.model if isinstance(start, BaselineFit) else spectral_model(start)
    L = fitted.layers
    if free is None:
        free = [f"HbO{L}", f"HbR{L}"]
    chosen = dict(free) if isinstance(free, dict) else {name: fitted.free.get(name, (None, None)) for name in free}
    unknown = [name for name in chosen if name not in fitted.values]
    if unknown:
        raise ValueError(f"the model has no parameter {', '.join(unknown)}; its names are "
                         f"{', '.join(sorted(fitted.values))}")
    ties = {name: target for name, target in fitted.ties.items() if target in chosen}
    chunk = _checks.positive_count(chunk_size, "chunk_size")
    irfs = _irf_by_channel(recording, irf)
    wavelengths = recording.wavelengths[recording.wavelength_index]
    T, W = len(recording.time_s), len(recording.wavelengths)
    tasks = [(start_index, (recording.gate_ps, recording.counts[start_index:start_index + chunk], irfs,
                            recording.rho_mm, wavelengths, fitted, chosen, ties, engine))
             for start_index in range(0, T, chunk)]
    series = {name: np.empty(T) for name in chosen}
    covariance = np.empty((T, len(chosen), len(chosen)))
    success = np.zeros((T, W), dtype=bool)

    def store(start_index, results):
        for i, (values, ok, cov) in enumerate(results):
            for name, value in values.items():
                series[name][start_index + i] = value
            success[start_index + i] = ok
            covariance[start_index + i] = cov

    _run_chunks(_spectral_chunk, tasks, store, T, client=client, workers=workers, progress=progress)

    def course(name):
        target = ties.get(name, name)
        return series[target] if target in series else np.full(T, fitted.values[name])

    chromophores = fitted.chromophores
    amounts = np.stack([np.stack([course(f"{c}{k}") for c in chromophores], axis=-1) for k in range(1, L + 1)],
                       axis=1)                                    # (T, L, chromophores)
    hbo, hbr = amounts[..., 0], amounts[..., 1]
    per_unit = fitted.absorption(recording.wavelengths)            # (W, chromophores)
    mua, musp = np.empty((T, L, W)), np.empty((T, L, W))
    courses = {name: course(name) for name in fitted.values}
    for t in range(T):
        at = {name: values[t] for name, values in courses.items()}
        for w, medium in enumerate(fitted.media(recording.wavelengths, at)):
            mua[t, :, w] = [layer.mua for layer in medium.layers]
            musp[t, :, w] = [layer.musp for layer in medium.layers]
    # Errors from each fit's covariance of the layer's chromophores; NaN for what was not fitted.
    order = {name: i for i, name in enumerate(chosen)}
    layer_cov = np.zeros((T, L, len(chromophores), len(chromophores)))
    is_fitted = np.zeros((L, len(chromophores)), dtype=bool)
    for k in range(1, L + 1):
        at = [order.get(ties.get(name, name)) for name in (f"{c}{k}" for c in chromophores)]
        is_fitted[k - 1] = [i is not None for i in at]
        for i, p_at in enumerate(at):
            for j, q_at in enumerate(at):
                if p_at is not None and q_at is not None:
                    layer_cov[:, k - 1, i, j] = covariance[:, p_at, q_at]
    with np.errstate(invalid="ignore"):
        hbo_err = np.sqrt(layer_cov[..., 0, 0])
        hbr_err = np.sqrt(layer_cov[..., 1, 1])
        mua_err = np.sqrt(np.maximum(np.einsum("wi,tlij,wj->tlw", per_unit, layer_cov, per_unit), 0.0))
    hbo_err[:, ~is_fitted[:, 0]] = np.nan
    hbr_err[:, ~is_fitted[:, 1]] = np.nan
    mua_err[:, ~is_fitted.any(axis=1)] = np.nan
    with np.errstate(invalid="ignore", divide="ignore"):
        sto2 = 100.0 * hbo / (hbo + hbr)
    t0, t1 = start.baseline if isinstance(start, BaselineFit) else baseline_window(recording, baseline)
    d = dtof_moments(recording.gate_ps, recording.counts, None)
    inside = (recording.time_s >= t0) & (recording.time_s <= t1)
    return Analysis(method="fit", changes=False, time_s=recording.time_s,
                    wavelengths=np.asarray(recording.wavelengths, dtype=float), baseline=(t0, t1),
                    names=[f"layer {k}" for k in range(1, L + 1)], groups=[[k] for k in range(1, L + 1)],
                    mua=mua, musp=musp, hbo=hbo, hbr=hbr, sto2=sto2, success=success, recording=recording,
                    d_mean_ps=d.mean_time - d.mean_time[inside].mean(axis=0),
                    d_var_ps2=d.variance - d.variance[inside].mean(axis=0),
                    mua_err=mua_err, hbo_err=hbo_err, hbr_err=hbr_err)
