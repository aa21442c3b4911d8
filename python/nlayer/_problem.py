"""Joint fits of several curves (distances, wavelengths) to one layered medium or to its
spectral model, and simulated measurements."""

from __future__ import annotations

import os
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from . import _checks
from . import _nlayer
from . import _types
from ._nlayer import Medium
from ._result import FitResult


def simulate_counts(medium: Medium, rho: _types.Real, irf: npt.ArrayLike, *, total_counts: float, dt_ps: float,
                    background: float = 0.0, seed: int = 1, shift_ps: float = 0.0, threads: int = 0,
                    engine: _types.Engine = "fast") -> _types.FloatArray:
    """Poisson counts of a measurement: the model's curve at `rho` (mm) convolved with `irf`
    (counts on bins of `dt_ps` ps, any scale), delayed by `shift_ps` (any fraction of a bin),
    scaled so that its expected counts over the IRF's bins add up to `total_counts`, plus
    `background` expected counts per bin, drawn with the generator seeded by `seed` (the same
    seed gives the same counts). Returns an array of counts on the IRF's bins.

    total_counts and dt_ps are keyword-only: both are floats, and the C++ SimulateCounts takes
    them in the other order (dt_ps first).

    >>> irf = np.exp(-0.5 * ((np.arange(400) * 10.0 - 300) / 40) ** 2)
    >>> counts = nlayer.simulate_counts(m, 30.0, irf, total_counts=1e6, dt_ps=10.0, seed=3)
    """
    _checks.medium(medium)
    distance = _checks.distance(rho)
    response = _checks.vector(irf, "irf")
    return _nlayer.simulate_counts(medium, distance, response, _checks.real(dt_ps, "dt_ps"),
                                   _checks.real(total_counts, "total_counts"), _checks.real(shift_ps, "shift_ps"),
                                   _checks.real(background, "background"),
                                   _checks.integer(seed, "seed", 0, 2**63 - 1), _checks.threads(threads),
                                   _checks.engine(engine))


def hemoglobin_spectra() -> Dict[str, Tuple[_types.FloatArray, _types.FloatArray]]:
    """The molar extinction coefficients of oxy- and deoxyhemoglobin (S. Prahl's compilation,
    250 to 1000 nm in 2 nm steps, decadic, cm^-1/M) that spectral fits use:
    {"HbO": (wavelength_nm, epsilon), "HbR": (wavelength_nm, epsilon)}."""
    return {name: (nm, values) for name, _unit, nm, values, _source in _nlayer.hemoglobin()}


CHROMOPHORE_UNITS = ("molar_extinction", "absorption")


# A chromophore as the library takes it: (name, unit, wavelength_nm, values, source).
Chromophore = Tuple[str, str, _types.FloatArray, _types.FloatArray, str]


def chromophore_items(items: Sequence[Union[str, Tuple[Any, ...]]]) -> List[Chromophore]:
    """Chromophores as the library takes them, (name, unit, wavelength_nm, values, source), from
    the names of the shipped ones ("HbO", "HbR") and tuples (name, unit, wavelength_nm, values)
    of others."""
    shipped = {c[0]: c for c in _nlayer.hemoglobin()}
    chromophores = []
    for item in items:
        if isinstance(item, str):
            if item not in shipped:
                raise ValueError(f"no chromophore '{item}' is shipped ('HbO', 'HbR'); give others as "
                                 "(name, unit, wavelength_nm, values)")
            chromophores.append(shipped[item])
        else:
            name, unit, nm, values = item[:4]
            _checks.choice(unit, "unit", CHROMOPHORE_UNITS)
            chromophores.append((str(name), unit, _checks.vector(nm, "wavelength_nm"),
                                 _checks.vector(values, "values"), "given in Python"))
    return chromophores


