"""SNIRF files (HDF5) of time-domain recordings: reading gated DTOFs (dataType 201) and moments
(dataType 301), writing recordings and processed results (dataType 99999).

Every refusal is a RecordingError that names the file and the HDF5 path at fault. Files are
built in memory and saved through the package's one save (nlayer._output), so that a failure
never leaves a half-written file under the target's name.
"""

from __future__ import annotations

import io
import os
import re
import stat
import sys
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from . import _output
from . import _types

GATED = 201
MOMENTS = 301
PROCESSED = 99999

_TYPE_NAMES = {1: "continuous-wave amplitude", 51: "continuous-wave fluorescence amplitude",
               101: "frequency-domain AC amplitude", 102: "frequency-domain phase",
               151: "frequency-domain fluorescence amplitude", 152: "frequency-domain fluorescence phase",
               251: "time-domain gated fluorescence amplitude", 351: "time-domain moments of fluorescence",
               401: "DCS g2", 410: "DCS blood flow index", PROCESSED: "processed data"}

# SNIRF's units are case-sensitive SI symbols; micro may be written u, the Greek mu or the micro sign.
_TIME_UNITS = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "\u03bcs": 1e-6, "\u00b5s": 1e-6, "ns": 1e-9, "ps": 1e-12}
_LENGTH_UNITS_MM = {"m": 1e3, "cm": 10.0, "mm": 1.0, "um": 1e-3, "\u03bcm": 1e-3, "\u00b5m": 1e-3}


# Datasets that describe the probe, the gates or the stimuli hold a few values; a recording's
# own series are bounded by the memory (and their partners by the series' shape).
SMALL = 1_000_000


def _available_memory():
    """Bytes of memory available (Linux's estimate), or None where it is not known."""
    try:
        with open("/proc/meminfo") as stream:
            for line in stream:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def _one_line(error):
    return " ".join(str(error).split())


class RecordingError(ValueError):
    """A file that nlayer cannot take as a recording: not SNIRF, a field missing or malformed,
    gates that overlap or are not sorted, a unit it does not know, a dataType it does not handle.

    file      the file's name
    location  the HDF5 path at fault ("/nirs/data1/measurementList3/dataType", "/" for the file)
    """

    def __init__(self, file, location, message):
        self.file = str(file)
        self.location = location
        self.reason = message
        super().__init__(f"{file}: {location}: {message}")


@dataclass
class Recording:
    """A time-domain recording as read from (or written to) a SNIRF file.

    time_s        the time points, s, shape (T,)
    wavelengths   nominal wavelengths, nm, shape (W,)
    source, detector   1-based optode indices of each DTOF channel, shape (C,)
    wavelength_index   0-based index into wavelengths of each channel, shape (C,)
    rho_mm        each channel's source-detector distance, mm, shape (C,)
    kind          "gated" (counts per gate) or "moments" (total, mean time, variance)
    gate_ps       gated: each gate's centre, ps, shape (G,); gate_width_ps its width
    counts        gated: the DTOFs, shape (T, C, G)
    moments       moments: shape (T, C, 3): total counts, mean time (ps), variance (ps^2)
    stim          list of (name, array (n, 3) of onset s, duration s, amplitude)
    left_out      the channels read_snirf left out because they hold no finite value at any
                  time point, as "S4-D43 690 nm" (a channel missing at some time points only is
                  kept, NaN there)
    probe, meta   the probe's and metaDataTags' datasets as read, name -> value, written back
                  unchanged with results
    file, location   where it was read from ("" when made in memory)
    """

    time_s: np.ndarray
    wavelengths: np.ndarray
    source: np.ndarray
    detector: np.ndarray
    wavelength_index: np.ndarray
    rho_mm: np.ndarray
    kind: str
    gate_ps: Optional[np.ndarray] = None
    gate_width_ps: Optional[np.ndarray] = None
    counts: Optional[np.ndarray] = None
    moments: Optional[np.ndarray] = None
    stim: List[Tuple[str, np.ndarray]] = field(default_factory=list)
    left_out: List[str] = field(default_factory=list)
    probe: Dict[str, Any] = field(default_factory=dict)
    meta: Dict[str, Any] = field(default_factory=dict)
    file: str = ""
    location: str = ""

    @property
    def channels(self) -> int:
        return len(self.source)

    def stim_onsets(self) -> np.ndarray:
        """Every stimulus's onset and duration (s), sorted by onset, shape (n, 2)."""
        parts = [np.asarray(data, dtype=float)[:, :2] for _, data in self.stim if np.size(data)]
        if not parts:
            return np.empty((0, 2))
        rows = np.concatenate(parts)
        return rows[np.argsort(rows[:, 0], kind="stable")]


