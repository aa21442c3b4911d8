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

sweep() computes many media at once on all local cores or on a Dask cluster. phase_lag() gives
the frequency domain's phase lag continued past pi.

moments(), curve_moments() and sensitivity() give the moments of model and measured curves and
their sensitivities to each layer's absorption; fit() fits the layers' optical properties to a
measured curve given the instrument response (read_curve() reads such files), or several
curves at once to one medium or its spectral model (FitProblem); simulate_counts() makes
Poisson counts of a measurement.

monte_carlo() simulates photon transport in the same media, units and time grid, with standard
errors, to check the diffusion model where it is weakest (short distances, early gates); a white
run re-weighted by monte_carlo_reweight() gives the curves for any absorption.

nlayer.recording reads, simulates and analyses time-domain recordings in SNIRF files: changes
of absorption and hemoglobin in each layer, by the moments method or by fits per time point
(the command nlayer-analyze runs it).
"""

from typing import NamedTuple as _NamedTuple
from typing import Optional as _Optional
from typing import Union as _Union

import numpy as _np

from . import _checks
from . import _nlayer
from . import _types
from ._nlayer import Layer, Medium, ModelError, __version__
from ._monte_carlo import MonteCarloResult, monte_carlo, monte_carlo_reweight
from ._fit import Moments, Sensitivity, curve_moments, fit, moments, read_curve, sensitivity
from ._problem import FitProblem, hemoglobin_spectra, simulate_counts
from ._result import FitResult
from ._sweep import SweepResult, sweep
from . import recording

__all__ = [
    "FitProblem",
    "FitResult",
    "Layer",
    "Medium",
    "ModelError",
    "ModelFile",
    "MonteCarloResult",
    "Moments",
    "Sensitivity",
    "SweepResult",
    "__version__",
    "continuous_wave",
    "curve_moments",
    "fit",
    "frequency_domain",
    "hemoglobin_spectra",
    "moments",
    "monte_carlo",
    "monte_carlo_reweight",
    "phase_lag",
    "read_curve",
    "read_model",
    "recording",
    "sensitivity",
    "simulate_counts",
    "sweep",
    "time_resolved",
]


def time_resolved(medium: Medium, rho: _types.Distances, *, dt_ps: float = 10.0, samples: int = 1024,
                  threads: int = 0, engine: _types.Engine = "exact") -> tuple[_types.FloatArray, _types.FloatArray]:
    """The time-resolved reflectance R(rho, t) of a medium, in mm^-2 ps^-1.

    Parameters
    ----------
    medium : Medium
    rho : float or sequence of float
        Source-detector distance(s) in mm, each > 0. A decimal.Decimal (or numpy.longdouble)
        is read as the extended real nearest to it, as a model file's digits are.
    dt_ps : float, optional
        Time step in ps (default 10).
    samples : int, optional
        Returned samples times two, a power of two from 16 to 65536 (default 1024). A curve that
        has not faded by samples * dt_ps is computed on a longer period, so nothing of its tail
        folds back onto its start.
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
    _checks.medium(medium)
    distances, single = _checks.distances(rho)
    dt = _checks.real(dt_ps, "dt_ps")
    n = _checks.samples(samples)
    workers = _checks.threads(threads)
    t_ps, reflectance = _nlayer.time_resolved(medium, distances, dt, n, workers, _checks.engine(engine))
    return t_ps, (reflectance[0] if single else reflectance)


