"""An analysis written as SNIRF processed data or as a CSV table."""

from __future__ import annotations

import csv
import io

from typing import TYPE_CHECKING, Optional, Sequence, Union

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


def _as_list(analysis, baseline_fit):
    """The analyses (one per source) and their baseline fits (or Nones), as lists."""
    analyses = [analysis] if isinstance(analysis, Analysis) else list(analysis)
    if not analyses:
        raise ValueError("no analysis to write")
    if baseline_fit is None or not isinstance(baseline_fit, (list, tuple)):
        fits = [baseline_fit] * len(analyses) if len(analyses) == 1 or baseline_fit is None else None
        if fits is None:
            raise ValueError("one baseline fit for several sources: give one per analysis")
    else:
        fits = list(baseline_fit)
        if len(fits) != len(analyses):
            raise ValueError(f"{len(fits)} baseline fits for {len(analyses)} analyses")
    places = [(a.source, a.detector) for a in analyses]
    if len(set(places)) != len(places):
        raise ValueError(f"two analyses of {_place(analyses[places.index(next(k for k in places if places.count(k) > 1))])}")
    return analyses, fits


def _place(analysis):
    """"source 3", or "source 3, detector 6" for one pair analysed on its own."""
    if analysis.detector is None:
        return f"source {analysis.source}"
    return f"source {analysis.source}, detector {analysis.detector}"


def _column_prefix(analysis):
    return f"S{analysis.source}_" + ("" if analysis.detector is None else f"D{analysis.detector}_")


def _positions(probe, which):
    for name in (f"{which}Pos3D", f"{which}Pos2D"):
        if name in probe:
            return np.atleast_2d(np.asarray(probe[name], dtype=float))
    return np.empty((0, 2))


def _per_channel_block(analyses):
    """The block MNE-Python's read_raw_snirf takes (it reads data1 alone, and only HbO and HbR
    in pairs per source-detector channel): each analysed source-detector pair carries HbO and
    HbR of its source's deepest layer (or last group). The reader needs every source and
    detector of the probe in some pair: one that no analysed channel uses is paired with the
    nearest detector (source), without values (NaN)."""
    rec = analyses[0].recording
    length = len(analyses[0].time_s)
    pairs = {}
    for analysis in analyses:
        for detector in sorted(set(analysis.recording.detector.tolist())):
            pairs[(analysis.source, int(detector))] = (analysis.hbo[:, -1], analysis.hbr[:, -1])
    blank = (np.full(length, np.nan), np.full(length, np.nan))
    sources, detectors = _positions(rec.probe, "source"), _positions(rec.probe, "detector")
    dims = min(sources.shape[1], detectors.shape[1])
    apart = np.linalg.norm(sources[:, None, :dims] - detectors[None, :, :dims], axis=2)    # (S, D)
    for s in set(range(1, len(sources) + 1)) - {s for s, _ in pairs}:
        pairs[(s, int(np.argmin(apart[s - 1])) + 1)] = blank
    for d in set(range(1, len(detectors) + 1)) - {d for _, d in pairs}:
        pairs[(int(np.argmin(apart[:, d - 1])) + 1, d)] = blank
    series = []
    for (s, d), (hbo, hbr) in sorted(pairs.items()):
        # In mol/l: MNE takes the values as they are and holds hemoglobin in M.
        series += [("HbO", "M", s, d, 1, 1e-6 * hbo), ("HbR", "M", s, d, 1, 1e-6 * hbr)]
    return f"{analyses[0].names[-1]} per channel", series


