"""Simulated recordings: a layered medium whose hemoglobin changes in time, as gated DTOFs."""

from __future__ import annotations

import collections
import dataclasses
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
from .moments import dtof_moments


def simulate_recording(path: Optional[_types.Path], media: Media, rho: Union[float, Sequence[float]],
                       time_s: npt.ArrayLike, *,
                       changes: Optional[Mapping[int, Tuple[npt.ArrayLike, npt.ArrayLike]]] = None,
                       irf: Optional[Union[Tuple[npt.ArrayLike, npt.ArrayLike], npt.ArrayLike]] = None,
                       counts: float = 1e6, dt_ps: float = 10.0, samples: int = 1024,
                       stim: Optional[Mapping[str, npt.ArrayLike]] = None, seed: Optional[int] = 0,
                       engine: _types.Engine = "fast",
                       scale: float = 1.0,
                       physiology: Optional[Union[float, Mapping[int, float]]] = None,
                       physiology_seed: Optional[int] = 1,
                       output: str = "gated",
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
    scale : float
        The written values are the counts (noise included) times scale, as a device's
        intensities in its own units: they are then not photon counts.
    physiology : float or dict {layer: amplitude uM}, optional
        Physiological noise: a slow course (respiration near 0.25 Hz, Mayer waves near 0.1 Hz
        and a 1/f-like random process, each a third of the variance; _physiology) whose
        standard deviation is the amplitude in uM of HbO, with HbR following at a quarter of
        it, added to the changes of each layer named (a number: the top layer alone). The
        same course in every layer named, as systemic changes are.
    physiology_seed : int; the physiological course's seed.
    output : "gated" (dataType 201, the DTOFs) or "moments" (dataType 301: each DTOF's total,
        mean time and variance, as a device exports them; the IRF is not subtracted).
    sources : int
        Places on the head: each source has its own detectors at the distances rho (source k's
        are numbered (k - 1) R + 1 to k R), the sources 50 mm apart; every place sees the same
        medium and changes, with noise of its own.
    dead : sequence of (source, detector, wavelength_nm)
        Channels written as NaN at every time point, as devices mark dead or saturated ones.

    Returns the Recording written: counts (T, C, G) (or moments (T, C, 3)) with channels
    ordered by source, then wavelength, then distance.
    """
    wavelengths, items = _media_by_wavelength(media)
    distances = [float(r) for r in np.atleast_1d(rho)]
    t = np.asarray(time_s, dtype=float)
    T, W, R = len(t), len(wavelengths), len(distances)
    per_uM = _mua_per_uM(wavelengths)
    shifts = np.zeros((T, W, max((len(m) for m in items), default=0)))
    engine = _checks.engine(engine)
    if output not in ("gated", "moments"):
        raise ValueError(f"output is {output!r}; it must be 'gated' or 'moments'")
    scale_factor = _checks.real(scale, "scale")
    if not 0 < scale_factor < np.inf:
        raise ValueError(f"scale is {scale_factor}; it must be a finite number > 0")
    systemic = None
    physiological = np.zeros((W, shifts.shape[2]))            # the mua change per unit of the course
    if physiology is not None:
        systemic = _physiology(t, physiology_seed)
        for layer, amplitude in (physiology if isinstance(physiology, Mapping) else {1: physiology}).items():
            if not 1 <= layer <= shifts.shape[2]:
                raise ValueError(f"physiology names layer {layer}; the media's layers are numbered from 1 (the top) "
                                 f"to {shifts.shape[2]}")
            physiological[:, layer - 1] += float(amplitude) * (per_uM[:, 0] + 0.25 * per_uM[:, 1])
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
        if systemic is None:
            for i in range(T):
                changed = _changed(medium, shifts[i, w])
                if changed not in cache:
                    cache[changed] = curves_of(changed)
                expected[i, w * R:(w + 1) * R] = cache[changed]
            continue
        # Every time point is a medium of its own under physiology: the DTOFs come from a few
        # media along the course's direction instead (_along_course).
        states, which = np.unique(shifts[:, w], axis=0, return_inverse=True)
        for k, state in enumerate(states):
            rows = np.flatnonzero(which.ravel() == k)
            key = (_changed(medium, state), tuple(physiological[w]), tuple(distances), float(dt_ps), int(samples),
                   engine, None if irf_counts is None else irf_counts.tobytes())
            expected[rows, w * R:(w + 1) * R] = _along_course(
                key, lambda c: curves_of(_changed(medium, state + c * physiological[w])), systemic[rows])
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
    data = data * scale_factor
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
    if output == "moments":
        m = dtof_moments(t_ps, data)
        recording = dataclasses.replace(recording, kind="moments", gate_ps=None, gate_width_ps=None, counts=None,
                                        moments=np.stack([m.total, m.mean_time, m.variance], axis=2))
    if path is not None:
        write_recording(path, recording)
    return recording


def _changed(medium, shift):
    """medium with each layer's mua raised by shift (L,)."""
    changed = medium
    for k in np.flatnonzero(shift):
        changed = changed.replace(int(k) + 1, mua=medium.layers[k].mua + shift[k])
    return changed


# Curves at the nodes of a physiological course, kept across calls: recordings that differ only
# in their noise (a test's twenty seeds) share them.
_NODE_CURVES: "collections.OrderedDict" = collections.OrderedDict()
_NODES = 16


def _along_course(key, curves_at, values):
    """The curves (n, R, G) at the course's values (n,), interpolated between the curves at
    16 Chebyshev nodes on [-reach, reach] (reach: 6 course units, or the largest |value|). The
    DTOF is smooth in mua, each gate close to an exponential of it; for amplitudes up to a few
    uM the interpolation's relative error stays below 1e-6, far below any noise (a test holds
    it to direct evaluation)."""
    reach = max(6.0, float(np.max(np.abs(values))))
    key = key + (reach,)
    if key not in _NODE_CURVES:
        nodes = reach * np.cos(np.pi * (np.arange(_NODES) + 0.5) / _NODES)
        curves = np.stack([curves_at(c) for c in nodes])
        _NODE_CURVES[key] = np.polynomial.chebyshev.chebfit(nodes / reach, curves.reshape(_NODES, -1),
                                                            _NODES - 1), curves.shape[1:]
        while len(_NODE_CURVES) > 64:
            _NODE_CURVES.popitem(last=False)
    coefficients, shape = _NODE_CURVES[key]
    return np.polynomial.chebyshev.chebval(np.asarray(values) / reach, coefficients).T.reshape((len(values),) + shape)


def _physiology(time_s, seed):
    """A course of unit standard deviation on time_s: respiration (0.2-0.3 Hz), Mayer waves
    (0.08-0.12 Hz) and a random process whose power falls as 1/f from 0.01 Hz to the
    sampling's limit, each a third of the variance. Real systemic noise is of this kind:
    correlated over seconds, so that neighbouring time points share it."""
    rng = np.random.default_rng(seed)
    t = np.asarray(time_s, dtype=float)
    if len(t) < 2:
        return np.zeros(len(t))
    waves = [np.sqrt(2.0) * np.sin(2 * np.pi * f * t + rng.uniform(0, 2 * np.pi))
             for f in (rng.uniform(0.2, 0.3), rng.uniform(0.08, 0.12))]
    # The 1/f part on a regular grid as fine as the finest step, longer than the recording,
    # then read at the time points.
    step = max(float(np.min(np.diff(t))), 1e-3)
    n = int(2 ** np.ceil(np.log2(2 * (t[-1] - t[0]) / step + 2)))
    f = np.fft.rfftfreq(n, step)
    amplitude = np.where(f >= 0.01, 1.0 / np.sqrt(np.maximum(f, 1e-12)), 0.0)
    spectrum = amplitude * (rng.standard_normal(len(f)) + 1j * rng.standard_normal(len(f)))
    grid = np.fft.irfft(spectrum, n)
    slow = np.interp(t - t[0], step * np.arange(n), grid)
    slow = (slow - slow.mean()) / max(slow.std(), 1e-300)
    return (waves[0] + waves[1] + slow) / np.sqrt(3.0)
