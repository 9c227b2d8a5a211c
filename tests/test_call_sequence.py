"""One sampler, many calls of different sizes: nothing a call leaves behind
may show in a later result.

A large call grows the per-type tables; the smaller calls after it clear
them entry by entry rather than in one sweep. Each call of the sequence is
compared with the reference model continuing the same sequence (so the
uniform draws continue alike), and each call that draws nothing is also
compared with a sampler built afresh for it, which has no history at all.
"""

import os

import numpy as np
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

import rerozer
from reference import ReferenceSampler

try:
    from numpy._core import multiarray
except ImportError:  # numpy 1.x
    from numpy.core import multiarray

UNDER_SANITIZER = os.environ.get("REROZER_SANITIZER_BUILD") == "1"

SEQUENCES = settings(
    max_examples=8 if UNDER_SANITIZER else 40,
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    # Every example runs a large call through the model: shrinking a failure
    # would take minutes, so the first failing sequence is reported as drawn.
    phases=[Phase.explicit, Phase.reuse, Phase.generate],
)

KEYS = ["user__buys__item", "item__bought_by__user", "user__follows__user"]


@st.composite
def shop_graphs(draw):
    """Users buy items and follow users (a type that feeds its own frontier).
    Sizes are drawn so that a call over a few hundred seeds registers
    thousands of (example, node) pairs per type. With times, every column is
    ordered by source time."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    sizes = {"user": draw(st.integers(40, 300)), "item": draw(st.integers(10, 150))}
    timed = draw(st.booleans())
    node_time = {t: rng.integers(0, 1000, n) for t, n in sizes.items()} if timed else {}
    num_purchases = draw(st.integers(200, 2500))
    buyer = rng.integers(0, sizes["user"], num_purchases)
    item = rng.integers(0, sizes["item"], num_purchases)
    num_follows = draw(st.integers(0, 1500))
    follower = rng.integers(0, sizes["user"], num_follows)
    followed = rng.integers(0, sizes["user"], num_follows)
    colptr, row = {}, {}
    for key, src, dst, src_type, dst_type in [
        (KEYS[0], buyer, item, "user", "item"),
        (KEYS[1], item, buyer, "item", "user"),
        (KEYS[2], follower, followed, "user", "user"),
    ]:
        source_time = node_time[src_type][src] if timed else np.zeros(len(src), np.int64)
        order = np.lexsort((source_time, dst))  # by column, then by source time
        colptr[key] = np.concatenate([[0], np.cumsum(np.bincount(dst, minlength=sizes[dst_type]))])
        row[key] = src[order]
    return {
        "node_types": ["user", "item"],
        "edge_types": [("user", "buys", "item"), ("item", "bought_by", "user"), ("user", "follows", "user")],
        "colptr": {k: v.astype(np.int64) for k, v in colptr.items()},
        "row": {k: v.astype(np.int64) for k, v in row.items()},
        "node_time": {t: v.astype(np.int64) for t, v in node_time.items()},
        "seed": draw(st.integers(-(2**31), 2**31 - 1)),
        "sizes": sizes,
    }


def request(draw, graph, mode, num_seeds, num_hops):
    """A request of one kind over `num_seeds` seeds: "all" neighbours, the
    "uniform" pick of a few, the "recent" k latest or a "window" of time
    (the last two fall back to the uniform pick without node times)."""
    entity = draw(st.sampled_from(["user", "item"]))
    seeds = draw(st.lists(st.integers(0, graph["sizes"][entity] - 1), min_size=num_seeds, max_size=num_seeds))
    timed = bool(graph["node_time"])
    seed_time = draw(st.lists(st.integers(0, 1200), min_size=num_seeds, max_size=num_seeds)) if timed else []
    num_neighbors, offsets = {}, {}
    for key in KEYS:
        if mode == "all":
            num_neighbors[key] = np.full(num_hops, -1, np.int64)
        elif mode == "window" and timed:
            width = draw(st.integers(1, 400))
            offsets[key] = np.array([[-width, 0]] * num_hops, np.int64)
        else:
            counts = draw(st.lists(st.integers(1, 6), min_size=num_hops, max_size=num_hops))
            num_neighbors[key] = np.array(counts, np.int64)
    return {
        "args": (num_neighbors, offsets, entity, np.array(seeds, np.int64), np.array(seed_time, np.int64)),
        "draws": not (mode == "all" or (timed and mode in ("recent", "window"))),
    }


def as_lists(result):
    return [[(key, np.asarray(values).tolist()) for key, values in table.items()] for table in result]


def build(graph):
    arguments = (graph["node_types"], graph["edge_types"], graph["colptr"], graph["row"], graph["node_time"])
    return arguments, rerozer.NeighborSampler(*arguments, graph["seed"])


@SEQUENCES
@given(st.data())
def test_smaller_calls_after_a_large_one_match_fresh_samplers_and_the_model(data):
    graph = data.draw(shop_graphs())
    arguments, sampler = build(graph)
    reference = ReferenceSampler(*arguments, graph["seed"])

    large_mode = data.draw(st.sampled_from(["all", "uniform", "recent"]))
    large = request(data.draw, graph, large_mode, data.draw(st.integers(100, 300)), 2)
    assert as_lists(sampler.sample(*large["args"])) == as_lists(reference.sample(*large["args"]))

    smaller = [
        request(
            data.draw,
            graph,
            data.draw(st.sampled_from(["all", "recent", "window", "uniform"])),
            data.draw(st.integers(1, 25)),
            data.draw(st.integers(1, 2)),
        )
        for _ in range(data.draw(st.integers(1, 3)))
    ]
    # Repeats matter: the pairs a call entered are the ones its repetition
    # looks up first.
    order = data.draw(st.lists(st.integers(0, len(smaller) - 1), min_size=3, max_size=6))
    for position in order:
        current = smaller[position]
        got = as_lists(sampler.sample(*current["args"]))
        assert got == as_lists(reference.sample(*current["args"]))
        if not current["draws"]:
            _, fresh = build(graph)
            assert got == as_lists(fresh.sample(*current["args"]))


def test_kept_blocks_too_small_for_a_larger_call_are_not_reused_for_it():
    # Result lists of 4 KiB or more are handed over, and their blocks go back
    # to the sampler's pool when the arrays are freed. Two calls whose
    # 600-value results are dropped leave blocks of about 4.8 KB and 9.6 KB
    # there; the third call's lists need 3000 values and more from their
    # first block on, which none of the kept blocks holds.
    size = 4000
    loop = "n__to__n"
    arguments = (["n"], [("n", "to", "n")], {loop: np.arange(0, 2 * size + 1, 2, dtype=np.int64)},
                 {loop: np.stack([np.arange(1, size + 1), np.arange(2, size + 2)], 1).ravel() % size},
                 {})
    sampler = rerozer.NeighborSampler(*arguments, 17)
    reference = ReferenceSampler(*arguments, 17)
    rng = np.random.default_rng(4)
    for num_seeds in (600, 600, 3000):
        args = ({loop: np.array([1], np.int64)}, {}, "n", rng.integers(0, size, num_seeds),
                np.array([], np.int64))
        result = sampler.sample(*args)
        assert multiarray.get_handler_name(result[0][loop]) == "rerozer_result_blocks"
        assert len(result[0][loop]) == num_seeds
        assert as_lists(result) == as_lists(reference.sample(*args))
        del result
