"""Small helpers shared by several test files."""

import numpy as np


def assert_same_result(actual, expected):
    """The two results of `sample` hold the same keys, in order, and equal
    int64 arrays."""
    assert len(actual) == len(expected) == 6
    for got, want in zip(actual, expected):
        assert list(got) == list(want)
        for key in want:
            assert got[key].dtype == np.int64
            np.testing.assert_array_equal(got[key], want[key])


def strided(values):
    """`values` as a non-contiguous int64 view (every second element)."""
    padded = np.full(2 * len(values), 1000, dtype=np.int64)
    padded[::2] = values
    return padded[::2]


# The same values in memory layouts that the sampler must read through a
# copy rather than in place.
ARRAY_LAYOUTS = {
    "strided": strided,
    "reversed": lambda values: np.array(values[::-1], dtype=np.int64)[::-1],
    "byte-swapped": lambda values: np.array(values, dtype=">i8"),
}
