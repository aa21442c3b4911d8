"""A simulated functional study analysed by the moments method.

An adult head of four layers (scalp, skull, cerebrospinal fluid, brain) with hemoglobin and
scattering at 760 and 850 nm, seen at 10 and 30 mm through an instrument response of 80 ps
FWHM, 10^6 counts per DTOF, a DTOF every 0.5 s for 120 s. Five 10-s tasks raise the brain's
HbO by 5 uM and lower its HbR by 2 uM; a slow systemic wave moves the scalp's HbO by up to
1 uM throughout. The script writes the recording (study.snirf), the models at both wavelengths
(head760.dat, head850.dat; nlayer-run's format) and the IRF (irf.csv), analyses the recording
with three unknowns (the scalp, the skull and fluid together, the brain), and draws study.png;
the same analysis from the command line:

    nlayer-analyze study.snirf --model 760=head760.dat,850=head850.dat --irf irf.csv \\
        --groups 1,2-3,4 --plot study.png

Run: PYTHONPATH=build/python /usr/bin/python3 examples/recording/study.py [OUTPUT_FOLDER]
"""

import pathlib
import sys

import numpy as np

from nlayer import recording as rec
from nlayer._analyze import plot

WAVELENGTHS = [760.0, 850.0]
HEAD = [dict(HbO=30.0, HbR=15.0, musp=(1.9, 1.2), n=1.4, d=3.0, mua_other=0.002),   # scalp
        dict(HbO=20.0, HbR=10.0, musp=(1.6, 1.0), n=1.4, d=7.0, mua_other=0.002),   # skull
        dict(HbO=0.0, HbR=0.0, musp=(0.25, 0.0), n=1.4, d=2.0, mua_other=0.004),    # cerebrospinal fluid
        dict(HbO=50.0, HbR=25.0, musp=(1.2, 1.0), n=1.4, d=50.0, mua_other=0.002)]  # brain
TASKS = [15.0, 35.0, 55.0, 75.0, 95.0]
TASK_S = 10.0


def model_file(path, medium, rho=30.0):
    """A model file as nlayer-run reads it: the layers' count, mus', mua, n, d each, then rho."""
    values = [len(medium)] + [v for layer in medium.layers for v in (layer.musp, layer.mua, layer.n, layer.d)]
    path.write_text("\n".join(repr(v) for v in values + [rho]) + "\n")


def main(folder):
    folder.mkdir(parents=True, exist_ok=True)
    media = rec.hemoglobin_media(WAVELENGTHS, HEAD)
    for wavelength, medium in media.items():
        model_file(folder / f"head{wavelength:g}.dat", medium)
    gates = 10.0 * np.arange(1, 513)
    irf = 1e6 * np.exp(-0.5 * ((gates - 150.0) / 34.0) ** 2)
    np.savetxt(folder / "irf.csv", np.column_stack([gates, irf]), delimiter=",", header="t_ps,counts",
               comments="", fmt="%.6g")
    time_s = np.arange(0.0, 120.0, 0.5)
    task = rec.boxcar(time_s, TASKS, TASK_S)
    systemic = np.sin(2 * np.pi * time_s / 40.0)
    recording = rec.simulate_recording(folder / "study.snirf", media, [10.0, 30.0], time_s,
                                       changes={1: (systemic, 0.0), 4: (5.0 * task, -2.0 * task)},
                                       irf=(gates, irf), counts=1e6, seed=1,
                                       stim={"task": [(onset, TASK_S, 1.0) for onset in TASKS]})
    result = rec.moments_method(rec.read_snirf(folder / "study.snirf"), media, irf=(gates, irf),
                                groups=[[1], [2, 3], [4]], engine="fast")
    plot(folder / "study.png", result)
    during = task > 0
    print(f"{recording.channels} channels, {len(time_s)} time points; baseline {result.baseline[0]:g} to "
          f"{result.baseline[1]:g} s")
    for g, name in enumerate(result.names):
        print(f"{name}: during the tasks dHbO {result.hbo[during, g].mean():+.2f} uM, "
              f"dHbR {result.hbr[during, g].mean():+.2f} uM")
    print("cross-talk at 850 nm (rows: the unknowns; columns: layers 1 to 4 changing alone):")
    print(np.array2string(result.crosstalk[1], precision=3, suppress_small=True))


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent)
