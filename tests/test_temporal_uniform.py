"""Temporal uniform selection: a count on a temporal edge type draws among
every edge up to the example time, by the sampler of
rerozer_tables._temporal that Graph.sampler(temporal_strategy="uniform")
and Loader(temporal_strategy="uniform") build. Checked against the model in
reference.py and on worked examples."""

import numpy as np
import pytest

import rerozer
from rerozer_tables import Graph, Loader, Table, _temporal, build_graph
from reference import ORDER_ERROR, ReferenceSampler

KEY = "user__rates__item"


def i64(*values):
    return np.array(values, dtype=np.int64)


def one_column_arguments(times):
    """Item 0 fed by users 0 .. n-1 (at row positions 0 .. n-1), user u at
    times[u]."""
    n = len(times)
    return (["item", "user"], [("user", "rates", "item")], {KEY: i64(0, n)},
            {KEY: np.arange(n, dtype=np.int64)}, {"user": i64(*times), "item": i64(0)})


def one_column(times, seed=123):
    """That graph both ways: the sampler of _temporal and the model."""
    arguments = one_column_arguments(times)
    sampler = _temporal.NeighborSampler(*arguments, seed=seed)
    model = ReferenceSampler(*arguments, seed=seed, temporal_strategy="uniform")
    return sampler, model


def picks(result):
    """The users taken, in recording order."""
    return result[2]["user"][result[0][KEY]].tolist()


def as_lists(result):
    return [[(key, np.asarray(values).tolist()) for key, values in d.items()] for d in result]


def test_worked_example_draws_among_all_candidates():
    # Ten candidates at or before t = 95 (times 0 .. 90), two later ones.
    # Seed 123's first draws reduce to 6, 1, 2 (moduli 8, 9, 10), so the
    # picks are positions 6, 1, 2, in that order; the latest three would be
    # 7, 8, 9.
    times = [10 * u for u in range(12)]
    sampler, _ = one_column(times)
    result = sampler.sample({KEY: i64(3)}, {}, "item", i64(0), i64(95))
    assert picks(result) == [6, 1, 2]
    last = rerozer.NeighborSampler(*one_column_arguments(times))
    assert picks(last.sample({KEY: i64(3)}, {}, "item", i64(0), i64(95))) == [7, 8, 9]


# Times with a tie at the cut: at t = 5 the candidates are positions 0 .. 5
# (the three sources at time 5 included), position 6 is later.
TIED = [1, 2, 2, 5, 5, 5, 9]


@pytest.mark.parametrize("count, taken", [
    (-1, [0, 1, 2, 3, 4, 5]),
    (0, []),
    (6, [0, 1, 2, 3, 4, 5]),
    (50, [0, 1, 2, 3, 4, 5]),
    (1, None),
    (4, None),
    (5, None),
], ids=["all", "none", "k-equals-candidates", "k-above-candidates", "one", "k-below", "one-less"])
def test_counts_against_the_model(count, taken):
    # Two calls in a row: the second continues the stream where the first
    # left it. (Whether a count that takes all draws shows in the random
    # graphs below, where such counts come before drawing ones.)
    sampler, model = one_column(TIED)
    for _ in range(2):
        request = ({KEY: i64(count)}, {}, "item", i64(0, 0), i64(5, 5))
        result = sampler.sample(*request)
        assert as_lists(result) == as_lists(model.sample(*request))
        got = picks(result)
        if taken is not None:
            assert got == taken + taken
        else:
            assert len(got) == 2 * count
            assert set(got) <= set(range(6)), "a source later than the example time"
            assert len(set(got[:count])) == count, "a candidate picked twice"


def test_column_out_of_order_fails_before_any_draw():
    sampler, model = one_column([5, 1, 3])
    for target in (sampler, model):
        with pytest.raises(RuntimeError, match=f"^{ORDER_ERROR}$"):
            target.sample({KEY: i64(1)}, {}, "item", i64(0), i64(9))
    request = ({KEY: i64(1)}, {}, "item", i64(0), i64(0))  # no candidate: no check
    assert as_lists(sampler.sample(*request)) == as_lists(model.sample(*request))


