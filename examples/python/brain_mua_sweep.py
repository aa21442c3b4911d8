"""How the brain's absorption shows in the reflectance of the adult head at 30 mm.

Sweeps the absorption coefficient of the bottom layer (brain) of examples/adult_head and prints,
for each model, the mean time of flight <t> = sum(t R) / sum(R) and the total reflectance
sum(R) dt (mm⁻²): more absorption removes the late, deep photons first, so both fall.

    PYTHONPATH=build/python python3 examples/python/brain_mua_sweep.py
"""

import pathlib

import numpy as np

import nlayer

HEAD = pathlib.Path(__file__).resolve().parents[1] / "adult_head" / "input.dat"
DT_PS = 10.0


def main():
    head, rho = nlayer.read_model(HEAD)
    brain_mua = np.linspace(0.01, 0.03, 9)  # 1/mm
    # The brain is the bottom layer, numbered from 1 at the top; the others keep the file's values.
    media = [head.replace(len(head), mua=mua) for mua in brain_mua]
    t_ps, R = nlayer.sweep(media, rho=rho, dt_ps=DT_PS)  # R: (9, 512), every core at work

    print(f"adult head, rho = {rho:g} mm")
    print("brain mua (1/mm)   mean time of flight (ps)   total (1/mm²)")
    for mua, curve in zip(brain_mua, R):
        mean_t = (t_ps * curve).sum() / curve.sum()
        total = curve.sum() * DT_PS
        print(f"{mua:16.4f}   {mean_t:24.2f}   {total:13.5e}")


if __name__ == "__main__":
    main()
