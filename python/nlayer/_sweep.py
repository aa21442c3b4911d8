"""Many media on all local cores or on a Dask cluster, streamed into one array."""

from __future__ import annotations

import collections.abc
import concurrent.futures
import itertools
import os
import sys
import threading
import time
from typing import Any, Iterable, NamedTuple, Optional, Union

import numpy as np

from . import _checks
from . import _nlayer
from . import _types

# Chunks of work in flight per parallel worker: enough to keep every core busy while finished
# chunks are copied out, few enough that a generator of media is read only as work frees up.
_IN_FLIGHT_PER_WORKER = 2
_DASK_CHUNK = 4
# How often a waiting sweep looks for Ctrl-C.
_WAIT_SLICE_S = 0.2
# timeout="auto" on a cluster: a chunk that takes this many times the longest chunk finished so
# far, and at least the floor, is held for stalled (a stopped or lost worker, which the scheduler
# notices only after minutes, if ever). Generous, since chunks of differing media differ in cost
# and the time includes the wait behind another chunk on the same worker.
_STALL_FACTOR = 20
_STALL_FLOOR_S = 60.0
# Finished runs of one chunk whose curves could not be fetched before that counts as a stall.
_LOST_FETCHES = 2


def _local_workers():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _compute_chunk(start, media, rho, dt_ps, samples, threads, engine, on_error, stop=None):
    """The curves of media[0..n) as an ndarray (n, len(rho), samples // 2).

    Module-level, so that Dask workers find it by name. A ModelError (on_error="raise") carries
    the rows computed before it as `sweep_rows` = (start, array), which survives pickling.
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
            error.sweep_rows = (start, curves[:j].copy())
            raise
    return curves


def _chunks(media, chunk_size):
    """(start index, list of Medium) for consecutive chunks of an iterable of media; an item
    that is no Medium ends them with TypeError after the media before it."""
    iterator = iter(media)
    start = 0
    while True:
        chunk = list(itertools.islice(iterator, chunk_size))
        if not chunk:
            return
        for j, medium in enumerate(chunk):
            if not isinstance(medium, _nlayer.Medium):
                if j:
                    yield start, chunk[:j]
                raise TypeError(f"media[{start + j}] is a {type(medium).__name__}, not an nlayer.Medium")
        yield start, chunk
        start += len(chunk)


def _progress_bar(total, progress, unit="model"):
    show = progress if progress is not None else sys.stderr.isatty()
    if not show:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    # Shown only once a sweep has run for a second: short ones stay quiet.
    return tqdm(total=total, unit=unit, delay=0 if progress else 1.0, file=sys.stderr)


class SweepResult(NamedTuple):
    """What sweep returns: the time axis and the curves, as time_resolved's (t_ps, R).

    t_ps  the times dt_ps, 2 dt_ps, ..., samples/2 dt_ps, shape (T,)
    R     shape (M, len(rho), T), or (M, T) for a single distance: row i holds media[i]'s curves
    """

    t_ps: np.ndarray
    R: np.ndarray


class _Output:
    """The preallocated result and the bookkeeping of which rows have arrived."""

    def __init__(self, count, distances, samples, dt_ps, single, bar):
        self.array = np.empty((count, distances, samples // 2))
        self.valid = np.zeros(count, dtype=bool)
        self.t_ps = dt_ps * np.arange(1, samples // 2 + 1, dtype=float)
        self.single = single
        self.count = count
        self.bar = bar

    def store(self, start, curves):
        self.array[start : start + len(curves)] = curves
        self.valid[start : start + len(curves)] = True
        if self.bar is not None:
            self.bar.update(len(curves))

    def result(self):
        return SweepResult(self.t_ps, self.array[:, 0] if self.single else self.array)

    def fail(self, error):
        """`error` with what was computed: rows that did not arrive are set to NaN."""
        self.array[~self.valid] = np.nan
        error.partial = self.result()
        error.valid = self.valid
        error.add_note(f"the sweep computed {int(self.valid.sum())} of {self.count} models; they are in "
                       "error.partial (a SweepResult), and error.valid marks their rows")
        return error


class _Unreachable(Exception):
    """A finished chunk whose curves could not be fetched in time."""


class _Local:
    """Chunks on a pool of local threads: function(*args, stop), where `stop` is an Event the
    chunk looks at between its items, returning None once it is set."""

    def __init__(self, function, workers):
        self.function = function
        self.stop = threading.Event()
        self.pool = concurrent.futures.ThreadPoolExecutor(max_workers=workers, thread_name_prefix="nlayer-chunk")

    def submit(self, args, avoid=()):
        return self.pool.submit(self.function, *args, self.stop)

    def wait(self, handles, seconds):
        done, _ = concurrent.futures.wait(handles, timeout=seconds, return_when=concurrent.futures.FIRST_COMPLETED)
        return done

    def result(self, handle, seconds):
        return handle.result()

    def where(self, handle):
        return None

    def cancel(self, handles):
        for handle in handles:
            handle.cancel()

    def close(self, abandon):
        # On Ctrl-C, an error or a timeout: queued chunks are dropped, running ones stop after
        # their current model.
        self.stop.set()
        self.pool.shutdown(wait=not abandon, cancel_futures=True)


class _Dask:
    """Chunks on the workers of a dask.distributed.Client: function(*args), a module-level
    function, so that the workers find it by name."""

    def __init__(self, function, client):
        self.function = function
        self.client = client

    def submit(self, args, avoid=()):
        workers = None
        if avoid:
            workers = [w for w in self.client.scheduler_info()["workers"] if w not in avoid] or None
        if workers is None:
            return self.client.submit(self.function, *args, pure=False)
        return self.client.submit(self.function, *args, pure=False, workers=workers, allow_other_workers=False)

    def wait(self, handles, seconds):
        deadline = time.monotonic() + seconds
        while True:
            done = [h for h in handles if h.done()]
            if done or time.monotonic() >= deadline:
                return done
            time.sleep(0.02)

    def result(self, handle, seconds):
        """The chunk's curves, fetched from the worker that holds them: a stopped worker would
        hold the fetch for as long as the connection's own timeout, or for ever."""
        try:
            return handle.result(timeout=seconds)
        except TimeoutError:
            # The chunk itself raises no TimeoutError: this is the fetch's.
            raise _Unreachable() from None

    def where(self, handle):
        """The worker that runs `handle`'s chunk, or holds its result, if the scheduler says."""
        try:
            for worker, keys in self.client.processing().items():
                if handle.key in keys:
                    return worker
            holders = self.client.who_has([handle]).get(handle.key)
            if holders:
                return holders[0]
        except Exception:  # a scheduler that cannot answer leaves the choice to it
            pass
        return None

    def cancel(self, handles):
        if handles:
            self.client.cancel(list(handles))

    def close(self, abandon):
        pass


