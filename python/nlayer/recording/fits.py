"""Fits per time point, warm-started, on local threads or Dask: by default one joint fit of every
distance at each wavelength with one mua change per layer (or group of layers), else chosen
parameters of one channel per wavelength."""

from __future__ import annotations

from typing import Any, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from .. import _checks
from .. import _types
from .._snirf import Recording
from .._fit import fit
from .._sweep import run_chunks_raising
from .analysis import Analysis, _dtofs, _irf_on_gates, _one_source, baseline_window
from .media import Media, _concentrations, _media_by_wavelength
from .._problem import FitProblem
from .moments import _changes_of_moments, _group_name, _groups


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
        if not np.all(np.isfinite(curve)):
            # A DTOF the device left out (NaN): no fit, flagged, and the next starts as this would.
            nan = [np.nan] * len(start.layers)
            out.append((nan, nan, False, nan))
            continue
        result = fit((t_ps, curve), irf_counts, start, rho, free=free, **options)
        start = result.medium
        errors = [result.standard_error.get(f"mua{k}", np.nan) for k in range(1, len(start.layers) + 1)]
        out.append(([layer.mua for layer in start.layers], [layer.musp for layer in start.layers],
                    bool(result.success), errors))
    return out


def _group_problem(medium, wavelength, members, scales, start, t_ps, curves, irf_counts, rho, engine):
    """The joint problem of one time point's curves at one wavelength (every distance), whose
    free parameters are one mua change per group of layers.

    A tie makes two parameters one value, while a group's layers share a change from values
    that differ: so each layer's mua is a fixed part plus scales[g] * x_g, x_g a concentration
    of a flat absorber of the group's own (1 at the baseline model), tied across the group's
    layers. Scaled so, x_g's error is relative to the group's mua, which is what nlayer.fit's
    flags and unasked profiles measure it against."""
    nm = float(wavelength)
    table = [nm - 1.0, nm + 1.0]
    names = [f"group{chr(ord('A') + g)}" for g in range(len(members))]
    owner = {k: g for g, group in enumerate(members) for k in group}
    chromophores = [("base", "absorption", table, [1.0, 1.0])] + \
        [(name, "absorption", table, [scale, scale]) for name, scale in zip(names, scales)]
    layers = []
    for k, layer in enumerate(medium.layers, start=1):
        g = owner.get(k)
        entry = {"base": float(layer.mua) - (scales[g] if g is not None else 0.0), "a": float(layer.musp), "b": 0.0}
        entry.update({name: (1.0 if h == g else 0.0) for h, name in enumerate(names)})
        layers.append(entry)
    problem = FitProblem(medium, spectral=dict(chromophores=chromophores, reference_nm=nm, layers=layers),
                         engine=engine, threads=1, starts=1)
    for c in range(len(curves)):
        problem.add_curve(curves[c], irf_counts, float(rho[c]), t_ps=t_ps, wavelength=nm, label=f"{rho[c]:g} mm")
    for g, group in enumerate(members):
        # x_g >= 0 (a concentration) keeps the group's least absorbing layer's mua >= 0.
        problem.free(f"{names[g]}{group[0]}", start=start[g], lower=0.0, upper=1.0 + 1.0 / scales[g])
        for k in group[1:]:
            problem.tie(f"{names[g]}{k}", f"{names[g]}{group[0]}")
    return problem, [f"{names[g]}{group[0]}" for g, group in enumerate(members)]


def _joint_chunk(t_ps, curves, irf_counts, medium, wavelength, rho, members, engine, stop=None):
    """Joint fits of the curves (n, distances, G) of one wavelength one after the other, each
    starting from the previous one's result (the first from the model). Module-level, so that
    Dask workers find it by name. Returns a list of (mua change per group, success, its
    standard error per group), or None when stopped."""
    scales = [min(float(medium.layers[k - 1].mua) for k in group) for group in members]
    if min(scales) <= 0:
        raise ValueError("the joint fit's groups need layers whose mua is above 0")
    start = [1.0] * len(members)
    out = []
    for counts in curves:
        if stop is not None and stop.is_set():
            return None
        # A DTOF the device left out (NaN) is left out of this time point's fit; the others count.
        there = np.isfinite(counts).all(axis=1)
        if not there.any():
            out.append(([np.nan] * len(members), False, [np.nan] * len(members)))
            continue
        problem, names = _group_problem(medium, wavelength, members, scales, start, t_ps, counts[there], irf_counts,
                                        [r for r, kept in zip(rho, there) if kept], engine)
        result = fit(problem)
        start = [float(result.values[name]) for name in names]
        out.append(([s * (x - 1.0) for s, x in zip(scales, start)], bool(result.success),
                    [s * float(result.standard_error.get(name, np.nan)) for s, name in zip(scales, names)]))
    return out


