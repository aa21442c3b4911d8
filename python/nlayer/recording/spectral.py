"""Joint fits of every channel to a spectral model: hemoglobin (and further chromophores) and a
scattering power law per layer, at baseline and at every time point."""

from __future__ import annotations

import dataclasses
import os
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

from .. import _checks
from .. import _nlayer
from .. import _types
from .._snirf import Recording
from .._fit import fit
from .._result import FitResult
from .._nlayer import Medium
from .._problem import FitProblem, chromophore_items
from .analysis import Analysis, _dtofs, _irf_on_gates, _one_source, baseline_window
from .fits import _run_chunks
from .media import _hemoglobin, _media_by_wavelength
from .moments import _changes_of_moments


@dataclass
class SpectralModel:
    """A layered model whose absorption is hemoglobin (and further chromophores of the user's)
    and whose scattering is a power law.

    medium      n and d of each layer (its mua and musp are placeholders)
    values      name -> value: HbO<k>, HbR<k> (uM), each further chromophore's <name><k>,
                a<k> (mus' at reference_nm, 1/mm), b<k>, d<k>
    free        name -> (lower, upper): the parameters a baseline fit frees (bounds may be None)
    ties        name -> name of the free parameter it follows
    reference_nm
    extra       further chromophores as FitProblem takes them, (name, unit, wavelength_nm,
                values): unit "molar_extinction" (decadic, cm^-1/M; concentration in uM) or
                "absorption" (mua of the pure substance, 1/mm; concentration a volume fraction),
                e.g. water held at its fraction so that hemoglobin is not made to carry its
                absorption
    """

    medium: Medium
    values: Dict[str, float]
    free: Dict[str, Tuple[Optional[float], Optional[float]]]
    ties: Dict[str, str]
    reference_nm: float = 800.0
    extra: List[Tuple[str, str, Any, Any]] = field(default_factory=list)

    @property
    def layers(self) -> int:
        return len(self.medium)

    @property
    def chromophores(self) -> List[str]:
        return ["HbO", "HbR"] + [c[0] for c in self.extra]

    def keys(self) -> List[str]:
        """Each layer's spectral parameters, without the layer's number."""
        return self.chromophores + ["a", "b"]

    def _chromophores(self):
        """The chromophores as the binding takes them: hemoglobin's, then the user's."""
        return _hemoglobin() + [(str(name), unit, np.asarray(nm, dtype=float), np.asarray(values, dtype=float),
                                 "given in Python") for name, unit, nm, values in self.extra]

    def absorption(self, wavelengths: npt.ArrayLike) -> _types.FloatArray:
        """(W, chromophores): the mua (1/mm) that one unit of each chromophore adds."""
        nm = np.atleast_1d(np.asarray(wavelengths, dtype=float)).tolist()
        return _nlayer.absorption_per_unit(self._chromophores(), nm)

    def media(self, wavelengths: npt.ArrayLike, values: Optional[Mapping[str, float]] = None) -> List[Medium]:
        """The Medium at each wavelength at `values` (default the model's own), as the
        library's spectral fits compute it."""
        v = dict(self.values, **(values or {}))
        layers = [([float(v[f"{c}{k}"]) for c in self.chromophores], float(v[f"a{k}"]), float(v[f"b{k}"]))
                  for k in range(1, self.layers + 1)]
        spectral = {"chromophores": self._chromophores(), "layers": layers, "reference_nm": float(self.reference_nm)}
        nm = np.atleast_1d(np.asarray(wavelengths, dtype=float)).tolist()
        return _nlayer.medium_at(spectral, self.with_values(v).medium, nm)

    def spectral(self, values: Optional[Mapping[str, float]] = None) -> Dict[str, Any]:
        """The FitProblem's spectral= dict at `values` (default the model's own)."""
        v = dict(self.values, **(values or {}))
        return dict(chromophores=["HbO", "HbR"] + [tuple(c) for c in self.extra], reference_nm=self.reference_nm,
                    layers=[{key: float(v[f"{key}{k}"]) for key in self.keys()} for k in range(1, self.layers + 1)])

    def with_values(self, values: Mapping[str, float]) -> SpectralModel:
        """The model at other values (its free parameters and ties kept): the thicknesses go
        into the medium."""
        merged = dict(self.values, **values)
        medium = self.medium
        for k in range(1, self.layers):
            if f"d{k}" in merged:
                medium = medium.replace(k, d=float(merged[f"d{k}"]))
        return dataclasses.replace(self, medium=medium, values=merged)


