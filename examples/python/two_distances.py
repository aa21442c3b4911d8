"""The adult head of examples/adult_head at a short and a long source-detector distance.

Light that reaches the far detector has travelled deeper and longer: its curve peaks later and
decays more slowly. Saves the figure as two_distances.png (or the path given).

    PYTHONPATH=build/python python3 examples/python/two_distances.py [FIGURE]
"""

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")  # draws into a file; no display needed
import matplotlib.pyplot as plt

import nlayer

HEAD = pathlib.Path(__file__).resolve().parents[1] / "adult_head" / "input.dat"


def main():
    figure_path = sys.argv[1] if len(sys.argv) > 1 else "two_distances.png"
    medium, _ = nlayer.read_model(HEAD)
    distances = [15.0, 30.0]
    t_ps, R = nlayer.time_resolved(medium, rho=distances)

    fig, ax = plt.subplots(figsize=(7, 4.5))
    for rho, curve in zip(distances, R):
        ax.plot(t_ps, curve, label=f"ρ = {rho:g} mm")
    ax.set_yscale("log")
    ax.set_ylim(R.max() * 1e-6, R.max() * 2)
    ax.set_xlim(0, 4000)
    ax.set_xlabel("time t (ps)")
    ax.set_ylabel("reflectance R(ρ, t) (mm⁻² ps⁻¹)")
    ax.set_title("Adult head, four layers")
    ax.legend()
    ax.grid(True, which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(figure_path, dpi=120)
    for rho, curve in zip(distances, R):
        print(f"rho = {rho:4.1f} mm: peak {curve.max():.4e} /mm²/ps at {t_ps[curve.argmax()]:.0f} ps")
    print(f"saved {figure_path}")


if __name__ == "__main__":
    main()