def _drive(tasks, backend, in_flight, timeout, store, salvage=None, describe=str):
    """Runs the chunks of `tasks`, an iterator of (key, args), `in_flight` at a time, and
    passes what each returns to store(key, result) in the caller's thread. The first error
    stops the reading of tasks; the chunks in flight still finish and are kept (each within
    its timeout), then the error is returned (None when all went well); salvage(key, error)
    may keep what a failed chunk carries. `timeout` is seconds, None or "auto":
    _STALL_FACTOR times the longest chunk finished so far, at least _STALL_FLOOR_S, and no
    limit before the first chunk has finished. describe(key) names a chunk in a timeout's
    message. Ctrl-C cancels the chunks and propagates."""
    pending = {}  # handle -> (key, args, attempt, submitted, lost fetches)
    failure = None
    longest = None  # of the chunks finished so far, from submission

    def limit():
        if timeout != "auto":
            return timeout
        return None if longest is None else max(_STALL_FLOOR_S, _STALL_FACTOR * longest)

    # Workers that held a chunk too long: a stopped one would hold every further chunk too.
    stalled = set()

    def submit(key, args, attempt=0, lost=0, avoid=frozenset()):
        handle = backend.submit(args, stalled | avoid)
        pending[handle] = (key, args, attempt, time.monotonic(), lost)

    def retry(handle, key, args, attempt, seconds, lost=None):
        """A chunk that took longer than `seconds`: once more, elsewhere if the cluster has
        another worker, then a TimeoutError. `lost`: the count of the chunk's finished runs
        whose result could not be fetched, this one included."""
        nonlocal failure
        where = backend.where(handle)
        backend.cancel([handle])
        if lost is not None and lost <= _LOST_FETCHES:
            # A fetch fails also when it shares the client's one gather with a fetch from a
            # stopped worker: no proof against the worker, and no attempt used up.
            submit(key, args, attempt, lost, avoid=frozenset([where] if where else []))
            return
        if where is not None:
            stalled.add(where)
        if attempt == 0:
            submit(key, args, attempt=1)
            return
        within = (f"timeout={timeout:g} s" if timeout != "auto" else
                  f"{seconds:.3g} s (timeout=\"auto\": {_STALL_FACTOR} times the longest chunk so far, at least "
                  f"{_STALL_FLOOR_S:g} s)")
        failure = failure or TimeoutError(
            f"{describe(key)} did not finish within {within}, neither at first nor resubmitted once"
            + (f" (the second time on worker {where})" if where else ""))

    def refill(n):
        nonlocal failure
        for _ in range(n):
            if failure is not None:
                return
            try:
                key, args = next(tasks)
            except StopIteration:
                return
            except Exception as error:
                failure = error
                return
            submit(key, args)

    interrupted = True
    try:
        refill(in_flight)
        while pending:
            for handle in backend.wait(list(pending), _WAIT_SLICE_S):
                key, args, attempt, submitted, lost = pending.pop(handle)
                try:
                    result = backend.result(handle, limit())
                except _Unreachable:
                    # Finished on a worker that has stopped answering since, or so it seems.
                    retry(handle, key, args, attempt, limit(), lost + 1)
                    continue
                except Exception as error:
                    if salvage is not None:
                        salvage(key, error)
                    failure = failure or error
                else:
                    if result is not None:
                        store(key, result)
                    took = time.monotonic() - submitted
                    longest = took if longest is None else max(longest, took)
                refill(1)
            seconds = limit()
            if seconds is not None:
                now = time.monotonic()
                for handle, (key, args, attempt, submitted, _) in list(pending.items()):
                    # One that finished since the wait is collected by the next.
                    if now - submitted >= seconds and not handle.done():
                        del pending[handle]
                        retry(handle, key, args, attempt, seconds)
        interrupted = False
    finally:
        backend.cancel(list(pending))
        backend.close(interrupted or failure is not None)
    return failure


