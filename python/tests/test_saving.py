"""Every file the package writes (CSV tables, figures, SNIRF recordings and results) keeps what
stands at its name, as nlayer-run's outputs do: links, modes and pipes."""

import io
import os
import stat
import threading

import h5py
import numpy as np
import pytest

import nlayer._analyze
from nlayer import _output
from nlayer import recording as rec
from conftest import LAYERS, WAVELENGTHS, gaussian_irf

TIME = np.arange(0.0, 4.0, 0.5)
GATES = 10.0 * np.arange(1, 257)
IRF = gaussian_irf(GATES)


@pytest.fixture(scope="module")
def analysis(tmp_path_factory):
    path = tmp_path_factory.mktemp("saving") / "rec.snirf"
    media = rec.hemoglobin_media(WAVELENGTHS, LAYERS)
    rec.simulate_recording(path, media, [10.0, 30.0], TIME, samples=512, irf=IRF, counts=1e6, seed=3)
    return rec.moments_method(rec.read_snirf(path), media, baseline=(0, 1.9), irf=IRF, engine="fast")


WRITERS = {
    "csv": rec.write_csv,
    "results.snirf": rec.write_results,
    "recording.snirf": lambda path, analysis: rec.write_recording(path, analysis.recording),
    "png": nlayer._analyze.plot,
}


def _content(kind, data):
    """What a written file says: its bytes, or for HDF5 every dataset's values (HDF5 may place
    the same data differently)."""
    if not kind.endswith("snirf"):
        return data
    out = {}
    with h5py.File(io.BytesIO(data), "r") as h5:
        h5.visititems(lambda name, item: out.__setitem__(name, item[()]) if isinstance(item, h5py.Dataset) else None)
    return {name: value.tolist() if isinstance(value, np.ndarray) else value for name, value in out.items()}


def _reader(fifo):
    """Reads the pipe `fifo` to its end in a thread; returns a function that gives what it
    read. A hard link keeps the pipe reachable, to let a stuck reader go when the pipe's name
    was taken by a new file."""
    keep = fifo.with_name(fifo.name + ".keep")
    os.link(fifo, keep)
    received = []
    thread = threading.Thread(target=lambda: received.append(open(fifo, "rb").read()), daemon=True)
    thread.start()

    def result():
        thread.join(10.0)
        if thread.is_alive():
            os.close(os.open(keep, os.O_WRONLY | os.O_NONBLOCK))
            thread.join(10.0)
        return received[0] if received else None

    return result


@pytest.mark.parametrize("kind", WRITERS)
def test_an_output_keeps_what_stands_at_its_name(analysis, tmp_path, kind):
    write = WRITERS[kind]
    write(tmp_path / f"fresh.{kind}", analysis)
    expected = _content(kind, (tmp_path / f"fresh.{kind}").read_bytes())

    # A symbolic link stays one, and its target gets the content.
    target, link = tmp_path / f"target.{kind}", tmp_path / f"link.{kind}"
    target.write_bytes(b"old")
    link.symlink_to(target.name)
    write(link, analysis)
    assert link.is_symlink() and os.readlink(link) == target.name
    assert _content(kind, target.read_bytes()) == expected

    # A private file stays private.
    private = tmp_path / f"private.{kind}"
    private.write_bytes(b"old")
    private.chmod(0o600)
    write(private, analysis)
    assert stat.S_IMODE(private.stat().st_mode) == 0o600
    assert _content(kind, private.read_bytes()) == expected

    # A link planted where a fixed temporary name would be is not followed.
    other = tmp_path / "other"
    other.write_bytes(b"untouched")
    os.symlink(other, tmp_path / f"o.{kind}.part")
    write(tmp_path / f"o.{kind}", analysis)
    assert other.read_bytes() == b"untouched"
    assert _content(kind, (tmp_path / f"o.{kind}").read_bytes()) == expected

    # A pipe receives the bytes and stays a pipe.
    fifo = tmp_path / f"pipe.{kind}"
    os.mkfifo(fifo)
    received = _reader(fifo)
    write(fifo, analysis)
    assert _content(kind, received()) == expected
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)


def test_a_refused_save_is_the_oserror_of_its_reason(tmp_path):
    (tmp_path / "folder").mkdir()
    (tmp_path / "kept").write_bytes(b"kept")
    cases = [(tmp_path / "folder", IsADirectoryError, "Is a directory"),
             (tmp_path / "none" / "t.csv", FileNotFoundError, "No such file or directory"),
             (tmp_path / "kept" / "t.csv", NotADirectoryError, "Not a directory")]
    for path, error, reason in cases:
        for call in (lambda: _output.save(path, b"new"), lambda: _output.check(path)):
            with pytest.raises(error) as caught:
                call()
            assert caught.value.strerror == f"cannot write {path}: {reason}" and caught.value.filename == str(path)
    # A name as bytes that is no UTF-8 names its file as open() would.
    name = os.fsencode(tmp_path) + b"/\xff.csv"
    _output.save(name, b"a,b\n")
    assert open(name, "rb").read() == b"a,b\n"
    assert _output.same_file(name, os.fsdecode(name)) and not _output.same_file(name, tmp_path / "kept")
    with pytest.raises(ValueError, match="null byte"):
        _output.save(tmp_path / "a\0b", b"")
    assert sorted(os.listdir(tmp_path)) == sorted(["folder", "kept", os.fsdecode(b"\xff.csv")])