def _dict_parameter(value, name):
    """(value, free bounds or None, tie or None) of a dict model's number or table {start,
    lower, upper} / {tie}, as problem files give them."""
    if isinstance(value, dict):
        unknown = set(value) - {"start", "lower", "upper", "tie"}
        if unknown:
            raise ValueError(f"model: {name} has unknown keys {sorted(unknown)} (known: start, lower, upper, tie)")
        if "tie" in value:
            if not isinstance(value["tie"], str):
                raise ValueError(f"model: {name}'s tie must be a string, not {value['tie']!r}")
            return None, None, value["tie"]
        if "start" not in value:
            raise ValueError(f"model: {name} is free (a table) but has no start value: add start = ...")
        bounds = tuple(None if value.get(k) is None else _checks.real(value[k], f"{name}'s {k}")
                       for k in ("lower", "upper"))
        return _checks.real(value["start"], f"{name}'s start"), bounds, None
    return _checks.real(value, name), None, None


def _file_model(path):
    """values, free, ties, medium, reference and further chromophores of a problem file's
    model, read by the library's reader (nlayer-fit's), which names file and line."""
    where = os.fsdecode(path)
    setup = _nlayer.read_problem_model(_checks.path(path))
    spectral = setup["spectral"]
    if spectral is None:
        raise ValueError(f"{where}: a recording's model needs a [spectral] section (HbO and HbR per layer)")
    names = [c[0] for c in spectral["chromophores"]]
    if "HbO" not in names or "HbR" not in names:
        raise ValueError(f"{where}: a recording's model takes both shipped chromophores, chromophores = "
                         "[\"HbO\", \"HbR\"] (further ones as [[spectral.chromophore]])")
    medium = setup["medium"]
    values = {}
    for k, (concentrations, a, b) in enumerate(spectral["layers"], start=1):
        values.update({f"{name}{k}": float(c) for name, c in zip(names, concentrations)})
        values.update({f"a{k}": float(a), f"b{k}": float(b)})
        if k < len(medium):
            values[f"d{k}"] = float(medium.layers[k - 1].d)
    free, ties = {}, {}
    for name, lower, upper, start, tie in setup["free"]:
        if tie:
            ties[name] = tie
            continue
        free[name] = (lower, upper)
        if start is not None:
            values[name] = float(start)
    extra = [tuple(c[:4]) for c in spectral["chromophores"] if c[0] not in ("HbO", "HbR")]
    return values, free, ties, medium, spectral["reference_nm"], extra


def spectral_model(model: Union[SpectralModel, _types.Path, Mapping[str, Any]]) -> SpectralModel:
    """A SpectralModel from a problem file's path (its [spectral] section and [[layer]]s, read
    by nlayer-fit's reader, which refuses what it does not know with file and line; its [fit]
    and [[curve]]s are not used) or from a dict
    {"medium": Medium (n and d), "reference_nm": 800, "layers": [{"HbO": ..., "HbR": ..., "a": ...,
    "b": ...}, ...]} whose values are numbers (fixed) or tables {"start", "lower", "upper"}
    (free) or {"tie": name}, as in problem files. HbO and HbR always; further chromophores from
    the file's [[spectral.chromophore]] tables or the dict's "chromophores": [(name, unit,
    wavelength_nm, values), ...], each with its concentration in every layer."""
    if isinstance(model, SpectralModel):
        return model
    if isinstance(model, (str, bytes, os.PathLike)):
        values, free, ties, medium, reference, extra = _file_model(model)
        where = os.fsdecode(model)
    elif isinstance(model, dict):
        where = "model"
        layers = model.get("layers", [])
        medium = model.get("medium")
        _checks.medium(medium)
        if len(medium) != len(layers):
            raise ValueError(f"the model's medium has {len(medium)} layers and its spectral layers {len(layers)}")
        if not layers:
            raise ValueError("model: the model has no layers")
        reference = model.get("reference_nm", 800.0)
        extra = [tuple(c[:4]) for c in chromophore_items(model.get("chromophores", [])) if c[0] not in ("HbO", "HbR")]
        names = [c[0] for c in extra]
        clash = [n for n in names if n in ("HbO", "HbR", "a", "b", "d") or names.count(n) > 1]
        if clash:
            raise ValueError(f"model: chromophore name {clash[0]} is taken; name it otherwise")
        spectral_keys = ["HbO", "HbR"] + names + ["a", "b"]
        values, free, ties = {}, {}, {}
        for k, layer in enumerate(layers, start=1):
            layer = dict(layer, d=medium.layers[k - 1].d)
            missing = [key for key in spectral_keys if key not in layer]
            if missing:
                raise ValueError(f"model: layer {k} has no value of {', '.join(missing)}")
            for key in spectral_keys + (["d"] if k < len(layers) else []):
                value, bounds, tie = _dict_parameter(layer[key], f"{key}{k}")
                if tie is not None:
                    ties[f"{key}{k}"] = tie
                else:
                    values[f"{key}{k}"] = value
                if bounds is not None:
                    free[f"{key}{k}"] = bounds
    else:
        raise TypeError(f"a model is a problem file's path or a dict, not {type(model).__name__}")
    for name, target in ties.items():
        if target not in free:
            raise ValueError(f"{where}: {name} is tied to {target}, which is not free: tie it to a free parameter")
        values[name] = values[target]
    result = SpectralModel(medium, values, free, ties, float(reference), extra)
    return result.with_values({})


