"""Simulated recordings: a layered medium whose hemoglobin changes in time, as gated DTOFs."""

from __future__ import annotations

import os
from typing import Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from .. import _checks
from .. import _nlayer
from .. import _types
from .._snirf import Recording, write_recording
from .analysis import _irf_on_gates
from .media import Media, _media_by_wavelength, _mua_per_uM


def simulate_recording(path: Optional[_types.Path], media: Media, rho: Union[float, Sequence[float]],
                       time_s: npt.ArrayLike, *,
                       changes: Optional[Mapping[int, Tuple[npt.ArrayLike, npt.ArrayLike]]] = None,
                       irf: Optional[Union[Tuple[npt.ArrayLike, npt.ArrayLike], npt.ArrayLike]] = None,
                       counts: float = 1e6, dt_ps: float = 10.0, samples: int = 1024,
                       stim: Optional[Mapping[str, npt.ArrayLike]] = None, seed: Optional[int] = 0,
                       engine: _types.Engine = "fast",
                       sources: int = 1,
                       dead: Sequence[Tuple[int, int, float]] = ()) -> Recording:
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
    sources : int
        Places on the head: each source has its own detectors at the distances rho (source k's
        are numbered (k - 1) R + 1 to k R), the sources 50 mm apart; every place sees the same
        medium and changes, with noise of its own.
    dead : sequence of (source, detector, wavelength_nm)
        Channels written as NaN at every time point, as devices mark dead or saturated ones.

    Returns the Recording written: counts (T, C, G) with channels ordered by source, then
    wavelength, then distance.
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
    S = _checks.positive_count(sources, "sources")
    expected = np.tile(expected, (1, S, 1))
    if seed is None:
        data = expected
    else:
        data = np.random.default_rng(seed).poisson(expected).astype(float)
    across = 50.0 * np.arange(S)
    detectors = np.column_stack([np.tile(distances, S), np.repeat(across, R), np.zeros(S * R)])
    source = np.repeat(np.arange(1, S + 1), W * R)
    detector = (np.tile(np.tile(np.arange(1, R + 1), W), S) + R * (source - 1))
    wavelength_index = np.tile(np.repeat(np.arange(W), R), S)
    for s_k, d_k, nm in dead:
        hit = (source == s_k) & (detector == d_k) & (wavelengths[wavelength_index] == float(nm))
        if not np.any(hit):
            raise ValueError(f"dead names source {s_k}, detector {d_k} at {nm:g} nm, which the recording lacks")
        data[:, hit] = np.nan
    recording = Recording(
        time_s=t, wavelengths=wavelengths, source=source, detector=detector, wavelength_index=wavelength_index,
        rho_mm=np.tile(distances, W * S), kind="gated", gate_ps=t_ps, gate_width_ps=np.full(len(t_ps), float(dt_ps)),
        counts=data,
        stim=[(name, np.asarray(rows, dtype=float).reshape(-1, 3)) for name, rows in (stim or {}).items()],
        probe={"wavelengths": wavelengths, "sourcePos3D": np.column_stack([np.zeros(S), across, np.zeros(S)]),
               "detectorPos3D": detectors,
               "sourceLabels": np.array([f"S{k}" for k in range(1, S + 1)], dtype=object),
               "detectorLabels": np.array([f"D{k}" for k in range(1, S * R + 1)], dtype=object)},
        meta={"SubjectID": "simulated", "LengthUnit": "mm", "TimeUnit": "s"},
        file="" if path is None else os.fsdecode(path), location="/nirs/data1")
    if path is not None:
        write_recording(path, recording)
    return recording
