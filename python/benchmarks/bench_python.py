"""Timings of the Python module; not a test.

    PYTHONPATH=build/python /usr/bin/python3 python/benchmarks/bench_python.py \
        [--build build] [--models 200] [--repeat 5] [--engine exact|fast]

1. One time_resolved call of the four-layer adult head (examples/adult_head/input.dat) from
   Python against one run of nlayer-run on the same file (process start and file included),
   both on all cores; medians of --repeat.
2. The throughput of a sweep of --models variations of that head (brain mua from 0.01 to
   0.03 /mm), on all local cores and on a LocalCluster of two worker processes with one thread
   each, and whether the two results are the same bit for bit.
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import tempfile
import time

import numpy as np

import nlayer

ROOT = pathlib.Path(__file__).resolve().parents[2]
HEAD = ROOT / "examples" / "adult_head" / "input.dat"


def median_seconds(action, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return statistics.median(times), min(times)


def head_media(count):
    head, _ = nlayer.read_model(HEAD)
    *upper, brain = head.layers
    for mua in np.linspace(0.01, 0.03, count):
        yield nlayer.Medium(upper + [nlayer.Layer(musp=brain.musp, mua=float(mua), n=brain.n, d=brain.d)])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=str(ROOT / "build"), help="the build directory with bin/nlayer-run")
    parser.add_argument("--models", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--engine", choices=["exact", "fast"], default="exact", help="the sweeps' engine")
    args = parser.parse_args()
    run = pathlib.Path(args.build) / "bin" / "nlayer-run"

    print(f"nlayer {nlayer.__version__}, {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}")
    medium, rho = nlayer.read_model(HEAD)
    nlayer.time_resolved(medium, rho)  # warm up
    py_median, py_min = median_seconds(lambda: nlayer.time_resolved(medium, rho), args.repeat)
    with tempfile.TemporaryDirectory() as scratch:
        out = pathlib.Path(scratch) / "reflectance.dat"
        cli_median, cli_min = median_seconds(
            lambda: subprocess.run([run, "--input", HEAD, "--output", out], check=True), args.repeat)
    print(f"four-layer head, one call:  python time_resolved {py_median * 1e3:7.1f} ms (min {py_min * 1e3:.1f})"
          f"   nlayer-run {cli_median * 1e3:7.1f} ms (min {cli_min * 1e3:.1f})")

    media = list(head_media(args.models))
    start = time.perf_counter()
    _, local = nlayer.sweep(media, rho=rho, engine=args.engine, progress=False)
    local_s = time.perf_counter() - start
    print(f"sweep of {args.models} four-layer models ({args.engine}), local threads: {local_s:6.1f} s, "
          f"{args.models / local_s:6.2f} models/s")

    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        client.submit(lambda: None).result()  # workers up
        start = time.perf_counter()
        _, on_cluster = nlayer.sweep(media, rho=rho, client=client, engine=args.engine, progress=False)
        cluster_s = time.perf_counter() - start
    print(f"sweep of {args.models} four-layer models ({args.engine}), LocalCluster 2 workers: {cluster_s:6.1f} s, "
          f"{args.models / cluster_s:6.2f} models/s; identical to local: {np.array_equal(local, on_cluster)}")


if __name__ == "__main__":
    main()
