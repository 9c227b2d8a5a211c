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
only if it is a real folder that holds nothing but regular files with names
that ``save_graph`` writes, and the links ``.NAME.link-<32 hex>`` of saves
killed before their rename. A folder that holds anything else is left alone.
Readers hold a shared lock on the version folder while they open its files;
a save skips a version that a reader holds and removes it at a later save.
Once loaded, a graph needs nothing on disk: memory maps of removed files stay
valid (Linux keeps an unlinked file while it is mapped) and ``mmap=False``
arrays are the reader's own.
"""

from __future__ import annotations

import fcntl
import json
import math
import os
import re
import stat
import uuid
import zlib
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import numpy as np

from ._columns import AnyArray
from .graph import EdgeType, Graph, KeyMap, SavedChecksums, edge_type_key

FORMAT = "rerozer_tables.graph"
VERSION = 2
MANIFEST = "manifest.json"
# What a manifest may name: plain file names in the graph's folder.
_FILE_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.-]*\.npy")
_LARGEST_MANIFEST = 64 << 20
_CHECKSUM_CHUNK = 16 << 20
# Enough for any reader: each retry means that a whole save ended between
# opening the path and locking the version it named.
_LOAD_ATTEMPTS = 100
_READ = os.O_RDONLY | os.O_CLOEXEC
_ENTRY_KEYS = {"name", "file", "dtype", "shape", "nbytes", "crc32"}

ArrayName = tuple[str, ...]


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
    return arrays


def _display(name: ArrayName) -> str:
    """``("row", "a__to__b")`` as ``row['a__to__b']``."""
    return name[0] + "".join(f"[{part!r}]" for part in name[1:])


def crc32(array: AnyArray) -> int:
    """The CRC-32 of an array's bytes, in memory order (a copy only if not contiguous)."""
    data = np.ascontiguousarray(array).reshape(-1).view(np.uint8)
    value = 0
    for start in range(0, data.size, _CHECKSUM_CHUNK):
        value = zlib.crc32(data[start : start + _CHECKSUM_CHUNK], value)
    return value


# ---------------------------------------------------------------------------
# Saving


def _write_all(descriptor: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(descriptor, view):]


def _write_array(folder_fd: int, file: str, array: AnyArray) -> None:
    descriptor = os.open(file, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644,
                         dir_fd=folder_fd)
    with os.fdopen(descriptor, "wb") as handle:
        np.save(handle, array, allow_pickle=False)
        # On disk before the link names the folder.
        handle.flush()
        os.fsync(handle.fileno())


def _only_our_files(folder_fd: int) -> list[str] | None:
    """The entries of a folder if all are regular files with names that
    ``save_graph`` writes (a graph, or what a killed save left of one)."""
    entries = os.listdir(folder_fd)
    for entry in entries:
        if entry != MANIFEST and not _FILE_NAME.fullmatch(entry):
            return None
        if not stat.S_ISREG(os.stat(entry, dir_fd=folder_fd, follow_symlinks=False).st_mode):
            return None
    return entries


