"""Timings of the Monte Carlo simulation; not a test.

    PYTHONPATH=build/python /usr/bin/python3 python/benchmarks/bench_monte_carlo.py \
        [--photons 200000] [--batches 20] [--repeat 2]

The adult head (examples/adult_head) at 30 mm, g = 0.9, a 4 mm annulus and 50 ps bins. The same
run (the same seed) on
  1. one local thread, 2. two local threads,
  3. a LocalCluster of one worker process with one thread, 4. of two such workers,
each --repeat times in turn (the medians are shown: other work on the machine comes and goes),
with photons per second and what the run's standard errors at the peak say of the time to a
1 % error there: the error falls as 1/sqrt(photons), so that time is the run's time times
(error / 1 %)^2, the error pooled over the bins within 80 % of the peak (their variances scaled
to the peak's value). A 1 mm annulus in 10 ps bins needs 20 times the photons. The ratio of one
worker's time to two workers' is the cluster's speed-up (2 on an idle two-core machine); whether
every result is the local one bit for bit is checked as well.
"""

import argparse
import os
import pathlib
import statistics
import time

import numpy as np

import nlayer

ROOT = pathlib.Path(__file__).resolve().parents[2]
HEAD = ROOT / "examples" / "adult_head" / "input.dat"


def timed(action):
    start = time.perf_counter()
    result = action()
    return result, time.perf_counter() - start


def peak_error(result):
    """The relative standard error at the peak, pooled over the bins within 80 % of it."""
    peak = result.R.max()
    near = result.R >= 0.8 * peak
    return np.sqrt(np.mean(result.R_error[near] ** 2 * peak / result.R[near])) / peak


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--photons", type=int, default=200_000)
    parser.add_argument("--batches", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()

    from dask.distributed import Client, LocalCluster

    print(f"nlayer {nlayer.__version__}, {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}")
    medium, _ = nlayer.read_model(HEAD)
    run = dict(photons=args.photons, batches=args.batches, width_mm=4.0, dt_ps=50.0, samples=256, seed=1)
    reference = nlayer.monte_carlo(medium, 30.0, threads=2, **run)
    relative = peak_error(reference)
    times = {name: [] for name in ("local, 1 thread", "local, 2 threads", "LocalCluster, 1 worker",
                                   "LocalCluster, 2 workers")}
    identical = True
    clusters = {}
    try:
        for workers in (1, 2):
            cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
            clusters[workers] = (cluster, Client(cluster))
            clusters[workers][1].submit(lambda: None).result()  # workers up
        for _ in range(args.repeat):
            for threads, name in ((1, "local, 1 thread"), (2, "local, 2 threads")):
                result, seconds = timed(lambda: nlayer.monte_carlo(medium, 30.0, threads=threads, **run))
                times[name].append(seconds)
                identical &= np.array_equal(result.R, reference.R)
            for workers, name in ((1, "LocalCluster, 1 worker"), (2, "LocalCluster, 2 workers")):
                client = clusters[workers][1]
                result, seconds = timed(lambda: nlayer.monte_carlo(medium, 30.0, client=client, progress=False, **run))
                times[name].append(seconds)
                identical &= np.array_equal(result.R, reference.R)
    finally:
        for cluster, client in clusters.values():
            client.close()
            cluster.close()
    print(f"{args.photons} photons; error at the peak {100 * relative:.1f} % (4 mm, 50 ps)")
    medians = {}
    for name, seconds in times.items():
        medians[name] = median = statistics.median(seconds)
        to_one = median * (relative / 0.01) ** 2
        print(f"{name:<26} {median:7.2f} s (of {', '.join(f'{s:.2f}' for s in seconds)})  "
              f"{args.photons / median:8.0f} photons/s  1 % at the peak in {to_one:8.3g} s, "
              f"{20 * to_one / 86400:.3g} days for 1 mm and 10 ps")
    print(f"two threads / one: {medians['local, 1 thread'] / medians['local, 2 threads']:.2f} x; "
          f"two workers / one: {medians['LocalCluster, 1 worker'] / medians['LocalCluster, 2 workers']:.2f} x; "
          f"all identical to the reference: {identical}; load average now {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