def random_graph(rng):
    """Three node types, five edge types (one of them untimed, one a loop),
    columns of up to 12 sources sorted by time, times from a small range so
    that ties at the cut are common."""
    sizes = {"a": 6, "b": 5, "c": 4}
    node_time = {t: rng.integers(0, 8, sizes[t]).astype(np.int64) for t in ("a", "b")}
    edge_types = [("a", "x", "b"), ("b", "y", "a"), ("c", "z", "a"), ("a", "w", "a"),
                  ("b", "v", "c")]
    colptr, row = {}, {}
    for src, rel, dst in edge_types:
        columns = []
        for _ in range(sizes[dst]):
            column = rng.integers(0, sizes[src], rng.integers(0, 13)).tolist()
            if src in node_time:
                column.sort(key=lambda u: node_time[src][u])
            columns.append(column)
        key = f"{src}__{rel}__{dst}"
        colptr[key] = np.cumsum([0] + [len(c) for c in columns]).astype(np.int64)
        row[key] = np.array([u for c in columns for u in c], dtype=np.int64)
    return ["a", "b", "c"], edge_types, colptr, row, node_time


def random_request(rng, edge_types, num_hops):
    num_neighbors, offsets = {}, {}
    for src, rel, dst in edge_types:
        key = f"{src}__{rel}__{dst}"
        if src == "a" and rel == "w" and rng.random() < 0.5:
            offsets[key] = [[int(rng.integers(-4, 0)), 0]] * num_hops
        else:
            num_neighbors[key] = i64(*rng.choice([-1, 0, 1, 2, 3, 5, 50], num_hops))
    seeds = rng.integers(0, 5, rng.integers(1, 6)).astype(np.int64)
    times = rng.integers(0, 9, seeds.size).astype(np.int64)
    return num_neighbors, offsets, "b", seeds, times


@pytest.mark.parametrize("seed", range(40))
def test_random_graphs_match_the_model(seed):
    rng = np.random.default_rng(seed)
    graph = random_graph(rng)
    sampler = Graph(*graph).sampler(seed=seed, temporal_strategy="uniform")
    model = ReferenceSampler(*graph, seed=seed, temporal_strategy="uniform")
    for _ in range(2):
        request = random_request(rng, graph[1], num_hops=int(rng.integers(1, 4)))
        assert as_lists(sampler.sample(*request)) == as_lists(model.sample(*request))


@pytest.mark.parametrize("strategy", ["last", "uniform"])
@pytest.mark.parametrize("seed", range(8))
def test_a_reseeded_sampler_returns_what_a_new_one_does(seed, strategy):
    # The loader keeps one sampler per worker and reseeds it for each batch:
    # after earlier calls, a reseeded sampler of this module must return what
    # Graph.sampler's new one (rerozer's for "last") returns.
    rng = np.random.default_rng(seed)
    graph = random_graph(rng)
    kept = _temporal.NeighborSampler(*graph, seed=99, temporal_strategy=strategy)
    for call in range(3):
        request = random_request(rng, graph[1], num_hops=int(rng.integers(1, 4)))
        kept.reseed(seed + call)
        fresh = Graph(*graph).sampler(seed=seed + call, temporal_strategy=strategy)
        assert as_lists(kept.sample(*request)) == as_lists(fresh.sample(*request))