def _remove_version(parent_fd: int, name: str) -> None:
    """Remove the leftover version folder ``name``, unless a reader holds it
    or it holds anything that ``save_graph`` does not write."""
    try:
        folder_fd = os.open(name, _READ | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=parent_fd)
    except OSError:
        return  # not a folder (O_NOFOLLOW refuses a link), or gone
    try:
        try:
            fcntl.flock(folder_fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return  # a reader is loading it; a later save removes it
        entries = _only_our_files(folder_fd)
        if entries is None:
            return
        # The manifest goes first: a folder without one is never loaded.
        for entry in sorted(entries, key=lambda entry: entry != MANIFEST):
            os.unlink(entry, dir_fd=folder_fd)
        os.rmdir(name, dir_fd=parent_fd)
    except OSError:
        return  # left for a later save
    finally:
        os.close(folder_fd)


def _linked_version(parent_fd: int, name: str) -> str | None:
    """The name the link ``name`` holds, or None when it is no link."""
    try:
        return os.readlink(name, dir_fd=parent_fd)
    except OSError:
        return None


def _remove_leftovers(parent_fd: int, name: str) -> None:
    """Remove what earlier saves of the graph ``name`` left beside it (module docstring)."""
    keep = {name, _linked_version(parent_fd, name)}
    stem = re.escape(f".{name}.")
    versions = re.compile(stem + r"(v-[0-9a-f]{32}|new-[0-9a-f]{12}|old-[0-9a-f]{12})")
    links = re.compile(stem + r"link-[0-9a-f]{32}")
    for entry in os.listdir(parent_fd):
        if entry in keep:
            continue
        if links.fullmatch(entry):
            try:
                if stat.S_ISLNK(os.stat(entry, dir_fd=parent_fd, follow_symlinks=False).st_mode):
                    os.unlink(entry, dir_fd=parent_fd)
            except OSError:
                pass
        elif versions.fullmatch(entry):
            _remove_version(parent_fd, entry)


def _read_format(folder_fd: int) -> str | None:
    """The format of the manifest in an open folder, or None without one."""
    try:
        if not stat.S_ISREG(os.stat(MANIFEST, dir_fd=folder_fd, follow_symlinks=False).st_mode):
            return None
        descriptor = os.open(MANIFEST, _READ | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=folder_fd)
    except OSError:
        return None
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            return None
        manifest = json.loads(os.read(descriptor, _LARGEST_MANIFEST).decode("utf-8"))
    except (OSError, ValueError, RecursionError):
        return None
    finally:
        os.close(descriptor)
    found = manifest.get("format") if isinstance(manifest, dict) else None
    return found if isinstance(found, str) else None


def _refuse(path: str, why: str) -> FileExistsError:
    return FileExistsError(
        f"{path} {why}, so save_graph left it alone: remove it or save to another path"
    )


def _what_is_there(path: str, parent_fd: int, name: str) -> str:
    """What the save replaces at ``path``: "missing", "empty folder", "link"
    (to a graph) or "folder" (a graph saved by an earlier release). Raises
    FileExistsError for anything that is not a graph."""
    try:
        info = os.stat(name, dir_fd=parent_fd, follow_symlinks=False)
    except FileNotFoundError:
        return "missing"
    if stat.S_ISLNK(info.st_mode):
        target = os.readlink(name, dir_fd=parent_fd)
        try:
            folder_fd = os.open(name, _READ | os.O_DIRECTORY, dir_fd=parent_fd)
        except OSError:
            raise _refuse(path, f"is a symbolic link to {target}, which is not a folder") from None
        try:
            if _read_format(folder_fd) != FORMAT:
                raise _refuse(path, f"is a symbolic link to {target}, which is not a saved graph")
        finally:
            os.close(folder_fd)
        return "link"
    if stat.S_ISDIR(info.st_mode):
        folder_fd = os.open(name, _READ | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=parent_fd)
        try:
            entries = os.listdir(folder_fd)
            if not entries:
                return "empty folder"
            found = _read_format(folder_fd)
        finally:
            os.close(folder_fd)
        if found == FORMAT:
            return "folder"
        if found is None:
            raise _refuse(path, f"is a folder without a graph manifest (it holds {len(entries)} "
                                f"{'entry' if len(entries) == 1 else 'entries'})")
        raise _refuse(path, f"is a folder whose manifest is of format {found!r}, not a saved graph")
    kind = "a file" if stat.S_ISREG(info.st_mode) else "neither a file nor a folder"
    raise _refuse(path, f"is {kind}, not a saved graph")


@contextmanager
def _locked_parent(parent: str) -> Iterator[int]:
    parent_fd = os.open(parent, _READ | os.O_DIRECTORY)
    try:
        fcntl.flock(parent_fd, fcntl.LOCK_EX)
        yield parent_fd
    finally:
        os.close(parent_fd)  # releases the lock


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
        raise _refuse(shown, "is the root folder")
    arrays = _named_arrays(graph)
    os.makedirs(parent, exist_ok=True)
    with _locked_parent(parent) as parent_fd:
        there = _what_is_there(shown, parent_fd, name)
        if there == "folder":
            # A graph folder of an earlier release becomes a version first.
            _switch(parent_fd, name, _move_aside(parent_fd, name))
        _remove_leftovers(parent_fd, name)
        version = f".{name}.v-{uuid.uuid4().hex}"
        try:
            _write_version(parent_fd, version, graph, arrays)
            if there == "empty folder":
                os.rmdir(name, dir_fd=parent_fd)  # fails unless still empty
            _switch(parent_fd, name, version)
        finally:
            # After a failure, the unfinished version; after the switch,
            # the version replaced. Never what the link names.
            _remove_leftovers(parent_fd, name)


def _move_aside(parent_fd: int, name: str) -> str:
    version = f".{name}.v-{uuid.uuid4().hex}"
    os.rename(name, version, src_dir_fd=parent_fd, dst_dir_fd=parent_fd)
    return version


def _switch(parent_fd: int, name: str, version: str) -> None:
    """Point the link ``name`` at ``version`` with one rename of a new link."""
    link = f".{name}.link-{uuid.uuid4().hex}"
    os.symlink(version, link, dir_fd=parent_fd)
    os.rename(link, name, src_dir_fd=parent_fd, dst_dir_fd=parent_fd)
    os.fsync(parent_fd)


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
    folder_fd = os.open(version, _READ | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=parent_fd)
    try:
        entries = []
        for array_name, file, array in arrays:
            array = np.ascontiguousarray(array)
            _write_array(folder_fd, file, array)
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
            "arrays": entries,
        }
        descriptor = os.open(MANIFEST, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644,
                             dir_fd=folder_fd)
        try:
            _write_all(descriptor, _manifest_text(manifest).encode("utf-8"))
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
        os.fsync(folder_fd)
    finally:
        os.close(folder_fd)


