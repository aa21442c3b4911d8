"""The fit method on the example study's head (examples/recording: four layers, 10 and 30 mm,
760 and 850 nm, IRF 80 ps FWHM): how much of a scalp-only change leaks into the brain, and time
points per second on one core.

The leak: the scalp's HbO rises by 5 uM and its HbR falls by 2 uM, nothing else changes; the
counts are the expected ones (no noise), so the method's bias alone shows. The brain's change
found, as a fraction of the scalp's, for the older fit (the bottom layer's mua at the longest
distance) and the joint fit (every distance, one mua change per layer or group). The speed:
joint fits of DTOFs of 10^6 counts with Poisson noise, warm-started, one worker.

    OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 PYTHONPATH=build/python /usr/bin/python3 \\
        python/benchmarks/bench_recording_fit.py [--points N]
"""

import argparse
import os
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples" / "recording"))
import study  # noqa: E402

from nlayer import recording as rec  # noqa: E402

GROUPS = [[1], [2, 3], [4]]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=8, help="time points of the speed measurement")
    args = parser.parse_args()
    media = rec.hemoglobin_media(study.WAVELENGTHS, study.HEAD)
    gates = 10.0 * np.arange(1, 513)
    irf = (gates, 1e6 * np.exp(-0.5 * ((gates - 150.0) / 34.0) ** 2))
    time_s = np.arange(4.0)
    scalp = (time_s >= 2).astype(float)
    clean = rec.simulate_recording(None, media, [10.0, 30.0], time_s, changes={1: (5 * scalp, -2 * scalp)},
                                   irf=irf, counts=1e6, seed=None)
    after = time_s >= 2

    older = rec.fit_method(clean, media, irf, free=["mua4"], workers=1, progress=False)
    leak = (older.hbo[after, 3].mean() - older.hbo[~after, 3].mean()) / 5.0
    leak_r = (older.hbr[after, 3].mean() - older.hbr[~after, 3].mean()) / -2.0
    print(f"older fit (mua4 at 30 mm): the brain takes {100 * leak:+.2f} % of the scalp's HbO, "
          f"{100 * leak_r:+.2f} % of its HbR")
    for groups in (None, GROUPS):
        joint = rec.fit_method(clean, media, irf, groups=groups, baseline=(0, 1), workers=1, progress=False)
        print(f"joint fit ({', '.join(joint.names)}): the brain takes {100 * joint.hbo[after, -1].mean() / 5.0:+.4f} % "
              f"of the scalp's HbO, {100 * joint.hbr[after, -1].mean() / -2.0:+.4f} % of its HbR; the scalp "
              f"{joint.hbo[after, 0].mean():+.4f} uM HbO (+5), {joint.hbr[after, 0].mean():+.4f} uM HbR (-2)")

    points = np.arange(float(args.points))
    noisy = rec.simulate_recording(None, media, [10.0, 30.0], points, irf=irf, counts=1e6, seed=3)
    for groups in (GROUPS, None):
        start = time.perf_counter()
        result = rec.fit_method(noisy, media, irf, groups=groups, workers=1, progress=False)
        seconds = time.perf_counter() - start
        print(f"joint fit ({', '.join(result.names)}), {args.points} time points x {len(noisy.wavelengths)} "
              f"wavelengths x {len(noisy.rho_mm) // len(noisy.wavelengths)} distances: {seconds:.2f} s, "
              f"{args.points / seconds:.3g} time points per second on one core; "
              f"{int(result.success.sum())} of {result.success.size} fits unflagged")
    print(f"load average while measuring: {', '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