def _irf_by_channel(recording, irf):
    """The IRF counts of every channel on the recording's gates, from one IRF ((t_ps, counts) or
    counts) or a dict {wavelength_nm: IRF}."""
    t_ps = recording.gate_ps

    def counts(item):
        return _irf_on_gates(item, t_ps)

    if isinstance(irf, dict):
        wavelengths, items = _media_by_wavelength(irf, recording.wavelengths)
        per_wavelength = [counts(item) for item in items]
        return [per_wavelength[w] for w in recording.wavelength_index]
    one = counts(irf)
    return [one] * recording.channels


def _joint_problem(model, t_ps, curves, irfs, rho, wavelengths, engine, starts=0):
    problem = FitProblem(model.medium, spectral=model.spectral(), engine=engine, threads=1, starts=starts)
    for c in range(len(curves)):
        problem.add_curve(curves[c], irfs[c], float(rho[c]), t_ps=t_ps, wavelength=float(wavelengths[c]),
                          label=f"{rho[c]:g} mm, {wavelengths[c]:g} nm")
    return problem


@dataclass
class BaselineFit:
    """The absolute values of every layer from one joint fit of all channels' baseline DTOFs.

    wavelengths (W,), baseline (t0, t1) s
    hbo, hbr, hbt (L,) uM, sto2 (L,) %, musp (L, W) 1/mm, each with its standard error in
    hbo_err, ...; model  the SpectralModel at the fitted values (the start of later fits);
    media  {wavelength: Medium} fitted; result  nlayer.fit's FitResult (flags, curves, ...)
    """

    wavelengths: np.ndarray
    baseline: Tuple[float, float]
    hbo: np.ndarray
    hbo_err: np.ndarray
    hbr: np.ndarray
    hbr_err: np.ndarray
    hbt: np.ndarray
    hbt_err: np.ndarray
    sto2: np.ndarray
    sto2_err: np.ndarray
    musp: np.ndarray
    musp_err: np.ndarray
    model: SpectralModel = field(repr=False)
    media: Dict[float, Medium] = field(repr=False)
    result: FitResult = field(repr=False)

    @property
    def success(self) -> bool:
        return bool(self.result.success)

    def lines(self) -> List[str]:
        """Each layer's values with their errors, as nlayer-analyze prints them."""
        out = [f"baseline fit {self.baseline[0]:g} to {self.baseline[1]:g} s"
               + ("" if self.success else " (flagged: " + "; ".join(f["kind"] for f in self.result.flags) + ")")]
        for k in range(len(self.hbo)):
            musp = ", ".join(f"{self.musp[k, w]:.4g} +- {self.musp_err[k, w]:.2g} at {nm:g} nm"
                             for w, nm in enumerate(self.wavelengths))
            out.append(f"layer {k + 1}: HbO {self.hbo[k]:.3f} +- {self.hbo_err[k]:.3f} uM, "
                       f"HbR {self.hbr[k]:.3f} +- {self.hbr_err[k]:.3f} uM, HbT {self.hbt[k]:.3f} +- "
                       f"{self.hbt_err[k]:.3f} uM, StO2 {self.sto2[k]:.2f} +- {self.sto2_err[k]:.2f} %, "
                       f"mus' {musp} 1/mm")
        return out


