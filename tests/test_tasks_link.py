"""Recommendation tasks: link training tables against a row-by-row oracle, the
LinkLoader's negatives and cut-offs, and MAP@k/recall@k against a direct
computation."""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from rerozer_tables import (
    LinkLoader, Loader, Table, build_graph, link_training_table, map_at_k, recall_at_k, split_by_time,
)
from rerozer_tables.load.link_join import shared_seeds
from rerozer_tables.tasks.metrics import top_k

HORIZON = 6
TARGET = ("plays", "user", "song")


def random_tables(seed, string_keys):
    """Users and songs that come into being over time, and plays of songs
    by users, some with a null user or song; times on a small grid, so that
    cut-offs and window ends tie with plays."""
    rng = np.random.default_rng(seed)
    users, songs, plays = 10, 8, 160
    ids = np.array([f"u{i}" for i in range(users)]) if string_keys else np.arange(50, 50 + users)
    joined = rng.integers(0, 15, users)
    released = rng.integers(0, 25, songs)
    by, song = rng.integers(0, users, plays), rng.integers(0, songs, plays)
    at = np.maximum(joined[by], released[song]) + rng.integers(0, 20, plays)
    by_key = ids[by].astype(object)
    by_key[rng.random(plays) < 0.1] = None
    song_key = (100 + song).astype(object)
    song_key[rng.random(plays) < 0.1] = None
    tables = {
        "users": Table({"id": ids, "joined": joined}, primary_key="id", time_column="joined"),
        "songs": Table({"id": 100 + np.arange(songs), "released": released,
                        "length": rng.random(songs)}, primary_key="id", time_column="released"),
        "plays": Table({"user": list(by_key), "song": list(song_key), "at": at},
                       foreign_keys={"user": "users", "song": "songs"}, time_column="at"),
    }
    return tables, ids, joined, released, by_key, song_key, at


def oracle(key, t, by_key, song_key, at, seen=False):
    """An example's items, row by row: song positions of its plays in (t, t + horizon]
    (with ``seen``, of its plays at or before t)."""
    return sorted({song_key[i] - 100 for i in range(at.size)
                   if song_key[i] is not None and by_key[i] == key
                   and (at[i] <= t if seen else t < at[i] <= t + HORIZON)})


@pytest.mark.parametrize("string_keys", [False, True], ids=["int-keys", "str-keys"])
@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("via", ["tables", "graph"])
def test_positives_match_the_oracle_and_survive_the_split(seed, string_keys, via):
    tables, ids, joined, released, by_key, song_key, at = random_tables(seed, string_keys)
    cutoffs = np.array([5, 12, 20, 27])
    # Given the graph, its key maps, times and edges are used as built.
    reuse = {} if via == "tables" else {"graph": build_graph(tables, dangling_keys="null")}
    table = link_training_table(tables, "users", cutoffs, target=TARGET, horizon=HORIZON, seen=True,
                                **reuse)
    assert table.keys.tolist() == [k for t in cutoffs for k, j in zip(ids.tolist(), joined) if j <= t]
    expected = [oracle(k, t, by_key, song_key, at) for k, t in zip(table.keys.tolist(), table.times)]
    assert [table.positives(i).tolist() for i in range(len(table))] == expected
    assert table.items.size > 10  # the oracle compared something
    seen = [oracle(k, t, by_key, song_key, at, seen=True) for k, t in zip(table.keys.tolist(), table.times)]
    assert [table.seen(i).tolist() for i in range(len(table))] == seen
    late = [sum(released[s] > t for s in items) for items, t in zip(expected, table.times)]
    assert table.num_late.tolist() == late and 0 < sum(late) < table.items.size
    scores = np.random.default_rng(seed).random((len(table), 8))
    assert map_at_k(scores, table, 3, exclude="seen") == pytest.approx(
        direct_metrics(scores, expected, 3, exclude=seen)[0], rel=1e-12)
    # Given keys (repeated, in any order) give the same rows as a table of every user.
    chosen = link_training_table(tables, "users", table.times[::-1], keys=table.keys[::-1],
                                 target=TARGET, horizon=np.timedelta64(HORIZON, "s"))
    assert [chosen.positives(i).tolist() for i in range(len(chosen))] == expected[::-1]
    parts = split_by_time(table, val_start=12, test_start=20)
    assert [p.times.tolist() for p in parts] == [
        table.times[table.times + HORIZON <= 12].tolist(),
        table.times[(table.times >= 12) & (table.times + HORIZON <= 20)].tolist(),
        table.times[table.times >= 20].tolist(),
    ]
    for part in parts:
        rows = [int(np.flatnonzero((table.keys == k) & (table.times == t))[0])
                for k, t in zip(part.keys.tolist(), part.times.tolist())]
        assert [part.positives(i).tolist() for i in range(len(part))] == [expected[r] for r in rows]
        assert [part.seen(i).tolist() for i in range(len(part))] == [seen[r] for r in rows]
        assert part.num_late.tolist() == [late[r] for r in rows]