# ---------------------------------------------------------------------------
# Loading


class _Folder:
    """An open graph folder; every error names the folder and the file."""

    def __init__(self, shown: str, descriptor: int) -> None:
        self.shown = shown
        self.fd = descriptor

    def fault(self, file: str, text: str) -> ValueError:
        return ValueError(f"{os.path.join(self.shown, file)}: {text}")

    def open(self, file: str) -> tuple[int, os.stat_result]:
        """Open a regular file directly in the folder, never following a link
        and never waiting on a FIFO or a device."""
        shown = os.path.join(self.shown, file)
        try:
            info = os.stat(file, dir_fd=self.fd, follow_symlinks=False)
            if not stat.S_ISREG(info.st_mode):
                kind = "a symbolic link" if stat.S_ISLNK(info.st_mode) else "not a regular file"
                raise self.fault(file, f"is {kind}, where the graph keeps a regular file")
            descriptor = os.open(file, _READ | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=self.fd)
        except OSError as error:
            # The same error, naming the whole path instead of the bare file.
            raise type(error)(error.errno, error.strerror, shown) from None
        opened = os.fstat(descriptor)
        if not stat.S_ISREG(opened.st_mode) or (opened.st_dev, opened.st_ino) != (info.st_dev, info.st_ino):
            os.close(descriptor)
            raise self.fault(file, "changed while it was opened")
        return descriptor, opened