class FitProblem:
    """Several measured curves fitted at once to one layered medium.

    Build it from a problem file (FitProblem.from_file("head.toml"), the format nlayer-fit
    reads) or in code:

    >>> p = nlayer.FitProblem(medium)                       # start and fixed values
    >>> p.add_curve(counts_10, irf, rho=10, t_ps=t)         # or file names
    >>> p.add_curve(counts_30, irf, rho=30, t_ps=t)
    >>> p.free("mua2", lower=0.001, upper=0.1); p.free("musp2")
    >>> result = nlayer.fit(p)

    With curves at several wavelengths, give the medium at each (`media={760: m760, ...}`):
    the names then carry the wavelength, "mua2@760". With a spectral model
    (`spectral=dict(chromophores=["HbO", "HbR"], reference_nm=800, layers=[dict(HbO=..., HbR=...,
    a=..., b=...), ...])`), each layer's mua is ln(10) sum_c epsilon_c C_c and its mus'
    a (lambda / reference)^-b; the parameters are "HbO<k>" (µM), "HbR<k>", "a<k>", "b<k>" and
    "d<k>". n and the thicknesses always come from `medium`.
    """

    def __init__(self, medium: Medium, *, media: Optional[Mapping[float, Medium]] = None,
                 spectral: Optional[Mapping[str, Any]] = None, statistic: str = "poisson",
                 engine: _types.Engine = "fast", threads: int = 0, starts: int = 0, seed: int = 1,
                 ambiguity_threshold: float = 1.0, spectrum_tolerance: float = 1e-8, max_iterations: int = 100,
                 profile: Sequence[str] = ()) -> None:
        _checks.medium(medium)
        self._setup: Dict[str, Any] = {
            "curves": [], "medium": medium, "media": [], "free": [], "spectral": None,
            "statistic": _checks.choice(statistic, "statistic", ("poisson", "chi2")),
            "engine": _checks.engine(engine), "threads": _checks.threads(threads),
            "spectrum_tolerance": _checks.real(spectrum_tolerance, "spectrum_tolerance"),
            "max_iterations": _checks.positive_count(max_iterations, "max_iterations", 10000),
            "starts": _checks.integer(starts, "starts", 0, 1000),
            "ambiguity_threshold": _checks.real(ambiguity_threshold, "ambiguity_threshold"),
            "seed": _checks.integer(seed, "seed", 0, 2**63 - 1),
            "profile": [str(name) for name in profile],
        }
        for nm, m in (media or {}).items():
            _checks.medium(m)
            self._setup["media"].append((_checks.real(nm, "wavelength"), m))
        if spectral is not None:
            self._setup["spectral"] = self._spectral(spectral)

    @staticmethod
    def _spectral(spectral):
        chromophores = chromophore_items(spectral.get("chromophores", ("HbO", "HbR")))
        layers = []
        for number, layer in enumerate(spectral["layers"], start=1):
            names = [c[0] for c in chromophores]
            unknown = set(layer) - set(names) - {"a", "b"}
            if unknown:
                raise ValueError(f"layer {number} names {sorted(unknown)}, which are neither chromophores "
                                 f"({', '.join(names)}) nor a, b")
            missing = [n for n in names + ["a", "b"] if n not in layer]
            if missing:
                raise ValueError(f"layer {number} has no value of {', '.join(missing)}")
            layers.append(([_checks.real(layer[n], f"{n} of layer {number}") for n in names],
                           _checks.real(layer["a"], f"a of layer {number}"),
                           _checks.real(layer["b"], f"b of layer {number}")))
        return {"chromophores": chromophores, "layers": layers,
                "reference_nm": _checks.real(spectral.get("reference_nm", 800.0), "reference_nm")}

    @classmethod
    def from_file(cls, path: _types.Path) -> FitProblem:
        """The problem of a TOML problem file (see docs/fitting.md); its curve and IRF files are
        read relative to its folder. Raises OSError for a file that cannot be read and
        ValueError naming the file and line for one that breaks the format."""
        problem = cls.__new__(cls)
        problem._setup = _nlayer.read_problem(_checks.path(path))
        return problem

    def add_curve(self, measured: Any, irf: Any, rho: _types.Real, *, t_ps: Optional[npt.ArrayLike] = None,
                  wavelength: Optional[float] = None, shift_ps: Optional[float] = None, background: str = "none",
                  label: Optional[str] = None, fit_range: Tuple[float, float] = (0.1, 0.01),
                  window_ps: Optional[Tuple[float, float]] = None) -> FitProblem:
        """Adds a measured curve: `measured` and `irf` as file names, pairs (t_ps, counts),
        (N, 2) arrays, or counts with `t_ps`; `rho` in mm; `wavelength` in nm where the problem
        has media per wavelength or a spectral model; `shift_ps` a calibrated shift held fixed;
        `background` "none", "estimated" (the mean before the rise, held) or "fitted"."""
        if t_ps is not None:
            times = _checks.vector(t_ps, "t_ps")
            if isinstance(measured, (str, bytes, os.PathLike)):
                raise ValueError("t_ps goes with counts, not with a file name")
            counts = _checks.vector(measured, "measured")
            irf_t, irf_counts = _checks.curve(irf, "irf", bins=len(counts))
        else:
            times, counts = _checks.curve(measured, "measured")
            if times is None:
                raise ValueError("measured needs its times: a file name, a pair (t_ps, counts), an (N, 2) array, "
                                 "or counts with t_ps")
            irf_t, irf_counts = _checks.curve(irf, "irf", bins=len(counts))
        _checks.choice(background, "background", ("none", "estimated", "fitted"))
        if label is None:
            label = os.path.basename(os.fspath(measured)) if isinstance(measured, (str, os.PathLike)) \
                else f"curve {len(self._setup['curves']) + 1}"
        self._setup["curves"].append({
            "label": str(label), "t_ps": np.asarray(times, dtype=float), "counts": np.asarray(counts, dtype=float),
            "irf": np.asarray(irf_counts, dtype=float),
            "irf_t_ps": np.asarray([] if irf_t is None else irf_t, dtype=float),
            "rho": _checks.distance(rho),
            "wavelength": None if wavelength is None else _checks.real(wavelength, "wavelength"),
            "shift_ps": None if shift_ps is None else _checks.real(shift_ps, "shift_ps"),
            "background": background,
            "fit_range": tuple(_checks.real(x, "fit_range") for x in fit_range),
            "window_ps": None if window_ps is None else tuple(_checks.real(x, "window_ps") for x in window_ps),
        })
        return self

    def free(self, name: str, *, start: Optional[float] = None, lower: Optional[float] = None,
             upper: Optional[float] = None) -> FitProblem:
        """Frees a parameter (see the class's names), with an optional start and bounds."""
        self._drop(name)
        self._setup["free"].append((str(name), None if lower is None else _checks.real(lower, f"lower bound of {name}"),
                                   None if upper is None else _checks.real(upper, f"upper bound of {name}"),
                                   None if start is None else _checks.real(start, f"start of {name}"), ""))
        return self

    def tie(self, name: str, to: str) -> FitProblem:
        """Makes `name` take the value of the free parameter `to` (e.g. tie("musp2", "musp1"))."""
        self._drop(name)
        self._setup["free"].append((str(name), None, None, None, str(to)))
        return self

    def fix(self, name: str) -> FitProblem:
        """Holds a parameter at its model value again."""
        self._drop(name)
        return self

    def _drop(self, name):
        self._setup["free"] = [f for f in self._setup["free"] if f[0] != name]

    @property
    def curves(self) -> List[Dict[str, Any]]:
        """The curves as dicts (label, t_ps, counts, irf, rho, wavelength, ...)."""
        return list(self._setup["curves"])

    @property
    def free_parameters(self) -> Dict[str, Tuple[Any, ...]]:
        """name -> (lower, upper, start, tied_to) of the free and tied parameters."""
        return {f[0]: f[1:] for f in self._setup["free"]}

    def __repr__(self) -> str:
        return (f"FitProblem({len(self._setup['curves'])} curves, free: "
                f"{', '.join(f[0] + (' = ' + f[4] if f[4] else '') for f in self._setup['free']) or 'nothing'})")


def fit_problem(problem: Union[FitProblem, _types.Path], *, profile: Optional[Union[str, Sequence[str]]] = None,
                starts: Optional[int] = None, engine: Optional[_types.Engine] = None,
                threads: Optional[int] = None) -> FitResult:
    """Fits a FitProblem (or a problem file's path); see nlayer.fit."""
    if isinstance(problem, (str, bytes, os.PathLike)):
        problem = FitProblem.from_file(problem)
    if not isinstance(problem, FitProblem):
        raise TypeError(f"expected a FitProblem or a problem file's path, not {type(problem).__name__}")
    setup = dict(problem._setup)
    if profile is not None:
        setup["profile"] = [str(name) for name in ([profile] if isinstance(profile, str) else profile)]
    if starts is not None:
        setup["starts"] = _checks.integer(starts, "starts", 0, 1000)
    chosen_engine = _checks.engine(engine) if engine is not None else setup["engine"]
    chosen_threads = _checks.threads(threads) if threads is not None else setup["threads"]
    raw = _nlayer.fit_problem(setup, chosen_threads, chosen_engine)
    first = raw["curves"][0]
    return FitResult(raw, first["t_ps"], first["measured"])
