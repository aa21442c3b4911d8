"""Saving a file that the user named. Every file the package writes (tables, figures, SNIRF
files) goes through the library's own save, the one nlayer-run and nlayer-fit use, so that what
stands at the name keeps what makes it that file: a symbolic link stays a link and its target
gets the bytes, a file keeps its owner, group and mode, a hard link keeps its other names, and a
pipe or a device receives the bytes instead of being replaced. A regular file is replaced all or
nothing through a temporary file of a name no other process can have planted, which is removed
again on failure and on SIGINT, SIGTERM and SIGHUP.

What a library writes to a path itself (h5py, matplotlib) is written into memory first and
saved from there."""

from . import _nlayer


def save(path, content):
    """Writes the bytes `content` as the whole of the file `path` (str, bytes or os.PathLike).
    Raises OSError (PermissionError, IsADirectoryError, ...) with the message
    "cannot write PATH: reason" and the path as its filename; the file is then as it was."""
    _nlayer.replace_file(path, content if isinstance(content, bytes) else bytes(content))


def check(path):
    """Raises the OSError save(path, ...) would raise before writing anything: an empty name, a
    folder, a file that may not be written, a missing folder or one that takes no new file.
    Nothing is created or changed."""
    _nlayer.check_output_path(path)


def same_file(first, second):
    """Whether both names are one existing file, also through symbolic or hard links."""
    return _nlayer.same_file(first, second)
