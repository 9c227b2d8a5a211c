"""``load_graph``: a graph saved by ``save_graph``, memory-mapped or read.

The layout of a saved graph and the rules of its version folders are in
``rerozer_tables.store.save``.
"""

from __future__ import annotations

import contextlib
import dataclasses
import fcntl
import os
from typing import Any

import numpy as np

from ..graph.arrays import ArrayName, _verify
from ..graph.graph import EdgeType, Graph, KeyMap, SavedChecksums
from ..graph.node_features import NodeFeatures
from ..tables.columns import AnyArray
from .files import (
    MANIFEST,
    READ,
    GraphFolder,
    load_array,
    read_manifest,
)

# Enough for any reader: each retry means that a whole save ended between
# opening the path and locking the version it named.
_LOAD_ATTEMPTS = 100


def _graph(folder: GraphFolder, manifest: dict[str, Any], arrays: dict[ArrayName, AnyArray],
           saved: SavedChecksums) -> Graph:
    colptr: dict[str, AnyArray] = {}
    row: dict[str, AnyArray] = {}
    node_time: dict[str, AnyArray] = {}
    keys: dict[str, AnyArray] = {}
    orders: dict[str, AnyArray] = {}
    x: dict[str, AnyArray] = {}
    x_cat: dict[str, AnyArray] = {}
    vocabularies: dict[str, dict[str, AnyArray]] = {}
    lengths: dict[tuple[str, str], AnyArray] = {}
    key_lengths: dict[str, AnyArray] = {}
    rich: dict[str, dict[str, AnyArray]] = {"x_text": {}, "multi_offsets": {}, "multi_codes": {}}
    embeddings: dict[str, dict[str, AnyArray]] = {}
    parts = {"colptr": colptr, "row": row, "node_time": node_time, "keys": keys, "key_order": orders,
             "key_lengths": key_lengths, "x": x, "x_cat": x_cat, **rich}
    for name, array in arrays.items():
        if len(name) == 3 and name[0] in ("vocabulary", "embedding"):
            held = vocabularies if name[0] == "vocabulary" else embeddings
            held.setdefault(name[1], {})[name[2]] = array
            continue
        if len(name) == 3 and name[0] == "vocabulary_lengths":
            lengths[name[1], name[2]] = array
            continue
        if len(name) != 2 or name[0] not in parts:
            raise folder.fault(MANIFEST, f"names an array {list(name)!r} that no graph has")
        parts[name[0]][name[1]] = array
    for node_type in orders:
        if node_type not in keys:
            raise folder.fault(MANIFEST, f"gives key_order[{node_type!r}] without keys[{node_type!r}]")
    for node_type, counts in key_lengths.items():
        if node_type not in keys or counts.shape != keys[node_type].shape:
            raise folder.fault(MANIFEST, f"gives key_lengths[{node_type!r}] without keys of as many values")
        keys[node_type] = _with_nuls(keys[node_type], counts)
    for (node_type, column), counts in lengths.items():
        vocabulary = vocabularies.get(node_type, {}).get(column)
        if vocabulary is None or counts.shape != vocabulary.shape:
            raise folder.fault(MANIFEST, f"gives vocabulary_lengths[{node_type!r}][{column!r}] "
                                         "without a vocabulary of as many values")
        vocabularies[node_type][column] = _with_nuls(vocabulary, counts)
    files = {tuple(entry["name"]): entry["file"] for entry in manifest["arrays"]}
    features = _features(folder, manifest, files, x, x_cat, vocabularies)
    features = {t: _with_rich(folder, t, f, rich, embeddings.get(t, {})) for t, f in features.items()}
    edge_types: list[EdgeType] = [(s, r, d) for s, r, d in manifest["edge_types"]]
    return Graph(
        node_types=list(manifest["node_types"]),
        edge_types=edge_types,
        colptr=colptr,
        row=row,
        node_time=node_time,
        num_nodes=dict(manifest["num_nodes"]),
        keys={t: KeyMap(k, orders.get(t)) for t, k in keys.items()},
        time_unit=manifest["time_unit"],
        inherited_times=dict(manifest["inherited_times"]),
        dangling_keys=dict(manifest["dangling_keys"]),
        features=features,
        saved=saved,
    )


def _with_nuls(strings: AnyArray, lengths: AnyArray) -> AnyArray:
    """Python strings of numpy ``strings``, each with the trailing NULs that
    numpy dropped put back to make it ``lengths`` long."""
    restored = np.empty(strings.size, dtype=object)
    restored[:] = [v + "\0" * max(0, int(n) - len(v)) for v, n in zip(strings.tolist(), lengths.tolist())]
    return restored


