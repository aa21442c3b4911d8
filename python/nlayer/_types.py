"""The types the public functions' annotations share."""

import os
from decimal import Decimal
from typing import Literal, Sequence, SupportsFloat, Union

import numpy as np
import numpy.typing as npt

# A file name as open() takes it.
Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# A number read as an extended real: a float as it is, a Decimal or a longdouble exactly.
Real = Union[SupportsFloat, Decimal, np.longdouble]
# One distance or several (a sequence or an array of them).
Distances = Union[Real, Sequence[Real], npt.NDArray[np.floating]]
FloatArray = npt.NDArray[np.float64]
# The engines of time_resolved and the like.
Engine = Literal["exact", "fast"]
# Frequencies in Hz: one or several.
Frequencies = Union[SupportsFloat, Sequence[SupportsFloat], npt.NDArray[np.floating]]
