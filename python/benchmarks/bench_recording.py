"""The moments method's throughput: DTOFs analysed per second on one core, the sensitivities
computed once per call. A recording of a two-layer head (two distances, two wavelengths, 512
gates of 10 ps; 4 DTOFs per time point) is analysed whole, and a 20-point one for the call's
fixed cost (the sensitivities, the baseline, the extinction coefficients).

    OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 PYTHONPATH=build/python /usr/bin/python3 \\
        python/benchmarks/bench_recording.py [--points N]
"""

import argparse
import dataclasses
import time

import numpy as np

from nlayer import recording as rec
from nlayer.recording import moments

LAYERS = [dict(HbO=40.0, HbR=20.0, musp=(1.2, 1.0), n=1.4, d=12.0),
          dict(HbO=50.0, HbR=25.0, musp=(1.0, 1.0), n=1.4, d=50.0)]


def best_of(runs, call):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=10000, help="time points of the longer recording")
    args = parser.parse_args()
    media = rec.hemoglobin_media([760, 850], LAYERS)
    seed = rec.simulate_recording(None, media, [10.0, 30.0], np.arange(20.0), seed=1)
    rng = np.random.default_rng(2)

    def recording(points):
        counts = rng.poisson(np.tile(seed.counts[:1], (points, 1, 1))).astype(float)
        return dataclasses.replace(seed, time_s=np.arange(float(points)), counts=counts)

    small, large = recording(20), recording(args.points)

    def analyse(r):
        # The method keeps the sensitivities for later calls; each run here pays for them.
        moments._sensitivity.cache_clear()
        return rec.moments_method(r, media, baseline=(0, 10), engine="fast")

    fixed, whole = best_of(3, lambda: analyse(small)), best_of(3, lambda: analyse(large))
    dtofs = args.points * seed.channels
    print(f"{dtofs} DTOFs of {len(seed.gate_ps)} gates in {whole:.3f} s, sensitivities included: "
          f"{dtofs / whole:.3g} DTOFs per second")
    print(f"the call's fixed cost {fixed:.3f} s; beyond it {dtofs / max(whole - fixed, 1e-9):.3g} DTOFs per second")

if __name__ == "__main__":
    main()
