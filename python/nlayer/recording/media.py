"""Hemoglobin's absorption and the media of a recording's wavelengths: the library's spectra
(Chromophore::AbsorptionPerUnit) and SpectralModel::MediumAt, bound in _nlayer."""

from __future__ import annotations

from typing import Any, Dict, Mapping, Sequence, Union

import numpy as np
import numpy.typing as npt

from .. import _nlayer
from .. import _types
from .._nlayer import Medium

# The baseline medium at each wavelength: {wavelength_nm: Medium}, or one Medium per wavelength.
Media = Union[Mapping[float, Medium], Sequence[Medium]]

_hemoglobin_table = None


def _hemoglobin():
    """The library's oxy- and deoxyhemoglobin spectra, as the binding takes chromophores."""
    global _hemoglobin_table
    if _hemoglobin_table is None:
        _hemoglobin_table = list(_nlayer.hemoglobin())
    return _hemoglobin_table


def extinction(wavelength_nm: npt.ArrayLike) -> _types.FloatArray:
    """Molar extinction coefficients (eps_HbO, eps_HbR) in cm^-1/M (decadic), Prahl's table
    interpolated linearly; shape (2,) for one wavelength, (W, 2) for several. 250 to 1000 nm."""
    wavelengths = np.asarray(wavelength_nm, dtype=float)
    # Read as absorption spectra, the library hands back the table's own interpolated values:
    # the coefficients, without the conversion to mua.
    table = [(name, "absorption", nm, values, source) for name, _unit, nm, values, source in _hemoglobin()]
    values = _nlayer.absorption_per_unit(table, wavelengths.ravel().tolist())
    return values.reshape(wavelengths.shape + (2,))


def _mua_per_uM(wavelengths):
    """(W, 2): the mua (1/mm) that 1 uM of HbO and of HbR add at each wavelength."""
    return _nlayer.absorption_per_unit(_hemoglobin(), np.atleast_1d(np.asarray(wavelengths, dtype=float)).tolist())


def hemoglobin_media(wavelengths: npt.ArrayLike, layers: Sequence[Mapping[str, Any]]) -> Dict[float, Medium]:
    """Media at each wavelength from each layer's hemoglobin and scattering.

    layers: a sequence, top first, of dicts with HbO and HbR (uM), musp (1/mm: a number for
    every wavelength, or (a, b) for a * (wavelength / 800 nm)^-b), n, d (mm, as Layer takes it)
    and optionally mua_other (1/mm, absorption of everything else,
    e.g. water). Returns {wavelength: Medium}."""
    nm = [float(w) for w in np.atleast_1d(wavelengths)]
    if not nm:
        return {}
    # Everything else absorbs alike at every wavelength: a flat spectrum of unit absorption.
    other = ("other", "absorption", [min(nm), max(nm)], [1.0, 1.0], "mua_other")
    spectral_layers, geometry = [], []
    for layer in layers:
        musp = layer["musp"]
        a, b = (musp[0], musp[1]) if isinstance(musp, (tuple, list)) else (musp, 0.0)
        spectral_layers.append(([float(layer["HbO"]), float(layer["HbR"]), float(layer.get("mua_other", 0.0))],
                                float(a), float(b)))
        geometry.append(_nlayer.Layer(1.0, 0.0, float(layer["n"]), float(layer["d"])))
    spectral = {"chromophores": _hemoglobin() + [other], "layers": spectral_layers, "reference_nm": 800.0}
    return dict(zip(nm, _nlayer.medium_at(spectral, Medium(geometry), nm)))


def _concentrations(mua, mua_err, wavelengths):
    """(HbO, HbR, their standard errors) in uM from mua (..., W) and its standard errors,
    independent across wavelengths, by least squares over the wavelengths."""
    if len(set(np.asarray(wavelengths, dtype=float).tolist())) < 2:
        # One wavelength (or one given twice) leaves two unknowns to one equation.
        return tuple(np.full(mua.shape[:-1], np.nan) for _ in range(4))
    inverse = np.linalg.pinv(_mua_per_uM(wavelengths))     # (2, W)
    values = mua @ inverse.T
    errors = np.sqrt(mua_err**2 @ (inverse**2).T)
    return values[..., 0], values[..., 1], errors[..., 0], errors[..., 1]


def boxcar(time_s: npt.ArrayLike, onsets_s: npt.ArrayLike, duration_s: float,
           amplitude: float = 1.0) -> _types.FloatArray:
    """amplitude during [onset, onset + duration) for each onset, 0 elsewhere, on time_s."""
    t = np.asarray(time_s, dtype=float)
    on = np.zeros(t.shape)
    for onset in np.atleast_1d(onsets_s):
        on[(t >= onset) & (t < onset + duration_s)] = 1.0
    return amplitude * on


def _media_by_wavelength(media, wavelengths=None):
    """(wavelengths array, list of Medium) from {wavelength: Medium} or a sequence matching
    `wavelengths`."""
    if isinstance(media, dict):
        keys = np.array([float(k) for k in media], dtype=float)
        items = [media[k] for k in media]
        if wavelengths is None:
            return keys, items
        chosen = []
        for wavelength in wavelengths:
            match = np.flatnonzero(np.abs(keys - wavelength) < 0.5)
            if not len(match):
                raise ValueError(f"no model for {wavelength:g} nm; models are given for "
                                 f"{', '.join(f'{k:g}' for k in keys)} nm")
            chosen.append(items[match[0]])
        return np.asarray(wavelengths, dtype=float), chosen
    items = list(media)
    if wavelengths is None or len(items) != len(wavelengths):
        raise ValueError("media must be a dict {wavelength_nm: Medium}, or one Medium per wavelength")
    return np.asarray(wavelengths, dtype=float), items
