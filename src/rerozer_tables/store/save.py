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

import errno
import json
import os
import uuid
from typing import Any

import numpy as np

from ..graph.arrays import ArrayName, named_arrays
from ..graph.graph import Graph
from ..tables.columns import AnyArray
from ..tables.progress import Progress, progress_bar
from .files import (
    FORMAT,
    MANIFEST,
    READ,
    VERSION,
    write_all,
    write_array,
)
from .versions import (
    locked_parent,
    move_aside,
    refuse,
    remove_leftovers,
    switch,
    what_is_there,
)


def save_graph(graph: Graph, path: str | os.PathLike[str], *, progress: bool | None = None) -> None:
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

    ``progress`` shows a bar over the bytes written: None (the default) when
    the save runs longer than a couple of seconds in an interactive
    terminal outside CI, True always, False never. Each array is written
    and checksummed in one pass over its memory.

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
    arrays = named_arrays(graph)
    os.makedirs(parent, exist_ok=True)
    _check_name_length(shown, parent, name)
    total = sum(int(array.nbytes) for _, _, array in arrays)
    try:
        with progress_bar(total, "save_graph", "B", progress) as bar:
            _save_locked(graph, shown, parent, name, arrays, bar)
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
    graph: Graph, shown: str, parent: str, name: str, arrays: list[tuple[ArrayName, str, AnyArray]],
    bar: Progress,
) -> None:
    with locked_parent(parent) as parent_fd:
        there = what_is_there(shown, parent_fd, name)
        if there == "folder":
            # A graph folder of an earlier release becomes a version first.
            switch(parent_fd, name, move_aside(parent_fd, name))
        remove_leftovers(parent_fd, name)
        version = f".{name}.v-{uuid.uuid4().hex}"
        try:
            _write_version(parent_fd, version, graph, arrays, bar)
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
    parent_fd: int, version: str, graph: Graph, arrays: list[tuple[ArrayName, str, AnyArray]],
    bar: Progress,
) -> None:
    """A new version folder: every array, then the manifest, all on disk."""
    os.mkdir(version, dir_fd=parent_fd)
    folder_fd = os.open(version, READ | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=parent_fd)
    try:
        entries = []
        for array_name, file, array in arrays:
            array = np.ascontiguousarray(array)
            try:
                checksum = write_array(folder_fd, file, array, bar.update)
            except OSError as error:
                raise type(error)(error.errno, error.strerror, f"{version}/{file}") from None
            entries.append({
                "name": list(array_name),
                "file": file,
                "dtype": np.lib.format.dtype_to_descr(array.dtype),
                "shape": list(array.shape),
                "nbytes": int(array.nbytes),
                "crc32": f"{checksum:08x}",
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
            "left_out_columns": {
                str(t): {str(c): int(n) for c, n in f.left_out.items()}
                for t, f in graph.features.items() if f.left_out
            },
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
