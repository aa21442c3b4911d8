"""What a fit returns, one curve's or a joint problem's."""

from __future__ import annotations

import json
from typing import Any, Dict, List, Tuple

import numpy as np

from ._nlayer import Medium


class FitResult:
    """What nlayer.fit found.

    values        dict: name -> estimate; mua<k>, musp<k> in 1/mm, d1 in mm, amplitude in counts
                  mm^2 (the model's counts add up to amplitude times the continuous-wave
                  reflectance), shift_ps (the measurement's delay behind the IRF), background
                  (counts per bin) when fitted
    standard_error  dict: name -> standard error from the covariance at the optimum (NaN where
                  it is singular); `stderr` is the same dict under the name earlier versions used
    start, bounds dict: name -> the start value, the (lower, upper) bounds
    chi2_reduced  the sum of the squared residuals over the fit range per degree of freedom
    degrees_of_freedom
    t_ps, measured, model_counts, residuals   every bin (arrays); residuals are the fit's own,
                  with the sign of measured - model: the signed root of each bin's Poisson
                  deviance (about (y - m) / sqrt(m)), or (y - m) / sqrt(max(y, 1)) for chi2
    fit_range     slice of the bins that were fitted; fit_range_ps their first and last time
    medium        the model's Medium with the fitted values
    names         the estimates' names in the order of covariance and correlation's rows
    covariance, correlation   (n, n) arrays over `names` in physical units (NaN where the
                  covariance is singular; 0 in the row and column of a fixed shift)
    fixed         the names held fixed (shift_ps when a calibrated shift was given)
    flags         list of dicts {"kind", "parameters", "sentence"}, one per reason not to trust
                  the fit: "not_converged", "at_bound", "poorly_determined", "not_finite",
                  "model_mismatch", "shift_outside", "not_counts", "ambiguous"
    notes         remarks that raise no flag
    success       True when nothing is flagged
    message       how the solver ended, then every flag's sentence
    poisson_deviance, condition_number, termination, successful_steps
    evaluations   how many times the model's spectrum was computed; iterations; seconds
    report()      everything in words (as nlayer-fit prints it); to_json(), to_dict() for programs

    A joint fit (a FitProblem) also has, and a single curve's fit has for its one curve:
    curves        list of dicts per curve: label, rho, wavelength, t_ps, measured, model_counts,
                  residuals, first_bin, last_bin, chi2_reduced, bins, poisson_deviance, background
                  (t_ps, measured, model_counts and residuals above are the first curve's)
    media         dict wavelength -> fitted Medium, where the problem has wavelengths
    derived       dict name -> (value, standard error): HbT<k> (µM) and StO2<k> with propagated errors
    minima        list of (statistic, values of the free physical parameters, starts, converged)
                  of the distinct minima the starts found, the lowest first
    profiles      dict name -> (value, lower, upper, delta, points, profile) of the
                  profile-likelihood intervals asked for (statistic rising by delta = 1), and of
                  every free parameter whose error exceeds 20 % of its value, unasked (where the
                  interval is the better statement); to_dict()["profiles"] tells which
                  ("by_default") and why an end is NaN ("lower_end", "upper_end": "bound",
                  "flat", "failed")
    """

    values: Dict[str, float]
    standard_error: Dict[str, float]
    start: Dict[str, float]
    bounds: Dict[str, Tuple[float, float]]
    medium: Medium
    chi2_reduced: float
    degrees_of_freedom: int
    t_ps: np.ndarray
    measured: np.ndarray
    model_counts: np.ndarray
    residuals: np.ndarray
    fit_range: slice
    fit_range_ps: Tuple[float, float]
    success: bool
    message: str
    evaluations: int
    iterations: int
    seconds: float
    names: List[str]
    fixed: List[str]
    covariance: np.ndarray
    correlation: np.ndarray
    flags: List[Dict[str, Any]]
    notes: List[str]
    poisson_deviance: float
    condition_number: float
    termination: str
    successful_steps: int
    curves: List[Dict[str, Any]]
    media: Dict[float, Medium]
    derived: Dict[str, Tuple[float, float]]
    minima: List[Tuple[Any, ...]]
    profiles: Dict[str, Tuple[Any, ...]]

    @property
    def stderr(self) -> Dict[str, float]:
        """The standard errors under the name of earlier versions (standard_error)."""
        return self.standard_error

    def __init__(self, raw: Dict[str, Any], t_ps: np.ndarray, measured: np.ndarray) -> None:
        self.values = raw["values"]
        self.standard_error = raw["standard_error"]
        self.start = raw["start"]
        self.bounds = raw["bounds"]
        self.medium = raw["medium"]
        self.chi2_reduced = raw["chi2_reduced"]
        self.degrees_of_freedom = raw["degrees_of_freedom"]
        self.t_ps = t_ps
        self.measured = measured
        self.model_counts = raw["model_counts"]
        self.residuals = raw["residuals"]
        self.fit_range = slice(raw["first_bin"], raw["last_bin"] + 1)
        self.fit_range_ps = (float(t_ps[raw["first_bin"]]), float(t_ps[raw["last_bin"]]))
        self.success = raw["success"]
        self.message = raw["message"]
        self.evaluations = raw["evaluations"]
        self.iterations = raw["iterations"]
        self.seconds = raw["seconds"]
        self.names = list(raw["names"])
        self.fixed = list(raw["fixed"])
        self.covariance = raw["covariance"]
        self.correlation = raw["correlation"]
        self.flags = list(raw["flags"])
        self.notes = list(raw["notes"])
        self.poisson_deviance = raw["poisson_deviance"]
        self.condition_number = raw["condition_number"]
        self.termination = raw["termination"]
        self.successful_steps = raw["successful_steps"]
        self.curves = list(raw.get("curves", []))
        self.media = {nm: m for nm, m in raw.get("media", [])}
        self.derived = {name: (value, error) for name, value, error in raw.get("derived", [])}
        self.minima = list(raw.get("minima", []))
        self.profiles = {p[0]: tuple(p[1:]) for p in raw.get("profiles", [])}
        self._report = raw["report"]
        self._json = raw["json"]

    def report(self) -> str:
        """The whole account in words, as nlayer-fit prints it: estimates, statistics, the
        solver's ending, the correlations and the verdict with a sentence per flag."""
        return self._report

    def to_json(self) -> str:
        """The account as a JSON text (nlayer-fit --json writes the same); NaN and infinity
        as null."""
        return self._json

    def to_dict(self) -> Dict[str, Any]:
        """The account as a dict, as to_json() decodes."""
        return json.loads(self._json)

    def __repr__(self) -> str:
        lines = [f"{name} = {value:.6g} +- {self.standard_error[name]:.3g}" for name, value in self.values.items()]
        lines.append(f"chi2_reduced = {self.chi2_reduced:.4g}")
        state = "converged" if self.success else "NOT to be trusted: " + " ".join(f["sentence"] for f in self.flags)
        lines.append(f"({state}; {self.evaluations} evaluations, {self.iterations} iterations, {self.seconds:.2f} s)")
        return "FitResult(\n  " + "\n  ".join(lines) + "\n)"
