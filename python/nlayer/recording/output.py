"""An analysis written as SNIRF processed data or as a CSV table."""

from __future__ import annotations

import csv
import io

from typing import TYPE_CHECKING, Optional

import numpy as np

from .. import _output
from .. import _types
from .._snirf import write_results as _write_blocks
from .analysis import Analysis

if TYPE_CHECKING:
    from .spectral import BaselineFit


def _baseline_series(fit, length):
    """Per layer, (label, unit, wavelength index or 0, value, error) of a baseline fit's values."""
    out = []
    for k in range(len(fit.hbo)):
        rows = [("HbO", "uM", 0, fit.hbo[k], fit.hbo_err[k]), ("HbR", "uM", 0, fit.hbr[k], fit.hbr_err[k]),
                ("HbT", "uM", 0, fit.hbt[k], fit.hbt_err[k]), ("StO2", "%", 0, fit.sto2[k], fit.sto2_err[k])]
        rows += [("musp", "mm-1", w + 1, fit.musp[k, w], fit.musp_err[k, w]) for w in range(len(fit.wavelengths))]
        out.append([(label, unit, w, np.full(length, value), np.full(length, error))
                    for label, unit, w, value, error in rows])
    return out


def write_results(path: _types.Path, analysis: Analysis, baseline_fit: Optional[BaselineFit] = None) -> None:
    """Writes an Analysis as SNIRF processed data (dataType 99999): one data(j) per layer (or
    group of layers), named "layer 4" ("layers 1-3"), with mua (and musp) per wavelength in
    "mm-1", HbO, HbR, HbT in "uM" (and StO2 in "%" from fits), sourceIndex the recording's
    source; SNIRF has no index for "none", so a value that belongs to no single detector or
    wavelength names the first detector of the source's channels and wavelength 1 (its
    dataTypeLabel says what it is);
    then a data block "channels" with dMean ("ps") and dVar ("ps2") of every channel. The time
    axis, probe, metaDataTags and stim are the recording's. With a BaselineFit, a data block
    "baseline layer k" per layer follows with its absolute HbO, HbR, HbT ("uM"), StO2 ("%")
    and musp at each wavelength ("mm-1"), the same value at every time point. Written to a
    temporary file and renamed: nothing half-written is left behind."""
    rec = analysis.recording
    # The methods analyse one source at a time.
    source, detector = int(rec.source[0]), int(np.min(rec.detector))
    blocks = []
    for g, name in enumerate(analysis.names):
        series = []
        for w in range(len(analysis.wavelengths)):
            series.append(("mua", "mm-1", source, detector, w + 1, analysis.mua[:, g, w]))
        if analysis.musp is not None:
            for w in range(len(analysis.wavelengths)):
                series.append(("musp", "mm-1", source, detector, w + 1, analysis.musp[:, g, w]))
        if len(analysis.wavelengths) >= 2:
            series += [("HbO", "uM", source, detector, 1, analysis.hbo[:, g]),
                       ("HbR", "uM", source, detector, 1, analysis.hbr[:, g]),
                       ("HbT", "uM", source, detector, 1, analysis.hbt[:, g])]
            if analysis.sto2 is not None:
                series.append(("StO2", "%", source, detector, 1, analysis.sto2[:, g]))
        blocks.append((name, series))
    channel_series = []
    for c in range(rec.channels):
        where = (int(rec.source[c]), int(rec.detector[c]), int(rec.wavelength_index[c]) + 1)
        channel_series.append(("dMean", "ps", *where, analysis.d_mean_ps[:, c]))
        channel_series.append(("dVar", "ps2", *where, analysis.d_var_ps2[:, c]))
    blocks.append(("channels", channel_series))
    if baseline_fit is not None:
        for k, rows in enumerate(_baseline_series(baseline_fit, len(rec.time_s)), start=1):
            blocks.append((f"baseline layer {k}", [(label, unit, source, detector, max(w, 1), value)
                                                    for label, unit, w, value, _error in rows]))
    _write_blocks(path, rec, blocks)


def write_csv(path: _types.Path, analysis: Analysis, baseline_fit: Optional[BaselineFit] = None) -> None:
    """The time courses as a CSV table: time_s, then for each layer HbO, HbR, HbT (uM), mua at
    each wavelength (1/mm; changes for the moments method, as the column names say with a
    leading d), HbO, HbR and each mua followed by its standard error (..._err_...), written
    through the package's one save (nlayer._output.save). With a BaselineFit, columns
    L<k>_baseline_HbO_uM, ..._HbO_err_uM (and HbR, HbT, StO2 in %, musp<nm> in 1/mm) follow,
    the same value in every row."""
    prefix = "d" if analysis.changes else ""
    header = ["time_s"]
    columns = [analysis.time_s]
    for g, name in enumerate(analysis.names):
        label = name.replace("layers ", "L").replace("layer ", "L").replace(",", "+")
        for quantity, values, errors in (("HbO", analysis.hbo, analysis.hbo_err), ("HbR", analysis.hbr, analysis.hbr_err),
                                         ("HbT", analysis.hbt, None)):
            header.append(f"{label}_{prefix}{quantity}_uM")
            columns.append(values[:, g])
            if errors is not None:
                header.append(f"{label}_{prefix}{quantity}_err_uM")
                columns.append(errors[:, g])
        for w, wavelength in enumerate(analysis.wavelengths):
            header.append(f"{label}_{prefix}mua{wavelength:g}_mm-1")
            columns.append(analysis.mua[:, g, w])
            if analysis.mua_err is not None:
                header.append(f"{label}_{prefix}mua{wavelength:g}_err_mm-1")
                columns.append(analysis.mua_err[:, g, w])
    if baseline_fit is not None:
        for k, rows in enumerate(_baseline_series(baseline_fit, len(analysis.time_s)), start=1):
            for quantity, unit, w, value, error in rows:
                name = quantity if w == 0 else f"{quantity}{baseline_fit.wavelengths[w - 1]:g}"
                header += [f"L{k}_baseline_{name}_{unit}", f"L{k}_baseline_{name}_err_{unit}"]
                columns += [value, error]
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(header)
    for row in np.column_stack(columns):
        writer.writerow([repr(float(x)) for x in row])
    _output.save(path, text.getvalue().encode())
