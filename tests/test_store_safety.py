"""save_graph never loses what is not a graph and survives being killed at
any step; load_graph opens only the graph's own files and checks them
against the manifest, naming the folder and the file in every error."""

import fcntl
import json
import multiprocessing as mp
import os
import re
import signal
import stat
import threading
import traceback
import zlib

import numpy as np
import pytest

from rerozer_tables import Table, build_graph, check_graph, load_graph, save_graph
from rerozer_tables.graph.arrays import _CHECKSUM_CHUNK
from test_store_round_trips import all_arrays, shop

GRAPHS = {30: shop(1, num_orders=30), 60: shop(2, num_orders=60)}


def snapshot(folder):
    """Every entry under ``folder``: what it is and what it holds."""
    found = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            if os.path.islink(path):
                found[path] = ("link", os.readlink(path))
            elif os.path.isfile(path):
                with open(path, "rb") as file:
                    found[path] = ("file", file.read())
            else:
                found[path] = ("other", os.path.isdir(path))
    return found


def assert_whole(graph):
    """``graph`` is one of GRAPHS, every array equal."""
    expected = all_arrays(GRAPHS[graph.num_nodes["orders"]])
    got = all_arrays(graph)
    assert got.keys() == expected.keys()
    for name, array in expected.items():
        assert np.array_equal(got[name], array), name


def leftovers(path):
    """Entries beside ``path`` that the graph there does not use."""
    return set(os.listdir(path.parent)) - {path.name, os.readlink(path)}


# --- What save_graph refuses, and what it replaces --------------------------

def folder_with_database(path):
    path.mkdir()
    (path / "shop.sqlite").write_bytes(b"SQLite format 3\0" + bytes(range(256)))


def folder_of_another_manifest(path):
    path.mkdir()
    (path / "manifest.json").write_text('{"format": "someone.else", "version": 2}')


def link_to_a_folder(path):
    (path.parent / "elsewhere").mkdir()
    (path.parent / "elsewhere" / "notes.txt").write_text("keep me")
    path.symlink_to("elsewhere")


@pytest.mark.parametrize("make, why", [
    pytest.param(folder_with_database, "is a folder without a graph manifest (it holds 1 entry)",
                 id="folder-holding-a-database"),
    pytest.param(lambda path: path.write_text("a plain file"), "is a file, not a saved graph",
                 id="plain-file"),
    pytest.param(folder_of_another_manifest,
                 "is a folder whose manifest is of format 'someone.else', not a saved graph",
                 id="folder-of-another-format"),
    pytest.param(link_to_a_folder, "is a symbolic link to elsewhere, which is not a saved graph",
                 id="link-to-a-folder"),
    pytest.param(lambda path: os.mkfifo(path), "is neither a file nor a folder, not a saved graph",
                 id="fifo"),
])
def test_save_refuses_what_is_not_a_graph_and_touches_nothing(tmp_path, make, why):
    path = tmp_path / "data"
    make(path)
    before = snapshot(tmp_path)
    with pytest.raises(FileExistsError) as raised:
        save_graph(GRAPHS[30], path)
    assert str(raised.value) == (f"{path} {why}, so save_graph left it alone: remove it or save "
                                 "to another path")
    assert snapshot(tmp_path) == before


def earlier_release_graph(path):
    """A graph folder as the earlier release wrote it: a plain folder."""
    path.mkdir()
    np.save(path / "edge0.colptr.npy", np.zeros(3, np.int64))
    (path / "manifest.json").write_text(json.dumps({"format": "rerozer_tables.graph", "version": 1}))


def link_to_a_graph_elsewhere(path):
    save_graph(GRAPHS[60], path.parent / "other" / "graph")
    path.symlink_to(path.parent / "other" / "graph")


