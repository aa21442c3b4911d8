"""Joint fits per time point: how many a second, locally and on a two-worker Dask cluster.

A recording of a two-layer head seen by 8 detectors (5 to 40 mm) at 760 and 850 nm, 512 gates
of 10 ps, 1e6 counts per DTOF: every time point's 16 DTOFs are fitted at once to the spectral
model (the brain's HbO and HbR free, warm-started from the previous point). A subset of time
points is timed and the time of a 3000-point recording extrapolated from it.

    OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 PYTHONPATH=build/python /usr/bin/python3 \\
        python/benchmarks/bench_spectral.py [--points 30] [--chunk 8]
"""

import argparse
import time

import numpy as np

import nlayer
from nlayer import recording as rec

LAYERS = [dict(HbO=40.0, HbR=20.0, musp=(1.2, 1.0), n=1.4, d=12.0),
          dict(HbO=50.0, HbR=25.0, musp=(1.0, 1.0), n=1.4, d=50.0)]
RHO = [5.0, 10.0, 15.0, 20.0, 25.0, 30.0, 35.0, 40.0]
GATES = 10.0 * np.arange(1, 513)
IRF = (GATES, 1e5 * np.exp(-0.5 * ((GATES - 200.0) / 40.0) ** 2))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=30, help="time points timed (default 30)")
    parser.add_argument("--chunk", type=int, default=8, help="time points per task (default 8)")
    args = parser.parse_args()
    t = np.arange(float(args.points))
    on = rec.boxcar(t, [args.points / 2], args.points)
    media = rec.hemoglobin_media([760, 850], LAYERS)
    recording = rec.simulate_recording(None, media, RHO, t, changes={2: (5 * on, -2 * on)}, irf=IRF, counts=1e6,
                                       seed=1)
    medium = nlayer.Medium([nlayer.Layer(1.0, 0.01, layer["n"], layer["d"]) for layer in LAYERS])
    model = rec.spectral_model({"medium": medium, "layers": [
        {"HbO": layer["HbO"], "HbR": layer["HbR"], "a": layer["musp"][0], "b": layer["musp"][1]} for layer in LAYERS]})
    print(f"{args.points} time points x {recording.channels} DTOFs, chunks of {args.chunk}")

    def run(label, **where):
        start = time.perf_counter()
        result = rec.spectral_fit_method(recording, model, IRF, start=model, chunk_size=args.chunk, progress=False,
                                         **where)
        seconds = time.perf_counter() - start
        rate = args.points / seconds
        print(f"{label:<28} {seconds:7.2f} s  {rate:6.2f} fits/s  3000 points: {3000 / rate / 60:6.1f} min  "
              f"(flagged {int((~result.success[:, 0]).sum())})")
        return result

    one = run("local, 1 thread", workers=1)
    two = run("local, 2 threads", workers=2)
    from dask import distributed

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        client.run(lambda: None)      # the workers up before the clock starts
        remote = run("dask, 2 workers x 1 thread", client=client)
    same = np.array_equal(one.hbo, two.hbo) and np.array_equal(one.hbo, remote.hbo)
    print(f"the same values everywhere: {same}")


if __name__ == "__main__":
    main()