def write_results(path: _types.Path, analysis: Union[Analysis, Sequence[Analysis]],
                  baseline_fit: Union[None, BaselineFit, Sequence[Optional[BaselineFit]]] = None) -> None:
    """Writes an Analysis, or one per source (analyse_sources), as SNIRF processed data
    (dataType 99999).

    data1, "layer 4 per channel", is what MNE-Python's read_raw_snirf reads: for every
    source-detector pair analysed, HbO and HbR of its source's deepest layer (or last group),
    in "M" (mol/l, MNE's unit), in pairs (written only with two or more wavelengths). Then one data(j) per source
    and layer (or group of layers), named "layer 4" ("layers 1-3"), or "source 3, layer 4" when
    several sources are written, with mua (and musp) per wavelength in "mm-1", HbO, HbR, HbT in
    "uM" (and StO2 in "%" from fits), sourceIndex the source; SNIRF has no index for "none", so
    a value that belongs to no single detector or wavelength names the first detector of the
    source's channels and wavelength 1 (its dataTypeLabel says what it is);
    then a data block "channels" with dMean ("ps") and dVar ("ps2") of every channel. The time
    axis, probe, metaDataTags and stim are the recording's. With a BaselineFit (one per
    analysis for several), a data block "baseline layer k" ("source 3, baseline layer k") per
    layer follows with its absolute HbO, HbR, HbT ("uM"), StO2 ("%") and musp at each
    wavelength ("mm-1"), the same value at every time point. Written to a temporary file and
    renamed: nothing half-written is left behind."""
    analyses, fits = _as_list(analysis, baseline_fit)
    rec = analyses[0].recording
    several = len(analyses) > 1
    blocks = []
    if len(analyses[0].wavelengths) >= 2:
        blocks.append(_per_channel_block(analyses))
    for analysis in analyses:
        prefix = f"{_place(analysis)}, " if several else ""
        source, detector = analysis.source, int(np.min(analysis.recording.detector))
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
            blocks.append((prefix + name, series))
    channel_series = []
    for analysis in analyses:
        channels = analysis.recording
        for c in range(channels.channels):
            where = (int(channels.source[c]), int(channels.detector[c]), int(channels.wavelength_index[c]) + 1)
            channel_series.append(("dMean", "ps", *where, analysis.d_mean_ps[:, c]))
            channel_series.append(("dVar", "ps2", *where, analysis.d_var_ps2[:, c]))
    blocks.append(("channels", channel_series))
    for analysis, fit in zip(analyses, fits):
        if fit is None:
            continue
        prefix = f"{_place(analysis)}, " if several else ""
        source, detector = analysis.source, int(np.min(analysis.recording.detector))
        for k, rows in enumerate(_baseline_series(fit, len(rec.time_s)), start=1):
            blocks.append((f"{prefix}baseline layer {k}", [(label, unit, source, detector, max(w, 1), value)
                                                           for label, unit, w, value, _error in rows]))
    _write_blocks(path, rec, blocks)


def write_csv(path: _types.Path, analysis: Union[Analysis, Sequence[Analysis]],
              baseline_fit: Union[None, BaselineFit, Sequence[Optional[BaselineFit]]] = None) -> None:
    """The time courses as a CSV table: time_s, then for each layer HbO, HbR, HbT (uM), mua at
    each wavelength (1/mm; changes for the moments method, as the column names say with a
    leading d), HbO, HbR and each mua followed by its standard error (..._err_...), written
    through the package's one save (nlayer._output.save). With a BaselineFit, columns
    L<k>_baseline_HbO_uM, ..._HbO_err_uM (and HbR, HbT, StO2 in %, musp<nm> in 1/mm) follow,
    the same value in every row. With one Analysis per source (analyse_sources) every column
    but time_s starts with its source, S3_L4_dHbO_uM."""
    analyses, fits = _as_list(analysis, baseline_fit)
    several = len(analyses) > 1
    header = ["time_s"]
    columns = [analyses[0].time_s]
    for analysis, fit in zip(analyses, fits):
        source = _column_prefix(analysis) if several else ""
        prefix = "d" if analysis.changes else ""
        for g, name in enumerate(analysis.names):
            label = source + name.replace("layers ", "L").replace("layer ", "L").replace(",", "+")
            for quantity, values, errors in (("HbO", analysis.hbo, analysis.hbo_err),
                                             ("HbR", analysis.hbr, analysis.hbr_err), ("HbT", analysis.hbt, None)):
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
        if fit is not None:
            for k, rows in enumerate(_baseline_series(fit, len(analysis.time_s)), start=1):
                for quantity, unit, w, value, error in rows:
                    name = quantity if w == 0 else f"{quantity}{fit.wavelengths[w - 1]:g}"
                    header += [f"{source}L{k}_baseline_{name}_{unit}", f"{source}L{k}_baseline_{name}_err_{unit}"]
                    columns += [value, error]
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(header)
    for row in np.column_stack(columns):
        writer.writerow([repr(float(x)) for x in row])
    _output.save(path, text.getvalue().encode())
