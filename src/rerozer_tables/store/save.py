"""``save_graph`` and ``load_graph``: a graph as a folder of ``.npy`` files.

A graph saved at ``data/shop.graph`` is a symbolic link to a version folder
beside it::

    data/
      shop.graph -> .shop.graph.v-<32 hex digits>
      .shop.graph.v-<32 hex digits>/
        manifest.json        format, version, types, node counts, time unit,
                             and one entry per array: its name, file, dtype,
                             shape, byte count and CRC-32
        edge0.colptr.npy     the arrays of edge_types[0]
        edge0.row.npy
        node2.time.npy       node_time of node_types[2]
        node0.key.npy        the primary keys of node_types[0] (int64 or strings)
        node0.key_order.npy  their sorting positions, when they are not sorted
        node0.x.npy          the numerical features of node_types[0], [nodes, columns]
        node0.x_cat.npy      its categorical codes, [nodes, columns]
        node0.vocab1.npy     the vocabulary of its categorical column 1

The manifest's ``features`` names each node type's feature columns, in the
column order of its ``x`` and ``x_cat``.

Files are named by index, so that any type name is safe; the manifest names
each array, so that adding arrays adds entries and nothing else.

Saving never changes a version folder that the link names. ``save_graph``
writes a new version folder, flushes it to disk, and then replaces the link
with one ``rename`` of a new link: at every instant the path names one whole
graph, the old or the new, and a process killed at any point leaves it so.

Leftovers. A save holds an exclusive lock (``flock``) on the folder that
holds the graph from start to end, so saves into one folder run one at a
time, and while a save runs no other save is under way there. The save
removes, before it writes and again after it has replaced the link, the
leftovers of the earlier saves of the same graph: the siblings named
``.NAME.v-<32 hex digits>`` that the link does not name (and those named
``.NAME.new-<12 hex>``/``.NAME.old-<12 hex>`` by earlier releases), each
only if it is a real folder that holds nothing but regular files named
``manifest.json`` or ``*.npy`` (what ``save_graph`` writes), and the links
``.NAME.link-<32 hex>`` of saves killed before their rename. A folder that
holds anything else is left alone, and so is everything of other names.
Readers hold a shared lock on the version folder while they open its files;
a save skips a version that a reader holds and removes it at a later save.
Once loaded, a graph needs nothing on disk: memory maps of removed files stay
valid (Linux keeps an unlinked file while it is mapped) and ``mmap=False``
arrays are the reader's own.
"""

from __future__ import annotations

import contextlib
import dataclasses
import errno
import fcntl
import json
import os
import uuid
from collections.abc import Iterable
from typing import Any

import numpy as np

from ._columns import AnyArray
from ._graph_files import (
    FORMAT, MANIFEST, READ, VERSION, ArrayName, GraphFolder, crc32, display_name, load_array,
    read_manifest, write_all, write_array,
)
from ._versions import locked_parent, move_aside, refuse, remove_leftovers, switch, what_is_there
from .features import NodeFeatures
from .graph import EdgeType, Graph, KeyMap, SavedChecksums, edge_type_key

# Enough for any reader: each retry means that a whole save ended between
# opening the path and locking the version it named.
_LOAD_ATTEMPTS = 100


def _named_arrays(graph: Graph) -> list[tuple[ArrayName, str, AnyArray]]:
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