def _check_manifest(folder: _Folder, manifest: object) -> dict[str, Any]:
    """The manifest's structure, checked before any of it is used."""
    def bad(text: str) -> ValueError:
        return folder.fault(MANIFEST, text)

    if not isinstance(manifest, dict):
        raise bad("is not a JSON object")
    if manifest.get("format") != FORMAT:
        raise bad(f"is of format {manifest.get('format')!r}, not {FORMAT!r}")
    version = manifest.get("version")
    if version != VERSION:
        older = type(version) is int and version < VERSION
        raise bad(
            f"holds format {FORMAT!r} version {version!r}, not {FORMAT!r} version {VERSION}"
            + (": save the graph again with this release" if older else "")
        )

    def strings(value: object, size: int | None = None) -> bool:
        return (isinstance(value, list) and all(isinstance(v, str) for v in value)
                and (size is None or len(value) == size))

    if not strings(manifest.get("node_types")):
        raise bad("node_types is not a list of strings")
    edge_types = manifest.get("edge_types")
    if not isinstance(edge_types, list) or not all(strings(e, 3) for e in edge_types):
        raise bad("edge_types is not a list of [source, relation, destination] strings")
    num_nodes = manifest.get("num_nodes")
    if not isinstance(num_nodes, dict) or not all(
        type(n) is int and n >= 0 for n in num_nodes.values()
    ):
        raise bad("num_nodes is not an object of node counts")
    if not isinstance(manifest.get("time_unit"), str):
        raise bad("time_unit is not a string")
    entries = manifest.get("arrays")
    if not isinstance(entries, list):
        raise bad("arrays is not a list")
    names: set[ArrayName] = set()
    files: set[str] = set()
    for i, entry in enumerate(entries):
        what = f"arrays[{i}]"
        if not isinstance(entry, dict) or not _ENTRY_KEYS <= set(entry):
            raise bad(f"{what} is not an object of name, file, dtype, shape, nbytes and crc32")
        name, file = entry["name"], entry["file"]
        if not strings(name) or not name or tuple(name) in names:
            raise bad(f"{what} has no name, or one used before: {name!r}")
        if not isinstance(file, str) or not _FILE_NAME.fullmatch(file) or file in files:
            raise bad(f"{what} names the file {file!r}: not a plain .npy name in the folder, or used before")
        names.add(tuple(name))
        files.add(file)
        shape = entry["shape"]
        if not isinstance(shape, list) or not all(type(n) is int and n >= 0 for n in shape):
            raise bad(f"{what} ({file}) has the shape {shape!r}")
        try:
            dtype = np.dtype(entry["dtype"]) if isinstance(entry["dtype"], str) else None
        except (TypeError, ValueError):
            dtype = None
        if dtype is None or dtype.kind not in "biufcmMSU" or dtype.subdtype is not None:
            raise bad(f"{what} ({file}) has the dtype {entry['dtype']!r}")
        if entry["nbytes"] != dtype.itemsize * math.prod(shape):
            raise bad(f"{what} ({file}) gives {entry['nbytes']!r} bytes for dtype {dtype} and shape {shape}")
        if not isinstance(entry["crc32"], str) or not re.fullmatch(r"[0-9a-f]{8}", entry["crc32"]):
            raise bad(f"{what} ({file}) has the checksum {entry['crc32']!r}")
    return manifest


def _read_manifest(folder: _Folder) -> dict[str, Any]:
    try:
        descriptor, info = folder.open(MANIFEST)
    except FileNotFoundError:
        raise FileNotFoundError(
            f"{os.path.join(folder.shown, MANIFEST)}: no such file, so {folder.shown} is not a "
            "graph saved by save_graph"
        ) from None
    try:
        if info.st_size > _LARGEST_MANIFEST:
            raise folder.fault(MANIFEST, f"has {info.st_size} bytes, more than a manifest can")
        text = os.read(descriptor, _LARGEST_MANIFEST)
    finally:
        os.close(descriptor)
    try:
        manifest = json.loads(text.decode("utf-8"))
    except (ValueError, RecursionError) as error:
        raise folder.fault(MANIFEST, f"is not valid JSON ({error})") from None
    return _check_manifest(folder, manifest)


