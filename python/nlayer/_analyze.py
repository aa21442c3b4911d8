"""nlayer-analyze: hemoglobin changes per layer from a time-domain recording in a SNIRF file."""

import argparse
import io
import os
import sys
import warnings

import numpy as np

from . import _nlayer
from . import _output

EXIT_INPUT = 1
EXIT_FLAGGED = 3
EXIT_INTERRUPTED = 130


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(2, f"{self.prog}: error: {message}\nRun with --help for more information.\n")


def _models(text):
    """{wavelength: (path)} from "760=head760.dat,850=head850.dat", or a spectral model's
    problem file (a path ending in .toml) as it is."""
    if "=" not in text and text.strip().lower().endswith(".toml"):
        return text.strip()
    out = {}
    for item in filter(None, (part.strip() for part in text.split(","))):
        wavelength, sep, path = item.partition("=")
        try:
            value = float(wavelength)
        except ValueError:
            value = None
        if not sep or value is None or not path:
            raise argparse.ArgumentTypeError(f"{item!r} is not WAVELENGTH=MODELFILE (e.g. 760=head760.dat)")
        out[value] = path
    if not out:
        raise argparse.ArgumentTypeError("no model given")
    return out


def _baseline(text):
    first, sep, last = text.partition(":")
    try:
        t0, t1 = float(first), float(last)
    except ValueError:
        t0 = t1 = None
    if not sep or t0 is None or not np.isfinite([t0, t1]).all() or not t1 >= t0:
        raise argparse.ArgumentTypeError(f"{text!r} is not T0:T1 in seconds with T0 <= T1, both finite")
    return t0, t1


def _groups(text):
    out = []
    for item in filter(None, (part.strip() for part in text.split(","))):
        first, sep, last = item.partition("-")
        try:
            out.append(list(range(int(first), int(last) + 1)) if sep else [int(first)])
        except ValueError:
            raise argparse.ArgumentTypeError(f"{item!r} is not a layer or a range of layers (e.g. 1-3)") from None
        if not out[-1]:
            raise argparse.ArgumentTypeError(f"{item!r} is an empty range of layers: write the lower layer first")
    return out


def _sources(text):
    out = []
    for item in filter(None, (part.strip() for part in text.split(","))):
        first, sep, last = item.partition("-")
        try:
            out += list(range(int(first), int(last) + 1)) if sep else [int(first)]
        except ValueError:
            raise argparse.ArgumentTypeError(f"{item!r} is not a source or a range of sources (e.g. 1,3 or 2-5)") from None
    if not out or min(out) < 1:
        raise argparse.ArgumentTypeError(f"{text!r} names no source; sources are numbered from 1")
    return list(dict.fromkeys(out))


def _finite(text):
    try:
        value = float(text)
    except ValueError:
        value = None
    if value is None or not np.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return value


