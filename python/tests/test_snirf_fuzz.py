"""Hostile SNIRF files: random structures made with h5py (hypothesis) and corrupted bytes of a
valid recording. Each ends in a recording whose arrays fit together or in a RecordingError that
names the HDF5 path or says the file is damaged: never another exception, a crash or a hang.

NLAYER_FUZZ_SECONDS=600 runs each of the two for about that long instead of the short default."""

import os
import time

import h5py
import numpy as np
import pytest
from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

from nlayer import recording as rec

BUDGET_S = float(os.environ.get("NLAYER_FUZZ_SECONDS", "0") or 0)
SETTINGS = settings(max_examples=150, deadline=None, database=None, derandomize=BUDGET_S == 0,
                    suppress_health_check=list(HealthCheck))

T, GATES = 5, 3
# One source, two detectors, two wavelengths: 4 channels of 3 gates.
CHANNELS = [(1, d, w) for d in (1, 2) for w in (1, 2)]


def _valid_tree(lists):
    """path -> value of a small gated recording (TimeUnit ns, LengthUnit mm)."""
    rng = np.random.default_rng(0)
    tree = {"formatVersion": "1.1",
            "nirs/metaDataTags/SubjectID": "s1", "nirs/metaDataTags/MeasurementDate": "2026-01-01",
            "nirs/metaDataTags/MeasurementTime": "10:00:00", "nirs/metaDataTags/LengthUnit": "mm",
            "nirs/metaDataTags/TimeUnit": "ns", "nirs/metaDataTags/FrequencyUnit": "Hz",
            "nirs/data1/dataTimeSeries": rng.poisson(100.0, (T, len(CHANNELS) * GATES)).astype(float),
            "nirs/data1/time": 1e8 * np.arange(T, dtype=float),
            "nirs/probe/wavelengths": np.array([760.0, 850.0]),
            "nirs/probe/sourcePos3D": np.array([[0.0, 0.0, 0.0]]),
            "nirs/probe/detectorPos3D": np.array([[10.0, 0.0, 0.0], [30.0, 0.0, 0.0]]),
            "nirs/probe/timeDelays": np.array([0.5, 1.0, 1.5]),
            "nirs/probe/timeDelayWidths": np.array([0.5, 0.5, 0.5]),
            "nirs/stim1/name": "task", "nirs/stim1/data": np.array([[1e8, 1e8, 1.0]])}
    columns = [(s, d, w, g) for s, d, w in CHANNELS for g in range(1, GATES + 1)]
    names = ("sourceIndex", "detectorIndex", "wavelengthIndex", "dataTypeIndex")
    if lists:
        for k, name in enumerate(names):
            tree[f"nirs/data1/measurementLists/{name}"] = np.array([c[k] for c in columns], dtype=np.int32)
        tree["nirs/data1/measurementLists/dataType"] = np.full(len(columns), 201, dtype=np.int32)
    else:
        for j, column in enumerate(columns, start=1):
            for name, value in zip(names, column):
                tree[f"nirs/data1/measurementList{j}/{name}"] = np.int32(value)
            tree[f"nirs/data1/measurementList{j}/dataType"] = np.int32(201)
    return tree


def _write(path, tree, compression=None):
    with h5py.File(path, "w") as h5:
        for name, value in tree.items():
            if isinstance(value, Group):
                h5.require_group(name)
            elif isinstance(value, Declared):
                # Chunks never written hold the fill value: a tiny file that declares a lot.
                h5.create_dataset(name, shape=value.shape, dtype=value.dtype, chunks=value.chunks, fillvalue=1)
            elif isinstance(value, str):
                h5.create_dataset(name, data=value, dtype=h5py.string_dtype())
            elif isinstance(value, bytes):
                h5.create_dataset(name, data=value, dtype=h5py.string_dtype("ascii"))
            else:
                big = name.endswith("dataTimeSeries") and compression
                h5.create_dataset(name, data=value, compression=compression if big else None)


class Group:
    pass


class Declared:
    def __init__(self, shape, dtype):
        self.shape, self.dtype = shape, dtype
        self.chunks = tuple(min(n, 64) or 1 for n in shape) if all(shape) else None


# What a member can be replaced by: wrong types, shapes and sizes, odd numbers and text.
_numbers = st.sampled_from([0, 1, -1, 2, 7, 201, 301, 99999, 0.5, 1e-300, 1e300, np.nan, np.inf, -np.inf])
_dtypes = st.sampled_from(["i1", "u1", "i4", "u8", "f4", "f8", "c16", "?"])
_shapes = st.lists(st.integers(0, 4), min_size=0, max_size=3).map(tuple)


def _array(shape, dtype, fill):
    with np.errstate(invalid="ignore", over="ignore"):
        return np.full(shape, fill).astype(dtype) if dtype != "?" else np.full(shape, bool(fill == fill and fill))


_arrays = st.builds(_array, _shapes, _dtypes, _numbers)
_random_arrays = st.builds(lambda shape, seed_: np.random.default_rng(seed_).normal(0, 1e3, shape),
                           _shapes, st.integers(0, 2**32 - 1))