def _joint_method(recording, wavelengths, items, irf_counts, groups, baseline, chunk, client, workers, progress,
                  engine):
    """The joint default of fit_method: changes of mua per group against the baseline period."""
    t_ps, dtofs = recording.gate_ps, recording.counts
    layers = {len(m) for m in items}
    if len(layers) != 1:
        raise ValueError(f"the models have different numbers of layers ({sorted(layers)}); they must match")
    members = _groups(groups, layers.pop())
    T, W, G = len(recording.time_s), len(wavelengths), len(members)
    tasks = []
    for w in range(W):
        channels = np.flatnonzero(recording.wavelength_index == w)
        if not len(channels):
            raise ValueError(f"the recording has no channel at {wavelengths[w]:g} nm")
        for start in range(0, T, chunk):
            tasks.append(((w, start), (t_ps, dtofs[start:start + chunk][:, channels], irf_counts, items[w],
                                       float(wavelengths[w]), recording.rho_mm[channels].tolist(), members,
                                       _checks.engine(engine))))
    mua = np.empty((T, G, W))
    mua_err = np.empty((T, G, W))
    success = np.zeros((T, W), dtype=bool)

    def store(key, results):
        w, start = key
        for i, (change, ok, error) in enumerate(results):
            mua[start + i, :, w], success[start + i, w], mua_err[start + i, :, w] = change, ok, error

    _run_chunks(_joint_chunk, tasks, store, T * W, client=client, workers=workers, progress=progress)
    t0, t1 = baseline_window(recording, baseline)
    inside = (recording.time_s >= t0) & (recording.time_s <= t1)
    # Changes against the baseline period, as the moments method gives them: what the model
    # misses of the baseline itself cancels.
    mua -= np.nanmean(mua[inside], axis=0)
    hbo, hbr, hbo_err, hbr_err = _concentrations(mua, mua_err, wavelengths)
    d_mean, d_var = _changes_of_moments(t_ps, dtofs, inside)
    return Analysis(method="fit", changes=True, time_s=recording.time_s, wavelengths=wavelengths, baseline=(t0, t1),
                    names=[_group_name(g) for g in members], groups=members, mua=mua, hbo=hbo, hbr=hbr,
                    success=success, recording=recording, d_mean_ps=d_mean, d_var_ps2=d_var,
                    mua_err=mua_err, hbo_err=hbo_err, hbr_err=hbr_err)


def _run_chunks(function, tasks, store, total, *, client=None, workers=None, progress=None):
    """Runs function(*args) for each (key, args) of tasks through the sweep's scheduler (local
    threads or a Dask client, Ctrl-C, stalled workers), calling store(key, results) as each
    finishes and advancing a tqdm bar by the results' number. The first error stops the rest
    and is raised."""
    run_chunks_raising(function, tasks, store, total, client=client, workers=workers, progress=progress,
                       describe=lambda key: f"the chunk of time points from {key if isinstance(key, int) else key[1]}")