def _load_array(folder: _Folder, entry: dict[str, Any], mmap: bool) -> AnyArray:
    """One array, its header and size checked against its manifest entry."""
    file = entry["file"]
    dtype, shape = np.dtype(entry["dtype"]), tuple(entry["shape"])
    what = f"{_display(tuple(entry['name']))}, {entry['dtype']} of shape {shape}"
    descriptor, info = folder.open(file)
    with os.fdopen(descriptor, "rb") as handle:
        try:
            major, minor = np.lib.format.read_magic(handle)
            if (major, minor) not in ((1, 0), (2, 0)):
                raise ValueError(f"format version {major}.{minor}")
            read_header = (np.lib.format.read_array_header_1_0 if major == 1
                           else np.lib.format.read_array_header_2_0)
            found_shape, fortran, found_dtype = read_header(handle)
        except (ValueError, OSError, SyntaxError) as error:
            raise folder.fault(file, f"has no valid .npy header ({error})") from None
        if found_dtype != dtype or np.lib.format.dtype_to_descr(found_dtype) != entry["dtype"] \
                or tuple(found_shape) != shape or (fortran and len(shape) > 1):
            order = ", Fortran order" if fortran else ""
            raise folder.fault(
                file, f"holds {np.lib.format.dtype_to_descr(found_dtype)} of shape "
                f"{tuple(found_shape)}{order}, but the manifest gives {what}")
        offset = handle.tell()
        if info.st_size != offset + entry["nbytes"]:
            raise folder.fault(
                file, f"has {info.st_size} bytes, but a {offset}-byte header and {what} "
                f"({entry['nbytes']} bytes) make {offset + entry['nbytes']}")
        if entry["nbytes"] == 0:
            return np.zeros(shape, dtype=dtype)
        if mmap:
            # np.memmap keeps its own mapping; closing the file after is fine.
            mapped: AnyArray = np.memmap(handle, dtype=dtype, mode="r", offset=offset, shape=shape)
            return mapped
        array = np.empty(shape, dtype=dtype)
        view = memoryview(array.reshape(-1).view(np.uint8))
        done = 0
        while done < view.nbytes:
            count = handle.readinto(view[done:])
            if not count:
                raise folder.fault(file, f"ended after {offset + done} bytes while it was read")
            done += count
        return array


def _graph(folder: _Folder, manifest: dict[str, Any], arrays: dict[ArrayName, AnyArray],
           saved: SavedChecksums) -> Graph:
    colptr: dict[str, AnyArray] = {}
    row: dict[str, AnyArray] = {}
    node_time: dict[str, AnyArray] = {}
    keys: dict[str, AnyArray] = {}
    orders: dict[str, AnyArray] = {}
    parts = {"colptr": colptr, "row": row, "node_time": node_time, "keys": keys, "key_order": orders}
    for name, array in arrays.items():
        if len(name) != 2 or name[0] not in parts:
            raise folder.fault(MANIFEST, f"names an array {list(name)!r} that no graph has")
        parts[name[0]][name[1]] = array
    for node_type in orders:
        if node_type not in keys:
            raise folder.fault(MANIFEST, f"gives key_order[{node_type!r}] without keys[{node_type!r}]")
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
        saved=saved,
    )


def _load_locked(folder: _Folder, mmap: bool, verify: bool) -> Graph:
    manifest = _read_manifest(folder)
    arrays: dict[ArrayName, AnyArray] = {}
    checksums: dict[ArrayName, tuple[str, int]] = {}
    for entry in manifest["arrays"]:
        name = tuple(entry["name"])
        arrays[name] = _load_array(folder, entry, mmap)
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
                f"{os.path.join(saved.folder, file)}: the CRC-32 of {_display(name)} is "
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
            raise ValueError(f"{os.path.join(saved.folder, file)}: the graph no longer has {_display(name)}")
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
            descriptor = os.open(shown, _READ | os.O_DIRECTORY)
        except FileNotFoundError:
            raise FileNotFoundError(f"{shown}: no graph there (no such file or folder)") from None
        except NotADirectoryError:
            raise NotADirectoryError(f"{shown}: not a folder, so not a saved graph") from None
        folder = _Folder(shown, descriptor)
        try:
            # Saves remove a version only while they hold it exclusively.
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