_huge = st.builds(Declared, st.sampled_from([(10**9,), (10**7, 10**6), (3, 10**9), (0, 10**9), (10**18,)]),
                  st.sampled_from(["f8", "i4"]))
# Letters, micro and mu, umlauts, a zero-width space, a byte-order mark, an emoji, DEL; no NUL,
# which ends HDF5's variable-length strings (h5py refuses to write one). A fixed alphabet keeps
# hypothesis from caching Unicode's tables in a .hypothesis folder.
_texts = st.lists(st.sampled_from("sµμüß€\u200b\ufeff\U0001f600\x7f\t /"), max_size=12).map("".join)
_values = st.one_of(_numbers.map(np.float64), _arrays, _random_arrays, _huge, _texts,
                    st.binary(min_size=1, max_size=12).map(lambda b: b.replace(b"\x00", b"\xff")), st.just(Group()),
                    st.sampled_from(["s", "ms", "\u00b5s", "ps", "m", "cm", "mm", "\u03bcm", "furlong"]),
                    st.just(np.array([("a", 1)], dtype=[("name", "S4"), ("value", "i4")])))


@st.composite
def _trees(draw):
    tree = _valid_tree(draw(st.booleans()))
    for _ in range(draw(st.integers(0, 4))):
        action = draw(st.sampled_from(["delete", "replace", "replace", "add"]))
        if action in ("delete", "replace") and tree:
            # A member, or a whole group with everything under it.
            name = draw(st.sampled_from(sorted(tree)))
            prefix = name.rsplit("/", draw(st.integers(0, name.count("/"))))[0]
            tree = {key: value for key, value in tree.items() if key != prefix and not key.startswith(prefix + "/")}
            if action == "replace":
                tree[prefix] = draw(_values)
        else:
            parent = draw(st.sampled_from(["nirs", "nirs/data1", "nirs/probe", "nirs/metaDataTags", "", "nirs/stim1"]))
            leaf = draw(st.sampled_from(["nirs2", "data2", "measurementList99", "measurementList0", "stim2",
                                         "sourcePos2D", "momentOrders", "dataOffset", "data", "M\u00fcller"]))
            tree[f"{parent}/{leaf}".lstrip("/")] = draw(_values)
    # A member under a name that is now a dataset cannot be made: h5py's refusal, not the reader's.
    kept = {}
    for name in sorted(tree, key=lambda key: key.count("/")):
        parts = name.split("/")
        if not any("/".join(parts[:k]) in kept and not isinstance(kept["/".join(parts[:k])], Group)
                   for k in range(1, len(parts))):
            kept[name] = tree[name]
    return kept


def _acceptable(error, path):
    """A refusal that says where, or that the file is damaged, on one line."""
    text = str(error)
    assert isinstance(error, rec.RecordingError), repr(error)
    assert text.startswith(f"{path}: {error.location}: ") and "\n" not in text, text
    assert error.location.startswith("/"), text
    assert "the reader failed" not in text, text
    if error.location == "/":
        assert any(word in text for word in ("damaged", "not an HDF5 file", "/nirs")), text


def _consistent(recording):
    channels = recording.channels
    assert recording.counts.shape == (len(recording.time_s), channels, len(recording.gate_ps))
    assert len(recording.detector) == len(recording.wavelength_index) == len(recording.rho_mm) == channels
    # A DTOF is there whole or missing whole (NaN); a channel missing throughout is left out.
    there = np.isfinite(recording.counts)
    assert np.all(there.all(axis=2) | ~there.any(axis=2)) and np.all(recording.counts[there] >= 0)
    assert np.all(there.any(axis=(0, 2)))
    assert np.all(np.diff(recording.time_s) > 0) and np.all(recording.rho_mm > 0)
    assert np.all((0 <= recording.wavelength_index) & (recording.wavelength_index < len(recording.wavelengths)))


def _for_the_budget(test):
    """The test once, derandomized; with NLAYER_FUZZ_SECONDS again under new seeds until the
    time is spent."""
    end = time.monotonic() + BUDGET_S
    test()
    k = 1
    while time.monotonic() < end:
        seed(k)(test)()
        k += 1


def test_the_intact_tree_is_read_as_written(tmp_path):
    for lists in (False, True):
        tree = _valid_tree(lists)
        _write(tmp_path / "ok.snirf", tree)
        read = rec.read_snirf(tmp_path / "ok.snirf", isolated=False)
        np.testing.assert_array_equal(read.counts.reshape(T, -1), tree["nirs/data1/dataTimeSeries"])
        np.testing.assert_allclose(read.rho_mm, [10.0, 10.0, 30.0, 30.0])
        np.testing.assert_allclose(read.gate_ps, [750.0, 1250.0, 1750.0])
        np.testing.assert_allclose(read.time_s, 0.1 * np.arange(T))


