"""The moments method's bias on the example study (examples/recording/study.py): its head, IRF
and gates, noiseless DTOFs (the expected counts), so that only the method's own error shows.

Four baseline points without change, then one point each: the brain's HbO/HbR +5/-2 uM, four
times that (+20/-8 uM), and the same +5/-2 uM in the scalp alone (its leak into the brain, in %
of the scalp's change). The rows repeat for the recording cut at 2560 and 1280 ps (the last
gates dropped) and for every layer its own unknown.

    PYTHONPATH=build/python /usr/bin/python3 python/benchmarks/bench_recording_bias.py

With --whole-head, instead the time of a whole-head recording of moments (dataType 301: 12
sources, 30 detectors each at 10 to 45 mm, 2 wavelengths, 4800 time points), analysed source by
source on one core (OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 for that).
"""

import dataclasses
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples" / "recording"))
import study  # noqa: E402

from nlayer import recording as rec  # noqa: E402

GATES = 10.0 * np.arange(1, 513)
IRF = 1e6 * np.exp(-0.5 * ((GATES - 150.0) / 34.0) ** 2)
# (name, layer changed, dHbO, dHbR)
CASES = [("brain +5/-2", 4, 5.0, -2.0), ("brain +20/-8", 4, 20.0, -8.0), ("scalp +5/-2", 1, 5.0, -2.0)]


def simulated(media):
    time_s = np.arange(4.0 + len(CASES))
    changes = {}
    for k, (_name, layer, hbo, hbr) in enumerate(CASES):
        course = changes.setdefault(layer, (np.zeros(len(time_s)), np.zeros(len(time_s))))
        course[0][4 + k], course[1][4 + k] = hbo, hbr
    return rec.simulate_recording(None, media, [10.0, 30.0], time_s, changes=changes, irf=(GATES, IRF),
                                  counts=1e6, seed=None)


def cut(recording, last_ps):
    keep = recording.gate_ps <= last_ps
    return dataclasses.replace(recording, gate_ps=recording.gate_ps[keep],
                               gate_width_ps=recording.gate_width_ps[keep], counts=recording.counts[:, :, keep])


def whole_head(media, points=4800, sources=12, detectors=30):
    """Seconds to analyse a whole-head moments recording, source by source, with 1,2-3,4."""
    import nlayer
    rng = np.random.default_rng(1)
    rho = np.concatenate([np.linspace(10.0, 45.0, detectors) + 0.1 * s for s in range(sources)])
    C = len(rho)
    values = np.empty((points, 2 * C, 3))
    for w, medium in enumerate(media.values()):
        m = nlayer.moments(medium, rho.tolist(), engine="fast")
        base = np.column_stack([1e6 * m.total, m.mean_time, m.variance])
        values[:, w * C:(w + 1) * C] = base * (1 + 1e-3 * rng.standard_normal((points, C, 3)))
    recording = rec.Recording(
        time_s=np.arange(points) / 8.0, wavelengths=np.array(study.WAVELENGTHS), kind="moments",
        source=np.tile(np.repeat(np.arange(1, sources + 1), detectors), 2),
        detector=np.tile(np.arange(1, C + 1), 2), wavelength_index=np.repeat([0, 1], C),
        rho_mm=np.tile(rho, 2), moments=values)
    start = time.perf_counter()
    for s in range(1, sources + 1):
        rec.moments_method(recording, media, baseline=(0, 60), groups=[[1], [2, 3], [4]], engine="fast", source=s)
    return time.perf_counter() - start


def main():
    media = rec.hemoglobin_media(study.WAVELENGTHS, study.HEAD)
    if "--whole-head" in sys.argv[1:]:
        seconds = whole_head(media)
        print(f"whole head, 12 sources x 30 channels x 2 wavelengths, 4800 time points: {seconds:.2f} s")
        return
    full = simulated(media)
    print(f"{'gates to':>9} {'unknowns':>9} {'case':>14} {'brain dHbO':>11} {'bias':>8} {'brain dHbR':>11} "
          f"{'bias':>8} {'s':>6}")
    for last_ps in (5120.0, 2560.0, 1280.0):
        recording = cut(full, last_ps)
        keep = GATES <= last_ps
        for groups, label in (([[1], [2, 3], [4]], "1,2-3,4"), (None, "1,2,3,4")):
            start = time.perf_counter()
            result = rec.moments_method(recording, media, baseline=(0, 3), irf=(GATES[keep], IRF[keep]),
                                        groups=groups, engine="fast")
            seconds = time.perf_counter() - start
            brain = len(result.names) - 1
            for k, (name, layer, hbo, hbr) in enumerate(CASES):
                found_hbo, found_hbr = result.hbo[4 + k, brain], result.hbr[4 + k, brain]
                # The brain's own change: its bias; a scalp change: the share that leaks into the brain.
                bias_hbo = 100 * (found_hbo - (hbo if layer == 4 else 0.0)) / hbo
                bias_hbr = 100 * (found_hbr - (hbr if layer == 4 else 0.0)) / hbr
                print(f"{last_ps:9.0f} {label:>9} {name:>14} {found_hbo:+11.3f} {bias_hbo:+7.2f}% "
                      f"{found_hbr:+11.3f} {bias_hbr:+7.2f}% {seconds:6.2f}")


if __name__ == "__main__":
    main()