def fit_method(recording: Recording, media: Media, irf: Union[Tuple[npt.ArrayLike, npt.ArrayLike], npt.ArrayLike],
               *, free: Optional[Sequence[str]] = None, rho: Optional[float] = None,
               baseline: Optional[Tuple[float, float]] = None, client: Any = None, chunk_size: int = 8,
               workers: Optional[int] = None, progress: Optional[bool] = None, engine: _types.Engine = "fast",
               source: Optional[int] = None, groups: Optional[Sequence[Sequence[int]]] = None,
               **options: Any) -> Analysis:
    """Fits the layers' absorption to the DTOFs time point by time point, warm-started.

    By default (free not given) each time point's DTOFs at a wavelength, every distance of the
    source, are fitted at once (nlayer.FitProblem, each curve with its own amplitude and shift)
    with one mua change per layer, or per group of layers in `groups` (e.g. [[1], [2, 3], [4]]:
    a group's layers change alike), the rest of the model held. The wavelengths share no
    parameter, so a fit per wavelength is the joint fit of all of them at a fraction of the
    cost. The result holds changes against the baseline period (changes=True), as the moments
    method's; a layer left out of every group is held at the model.

    With `free`, the older way: the named parameters of one channel per wavelength (the longest
    distance, or `rho`), absolute values (changes=False).

    Parameters
    ----------
    recording : Recording with gated data on uniform gates
    media : dict {wavelength_nm: Medium} (or one per wavelength): the start model at each
        wavelength and every value not fitted
    irf : (t_ps, counts) on the recording's gates, or counts on them
    free : parameters as nlayer.fit takes them, fitted to one channel per wavelength; default
        the joint fit above
    rho : float, optional, with free: the channel's distance (mm; default the longest of each
        wavelength)
    groups : sequences of layers (1-based) sharing one change, for the joint fit
    baseline : as for moments_method (kept in the result; the values are absolute)
    client : dask.distributed.Client, optional: the chunks run on its cluster instead of local
        threads, with the same results
    chunk_size : time points per task (default 8); each chunk starts from the model, every
        later point from the fit before it, so the results depend on chunk_size but not on
        where the chunks run
    workers : local threads (default every core); progress : a tqdm bar as for sweep
    source : the source whose channels are fitted (1-based); needed when there are several
    engine and, with free, further keywords (fit_range, statistic, bounds, ...) go to nlayer.fit.

    With free, returns an Analysis with changes=False: mua and musp of every layer (those not fitted stay
    the model's), HbO, HbR (absolute, from mua at all wavelengths: hemoglobin taken as the only
    absorber) and StO2 in %; success[t, w] False where nlayer.fit flagged a fit. Ctrl-C stops
    it within a second and raises KeyboardInterrupt.
    """
    _dtofs(recording, "fit_method")
    recording = _one_source(recording, source)
    t_ps, dtofs = _dtofs(recording, "fit_method")
    wavelengths, items = _media_by_wavelength(media, recording.wavelengths)
    if len(t_ps) > 1 and np.ptp(np.diff(t_ps)) > 1e-6 * np.mean(np.diff(t_ps)):
        raise ValueError("fit_method needs uniform gates")
    irf_counts = _irf_on_gates(irf, t_ps)
    chunk = _checks.positive_count(chunk_size, "chunk_size")
    if free is None:
        if options or rho is not None:
            raise ValueError(f"the joint fit takes none of {', '.join(list(options) + (['rho'] if rho is not None else []))}"
                             "; they go with free=")
        return _joint_method(recording, wavelengths, items, irf_counts, groups, baseline, chunk, client, workers,
                             progress, engine)
    if groups is not None:
        raise ValueError("groups go with the joint fit, not with free=")
    options = dict(options, engine=engine, threads=1)
    L = len(items[0])
    T, W = len(recording.time_s), len(wavelengths)
    tasks = []
    for w in range(W):
        channels = np.flatnonzero(recording.wavelength_index == w)
        if not len(channels):
            raise ValueError(f"the recording has no channel at {wavelengths[w]:g} nm")
        distances = recording.rho_mm[channels]
        c = channels[np.argmax(distances)] if rho is None else channels[np.argmin(np.abs(distances - rho))]
        for start in range(0, T, chunk):
            tasks.append(((w, start), (t_ps, dtofs[start:start + chunk, c], irf_counts, items[w],
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
    d_mean, d_var = _changes_of_moments(t_ps, dtofs, (recording.time_s >= t0) & (recording.time_s <= t1))
    return Analysis(method="fit", changes=False, time_s=recording.time_s, wavelengths=wavelengths, baseline=(t0, t1),
                    names=[f"layer {k}" for k in range(1, L + 1)], groups=[[k] for k in range(1, L + 1)],
                    mua=mua, musp=musp, hbo=hbo, hbr=hbr, sto2=sto2, success=success, recording=recording,
                    d_mean_ps=d_mean, d_var_ps2=d_var,
                    mua_err=mua_err, hbo_err=hbo_err, hbr_err=hbr_err)
