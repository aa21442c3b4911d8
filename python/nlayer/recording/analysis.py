"""What the methods share: the result of an analysis, the recording's baseline period, the
channels of one source and the IRF on the gates."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field

from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from .._snirf import Recording
from .._nlayer import Layer, Medium
from .media import Media, _media_by_wavelength


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
                  their shapes and units: for the moments method the error of the change, the
                  time point's noise and the baseline mean's together (with tikhonov > 0 the
                  noise part only, not the regularisation's bias); for fits from each fit's
                  covariance; NaN for what was not fitted
    noise         moments: where the noise was taken from: "baseline" (the baseline period's
                  scatter), "baseline, Poisson floor" (that, at least the counts' Poisson
                  noise) or "Poisson" (too short a baseline: the counts' Poisson noise alone)
    noise_sd, noise_lag1   moments: {"mua": (groups, W), "hbo": (groups,), "hbr": (groups,)}:
                  one time point's noise (standard deviation) and the correlation of
                  neighbouring time points' noise (recording.blocks)
    recording     the Recording analysed
    """

    method: str
    changes: bool
    time_s: np.ndarray
    wavelengths: np.ndarray
    baseline: Tuple[float, float]
    names: List[str]
    groups: List[List[int]]
    mua: np.ndarray
    hbo: np.ndarray
    hbr: np.ndarray
    d_mean_ps: np.ndarray
    d_var_ps2: np.ndarray
    recording: Recording = field(repr=False)
    musp: Optional[np.ndarray] = None
    sto2: Optional[np.ndarray] = None
    crosstalk: Optional[np.ndarray] = None
    success: Optional[np.ndarray] = None
    mua_err: Optional[np.ndarray] = None
    hbo_err: Optional[np.ndarray] = None
    hbr_err: Optional[np.ndarray] = None
    noise: Optional[str] = None
    noise_sd: Optional[Dict[str, np.ndarray]] = None
    noise_lag1: Optional[Dict[str, np.ndarray]] = None
    # per_channel_method: the one detector whose channels were analysed with their own
    # homogeneous model; None for an analysis of a whole source.
    detector: Optional[int] = None

    @property
    def hbt(self) -> np.ndarray:
        return self.hbo + self.hbr

    @property
    def source(self) -> int:
        """The source (1-based) whose channels were analysed."""
        return int(self.recording.source[0])


def baseline_window(recording: Recording,
                    baseline: Optional[Tuple[float, float]] = None) -> Tuple[float, float]:
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


def _one_source(recording, source):
    """The recording reduced to the channels of one source: the methods take one place on the
    head at a time."""
    sources = sorted(set(recording.source.tolist()))
    if source is None:
        if len(sources) > 1:
            raise ValueError(f"the recording has {len(sources)} sources ({', '.join(map(str, sources))}); "
                             "choose one with source=, or analyse each with analyse_sources")
    elif source not in sources:
        raise ValueError(f"the recording has no source {source}; its sources are {', '.join(map(str, sources))}")
    keep = recording.source == (sources[0] if source is None else source)
    # A channel with no value at any time point (simulate_recording's dead=, a Recording made in
    # memory) goes as read_snirf leaves it out.
    values = recording.counts if recording.kind == "gated" else recording.moments
    if values is not None:
        keep &= ~np.isnan(values).any(axis=2).all(axis=0)
    if np.all(keep):
        return recording
    return dataclasses.replace(
        recording, source=recording.source[keep], detector=recording.detector[keep],
        wavelength_index=recording.wavelength_index[keep], rho_mm=recording.rho_mm[keep],
        counts=None if recording.counts is None else recording.counts[:, keep],
        moments=None if recording.moments is None else recording.moments[:, keep])


def analyse_sources(recording: Recording, media: Media, method: str = "moments", *,
                    sources: Optional[Sequence[int]] = None, **options: Any) -> List[Analysis]:
    """Analyses each source's channels on their own (a source and its detectors are one place
    on the head): moments_method or fit_method, by `method`, with `options` as they take them
    (fit_method's irf too). sources: those to analyse (1-based; default every source of the
    recording). Returns one Analysis per source, in the order of `sources` (ascending by
    default); each one's .source names it."""
    from .fits import fit_method
    from .moments import moments_method

    methods = {"moments": moments_method, "fit": fit_method}
    if method not in methods:
        raise ValueError(f"method is {method!r}; it is 'moments' or 'fit'")
    if "source" in options:
        raise TypeError("analyse_sources takes sources=, a list; source= is the methods' own")
    present = sorted(set(recording.source.tolist()))
    chosen = present if sources is None else [int(k) for k in np.atleast_1d(sources)]
    if not chosen:
        raise ValueError("sources is empty")
    missing = [k for k in chosen if k not in present]
    if missing:
        raise ValueError(f"the recording has no source {', '.join(map(str, missing))}; its sources are "
                         f"{', '.join(map(str, present))}")
    return [methods[method](recording, media, source=k, **options) for k in chosen]


# Deep enough to act as a half-space over a DTOF's few nanoseconds.
_HALF_SPACE_MM = 100.0