# --------------------------------------------------------------------------------------------
# Reading


class _Reader:
    def __init__(self, path, h5):
        self.path = path
        self.h5 = h5

    def fail(self, location, message):
        raise RecordingError(self.path, location, message)

    def node(self, location, kind=None, required=True):
        import h5py

        try:
            item = self.h5.get(location)
        except (RuntimeError, KeyError, OSError, ValueError) as error:
            # A soft-link loop or a damaged object header: libhdf5's own words, on one line.
            self.fail(location, f"cannot be opened ({_one_line(error)})")
        if item is None:
            if required:
                self.fail(location, "missing")
            return None
        if kind == "group" and not isinstance(item, h5py.Group):
            self.fail(location, "is a dataset; a group was expected")
        if kind == "dataset" and not isinstance(item, h5py.Dataset):
            self.fail(location, "is a group; a dataset was expected")
        return item

    def string(self, location, required=True):
        item = self.node(location, "dataset", required)
        if item is None:
            return None
        if item.dtype.kind not in "SOU" or item.shape not in ((), (1,)):
            self.fail(location, "is not a string")
        value = item[()]
        if isinstance(value, np.ndarray):
            value = value.reshape(-1)[0]
        return self.text(location, value)

    def text(self, location, value):
        """A str from what h5py returns for a string: bytes are taken as UTF-8 (ASCII is a
        part of it) whatever the file declares, as writers mislabel the micro sign."""
        if isinstance(value, bytes):
            try:
                return value.decode("utf-8")
            except UnicodeDecodeError as error:
                self.fail(location, f"holds bytes that are not text (UTF-8 or ASCII): byte {value[error.start]:#04x} "
                          f"at position {error.start + 1}")
        return str(value)

    def size(self, location, item, most):
        """Refuses a dataset that declares more than `most` values, or more than the memory
        can hold, before anything of it is read: a small file can declare a huge one."""
        count = int(np.prod(item.shape, dtype=np.float64))
        if most is not None and count > most:
            self.fail(location, f"declares {count} values; at most {most} are expected here")
        needed = 3 * 8 * count                 # the values as read, as float and one copy
        available = _available_memory()
        if available is not None and needed > available:
            self.fail(location, f"declares {count} values ({needed / 2**30:.3g} GiB to read), more than the "
                      f"{available / 2**30:.3g} GiB of memory available")

    def numbers(self, location, ndim, required=True, integer=False, most=SMALL, finite=True):
        """The dataset's values; `most` bounds their number (None: the memory alone), checked
        before reading. finite=False lets NaN and infinity through (a device's missing values)."""
        item = self.node(location, "dataset", required)
        if item is None:
            return None
        if item.dtype.kind not in "iuf":
            self.fail(location, "is not " + ("an integer" if integer else "numeric"))
        self.size(location, item, most)
        value = np.asarray(item[()])
        if integer:
            # Some writers store indices as floating-point numbers: whole ones are taken.
            if value.dtype.kind == "f" and not np.all(np.isfinite(value) & (value == np.round(value))):
                self.fail(location, "is not an integer")
            # Beyond int64 the cast below would wrap into some other (valid looking) number.
            if value.size and value.dtype.kind in "fu" and np.max(np.abs(value)) > 2**53:
                self.fail(location, f"holds {np.max(np.abs(value)):g}, beyond any index")
            value = value.astype(np.int64)
        else:
            value = value.astype(float)
        if ndim == 0:
            if value.size != 1:
                self.fail(location, f"holds {value.size} values; one was expected")
            return value.reshape(-1)[0]
        if value.ndim == 0:
            value = value.reshape(1)
        if ndim == 2 and value.ndim == 1:
            value = value.reshape(-1, 1)
        if value.ndim != ndim:
            self.fail(location, f"is {value.ndim}-dimensional; a {ndim}-dimensional array was expected")
        if not integer and finite and not np.all(np.isfinite(value)):
            self.fail(location, "holds a value that is not finite")
        return value

    def names(self, location, group):
        """The group's member names; h5py gives a name that is not UTF-8 as bytes."""
        names = list(group.keys())
        for key in names:
            if isinstance(key, bytes):
                self.fail(location, f"holds a member whose name is not text (UTF-8 or ASCII): {key!r}")
        return names

    def indexed(self, parent, name):
        """The members parent/name1, name2, ... (or parent/name alone) in index order."""
        group = self.node(parent, "group")
        found = []
        for key in self.names(parent, group):
            match = re.fullmatch(re.escape(name) + r"([1-9][0-9]*)?", key)
            if match:
                found.append((int(match.group(1) or 0), f"{parent}/{key}".replace("//", "/")))
        return [location for _, location in sorted(found)]

    def unit(self, location, table, what):
        text = self.string(location)
        if text not in table:
            known = ", ".join(name for name in table if name.isascii())
            self.fail(location, f"unknown {what} unit {text!r}; nlayer knows {known}")
        return table[text]

    def everything(self, location):
        """A group's datasets as name -> value (strings as str), for copying them back."""
        import h5py

        out = {}
        group = self.node(location, "group")
        for key in self.names(location, group):
            item = group.get(key)
            if isinstance(item, h5py.Dataset):
                where = f"{location}/{key}"
                self.size(where, item, SMALL)
                if item.dtype.kind in "SO":
                    value = item[()]
                    out[key] = self.text(where, value) if not isinstance(value, np.ndarray) else \
                        np.array([self.text(where, v) for v in value.reshape(-1)], dtype=object).reshape(value.shape)
                else:
                    out[key] = item[()]
        return out