def _features(
    folder: GraphFolder, manifest: dict[str, Any], files: dict[ArrayName, str],
    x: dict[str, AnyArray], x_cat: dict[str, AnyArray], vocabularies: dict[str, dict[str, AnyArray]],
) -> dict[str, NodeFeatures]:
    """Each node type's feature matrices, checked against the column names
    that the manifest gives for them: one ``x`` column per numerical name
    (float32), one ``x_cat`` column per categorical name (int64) with a
    vocabulary for each, and one row per node of the type in both."""
    columns: dict[str, dict[str, list[str]]] = manifest["features"]
    num_nodes: dict[str, int] = manifest["num_nodes"]

    def bad(text: str) -> ValueError:
        return folder.fault(MANIFEST, text)

    for node_type in [*x, *x_cat, *vocabularies]:
        if node_type not in columns:
            raise bad(f"gives feature arrays of {node_type!r} but no feature columns for it")
    features: dict[str, NodeFeatures] = {}
    for node_type, names in columns.items():
        numerical, categorical = names["numerical"], names["categorical"]
        if node_type not in x or node_type not in x_cat:
            raise bad(f"names feature columns of {node_type!r} but not both its x and x_cat")
        held_x, held_cat = x[node_type], x_cat[node_type]
        for what, array, dtype, count in (("x", held_x, np.float32, len(numerical)),
                                          ("x_cat", held_cat, np.int64, len(categorical))):
            if array.dtype != dtype or array.ndim != 2 or array.shape[1] != count:
                raise bad(f"gives {what}[{node_type!r}] as {array.dtype} of shape {array.shape}, "
                          f"but {count} {dtype.__name__} columns for it")
        if held_x.shape[0] != held_cat.shape[0]:
            raise bad(f"gives x[{node_type!r}] {held_x.shape[0]} rows but x_cat[{node_type!r}] "
                      f"{held_cat.shape[0]}")
        nodes = num_nodes.get(node_type)
        if nodes is not None and held_x.shape[0] != nodes:
            raise folder.fault(files[("x", node_type)],
                               f"holds x[{node_type!r}] with {held_x.shape[0]} rows, but "
                               f"{node_type} has {nodes} nodes (num_nodes in {MANIFEST})")
        if not set(names["timestamps"]) <= set(numerical):
            raise bad(f"gives timestamp columns of {node_type!r} that are not among its numerical ones")
        held_vocabularies = vocabularies.get(node_type, {})
        coded = [*categorical, *names.get("text", []), *names.get("multicategorical", [])]
        if set(held_vocabularies) != set(coded):
            raise bad(f"gives vocabularies of {node_type!r} for {sorted(held_vocabularies)}, "
                      f"but its categorical columns are {sorted(coded)}")
        for column, vocabulary in held_vocabularies.items():
            if vocabulary.ndim != 1:
                raise bad(f"gives the vocabulary of {node_type}.{column} with shape {vocabulary.shape}")
        features[node_type] = NodeFeatures(
            held_x, list(numerical), held_cat, list(categorical),
            {column: held_vocabularies[column] for column in coded},
            list(names["timestamps"]),
            text=list(names.get("text", [])),
            multicategorical=list(names.get("multicategorical", [])),
        )
    for node_type, left_out in manifest["left_out_columns"].items():
        if node_type not in features:
            raise bad(f"names left-out columns of {node_type!r} but no feature columns for it")
        features[node_type] = dataclasses.replace(features[node_type], left_out=dict(left_out))
    return features


def _with_rich(folder: GraphFolder, node_type: str, held: NodeFeatures,
               rich: dict[str, dict[str, AnyArray]], embeddings: dict[str, AnyArray]) -> NodeFeatures:
    """``held`` with its text and multi-category arrays, checked against its
    column names: codes ``[rows, text columns]`` and an embedding per text
    column with a row per vocabulary entry; offsets with one entry per row
    and multi-category column, and one more."""
    def bad(text: str) -> ValueError:
        return folder.fault(MANIFEST, f"gives {text} for {node_type!r}")

    rows = held.x.shape[0]
    x_text = rich["x_text"].get(node_type)
    if set(embeddings) != set(held.text) or (x_text is None) != (not held.text):
        raise bad(f"text arrays for {sorted(embeddings)}, but text columns {held.text}")
    if x_text is not None and (x_text.dtype != np.int64 or x_text.shape != (rows, len(held.text))):
        raise bad(f"x_text as {x_text.dtype} of shape {x_text.shape}")
    for column, table in embeddings.items():
        if table.dtype != np.float32 or table.ndim != 2 or table.shape[0] != held.vocabularies[column].size:
            raise bad(f"the embedding of {column} as {table.dtype} of shape {table.shape}")
    offsets = rich["multi_offsets"].get(node_type)
    codes = rich["multi_codes"].get(node_type)
    if (offsets is None or codes is None) != (not held.multicategorical):
        raise bad(f"multi-category arrays, but multi-category columns {held.multicategorical}")
    if offsets is not None and codes is not None and (
        offsets.dtype != np.int64 or codes.dtype != np.int64
        or offsets.shape != (rows * len(held.multicategorical) + 1,)
        or (offsets.size and int(offsets[-1]) != codes.size)
    ):
        raise bad(f"multi-category offsets of shape {offsets.shape} and codes of shape {codes.shape}")
    return dataclasses.replace(held, x_text=x_text, embeddings=dict(embeddings),
                               multi_offsets=offsets, multi_codes=codes)