def per_channel_method(recording: Recording, media: Media, *, sources: Optional[Sequence[int]] = None,
                       **options: Any) -> List[Analysis]:
    """Each source-detector pair (all its wavelengths) analysed on its own with a homogeneous
    model, as devices' software and MNE's pipeline do, for comparison with the layered
    analyses: the model's top layer at each wavelength taken as a half-space, its mua change
    by the moments method of one layer (moments_method's options: baseline, irf, engine).
    Returns one Analysis per pair, source by source and detector by detector, with one
    "homogeneous" result and .detector set."""
    from .moments import moments_method

    wavelengths, items = _media_by_wavelength(media, recording.wavelengths)
    top = {float(w): Medium([Layer(musp=m.layers[0].musp, mua=m.layers[0].mua, n=m.layers[0].n, d=_HALF_SPACE_MM)])
           for w, m in zip(wavelengths, items)}
    out = []
    present = sorted(set(recording.source.tolist()))
    for source in present if sources is None else [int(k) for k in np.atleast_1d(sources)]:
        if source not in present:
            raise ValueError(f"the recording has no source {source}; its sources are {', '.join(map(str, present))}")
        for detector in sorted(set(recording.detector[recording.source == source].tolist())):
            keep = (recording.source == source) & (recording.detector == detector)
            pair = dataclasses.replace(
                recording, source=recording.source[keep], detector=recording.detector[keep],
                wavelength_index=recording.wavelength_index[keep], rho_mm=recording.rho_mm[keep],
                counts=None if recording.counts is None else recording.counts[:, keep],
                moments=None if recording.moments is None else recording.moments[:, keep])
            if len(set(pair.wavelength_index.tolist())) < len(wavelengths):
                # A pair that lost a wavelength (left out as dead) is left to the others.
                continue
            result = moments_method(pair, top, **options)
            result.names = ["homogeneous"]
            result.detector = int(detector)
            out.append(result)
    if not out:
        raise ValueError("no source-detector pair has channels at every wavelength")
    return out


def _dtofs(recording: Recording, what: str) -> Tuple[np.ndarray, np.ndarray]:
    """The gates and the DTOFs of a gated recording, which `what` needs."""
    if recording.kind != "gated" or recording.gate_ps is None or recording.counts is None:
        raise ValueError(f"{what} needs DTOFs (gated data); this recording holds moments")
    return recording.gate_ps, recording.counts


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


def _align_irf(irf, t_ps):
    """(counts on the gates t_ps, what was done to them or None). An IRF given as (t_ps,
    counts) on evenly spaced bins of the gates' width may sit at any offset: each bin goes to
    the nearest gate (the curve moved by less than half a bin) and gates it does not reach get
    0. A refusal names what does not match: the bins' width, their spacing, or the number of
    counts given without times."""
    t_ps = np.asarray(t_ps, dtype=float)
    if not isinstance(irf, tuple):
        values = np.asarray(irf, dtype=float)
        if values.shape != np.shape(t_ps):
            raise ValueError(f"the IRF has {values.size} counts; the recording has {len(t_ps)} gates "
                             "(give its times too, and it is placed on the gates)")
        return values, None
    times = np.asarray(irf[0], dtype=float)
    values = np.asarray(irf[1], dtype=float)
    if times.shape != values.shape or times.ndim != 1:
        raise ValueError(f"the IRF has {times.size} times for {values.size} counts")
    if len(times) == len(t_ps) and np.allclose(times, t_ps, rtol=0, atol=1e-6 * _width(t_ps)):
        return values, None
    width = _width(t_ps)
    if len(t_ps) > 1 and np.ptp(np.diff(t_ps)) > 1e-6 * width:
        raise ValueError("the IRF must lie on the recording's gates: they are not evenly spaced, so it "
                         "cannot be moved onto them")
    if len(times) < 2:
        raise ValueError(f"the IRF has {len(times)} bin; at least two are needed to place it on the gates")
    steps = np.diff(times)
    if np.ptp(steps) > 1e-6 * width:
        raise ValueError(f"the IRF's times are not evenly spaced (steps of {steps.min():g} to {steps.max():g} ps); "
                         f"it needs bins of the gates' width, {width:g} ps")
    if abs(steps.mean() - width) > 1e-6 * width:
        raise ValueError(f"the IRF's bins are {steps.mean():g} ps wide; the gates are {width:g} ps wide: "
                         "it needs bins of the gates' width")
    first = int(np.round((times[0] - t_ps[0]) / width))
    moved = t_ps[0] + first * width - times[0]
    out = np.zeros(len(t_ps))
    index = first + np.arange(len(times))
    inside = (index >= 0) & (index < len(t_ps))
    out[index[inside]] = values[inside]
    lost = float(values[~inside].sum())
    total = float(values.sum())
    notes = []
    if abs(moved) > 1e-6 * width:
        notes.append(f"the IRF was moved by {moved:+.4g} ps onto the gates")
    if lost > 0 and total > 0:
        notes.append(f"{100 * lost / total:.3g} % of its counts fall outside the gates and are left out")
    return out, "; ".join(notes) or None


def _width(t_ps):
    return float(np.mean(np.diff(t_ps))) if len(t_ps) > 1 else 1.0