@pytest.mark.parametrize("name, value, words", [
    # What the fuzzing found: an IndexError, and a cast that wrapped 1e300 into -2^63.
    ("nirs/data1/measurementList1/dataTypeIndex", np.zeros(0, dtype=np.int8), "is empty; an index was expected"),
    ("nirs/data1/measurementList2/dataType", np.float64(1e300), r"holds 1e\+300, beyond any index"),
    ("nirs/data1/measurementList3/sourceIndex", np.uint64(2**64 - 1), "beyond any index"),
])
def test_what_the_fuzzing_found(tmp_path, name, value, words):
    tree = _valid_tree(False)
    tree[name] = value
    _write(tmp_path / "found.snirf", tree)
    with pytest.raises(rec.RecordingError, match=words) as caught:
        rec.read_snirf(tmp_path / "found.snirf", isolated=False)
    assert caught.value.location == "/" + name


def test_random_structures_are_read_or_refused_with_their_place(tmp_path):
    path = tmp_path / "fuzz.snirf"

    @SETTINGS
    @given(_trees())
    def check(case):
        _write(path, case)
        try:
            _consistent(rec.read_snirf(path, isolated=False))
        except rec.RecordingError as error:
            _acceptable(error, path)

    _for_the_budget(check)


@pytest.fixture(scope="module")
def valid_bytes(tmp_path_factory):
    path = tmp_path_factory.mktemp("bytes") / "valid.snirf"
    tree = _valid_tree(True)
    tree["nirs/data1/dataTimeSeries"] = np.tile(tree["nirs/data1/dataTimeSeries"], (40, 1))
    tree["nirs/data1/time"] = 1e8 * np.arange(40 * T, dtype=float)
    _write(path, tree, compression="gzip")
    return path.read_bytes()


def _corrupt(data, rng):
    data = bytearray(data)
    # Half the cases hit the first 4 KiB, where the superblock and the root's headers sit.
    end = len(data) if rng.random() < 0.5 else min(len(data), 4096)
    kind = rng.integers(4)
    if kind == 0:
        for _ in range(rng.integers(1, 9)):
            data[rng.integers(end)] ^= 1 << rng.integers(8)
    elif kind in (1, 2):
        start = int(rng.integers(end))
        length = int(rng.integers(1, 65))
        fill = rng.integers(0, 256, length, dtype=np.uint8).tobytes() if kind == 1 else \
            bytes([int(rng.choice([0, 0xFF]))]) * length
        data[start:start + length] = fill[:len(data) - start]
    else:
        del data[int(rng.integers(end)):]
    return bytes(data)


def test_corrupted_bytes_are_read_or_refused_without_taking_the_process(tmp_path, valid_bytes):
    path = tmp_path / "corrupt.snirf"
    # 20 seeds as they come, and three whose copies crashed (1131, 1135) or hung (1148) the
    # libhdf5 1.10.8 of Debian 12 when read in-process.
    seeds = [*range(1000, 1020), 1131, 1135, 1148]
    end = time.monotonic() + BUDGET_S
    outcomes = {"read": 0, "refused": 0}
    k = 1200
    while seeds or time.monotonic() < end:
        if seeds:
            k, seeds = seeds[0], seeds[1:]
        else:
            k += 1
        path.write_bytes(_corrupt(valid_bytes, np.random.default_rng(k)))
        try:
            _consistent(rec.read_snirf(path, timeout=10.0))
            outcomes["read"] += 1
        except rec.RecordingError as error:
            _acceptable(error, path)
            outcomes["refused"] += 1
    # The corruption is not so mild that every copy reads, nor the reading so strict that none does.
    assert outcomes["read"] and outcomes["refused"], outcomes


def test_a_crash_or_a_hang_of_the_reading_becomes_a_refusal(tmp_path, monkeypatch, valid_bytes):
    path = tmp_path / "ok.snirf"
    path.write_bytes(valid_bytes)
    # Stand-ins for libhdf5's SIGSEGV and its endless loop, in the child that reads.
    for code, words in (("import os, signal; os.kill(os.getpid(), signal.SIGSEGV)", "crashed libhdf5 (SIGSEGV)"),
                        ("import time; time.sleep(60)", "took longer than 1 s")):
        monkeypatch.setattr("nlayer._snirf._CHILD", code)
        with pytest.raises(rec.RecordingError, match=r"damaged or unreadable: .*" + words.replace("(", r"\(")
                           .replace(")", r"\)")) as caught:
            rec.read_snirf(path, timeout=1.0)
        assert caught.value.location == "/" and str(path) in str(caught.value)
    monkeypatch.undo()
    # The limit is taken from the environment too; the sound file reads alike both ways.
    monkeypatch.setenv("NLAYER_SNIRF_TIMEOUT", "nan")
    with pytest.raises(ValueError, match="NLAYER_SNIRF_TIMEOUT"):
        rec.read_snirf(path)
    monkeypatch.setenv("NLAYER_SNIRF_TIMEOUT", "20")
    isolated, direct = rec.read_snirf(path), rec.read_snirf(path, isolated=False)
    for name in ("counts", "time_s", "rho_mm", "gate_ps", "wavelengths"):
        np.testing.assert_array_equal(getattr(isolated, name), getattr(direct, name))
    assert isolated.probe.keys() == direct.probe.keys() and isolated.meta == direct.meta
