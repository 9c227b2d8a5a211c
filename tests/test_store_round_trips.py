"""rerozer_tables.save_graph / load_graph: round trips, memory maps, and
readers left undisturbed by a save over the graph they read."""

import errno
import json
import multiprocessing as mp
import os

import numpy as np
import pytest

from rerozer_tables import Table, build_graph, load_graph, save_graph


def shop(seed, num_orders=50):
    rng = np.random.default_rng(seed)
    sku = np.array([f"sku-{i}" for i in rng.permutation(7)])
    return build_graph({
        "customers": Table({"id": rng.permutation(np.arange(100, 110)), "t": rng.integers(0, 50, 10)},
                           primary_key="id", time_column="t"),
        "products": Table({"sku": sku}, primary_key="sku"),
        "orders": Table({
            "customer_id": rng.integers(100, 110, num_orders),
            "sku": sku[rng.integers(0, 7, num_orders)],
            "t": rng.integers(50, 100, num_orders),
        }, foreign_keys={"customer_id": "customers", "sku": "products"}, time_column="t"),
    }, time_unit="ms")


def all_arrays(graph):
    arrays = {}
    for name in ("colptr", "row", "node_time"):
        arrays |= {(name, key): array for key, array in getattr(graph, name).items()}
    for node_type, key_map in graph.keys.items():
        arrays[("keys", node_type)] = key_map.keys
        if key_map.order is not None:
            arrays[("order", node_type)] = key_map.order
    return arrays


def sample_all(graph):
    seeds = np.arange(10, dtype=np.int64)
    request = {key: [2, 2] for key in graph.colptr}
    times = np.full(10, 120, dtype=np.int64)
    return graph.sampler(seed=7).sample(request, {}, "customers", seeds, times)


@pytest.mark.parametrize("chunk", [None, 24], ids=["whole-arrays", "in-chunks"])
@pytest.mark.parametrize("mmap", [True, False], ids=["mmap", "in-memory"])
def test_round_trip_keeps_every_array_key_and_result(tmp_path, monkeypatch, mmap, chunk):
    from rerozer_tables.store import files

    if chunk is not None:  # arrays written (and checksummed) a few bytes at a time
        monkeypatch.setattr(files, "_WRITE_CHUNK", chunk)
    graph = shop(1)
    save_graph(graph, tmp_path / "g")
    loaded = load_graph(tmp_path / "g", mmap=mmap, verify=True)
    assert loaded.node_types == graph.node_types
    assert loaded.edge_types == graph.edge_types
    assert loaded.num_nodes == graph.num_nodes
    assert loaded.time_unit == "ms"
    original, back = all_arrays(graph), all_arrays(loaded)
    assert back.keys() == original.keys()
    for name, array in original.items():
        assert back[name].dtype == array.dtype and np.array_equal(back[name], array), name
        # Mapped arrays are the files' pages, read-only; others are private copies.
        assert isinstance(back[name], np.memmap) == (mmap and array.size > 0)
        assert back[name].flags.writeable == (not mmap)
    assert loaded.position("products", ["sku-3", "sku-0"]).tolist() == graph.position(
        "products", ["sku-3", "sku-0"]).tolist()
    assert loaded.key("customers", [0, 9]).tolist() == graph.key("customers", [0, 9]).tolist()
    for part, part_back in zip(sample_all(graph), sample_all(loaded)):
        assert part.keys() == part_back.keys()
        for key in part:
            assert np.array_equal(part[key], part_back[key])


def test_resave_leaves_a_reader_of_the_old_graph_undisturbed(tmp_path):
    old, new = shop(1), shop(2, num_orders=80)
    save_graph(old, tmp_path / "g")
    reader = load_graph(tmp_path / "g", mmap=True)
    expected = {name: np.array(array) for name, array in all_arrays(old).items()}
    save_graph(new, tmp_path / "g")
    # The reader's maps still show the old files, whole...
    for name, array in all_arrays(reader).items():
        assert np.array_equal(array, expected[name]), name
    # ...while a new reader gets the new graph, and no temporary is left behind:
    # only the link and the version folder it names.
    assert load_graph(tmp_path / "g").num_nodes["orders"] == 80
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["g", os.readlink(tmp_path / "g")])


