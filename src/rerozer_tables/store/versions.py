"""Version folders beside a graph's link: what a save may replace, the one
rename that replaces it, and the removal of leftovers (rules: ``storage``)."""

from __future__ import annotations

import fcntl
import json
import os
import re
import stat
import uuid
from collections.abc import Iterator
from contextlib import contextmanager

from .files import FILE_NAME, FORMAT, LARGEST_MANIFEST, MANIFEST, READ


def _only_our_files(folder_fd: int) -> list[str] | None:
    """The entries of a folder if all are regular files with names that
    ``save_graph`` writes (a graph, or what a killed save left of one)."""
    entries = os.listdir(folder_fd)
    for entry in entries:
        if entry != MANIFEST and not FILE_NAME.fullmatch(entry):
            return None
        if not stat.S_ISREG(os.stat(entry, dir_fd=folder_fd, follow_symlinks=False).st_mode):
            return None
    return entries


def _remove_version(parent_fd: int, name: str) -> None:
    """Remove the leftover version folder ``name``, unless a reader holds it
    or it holds anything that ``save_graph`` does not write."""
    try:
        folder_fd = os.open(name, READ | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=parent_fd)
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


def remove_leftovers(parent_fd: int, name: str) -> None:
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
        descriptor = os.open(MANIFEST, READ | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=folder_fd)
    except OSError:
        return None
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            return None
        manifest = json.loads(os.read(descriptor, LARGEST_MANIFEST).decode("utf-8"))
    except (OSError, ValueError, RecursionError):
        return None
    finally:
        os.close(descriptor)
    found = manifest.get("format") if isinstance(manifest, dict) else None
    return found if isinstance(found, str) else None


def refuse(path: str, why: str) -> FileExistsError:
    return FileExistsError(
        f"{path} {why}, so save_graph left it alone: remove it or save to another path"
    )


def what_is_there(path: str, parent_fd: int, name: str) -> str:
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
            folder_fd = os.open(name, READ | os.O_DIRECTORY, dir_fd=parent_fd)
        except OSError:
            raise refuse(path, f"is a symbolic link to {target}, which is not a folder") from None
        try:
            if _read_format(folder_fd) != FORMAT:
                raise refuse(path, f"is a symbolic link to {target}, which is not a saved graph")
        finally:
            os.close(folder_fd)
        return "link"
    if stat.S_ISDIR(info.st_mode):
        folder_fd = os.open(name, READ | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=parent_fd)
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
            raise refuse(path, f"is a folder without a graph manifest (it holds {len(entries)} "
                                f"{'entry' if len(entries) == 1 else 'entries'})")
        raise refuse(path, f"is a folder whose manifest is of format {found!r}, not a saved graph")
    kind = "a file" if stat.S_ISREG(info.st_mode) else "neither a file nor a folder"
    raise refuse(path, f"is {kind}, not a saved graph")


@contextmanager
def locked_parent(parent: str) -> Iterator[int]:
    parent_fd = os.open(parent, READ | os.O_DIRECTORY)
    try:
        fcntl.flock(parent_fd, fcntl.LOCK_EX)
        yield parent_fd
    finally:
        os.close(parent_fd)  # releases the lock


def move_aside(parent_fd: int, name: str) -> str:
    version = f".{name}.v-{uuid.uuid4().hex}"
    os.rename(name, version, src_dir_fd=parent_fd, dst_dir_fd=parent_fd)
    return version


def switch(parent_fd: int, name: str, version: str) -> None:
    """Point the link ``name`` at ``version`` with one rename of a new link."""
    link = f".{name}.link-{uuid.uuid4().hex}"
    os.symlink(version, link, dir_fd=parent_fd)
    os.rename(link, name, src_dir_fd=parent_fd, dst_dir_fd=parent_fd)
    os.fsync(parent_fd)
