"""The fit's accuracy and speed over many noise draws: synthetic measurements of known truth
(examples/fit/make_data.py's time-domain route: the model on a fine grid convolved with an IRF
of 118 ps FWHM with an exponential tail, delayed by a fraction of a bin, integrated over
each bin, 10^6 counts with Poisson noise in the curve and in the IRF), each fitted from start
values off the truth. For each case: the largest relative error, how often the truth lies
within three reported standard errors, the mean reduced chi^2, and the median time and
number of forward evaluations.

    PYTHONPATH=build/python /usr/bin/python3 python/benchmarks/bench_fit.py [--seeds N] [--engine exact|fast]
"""

import argparse
import pathlib
import statistics
import sys
import time

import numpy as np

import nlayer

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples" / "fit"))
import make_data  # noqa: E402  (the example's generator of synthetic measurements)

L = nlayer.Layer
CASES = [
    # name, truth, start, free, bin_ps, bins, shift_ps, background
    ("homogeneous, 10 ps bins", nlayer.Medium([L(1.0, 0.01, 1.4, 10.0)]), nlayer.Medium([L(1.3, 0.007, 1.4, 10.0)]),
     ["mua1", "musp1"], 10.0, 400, 36.0, 0.0),
    ("homogeneous, 5 ps bins", nlayer.Medium([L(1.0, 0.01, 1.4, 10.0)]), nlayer.Medium([L(1.3, 0.007, 1.4, 10.0)]),
     ["mua1", "musp1"], 5.0, 800, 36.0, 0.0),
    ("homogeneous, 5 ps bins, background", nlayer.Medium([L(0.8, 0.015, 1.4, 10.0)]),
     nlayer.Medium([L(1.0, 0.01, 1.4, 10.0)]), ["mua1", "musp1"], 5.0, 800, 13.0, 3.0),
    ("two-layer head, top known", nlayer.Medium([L(1.5, 0.015, 1.4, 10.0), L(1.1, 0.02, 1.4, 50.0)]),
     nlayer.Medium([L(1.5, 0.015, 1.4, 10.0), L(1.4, 0.014, 1.4, 50.0)]), ["mua2", "musp2"], 10.0, 400, -22.0, 0.0),
    ("two-layer head, top and bottom mus' known", nlayer.Medium([L(1.5, 0.015, 1.4, 10.0), L(1.1, 0.02, 1.4, 50.0)]),
     nlayer.Medium([L(1.5, 0.015, 1.4, 10.0), L(1.1, 0.014, 1.4, 50.0)]), ["mua2"], 10.0, 400, -22.0, 0.0),
]


def truth_of(name, medium):
    layer = medium.layers[int(name[-1]) - 1]
    return layer.mua if name.startswith("mua") else layer.musp


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seeds", type=int, default=20)
    parser.add_argument("--engine", default="exact")
    args = parser.parse_args()
    for name, truth, start, free, bin_ps, bins, shift_ps, background in CASES:
        t, curve, irf = make_data.expected_counts(truth, bin_ps=bin_ps, bins=bins, shift_ps=shift_ps)
        errors = {p: [] for p in free}
        within = {p: 0 for p in free}
        stderrs = {p: [] for p in free}
        seconds, evaluations, chi2, converged = [], [], [], 0
        for seed in range(args.seeds):
            rng = np.random.default_rng(100 + seed)
            counts = rng.poisson(1e6 * curve + background).astype(float)
            irf_counts = rng.poisson(1e6 * irf).astype(float)
            started = time.perf_counter()
            result = nlayer.fit((t, counts), irf_counts, start, rho=30.0, free=free, background=background > 0,
                                engine=args.engine)
            seconds.append(time.perf_counter() - started)
            evaluations.append(result.evaluations)
            chi2.append(result.chi2_reduced)
            converged += result.success
            for p in free:
                true = truth_of(p, truth)
                errors[p].append(abs(result.values[p] / true - 1))
                stderrs[p].append(result.stderr[p] / true)
                within[p] += abs(result.values[p] - true) <= 3 * result.stderr[p]
        print(f"{name} ({args.engine}, {args.seeds} seeds, {converged} converged):")
        for p in free:
            within_5 = sum(e <= 0.05 for e in errors[p])
            rms = 100 * np.sqrt(np.mean(np.square(errors[p])))
            print(f"  {p}: largest error {100 * max(errors[p]):.2f} %, rms {rms:.2f} %, median reported stderr"
                  f" {100 * statistics.median(stderrs[p]):.2f} %, truth within 3 stderr in {within[p]}/{args.seeds},"
                  f" within 5 % in {within_5}/{args.seeds}")
        print(f"  mean chi2_reduced {statistics.mean(chi2):.3f}; median {statistics.median(seconds):.2f} s"
              f" (max {max(seconds):.2f} s), median {statistics.median(evaluations):.0f} forward evaluations")


if __name__ == "__main__":
    main()
