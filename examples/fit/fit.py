"""Worked example: the absorption and reduced scattering of a homogeneous medium fitted to a
measured curve, given the instrument response, and the picture of the fit.

    PYTHONPATH=build/python /usr/bin/python3 examples/fit/make_data.py   # measured.csv, irf.csv, input.dat
    PYTHONPATH=build/python /usr/bin/python3 examples/fit/fit.py         # prints the fit, draws fit.png

The same fit from the command line:

    build/bin/nlayer-fit --measured examples/fit/measured.csv --irf examples/fit/irf.csv \\
        --model examples/fit/input.dat --free mua1,musp1 --plot fit.png
"""

import os
import pathlib
import sys
import tempfile

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import nlayer  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent


def main(directory=HERE, figure=HERE / "fit.png"):
    result = nlayer.fit(directory / "measured.csv", directory / "irf.csv", directory / "input.dat",
                        free=["mua1", "musp1"])
    print(result)

    # What the fitted medium implies for the moments of the curve, and the measured moments
    # with the instrument's taken out: the two mean times differ by the fitted shift.
    t, counts = nlayer.read_curve(directory / "measured.csv")
    _, irf = nlayer.read_curve(directory / "irf.csv")
    model = nlayer.moments(result.medium, rho=30.0)
    measured = nlayer.curve_moments(t, counts, irf)
    print(f"mean time: model {model.mean_time:.1f} ps + shift {result.values['shift_ps']:.1f} ps,"
          f" measured {measured.mean_time:.1f} ps")

    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7, 5.5), height_ratios=[3, 1.4])
    top.semilogy(t, np.where(irf > 0, irf, np.nan) * counts.max() / irf.max(), color="tab:blue", lw=1,
                 label="IRF (scaled)")
    top.semilogy(t, np.where(counts > 0, counts, np.nan), ".", color="0.35", ms=3, label="measured")
    fitted = result.fit_range
    top.semilogy(t[fitted], result.model_counts[fitted], color="tab:red", lw=1.5, label="model, fit range")
    top.set_ylim(0.8, counts.max() * 2)
    top.set_ylabel("counts per 10 ps bin")
    v, e = result.values, result.standard_error
    top.set_title(f"$\\mu_a$ = {v['mua1']:.5f} ± {e['mua1']:.5f} /mm,  $\\mu_s'$ = {v['musp1']:.3f} ± "
                  f"{e['musp1']:.3f} /mm,  $\\chi^2_r$ = {result.chi2_reduced:.2f}", fontsize=10)
    top.legend(loc="upper right")
    bottom.plot(t[fitted], result.residuals[fitted], ".", color="tab:red", ms=3)
    bottom.axhline(0, color="k", lw=0.8)
    bottom.set_ylabel("residual")
    bottom.set_xlabel("t (ps)")
    fig.tight_layout()
    with tempfile.NamedTemporaryFile(dir=figure.parent, prefix=figure.name + ".", suffix=".png",
                                     delete=False) as file:
        fig.savefig(file, dpi=100)
    os.chmod(file.name, 0o644)
    os.replace(file.name, figure)


if __name__ == "__main__":
    main(*(pathlib.Path(a) for a in sys.argv[1:3]))