def run_chunks_raising(function, tasks, store, total, *, count=len, client=None, workers=None, progress=None,
                       unit="model", describe=str):
    """run_chunks with a tqdm bar of `total` advanced by count(result) as each result is
    stored; the first error stops the rest and is raised."""
    bar = _progress_bar(total, progress, unit=unit)

    def stored(key, result):
        store(key, result)
        if bar is not None:
            bar.update(count(result))

    try:
        failure = run_chunks(function, tasks, stored, client=client, workers=workers, describe=describe)
    finally:
        if bar is not None:
            bar.close()
    if failure is not None:
        raise failure


def run_chunks(function, tasks, store, *, client=None, workers=None, timeout="auto", salvage=None, describe=str):
    """Runs function(*args) for each (key, args) of the iterable `tasks` on local threads (with
    a stop Event as a last argument; `workers` of them, default every core) or on a Dask
    client, calling store(key, result) as each finishes; see _drive. timeout="auto" limits
    chunks on a cluster only: locally no worker can be lost. Returns the first error, or None."""
    tasks = iter(tasks)
    if isinstance(timeout, str) and timeout == "auto" and client is None:
        timeout = None
    if client is None:
        local = _local_workers() if workers is None else workers
        return _drive(tasks, _Local(function, local), local * _IN_FLIGHT_PER_WORKER, timeout, store, salvage,
                      describe)
    nthreads = max(1, sum(client.nthreads().values()))
    return _drive(tasks, _Dask(function, client), nthreads * _IN_FLIGHT_PER_WORKER, timeout, store, salvage,
                  describe)