def _expand_time(reader, location, time, count):
    if len(time) == count:
        return time
    if len(time) == 2 and count != 2:
        # SNIRF's shorthand for a uniform axis: start and spacing.
        return time[0] + time[1] * np.arange(count)
    reader.fail(location, f"holds {len(time)} times for {count} rows of dataTimeSeries")


def _measurement_lists(reader, block, columns):
    """(source, detector, wavelength index, dataType, dataTypeIndex) arrays over the columns."""
    lists = reader.node(f"{block}/measurementLists", "group", required=False)
    singles = reader.indexed(block, "measurementList")
    if lists is not None and singles:
        reader.fail(f"{block}/measurementLists", "present together with measurementList(k); one of them is allowed")
    fields = ("sourceIndex", "detectorIndex", "wavelengthIndex", "dataType", "dataTypeIndex")
    if lists is not None:
        values = []
        for name in fields:
            location = f"{block}/measurementLists/{name}"
            array = reader.numbers(location, 2 if name == "dataTypeIndex" else 1, integer=True, most=2 * columns)
            if array.ndim == 2 and array.shape[0] != columns and array.shape[1] == columns:
                array = array.T
            if len(array) != columns:
                reader.fail(location, f"holds {len(array)} entries for {columns} columns of dataTimeSeries")
            values.append(array[:, 0] if array.ndim == 2 else array)
        where = [f"{block}/measurementLists/{{}}[{k}]" for k in range(columns)]
        return (*values, where)
    if not singles:
        reader.fail(f"{block}/measurementList1", "missing (and no measurementLists either)")
    if len(singles) != columns:
        reader.fail(singles[-1], f"{len(singles)} measurement lists for {columns} columns of dataTimeSeries")
    rows = []
    for location in singles:
        row = []
        for name in fields:
            if name == "dataTypeIndex":
                # Time-domain data may give two indices; the first names the gate or moment.
                indices = reader.numbers(f"{location}/{name}", 1, integer=True)
                if indices.size == 0:
                    reader.fail(f"{location}/{name}", "is empty; an index was expected")
                row.append(int(indices[0]))
            else:
                row.append(int(reader.numbers(f"{location}/{name}", 0, integer=True)))
        rows.append(row)
    values = np.array(rows, dtype=np.int64).reshape(columns, len(fields)).T
    return (*values, [f"{location}/{{}}" for location in singles])


def _positions(reader, probe, which):
    for name in (f"{which}Pos3D", f"{which}Pos2D"):
        if f"{probe}/{name}" in reader.h5:
            return reader.numbers(f"{probe}/{name}", 2), f"{probe}/{name}"
    reader.fail(f"{probe}/{which}Pos3D", f"missing (and no {which}Pos2D either)")


