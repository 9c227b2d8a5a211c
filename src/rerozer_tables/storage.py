"""``save_graph`` and ``load_graph``: a graph as a directory of ``.npy`` files.

Layout of a saved graph::

    graph/
      manifest.json        format, version, types, node counts, time unit,
                           and which file holds which array
      edge0.colptr.npy     the arrays of edge_types[0]
      edge0.row.npy
      node2.time.npy       node_time of node_types[2]
      node0.key.npy        the primary keys of node_types[0] (int64 or strings)
      node0.key_order.npy  their sorting positions, when they are not sorted
      node0.x.npy          the numerical features of node_types[0], [nodes, columns]
      node0.x_cat.npy      its categorical codes, [nodes, columns]
      node0.vocab1.npy     the vocabulary of its categorical column 1

Files are named by index, so that any type name is safe. A saved graph is
never changed in place: ``save_graph`` writes a new directory and renames it
into place, so a reader that has loaded the old graph keeps reading the old
files, and one that loads during a save gets the whole old or the whole new
graph.
"""

from __future__ import annotations

import json
import os
import shutil
import uuid
from pathlib import Path
from typing import Any

import numpy as np

from ._columns import AnyArray
from .features import NodeFeatures
from .graph import EdgeType, Graph, KeyMap, edge_type_key

FORMAT = "rerozer_tables.graph"
VERSION = 1
MANIFEST = "manifest.json"


def _write_array(directory: Path, name: str, array: AnyArray) -> None:
    with open(directory / name, "wb") as file:
        np.save(file, np.ascontiguousarray(array), allow_pickle=False)
        # On disk before the rename makes the directory visible.
        file.flush()
        os.fsync(file.fileno())


def _fsync_directory(directory: Path) -> None:
    descriptor = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def save_graph(graph: Graph, directory: str | os.PathLike[str]) -> None:
    """Write ``graph`` to ``directory``, replacing what is there.

    One ``.npy`` file per array and a JSON manifest. The files are written
    into a new sibling directory and flushed to disk, which is then renamed
    to ``directory``; an existing graph there is renamed away first and
    deleted after. Readers that mapped the old files keep them until they
    drop them. String keys are stored as fixed-width numpy strings.

    Examples
    --------
    >>> import tempfile, numpy as np
    >>> from rerozer_tables import Table, build_graph, load_graph, save_graph
    >>> graph = build_graph({"users": Table({"id": ["a", "b"]}, primary_key="id")})
    >>> with tempfile.TemporaryDirectory() as tmp:
    ...     save_graph(graph, tmp + "/g")
    ...     load_graph(tmp + "/g").position("users", ["b"]).tolist()
    [1]
    """
    target = Path(directory)
    target.parent.mkdir(parents=True, exist_ok=True)
    token = uuid.uuid4().hex[:12]
    fresh = target.parent / f".{target.name}.new-{token}"
    fresh.mkdir()
    try:
        files: dict[str, Any] = {"colptr": {}, "row": {}, "node_time": {}, "keys": {}}
        index_of = {name: i for i, name in enumerate(graph.node_types)}
        for i, edge_type in enumerate(graph.edge_types):
            key = edge_type_key(edge_type)
            for part in ("colptr", "row"):
                name = f"edge{i}.{part}.npy"
                _write_array(fresh, name, getattr(graph, part)[key])
                files[part][key] = name
        for node_type, times in graph.node_time.items():
            name = f"node{index_of[node_type]}.time.npy"
            _write_array(fresh, name, times)
            files["node_time"][node_type] = name
        for node_type, key_map in graph.keys.items():
            keys_name = f"node{index_of[node_type]}.key.npy"
            keys = key_map.keys
            _write_array(fresh, keys_name, keys.astype(np.str_) if keys.dtype == object else keys)
            order_name = None
            if key_map.order is not None:
                order_name = f"node{index_of[node_type]}.key_order.npy"
                _write_array(fresh, order_name, key_map.order)
            files["keys"][node_type] = {"keys": keys_name, "order": order_name}
        files["features"] = {}
        for node_type, held in graph.features.items():
            prefix = f"node{index_of[node_type]}"
            entry: dict[str, Any] = {
                "x": f"{prefix}.x.npy", "numerical": held.numerical,
                "x_cat": f"{prefix}.x_cat.npy", "categorical": held.categorical, "vocabularies": {},
            }
            _write_array(fresh, entry["x"], held.x)
            _write_array(fresh, entry["x_cat"], held.x_cat)
            for c, column in enumerate(held.categorical):
                vocabulary = held.vocabularies[column]
                entry["vocabularies"][column] = f"{prefix}.vocab{c}.npy"
                _write_array(
                    fresh, entry["vocabularies"][column],
                    vocabulary.astype(np.str_) if vocabulary.dtype == object else vocabulary,
                )
            files["features"][node_type] = entry
        manifest = {
            "format": FORMAT,
            "version": VERSION,
            "node_types": graph.node_types,
            "edge_types": [list(edge_type) for edge_type in graph.edge_types],
            "num_nodes": graph.num_nodes,
            "time_unit": graph.time_unit,
            "inherited_times": graph.inherited_times,
            "dangling_keys": graph.dangling_keys,
            "files": files,
        }
        with open(fresh / MANIFEST, "w", encoding="utf-8") as file:
            json.dump(manifest, file, indent=1)
            file.flush()
            os.fsync(file.fileno())
        _fsync_directory(fresh)

        old = None
        if target.exists():
            old = target.parent / f".{target.name}.old-{token}"
            os.rename(target, old)
        os.rename(fresh, target)
        _fsync_directory(target.parent)
    except BaseException:
        shutil.rmtree(fresh, ignore_errors=True)
        raise
    if old is not None:
        shutil.rmtree(old, ignore_errors=True)