def sweep(media: Iterable[_nlayer.Medium], rho: _types.Distances, *, dt_ps: float = 10.0, samples: int = 1024,
          client: Any = None, chunk_size: Optional[int] = None, count: Optional[int] = None,
          workers: Optional[int] = None, threads: int = 1, engine: _types.Engine = "exact",
          progress: Optional[bool] = None, on_error: str = "raise",
          timeout: Union[float, str, None] = "auto") -> SweepResult:
    """Time-resolved curves of many media, on all local cores or on a Dask cluster.

    Parameters
    ----------
    media : sequence or iterable of Medium
        The models. A generator is read chunk by chunk as work frees up, never all at once;
        give its length as count.
    rho : float or sequence of float
        Source-detector distances in mm, the same for every medium (Decimal: exact, as for
        time_resolved).
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
    timeout : float, "auto" or None, optional
        Seconds a chunk may take from its submission. A chunk that takes longer (a stopped or
        lost worker) is cancelled and submitted once more, on a cluster to another worker than
        the one that held it; if that also takes longer, the sweep ends with TimeoutError
        naming the chunk's models. Measured from submission, so it includes the wait behind
        at most one other chunk on the same worker. "auto" (the default) on a cluster: 20 times
        the longest chunk finished so far in this sweep, at least 60 s (no limit until the
        first chunk has finished); locally, where no worker can be lost, no limit. None: no
        limit anywhere (a stopped worker then holds the sweep for ever).

    Returns
    -------
    SweepResult(t_ps, R), unpacked as time_resolved's: ``t_ps, R = nlayer.sweep(...)``.
    t_ps: the times, shape (samples // 2,). R: shape (M, len(rho), samples // 2), or
    (M, samples // 2) for a single distance, where M is the number of media: row i holds the
    curves of media[i], the values of time_resolved(media[i], rho, dt_ps=dt_ps,
    samples=samples, engine=engine), bit for bit, whichever way and with whatever chunk size
    they were computed.

    When a sweep fails (a ModelError with on_error="raise", an item that is no Medium, fewer or
    more media than count, a timeout) it stops reading media, lets the chunks in flight
    finish, and raises the error with what was computed: error.partial is a SweepResult whose
    rows that were not computed are NaN, error.valid a boolean array (M,) that is True for the
    rows that were. Ctrl-C stops a sweep within a second: no further chunk starts, and
    KeyboardInterrupt is raised without a partial result.

    Example
    -------
    >>> from dask.distributed import Client, LocalCluster
    >>> if __name__ == "__main__":      # worker processes import the script again
    ...     with LocalCluster(n_workers=2, processes=True) as cluster, Client(cluster) as client:
    ...         t_ps, R = nlayer.sweep(media, rho=[10, 20, 30], client=client)
    """
    distances, single = _checks.distances(rho)
    grid_samples = _checks.samples(samples)
    dt = _checks.real(dt_ps, "dt_ps")
    args = (distances, dt, grid_samples, _checks.threads(threads), _checks.engine(engine),
            _checks.choice(on_error, "on_error", ("raise", "nan")))
    if isinstance(timeout, str) and timeout == "auto":
        limit = "auto"
    else:
        limit = _checks.seconds(timeout, "timeout")
    if isinstance(media, _nlayer.Medium):
        raise TypeError("media must be a sequence of Medium; for one medium use time_resolved")
    if isinstance(media, collections.abc.Sized):
        total = len(media)
        if count is not None and _checks.count(count, "count") != total:
            raise ValueError(f"count is {count} but media holds {total} models")
    elif count is None:
        raise TypeError("media has no len(); give the number of models as count")
    else:
        total = _checks.count(count, "count")
    if chunk_size is None:
        chunk_size = 1 if client is None else _DASK_CHUNK
    chunk_size = _checks.positive_count(chunk_size, "chunk_size")
    if client is None:
        local = _local_workers() if workers is None else _checks.positive_count(workers, "workers", 4096)
    if not distances:
        raise ValueError("no source-detector distance was given; give at least one")

    bar = _progress_bar(total, progress)
    output = _Output(total, len(distances), grid_samples, dt, single, bar)

    def tasks():
        for start, chunk in _chunks(media, chunk_size):
            if start + len(chunk) > total:
                # The media within count are still computed.
                chunk = chunk[: total - start]
                if chunk:
                    yield (start, len(chunk)), (start, chunk, *args)
                raise ValueError(f"media holds more than count={total} models")
            yield (start, len(chunk)), (start, chunk, *args)

    def salvage(key, error):
        rows = error.__dict__.pop("sweep_rows", None) if isinstance(error, _nlayer.ModelError) else None
        if rows is not None and len(rows[1]):
            output.store(*rows)

    try:
        failure = run_chunks(_compute_chunk, tasks(), lambda key, curves: output.store(key[0], curves),
                             client=client, workers=None if client is not None else local, timeout=limit,
                             salvage=salvage,
                             describe=lambda key: f"the chunk of models {key[0]} to {key[0] + key[1] - 1}")
    finally:
        if bar is not None:
            bar.close()
    if failure is not None:
        raise output.fail(failure)
    filled = int(output.valid.sum())
    if filled != total:
        raise output.fail(ValueError(f"media held {filled} models, not count={total}"))
    return output.result()