def _gates(reader, probe, used, time_factor_ps):
    delays = reader.numbers(f"{probe}/timeDelays", 1)
    widths = reader.numbers(f"{probe}/timeDelayWidths", 1)
    if len(widths) != len(delays):
        reader.fail(f"{probe}/timeDelayWidths", f"holds {len(widths)} widths for {len(delays)} timeDelays")
    for index in used:
        if not 1 <= index <= len(delays):
            reader.fail(f"{probe}/timeDelays", f"has {len(delays)} gates; a channel names gate {index}")
    d = delays[used - 1] * time_factor_ps
    w = widths[used - 1] * time_factor_ps
    if np.any(w <= 0):
        reader.fail(f"{probe}/timeDelayWidths", "holds a width <= 0")
    if np.any(np.diff(d) <= 0):
        k = int(np.argmax(np.diff(d) <= 0))
        reader.fail(f"{probe}/timeDelays", f"gates are not sorted: gate {used[k + 1]} opens at {d[k + 1]:g} ps, "
                    f"not after gate {used[k]} at {d[k]:g} ps")
    ends = d[:-1] + w[:-1]
    overlap = ends > d[1:] + 1e-9 * np.maximum(np.abs(d[1:]), 1.0)
    if np.any(overlap):
        k = int(np.argmax(overlap))
        reader.fail(f"{probe}/timeDelayWidths", f"gates overlap: gate {used[k]} closes at {ends[k]:g} ps, "
                    f"after gate {used[k + 1]} opens at {d[k + 1]:g} ps")
    return d + w / 2, w


def read_snirf(path: _types.Path, *, nirs: Optional[int] = None, data: int = 1, timeout: Optional[float] = None,
               isolated: bool = True) -> Recording:
    """Reads a time-domain recording from a SNIRF file.

    nirs  which /nirs(i) (default: the only one); data  which data(j) block (default 1).
    A gated channel (dataType 201: one column per source, detector, wavelength and gate
    dataTypeIndex into probe/timeDelays and timeDelayWidths) becomes a DTOF per time point;
    moments (dataType 301, dataTypeIndex into probe/momentOrders 0, 1, 2) are read as total,
    mean time and variance. Times are converted to s (the recording) and ps (gates and moments)
    from metaDataTags/TimeUnit, positions to mm from LengthUnit; each channel's distance is that
    between its source and detector positions (3D when given, else 2D). A gate spans
    [delay, delay + width) and stands for its centre.

    The file is read in a child process (isolated=True, the default): a damaged file can crash
    libhdf5 or make it loop forever, and would take this process with it. A child that dies or
    takes longer than `timeout` seconds (default: $NLAYER_SNIRF_TIMEOUT, else 30 s or 1 s per
    5 MB of file, whichever is longer) gives a RecordingError saying the file is damaged.
    isolated=False reads in this process (the child's reading itself).

    Raises OSError when the file cannot be opened and RecordingError, naming the HDF5 path,
    for a file that is not SNIRF or breaks these rules.
    """
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(2, "No such file or directory", path)
    if os.path.isdir(path):
        raise IsADirectoryError(21, "Is a directory", path)
    # What cannot be opened at all is OSError's to say, not the child's; HDF5 needs a regular
    # file (a FIFO's open would block).
    os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK))
    if not stat.S_ISREG(os.stat(path).st_mode):
        raise RecordingError(path, "/", "not a regular file, so no SNIRF file")
    if isolated and sys.executable:
        return _read_isolated(path, nirs, data, timeout)
    return _read_file(path, nirs, data)


def _read_file(path, nirs, data):
    import h5py

    try:
        h5 = h5py.File(path, "r")
    except OSError as error:
        raise RecordingError(path, "/", f"not an HDF5 file, so no SNIRF file ({_one_line(error)})") from None
    with h5:
        try:
            return _read(_Reader(path, h5), path, h5, nirs, data)
        except RecordingError:
            raise
        except (RuntimeError, OSError, KeyError, ValueError, TypeError) as error:
            # What libhdf5 or h5py raise on a damaged file, past the checks above.
            raise RecordingError(path, "/", f"damaged: {_one_line(error)}") from None


def _time_limit(path, timeout):
    name = "timeout"
    if timeout is None:
        text = os.environ.get("NLAYER_SNIRF_TIMEOUT", "").strip()
        if not text:
            # Generous for a slow disk and gzip-compressed series; a sound read takes a fraction.
            return max(30.0, os.path.getsize(path) / 5e6)
        name = "NLAYER_SNIRF_TIMEOUT"
        try:
            timeout = float(text)
        except ValueError:
            timeout = text
    if isinstance(timeout, str) or not timeout > 0 or not np.isfinite(timeout):
        raise ValueError(f"{name} is {timeout!r}; it must be a finite number of seconds > 0")
    return float(timeout)


