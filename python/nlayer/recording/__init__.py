"""Recordings: time-domain NIRS time series in SNIRF files, simulated or measured, analysed for
changes of absorption and hemoglobin in each layer of a model.

    >>> from nlayer import recording as rec
    >>> r = rec.read_snirf("study.snirf")                   # DTOFs: r.counts (T, C, G)
    >>> media = {760: nlayer.read_model("head760.dat").medium, 850: nlayer.read_model("head850.dat").medium}
    >>> result = rec.moments_method(r, media)               # changes per layer against the baseline
    >>> result.hbo[:, 3]                                    # the brain's (layer 4) HbO change, uM
    >>> rec.write_results("results.snirf", result)

Two methods: moments_method (changes of the DTOFs' total, mean time and variance against a
baseline period, turned into changes of mua per layer through the baseline model's
sensitivities, then into HbO and HbR) and fit_method (at every time point a joint fit of every
distance with one mua change per layer or group, warm-started from the previous one, locally or
on a Dask cluster).
simulate_recording writes a recording of a layered medium whose hemoglobin changes in time.
check_baseline holds each channel's baseline against the model before an analysis;
fit_baseline fits chosen properties of the model to the baseline where it does not hold.
baseline_fit and spectral_fit_method fit a spectral model to every channel at once.

The package's modules: media (hemoglobin's absorption, media per wavelength), analysis (the
result and what the methods share), simulate, moments, blocks (errors of changes and block
means under serially correlated noise), fits (per time point), spectral (joint fits to a
spectral model) and output (SNIRF and CSV).

Units: mua and musp in 1/mm, concentrations in uM (micromol per litre), times of flight in ps,
the recording's time in s, distances in mm. Extinction coefficients are Prahl's tabulation
(decadic, cm^-1/M), so that mua = ln(10) * (eps_HbO [HbO] + eps_HbR [HbR]).
"""

from .._snirf import Recording, RecordingError, read_snirf, write_recording
from .analysis import Analysis, analyse_sources, per_channel_method
from .baseline_check import BaselineCheck, BaselineModelFit, check_baseline, fit_baseline
from .blocks import block_average
from .fits import fit_method
from .media import boxcar, extinction, hemoglobin_media
from .moments import RecordingWarning, dtof_moments, moments_method
from .output import write_csv, write_results
from .simulate import simulate_recording
from .spectral import BaselineFit, SpectralModel, baseline_fit, spectral_fit_method, spectral_model

__all__ = ["Analysis", "BaselineCheck", "BaselineFit", "BaselineModelFit", "Recording", "RecordingError",
           "RecordingWarning", "SpectralModel", "analyse_sources", "baseline_fit", "block_average", "boxcar",
           "check_baseline", "dtof_moments", "extinction", "fit_baseline", "fit_method", "per_channel_method",
           "spectral_fit_method", "spectral_model",
           "hemoglobin_media", "moments_method", "read_snirf", "simulate_recording", "write_csv",
           "write_recording", "write_results"]
