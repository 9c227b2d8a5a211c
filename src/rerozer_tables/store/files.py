"""The files of one graph folder: its ``.npy`` arrays and its manifest,
written and checked. ``storage`` puts them together into graphs."""

from __future__ import annotations

import json
import math
import os
import re
import stat
import zlib
from collections.abc import Callable
from typing import Any

import numpy as np

from ..graph.arrays import ArrayName, display_name
from ..tables.columns import AnyArray

FORMAT = "rerozer_tables.graph"
VERSION = 3
MANIFEST = "manifest.json"
# What a manifest may name: plain file names in the graph's folder.
FILE_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.-]*\.npy")
LARGEST_MANIFEST = 64 << 20
READ = os.O_RDONLY | os.O_CLOEXEC
_ENTRY_KEYS = {"name", "file", "dtype", "shape", "nbytes", "crc32"}


def write_all(descriptor: int, data: bytes | memoryview) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(descriptor, view):]


class _Writer:
    """A file for ``np.save`` that writes through ``write_all``, so that a
    full disk raises the system's error (ENOSPC), not a short count."""

    def __init__(self, descriptor: int) -> None:
        self.descriptor = descriptor

    def write(self, data: bytes) -> int:
        write_all(self.descriptor, data)
        return len(data)


# Bytes written (and checksummed) at a time: the chunk is still in the
# cache when the checksum reads it.
_WRITE_CHUNK = 16 << 20


def write_array(folder_fd: int, file: str, array: AnyArray, step: Callable[[int], object] = lambda n: None) -> int:
    """Write a contiguous array as an ``.npy`` file, on disk when it
    returns, and return the CRC-32 of its data.

    The data go from the array's memory to the file a chunk at a time, each
    chunk checksummed as it is written: one pass, no copy, so the cost is
    linear in the bytes. ``step`` is called with the bytes of each chunk.
    """
    descriptor = os.open(file, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644,
                         dir_fd=folder_fd)
    try:
        writer = _Writer(descriptor)
        header = np.lib.format.header_data_from_array_1_0(array)
        try:
            np.lib.format.write_array_header_1_0(writer, header)
        except ValueError:  # a header beyond 64 KiB
            np.lib.format.write_array_header_2_0(writer, header)
        data = array.reshape(-1).view(np.uint8)
        checksum = 0
        for start in range(0, data.size, _WRITE_CHUNK):
            chunk = data[start : start + _WRITE_CHUNK]
            checksum = zlib.crc32(chunk, checksum)
            write_all(descriptor, memoryview(chunk))
            step(chunk.size)
        os.fsync(descriptor)  # on disk before the link names the folder
    finally:
        os.close(descriptor)
    return checksum


class GraphFolder:
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
            descriptor = os.open(file, READ | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=self.fd)
        except OSError as error:
            # The same error, naming the whole path instead of the bare file.
            raise type(error)(error.errno, error.strerror, shown) from None
        opened = os.fstat(descriptor)
        if not stat.S_ISREG(opened.st_mode) or (opened.st_dev, opened.st_ino) != (info.st_dev, info.st_ino):
            os.close(descriptor)
            raise self.fault(file, "changed while it was opened")
        return descriptor, opened


def _check_manifest(folder: GraphFolder, manifest: object) -> dict[str, Any]:
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
    inherited = manifest.setdefault("inherited_times", {})
    if not isinstance(inherited, dict) or not all(strings(c) for c in inherited.values()):
        raise bad("inherited_times is not an object of column lists")
    dangling = manifest.setdefault("dangling_keys", {})
    if not isinstance(dangling, dict) or not all(
        type(n) is int and n >= 0 for n in dangling.values()
    ):
        raise bad("dangling_keys is not an object of counts")
    left_out = manifest.setdefault("left_out_columns", {})
    if not isinstance(left_out, dict) or not all(
        isinstance(c, dict) and all(type(n) is int and n >= 0 for n in c.values()) for c in left_out.values()
    ):
        raise bad("left_out_columns is not an object of counts per column")
    features = manifest.setdefault("features", {})
    if not isinstance(features, dict) or not all(
        isinstance(f, dict) and {"numerical", "categorical", "timestamps"} <= set(f)
        <= {"numerical", "categorical", "timestamps", "text", "multicategorical"}
        and all(strings(names) for names in f.values())
        for f in features.values()
    ):
        raise bad("features is not an object of numerical, categorical and timestamp column lists")
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
        if not isinstance(file, str) or not FILE_NAME.fullmatch(file) or file in files:
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
        if type(entry["nbytes"]) is not int or entry["nbytes"] != dtype.itemsize * math.prod(shape):
            raise bad(f"{what} ({file}) gives {entry['nbytes']!r} bytes for dtype {dtype} and shape {shape}")
        if not isinstance(entry["crc32"], str) or not re.fullmatch(r"[0-9a-f]{8}", entry["crc32"]):
            raise bad(f"{what} ({file}) has the checksum {entry['crc32']!r}")
    return manifest


def read_manifest(folder: GraphFolder) -> dict[str, Any]:
    try:
        descriptor, info = folder.open(MANIFEST)
    except FileNotFoundError:
        raise FileNotFoundError(
            f"{os.path.join(folder.shown, MANIFEST)}: no such file, so {folder.shown} is not a "
            "graph saved by save_graph"
        ) from None
    try:
        if info.st_size > LARGEST_MANIFEST:
            raise folder.fault(MANIFEST, f"has {info.st_size} bytes, more than a manifest can")
        chunks = []
        while chunk := os.read(descriptor, LARGEST_MANIFEST):
            chunks.append(chunk)
        text = b"".join(chunks)
    finally:
        os.close(descriptor)
    try:
        manifest = json.loads(text.decode("utf-8"))
    except (ValueError, RecursionError) as error:
        raise folder.fault(MANIFEST, f"is not valid JSON ({error})") from None
    return _check_manifest(folder, manifest)


def load_array(folder: GraphFolder, entry: dict[str, Any], mmap: bool) -> AnyArray:
    """One array, its header and size checked against its manifest entry."""
    file = entry["file"]
    dtype, shape = np.dtype(entry["dtype"]), tuple(entry["shape"])
    what = f"{display_name(tuple(entry['name']))}, {entry['dtype']} of shape {shape}"
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