def _load_locked(folder: GraphFolder, mmap: bool, verify: bool) -> Graph:
    manifest = read_manifest(folder)
    arrays: dict[ArrayName, AnyArray] = {}
    checksums: dict[ArrayName, tuple[str, int]] = {}
    for entry in manifest["arrays"]:
        name = tuple(entry["name"])
        arrays[name] = load_array(folder, entry, mmap)
        checksums[name] = (entry["file"], int(entry["crc32"], 16))
    saved = SavedChecksums(folder.shown, checksums)
    if verify:
        _verify(saved, arrays.items())
    return _graph(folder, manifest, arrays, saved)


def load_graph(path: str | os.PathLike[str], *, mmap: bool = True, verify: bool = False) -> Graph:
    """Load a graph written by ``save_graph``.

    With ``mmap=True`` every array is a read-only memory map and loading
    reads the manifest and the array headers only: processes that load the
    same graph share its pages. With ``mmap=False`` the arrays are read into
    memory. Either way each file's dtype, shape and byte size are checked
    against the manifest first; only regular files directly in the graph's
    folder, named plainly in its manifest, are opened (never a symbolic
    link, a FIFO or a device). ``verify=True`` also compares every array
    with the CRC-32 recorded at save (which reads every byte:
    ``check_graph(graph, verify=True)`` does the same later). Arrays stored
    in another byte order load as they are (the sampler then reads them
    through a copy).

    Raises
    ------
    FileNotFoundError
        When there is no graph at ``path``, or a file of it is missing.
    NotADirectoryError
        When ``path`` is not a folder.
    ValueError
        For a manifest of another format or version, or a damaged manifest
        or file. Every message names the folder and the file.

    Examples
    --------
    >>> import os, tempfile
    >>> from rerozer_tables import Table, build_graph, save_graph
    >>> with tempfile.TemporaryDirectory() as tmp:
    ...     save_graph(build_graph({"users": Table({"id": [7, 3]}, primary_key="id")}),
    ...                os.path.join(tmp, "shop.graph"))
    ...     graph = load_graph(os.path.join(tmp, "shop.graph"), verify=True)
    ...     graph.num_nodes, graph.key("users", [0, 1]).tolist()
    ({'users': 2}, [7, 3])
    """
    shown = os.fspath(path)
    for _ in range(_LOAD_ATTEMPTS):
        try:
            descriptor = os.open(shown, READ | os.O_DIRECTORY)
        except FileNotFoundError:
            raise FileNotFoundError(f"{shown}: no graph there (no such file or folder)") from None
        except NotADirectoryError:
            raise NotADirectoryError(f"{shown}: not a folder, so not a saved graph") from None
        folder = GraphFolder(shown, descriptor)
        try:
            # Saves remove a version only while they hold it exclusively.
            # (Where the file system has no locks, the retry below remains.)
            with contextlib.suppress(OSError):
                fcntl.flock(descriptor, fcntl.LOCK_SH)
            try:
                return _load_locked(folder, mmap, verify)
            except FileNotFoundError:
                if not _replaced(shown, descriptor):
                    raise
            # A save replaced the graph and removed the version before we
            # locked it: load the new one.
        finally:
            os.close(descriptor)
    raise RuntimeError(f"{shown}: replaced {_LOAD_ATTEMPTS} times while it was loaded")


def _replaced(shown: str, descriptor: int) -> bool:
    """Whether ``shown`` now names another folder than the open ``descriptor``."""
    opened = os.fstat(descriptor)
    try:
        now = os.stat(shown)
    except OSError:
        return False
    return (now.st_dev, now.st_ino) != (opened.st_dev, opened.st_ino)