def frequency_domain(medium: Medium, rho: _types.Distances, f_hz: _types.Frequencies, *, threads: int = 0,
                     engine: _types.Engine = "exact") -> _Union[complex, _np.ndarray]:
    """The frequency-domain reflectance R~(rho, f) of a medium, in mm^-2.

    R~(f) is the Fourier transform of R(t), integral of R(t) exp(-2 pi i f t) dt, so that
    R~(rho, 0) is the continuous-wave reflectance. The phase lag is -angle(R~) continued from 0
    at f = 0, >= 0 and growing with f; past pi (some 400 MHz at 40 mm in a head) the principal
    value np.angle wraps to negative numbers: phase_lag(medium, rho, f_hz) gives the lag.

    Parameters
    ----------
    medium : Medium
    rho : float or sequence of float
        Source-detector distance(s) in mm, each > 0 (Decimal: exact, as for time_resolved).
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
    _checks.medium(medium)
    distances, single_rho = _checks.distances(rho)
    frequencies, single_f = _checks.frequencies(f_hz)
    workers = _checks.threads(threads)
    values = _nlayer.frequency_domain(medium, distances, frequencies, workers, _checks.engine(engine))
    if single_f:
        values = values[:, 0]
    return values[0] if single_rho else values


def continuous_wave(medium: Medium, rho: _types.Distances, *, threads: int = 0,
                    engine: _types.Engine = "exact") -> _Union[float, _types.FloatArray]:
    """The continuous-wave reflectance R~(rho, 0) of a medium, in mm^-2.

    The same numbers as frequency_domain(medium, rho, 0.0, threads=threads, engine=engine).real:
    a float for a single distance, an ndarray of shape (len(rho),) for a sequence.
    """
    _checks.medium(medium)
    distances, single = _checks.distances(rho)
    workers = _checks.threads(threads)
    values = _nlayer.continuous_wave(medium, distances, workers, _checks.engine(engine))
    return float(values[0]) if single else values


def phase_lag(medium: Medium, rho: _types.Distances, f_hz: _types.Frequencies, *, threads: int = 0,
              engine: _types.Engine = "exact") -> _Union[float, _types.FloatArray]:
    """The phase lag of R~(rho, f) in radians: -angle(R~) continued from 0 at f = 0.

    The principal value -np.angle(R~) wraps to -pi once the light's delay passes half a period
    (past some 400 MHz at 40 mm in an adult head). Here the lag follows R~ continuously: each
    lag is the one among -angle(R~) + 2 pi k nearest the lag at the next lower frequency,
    over the requested frequencies in ascending order together with frequencies added in
    between, at most 1 / (8 <t>) apart (<t> the mean time of flight, from moments()), where the
    lag changes by far less than pi from one to the next. nlayer-run's --fd table applies the
    same rule to its own frequencies only.

    Arguments as for frequency_domain; returns floats of the shape frequency_domain returns,
    each frequency's lag in the order requested (a float for one distance and one frequency).

    >>> nlayer.phase_lag(head, rho=40.0, f_hz=[1e8, 5e8, 1e9])   # rising, 3.9 rad at 500 MHz
    """
    _checks.medium(medium)
    distances, single_rho = _checks.distances(rho)
    frequencies, single_f = _checks.frequencies(f_hz)
    workers = _checks.threads(threads)
    name = _checks.engine(engine)
    values = _nlayer.frequency_domain(medium, distances, frequencies, workers, name)
    requested = len(frequencies)
    top = max(frequencies, default=0.0)
    if top > 0:
        mean_ps = max(m[1] for m in _nlayer.moments(medium, distances, workers, name))
        step = 1.0 / (8.0 * mean_ps * 1e-12)
        between = [float(k * step) for k in range(1, int(_np.ceil(top / step)))]
        if between:
            extra = _nlayer.frequency_domain(medium, distances, between, workers, name)
            values = _np.concatenate([values, extra], axis=1)
            frequencies = frequencies + between
    lag = _nlayer.unwrapped_phase_lag(values, frequencies)[:, :requested]
    if single_f:
        lag = lag[:, 0]
    if single_rho:
        lag = lag[0]
    return float(lag) if _np.ndim(lag) == 0 else lag


class ModelFile(_NamedTuple):
    """A model file read by read_model: the medium and the source-detector distance (mm).

    rho is a numpy.longdouble that holds the file's value exactly (the extended real nearest to
    its digits, as nlayer-run reads it); every function taking a distance takes it as it is.
    float(rho) rounds it to a double. It is None for a file without one read with
    need_rho=False.
    """

    medium: Medium
    rho: _Optional[_np.longdouble]


def read_model(path: _types.Path, *, need_rho: bool = True) -> ModelFile:
    """Reads a model file ("input.dat") as the window and nlayer-run read it.

    Returns a ModelFile(medium, rho): unpack it (``medium, rho = nlayer.read_model(p)``) or use
    its attributes .medium and .rho. The medium and rho keep the file's values exactly (as
    80-bit extended reals; rho as numpy.longdouble), so that time_resolved(medium, rho) gives
    the curve nlayer-run writes for the file.

    need_rho=False reads a medium whose distance comes from elsewhere (nlayer-analyze's
    probe): the file may end after the last layer (rho is then None) and its rho is not
    checked.

    Raises OSError when the file cannot be read and ValueError, naming the line, when its
    content is not a model.
    """
    medium, rho = _nlayer.read_model(_checks.path(path), bool(need_rho))
    return ModelFile(medium, rho)
