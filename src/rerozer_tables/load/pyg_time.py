"""Hiding future timestamps in the ``TensorFrame``s of a PyG batch.

PyTorch Frame holds a timestamp column as seven integers per value (year,
month - 1, day - 1, day of the week, hour, minute, second) and a missing
timestamp as seven -1s. A value later than the time of the example its row
was sampled for becomes missing, as our own loader turns it into NaN.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ..tables.columns import Int64Array

# Units of a second that the example times may be counted in.
_PER_SECOND = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}


def timestamp_seconds(parts: Any) -> Any:
    """Seconds since 1970 of PyTorch Frame timestamps ``[..., 7]`` (int64
    numpy), with -1 parts (missing) giving any value: check them apart."""
    year, month, day = parts[..., 0], parts[..., 1], parts[..., 2]
    months = ((year - 1970) * 12 + month).astype("datetime64[M]")
    days = months.astype("datetime64[D]").astype(np.int64) + day
    return days * 86400 + parts[..., 4] * 3600 + parts[..., 5] * 60 + parts[..., 6]


def mask_future_timestamps(
    frame: Any, seed_time: Int64Array, out_batch: Int64Array, time_unit: str
) -> None:
    """Set, in place, every timestamp of ``frame`` (a TensorFrame; anything
    else is left alone) that may be later than its row's example time to
    PyTorch Frame's missing timestamp. A timestamp holds whole seconds, so
    one in the same second as a finer example time counts as later."""
    if not (hasattr(frame, "feat_dict") and hasattr(frame, "col_names_dict")):
        return
    if time_unit not in _PER_SECOND:
        raise ValueError(f"time_unit must be one of {', '.join(_PER_SECOND)}, got {time_unit!r}")
    held = [key for key in frame.feat_dict if str(getattr(key, "value", key)) == "timestamp"]
    if not held or seed_time.size == 0:
        return
    values = frame.feat_dict[held[0]]
    if values.numel() == 0:
        return
    parts = values.numpy()  # shares memory: set in place
    missing = (parts == -1).all(axis=-1)
    per_second = _PER_SECOND[time_unit]
    # The last instant, in the example times' unit, that each value may stand for.
    latest = timestamp_seconds(np.where(missing[..., None], 0, parts)) * per_second + per_second - 1
    times = seed_time[out_batch][:, None]
    later = ~missing & (latest > times)
    parts[later] = -1