@pytest.mark.parametrize("make", [
    pytest.param(lambda path: None, id="missing"),
    pytest.param(lambda path: path.mkdir(), id="empty-folder"),
    pytest.param(earlier_release_graph, id="earlier-release-folder"),
    pytest.param(link_to_a_graph_elsewhere, id="link-to-a-graph-elsewhere"),
])
def test_save_replaces_graphs_and_empty_folders(tmp_path, make):
    path = tmp_path / "g"
    make(path)
    save_graph(GRAPHS[30], path)
    assert_whole(load_graph(path))
    assert path.is_symlink()
    elsewhere = (tmp_path / "other").exists()
    assert leftovers(path) == ({"other"} if elsewhere else set())
    if elsewhere:
        # The graph the old link named is not the save's to remove.
        assert_whole(load_graph(tmp_path / "other" / "graph"))


def test_save_removes_only_leftovers_of_its_own_graph_not_held_by_a_reader(tmp_path):
    path = tmp_path / "g"
    save_graph(GRAPHS[30], path)
    save_graph(GRAPHS[60], tmp_path / "h")
    held = os.readlink(path)
    reader = load_graph(path, mmap=True)
    hex32, hex12 = "0" * 32, "1" * 12
    # Ours: what killed saves leave (a partial version, a link before its rename).
    (tmp_path / f".g.v-{hex32}").mkdir()
    np.save(tmp_path / f".g.v-{hex32}" / "edge0.row.npy", np.arange(3))
    (tmp_path / f".g.link-{hex32}").symlink_to(f".g.v-{hex32}")
    (tmp_path / f".g.new-{hex12}").mkdir()
    # Not ours: a folder holding something else, a file the earlier release
    # renamed aside, names of another pattern.
    (tmp_path / f".g.v-{'2' * 32}").mkdir()
    (tmp_path / f".g.v-{'2' * 32}" / "notes.txt").write_text("keep me")
    (tmp_path / f".g.old-{hex12}").write_text("a user's file")
    (tmp_path / ".g.v-12").mkdir()
    kept = {f".g.v-{'2' * 32}", f".g.old-{hex12}", ".g.v-12", "h", os.readlink(tmp_path / "h")}

    # A reader loading the current version holds it: the next save keeps it.
    folder = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(folder, fcntl.LOCK_SH)
    try:
        save_graph(GRAPHS[60], path)
        assert leftovers(path) == kept | {held}
    finally:
        os.close(folder)
    save_graph(GRAPHS[30], path)
    assert leftovers(path) == kept
    # Memory maps of the removed version still read the old graph.
    assert_whole(reader)
    assert reader.num_nodes["orders"] == 30
    assert_whole(load_graph(tmp_path / "h"))


# --- Saves killed at every kind of step, while a reader loads ---------------

STEPS = ("open", "close", "write", "fsync", "mkdir", "rmdir", "rename", "symlink", "unlink")


def _count_steps(kill_at):
    """Wrap the os calls a save makes; SIGKILL this process before call ``kill_at``."""
    count = 0

    def wrap(function):
        def step(*args, **kwargs):
            nonlocal count
            count += 1
            if count == kill_at:
                os.kill(os.getpid(), signal.SIGKILL)
            return function(*args, **kwargs)
        return step

    for name in STEPS:
        setattr(os, name, wrap(getattr(os, name)))
    return lambda: count


def _save_until_killed(path, kill_at):
    """Forked child: save the two graphs in turns until step ``kill_at`` kills it."""
    try:
        _count_steps(kill_at)
        for i in range(1_000):
            save_graph(GRAPHS[(30, 60)[i % 2]], path)
    except BaseException:
        traceback.print_exc()
    finally:
        os._exit(1)


def _read_until_stopped(path, stop, loaded, report):
    loads, failures = 0, []
    while not stop.is_set():
        try:
            assert_whole(load_graph(path, mmap=True))
            loads += 1
        except Exception as error:
            failures.append(repr(error))
        loaded.set()
    report.send((loads, failures))