# The child imports this module through the parent's sys.path, so that it reads with the very
# code (and h5py) of the parent; -I -S keep the environment and site from changing that.
_CHILD = ("import pickle, sys; request = pickle.loads(sys.stdin.buffer.read()); sys.path[:] = request[0]; "
          "from nlayer._snirf import _child_main; _child_main(*request[1:])")


def _child_main(path, nirs, data):
    """Reads the file and answers on the original stdout with one pickled reply; anything
    libhdf5 or h5py print goes to stderr."""
    import pickle
    import signal
    from dataclasses import fields

    # Ctrl-C reaches the whole process group: the parent answers it and ends this child.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    reply_stream = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    try:
        import h5py  # noqa: F401
    except ImportError as error:
        reply = ("no reader", f"{type(error).__name__}: {error}")
    else:
        try:
            recording = _read_file(path, nirs, data)
            reply = ("read", {item.name: getattr(recording, item.name) for item in fields(Recording)})
        except RecordingError as error:
            reply = ("refused", error.location, error.reason)
        except MemoryError:
            reply = ("refused", "/", "damaged or unreadable: reading it needs more memory than is available")
        except Exception as error:
            # A fault of this reader rather than of the file; said as such, on one line.
            reply = ("failed", f"{type(error).__name__}: {_one_line(error)}")
    pickle.dump(reply, reply_stream, protocol=pickle.HIGHEST_PROTOCOL)
    reply_stream.close()


