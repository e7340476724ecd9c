"""The array types of the toolkit's annotations, named once.

Arrays handed to the core are float64; masks are bool; gate indices and seeds are the
integer types the core takes.
"""

from __future__ import annotations

from typing import Any, Union

import numpy as np
from numpy.typing import NDArray

__all__ = ["FloatArray", "FloatOrArray", "BoolArray", "IntArray", "AnyArray"]

#: A float64 array (the dtype of every signal, range and retrieved product).
FloatArray = NDArray[np.float64]
#: A float64 array, or its one value as a NumPy scalar when it has no dimensions (what
#: element-wise functions of a number or an array give).
FloatOrArray = Union[np.float64, FloatArray]
#: A bool array (masks).
BoolArray = NDArray[np.bool_]
#: An int64 array (gate indices, counts).
IntArray = NDArray[np.int64]
#: An array of any dtype (values taken as given, e.g. a Dataset variable's).
AnyArray = NDArray[Any]