def save_graph(graph: Graph, path: str | os.PathLike[str]) -> None:
    """Write ``graph`` to ``path``, replacing the graph saved there.

    ``path`` may be missing (it is created, with its parent folders), an
    empty folder, or a graph that ``save_graph`` wrote; anything else raises
    ``FileExistsError`` naming it, and nothing is changed. The new graph is
    written into a new version folder beside ``path`` and flushed to disk,
    and then the link at ``path`` is replaced in one rename, so a reader or
    a killed save never sees a partial graph. Readers that loaded the old
    graph keep reading it, memory maps included. The module docstring tells
    which leftovers of earlier saves each save removes. String keys are
    stored as fixed-width numpy strings; a CRC-32 of every array is recorded
    for ``load_graph(verify=True)`` and ``check_graph(verify=True)``.

    A graph folder written by an earlier release (a plain folder, not a
    link) is replaced too: it is first renamed to a version folder and a
    link made to it, the one step at which the path is briefly missing.

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
    shown = os.fspath(path)
    absolute = os.path.abspath(shown)
    parent, name = os.path.split(absolute)
    if not name:
        raise refuse(shown, "is the root folder")
    arrays = _named_arrays(graph)
    os.makedirs(parent, exist_ok=True)
    _check_name_length(shown, parent, name)
    try:
        _save_locked(graph, shown, parent, name, arrays)
    except OSError as error:
        raise _naming(error, shown, name) from None


def _check_name_length(shown: str, parent: str, name: str) -> None:
    """Refuse a name too long for the version folders and links beside it."""
    try:
        longest = os.pathconf(parent, "PC_NAME_MAX")
    except (OSError, ValueError):
        longest = 255
    limit = longest - len(f"..link-{uuid.uuid4().hex}")
    if len(os.fsencode(name)) > limit:
        raise OSError(
            errno.ENAMETOOLONG,
            f"{os.strerror(errno.ENAMETOOLONG)}: save_graph keeps the graph in a folder "
            f"named .NAME.v-<32 hex digits> beside it, so the name may have at most {limit} bytes",
            shown,
        )


def _naming(error: OSError, shown: str, name: str) -> OSError:
    """The same error with its errno, naming the path given (and the file
    or hidden folder that the save was writing), not only the hidden name."""
    filename = error.filename if isinstance(error.filename, str) else None
    if filename == shown or error.errno is None:
        return error
    doing = f" (writing {filename} beside it)" if filename and filename.startswith(f".{name}.") \
        else f" (at {filename})" if filename else ""
    return type(error)(error.errno, f"{error.strerror}{doing}", shown)


def _save_locked(
    graph: Graph, shown: str, parent: str, name: str, arrays: list[tuple[ArrayName, str, AnyArray]]
) -> None:
    with locked_parent(parent) as parent_fd:
        there = what_is_there(shown, parent_fd, name)
        if there == "folder":
            # A graph folder of an earlier release becomes a version first.
            switch(parent_fd, name, move_aside(parent_fd, name))
        remove_leftovers(parent_fd, name)
        version = f".{name}.v-{uuid.uuid4().hex}"
        try:
            _write_version(parent_fd, version, graph, arrays)
            if there == "empty folder":
                os.rmdir(name, dir_fd=parent_fd)  # fails unless still empty
            switch(parent_fd, name, version)
        finally:
            # After a failure, the unfinished version; after the switch,
            # the version replaced. Never what the link names.
            remove_leftovers(parent_fd, name)


def _manifest_text(manifest: dict[str, Any]) -> str:
    """JSON with one line per field and per array entry."""
    lines = [f" {json.dumps(key)}: {json.dumps(value)}" for key, value in manifest.items()
             if key != "arrays"]
    arrays = ",\n".join(f"  {json.dumps(entry)}" for entry in manifest["arrays"])
    return "{\n" + ",\n".join(lines) + f',\n "arrays": [\n{arrays}\n ]\n}}\n'


def _write_version(
    parent_fd: int, version: str, graph: Graph, arrays: list[tuple[ArrayName, str, AnyArray]]
) -> None:
    """A new version folder: every array, then the manifest, all on disk."""
    os.mkdir(version, dir_fd=parent_fd)
    folder_fd = os.open(version, READ | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=parent_fd)
    try:
        entries = []
        for array_name, file, array in arrays:
            array = np.ascontiguousarray(array)
            try:
                write_array(folder_fd, file, array)
            except OSError as error:
                raise type(error)(error.errno, error.strerror, f"{version}/{file}") from None
            entries.append({
                "name": list(array_name),
                "file": file,
                "dtype": np.lib.format.dtype_to_descr(array.dtype),
                "shape": list(array.shape),
                "nbytes": int(array.nbytes),
                "crc32": f"{crc32(array):08x}",
            })
        manifest = {
            "format": FORMAT,
            "version": VERSION,
            "node_types": list(graph.node_types),
            "edge_types": [list(edge_type) for edge_type in graph.edge_types],
            "num_nodes": {str(t): int(n) for t, n in graph.num_nodes.items()},
            "time_unit": graph.time_unit,
            "inherited_times": {str(t): [str(c) for c in cs] for t, cs in graph.inherited_times.items()},
            "dangling_keys": {str(c): int(n) for c, n in graph.dangling_keys.items()},
            "features": {
                str(t): {"numerical": list(f.numerical), "categorical": list(f.categorical),
                         "timestamps": list(f.timestamps), "text": list(f.text),
                         "multicategorical": list(f.multicategorical)}
                for t, f in graph.features.items()
            },
            "arrays": entries,
        }
        descriptor = os.open(MANIFEST, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644,
                             dir_fd=folder_fd)
        try:
            write_all(descriptor, _manifest_text(manifest).encode("utf-8"))
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
        os.fsync(folder_fd)
    finally:
        os.close(folder_fd)


# ---------------------------------------------------------------------------
# Loading


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
    rich: dict[str, dict[str, AnyArray]] = {"x_text": {}, "multi_offsets": {}, "multi_codes": {}}
    embeddings: dict[str, dict[str, AnyArray]] = {}
    parts = {"colptr": colptr, "row": row, "node_time": node_time, "keys": keys, "key_order": orders,
             "x": x, "x_cat": x_cat, **rich}
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
    for (node_type, column), counts in lengths.items():
        vocabulary = vocabularies.get(node_type, {}).get(column)
        if vocabulary is None or counts.shape != vocabulary.shape:
            raise folder.fault(MANIFEST, f"gives vocabulary_lengths[{node_type!r}][{column!r}] "
                                         "without a vocabulary of as many values")
        restored = np.empty(vocabulary.size, dtype=object)
        restored[:] = [v + "\0" * max(0, int(n) - len(v))
                       for v, n in zip(vocabulary.tolist(), counts.tolist())]
        vocabularies[node_type][column] = restored
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
    present = {name: array for name, _, array in _named_arrays(graph)}
    for name, (file, _) in saved.arrays.items():
        if name not in present:
            raise ValueError(f"{os.path.join(saved.folder, file)}: the graph no longer has {display_name(name)}")
    _verify(saved, ((name, present[name]) for name in saved.arrays))


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