@pytest.mark.parametrize("strategy", ["last", "uniform"])
@pytest.mark.parametrize("seed", range(6))
def test_sample_batch_lays_out_what_sample_returns(seed, strategy):
    # The loader's call: the same draws and six dictionaries as sample, each
    # edge type's out_row and out_col the rows of one 2 x E array, and the
    # time of every sampled node of a timed type.
    rng = np.random.default_rng(seed)
    graph = random_graph(rng)
    batch_sampler = _temporal.NeighborSampler(*graph, seed=seed, temporal_strategy=strategy)
    plain = _temporal.NeighborSampler(*graph, seed=seed, temporal_strategy=strategy)
    for _ in range(3):
        request = random_request(rng, graph[1], num_hops=int(rng.integers(1, 4)))
        *six, edge_index, node_time = batch_sampler.sample_batch(*request)
        assert as_lists(six) == as_lists(plain.sample(*request))
        out_row, out_col, out_node = six[:3]
        assert list(edge_index) == list(out_row)
        for key, both in edge_index.items():
            assert both.shape == (2, out_row[key].size) and both.flags.c_contiguous
            assert out_row[key].base is both and out_col[key].base is both
            assert both.tolist() == [out_row[key].tolist(), out_col[key].tolist()]
        assert {t: v.tolist() for t, v in node_time.items()} == {
            t: graph[4][t][out_node[t]].tolist() for t in out_node if t in graph[4]}


def test_sample_batch_gives_times_of_lists_long_enough_to_be_handed_over():
    # 3000 users feed the item: its lists become their result arrays without
    # a copy, and the users' times must still come back.
    times = np.arange(3000, dtype=np.int64) * 2
    sampler = _temporal.NeighborSampler(*one_column_arguments(times), temporal_strategy="last")
    *six, edge_index, node_time = sampler.sample_batch({KEY: i64(-1)}, {}, "item", i64(0, 0),
                                                        i64(6000, 3001))
    assert node_time["user"].tolist() == times[six[2]["user"]].tolist()
    assert node_time["user"].size == 3000 + 1501 and node_time["item"].tolist() == [0, 0]
    assert edge_index[KEY].tolist() == [six[0][KEY].tolist(), six[1][KEY].tolist()]


@pytest.mark.parametrize("times, seed_time, kept", [
    # Only users 0 and 1 have times: the untimed count reaches user 2, whose
    # time sample_batch cannot give.
    ({"user": i64(5, 6)}, i64(), {}),
    # The seed, item 0, lies outside the item times; the users keep theirs.
    ({"user": i64(5, 6, 7), "item": i64()}, i64(10), {"user": [5, 6, 7]}),
])
def test_sample_batch_leaves_out_a_type_with_a_node_outside_its_times(times, seed_time, kept):
    arguments = (["item", "user"], [("user", "rates", "item")], {KEY: i64(0, 3)},
                 {KEY: i64(0, 1, 2)}, times)
    sampler = _temporal.NeighborSampler(*arguments, temporal_strategy="last")
    *six, _, node_time = sampler.sample_batch({KEY: i64(-1)}, {}, "item", i64(0), seed_time)
    assert six[2]["user"].tolist() == [0, 1, 2]
    assert {t: v.tolist() for t, v in node_time.items()} == kept
    # The next call, which samples no user, gives the users' (empty) times.
    *_, node_time = sampler.sample_batch({KEY: i64(0)}, {}, "item", i64(0), seed_time)
    assert {t: v.tolist() for t, v in node_time.items()} == {"user": []}


@pytest.mark.parametrize("strategy", ["last", "uniform"])
@pytest.mark.parametrize("window", [[[-10, -1]], np.array([[-10, -1]], np.int64)], ids=["list", "int64-array"])
def test_a_window_below_the_earliest_time_stays_there(window, strategy):
    # A seed at the earliest time whose window would wrap around to the top
    # of int64, where user 1 is: the window stops at the earliest time, so
    # no user is taken, however the window is given.
    top, earliest = np.iinfo(np.int64).max - 5, np.iinfo(np.int64).min
    sampler = _temporal.NeighborSampler(*one_column_arguments([0, top]), temporal_strategy=strategy)
    assert picks(sampler.sample({}, {KEY: window}, "item", i64(0), i64(earliest))) == []


# --- How it is reached --------------------------------------------------------

def small_graph():
    return build_graph({
        "users": Table({"id": [1, 2], "t": [0, 0]}, primary_key="id", time_column="t"),
        "posts": Table({"by": [1] * 8 + [2] * 3, "t": list(range(8)) + [1, 2, 3]},
                       foreign_keys={"by": "users"}, time_column="t"),
    })


