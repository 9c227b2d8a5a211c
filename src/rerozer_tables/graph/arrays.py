"""A graph's arrays by name, and their CRC-32 checksums.

``save_graph`` writes ``named_arrays`` and records their checksums;
``check_graph(verify=True)`` and ``load_graph(verify=True)`` compare them.
"""

from __future__ import annotations

import os
import zlib
from collections.abc import Iterable

import numpy as np

from ..tables.columns import AnyArray
from .graph import Graph, SavedChecksums, edge_type_key


def named_arrays(graph: Graph) -> list[tuple[ArrayName, str, AnyArray]]:
    """Every array of ``graph``: its name in the manifest, its file, the array."""
    index_of = {name: i for i, name in enumerate(graph.node_types)}
    arrays: list[tuple[ArrayName, str, AnyArray]] = []
    for i, edge_type in enumerate(graph.edge_types):
        key = edge_type_key(edge_type)
        arrays.append((("colptr", key), f"edge{i}.colptr.npy", graph.colptr[key]))
        arrays.append((("row", key), f"edge{i}.row.npy", graph.row[key]))
    for node_type, times in graph.node_time.items():
        arrays.append((("node_time", node_type), f"node{index_of[node_type]}.time.npy", times))
    for node_type, key_map in graph.keys.items():
        keys = key_map.keys
        stored = keys.astype(np.str_) if keys.dtype == object else keys
        arrays.append((("keys", node_type), f"node{index_of[node_type]}.key.npy", stored))
        if keys.dtype == object:
            # Text keys ending in NUL: their lengths restore what numpy drops.
            arrays.append((("key_lengths", node_type), f"node{index_of[node_type]}.key.lengths.npy",
                           np.array([len(k) for k in keys.tolist()], dtype=np.int64)))
        if key_map.order is not None:
            arrays.append(
                (("key_order", node_type), f"node{index_of[node_type]}.key_order.npy", key_map.order)
            )
    for node_type, held in graph.features.items():
        prefix = f"node{index_of[node_type]}"
        arrays.append((("x", node_type), f"{prefix}.x.npy", held.x))
        arrays.append((("x_cat", node_type), f"{prefix}.x_cat.npy", held.x_cat))
        coded = [*held.categorical, *held.text, *held.multicategorical]
        for c, column in enumerate(coded):
            vocabulary = held.vocabularies[column]
            stored = vocabulary.astype(np.str_) if vocabulary.dtype == object else vocabulary
            arrays.append((("vocabulary", node_type, column), f"{prefix}.vocab{c}.npy", stored))
            if vocabulary.dtype != object:
                continue
            lengths = np.array([len(v) for v in vocabulary.tolist()], dtype=np.int64)
            if np.any(lengths != np.char.str_len(stored)):
                # numpy's strings drop trailing NULs: their lengths restore them.
                arrays.append((("vocabulary_lengths", node_type, column),
                               f"{prefix}.vocab{c}.lengths.npy", lengths))
        if held.x_text is not None:
            arrays.append((("x_text", node_type), f"{prefix}.x_text.npy", held.x_text))
        for c, column in enumerate(held.text):
            arrays.append((("embedding", node_type, column), f"{prefix}.embedding{c}.npy",
                           held.embeddings[column]))
        if held.multi_offsets is not None and held.multi_codes is not None:
            arrays.append((("multi_offsets", node_type), f"{prefix}.multi_offsets.npy",
                           held.multi_offsets))
            arrays.append((("multi_codes", node_type), f"{prefix}.multi_codes.npy", held.multi_codes))
    return arrays


def _verify(saved: SavedChecksums, arrays: Iterable[tuple[ArrayName, AnyArray]]) -> None:
    for name, array in arrays:
        file, expected = saved.arrays[name]
        found = crc32(array)
        if found != expected:
            raise ValueError(
                f"{os.path.join(saved.folder, file)}: the CRC-32 of {display_name(name)} is "
                f"{found:08x}, but {expected:08x} was recorded when it was saved: the data are damaged"
            )


def verify_checksums(graph: Graph) -> None:
    """Compare every array of a loaded graph with the CRC-32 recorded at save.

    Raises ValueError naming the folder and file of the first array that
    differs, or when ``graph`` was not loaded by ``load_graph``.
    """
    saved = graph.saved
    if saved is None:
        raise ValueError("the graph has no recorded checksums: only a graph from load_graph can be verified")
    present = {name: array for name, _, array in named_arrays(graph)}
    for name, (file, _) in saved.arrays.items():
        if name not in present:
            raise ValueError(f"{os.path.join(saved.folder, file)}: the graph no longer has {display_name(name)}")
    _verify(saved, ((name, present[name]) for name in saved.arrays))


# Arrays are checksummed in chunks, so that a memory map is read a piece at a time.
_CHECKSUM_CHUNK = 16 << 20

ArrayName = tuple[str, ...]


def display_name(name: ArrayName) -> str:
    """``("row", "a__to__b")`` as ``row['a__to__b']``."""
    return name[0] + "".join(f"[{part!r}]" for part in name[1:])


def crc32(array: AnyArray) -> int:
    """The CRC-32 of an array's bytes, in memory order (a copy only if not contiguous)."""
    data = np.ascontiguousarray(array).reshape(-1).view(np.uint8)
    value = 0
    for start in range(0, data.size, _CHECKSUM_CHUNK):
        value = zlib.crc32(data[start : start + _CHECKSUM_CHUNK], value)
    return value