def _parser():
    from . import __version__

    parser = _Parser(
        prog="nlayer-analyze",
        description="Changes of hemoglobin in each layer of a layered model from a time-domain NIRS recording "
                    "(SNIRF: gated DTOFs, dataType 201, or moments, dataType 301).",
        epilog="Exit status: 0 done, 1 a file that cannot be read or analysed, 2 a bad command line, "
               "3 fits that nlayer.fit flags as not to be trusted or a baseline that does not fit the model (results "
               "still written), 130 interrupted.")
    parser.add_argument("recording", metavar="RECORDING.snirf", help="the recording")
    parser.add_argument("--model", required=True, type=_models, metavar="NM=FILE,...|PROBLEM.toml",
                        help="the baseline model at each wavelength, model files as nlayer-run reads them "
                             "(their last line, the distance, may be left out: each channel's comes from the "
                             "probe), "
                             "e.g. 760=head760.dat,850=head850.dat; or a spectral model, a problem file as "
                             "nlayer-fit reads it (its [spectral] section and layers; curves ignored): then a "
                             "baseline fit of all channels first finds each layer's absolute values")
    parser.add_argument("--method", choices=("moments", "fit"), default="moments",
                        help="moments: changes of the DTOFs' moments through the model's sensitivities (default); "
                             "fit: nlayer.fit at every time point")
    parser.add_argument("--baseline", type=_baseline, metavar="T0:T1",
                        help="the baseline period in s (default: before the first stimulus, else the first 10 %%)")
    parser.add_argument("--irf", metavar="IRF",
                        help="the instrument response (a curve file: t_ps and counts); needed by --method fit")
    parser.add_argument("--out", metavar="RESULTS.snirf", help="write the results as SNIRF processed data")
    parser.add_argument("--csv", metavar="OUT", help="write the time courses as a CSV table")
    parser.add_argument("--plot", metavar="OUT.png", help="draw HbO and HbR per layer with the stimuli")
    parser.add_argument("--groups", type=_groups, metavar="LAYERS",
                        help="layers that share one change, e.g. 1-3,4 (default: every layer alone); "
                             "moments and the joint fit")
    parser.add_argument("--fit-baseline", metavar="NAMES",
                        help="fit these properties of the model to every channel's summed baseline DTOF first, "
                             "e.g. musp1,musp4 (mua<k>, musp<k> at every wavelength, d<k>), and analyse against "
                             "the fitted model; gated data and --irf")
    parser.add_argument("--tikhonov", type=_finite, default=None, metavar="A",
                        help="moments: Tikhonov regularisation relative to the largest singular value (default 0)")
    parser.add_argument("--free", default=None, metavar="NAMES",
                        help="fit: the parameters to fit to one channel per wavelength, e.g. mua4,musp4 "
                             "(default: a joint fit of every distance with one mua change per layer or --groups "
                             "group); with a spectral model e.g. HbO2,HbR2 (default: the bottom layer's HbO and HbR)")
    parser.add_argument("--rho", type=_finite, metavar="MM",
                        help="fit with --free: the channel's distance in mm (default: the longest at each wavelength)")
    parser.add_argument("--source", type=_sources, metavar="N[,M...]",
                        help="the sources whose channels are analysed, e.g. 3 or 1,3 or 2-5 (default: every "
                             "source, each with its own detectors)")
    parser.add_argument("--per-channel", action="store_true",
                        help="moments: each source-detector pair (all wavelengths) on its own with a homogeneous "
                             "model, the model's top layer, as device software gives it")
    parser.add_argument("--engine", choices=("fast", "exact"), default="fast",
                        help="the model's engine (default fast)")
    parser.add_argument("--version", action="version", version=f"nlayer-analyze {__version__}")
    return parser


_NOISE = {"baseline": "from the baseline period's scatter (the data's own noise)",
          "baseline, Poisson floor": "from the baseline period's scatter, at least the counts' Poisson noise",
          "Poisson": "from the counts' Poisson noise (the baseline is too short for its scatter)"}


def _summary(analysis):
    """The method, the baseline, and each layer's mean during each stimulus condition (or after
    the baseline when there are none)."""
    rec = analysis.recording
    t = analysis.time_s
    periods = []
    for name, rows in rec.stim:
        during = np.zeros(len(t), dtype=bool)
        for row in np.atleast_2d(np.asarray(rows, dtype=float)) if np.size(rows) else []:
            during |= (t >= row[0]) & (t < row[0] + row[1])
        periods.append((f"during {name}", during))
    if not periods:
        periods.append(("after the baseline", t > analysis.baseline[1]))
    d = "change of " if analysis.changes else ""
    lines = [f"method {analysis.method}; baseline {analysis.baseline[0]:g} to {analysis.baseline[1]:g} s; "
             f"{len(t)} time points, {rec.channels} channels at {', '.join(f'{w:g}' for w in analysis.wavelengths)} nm"]
    if analysis.noise is not None:
        lines.append(f"errors: {_NOISE[analysis.noise]}")
    from .recording import block_average

    for where, during in periods:
        if not np.any(during):
            continue
        means = block_average(analysis, during)
        for g, name in enumerate(analysis.names):
            parts = []
            for label, key in (("HbO", "hbo"), ("HbR", "hbr")):
                mean, error = means[key][0][g], means[key][1][g]
                text = f"{mean:+.3f}"
                if np.isfinite(error):
                    text += f" +- {error:.3f}"
                parts.append(f"{label} {text} uM")
            lines.append(f"{name}: mean {d}{parts[0]}, {parts[1]} {where}")
    return lines