def test_saves_killed_at_random_steps_never_fail_a_reader_nor_pile_up(tmp_path):
    path = tmp_path / "g"
    save_graph(GRAPHS[30], path)
    # How many steps one save takes, counted in a child that is not killed.
    receive, send = mp.get_context("fork").Pipe(duplex=False)
    counter = mp.get_context("fork").Process(
        target=lambda: (count := _count_steps(0), save_graph(GRAPHS[60], path), send.send(count())))
    counter.start()
    steps = receive.recv()
    counter.join()
    assert steps > 20

    context = mp.get_context("fork")
    stop, loaded = context.Event(), context.Event()
    results, report = context.Pipe(duplex=False)
    reader = context.Process(target=_read_until_stopped, args=(path, stop, loaded, report))
    reader.start()
    try:
        assert loaded.wait(timeout=60)
        rng = np.random.default_rng(19)
        kill_points = rng.integers(1, 2 * steps, size=40)
        for kill_at in kill_points:
            pid = os.fork()
            if pid == 0:
                _save_until_killed(path, int(kill_at))
            _, status = os.waitpid(pid, 0)
            assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
            # The path names a whole graph, and leftovers stay few: at most the
            # killed save's version and its link, and a version a reader held.
            assert_whole(load_graph(path))
            assert len(leftovers(path)) <= 3, sorted(leftovers(path))
        # The reader loads once more after the last kill, then stops.
        loaded.clear()
        assert loaded.wait(timeout=60)
    finally:
        stop.set()
        reader.join(timeout=60)
    loads, failures = results.recv()
    assert failures == []
    assert loads >= 2
    save_graph(GRAPHS[30], path)
    assert leftovers(path) == set()


# --- Damaged files ----------------------------------------------------------

def write(file, data, mode="wb"):
    with open(file, mode) as handle:
        handle.write(data)


def data_offset(file):
    with open(file, "rb") as handle:
        np.lib.format.read_magic(handle)
        np.lib.format.read_array_header_1_0(handle)
        return handle.tell()


@pytest.fixture
def saved(tmp_path):
    path = tmp_path / "g"
    save_graph(GRAPHS[60], path)
    return path


def manifest_entry(path, file):
    manifest = json.loads((path / "manifest.json").read_text())
    return next(entry for entry in manifest["arrays"] if entry["file"] == file)


@pytest.mark.parametrize("mmap", [True, False], ids=["mmap", "in-memory"])
@pytest.mark.parametrize("damage, message", [
    pytest.param(lambda f: os.truncate(f, os.path.getsize(f) - 8),
                 r"has \d+ bytes, but a 128-byte header and row\['orders__customer_id__customers'\], "
                 r"<i8 of shape \(60,\) \(480 bytes\) make 608", id="truncated"),
    pytest.param(lambda f: write(f, b"\0" * 8, "ab"), "has 616 bytes, but", id="grown"),
    pytest.param(lambda f: np.save(f, np.zeros(60, np.int32)),
                 r"holds <i4 of shape \(60,\), but the manifest gives row", id="other-dtype"),
    pytest.param(lambda f: np.save(f, np.zeros(61, np.int64)),
                 r"holds <i8 of shape \(61,\), but the manifest gives", id="other-shape"),
    pytest.param(lambda f: write(f, b"not an array"),
                 "has no valid .npy header", id="no-header"),
])
def test_damaged_sizes_and_headers_are_refused(saved, mmap, damage, message):
    file = "edge0.row.npy"
    assert manifest_entry(saved, file)["name"] == ["row", "orders__customer_id__customers"]
    damage(saved / file)
    with pytest.raises(ValueError, match="^" + re.escape(f"{saved}/{file}: ") + message):
        load_graph(saved, mmap=mmap)


def test_a_missing_file_is_named(saved):
    os.unlink(saved / "edge1.colptr.npy")
    with pytest.raises(FileNotFoundError, match=re.escape(f"{saved}/edge1.colptr.npy")):
        load_graph(saved)


