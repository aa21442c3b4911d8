"""nlayer: the time-resolved diffuse reflectance of a stack of turbid layers.

The diffusion equation for N plane-parallel layers is solved in the spatial-frequency domain,
in 80-bit extended precision, and turned into R(rho, t) by a Hankel transform and an FFT.
Units: lengths in mm, coefficients in 1/mm, times in ps, frequencies in Hz; R(t) in
mm^-2 ps^-1, R~(f) and the continuous-wave reflectance in mm^-2.

    >>> import nlayer
    >>> m = nlayer.Medium([nlayer.Layer(musp=1.0, mua=0.01, n=1.4, d=5.0),
    ...                    nlayer.Layer(musp=2.0, mua=0.03, n=1.4, d=15.0)])
    >>> t_ps, R = nlayer.time_resolved(m, rho=20.0)   # 512 samples, 10 ... 5120 ps
    >>> R.shape
    (512,)

Errors: a medium or request that makes no sense raises ValueError (TypeError for arguments of
the wrong type) before anything is computed; a floating-point fault of the model's arithmetic
raises ModelError, a subclass of ArithmeticError. The computations release the GIL, so Python
threads run them in parallel, and Ctrl-C interrupts them within a fraction of a second.

sweep() computes many media at once on all local cores or on a Dask cluster.

moments(), curve_moments() and sensitivity() give the moments of model and measured curves and
their sensitivities to each layer's absorption; fit() fits the layers' optical properties to a
measured curve given the instrument response (read_curve() reads such files).
"""

import numbers
import operator
import os
from typing import NamedTuple

import numpy as np

from . import _nlayer
from ._nlayer import Layer, Medium, ModelError, __version__
from ._fit import FitResult, Moments, Sensitivity, curve_moments, fit, moments, read_curve, sensitivity
from ._sweep import sweep

__all__ = [
    "FitResult",
    "Layer",
    "Medium",
    "ModelError",
    "ModelFile",
    "Moments",
    "Sensitivity",
    "__version__",
    "continuous_wave",
    "curve_moments",
    "fit",
    "frequency_domain",
    "moments",
    "read_curve",
    "read_model",
    "sensitivity",
    "sweep",
    "time_resolved",
]

_MAX_THREADS = 1024


def _check_medium(medium):
    if not isinstance(medium, Medium):
        raise TypeError(f"medium must be an nlayer.Medium, not {type(medium).__name__}")
    return medium


def _values(value, name):
    """(list of floats, whether a single number was given) for a number or a 1-d sequence."""
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a number or a sequence of numbers, not {type(value).__name__}")
    array = np.asarray(value)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must be a number or a sequence of numbers")
    if array.ndim > 1:
        raise ValueError(f"{name} must be a number or a one-dimensional sequence, not of shape {array.shape}")
    return [float(x) for x in array.reshape(-1)], array.ndim == 0


def _integer(value, name, low, high):
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not low <= number <= high:
        raise ValueError(f"{name} is {number}; it must be from {low} to {high}")
    return number


def _engine(engine):
    if not isinstance(engine, str):
        raise TypeError(f"engine must be 'exact' or 'fast', not {type(engine).__name__}")
    if engine not in ("exact", "fast"):
        raise ValueError(f"engine is {engine!r}; it must be 'exact' or 'fast'")
    return engine


