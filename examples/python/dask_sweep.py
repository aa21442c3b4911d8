"""A sweep on a Dask cluster: the thickness of the top layer of a two-layer medium.

Without arguments it starts a LocalCluster of two worker processes on this machine; with a
scheduler address it uses that cluster, whose workers must be able to import nlayer (installed,
or PYTHONPATH pointing at a build):

    PYTHONPATH=build/python python3 examples/python/dask_sweep.py
    PYTHONPATH=build/python python3 examples/python/dask_sweep.py tcp://scheduler:8786

It checks the cluster's results against the same sweep on the local cores: they are the same,
bit for bit.

The cluster's worker processes start by importing this script again (the "spawn" start
method), so everything that starts a cluster must sit under `if __name__ == "__main__":`;
without that guard each worker would try to start a cluster of its own and the script hangs.
"""

import sys

import numpy as np
from dask.distributed import Client, LocalCluster

import nlayer


def media(thicknesses_mm):
    for d in thicknesses_mm:
        yield nlayer.Medium([nlayer.Layer(musp=1.0, mua=0.01, n=1.4, d=d),
                             nlayer.Layer(musp=1.2, mua=0.02, n=1.4, d=50.0)])


def main():
    thicknesses = np.linspace(2.0, 16.0, 16)
    rho = [10.0, 20.0, 30.0]
    if len(sys.argv) > 1:
        client = Client(sys.argv[1])
        cluster = None
    else:
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
    try:
        print(f"cluster: {len(client.nthreads())} workers, {sum(client.nthreads().values())} threads")
        # A generator is read chunk by chunk; count says how many models it yields.
        t_ps, R = nlayer.sweep(media(thicknesses), rho=rho, client=client, count=len(thicknesses), chunk_size=2)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print(f"results: {R.shape} (models, distances, times)")
    for d, curves in zip(thicknesses, R):
        peaks = ", ".join(f"{t_ps[c.argmax()]:.0f}" for c in curves)
        print(f"top layer {d:5.2f} mm: peaks at {peaks} ps for rho = 10, 20, 30 mm")
    _, local = nlayer.sweep(list(media(thicknesses)), rho=rho)
    print("identical to the local run:", np.array_equal(R, local))


if __name__ == "__main__":
    main()