def _error(result, name):
    value = result.standard_error.get(name)
    return 0.0 if value is None else float(value)


def _musp_with_error(result, values, k, wavelengths, reference):
    """mus' of layer k at each wavelength and its error through a and b's covariance."""
    a, b = values[f"a{k}"], values[f"b{k}"]
    ratio = np.asarray(wavelengths, dtype=float) / reference
    musp = a * ratio ** (-b)
    gradient = np.stack([ratio ** (-b), -musp * np.log(ratio)], axis=1)     # d/da, d/db
    names = [f"a{k}", f"b{k}"]
    covariance = np.zeros((2, 2))
    index = {name: i for i, name in enumerate(result.names)}
    for i, p in enumerate(names):
        for j, q in enumerate(names):
            if p in index and q in index:
                covariance[i, j] = result.covariance[index[p], index[q]]
    variance = np.einsum("wi,ij,wj->w", gradient, covariance, gradient)
    return musp, np.sqrt(np.maximum(variance, 0.0))


def baseline_fit(recording: Recording, model: Union[SpectralModel, _types.Path, Mapping[str, Any]], irf: Union[Tuple[npt.ArrayLike, npt.ArrayLike], npt.ArrayLike, Mapping[float, Any]], *,
                 baseline: Optional[Tuple[float, float]] = None, free: Optional[Union[Sequence[str], Mapping[str, Tuple[Optional[float], Optional[float]]]]] = None,
                 engine: _types.Engine = "fast", source: Optional[int] = None) -> BaselineFit:
    """The absolute hemoglobin and scattering of every layer from the baseline's DTOFs.

    Each channel's DTOFs are summed over the baseline period and all channels (every distance
    at every wavelength) are fitted at once to the spectral model (nlayer.FitProblem with
    spectral=): mua(lambda) = ln(10) (eps_HbO HbO + eps_HbR HbR) + the model's further
    chromophores' share, mus'(lambda) =
    a (lambda / reference)^-b per layer, each curve with its own amplitude and shift.

    Parameters
    ----------
    recording : Recording with gated data
    model : a problem file's path (its [spectral] section and layers; curves ignored), a dict
        (see spectral_model) or a SpectralModel; its free parameters (tables) are fitted
    irf : (t_ps, counts) on the recording's gates, counts on them, or {wavelength_nm: either}
    baseline : (t0, t1) s, default as for moments_method
    free : names to fit instead of the model's, a list or {name: (lower, upper)}
    engine, source : as for fit_method

    Returns a BaselineFit. Raises ValueError where the model does not fit the recording.
    """
    _dtofs(recording, "a baseline fit")
    recording = _one_source(recording, source)
    t_ps, dtofs = _dtofs(recording, "a baseline fit")
    model = spectral_model(model)
    chosen = model.free if free is None else (dict(free) if isinstance(free, dict) else
                                              {name: model.free.get(name, (None, None)) for name in free})
    if not chosen:
        raise ValueError("nothing to fit: the model frees no parameter (give tables or free=)")
    t0, t1 = baseline_window(recording, baseline)
    inside = (recording.time_s >= t0) & (recording.time_s <= t1)
    summed = dtofs[inside].sum(axis=0)
    wavelengths = recording.wavelengths[recording.wavelength_index]
    problem = _joint_problem(model, t_ps, summed, _irf_by_channel(recording, irf), recording.rho_mm,
                             wavelengths, _checks.engine(engine))
    for name, (lower, upper) in chosen.items():
        problem.free(name, start=model.values[name], lower=lower, upper=upper)
    for name, target in model.ties.items():
        if target in chosen:
            problem.tie(name, target)
    result = fit(problem)
    values = dict(model.values, **{k: v for k, v in result.values.items() if k in model.values})
    L, W = model.layers, len(recording.wavelengths)
    out = {key: np.empty(L) for key in ("hbo", "hbo_err", "hbr", "hbr_err", "hbt", "hbt_err", "sto2", "sto2_err")}
    musp, musp_err = np.empty((L, W)), np.empty((L, W))
    for k in range(1, L + 1):
        out["hbo"][k - 1], out["hbo_err"][k - 1] = values[f"HbO{k}"], _error(result, f"HbO{k}")
        out["hbr"][k - 1], out["hbr_err"][k - 1] = values[f"HbR{k}"], _error(result, f"HbR{k}")
        for key, name in (("hbt", "HbT"), ("sto2", "StO2")):
            value, error = result.derived.get(f"{name}{k}", (np.nan, np.nan))
            out[key][k - 1], out[f"{key}_err"][k - 1] = value, error
        musp[k - 1], musp_err[k - 1] = _musp_with_error(result, values, k, recording.wavelengths, model.reference_nm)
    # The library derives StO2 as a fraction; recordings report it in %.
    out["sto2"], out["sto2_err"] = 100.0 * out["sto2"], 100.0 * out["sto2_err"]
    return BaselineFit(wavelengths=np.asarray(recording.wavelengths, dtype=float), baseline=(t0, t1), musp=musp,
                       musp_err=musp_err, model=model.with_values(values), media=dict(result.media), result=result,
                       **out)


