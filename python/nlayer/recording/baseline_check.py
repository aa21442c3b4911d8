"""The baseline held against the model before any analysis, and the model's properties fitted to
the baseline where it does not hold.

A model a little off (every mus' 10 % wrong) moves the layers' changes by tens of percent while
each time point's DTOF still looks acceptable on its own; summed over the baseline period the
counts are many times more and the mismatch shows. For gated data each channel's summed baseline
DTOF is compared with the model's expected counts (the IRF convolved, the curve's amplitude and
shift free, the fit range nlayer.fit uses); for moments data each channel's mean mean-time and
variance over the baseline with the model's, in standard errors of the baseline's scatter.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from .. import _checks
from .. import _types
from .._fit import curve_moments, fit, moments as model_moments
from .._problem import FitProblem
from .._result import FitResult
from .._snirf import Recording
from .analysis import _irf_on_gates, _one_source, baseline_window
from .media import Media, _media_by_wavelength

# How far beyond its expectation a statistic may lie, in standard deviations of a normal
# variable, before the model is said not to fit: 5 keeps false alarms below 1 in 10^6 per
# channel, so a head cap of hundreds of channels with a correct model still passes.
_SIGMAS = 5.0
# The fewest baseline time points whose scatter gives moments data their standard errors.
_FEWEST_POINTS = 5


def chi2_limit(dof: float, sigmas: float = _SIGMAS) -> float:
    """The chi2/nu that a model which fits exceeds with the probability of a normal variable
    beyond `sigmas`, for nu degrees of freedom (Wilson and Hilferty's cube-root normal)."""
    k = 2.0 / (9.0 * max(float(dof), 1.0))
    return (1.0 - k + sigmas * math.sqrt(k)) ** 3


def _t_tail(x, dof):
    """P(|T| > x) of Student's t with dof degrees of freedom: the regularised incomplete beta
    I_u(dof/2, 1/2) at u = dof / (dof + x^2), integrated in u^(1/a) so the integrand stays smooth."""
    a, b = 0.5 * dof, 0.5
    u_end = dof / (dof + x * x)
    # With s = u^a the density u^(a-1) (1-u)^(b-1) du becomes (1-u)^(b-1) ds / a.
    s = np.linspace(0.0, u_end**a, 4001)
    u = s ** (1.0 / a)
    f = (1.0 - u) ** (b - 1.0)
    integral = float(np.sum(0.5 * (f[1:] + f[:-1]) * np.diff(s))) / a
    log_beta = math.lgamma(a) + math.lgamma(b) - math.lgamma(a + b)
    return float(integral * math.exp(-log_beta))


def t_limit(dof: float, sigmas: float = _SIGMAS) -> float:
    """The |t| that Student's t with dof degrees of freedom exceeds as rarely as a normal
    variable exceeds `sigmas`: a few baseline points estimate their scatter poorly, so their
    deviations must be larger before they mean anything."""
    target = math.erfc(sigmas / math.sqrt(2.0))
    low, high = sigmas, sigmas
    while _t_tail(high, dof) > target:
        high *= 2.0
    for _ in range(60):
        middle = 0.5 * (low + high)
        low, high = (middle, high) if _t_tail(middle, dof) > target else (low, middle)
    return high


def _channel_name(recording, c):
    nm = recording.wavelengths[recording.wavelength_index[c]]
    return f"S{recording.source[c]}-D{recording.detector[c]} {nm:g} nm"


@dataclass
class BaselineCheck:
    """How well each channel's baseline fits the model.

    kind         "gated" (chi2/nu of the summed baseline DTOF) or "moments" (deviation of the
                 mean moments in standard errors)
    channels     each channel's name, "S1-D2 760 nm"
    statistic    (C,) chi2/nu, or the larger |deviation| of mean time and variance
    limit        (C,) the value each must stay below
    points       baseline time points summed or averaged
    note         why nothing was checked, or ""
    fit          for gated data the joint FitResult (each curve's amplitude and shift)
    """

    kind: str
    channels: List[str]
    statistic: np.ndarray
    limit: np.ndarray
    points: int
    note: str = ""
    fit: Optional[FitResult] = field(default=None, repr=False)

    @property
    def passed(self) -> bool:
        return bool(np.all(self.statistic <= self.limit))

    def _what(self):
        return "chi2/nu of the summed baseline DTOF" if self.kind == "gated" else \
            "deviation of the mean moments from the model's, in standard errors"

    def line(self) -> str:
        """One line for the summary: the range found against the limit."""
        if self.note:
            return f"baseline check: {self.note}"
        if not len(self.statistic):
            return "baseline check: no channel"
        verdict = "fits" if self.passed else "does not fit"
        return (f"baseline check ({self.points} time points): {self._what()} {self.statistic.min():.3g} to "
                f"{self.statistic.max():.3g} (limit {self.limit.min():.3g}"
                + (f" to {self.limit.max():.3g}" if np.ptp(self.limit) > 0.005 * self.limit.min() else "")
                + f"): the model {verdict}")

    def sentence(self, worst: int = 4) -> str:
        """Why the model does not fit, naming the worst channels."""
        over = np.flatnonzero(self.statistic > self.limit)
        order = over[np.argsort(-self.statistic[over])][:worst]
        named = ", ".join(f"{self.channels[c]} {self.statistic[c]:.3g}" for c in order)
        more = f" and {len(over) - len(order)} more" if len(over) > len(order) else ""
        text = (f"the baseline does not fit the model: {self._what()} is {named}{more} (a model that fits "
                f"stays below {self.limit[order].max():.3g}); the changes found against it are biased")
        if self.kind == "gated":
            text += f". Fit the properties in doubt to the baseline first, e.g. --fit-baseline musp1,musp{self._layers}"
        return text

    _layers: int = field(default=1, repr=False)


def _summed_problem(recording, items, irf_counts, inside, engine):
    """A joint problem of every channel's summed baseline DTOF, the model at each wavelength."""
    t_ps = recording.gate_ps
    summed = recording.counts[inside].sum(axis=0)
    media = {float(nm): items[w] for w, nm in enumerate(recording.wavelengths)
             if np.any(recording.wavelength_index == w)}
    first = items[int(recording.wavelength_index[0])]
    problem = FitProblem(first, media=media, engine=engine, threads=1, starts=1)
    for c in range(recording.channels):
        problem.add_curve(summed[c], irf_counts, float(recording.rho_mm[c]), t_ps=t_ps,
                          wavelength=float(recording.wavelengths[recording.wavelength_index[c]]),
                          label=_channel_name(recording, c))
    return problem


def _gated_check(recording, items, irf, inside, engine):
    if irf is None:
        return BaselineCheck("gated", [_channel_name(recording, c) for c in range(recording.channels)], np.zeros(0),
                             np.zeros(0), int(np.count_nonzero(inside)),
                             note="not made: gated data are held against the model through the instrument "
                                  "response (--irf)")
    irf_counts = _irf_on_gates(irf, recording.gate_ps)
    problem = _summed_problem(recording, items, irf_counts, inside, engine)
    result = fit(problem)
    statistic = np.array([float(c["chi2_reduced"]) for c in result.curves])
    # Each curve's amplitude and shift are fitted to it.
    limit = np.array([chi2_limit(int(c["bins"]) - 2) for c in result.curves])
    return BaselineCheck("gated", [_channel_name(recording, c) for c in range(recording.channels)], statistic,
                         limit, int(np.count_nonzero(inside)), fit=result)


def _moments_check(recording, items, irf, inside):
    names = [_channel_name(recording, c) for c in range(recording.channels)]
    n = int(np.count_nonzero(inside))
    if n < _FEWEST_POINTS:
        return BaselineCheck("moments", names, np.zeros(0), np.zeros(0), n,
                             note=f"not made: the baseline has {n} time points, too few to tell the moments' "
                                  f"scatter (at least {_FEWEST_POINTS})")
    m = recording.moments[inside]                                         # (n, C, 3)
    mean, variance = m[..., 1].copy(), m[..., 2].copy()
    if irf is not None:
        irf_moments = curve_moments(irf[0], irf[1])
        mean, variance = mean - irf_moments.mean_time, variance - irf_moments.variance
    model = np.empty((recording.channels, 2))
    for w, medium in enumerate(items):
        channels = np.flatnonzero(recording.wavelength_index == w)
        if len(channels):
            found = model_moments(medium, [float(r) for r in recording.rho_mm[channels]], threads=1, engine="fast")
            model[channels, 0], model[channels, 1] = found.mean_time, found.variance
    # A slow drift through the baseline is no scatter of its mean: take a line out first.
    t = recording.time_s[inside]
    design = np.column_stack([np.ones(n), t - t.mean()])
    deviations = []
    for k, values in enumerate((mean, variance)):
        coefficients, *_ = np.linalg.lstsq(design, values, rcond=None)
        residual = values - design @ coefficients
        scatter = np.sqrt(np.sum(residual**2, axis=0) / (n - 2))
        offset = np.abs(values.mean(axis=0) - model[:, k])
        with np.errstate(divide="ignore", invalid="ignore"):
            # Noiseless moments that equal the model's deviate by nothing; anything not finite fails.
            deviations.append(np.where((offset == 0) & (scatter == 0), 0.0, offset / (scatter / math.sqrt(n))))
    statistic = np.nan_to_num(np.maximum(*deviations), nan=np.inf)
    return BaselineCheck("moments", names, statistic, np.full(recording.channels, t_limit(n - 2)), n)


def check_baseline(recording: Recording, media: Media,
                   irf: Optional[Tuple[npt.ArrayLike, npt.ArrayLike]] = None, *,
                   baseline: Optional[Tuple[float, float]] = None, source: Optional[int] = None,
                   engine: _types.Engine = "fast") -> BaselineCheck:
    """Holds each channel's baseline against the model (see the module's text).

    Gated data need irf = (t_ps, counts) on the gates (or counts on them); for moments data an
    irf's mean and variance are subtracted from the recorded ones, as moments_method does.
    Returns a BaselineCheck; .passed tells, .sentence() says which channels fail and by how much.
    The limits are a 5-sigma tail of what a model that fits gives under the noise alone: the
    Poisson chi2 of the summed counts, or Student's t of the baseline's scatter.
    """
    recording = _one_source(recording, source)
    wavelengths, items = _media_by_wavelength(media, recording.wavelengths)
    t0, t1 = baseline_window(recording, baseline)
    inside = (recording.time_s >= t0) & (recording.time_s <= t1)
    if recording.kind == "gated":
        check = _gated_check(recording, items, irf, inside, _checks.engine(engine))
    else:
        check = _moments_check(recording, items, irf, inside)
    check._layers = len(items[0])
    return check


@dataclass
class BaselineModelFit:
    """The named properties fitted to the baseline: values and errors per wavelength.

    names       the properties as given ("musp1")
    values      name -> {wavelength: value}; errors likewise (one standard error)
    media       {wavelength: Medium} fitted: the analysis's model from then on
    result      the joint FitResult
    """

    names: List[str]
    wavelengths: np.ndarray
    values: Dict[str, Dict[float, float]]
    errors: Dict[str, Dict[float, float]]
    media: Dict[float, Any] = field(repr=False)
    result: FitResult = field(repr=False)

    @property
    def success(self) -> bool:
        return bool(self.result.success)

    def lines(self) -> List[str]:
        chi2 = [float(c["chi2_reduced"]) for c in self.result.curves]
        out = [f"baseline fit of {', '.join(self.names)} to every channel's summed baseline DTOF: chi2/nu "
               f"{min(chi2):.3g} to {max(chi2):.3g}"
               + ("" if self.success else " (flagged: " + "; ".join(f["kind"] for f in self.result.flags) + ")")]
        for name in self.names:
            out.append(f"{name}: " + ", ".join(
                f"{value:.5g} +- {self.errors[name][nm]:.2g}" + ("" if math.isnan(nm) else f" at {nm:g} nm")
                for nm, value in self.values[name].items()))
        return out


def _expanded(name, wavelengths):
    """A property's parameter names in a problem with a medium per wavelength: mua and musp
    have one per wavelength, a thickness one for all."""
    if name.startswith(("mua", "musp")) and "@" not in name:
        return [f"{name}@{nm:g}" for nm in wavelengths]
    return [name]


def fit_baseline(recording: Recording, media: Media, irf: npt.ArrayLike, names: Sequence[str], *,
                 baseline: Optional[Tuple[float, float]] = None, source: Optional[int] = None,
                 engine: _types.Engine = "fast") -> BaselineModelFit:
    """Fits the named properties of the model (e.g. ["musp1", "musp4"]: mus' of layers 1 and 4
    at every wavelength; mua<k>, musp<k> per wavelength, d<k> shared) to every channel's summed
    baseline DTOF at once, each curve with its own amplitude and shift, the rest of the model
    held. Returns a BaselineModelFit whose media are the fitted model."""
    recording = _one_source(recording, source)
    if recording.kind != "gated" or recording.counts is None:
        raise ValueError("--fit-baseline fits DTOFs (gated data); this recording holds moments")
    wavelengths, items = _media_by_wavelength(media, recording.wavelengths)
    names = [str(n).strip() for n in names if str(n).strip()]
    if not names:
        raise ValueError("no property named to fit to the baseline")
    t0, t1 = baseline_window(recording, baseline)
    inside = (recording.time_s >= t0) & (recording.time_s <= t1)
    used = [float(nm) for w, nm in enumerate(wavelengths) if np.any(recording.wavelength_index == w)]
    problem = _summed_problem(recording, items, _irf_on_gates(irf, recording.gate_ps), inside,
                              _checks.engine(engine))
    for name in names:
        for parameter in _expanded(name, used):
            problem.free(parameter)
    result = fit(problem)
    values, errors = {}, {}
    for name in names:
        parameters = _expanded(name, used)
        keys = used if len(parameters) > 1 else [float("nan")]
        values[name] = {nm: float(result.values[p]) for nm, p in zip(keys, parameters)}
        errors[name] = {nm: float(result.standard_error.get(p, np.nan)) for nm, p in zip(keys, parameters)}
    fitted = {float(nm): result.media.get(float(nm), items[w]) for w, nm in enumerate(wavelengths)}
    return BaselineModelFit(names, np.asarray(used), values, errors, fitted, result)
