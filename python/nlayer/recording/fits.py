"""Fits per time point of one channel per wavelength, warm-started, on local threads or Dask."""

from __future__ import annotations

from typing import Any, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from .. import _checks
from .. import _types
from .._snirf import Recording
from .._fit import fit
from .._sweep import _progress_bar, run_chunks
from .analysis import Analysis, _dtofs, _irf_on_gates, _one_source, baseline_window
from .media import Media, _concentrations, _media_by_wavelength
from .moments import _changes_of_moments


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


def fit_method(recording: Recording, media: Media, irf: Union[Tuple[npt.ArrayLike, npt.ArrayLike], npt.ArrayLike],
               *, free: Optional[Sequence[str]] = None, rho: Optional[float] = None,
               baseline: Optional[Tuple[float, float]] = None, client: Any = None, chunk_size: int = 8,
               workers: Optional[int] = None, progress: Optional[bool] = None, engine: _types.Engine = "fast",
               source: Optional[int] = None, **options: Any) -> Analysis:
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
    _dtofs(recording, "fit_method")
    recording = _one_source(recording, source)
    t_ps, dtofs = _dtofs(recording, "fit_method")
    wavelengths, items = _media_by_wavelength(media, recording.wavelengths)
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
