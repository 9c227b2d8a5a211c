"""Matching and encoding numpy text arrays by hashing, through pyarrow.

Sorting and binary search on fixed-width numpy strings is slow (every
comparison walks the characters), and key columns of millions of text
values spend most of a graph's build there. pyarrow's hash kernels take the
strings' own memory as fixed-size binary values, without converting them,
and compare them byte for byte, which is numpy's equality of strings of one
width. Without pyarrow the callers keep their numpy path (these return None).
"""

from __future__ import annotations

import importlib
from typing import Any

import numpy as np

from .columns import AnyArray, Int64Array


def _arrow() -> tuple[Any, Any] | None:
    try:
        return importlib.import_module("pyarrow"), importlib.import_module("pyarrow.compute")
    except ImportError:
        return None


def _binary(pa: Any, values: AnyArray, chars: int) -> Any:
    """``values`` (numpy str) as fixed-size binary of ``chars`` characters each."""
    values = np.ascontiguousarray(values, dtype=f"<U{chars}")
    width = 4 * chars
    return pa.FixedSizeBinaryArray.from_buffers(
        pa.binary(width), values.size, [None, pa.py_buffer(values)]
    )


def text_positions(values: AnyArray, keys: AnyArray) -> tuple[Int64Array, Int64Array] | None:
    """The position in ``keys`` (distinct, numpy str) of each of ``values``
    (numpy str), and the indices of the values found in no key (their
    positions are 0); None without pyarrow."""
    arrow = _arrow()
    if arrow is None:
        return None
    pa, pc = arrow
    chars = max(values.dtype.itemsize, keys.dtype.itemsize, 4) // 4
    found = pc.index_in(_binary(pa, values, chars), value_set=_binary(pa, keys, chars))
    missing = np.flatnonzero(found.is_null().to_numpy(zero_copy_only=False)).astype(np.int64)
    positions = found.fill_null(0).to_numpy(zero_copy_only=False).astype(np.int64)
    return positions, missing


def text_codes(values: AnyArray) -> tuple[AnyArray, Int64Array] | None:
    """``np.unique(values, return_inverse=True)`` for numpy str ``values``:
    the sorted distinct values and each value's index among them; None
    without pyarrow."""
    arrow = _arrow()
    if arrow is None:
        return None
    pa, pc = arrow
    chars = max(values.dtype.itemsize, 4) // 4
    encoded = pc.dictionary_encode(_binary(pa, values, chars))
    dictionary = encoded.dictionary
    distinct = np.frombuffer(
        dictionary.buffers()[1], dtype=f"<U{chars}", count=len(dictionary),
        offset=dictionary.offset * 4 * chars,
    )
    order = np.argsort(distinct)
    rank = np.empty(order.size, dtype=np.int64)
    rank[order] = np.arange(order.size, dtype=np.int64)
    codes = rank[encoded.indices.to_numpy(zero_copy_only=False)]
    return distinct[order].astype(values.dtype, copy=False), codes
