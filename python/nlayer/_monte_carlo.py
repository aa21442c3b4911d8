"""The Monte Carlo reference: photon transport in the same media, units and time grid as the
diffusion model, to check it where it is weakest; and white runs re-weighted for any absorption."""

from typing import Any, NamedTuple as _NamedTuple, Optional, Sequence, Union

import numpy as _np

from . import _nlayer
from . import _sweep
from . import _types


class PathRecord(_NamedTuple):
    """The photons a white run detected, one entry per photon and distance.

    rho_index, time_bin : the distance (index into rho) and the time bin (index into t_ps)
    batch : the photon's batch, for the standard errors of re-weighted curves
    time_ps, weight : the exact time of flight and the weight that left the surface
    path_mm : shape (photons, layers), the path travelled in each layer
    """

    rho_index: _np.ndarray
    time_bin: _np.ndarray
    batch: _np.ndarray
    time_ps: _np.ndarray
    weight: _np.ndarray
    path_mm: _np.ndarray


class MonteCarloResult(_NamedTuple):
    """Curves of a Monte Carlo run, as time_resolved() gives them, with their standard errors.

    R and R_error have the shape time_resolved() gives for the same rho. total_reflectance and
    total_transmittance (each a (value, standard error) pair) are the weights per photon that left
    through the surface and, below a finite stack, through its bottom within the grid's time;
    unfinished what was still inside. paths is the PathRecord of a white run, otherwise None.
    """

    t_ps: _np.ndarray
    R: _np.ndarray
    R_error: _np.ndarray
    rho_mm: tuple
    width_mm: float
    photons: int
    batches: int
    total_reflectance: tuple
    total_transmittance: tuple
    unfinished: float
    paths: object


def _distances(rho):
    single = _np.ndim(rho) == 0
    return single, [float(r) for r in ([rho] if single else rho)]


def monte_carlo(medium: _nlayer.Medium, rho: _types.Distances, *, photons: int,
                g: Union[float, Sequence[float]] = 0.9, width_mm: float = 1.0, seed: int = 1, dt_ps: float = 10.0,
                samples: int = 1024, batches: int = 20, white: bool = False, threads: int = 0,
                client: Any = None, progress: Optional[bool] = None) -> "MonteCarloResult":
    """The time-resolved reflectance of a medium by Monte Carlo simulation, mm^-2 ps^-1.

    Photon packets enter at the origin along the normal, scatter by the Henyey-Greenstein phase
    function (mus = musp / (1 - g)), are refracted and reflected by Fresnel's equations at every
    boundary (outside index 1, as the diffusion model takes it) and scored in annuli
    rho +- width_mm / 2 on the time grid of time_resolved(dt_ps, samples).

    Parameters
    ----------
    photons : int
        Photons launched, rounded up to a multiple of batches.
    g : float or sequence of float
        Anisotropy of every layer, or one per layer from the top (default 0.9).
    seed : int
        The same seed gives the same curves, bit for bit, on any number of threads.
    batches : int
        Independent batches, from which the standard errors come (default 20).
    white : bool
        Simulate without absorption and keep each detected photon's path in every layer:
        monte_carlo_reweight(result, mua) then gives the curves for any absorption.
    threads : int
        Worker threads, 0 for all cores (with a client: unused, each task runs one thread).
        Ctrl-C stops the run within a second, the batches under way included.
    client : dask.distributed.Client, optional
        Runs the batches as tasks on its cluster, as sweep() runs its chunks (the workers must
        be able to import nlayer). The curves are those of the local run with the same seed,
        bit for bit. Ctrl-C cancels the batches not yet finished.
    progress : bool, optional
        A tqdm progress bar of the batches on standard error: by default shown on a terminal
        for a run on a cluster once it has taken a second; progress=True also shows it for a
        local run (whose batches then go one per core, as a cluster's).

    Returns
    -------
    MonteCarloResult
    """
    single, distances = _distances(rho)
    g_values = [float(g)] if _np.ndim(g) == 0 else [float(x) for x in g]
    run = (medium, distances, float(dt_ps), int(samples), int(photons), int(batches), g_values, float(width_mm),
           int(seed), bool(white))
    if client is None and not progress:
        packed = _nlayer.monte_carlo(*run, int(threads))
    else:
        packed = _distributed(run, client, int(threads), progress)
    (t_ps, R, R_error), launched, used_batches, reflected, transmitted, unfinished, paths = packed
    if single:
        R, R_error = R[0], R_error[0]
    return MonteCarloResult(t_ps, R, R_error, tuple(distances), float(width_mm), launched, used_batches, reflected,
                            transmitted, unfinished, PathRecord(*paths) if paths is not None else None)


def _run_batches(run, first, count, stop=None):
    """Batches first ... first + count - 1 of a run, as plain arrays. Module-level, so that
    Dask workers find it by name; `stop` is the local pool's Event."""
    if stop is not None and stop.is_set():
        return None
    return _nlayer.monte_carlo_batches(*run, 1, first, count, stop)


def _distributed(run, client, threads, progress):
    """The run's batches one per task on a Dask client or the local cores, as sweep() runs its
    chunks, combined in batch order."""
    batches = run[5]
    parts = []
    tasks = ((first, (run, first, 1)) for first in range(batches))
    _sweep.run_chunks_raising(_run_batches, tasks, lambda key, part: parts.append(part), batches,
                              count=lambda part: part[1], client=client, workers=threads or None, progress=progress,
                              unit="batch", describe=lambda first: f"Monte Carlo batch {first}")
    return _nlayer.monte_carlo_combine(*run, parts)


class Reweighted(_NamedTuple):
    """Curves of a white run for one set of absorption coefficients.

    mean_partial_path_mm has one row per distance, one value per layer: the mean path in each
    layer of the photons detected over the whole grid (the exact mean partial pathlengths).
    """

    t_ps: _np.ndarray
    R: _np.ndarray
    R_error: _np.ndarray
    mean_partial_path_mm: _np.ndarray


def monte_carlo_reweight(result: MonteCarloResult, mua: Union[float, Sequence[float]]) -> "Reweighted":
    """The curves of a white monte_carlo() run for absorption mua (one value per layer, 1/mm):
    each detected photon's weight times exp(-sum of mua times its path in each layer)."""
    if result.paths is None:
        raise ValueError("the result holds no path record; run monte_carlo with white=True")
    p = result.paths
    mua_values = [float(mua)] if _np.ndim(mua) == 0 else [float(x) for x in mua]
    (t_ps, R, R_error), mpp = _nlayer.monte_carlo_reweight(
        result.t_ps, list(result.rho_mm), result.width_mm, result.photons, result.batches, p.rho_index, p.time_bin,
        p.batch, p.time_ps, p.weight, p.path_mm, mua_values)
    if _np.ndim(result.R) == 1:
        R, R_error, mpp = R[0], R_error[0], mpp[0]
    return Reweighted(t_ps, R, R_error, mpp)