def _open_array(directory_fd: int, name: str, mmap: bool) -> AnyArray:
    """One ``.npy`` file, opened relative to an open directory."""
    descriptor = os.open(name, os.O_RDONLY, dir_fd=directory_fd)
    with os.fdopen(descriptor, "rb") as file:
        version = np.lib.format.read_magic(file)
        if version == (1, 0):
            shape, fortran, dtype = np.lib.format.read_array_header_1_0(file)
        else:
            shape, fortran, dtype = np.lib.format.read_array_header_2_0(file)
        if dtype.hasobject or len(shape) not in (1, 2) or fortran:
            raise ValueError(f"{name}: expected a one- or two-dimensional C-order array without objects")
        size = int(np.prod(shape))
        if not mmap:
            return np.fromfile(file, dtype=dtype, count=size).reshape(shape)
        if size == 0:
            return np.zeros(shape, dtype=dtype)
        # np.memmap keeps its own mapping; closing the file after is fine.
        mapped: AnyArray = np.memmap(file, dtype=dtype, mode="r", offset=file.tell(), shape=shape)
        return mapped


def _load_once(target: Path, mmap: bool) -> Graph:
    directory_fd = os.open(target, os.O_RDONLY | os.O_DIRECTORY)
    try:
        with os.fdopen(os.open(MANIFEST, os.O_RDONLY, dir_fd=directory_fd), "rb") as file:
            manifest = json.loads(file.read().decode("utf-8"))
        if manifest.get("format") != FORMAT or manifest.get("version") != VERSION:
            raise ValueError(
                f"{target} holds format {manifest.get('format')!r} version "
                f"{manifest.get('version')!r}, not {FORMAT!r} version {VERSION}"
            )
        files = manifest["files"]

        def load(name: str) -> AnyArray:
            return _open_array(directory_fd, name, mmap)

        edge_types: list[EdgeType] = [(s, r, d) for s, r, d in manifest["edge_types"]]
        keys = {
            node_type: KeyMap(load(entry["keys"]), None if entry["order"] is None else load(entry["order"]))
            for node_type, entry in files["keys"].items()
        }
        features = {
            node_type: NodeFeatures(
                load(entry["x"]), list(entry["numerical"]), load(entry["x_cat"]),
                list(entry["categorical"]),
                {column: load(name) for column, name in entry["vocabularies"].items()},
            )
            for node_type, entry in files.get("features", {}).items()
        }
        return Graph(
            node_types=list(manifest["node_types"]),
            edge_types=edge_types,
            colptr={key: load(name) for key, name in files["colptr"].items()},
            row={key: load(name) for key, name in files["row"].items()},
            node_time={node_type: load(name) for node_type, name in files["node_time"].items()},
            num_nodes={str(t): int(n) for t, n in manifest["num_nodes"].items()},
            keys=keys,
            time_unit=str(manifest["time_unit"]),
            features=features,
            inherited_times={
                str(t): [str(c) for c in columns]
                for t, columns in manifest.get("inherited_times", {}).items()
            },
            dangling_keys={str(c): int(n) for c, n in manifest.get("dangling_keys", {}).items()},
        )
    finally:
        os.close(directory_fd)


def load_graph(directory: str | os.PathLike[str], *, mmap: bool = True) -> Graph:
    """Load a graph written by ``save_graph``.

    With ``mmap=True`` every array is a read-only memory map: loading reads
    the manifest and the array headers only, and processes that load the
    same graph share its pages. With ``mmap=False`` the arrays are read into
    memory. Arrays stored in another byte order load as they are (the
    sampler then reads them through a copy).

    Raises
    ------
    FileNotFoundError
        When there is no graph at ``directory``.
    ValueError
        For a directory of another format or version.
    """
    target = Path(directory)
    # A save that renames the old graph away between our opening the
    # directory and its files makes the files vanish: load the new one.
    for _ in range(3):
        try:
            return _load_once(target, mmap)
        except FileNotFoundError:
            if not target.exists():
                raise
    return _load_once(target, mmap)