# More rows than this make a figure no screen shows whole.
_PLOTTED_SOURCES = 12


def plot(path, analysis):
    """HbO and HbR of each layer over time, the stimuli shaded; drawn into memory and saved
    through the package's one save (nlayer._output.save). Given one Analysis per source, a row
    of panels per source (the first 12), a column per layer."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    analyses = list(analysis) if isinstance(analysis, (list, tuple)) else [analysis]
    first = analyses[0]
    count = len(first.names)
    shown = analyses[:_PLOTTED_SOURCES]
    if len(analyses) == 1:
        figure, axes = plt.subplots(count, 1, sharex=True, figsize=(7.0, 1.8 + 1.6 * count), squeeze=False)
        panels = [(first, g, axes[g, 0], f"{first.names[g]}\n\u00b5M") for g in range(count)]
    else:
        figure, axes = plt.subplots(len(shown), count, sharex=True, squeeze=False,
                                    figsize=(1.0 + 3.2 * count, 1.8 + 1.3 * len(shown)))
        panels = [(a, g, axes[i, g], (f"S{a.source}" + ("" if a.detector is None else f"-D{a.detector}") +
                                      "\n\u00b5M") if g == 0 else None)
                  for i, a in enumerate(shown) for g in range(count)]
        for g in range(count):
            axes[0, g].set_title(first.names[g], fontsize="medium")
    prefix = "\u0394" if first.changes else ""
    onsets = first.recording.stim_onsets()
    for result, g, axis, label in panels:
        for values, errors, colour, name in ((result.hbo, result.hbo_err, "tab:red", f"{prefix}HbO"),
                                             (result.hbr, result.hbr_err, "tab:blue", f"{prefix}HbR")):
            axis.plot(result.time_s, values[:, g], color=colour, label=name)
            if errors is not None:
                axis.fill_between(result.time_s, values[:, g] - errors[:, g], values[:, g] + errors[:, g],
                                  color=colour, alpha=0.2, linewidth=0)
        for onset, duration in onsets:
            axis.axvspan(onset, onset + duration, color="0.85", zorder=0)
        axis.axvspan(*result.baseline, color="tab:green", alpha=0.08, zorder=0)
        if label:
            axis.set_ylabel(label)
        axis.axhline(0.0, color="0.5", linewidth=0.5)
    axes[0, -1].legend(loc="upper right", fontsize="small")
    more = f"; the first {len(shown)} of {len(analyses)}" if len(analyses) > len(shown) else ""
    figure.suptitle(f"{prefix}HbO and {prefix}HbR per layer ({first.method}; bands: \u00b11 SE; grey: stimuli, "
                    f"green: baseline{more})", fontsize="medium")
    for axis in axes[-1]:
        axis.set_xlabel("time (s)")
    figure.tight_layout()
    image = io.BytesIO()
    try:
        figure.savefig(image, format="png", dpi=100)
    finally:
        plt.close(figure)
    _output.save(path, image.getvalue())


def _unwritable(path):
    """Why `path` cannot be written ("cannot write PATH: reason"), or None: checked before
    anything is read or computed, by the same check nlayer-run and nlayer-fit make."""
    try:
        _output.check(path)
    except OSError as error:
        return error.strerror
    return None


def _same(first, second):
    """Whether two names are one file: the same file when both exist (links included), else
    the same resolved path (two outputs yet to be made)."""
    return _output.same_file(first, second) or os.path.realpath(first) == os.path.realpath(second)


def _spectrum_files(model):
    """The spectrum files a spectral model's problem file names, as far as the library's reader
    reads it now: a model it refuses is refused again, with its reason, before anything is
    written."""
    try:
        spectral = _nlayer.read_problem_model(os.fspath(model))["spectral"] or {"chromophores": []}
    except (OSError, ValueError):
        return []
    return [source for name, _unit, _nm, _values, source in spectral["chromophores"] if name not in ("HbO", "HbR")]


def _inputs(args):
    """(option, name) of every file the run reads."""
    out = [("the recording", args.recording)]
    if isinstance(args.model, str):
        out.append(("--model", args.model))
        out += [(f"a spectrum {args.model} names", path) for path in _spectrum_files(args.model)]
    else:
        out += [(f"--model {wavelength:g}", path) for wavelength, path in args.model.items()]
    if args.irf:
        out.append(("--irf", args.irf))
    return out


def _clash(args):
    """The reason an output would overwrite one of the run's inputs or another output, or
    None: a result written over the recording would lose it."""
    outputs = [(option, path) for option, path in (("--out", args.out), ("--csv", args.csv), ("--plot", args.plot))
               if path is not None]
    for k, (option, path) in enumerate(outputs):
        for what, source in _inputs(args):
            if _same(path, source):
                return f"cannot write {path} ({option}): it is {what} this run reads"
        for other, earlier in outputs[:k]:
            if _same(path, earlier):
                return f"cannot write {path} ({option}): {other} writes it too"
    return None


def _distinct_wavelengths(recording, source):
    """Refuses channels at fewer than two wavelengths: HbO and HbR would come out NaN."""
    used = recording.wavelength_index if source is None else recording.wavelength_index[recording.source == source]
    wavelengths = sorted(set(float(recording.wavelengths[w]) for w in set(used.tolist())))
    if len(used) and len(wavelengths) < 2:
        # (No channel of the source at all is the methods' to report.)
        raise ValueError(f"{recording.file}: {recording.location}: channels at {len(wavelengths)} wavelength "
                         f"({', '.join(f'{w:g}' for w in wavelengths)} nm); HbO and HbR need two or more")


def _left_out_line(names, shown=10):
    """One line naming the channels the reader left out."""
    listed = ", ".join(names[:shown]) + (f", and {len(names) - shown} more" if len(names) > shown else "")
    return f"left out {len(names)} channel{'s' if len(names) != 1 else ''} with no finite value: {listed}"


def _chosen_sources(recording, wanted):
    """The sources to analyse: those asked for, else every source with a channel."""
    present = sorted(set(recording.source.tolist()))
    if wanted is None:
        return present
    absent = [k for k in wanted if k not in present]
    if absent:
        gone = {int(name.split("-")[0][1:]) for name in recording.left_out}
        why = " (every channel of it was left out)" if set(absent) <= gone else ""
        raise ValueError(f"{recording.file}: the recording has no source {', '.join(map(str, absent))}{why}; "
                         f"its sources are {', '.join(map(str, present))}")
    return list(wanted)


def _check_finite(analysis, path):
    """Refuses results that are not finite numbers: they would be printed and saved as if
    they were values."""
    from .recording.moments import _missing

    checked = [("mua", analysis.mua), ("HbO", analysis.hbo), ("HbR", analysis.hbr)]
    if analysis.success is None:
        # Fits give no error for what they hold fixed; the moments method gives one for all.
        checked += [("HbO's error", analysis.hbo_err), ("HbR's error", analysis.hbr_err)]
    for label, values in checked:
        bad = ~np.isfinite(values)
        if analysis.success is None:
            # The time points where the device left a channel out: the solve's to fill or leave.
            bad &= ~_missing(analysis.recording).any(axis=1).reshape((-1,) + (1,) * (values.ndim - 1))
        if analysis.success is not None:
            # Fits flagged as failed are reported by exit status 3 already.
            trusted = analysis.success if values.ndim == 3 else analysis.success.all(axis=1)[:, None]
            bad &= trusted[:, None, :] if values.ndim == 3 else trusted
        if np.any(bad):
            row, group = (int(i) for i in np.argwhere(bad)[0][:2])
            raise ValueError(f"{path}: {label} of {analysis.names[group]} at {analysis.time_s[row]:g} s (row {row + 1}) "
                             "is not a finite number; nothing is written")


# Options that mean something to one method only: given with the other, they would be ignored.
_METHOD_OPTIONS = {"tikhonov": "moments", "free": "fit", "rho": "fit"}


def _saying_warnings(call):
    """call()'s result; what limits it (a RecordingWarning) is said in one line each on stderr,
    and the exit status stays the results'."""
    from . import recording as rec
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", rec.RecordingWarning)
        result = call()
    for note in caught:
        if issubclass(note.category, rec.RecordingWarning):
            print(f"nlayer-analyze: warning: {note.message}", file=sys.stderr)
        else:
            warnings.showwarning(note.message, note.category, note.filename, note.lineno)
    return result


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    for name, method in _METHOD_OPTIONS.items():
        if getattr(args, name) is not None and args.method != method:
            parser.error(f"argument --{name}: belongs to --method {method}, not --method {args.method}")
    if args.per_channel:
        if args.method != "moments":
            parser.error("argument --per-channel: belongs to --method moments, not --method fit")
        if args.groups is not None:
            parser.error("argument --per-channel: a homogeneous model has one layer; --groups has no meaning")
        if isinstance(args.model, str):
            parser.error("argument --per-channel: takes model files (NM=FILE,...), not a spectral model")
        if args.fit_baseline is not None:
            parser.error("argument --per-channel: its homogeneous models are the model's top layer; "
                         "--fit-baseline fits the layered model")
    if args.tikhonov is None:
        args.tikhonov = 0.0
    for path in (args.out, args.csv, args.plot):
        reason = None if path is None else _unwritable(path)
        if reason:
            print(f"nlayer-analyze: {reason}", file=sys.stderr)
            return EXIT_INPUT
    reason = _clash(args)
    if reason:
        print(f"nlayer-analyze: {reason}", file=sys.stderr)
        return EXIT_INPUT
    import nlayer
    from . import recording as rec
    from .recording.analysis import _align_irf

    mismatches = []
    try:
        spectral = isinstance(args.model, str)
        if not spectral:
            media = {wavelength: nlayer.read_model(path, need_rho=False).medium for wavelength, path in args.model.items()}
        irf = nlayer.read_curve(args.irf) if args.irf else None
        recording = rec.read_snirf(args.recording)
        if recording.left_out:
            print(_left_out_line(recording.left_out))
        chosen = _chosen_sources(recording, args.source)
        if args.source is None and len(chosen) > 1:
            # Of a whole head, a source whose channels at a wavelength all died is left out and
            # named; the others still give their results.
            kept = []
            for source in chosen:
                lacking = sorted(set(range(len(recording.wavelengths))) -
                                 set(recording.wavelength_index[recording.source == source].tolist()))
                if lacking:
                    print(f"left out source {source}: no channel at "
                          f"{', '.join(f'{recording.wavelengths[w]:g}' for w in lacking)} nm")
                else:
                    kept.append(source)
            chosen = kept or chosen
        for source in chosen:
            _distinct_wavelengths(recording, source)
        if irf is not None and recording.kind == "gated" and (spectral or args.method == "fit"):
            # The fits need the IRF on the gates; one on bins of their width is moved onto them.
            counts, note = _align_irf(irf, recording.gate_ps)
            if note:
                print(f"--irf: {note}")
            irf = (recording.gate_ps, counts)
        if args.fit_baseline is not None:
            if spectral:
                raise ValueError("--fit-baseline fits a model per wavelength; a spectral model's problem file "
                                 "frees its own parameters")
            if irf is None:
                raise ValueError("--fit-baseline needs the instrument response: give --irf")
        analyses, starts = [], []
        if args.per_channel:
            analyses = _saying_warnings(lambda: rec.per_channel_method(
                recording, media, sources=chosen, baseline=args.baseline, irf=irf, tikhonov=args.tikhonov,
                engine=args.engine))
            starts = [None] * len(analyses)
            for k, analysis in enumerate(analyses):
                _check_finite(analysis, args.recording)
                lines = _summary(analysis)
                for n, line in enumerate(lines):
                    if line.startswith("homogeneous:"):
                        print(f"S{analysis.source}-D{analysis.detector}" + line[len("homogeneous"):])
                    elif k == 0:
                        # What every pair shares, said once.
                        print(line + (" (each source-detector pair homogeneous)" if n == 0 else ""))
        layered = media if not spectral else None
        for source in [] if args.per_channel else chosen:
            if len(chosen) > 1:
                print(f"source {source}:")
            start = check = None
            media = layered
            if args.fit_baseline is not None:
                fitted = rec.fit_baseline(recording, media, irf, args.fit_baseline.split(","), baseline=args.baseline,
                                          engine=args.engine, source=source)
                for line in fitted.lines():
                    print(line)
                media = fitted.media
            if not spectral:
                check = rec.check_baseline(recording, media, irf, baseline=args.baseline, source=source,
                                           engine=args.engine)
                if not check.passed:
                    mismatches.append((source, check.sentence()))
            if spectral:
                if irf is None:
                    raise ValueError("a spectral model (--model PROBLEM.toml) needs the instrument response: give --irf")
                start = rec.baseline_fit(recording, args.model, irf, baseline=args.baseline, engine=args.engine,
                                         source=source)
                for line in start.lines():
                    print(line)
                media = start.media
            if args.method == "moments":
                analysis = _saying_warnings(lambda: rec.moments_method(
                    recording, media, baseline=args.baseline, irf=irf, groups=args.groups, tikhonov=args.tikhonov,
                    engine=args.engine, source=source))
            else:
                if irf is None:
                    raise ValueError("--method fit needs the instrument response: give --irf")
                free = None if args.free is None else [name.strip() for name in args.free.split(",")]
                if spectral:
                    analysis = rec.spectral_fit_method(recording, args.model, irf, free=free, start=start,
                                                       engine=args.engine, source=source)
                else:
                    analysis = rec.fit_method(recording, media, irf, free=free, rho=args.rho, baseline=args.baseline,
                                              engine=args.engine, source=source, groups=args.groups)
            _check_finite(analysis, args.recording)
            if check is not None:
                # Made before the analysis, said with its results: a run refused says nothing else.
                print(check.line())
            for line in _summary(analysis):
                print(line)
            analyses.append(analysis)
            starts.append(start)
        fits = starts if spectral else None
        if args.out:
            rec.write_results(args.out, analyses, baseline_fit=fits)
        if args.csv:
            rec.write_csv(args.csv, analyses, baseline_fit=fits)
        if args.plot:
            plot(args.plot, analyses)
    except KeyboardInterrupt:
        print("nlayer-analyze: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except OSError as error:
        text = str(error)
        if error.filename and error.strerror:
            # The library's own messages already name the file: a reader's starts with it, a
            # save's is "cannot write NAME: reason".
            named = error.strerror.startswith((str(error.filename), f"cannot write {error.filename}"))
            text = error.strerror if named else f"{error.filename}: {error.strerror}"
        print(f"nlayer-analyze: {text}", file=sys.stderr)
        return EXIT_INPUT
    except (ValueError, ArithmeticError) as error:
        print(f"nlayer-analyze: {error}", file=sys.stderr)
        return EXIT_INPUT
    if mismatches:
        for source, sentence in mismatches:
            where = "" if len(chosen) == 1 else f"source {source}: "
            print(f"nlayer-analyze: {where}{sentence}", file=sys.stderr)
        return EXIT_FLAGGED
    flagged = [analysis.source for analysis, start in zip(analyses, starts) if start is not None and not start.success]
    if flagged:
        which = "" if len(chosen) == 1 else f" of source {', '.join(map(str, flagged))}"
        print(f"nlayer-analyze: the baseline fit{which} is not to be trusted (nlayer.fit flagged it)", file=sys.stderr)
        return EXIT_FLAGGED
    judged = [analysis.success for analysis in analyses if analysis.success is not None]
    bad = sum(int((~success).sum()) for success in judged)
    if bad:
        print(f"nlayer-analyze: {bad} of {sum(success.size for success in judged)} fits are not to be trusted "
              "(nlayer.fit flagged them)", file=sys.stderr)
        return EXIT_FLAGGED
    return 0


if __name__ == "__main__":
    sys.exit(main())