def _spectral_chunk(t_ps, counts, irfs, rho, wavelengths, model, free, ties, engine, stop=None):
    """Joint fits of all channels at time points counts (n, C, G) one after the other, each
    starting from the previous one's values (the first from the model's). Module-level, so
    that Dask workers find it by name. Returns a list of (values of the free parameters,
    success, their covariance in the order of `free`), or None when stopped."""
    out = []
    values = {name: model.values[name] for name in free}
    for curves in counts:
        if stop is not None and stop.is_set():
            return None
        # The previous time point's minimum is the start: further spread starts would only look
        # for minima far from it, many times the cost.
        problem = _joint_problem(model, t_ps, curves, irfs, rho, wavelengths, engine, starts=1)
        for name, (lower, upper) in free.items():
            problem.free(name, start=values[name], lower=lower, upper=upper)
        for name, target in ties.items():
            problem.tie(name, target)
        result = fit(problem)
        values = {name: float(result.values[name]) for name in free}
        index = [result.names.index(name) for name in free]
        out.append((values, bool(result.success), np.asarray(result.covariance)[np.ix_(index, index)]))
    return out


def spectral_fit_method(recording: Recording, model: Union[SpectralModel, _types.Path, Mapping[str, Any]], irf: Union[Tuple[npt.ArrayLike, npt.ArrayLike], npt.ArrayLike, Mapping[float, Any]], *,
                        free: Optional[Union[Sequence[str], Mapping[str, Tuple[Optional[float], Optional[float]]]]] = None,
                        start: Optional[Union[BaselineFit, SpectralModel, Mapping[str, Any]]] = None,
                        baseline: Optional[Tuple[float, float]] = None, client: Any = None, chunk_size: int = 8,
                        workers: Optional[int] = None, progress: Optional[bool] = None,
                        engine: _types.Engine = "fast", source: Optional[int] = None) -> Analysis:
    """Joint fits of every channel (all distances and wavelengths) at each time point to the
    spectral model, of a few parameters, warm-started from the previous time point.

    Parameters
    ----------
    recording : Recording with gated data
    model : the spectral model as baseline_fit takes it
    irf : as for baseline_fit
    free : names fitted at each time point, a list or {name: (lower, upper)}; default the
        bottom layer's HbO<L> and HbR<L> (bounds from the model where it frees them)
    start : a BaselineFit (or SpectralModel) whose values are the start and hold every value
        not fitted; default baseline_fit(recording, model, irf, baseline=...) first
    baseline, client, chunk_size, workers, progress, engine, source : as for fit_method; each
        chunk starts from `start`, so the results depend on chunk_size but not on where the
        chunks run

    Returns an Analysis with changes=False: per layer HbO, HbR (uM), StO2 (%), and the mua and
    musp they give at each wavelength; success[t, w] False at every wavelength of a time point
    whose fit nlayer.fit flagged. Ctrl-C stops it within a fit and raises KeyboardInterrupt.
    """
    _dtofs(recording, "spectral_fit_method")
    recording = _one_source(recording, source)
    t_ps, dtofs = _dtofs(recording, "spectral_fit_method")
    engine = _checks.engine(engine)
    if start is None:
        start = baseline_fit(recording, model, irf, baseline=baseline, engine=engine)
    fitted = start.model if isinstance(start, BaselineFit) else spectral_model(start)
    L = fitted.layers
    if free is None:
        free = [f"HbO{L}", f"HbR{L}"]
    chosen = dict(free) if isinstance(free, dict) else {name: fitted.free.get(name, (None, None)) for name in free}
    unknown = [name for name in chosen if name not in fitted.values]
    if unknown:
        raise ValueError(f"the model has no parameter {', '.join(unknown)}; its names are "
                         f"{', '.join(sorted(fitted.values))}")
    ties = {name: target for name, target in fitted.ties.items() if target in chosen}
    chunk = _checks.positive_count(chunk_size, "chunk_size")
    irfs = _irf_by_channel(recording, irf)
    wavelengths = recording.wavelengths[recording.wavelength_index]
    T, W = len(recording.time_s), len(recording.wavelengths)
    tasks = [(start_index, (t_ps, dtofs[start_index:start_index + chunk], irfs,
                            recording.rho_mm, wavelengths, fitted, chosen, ties, engine))
             for start_index in range(0, T, chunk)]
    series = {name: np.empty(T) for name in chosen}
    covariance = np.empty((T, len(chosen), len(chosen)))
    success = np.zeros((T, W), dtype=bool)

    def store(start_index, results):
        for i, (values, ok, cov) in enumerate(results):
            for name, value in values.items():
                series[name][start_index + i] = value
            success[start_index + i] = ok
            covariance[start_index + i] = cov

    _run_chunks(_spectral_chunk, tasks, store, T, client=client, workers=workers, progress=progress)

    def course(name):
        target = ties.get(name, name)
        return series[target] if target in series else np.full(T, fitted.values[name])

    chromophores = fitted.chromophores
    amounts = np.stack([np.stack([course(f"{c}{k}") for c in chromophores], axis=-1) for k in range(1, L + 1)],
                       axis=1)                                    # (T, L, chromophores)
    hbo, hbr = amounts[..., 0], amounts[..., 1]
    per_unit = fitted.absorption(recording.wavelengths)            # (W, chromophores)
    mua, musp = np.empty((T, L, W)), np.empty((T, L, W))
    courses = {name: course(name) for name in fitted.values}
    for t in range(T):
        now = {name: values[t] for name, values in courses.items()}
        for w, medium in enumerate(fitted.media(recording.wavelengths, now)):
            mua[t, :, w] = [layer.mua for layer in medium.layers]
            musp[t, :, w] = [layer.musp for layer in medium.layers]
    # Errors from each fit's covariance of the layer's chromophores; NaN for what was not fitted.
    order = {name: i for i, name in enumerate(chosen)}
    layer_cov = np.zeros((T, L, len(chromophores), len(chromophores)))
    is_fitted = np.zeros((L, len(chromophores)), dtype=bool)
    for k in range(1, L + 1):
        at = [order.get(ties.get(name, name)) for name in (f"{c}{k}" for c in chromophores)]
        is_fitted[k - 1] = [i is not None for i in at]
        for i, p_at in enumerate(at):
            for j, q_at in enumerate(at):
                if p_at is not None and q_at is not None:
                    layer_cov[:, k - 1, i, j] = covariance[:, p_at, q_at]
    with np.errstate(invalid="ignore"):
        hbo_err = np.sqrt(layer_cov[..., 0, 0])
        hbr_err = np.sqrt(layer_cov[..., 1, 1])
        mua_err = np.sqrt(np.maximum(np.einsum("wi,tlij,wj->tlw", per_unit, layer_cov, per_unit), 0.0))
    hbo_err[:, ~is_fitted[:, 0]] = np.nan
    hbr_err[:, ~is_fitted[:, 1]] = np.nan
    mua_err[:, ~is_fitted.any(axis=1)] = np.nan
    with np.errstate(invalid="ignore", divide="ignore"):
        sto2 = 100.0 * hbo / (hbo + hbr)
    t0, t1 = start.baseline if isinstance(start, BaselineFit) else baseline_window(recording, baseline)
    d_mean, d_var = _changes_of_moments(t_ps, dtofs, (recording.time_s >= t0) & (recording.time_s <= t1))
    return Analysis(method="fit", changes=False, time_s=recording.time_s,
                    wavelengths=np.asarray(recording.wavelengths, dtype=float), baseline=(t0, t1),
                    names=[f"layer {k}" for k in range(1, L + 1)], groups=[[k] for k in range(1, L + 1)],
                    mua=mua, musp=musp, hbo=hbo, hbr=hbr, sto2=sto2, success=success, recording=recording,
                    d_mean_ps=d_mean, d_var_ps2=d_var,
                    mua_err=mua_err, hbo_err=hbo_err, hbr_err=hbr_err)
