"""What the methods share: the result of an analysis, the recording's baseline period, the
channels of one source and the IRF on the gates."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field

from typing import Dict, List, Optional, Tuple

import numpy as np

from .._snirf import Recording


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

    @property
    def hbt(self) -> np.ndarray:
        return self.hbo + self.hbr


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