def _read_isolated(path, nirs, data, timeout):
    import pickle
    import signal
    import subprocess

    limit = _time_limit(path, timeout)
    request = pickle.dumps((list(sys.path), path, nirs, data))
    child = subprocess.Popen([sys.executable, "-I", "-S", "-c", _CHILD], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        out, err = child.communicate(request, timeout=limit)
    except subprocess.TimeoutExpired:
        raise RecordingError(path, "/", f"damaged or unreadable: reading it took longer than {limit:g} s (a "
                             "damaged file can make libhdf5 loop forever; NLAYER_SNIRF_TIMEOUT or timeout= "
                             "give it longer)") from None
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    if child.returncode < 0:
        try:
            name = signal.Signals(-child.returncode).name
        except ValueError:
            name = f"signal {-child.returncode}"
        hint = " (out of memory?)" if name == "SIGKILL" else ""
        raise RecordingError(path, "/", f"damaged or unreadable: reading it crashed libhdf5 ({name}{hint})")
    try:
        reply = pickle.loads(out)
    except Exception:
        reply = None
    if not isinstance(reply, tuple) or child.returncode != 0:
        lines = [line for line in err.decode("utf-8", "replace").splitlines() if line.strip()]
        raise OSError(f"{path}: the process reading it stopped with status {child.returncode}"
                      + (f" ({lines[-1].strip()})" if lines else ""))
    if reply[0] == "read":
        return Recording(**reply[1])
    if reply[0] == "refused":
        raise RecordingError(path, reply[1], reply[2])
    if reply[0] == "no reader":
        raise ImportError(reply[1])
    raise RecordingError(path, "/", f"damaged or unreadable: the reader failed on it ({reply[1]})")


def _read(reader, path, h5, nirs, data):
    reader.string("/formatVersion")
    roots = reader.indexed("/", "nirs")
    if not roots:
        reader.fail("/nirs", "missing: no /nirs group, so no SNIRF file")
    if nirs is None:
        if len(roots) > 1:
            reader.fail("/", f"holds {len(roots)} /nirs groups ({', '.join(roots)}); choose one with nirs=")
        root = roots[0]
    else:
        root = next((r for r in roots if r in (f"/nirs{nirs}", "/nirs" if nirs == 1 else None)), None)
        if root is None:
            reader.fail(f"/nirs{nirs}", "missing")
    meta = f"{root}/metaDataTags"
    reader.node(meta, "group")
    time_factor = reader.unit(f"{meta}/TimeUnit", _TIME_UNITS, "time")
    length_factor = reader.unit(f"{meta}/LengthUnit", _LENGTH_UNITS_MM, "length")
    block = f"{root}/data{data}"
    if block not in h5 and data == 1 and f"{root}/data" in h5:
        block = f"{root}/data"
    reader.node(block, "group")
    # Devices mark dead or saturated channels, and lost samples, with NaN: sorted out per
    # channel below.
    series = reader.numbers(f"{block}/dataTimeSeries", 2, most=None, finite=False)
    if series.size == 0:
        reader.fail(f"{block}/dataTimeSeries", f"has shape {series.shape}: no time point or no channel")
    offset = reader.numbers(f"{block}/dataOffset", 1, required=False, most=series.shape[1])
    if offset is not None:
        if len(offset) != series.shape[1]:
            reader.fail(f"{block}/dataOffset", f"holds {len(offset)} offsets for {series.shape[1]} channels")
        series = series + offset
    time = _expand_time(reader, f"{block}/time", reader.numbers(f"{block}/time", 1, most=max(series.shape[0], 2)), series.shape[0])
    time_s = time * time_factor
    if np.any(np.diff(time_s) <= 0):
        reader.fail(f"{block}/time", "the times do not rise")
    src, det, wl, kind, index, where = _measurement_lists(reader, block, series.shape[1])
    for k, value in enumerate(kind):
        if value not in (GATED, MOMENTS):
            name = _TYPE_NAMES.get(int(value), "unknown")
            reader.fail(where[k].format("dataType"), f"unhandled dataType {int(value)} ({name}); nlayer reads "
                        "201 (time-domain gated amplitude) and 301 (time-domain moments)")
    if len(set(kind.tolist())) > 1:
        k = int(np.argmax(kind != kind[0]))
        reader.fail(where[k].format("dataType"), f"dataType {int(kind[k])} in a block of dataType {int(kind[0])}; "
                    "a block must hold one kind of data")
    probe = f"{root}/probe"
    reader.node(probe, "group")
    wavelengths = reader.numbers(f"{probe}/wavelengths", 1)
    if len(set(wavelengths.tolist())) != len(wavelengths):
        twice = next(w for w in wavelengths.tolist() if wavelengths.tolist().count(w) > 1)
        reader.fail(f"{probe}/wavelengths", f"names {twice:g} nm twice: each wavelength is given once")
    sources, source_at = _positions(reader, probe, "source")
    detectors, detector_at = _positions(reader, probe, "detector")
    for k in range(len(src)):
        for value, limit, name, at in ((src[k], len(sources), "sourceIndex", source_at),
                                       (det[k], len(detectors), "detectorIndex", detector_at),
                                       (wl[k], len(wavelengths), "wavelengthIndex", f"{probe}/wavelengths")):
            if not 1 <= value <= limit:
                reader.fail(where[k].format(name), f"is {int(value)}, but {at} has {limit} entries")
    if np.any(series < 0) and kind[0] == GATED:
        row, column = np.argwhere(series < 0)[0]
        reader.fail(f"{block}/dataTimeSeries", f"negative counts ({series[row, column]:g}) in row {row + 1}, "
                    f"column {column + 1}")

    # One DTOF channel per (source, detector, wavelength), in order of first appearance.
    keys = list(zip(src.tolist(), det.tolist(), wl.tolist()))
    channels = list(dict.fromkeys(keys))
    members = {key: [] for key in channels}
    for column, key in enumerate(keys):
        members[key].append(column)
    first = channels[0]
    reference = sorted(index[members[first]].tolist())
    for key in channels:
        indices = index[members[key]]
        if len(set(indices.tolist())) != len(indices):
            column = members[key][int(np.argmax([list(indices).count(i) > 1 for i in indices]))]
            reader.fail(where[column].format("dataTypeIndex"),
                        f"index {int(index[column])} twice for source {key[0]}, detector {key[1]}, "
                        f"wavelength {key[2]}")
        if sorted(indices.tolist()) != reference:
            reader.fail(where[members[key][0]].format("dataTypeIndex"),
                        f"source {key[0]}, detector {key[1]}, wavelength {key[2]} has other dataTypeIndex values "
                        f"than source {first[0]}, detector {first[1]}, wavelength {first[2]}; every channel "
                        "needs the same gates or moments")
    used = np.array(reference, dtype=np.int64)
    order = np.array([[members[key][list(index[members[key]]).index(i)] for i in reference] for key in channels])
    values = series[:, order]        # (T, C, G or moments)
    # A DTOF (or a triple of moments) lacking one value is missing as a whole at that time
    # point; a channel missing at every time point is left out and named.
    missing = ~np.all(np.isfinite(values), axis=2)
    values[missing] = np.nan
    dead = np.all(missing, axis=0)
    left_out = [f"S{key[0]}-D{key[1]} {wavelengths[key[2] - 1]:g} nm" for key, gone in zip(channels, dead) if gone]
    if np.all(dead):
        reader.fail(f"{block}/dataTimeSeries", f"no channel has a finite value at any time point "
                    f"({len(channels)} channels)")
    channels = [key for key, gone in zip(channels, dead) if not gone]
    values = values[:, ~dead]
    s = np.array([c[0] for c in channels])
    d = np.array([c[1] for c in channels])
    w = np.array([c[2] for c in channels]) - 1
    dims = min(sources.shape[1], detectors.shape[1])
    rho = np.linalg.norm(sources[s - 1, :dims] - detectors[d - 1, :dims], axis=1) * length_factor
    if np.any(rho <= 0):
        k = int(np.argmax(rho <= 0))
        reader.fail(detector_at, f"detector {d[k]} sits on source {s[k]}: a distance of 0")
    recording = Recording(time_s=time_s, wavelengths=wavelengths, source=s, detector=d, wavelength_index=w,
                          rho_mm=rho, kind="gated" if kind[0] == GATED else "moments", file=path, location=block,
                          left_out=left_out)
    if kind[0] == GATED:
        recording.gate_ps, recording.gate_width_ps = _gates(reader, probe, used, time_factor / 1e-12)
        recording.counts = values
    else:
        orders = reader.numbers(f"{probe}/momentOrders", 1)
        for i in used:
            if not 1 <= i <= len(orders):
                reader.fail(f"{probe}/momentOrders", f"has {len(orders)} orders; a channel names order {i}")
        got = [int(orders[i - 1]) for i in used]
        if sorted(got) != [0, 1, 2]:
            reader.fail(f"{probe}/momentOrders", f"the channels give the orders {got}; nlayer needs 0, 1 and 2")
        moments = values[:, :, np.argsort(got)]
        scale = time_factor / 1e-12
        moments = moments * np.array([1.0, scale, scale * scale])
        if np.any(moments[:, :, 0] <= 0) or np.any(moments[:, :, 2] < 0):
            reader.fail(f"{block}/dataTimeSeries", "a total <= 0 or a negative variance")
        recording.moments = moments
    for location in reader.indexed(root, "stim"):
        name = reader.string(f"{location}/name")
        table = reader.numbers(f"{location}/data", 2, finite=False)
        if table.size and table.shape[1] < 3:
            reader.fail(f"{location}/data", f"has {table.shape[1]} columns; onset, duration and value are needed")
        # Devices add columns of their own (dataLabels names them), NaN where they have nothing
        # to say: only onset, duration and amplitude are read.
        table = table[:, :3] if table.size else np.empty((0, 3))
        if not np.all(np.isfinite(table)):
            row, column = np.argwhere(~np.isfinite(table))[0]
            reader.fail(f"{location}/data", f"the {('onset', 'duration', 'amplitude')[column]} of row {row + 1} "
                        "is not a finite number")
        recording.stim.append((name, table * np.r_[time_factor, time_factor, 1.0]))
    recording.probe = reader.everything(probe)
    recording.meta = reader.everything(meta)
    return recording


# --------------------------------------------------------------------------------------------
# Writing


def _string(group, name, value):
    import h5py

    group.create_dataset(name, data=value, dtype=h5py.string_dtype())


def _integer(group, name, value):
    group.create_dataset(name, data=np.int32(value))


def _copy_values(group, values):
    import h5py

    for name, value in values.items():
        if isinstance(value, str):
            _string(group, name, value)
        elif isinstance(value, np.ndarray) and value.dtype == object:
            group.create_dataset(name, data=value.astype(str).astype(object), dtype=h5py.string_dtype())
        else:
            group.create_dataset(name, data=value)


def atomic_write(path, write):
    """Calls write(h5py.File) on a file in memory and saves its bytes as `path` through the
    package's one save (nlayer._output.save): all or nothing, links, mode and owner kept; on any
    failure `path` is left as it was."""
    import h5py

    buffer = io.BytesIO()
    with h5py.File(buffer, "w") as h5:
        write(h5)
    _output.save(path, buffer.getvalue())


def time_unit_s(recording):
    """The length of the recording's TimeUnit in s (s when it names none)."""
    return _TIME_UNITS[recording.meta.get("TimeUnit", "s")]


def _write_common(h5, recording):
    """formatVersion, metaDataTags, probe and stim; times go back into the file's TimeUnit."""
    _string(h5, "formatVersion", "1.1")
    nirs = h5.create_group("nirs")
    meta = nirs.create_group("metaDataTags")
    values = {"SubjectID": "unknown", "MeasurementDate": "unknown", "MeasurementTime": "unknown",
              "LengthUnit": "mm", "TimeUnit": "s", "FrequencyUnit": "Hz", **recording.meta}
    _copy_values(meta, values)
    probe = nirs.create_group("probe")
    _copy_values(probe, recording.probe)
    unit = time_unit_s(recording)
    for j, (name, data) in enumerate(recording.stim, start=1):
        group = nirs.create_group(f"stim{j}")
        _string(group, "name", name)
        table = np.asarray(data, dtype=float).reshape(-1, np.shape(data)[-1] if np.size(data) else 3)
        if table.size:
            table = table / np.r_[unit, unit, np.ones(table.shape[1] - 2)]
        group.create_dataset("data", data=table)
    return nirs


def write_recording(path: _types.Path, recording: Recording) -> None:
    """Writes a Recording as a SNIRF file: gated data as dataType 201 with one column per channel
    and gate, moments as 301; times, gates and moments in the TimeUnit of recording.meta (s when
    it names none). recording.probe must hold the positions and wavelengths in its LengthUnit
    (simulate_recording fills it); the gates and moment orders are written from the recording
    itself."""
    unit_ps = time_unit_s(recording) / 1e-12

    def write(h5):
        nirs = _write_common(h5, recording)
        probe = nirs["probe"]
        block = nirs.create_group("data1")
        T, C = len(recording.time_s), recording.channels
        if recording.kind == "gated":
            G = len(recording.gate_ps)
            for name in ("timeDelays", "timeDelayWidths"):
                if name in probe:
                    del probe[name]
            probe.create_dataset("timeDelays", data=(recording.gate_ps - recording.gate_width_ps / 2) / unit_ps)
            probe.create_dataset("timeDelayWidths", data=recording.gate_width_ps / unit_ps)
            block.create_dataset("dataTimeSeries", data=recording.counts.reshape(T, C * G), compression="gzip")
            kind, gates = GATED, np.arange(1, G + 1)
        else:
            if "momentOrders" in probe:
                del probe["momentOrders"]
            probe.create_dataset("momentOrders", data=np.array([0.0, 1.0, 2.0]))
            scale = np.array([1.0, 1 / unit_ps, 1 / unit_ps**2])
            block.create_dataset("dataTimeSeries", data=(recording.moments * scale).reshape(T, C * 3))
            kind, gates = MOMENTS, np.arange(1, 4)
        block.create_dataset("time", data=recording.time_s / time_unit_s(recording))
        lists = block.create_group("measurementLists")
        n = len(gates)
        lists.create_dataset("sourceIndex", data=np.repeat(recording.source, n).astype(np.int32))
        lists.create_dataset("detectorIndex", data=np.repeat(recording.detector, n).astype(np.int32))
        lists.create_dataset("wavelengthIndex", data=np.repeat(recording.wavelength_index + 1, n).astype(np.int32))
        lists.create_dataset("dataType", data=np.full(C * n, kind, dtype=np.int32))
        lists.create_dataset("dataTypeIndex", data=np.tile(gates, C).astype(np.int32))

    atomic_write(path, write)


def write_results(path, recording, blocks):
    """Writes processed results: formatVersion, metaDataTags and probe and stim as the recording
    has them, then one data(j) per entry of `blocks`, a list of (name, series) where series is a
    list of (label, unit, source, detector, wavelength index, values (T,)), the indices 1-based
    as SNIRF's readers require, written as dataType 99999 with dataTypeLabel `label`, dataUnit
    `unit` and dataTypeIndex 1, on the recording's time axis."""
    for _, series in blocks:
        for label, _unit, *indices, _values in series:
            if min(indices) < 1:
                raise ValueError(f"{label}: SNIRF's indices start at 1, not {min(indices)}")

    def write(h5):
        nirs = _write_common(h5, recording)
        for j, (name, series) in enumerate(blocks, start=1):
            block = nirs.create_group(f"data{j}")
            _string(block, "name", name)
            block.create_dataset("dataTimeSeries", data=np.column_stack([s[5] for s in series]))
            block.create_dataset("time", data=recording.time_s / time_unit_s(recording))
            for k, (label, unit, source, detector, wavelength, _) in enumerate(series, start=1):
                entry = block.create_group(f"measurementList{k}")
                _integer(entry, "sourceIndex", source)
                _integer(entry, "detectorIndex", detector)
                _integer(entry, "wavelengthIndex", wavelength)
                _integer(entry, "dataType", PROCESSED)
                _string(entry, "dataTypeLabel", label)
                _string(entry, "dataUnit", unit)
                _integer(entry, "dataTypeIndex", 1)

    atomic_write(path, write)
