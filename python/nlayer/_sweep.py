"""Many media on all local cores or on a Dask cluster, streamed into one array."""

import collections.abc
import concurrent.futures
import itertools
import math
import os
import sys
import threading

import numpy as np

from . import _nlayer

# Chunks of work in flight per parallel worker: enough to keep every core busy while finished
# chunks are copied out, few enough that a generator of media is read only as work frees up.
_IN_FLIGHT_PER_WORKER = 2
_DASK_CHUNK = 4
# How often a waiting sweep looks for Ctrl-C.
_WAIT_SLICE_S = 0.2


def _local_workers():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _compute_chunk(start, media, rho, dt_ps, samples, threads, engine, on_error, stop=None):
    """The curves of media[0..n) as an ndarray (n, len(rho), samples // 2).

    Module-level, so that Dask workers find it by name.
    """
    curves = np.empty((len(media), len(rho), samples // 2))
    for j, medium in enumerate(media):
        if stop is not None and stop.is_set():
            return None
        try:
            curves[j] = _nlayer.time_resolved(medium, rho, dt_ps, samples, threads, engine)[1]
        except _nlayer.ModelError as error:
            if on_error == "nan":
                curves[j] = np.nan
                continue
            error.add_note(f"in model {start + j} of the sweep: {medium!r}")
            raise
    return curves


def _chunks(media, chunk_size):
    """(start index, list of Medium) for consecutive chunks of an iterable of media."""
    iterator = iter(media)
    start = 0
    while True:
        chunk = list(itertools.islice(iterator, chunk_size))
        if not chunk:
            return
        for j, medium in enumerate(chunk):
            if not isinstance(medium, _nlayer.Medium):
                raise TypeError(f"media[{start + j}] is a {type(medium).__name__}, not an nlayer.Medium")
        yield start, chunk
        start += len(chunk)


def _progress_bar(total, progress):
    show = progress if progress is not None else sys.stderr.isatty()
    if not show:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    # Shown only once a sweep has run for a second: short ones stay quiet.
    return tqdm(total=total, unit="model", delay=0 if progress else 1.0, file=sys.stderr)


class _Output:
    """The preallocated result and the bookkeeping of which rows have arrived."""

    def __init__(self, count, distances, samples, bar):
        self.array = np.empty((count, distances, samples // 2))
        self.count = count
        self.filled = 0
        self.bar = bar

    def store(self, start, curves):
        if start + len(curves) > self.count:
            raise ValueError(f"media holds more than count={self.count} models")
        self.array[start : start + len(curves)] = curves
        self.filled += len(curves)
        if self.bar is not None:
            self.bar.update(len(curves))


def _run_local(chunks, output, args, workers):
    stop = threading.Event()
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=workers, thread_name_prefix="nlayer-sweep")
    pending = {}
    try:
        for start, chunk in itertools.islice(chunks, workers * _IN_FLIGHT_PER_WORKER):
            pending[pool.submit(_compute_chunk, start, chunk, *args, stop)] = start
        while pending:
            # Waiting in slices lets the main thread take KeyboardInterrupt promptly.
            done, _ = concurrent.futures.wait(pending, timeout=_WAIT_SLICE_S,
                                              return_when=concurrent.futures.FIRST_COMPLETED)
            for future in done:
                start = pending.pop(future)
                output.store(start, future.result())
                for next_start, chunk in itertools.islice(chunks, 1):
                    pending[pool.submit(_compute_chunk, next_start, chunk, *args, stop)] = next_start
    finally:
        # On an error or Ctrl-C: queued chunks are dropped, running ones stop after their
        # current model.
        stop.set()
        pool.shutdown(wait=not pending, cancel_futures=True)


def _run_dask(chunks, output, args, client):
    from distributed import as_completed

    workers = max(1, sum(client.nthreads().values()))
    futures = as_completed()
    submitted = {}

    def submit(start, chunk):
        future = client.submit(_compute_chunk, start, chunk, *args, pure=False)
        submitted[future.key] = (future, start)
        futures.add(future)

    try:
        for start, chunk in itertools.islice(chunks, workers * _IN_FLIGHT_PER_WORKER):
            submit(start, chunk)
        # as_completed waits in 0.1 s slices, so KeyboardInterrupt arrives here promptly.
        for future in futures:
            _, start = submitted.pop(future.key)
            output.store(start, future.result())
            for next_start, chunk in itertools.islice(chunks, 1):
                submit(next_start, chunk)
    finally:
        if submitted:
            client.cancel([future for future, _ in submitted.values()])


def sweep(media, rho, *, dt_ps=10.0, samples=1024, client=None, chunk_size=None, count=None,
          workers=None, threads=1, engine="exact", progress=None, on_error="raise"):
    """Time-resolved curves of many media, on all local cores or on a Dask cluster.

    Parameters
    ----------
    media : sequence or iterable of Medium
        The models. A generator is read chunk by chunk as work frees up, never all at once;
        give its length as count.
    rho : float or sequence of float
        Source-detector distances in mm, the same for every medium.
    dt_ps, samples : optional
        The time grid, as for time_resolved (default 10 ps, 1024 samples).
    client : dask.distributed.Client, optional
        None (default) computes on a pool of local threads; a Client runs the chunks on its
        cluster, whose workers must be able to import nlayer.
    chunk_size : int, optional
        Media per task: default 1 locally, 4 on a cluster.
    count : int, optional
        The number of media; needed when media has no len(). The result is allocated once
        with this many rows.
    workers : int, optional
        Local threads (default: every core the process may use); ignored with a client.
    threads : int, optional
        Threads per model (default 1: one model per core gives the best throughput).
    engine : "exact" or "fast", optional
        As for time_resolved (default "exact").
    progress : bool, optional
        A tqdm progress bar on standard error; by default shown on a terminal once a sweep has
        run for a second.
    on_error : "raise" or "nan"
        What a ModelError of one model does: end the sweep (default; the error's note names
        the model) or fill that model's curves with NaN.

    Returns
    -------
    ndarray of shape (M, len(rho), samples // 2), or (M, samples // 2) for a single distance,
    where M is the number of media: row i holds the curves of media[i], the values of
    time_resolved(media[i], rho, dt_ps=dt_ps, samples=samples, engine=engine), bit for bit,
    whichever way and with whatever chunk size they were computed.

    Ctrl-C stops a sweep within a second: no further chunk starts, and KeyboardInterrupt is
    raised.

    Example
    -------
    >>> from dask.distributed import Client, LocalCluster
    >>> with LocalCluster(n_workers=2, processes=True) as cluster, Client(cluster) as client:
    ...     R = nlayer.sweep(media, rho=[10, 20, 30], client=client)
    """
    from . import _engine, _integer, _real, _values

    distances, single = _values(rho, "rho")
    args = (
        distances,
        _real(dt_ps, "dt_ps"),
        _integer(samples, "samples", 16, 65536),
        _integer(threads, "threads", 0, 1024),
        _engine(engine),
        on_error,
    )
    if on_error not in ("raise", "nan"):
        raise ValueError(f"on_error is {on_error!r}; it must be 'raise' or 'nan'")
    if isinstance(media, _nlayer.Medium):
        raise TypeError("media must be a sequence of Medium; for one medium use time_resolved")
    if isinstance(media, collections.abc.Sized):
        total = len(media)
        if count is not None and _integer(count, "count", 0, sys.maxsize) != total:
            raise ValueError(f"count is {count} but media holds {total} models")
    elif count is None:
        raise TypeError("media has no len(); give the number of models as count")
    else:
        total = _integer(count, "count", 0, sys.maxsize)
    if chunk_size is None:
        chunk_size = 1 if client is None else _DASK_CHUNK
    chunk_size = _integer(chunk_size, "chunk_size", 1, sys.maxsize)

    bar = _progress_bar(total, progress)
    output = _Output(total, len(distances), args[2], bar)
    try:
        chunks = _chunks(media, chunk_size)
        if client is None:
            local = _local_workers() if workers is None else _integer(workers, "workers", 1, 4096)
            _run_local(chunks, output, args, local)
        else:
            _run_dask(chunks, output, args, client)
    finally:
        if bar is not None:
            bar.close()
    if output.filled != total:
        raise ValueError(f"media held {output.filled} models, not count={total}")
    return output.array[:, 0] if single else output.array
