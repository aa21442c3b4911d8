"""The argument checks of every public function, in one place so that they say the same."""

import decimal as _decimal
import numbers as _numbers
import operator as _operator
import os as _os

import numpy as _np

from ._nlayer import Medium as _Medium
from ._nlayer import read_curve as _read_curve

MAX_THREADS = 1024


def _type_name(value):
    return type(value).__name__


def medium(value):
    if not isinstance(value, _Medium):
        raise TypeError(f"medium must be an nlayer.Medium, not {_type_name(value)}")
    return value


def _is_number(value):
    return not isinstance(value, bool) and isinstance(value, (_numbers.Real, _decimal.Decimal))


def _exact(value):
    """A distance as the extension takes it without rounding: a Decimal or numpy.longdouble as it
    is (the extension reads them as extended reals), anything else as a float."""
    if isinstance(value, (_decimal.Decimal, _np.longdouble)):
        return value
    return float(value)


def distance(value, name="rho"):
    """One distance in mm: a number, decimal.Decimal or numpy.longdouble."""
    if isinstance(value, _np.ndarray) and value.ndim == 0:
        value = value[()]
    if not _is_number(value):
        raise TypeError(f"{name} must be a number, not {_type_name(value)}")
    return _exact(value)


def distances(value, name="rho"):
    """(list of distances, whether a single number was given) for a number or a 1-d sequence.

    Decimal and numpy.longdouble values are kept as they are, so that the extension reads them
    exactly, as a model file's digits read.
    """
    if isinstance(value, _np.ndarray) and value.ndim == 0:
        value = value[()]
    if _is_number(value):
        return [_exact(value)], True
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a number or a sequence of numbers, not {_type_name(value)}")
    if isinstance(value, _np.ndarray):
        if value.dtype.kind not in "iuf":
            raise TypeError(f"{name} must be a number or a sequence of numbers")
        if value.ndim > 1:
            raise ValueError(f"{name} must be a number or a one-dimensional sequence, not of shape {value.shape}")
        return [_exact(x) for x in value], False
    try:
        items = list(value)
    except TypeError:
        raise TypeError(f"{name} must be a number or a sequence of numbers, not {_type_name(value)}") from None
    out = []
    for item in items:
        if _is_number(item):
            out.append(_exact(item))
        elif isinstance(item, (_np.ndarray, list, tuple)):
            shape = _np.shape(item)
            raise ValueError(f"{name} must be a number or a one-dimensional sequence, "
                             f"not of shape {(len(items),) + shape}")
        else:
            raise TypeError(f"{name} must be a number or a sequence of numbers, not one holding "
                            f"{_type_name(item)}")
    return out, False


def frequencies(value, name="f_hz"):
    """(list of floats, whether a single number was given)."""
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a number or a sequence of numbers, not {_type_name(value)}")
    array = _np.asarray(value)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must be a number or a sequence of numbers")
    if array.ndim > 1:
        raise ValueError(f"{name} must be a number or a one-dimensional sequence, not of shape {array.shape}")
    return [float(x) for x in array.reshape(-1)], array.ndim == 0


def integer(value, name, low, high, rule=None):
    """An int from low to high; `rule` says what the allowed values are when it is more than
    the range."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        number = _operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {_type_name(value)}") from None
    if not low <= number <= high:
        raise ValueError(f"{name} is {number}; it must be {rule or f'from {low} to {high}'}")
    return number


def samples(value):
    rule = "a power of two from 16 to 65536"
    n = integer(value, "samples", 16, 65536, rule)
    if n & (n - 1):
        raise ValueError(f"samples is {n}; it must be {rule}")
    return n


def threads(value):
    return integer(value, "threads", 0, MAX_THREADS, f"from 0 (every core) to {MAX_THREADS}")


def count(value, name):
    return integer(value, name, 0, 2**62, "0 or more")


def positive_count(value, name, high=2**62):
    return integer(value, name, 1, high, "1 or more" if high == 2**62 else f"from 1 to {high}")


def engine(value):
    if not isinstance(value, str):
        raise TypeError(f"engine must be 'exact' or 'fast', not {_type_name(value)}")
    if value not in ("exact", "fast"):
        raise ValueError(f"engine is {value!r}; it must be 'exact' or 'fast'")
    return value


def choice(value, name, allowed):
    if value not in allowed:
        names = " or ".join(repr(a) for a in allowed)
        raise ValueError(f"{name} is {value!r}; it must be {names}")
    return value


def real(value, name):
    if isinstance(value, bool) or not isinstance(value, _numbers.Real):
        raise TypeError(f"{name} must be a number, not {_type_name(value)}")
    return float(value)


def seconds(value, name):
    """None or a number of seconds > 0 (the sweep's "auto" is taken before)."""
    if value is None:
        return None
    number = real(value, name)
    if not number > 0 or number == float("inf"):
        raise ValueError(f"{name} is {number}; it must be \"auto\", None or a number of seconds > 0")
    return number


def vector(value, name):
    array = _np.asarray(value)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must be a sequence of numbers")
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, not of shape {array.shape}")
    return array.astype(float)


def path(value, name="path"):
    """A file name as str; a NUL byte in it is refused as open() refuses it, since the system
    would end the name there."""
    try:
        text = _os.fsdecode(_os.fspath(value))
    except TypeError:
        raise TypeError(f"{name} must be a path (str, bytes or os.PathLike), not {_type_name(value)}") from None
    if "\0" in text:
        raise ValueError(f"{name}: embedded null byte")
    return text


def curve(value, name, bins=None):
    """(t_ps or None, counts) from a path, a pair (t_ps, counts), an (N, 2) array, or counts."""
    if isinstance(value, (str, bytes, _os.PathLike)):
        return _read_curve(path(value, name))
    if isinstance(value, tuple) and len(value) == 2:
        return vector(value[0], f"{name}'s t_ps"), vector(value[1], f"{name}'s counts")
    array = _np.asarray(value)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must be a file name, a pair (t_ps, counts) or an array of counts")
    if array.ndim == 2 and array.shape[1] == 2:
        return array[:, 0].astype(float), array[:, 1].astype(float)
    if array.ndim == 1 and bins is not None:
        return None, array.astype(float)
    raise ValueError(f"{name} must be a file name, a pair (t_ps, counts), an (N, 2) array"
                     + (" or counts on the measured curve's bins" if bins is not None else ""))
