"""Times plus offsets without wrap-around.

Times are int64 counts since 1970 and offsets (a label horizon, a sampling
window's ends) int64 counts of the same unit. ``t + offset`` computed in
int64 wraps around past ±(2**63 - 1): a label window ending past the
latest time would end before it starts, and a window before the earliest
time would reach to the end of time. Every stage adds times and offsets
through ``add_offset``, which stops at the ends of the range instead.
"""

from __future__ import annotations

import numpy as np

from .columns import Int64Array

TIME_MIN = -(2**63)
TIME_MAX = 2**63 - 1


def add_offset(times: Int64Array | int, offset: int) -> Int64Array:
    """``times + offset``, held at the ends of the int64 range.

    >>> add_offset(np.array([0, 2**63 - 5, -(2**63)]), 10).tolist()
    [10, 9223372036854775807, -9223372036854775798]
    >>> add_offset(np.array([-(2**63), 7]), -1).tolist()
    [-9223372036854775808, 6]
    """
    values = np.asarray(times, dtype=np.int64)
    offset = int(offset)
    if offset >= 0:
        # offset may itself exceed what an int64 can add: cap the times first.
        limit = TIME_MAX - min(offset, TIME_MAX)
        return np.minimum(values, np.int64(limit)) + np.int64(min(offset, TIME_MAX))
    limit = TIME_MIN - max(offset, TIME_MIN)
    return np.maximum(values, np.int64(limit)) + np.int64(max(offset, TIME_MIN))