def _save_alternately(directory, saves):
    graphs = [shop(1, num_orders=30), shop(2, num_orders=60)]
    for i in range(saves):
        save_graph(graphs[i % 2], directory)


def test_readers_during_saves_see_one_whole_graph(tmp_path):
    directory = tmp_path / "g"
    save_graph(shop(1, num_orders=30), directory)
    expected = {n: all_arrays(shop(s, num_orders=n)) for s, n in ((1, 30), (2, 60))}
    writer = mp.get_context("fork").Process(
        target=_save_alternately, args=(directory, 40), daemon=True
    )
    writer.start()
    try:
        seen = set()
        while writer.is_alive():
            graph = load_graph(directory, mmap=True)
            version = graph.num_nodes["orders"]
            for name, array in all_arrays(graph).items():
                assert np.array_equal(array, expected[version][name]), (version, name)
            seen.add(version)
    finally:
        writer.join(timeout=10)
        if writer.is_alive():
            writer.kill()
            writer.join()
    assert writer.exitcode == 0
    # Which versions a reader happens to meet depends on scheduling; what
    # must hold is that every load above was one whole graph, and that the
    # path names the last graph saved once the saves have ended.
    assert seen <= {30, 60}
    final = load_graph(directory, mmap=True)
    assert final.num_nodes["orders"] == 60
    for name, array in all_arrays(final).items():
        assert np.array_equal(array, expected[60][name]), name


def test_load_rejects_another_format_version(tmp_path):
    save_graph(shop(1), tmp_path / "g")
    manifest = json.loads((tmp_path / "g" / "manifest.json").read_text())
    (tmp_path / "g" / "manifest.json").write_text(json.dumps(manifest | {"version": 99}))
    with pytest.raises(ValueError, match="version 99, not 'rerozer_tables.graph' version 3$"):
        load_graph(tmp_path / "g")
    with pytest.raises(FileNotFoundError):
        load_graph(tmp_path / "missing")


def short_then_full(calls):
    """An os.write that writes half of its first call, then finds the disk full."""
    real = os.write

    def write(descriptor, data):
        calls.append(len(data))
        if len(calls) == 1:
            return real(descriptor, memoryview(data)[: len(data) // 2])
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
    return write


def test_save_errors_carry_the_errno_and_name_the_path_given(tmp_path, monkeypatch):
    long = tmp_path / ("g" * 220)
    with pytest.raises(OSError, match="the name may have at most 216 bytes") as error:
        save_graph(shop(1), long)
    assert (error.value.errno, error.value.filename) == (errno.ENAMETOOLONG, str(long))
    monkeypatch.setattr(os, "write", short_then_full(calls := []))
    with pytest.raises(OSError, match=r"No space left on device \(writing \.g\.v-[0-9a-f]{32}/edge0\.colptr\.npy") as error:
        save_graph(shop(1), tmp_path / "g")
    monkeypatch.undo()
    assert (error.value.errno, error.value.filename, len(calls)) == (errno.ENOSPC, str(tmp_path / "g"), 2)
    assert os.listdir(tmp_path) == []  # the unfinished version was removed

    def read_only(name, *args, **kwargs):  # as in a read-only folder, for any user
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), name)
    monkeypatch.setattr(os, "mkdir", read_only)
    with pytest.raises(PermissionError, match=r"Permission denied \(writing \.g\.v-[0-9a-f]{32} beside it\)") as error:
        save_graph(shop(1), tmp_path / "g")
    assert (error.value.errno, error.value.filename) == (errno.EACCES, str(tmp_path / "g"))