def over_one_chunk():
    """A graph whose node times take one checksum chunk and one entry more."""
    ticks = np.arange(_CHECKSUM_CHUNK // 8 + 1)
    return build_graph({"ticks": Table({"t": ticks}, time_column="t")})


@pytest.mark.parametrize("make, file, name", [
    pytest.param(lambda: GRAPHS[60], "edge0.row.npy", "row['orders__customer_id__customers']", id="row"),
    pytest.param(lambda: GRAPHS[60], "node0.key.npy", "keys['customers']", id="primary-keys"),
    pytest.param(over_one_chunk, "node0.time.npy", "node_time['ticks']", id="first-of-two-chunks"),
])
def test_swapped_entries_are_found_by_the_checksum(tmp_path, make, file, name):
    saved = tmp_path / "g"
    save_graph(make(), saved)
    offset = data_offset(saved / file)
    with open(saved / file, "rb") as handle:
        handle.seek(offset)
        whole = zlib.crc32(handle.read())
    assert int(manifest_entry(saved, file)["crc32"], 16) == whole
    itemsize = np.dtype(manifest_entry(saved, file)["dtype"]).itemsize
    with open(saved / file, "r+b") as handle:
        handle.seek(offset)
        data = bytearray(handle.read(2 * itemsize))
        if data[:itemsize] == data[itemsize:]:
            pytest.fail("the first two entries are equal: pick others")
        handle.seek(offset)
        handle.write(data[itemsize:] + data[:itemsize])
    graph = load_graph(saved)  # sizes and headers are right: only the checksum can tell
    message = "^" + re.escape(f"{saved}/{file}: the CRC-32 of {name} is ")
    with pytest.raises(ValueError, match=message):
        check_graph(graph, verify=True)
    for mmap in (True, False):
        with pytest.raises(ValueError, match=message):
            load_graph(saved, mmap=mmap, verify=True)


def test_verify_needs_a_loaded_graph_and_passes_on_an_intact_one(saved):
    check_graph(load_graph(saved, verify=True), verify=True)
    check_graph(load_graph(saved, mmap=False), verify=True)
    with pytest.raises(ValueError, match="only a graph from load_graph can be verified"):
        check_graph(GRAPHS[30], verify=True)


# --- Hostile manifests ------------------------------------------------------

def edit_entries(change):
    def edit(path):
        manifest = json.loads((path / "manifest.json").read_text())
        change(manifest["arrays"][1], manifest)
        (path / "manifest.json").write_text(json.dumps(manifest))
    return edit


def pointing_at(file):
    def edit(path):
        outside = path.parent / "outside.npy"
        np.save(outside, np.zeros(60, np.int64))
        edit_entries(lambda entry, _: entry.update(file=file.format(outside=outside)))(path)
    return edit


def linking_out(path):
    np.save(path.parent / "outside.npy", np.zeros(60, np.int64))
    os.symlink("../outside.npy", path / "link.npy")
    edit_entries(lambda entry, _: entry.update(file="link.npy"))(path)


def fifo_in_place(path):
    os.unlink(path / "edge0.row.npy")
    os.mkfifo(path / "edge0.row.npy")


def device_in_place(path):
    os.unlink(path / "edge0.row.npy")
    try:
        os.mknod(path / "edge0.row.npy", stat.S_IFCHR | 0o600, os.makedev(1, 3))  # /dev/null's
    except PermissionError:
        pytest.skip("this user may not make device nodes")


def manifest_linking_out(path):
    os.rename(path / "manifest.json", path.parent / "manifest.json")
    os.symlink("../manifest.json", path / "manifest.json")


@pytest.mark.parametrize("edit, file, message", [
    pytest.param(pointing_at("../outside.npy"), "manifest.json",
                 "arrays[1] names the file '../outside.npy': not a plain .npy name", id="dot-dot"),
    pytest.param(pointing_at("{outside}"), "manifest.json",
                 "arrays[1] names the file '/", id="absolute"),
    pytest.param(linking_out, "link.npy", "is a symbolic link, where the graph keeps a regular file",
                 id="link-out"),
    pytest.param(fifo_in_place, "edge0.row.npy", "is not a regular file", id="fifo"),
    pytest.param(device_in_place, "edge0.row.npy", "is not a regular file", id="device"),
    pytest.param(manifest_linking_out, "manifest.json", "is a symbolic link", id="manifest-link"),
    pytest.param(edit_entries(lambda entry, _: entry.update(dtype="|O")), "manifest.json",
                 "arrays[1] (edge0.row.npy) has the dtype '|O'", id="object-dtype"),
    pytest.param(edit_entries(lambda entry, _: entry.update(dtype="no such type")), "manifest.json",
                 "arrays[1] (edge0.row.npy) has the dtype 'no such type'", id="unknown-dtype"),
    pytest.param(edit_entries(lambda entry, _: entry.update(shape=[-1])), "manifest.json",
                 "arrays[1] (edge0.row.npy) has the shape [-1]", id="negative-shape"),
    pytest.param(edit_entries(lambda entry, _: entry.update(nbytes=2**62)), "manifest.json",
                 f"arrays[1] (edge0.row.npy) gives {2**62} bytes for dtype int64 and shape [60]",
                 id="byte-count"),
    pytest.param(edit_entries(lambda entry, m: entry.update(file=m["arrays"][0]["file"])),
                 "manifest.json", "arrays[1] names the file 'edge0.colptr.npy': not a plain .npy "
                 "name in the folder, or used before", id="file-twice"),
    pytest.param(edit_entries(lambda entry, _: entry.update(name=["weights", "x"])),
                 "manifest.json", "names an array ['weights', 'x'] that no graph has",
                 id="unknown-array"),
    pytest.param(edit_entries(lambda entry, m: m.update(version=1)), "manifest.json",
                 "holds format 'rerozer_tables.graph' version 1, not 'rerozer_tables.graph' "
                 "version 3: save the graph again", id="earlier-version"),
    pytest.param(edit_entries(lambda entry, m: m.update(dangling_keys={"orders.sku": -1})),
                 "manifest.json", "dangling_keys is not an object of counts", id="negative-count"),
    pytest.param(lambda path: (path / "manifest.json").write_text("[" * 100_000), "manifest.json",
                 "is not valid JSON", id="deeply-nested"),
    pytest.param(lambda path: (path / "manifest.json").write_text('{"format": '), "manifest.json",
                 "is not valid JSON", id="cut-short"),
])
def test_hostile_manifests_are_refused_naming_folder_and_file(saved, edit, file, message):
    edit(saved)
    outcome = []

    def load():
        try:
            load_graph(saved)
        except Exception as error:
            outcome.append(error)

    # A FIFO must not block the load: run it where a hang is seen, not suffered.
    thread = threading.Thread(target=load, daemon=True)
    thread.start()
    thread.join(timeout=60)
    assert not thread.is_alive(), "load_graph blocked"
    assert len(outcome) == 1 and isinstance(outcome[0], ValueError), outcome
    assert str(outcome[0]).startswith(f"{saved}/{file}: {message}")


@pytest.mark.parametrize("make, error, message", [
    pytest.param(lambda path: None, FileNotFoundError, "{path}: no graph there", id="missing"),
    pytest.param(folder_with_database, FileNotFoundError,
                 "{path}/manifest.json: no such file, so {path} is not a graph saved by save_graph",
                 id="folder-without-manifest"),
    pytest.param(lambda path: path.write_text("x"), NotADirectoryError,
                 "{path}: not a folder", id="plain-file"),
])
def test_load_names_the_path_that_holds_no_graph(tmp_path, make, error, message):
    path = tmp_path / "data"
    make(path)
    with pytest.raises(error, match="^" + re.escape(message.format(path=path))):
        load_graph(path)