def _real(value, name):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def time_resolved(medium, rho, *, dt_ps=10.0, samples=1024, threads=0, engine="exact"):
    """The time-resolved reflectance R(rho, t) of a medium, in mm^-2 ps^-1.

    Parameters
    ----------
    medium : Medium
    rho : float or sequence of float
        Source-detector distance(s) in mm, each > 0.
    dt_ps : float, optional
        Time step in ps (default 10).
    samples : int, optional
        FFT length, a power of two from 16 to 65536 (default 1024). The curve repeats with the
        period samples * dt_ps, so choose it well beyond the time the light takes to fade.
    threads : int, optional
        Worker threads for the modulation frequencies, 0 for all cores (default). The values
        are the same, bit for bit, for every thread count.
    engine : "exact" or "fast", optional
        "exact" (default): 80-bit extended precision, the window's numbers to the last digit.
        "fast": the same model in vectorised double precision, about 8 digits, for fits and
        sweeps; a model that double precision cannot compute falls back to "exact".

    Returns
    -------
    t_ps : ndarray, shape (samples // 2,)
        The times dt_ps, 2 dt_ps, ..., samples/2 dt_ps.
    R : ndarray
        Shape (samples // 2,) for a single distance, (len(rho), samples // 2) for a sequence.
        The default grid gives the values the window and nlayer-run write to
        "reflectance.dat", with no cut six decades below the peak.

    Raises
    ------
    ValueError
        A medium, distance or time grid that cannot be computed.
    ModelError
        A floating-point fault of the model, e.g. a stack too thick for the extended range.

    Example
    -------
    >>> t_ps, R = nlayer.time_resolved(m, rho=[10, 20, 30], dt_ps=5.0, samples=2048)
    >>> R.shape
    (3, 1024)
    """
    _check_medium(medium)
    distances, single = _values(rho, "rho")
    dt = _real(dt_ps, "dt_ps")
    n = _integer(samples, "samples", -(2**31), 2**31 - 1)
    workers = _integer(threads, "threads", 0, _MAX_THREADS)
    t_ps, reflectance = _nlayer.time_resolved(medium, distances, dt, n, workers, _engine(engine))
    return t_ps, (reflectance[0] if single else reflectance)


def frequency_domain(medium, rho, f_hz, *, threads=0, engine="exact"):
    """The frequency-domain reflectance R~(rho, f) of a medium, in mm^-2.

    R~(f) is the Fourier transform of R(t), integral of R(t) exp(-2 pi i f t) dt, so that
    R~(rho, 0) is the continuous-wave reflectance and the phase lag -angle(R~) is >= 0.

    Parameters
    ----------
    medium : Medium
    rho : float or sequence of float
        Source-detector distance(s) in mm, each > 0.
    f_hz : float or sequence of float
        Modulation frequencies in Hz, each from 0 to 1e12.
    threads : int, optional
        Worker threads, 0 for all cores (default).
    engine : "exact" or "fast", optional
        "exact" (default): 80-bit extended precision, the window's numbers to the last digit.
        "fast": the same model in vectorised double precision, about 8 digits, for fits and
        sweeps; a model that double precision cannot compute falls back to "exact".

    Returns
    -------
    complex ndarray of shape (len(rho), len(f_hz)); the axis of a single number is left out,
    so one distance and one frequency give a complex scalar.

    Raises ValueError for a bad medium, distance or frequency, ModelError for a fault of the
    model's arithmetic (its frequency_index and frequency_hz say where).
    """
    _check_medium(medium)
    distances, single_rho = _values(rho, "rho")
    frequencies, single_f = _values(f_hz, "f_hz")
    workers = _integer(threads, "threads", 0, _MAX_THREADS)
    values = _nlayer.frequency_domain(medium, distances, frequencies, workers, _engine(engine))
    if single_f:
        values = values[:, 0]
    return values[0] if single_rho else values


def continuous_wave(medium, rho, *, threads=0, engine="exact"):
    """The continuous-wave reflectance R~(rho, 0) of a medium, in mm^-2.

    The same numbers as frequency_domain(medium, rho, 0.0, threads=threads, engine=engine).real:
    a float for a single distance, an ndarray of shape (len(rho),) for a sequence.
    """
    _check_medium(medium)
    distances, single = _values(rho, "rho")
    workers = _integer(threads, "threads", 0, _MAX_THREADS)
    values = _nlayer.continuous_wave(medium, distances, workers, _engine(engine))
    return float(values[0]) if single else values


class ModelFile(NamedTuple):
    """A model file read by read_model: the medium and the source-detector distance (mm)."""

    medium: Medium
    rho: float


def read_model(path):
    """Reads a model file ("input.dat") as the window and nlayer-run read it.

    Returns a ModelFile(medium, rho): unpack it (``medium, rho = nlayer.read_model(p)``) or use
    its attributes .medium and .rho. The medium keeps the file's values exactly (as 80-bit
    extended reals); rho is the nearest float.

    Raises OSError when the file cannot be read and ValueError, naming the line, when its
    content is not a model.
    """
    medium, rho = _nlayer.read_model(os.fspath(path))
    return ModelFile(medium, rho)