def test_graph_sampler_strategies():
    graph = small_graph()
    assert type(graph.sampler()) is rerozer.NeighborSampler
    assert type(graph.sampler(temporal_strategy="last")) is rerozer.NeighborSampler
    assert type(graph.sampler(seed=5, temporal_strategy="uniform")) is _temporal.NeighborSampler


@pytest.mark.parametrize("strategy", ["Uniform", "latest", ""])
def test_the_module_refuses_an_unknown_strategy(strategy):
    with pytest.raises(ValueError) as excinfo:
        _temporal.NeighborSampler(*one_column_arguments([0]), temporal_strategy=strategy)
    assert str(excinfo.value) == f"temporal_strategy must be 'last' or 'uniform', got {strategy!r}"


@pytest.mark.parametrize("strategy", ["Uniform", "latest", "", None, 1])
def test_unknown_strategy_is_refused(strategy):
    graph = small_graph()
    message = f"temporal_strategy must be 'last' or 'uniform', got {strategy!r}"
    with pytest.raises(ValueError) as excinfo:
        graph.sampler(temporal_strategy=strategy)
    assert str(excinfo.value) == message
    with pytest.raises(ValueError) as excinfo:
        Loader(graph, "users", [1], [9], batch_size=1, temporal_strategy=strategy)
    assert str(excinfo.value) == message


@pytest.mark.parametrize("strategy", ["last", "uniform"])
def test_loader_passes_the_strategy_on(strategy):
    # Each batch is what a sampler of that strategy, seeded for the batch,
    # returns; user 1's eight posts before time 9 give uniform draws room to
    # differ from the latest three.
    graph = small_graph()
    edge_type = ("posts", "by", "users")
    loader = Loader(graph, "users", [1, 2, 1, 1], [9, 9, 6, 9], batch_size=2,
                    num_neighbors={edge_type: [3]}, temporal_strategy=strategy)
    counts = {"posts__by__users": [3], "users__rev_by__posts": [0]}
    batches = list(loader)
    assert len(batches) == 2
    for index, batch in enumerate(batches):
        sampler = graph.sampler(seed=loader.batch_seed(0, index), temporal_strategy=strategy)
        want = sampler.sample(counts, {}, "users", batch.seed_node, batch.seed_time)
        assert as_lists(batch.result) == as_lists(want)
    latest = {5, 6, 7}  # positions of user 1's three latest posts
    user_1 = [set(b.out_node["posts"][b.out_batch["posts"] == x].tolist())
              for b in batches for x in range(2) if b.seed_node[x] == 0]
    if strategy == "last":
        assert user_1[0] == user_1[2] == latest
    else:
        assert any(taken != latest for taken in (user_1[0], user_1[2]))


@pytest.mark.parametrize("count", [3, 40], ids=["few-picks", "many-picks"])
def test_wide_frontier_matches_the_model(count):
    # A frontier of many entries has its time searches run side by side;
    # the draws must still come entry by entry, in frontier order. Columns
    # of up to 80 sources, so that 40 picks keep a flag per candidate.
    rng = np.random.default_rng(count)
    size = 120
    time = rng.integers(0, 50, size).astype(np.int64)
    columns = [sorted(rng.integers(0, size, rng.integers(0, 81)).tolist(), key=lambda u: time[u])
               for _ in range(size)]
    colptr = np.cumsum([0] + [len(c) for c in columns]).astype(np.int64)
    row = np.array([u for c in columns for u in c], dtype=np.int64)
    arguments = (["n"], [("n", "to", "n")], {"n__to__n": colptr}, {"n__to__n": row}, {"n": time})
    sampler = _temporal.NeighborSampler(*arguments, seed=11)
    model = ReferenceSampler(*arguments, seed=11, temporal_strategy="uniform")
    seeds = rng.integers(0, size, 100).astype(np.int64)
    request = ({"n__to__n": i64(count, count)}, {}, "n", seeds, rng.integers(0, 60, 100))
    for _ in range(2):
        assert as_lists(sampler.sample(*request)) == as_lists(model.sample(*request))