@pytest.mark.parametrize("change, message", [
    (dict(target=("plays", "song", "song")), "plays.song is not a foreign key into users"),
    (dict(target=("plays", "user", "at")), "plays.at is not a foreign key into one of the tables"),
    (dict(horizon=0), "horizon must be positive, got 0"),
    (dict(keys=["u9"], times=[1]), "'u9' comes at 3, after its cut-off time 1"),
], ids=["source-fk", "item-fk", "horizon", "not-yet"])
def test_link_table_refusals(change, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        arguments = dict(times=[4], target=TARGET, horizon=5) | change
        link_training_table(dangling_tables(song=[1, 2]), "users", **arguments)


@pytest.mark.parametrize("via", ["tables", "graph"])
def test_a_dangling_item_key_links_nothing(via):
    tables = dangling_tables(song=[1, 7])
    reuse = {} if via == "tables" else {"graph": build_graph(tables, dangling_keys="null")}
    table = link_training_table(tables, "users", [3], target=TARGET, horizon=5, **reuse)
    assert table.offsets.tolist() == [0, 1, 1] and table.items.tolist() == [0]


def dangling_tables(song):
    return {
        "users": Table({"id": ["u1", "u9"], "joined": [0, 3]}, primary_key="id", time_column="joined"),
        "songs": Table({"id": [1, 2]}, primary_key="id"),
        "plays": Table({"user": ["u1", "u9"], "song": song, "at": [4, 5]},
                       foreign_keys={"user": "users", "song": "songs"}, time_column="at"),
    }


@pytest.fixture(scope="module")
def loaded():
    tables, *_ = random_tables(4, string_keys=True)
    graph = build_graph(tables)
    table = link_training_table(tables, "users", [14, 20, 26], target=TARGET, horizon=HORIZON)
    return graph, table


def epoch(graph, table, **options):
    options = dict(batch_size=4, negatives=3, num_neighbors=[2, 2], shuffle=True, seed=7) | options
    return list(LinkLoader(graph, table, **options))


def graph_edges(graph, edge_type):
    """Every (source, destination) pair of an edge type, from its CSC arrays."""
    key = "__".join(edge_type)
    colptr, row = graph.colptr[key], graph.row[key]
    return set(zip(row.tolist(), np.repeat(np.arange(colptr.size - 1), np.diff(colptr)).tolist()))


@pytest.mark.parametrize("options", [
    dict(workers=2), dict(workers=2, worker_kind="process"), dict(temporal_strategy="uniform"),
    dict(positives="all", workers=2), dict(positives="all", item_num_neighbors=[1], workers=1),
    dict(num_neighbors=[-1, 3, 1], item_num_neighbors=[1]),
    dict(share_items=False, workers=2), dict(share_items=False, positives="all", negatives=6),
], ids=["threads", "processes", "uniform", "all-positives", "all-other-item-request",
        "calls-of-other-lengths", "unshared", "unshared-all"])
def test_link_batches_hold_the_positives_true_negatives_and_nothing_late(loaded, options):
    graph, table = loaded
    batches = epoch(graph, table, **options)
    song_time = graph.node_time["songs"]
    edges = {t: graph_edges(graph, t) for t in graph.edge_types}
    seen = []
    for batch in batches:
        seen += batch.example_index.tolist()
        times = batch.seed_time
        for node_type, nodes in batch.out_node.items():
            if node_type in graph.node_time:
                assert (graph.node_time[node_type][nodes] <= times[batch.out_batch[node_type]]).all()
                assert batch.time[node_type].tolist() == graph.node_time[node_type][nodes].tolist()
            assert batch.num_sampled_nodes[node_type].sum() == nodes.size
        # The joined edges link nodes of one example along edges of the graph.
        for (src, rel, dst), (rows, cols) in batch.edge_index.items():
            assert (batch.out_batch[src][rows] == batch.out_batch[dst][cols]).all()
            pairs = zip(batch.out_node[src][rows].tolist(), batch.out_node[dst][cols].tolist())
            assert set(pairs) <= edges[(src, rel, dst)]
            assert batch.num_sampled_edges["__".join((src, rel, dst))].sum() == rows.size
        songs = batch.out_node["songs"]
        for i, example in enumerate(batch.example_index.tolist()):
            mine = batch.pos_node[batch.pos_ptr[i] : batch.pos_ptr[i + 1]]
            wanted = table.positives(example)
            existing = wanted[song_time[wanted] <= times[i]]
            if options.get("positives") == "all":
                assert mine.tolist() == existing.tolist()
            else:  # one of them, when there is any
                assert mine.size == min(existing.size, 1) and np.isin(mine, existing).all()
            assert not np.isin(batch.neg_node[i], wanted).any()
            assert (song_time[batch.neg_node[i]] <= times[i]).all()
            assert songs[batch.pos_index[batch.pos_ptr[i] : batch.pos_ptr[i + 1]]].tolist() == mine.tolist()
            assert songs[batch.neg_index[i]].tolist() == batch.neg_node[i].tolist()
            roots = np.concatenate([batch.pos_index[batch.pos_ptr[i] : batch.pos_ptr[i + 1]], batch.neg_index[i]])
            owner = batch.out_batch["songs"][roots]
            # Its own roots, or shared ones owned by an example at its cut-off.
            assert (owner == i).all() if not options.get("share_items", True) else (times[owner] == times[i]).all()
        # Shared: one root per distinct (item, cut-off) seed; unshared: one per seed.
        roots = np.concatenate([batch.pos_index, batch.neg_index.ravel()])
        pairs = {(n, t) for n, t in zip(songs[roots].tolist(), times[batch.out_batch["songs"][roots]].tolist())}
        assert np.unique(roots).size == (len(pairs) if options.get("share_items", True) else roots.size)
        assert (batch.out_node["users"][: batch.seed_node.size] == batch.seed_node).all()
        assert batch.source_side["users"][: batch.seed_node.size].all()
        assert not batch.source_side["songs"][roots].any()
    assert sorted(seen) == list(range(len(table)))
    # The same batches with none of the options' workers.
    alone = epoch(graph, table, **(options | dict(workers=0)))
    for one, two in zip(batches, alone, strict=True):
        assert one.neg_node.tolist() == two.neg_node.tolist()
        assert one.pos_node.tolist() == two.pos_node.tolist()
        for name in ("out_node", "out_batch", "num_sampled_nodes", "out_row", "out_col", "source_side"):
            assert {k: v.tolist() for k, v in getattr(one, name).items()} == \
                   {k: v.tolist() for k, v in getattr(two, name).items()}


def test_one_positive_per_epoch_takes_each_in_turn(loaded):
    graph, table = loaded
    loader = LinkLoader(graph, table, batch_size=4, negatives=1, num_neighbors=[1], shuffle=True, seed=3)
    regrouped = LinkLoader(graph, table, batch_size=7, negatives=1, num_neighbors=[1], seed=3,
                           rank=1, world_size=2)
    taken = {i: [] for i in range(len(table))}
    for _ in range(4):
        for batch in loader:
            for i, example in enumerate(batch.example_index.tolist()):
                taken[example] += batch.pos_node[batch.pos_ptr[i] : batch.pos_ptr[i + 1]].tolist()
    # Another batching, order and rank take the same positive in the same epoch.
    again = {i: [] for i in range(len(table))}
    for _ in range(4):
        for batch in regrouped:
            for i, example in enumerate(batch.example_index.tolist()):
                again[example] += batch.pos_node[batch.pos_ptr[i] : batch.pos_ptr[i + 1]].tolist()
    assert all(again[i] == taken[i] for i in again if again[i])
    song_time = graph.node_time["songs"]
    several = 0
    for example, chosen in taken.items():
        wanted = table.positives(example)
        existing = wanted[song_time[wanted] <= table.times[example]].tolist()
        n = len(existing)
        assert len(chosen) == (4 if n else 0)
        # Consecutive epochs walk the positives in turn: n epochs take each once.
        for start in range(0, 4 - n + 1):
            assert sorted(chosen[start : start + n]) == existing
        several += n > 1
    assert several >= 3  # the walk was tried on examples with a choice


@pytest.mark.parametrize("options", [{}, dict(num_neighbors=[-1, 3, 1], item_num_neighbors=[1])],
                         ids=["same-requests", "calls-of-other-lengths"])
def test_link_batches_split_over_ranks_and_hop_order(loaded, options):
    graph, table = loaded
    ranks = [epoch(graph, table, rank=r, world_size=3, **options) for r in range(3)]
    examples = sorted(i for batches in ranks for b in batches for i in b.example_index.tolist())
    assert examples == list(range(len(table)))
    batch = ranks[0][0]
    # Nodes come hop by hop: source and item seeds first, as num_sampled_nodes counts them.
    seeds = batch.num_sampled_nodes["songs"][0]
    roots = np.concatenate([batch.pos_index, batch.neg_index.ravel()])
    assert seeds < roots.size and set(roots.tolist()) == set(range(seeds))  # some shared
    # The sources' call is an entity Loader's batch of the same examples and
    # seed; in each hop its nodes come first, then the items' call's.
    counts = options.get("num_neighbors", [2, 2])
    alone = Loader(graph, "users", table.keys, table.times, batch_size=4, num_neighbors=counts,
                   shuffle=True, seed=7, rank=0, world_size=3)
    for link, entity in zip(ranks[0], alone, strict=True):
        for node_type, nodes in link.out_node.items():
            ends = np.cumsum(link.num_sampled_nodes[node_type])
            own = np.cumsum(np.pad(entity.num_sampled_nodes[node_type], (0, ends.size - entity.num_sampled_nodes[node_type].size)))
            expected, side = [], []
            for hop, end in enumerate(ends.tolist()):
                start = ends[hop - 1] if hop else 0
                mine = entity.out_node[node_type][(own[hop - 1] if hop else 0) : own[hop]]
                expected += mine.tolist() + nodes[start + mine.size : end].tolist()
                side += [True] * mine.size + [False] * (end - start - mine.size)
            assert nodes.tolist() == expected
            assert link.source_side[node_type].tolist() == side


@pytest.mark.parametrize("seeds, example, seed_time, expected", [
    # The last item at one time and item 0 at the next are two pairs.
    ([2, 0, 2], [0, 1, 0], [5, 9], ([2, 0], [0, 1], [0, 1, 0])),
    ([1, 1, 0], [1, 0, 1], [7, 7], ([0, 1], [1, 1], [1, 1, 0])),
    ([1, 1, 0], [1, 0, 1], [], ([0, 1], [1, 1], [1, 1, 0])),  # untimed: one time
], ids=["last-item-then-first-at-the-next-time", "one-time", "untimed"])
def test_shared_seeds_are_the_distinct_item_time_pairs(seeds, example, seed_time, expected):
    got = shared_seeds(np.array(seeds), np.array(example), np.array(seed_time, dtype=np.int64), 3)
    assert [a.tolist() for a in got] == list(map(list, expected))


@pytest.mark.torch
def test_hetero_data_names_the_three_parts(loaded):
    graph, table = loaded
    batch = epoch(graph, table)[0]
    data = batch.to_hetero_data()
    songs, users = data["songs"], data["users"]
    assert users.src_index.tolist() == list(range(users.batch_size))
    assert users.n_id[users.src_index].tolist() == batch.seed_node.tolist()
    assert users.input_id.tolist() == batch.example_index.tolist()
    assert songs.n_id[songs.dst_pos_index].tolist() == batch.pos_node.tolist()
    assert songs.n_id[songs.dst_neg_index].tolist() == batch.neg_node.tolist()
    assert songs.dst_pos_ptr.tolist() == batch.pos_ptr.tolist()
    assert songs.source_side.tolist() == batch.source_side["songs"].tolist()


def test_item_windows_that_end_after_the_cut_off_are_refused(loaded):
    graph, table = loaded
    late = dict(item_num_neighbors={}, item_sampling_time_offsets={("plays", "song", "songs"): [[-5, 2]]})
    with pytest.raises(ValueError, match=re.escape("item_sampling_time_offsets['plays__song__songs'] hop 0: the window (-5, 2] ends 2 after")):
        epoch(graph, table, **late)
    assert epoch(graph, table, **late, future_windows="allow")


def test_negatives_are_refused_when_every_item_is_a_positive():
    tables = {
        "users": Table({"id": [1]}, primary_key="id"),
        "songs": Table({"id": [1, 2]}, primary_key="id"),
        "plays": Table({"user": [1, 1], "song": [1, 2], "at": [3, 4]},
                       foreign_keys={"user": "users", "song": "songs"}, time_column="at"),
    }
    table = link_training_table(tables, "users", [2], target=TARGET, horizon=9)
    with pytest.raises(ValueError, match=re.escape(
        "example 0: its 2 positives are every songs row that exists at its cut-off"
    )):
        epoch(build_graph(tables), table)


def direct_metrics(scores, positives, k, exclude=None):
    """MAP@k and recall@k, example by example, from the definitions: the
    excluded items of an example are neither ranked nor positives."""
    aps, recalls = [], []
    for i, (row, wanted) in enumerate(zip(scores, positives)):
        gone = set() if exclude is None else set(np.asarray(exclude[i]).tolist())
        wanted = set(np.asarray(wanted).tolist()) - gone
        if not wanted:
            continue
        ranked = sorted((item for item in range(len(row)) if item not in gone),
                        key=lambda item: (-row[item], item))[:k]
        hits = [item in wanted for item in ranked] + [False] * (k - len(ranked))
        precision = [sum(hits[: i + 1]) / (i + 1) for i in range(k)]
        aps.append(sum(p for p, h in zip(precision, hits) if h) / min(k, len(wanted)))
        recalls.append(sum(hits) / len(wanted))
    return np.mean(aps), np.mean(recalls)


@pytest.mark.parametrize("excluded", [0, 3, 11], ids=["nothing-excluded", "some-excluded", "most-excluded"])
@pytest.mark.parametrize("k", [1, 3, 10])
@pytest.mark.parametrize("seed", [0, 1])
def test_metrics_match_a_direct_computation(seed, k, excluded):
    rng = np.random.default_rng(seed)
    scores = rng.integers(0, 5, size=(30, 12)).astype(np.float64)  # many ties
    positives = [rng.choice(12, size=rng.integers(0, 6), replace=False) for _ in range(30)]
    exclude = [rng.choice(12, size=rng.integers(0, excluded + 1), replace=False) for _ in range(30)]
    options = dict(exclude=exclude) if excluded else {}
    expected = direct_metrics(scores, positives, k, exclude if excluded else None)
    assert map_at_k(scores, positives, k, **options) == pytest.approx(expected[0], rel=1e-12)
    assert recall_at_k(scores, positives, k, **options) == pytest.approx(expected[1], rel=1e-12)
    rankings = np.argsort(-scores, axis=1, kind="stable")
    assert map_at_k(rankings, positives, k, **options) == pytest.approx(expected[0], rel=1e-12)
    assert recall_at_k(rankings, positives, k, **options) == pytest.approx(expected[1], rel=1e-12)
    if excluded:  # what top_k leaves: no excluded item, and -1 only once items run out
        best = top_k(scores, k, exclude=exclude)
        for row, gone in zip(best.tolist(), exclude):
            assert not set(row) & set(gone.tolist())
            assert row.count(-1) == max(0, k - (12 - len(gone)))


@pytest.mark.parametrize("ranked, options, message", [
    ([[0.5, np.nan]], {}, "scores of example 0 hold NaN"),
    ([[1, 1]], {}, "the ranking of example 0 repeats an item in its first 2"),
    ([[1]], {}, "k is 2 but there are only 1 items per example"),
    ([[2, 0, 2]], dict(exclude=[[0]]), "the ranking of example 0 repeats an item in its first 2"),
    ([[0.5, 0.1]], dict(exclude="seen"), 'exclude="seen" needs the positives as a LinkTrainingTable'),
    ([[0.5, 0.1]], dict(exclude="all"), "exclude must be 'seen', one array of items per example or None"),
    ([[0.5, 0.1]], dict(exclude=[[0], [1]]), "1 examples with positives, 2 with items to exclude"),
], ids=["nan", "repeat", "short", "repeat-after-exclusion", "seen-unknown", "exclude-word", "exclude-rows"])
def test_metrics_refusals(ranked, options, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        map_at_k(np.array(ranked), [[1]], k=2, **options)
    with pytest.raises(ValueError, match=re.escape("the positives of example 1 hold the item -1")):
        map_at_k(np.array([[0, 1], [1, 0]]), [[1], [0, -1]], k=2)


@pytest.mark.parametrize("ranked, positives, expected", [
    # Example 1's pad -1 is no hit, though example 0's item 4 is the code just before its own.
    ([[4, -1, -1], [2, 0, -1]], [[4], [0, 3]], (0.625, 0.75)),
    ([[-1, -1, -1], [0, -1, -1]], [[0], [0]], (0.5, 0.5)),
], ids=["pad-after-a-wide-item", "all-pads"])
def test_pads_in_rankings_are_never_hits(ranked, positives, expected):
    assert map_at_k(np.array(ranked), positives, k=3) == pytest.approx(expected[0])
    assert recall_at_k(np.array(ranked), positives, k=3) == pytest.approx(expected[1])


def test_readme_example_runs_and_prints_what_it_shows(tmp_path):
    text = (Path(__file__).resolve().parents[1] / "README.md").read_text()
    code, shown = re.search(
        r"From tables to MAP@k.*?```python\n(.*?)```\n\nprints\n\n```\n(.*?)```", text, re.S
    ).groups()
    completed = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                               text=True, timeout=300, check=False)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout == shown


@pytest.mark.torch
@pytest.mark.training_run
@pytest.mark.parametrize("model", [["two-tower"], ["id-aware"], ["id-aware", "--inside", "scored"]],
                         ids=["two-tower", "id-aware", "id-aware-scored"])
def test_recommend_example_learns(tmp_path, model):
    example = Path(__file__).resolve().parents[1] / "examples" / "recommend.py"
    completed = subprocess.run(
        [sys.executable, str(example), "--model", *model, "--scale", "0.25", "--epochs", "2",
         "--workdir", str(tmp_path)],
        capture_output=True, text=True, timeout=900, check=False, cwd=tmp_path,
    )
    assert completed.returncode == 0, completed.stderr
    assert len(re.findall(r"^epoch +\d+: train loss [\d.]+, validation MAP@10 GNN [\d.]+, "
                          r"popularity [\d.]+", completed.stdout, re.M)) == 2
    for part in ("Validation", "Test"):
        assert re.search(rf"^{part} MAP@10.* GNN [\d.]+, popularity [\d.]+; recall@10: GNN [\d.]+, "
                         r"popularity [\d.]+$", completed.stdout, re.M)
