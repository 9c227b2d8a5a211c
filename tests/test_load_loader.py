"""rerozer_tables.Loader: reproducible epochs whatever the number of workers,
exact sharding across ranks, no sampled row later than its example, and
edge_index pointing at the right nodes."""

import gc
import multiprocessing as mp
import os
import re
import signal
import subprocess
import sys
import threading
import time
from collections import Counter
from contextlib import closing
from types import SimpleNamespace

import numpy as np
import pytest

from rerozer_tables import Graph, LinkLoader, Loader, Table, build_graph, link_training_table
from rerozer_tables.load import threads as _threads
from rerozer_tables.load.plan import _Sampling

DAY = 86_400


def loader_threads():
    return [t for t in threading.enumerate() if t.name.startswith("rerozer-loader")]


CUSTOMERS = 120


def shop_tables():
    """Customers, products (untimed) and orders."""
    rng = np.random.default_rng(3)
    products, orders = 15, 900
    signed_up = rng.integers(0, 100 * DAY, CUSTOMERS)
    order_customer = rng.integers(0, CUSTOMERS, orders)
    return {
        "customers": Table({"id": np.arange(1000, 1000 + CUSTOMERS), "t": signed_up},
                           primary_key="id", time_column="t"),
        "products": Table({"sku": [f"p{i}" for i in range(products)]}, primary_key="sku"),
        "orders": Table({
            "customer_id": 1000 + order_customer,
            "sku": [f"p{i}" for i in rng.integers(0, products, orders)],
            "t": signed_up[order_customer] + rng.integers(0, 200 * DAY, orders),
        }, foreign_keys={"customer_id": "customers", "sku": "products"}, time_column="t"),
    }


@pytest.fixture(scope="module")
def shop():
    """The shop's graph and a training table of (customer key, cutoff)
    pairs with repeated customers."""
    graph = build_graph(shop_tables())
    keys = np.concatenate([np.arange(1000, 1000 + CUSTOMERS)] * 2)
    cutoffs = np.concatenate([np.full(CUSTOMERS, 150 * DAY), np.full(CUSTOMERS, 250 * DAY)])
    return graph, keys, cutoffs


REQUEST = {
    "num_neighbors": {
        ("orders", "customer_id", "customers"): [3, 0, 0],
        ("customers", "rev_customer_id", "orders"): [0, 0, 1],
        ("orders", "sku", "products"): [0, 0, 2],   # most recent orders of a product
        ("products", "rev_sku", "orders"): [0, 1, 0],  # an order's one product
    },
    "sampling_time_offsets": {},
}
# The same request drawing at random: three of a customer's orders before the
# cut-off (about four on average at the first cut-off, seven at the second),
# two of a product's (dozens).
DRAWS = {**REQUEST, "temporal_strategy": "uniform"}
WINDOWS = {
    "num_neighbors": {("products", "rev_sku", "orders"): [0, 1]},
    "sampling_time_offsets": {"orders__customer_id__customers": [[-60 * DAY, 0], [-60 * DAY, 0]]},
}


def epoch(graph, keys, cutoffs, **options):
    options = {"batch_size": 32, **REQUEST, **options}
    return list(Loader(graph, "customers", keys, cutoffs, **options))


def flatten(batches):
    """Every array of every batch, in order, as comparable lists."""
    out = []
    for batch in batches:
        out.append((batch.index, batch.example_index.tolist(), batch.seed_node.tolist(),
                    batch.seed_time.tolist()))
        for part in batch.result:
            out.append(sorted((key, array.tolist()) for key, array in part.items()))
    return out


# Only the timed sources' edges: a request that draws no random numbers,
# whose workers keep one sampler for all their batches.
MOST_RECENT = {
    "num_neighbors": {
        ("orders", "customer_id", "customers"): [3, 0],
        ("customers", "rev_customer_id", "orders"): [0, 1],
    },
}
KINDS = [pytest.param(0, "thread", id="in-turn"),
         *(pytest.param(w, k, id=f"{w}-{k}s") for k in ("thread", "process") for w in (1, 2))]


def reference_epoch(loader):
    """Each planned batch sampled by a new sampler with the batch's seed."""
    job = loader._job
    out = []
    for planned in loader.plan(loader.epoch):
        result = job.graph.sampler(seed=planned.seed, temporal_strategy=job.temporal_strategy).sample(
            job.num_neighbors, job.sampling_time_offsets, job.entity_table,
            planned.seed_node, planned.seed_time)
        out.append(job.batch(planned, result, stack_edges=False))
    return out


@pytest.mark.parametrize("request_", [pytest.param(DRAWS, id="draws"),
                                      pytest.param(MOST_RECENT, id="most-recent")])
@pytest.mark.parametrize("workers, kind", KINDS)
def test_epoch_is_the_same_for_any_workers_of_either_kind(shop, request_, workers, kind):
    graph, keys, cutoffs = shop
    loader = Loader(graph, "customers", keys, cutoffs, batch_size=32, shuffle=True, seed=11,
                    workers=workers, worker_kind=kind, **request_)
    expected = flatten(reference_epoch(loader))
    assert flatten(loader) == expected
    # ...and the seed matters: another seed gives another order and other picks.
    assert flatten(epoch(graph, keys, cutoffs, shuffle=True, seed=12)) != expected
    assert not mp.active_children() and not loader_threads()


@pytest.mark.parametrize("shuffle", [True, False], ids=["shuffled", "same-order"])
def test_seeds_epochs_and_ranks_differ_and_set_epoch_replays_one(shop, shuffle):
    # Without shuffling, only the picks can tell two epochs or seeds apart.
    graph, keys, cutoffs = shop
    loader = Loader(graph, "customers", keys, cutoffs, batch_size=32, shuffle=shuffle, seed=5, **DRAWS)
    first, second = flatten(loader), flatten(loader)
    assert first != second
    loader.set_epoch(1)
    assert flatten(loader) == second
    other_seed = Loader(graph, "customers", keys, cutoffs, batch_size=32, shuffle=shuffle, seed=6, **DRAWS)
    assert flatten(other_seed) != first
    # Two ranks given the same examples (each one twice in a row) draw their own numbers.
    ranks = [[(b.seed_node.tolist(), b.seed_time.tolist(), b.out_node["orders"].tolist())
              for b in Loader(graph, "customers", np.repeat(keys, 2), np.repeat(cutoffs, 2), batch_size=32,
                              seed=5, rank=rank, world_size=2, **DRAWS)]
             for rank in (0, 1)]
    assert [b[:2] for b in ranks[0]] == [b[:2] for b in ranks[1]]
    assert [b[2] for b in ranks[0]] != [b[2] for b in ranks[1]]


@pytest.mark.parametrize("world_size, shuffle", [(1, True), (3, True), (4, False), (7, True)])
def test_ranks_cover_every_example_exactly_once(shop, world_size, shuffle):
    kinds = [(0, "thread"), (2, "thread"), (2, "process")]
    graph, keys, cutoffs = shop
    positions = graph.position("customers", keys)
    seen = Counter()
    lengths = []
    for rank in range(world_size):
        workers, kind = kinds[rank % len(kinds)]
        batches = epoch(graph, keys, cutoffs, shuffle=shuffle, seed=2, rank=rank, world_size=world_size,
                        workers=workers, worker_kind=kind)
        lengths.append(len(Loader(graph, "customers", keys, cutoffs, batch_size=32, rank=rank,
                                  world_size=world_size, **REQUEST)))
        assert len(batches) == lengths[-1]
        for batch in batches:
            seen.update(batch.example_index.tolist())
            # The example index names the training row the seed comes from.
            assert np.array_equal(batch.seed_node, positions[batch.example_index])
            assert np.array_equal(batch.seed_time, cutoffs[batch.example_index])
    assert seen == Counter(range(keys.size))
    assert max(lengths) - min(lengths) <= 1


@pytest.mark.parametrize("examples, world_size, batch_size", [
    pytest.param(240, 7, 32, id="240-over-7"),      # shares 35 and 34: one rank pads one
    pytest.param(240, 2, 32, id="even-split"),      # nothing to pad
    pytest.param(97, 4, 8, id="97-over-4"),         # 25, 24, 24, 24: an extra batch of 1 on rank 0
    pytest.param(3, 5, 4, id="fewer-than-ranks"),   # two ranks are all padding
])
def test_even_batches_keep_ranks_in_step_and_count_each_example_once(shop, examples, world_size, batch_size):
    graph, keys, cutoffs = shop
    keys, cutoffs = keys[:examples], cutoffs[:examples]
    # Rank 1 samples in worker threads and rank 2 in worker processes, whose
    # batches cross a pipe.
    workers = {1: {"workers": 2}, 2: {"workers": 2, "worker_kind": "process"}}
    ranks = [epoch(graph, keys, cutoffs, shuffle=True, seed=4, rank=rank, world_size=world_size,
                   batch_size=batch_size, even_batches=True, **workers.get(rank, {}))
             for rank in range(world_size)]
    # Same number of steps, and the same batch size at each step, on every rank.
    assert len({len(batches) for batches in ranks}) == 1
    assert len(Loader(graph, "customers", keys, cutoffs, batch_size=batch_size, rank=world_size - 1,
                      world_size=world_size, even_batches=True, **REQUEST)) == len(ranks[0])
    for step in zip(*ranks):
        assert len({batch.seed_node.size for batch in step}) == 1
        # Padding is a tail of the batch, and global_examples counts the real seeds of the step.
        for batch in step:
            assert batch.mask.tolist() == [True] * (batch.seed_node.size - batch.padding) + [False] * batch.padding
        assert {batch.global_examples for batch in step} == {sum(int(b.mask.sum()) for b in step)}
    real = Counter(i for batches in ranks for b in batches for i in b.example_index[b.mask].tolist())
    assert real == Counter(range(examples))
    padded = [i for batches in ranks for b in batches for i in b.example_index[~b.mask].tolist()]
    assert len(padded) == -(-examples // world_size) * world_size - examples
    assert set(padded) <= set(range(examples))
    # Rank 0 has the largest share and no padding: its epoch is that of the plain split.
    plain = epoch(graph, keys, cutoffs, shuffle=True, seed=4, rank=0, world_size=world_size, batch_size=batch_size)
    assert flatten(plain) == flatten(ranks[0])


def later_nodes(graph, batch):
    """Sampled timed nodes later than their example's time."""
    later = 0
    for node_type, times in graph.node_time.items():
        sampled = times[batch.out_node[node_type]]
        later += int(np.count_nonzero(sampled > batch.seed_time[batch.out_batch[node_type]]))
    return later


ORDERS_COUNTS = {
    "num_neighbors": {
        ("customers", "rev_customer_id", "orders"): [1, 0],
        ("orders", "customer_id", "customers"): [0, 5],  # the customer's earlier orders
        ("products", "rev_sku", "orders"): [1, 0],
        ("orders", "sku", "products"): [0, 3],
    },
}
ORDERS_WINDOWS = {
    "num_neighbors": {("customers", "rev_customer_id", "orders"): [1, 0]},
    "sampling_time_offsets": {("orders", "customer_id", "customers"): [[None, 0], [-30 * DAY, 0]]},
}


@pytest.mark.parametrize(
    "entity, request_",
    [
        pytest.param("customers", REQUEST, id="customers-at-cutoffs-counts"),
        pytest.param("customers", WINDOWS, id="customers-at-cutoffs-windows"),
        pytest.param("orders", ORDERS_COUNTS, id="orders-at-own-time-counts"),
        pytest.param("orders", ORDERS_WINDOWS, id="orders-at-own-time-windows"),
    ],
)
def test_no_batch_of_an_epoch_sees_the_future(shop, entity, request_):
    graph, keys, cutoffs = shop
    if entity == "customers":
        examples, times = keys, cutoffs
    else:  # every order, at its own time (times=None)
        examples, times = np.arange(graph.num_nodes["orders"]), None
    loader = Loader(graph, entity, examples, times, batch_size=16, shuffle=True, workers=2, **request_)
    reached = 0
    for batch in loader:
        assert later_nodes(graph, batch) == 0, batch.index
        reached += batch.out_node["orders"].size - (batch.seed_node.size if entity == "orders" else 0)
    assert reached > 0  # the request did reach timed rows beyond the seeds


# Customers' products bought in the 30 days after a cut-off. Both sides reach
# orders at hop 1, and the items' subgraphs have two hops of their own:
# product -> orders -> their customers.
SOURCE_SIDE = {("orders", "customer_id", "customers"): [3, 0], ("products", "rev_sku", "orders"): [0, 1]}
ITEM_SIDE = {("orders", "sku", "products"): [3, 0], ("customers", "rev_customer_id", "orders"): [0, 1]}


@pytest.fixture(scope="module")
def bought():
    return link_training_table(shop_tables(), "customers", [150 * DAY, 250 * DAY],
                               target=("orders", "customer_id", "sku"), horizon=30 * DAY)


@pytest.mark.parametrize("batches", ["entity", "link"])
@pytest.mark.parametrize("workers, kind", [(0, "thread"), (2, "thread"), (2, "process")],
                         ids=["in-turn", "threads", "processes"])
def test_edge_index_points_at_the_out_nodes_of_real_edges(shop, bought, batches, workers, kind):
    """Every sampled edge (out_node[src][i], out_node[dst][j]) is an edge of
    the graph, within one example, and no node is later than its example."""
    graph, keys, cutoffs = shop
    options = dict(workers=workers, worker_kind=kind, shuffle=True, seed=9)
    if batches == "entity":
        loader = Loader(graph, "customers", keys, cutoffs, batch_size=50, **options, **DRAWS)
    else:
        loader = LinkLoader(graph, bought, batch_size=16, negatives=2, num_neighbors=SOURCE_SIDE,
                            item_num_neighbors=ITEM_SIDE, temporal_strategy="uniform", **options)
    checked = Counter()
    for batch in loader:
        assert batch.out_node["customers"][: batch.seed_node.size].tolist() == batch.seed_node.tolist()
        assert later_nodes(graph, batch) == 0, batch.index
        for (src, rel, dst), edge_index in batch.edge_index.items():
            key = f"{src}__{rel}__{dst}"
            assert edge_index.dtype == np.int64 and edge_index.shape == (2, batch.out_row[key].size)
            assert edge_index.flags.c_contiguous
            colptr, row = graph.colptr[key], graph.row[key]
            for s, d in edge_index.T.tolist():
                source, target = batch.out_node[src][s], batch.out_node[dst][d]
                assert source in row[colptr[target] : colptr[target + 1]], (key, s, d)
                assert batch.out_batch[src][s] == batch.out_batch[dst][d]
            checked[rel] += edge_index.shape[1]
    assert checked["sku"] > 0 and checked["customer_id"] > 0, checked
    if batches == "link":
        assert checked["rev_customer_id"] > 0  # the items' second hop: only they take it


def test_last_batch_is_short_and_len_counts_batches(shop):
    graph, keys, cutoffs = shop
    loader = Loader(graph, "customers", keys[:70], cutoffs[:70], batch_size=32, **REQUEST)
    assert len(loader) == 3
    assert [b.example_index.tolist() for b in loader] == [
        list(range(0, 32)), list(range(32, 64)), list(range(64, 70))]


@pytest.mark.parametrize(
    "times, options, message",
    [
        pytest.param(None, {"rank": 2, "world_size": 2}, "rank must lie in [0, world_size), got rank 2 of 2",
                     id="rank-outside"),
        pytest.param(None, {"num_neighbors": {"orders__to__customers": [1]}},
                     "num_neighbors names 'orders__to__customers', which is not an edge type of the graph",
                     id="unknown-edge-type"),
        pytest.param(None, {"sampling_time_offsets": {("orders", "sku", "products"): [[0, 1]]},
                            "num_neighbors": {("orders", "sku", "products"): [1]}},
                     "'orders__sku__products' is in both num_neighbors and sampling_time_offsets",
                     id="in-both"),
        pytest.param(None, {"sampling_time_offsets": {("products", "rev_sku", "orders"): [[None, 0]]}},
                     "sampling_time_offsets names 'products__rev_sku__orders', whose source products has no times",
                     id="window-on-untimed-source"),
        pytest.param(None, {"num_neighbors": {"orders__sku__products": [1, 1], "products__rev_sku__orders": [1]}},
                     "num_neighbors['products__rev_sku__orders'] has 1 hops, the request 2", id="short-counts"),
        pytest.param([1, 2], {}, "2 times for 3 examples", id="times-length"),
        pytest.param([1, None, 3], {}, "times at index 1 is null", id="null-time"),
    ],
)
def test_loader_rejects_bad_requests(shop, times, options, message):
    graph, _, _ = shop
    options = {"num_neighbors": [1], **options}
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        Loader(graph, "customers", [1000, 1001, 1002], times, batch_size=2, **options)


def test_untimed_entity_in_a_timed_graph_needs_times(shop):
    graph, _, _ = shop
    message = "the graph has times but products has none: give the examples' times, or every selection would ignore time"
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        Loader(graph, "products", ["p1"], None, batch_size=1, num_neighbors=[1])
    # With times it samples the latest orders of the product at or before them.
    batch = next(iter(Loader(graph, "products", ["p1"], [120 * DAY], batch_size=1,
                             num_neighbors={"products__rev_sku__orders": [-1]})))
    assert later_nodes(graph, batch) == 0


def patch_sampling(monkeypatch, action):
    """Run ``action(planned)`` before each batch is sampled, in whichever
    worker samples it (forked workers inherit the patch)."""
    original = _Sampling.__call__

    def patched(self, planned):
        action(planned)
        return original(self, planned)

    monkeypatch.setattr(_Sampling, "__call__", patched)


WORKER_KINDS = [pytest.param("thread", id="threads"), pytest.param("process", id="processes")]
EXITS = ["break", "exception", "close", "collected"]


def leave_early(loader, how):
    """Take two batches of an epoch, then leave it in the way named."""
    if how == "break":
        for batch in loader:
            if batch.index == 1:
                break
        return
    if how == "exception":
        def train():
            for batch in loader:
                if batch.index == 1:
                    raise ZeroDivisionError

        try:
            train()
        except ZeroDivisionError:
            pass  # the traceback, and with it the epoch's iterator, goes here
        return
    batches = iter(loader)
    next(batches), next(batches)
    if how == "close":
        batches.close()
    else:
        del batches
        gc.collect()


@pytest.fixture
def stalled(monkeypatch, tmp_path):
    """Keep every worker alive until the loader ends it.

    Threads cannot run ahead of the caller, so they are alive when it leaves
    an epoch of more than a few batches. Processes fill their pipes: their
    batches from 4 on wait for the end of the test (a file, which a killed
    worker cannot leave locked), so no process ends on its own and ending
    them is the loader's doing.
    """
    release = tmp_path / "release"

    def stall(planned):
        if mp.parent_process() is not None and planned.index >= 4:
            deadline = time.monotonic() + 60
            while not release.exists() and time.monotonic() < deadline:
                time.sleep(0.01)

    patch_sampling(monkeypatch, stall)
    yield
    release.touch()


class TestWorkerLifecycle:
    @pytest.mark.parametrize("how", EXITS)
    @pytest.mark.parametrize("kind", WORKER_KINDS)
    def test_leaving_an_epoch_early_leaves_no_worker(self, shop, stalled, kind, how):
        graph, keys, cutoffs = shop
        loader = Loader(graph, "customers", keys, cutoffs, batch_size=8, workers=2, worker_kind=kind,
                        **REQUEST)
        leave_early(loader, how)
        assert not loader_threads() and not mp.active_children()

    @pytest.mark.parametrize("how", EXITS)
    def test_threads_sample_only_a_bounded_number_of_batches_ahead(self, shop, monkeypatch, how):
        graph, keys, cutoffs = shop
        taken = []  # the batches the caller took, in order
        sampled = []  # (batch begun by a worker, batches the caller had taken by then)
        state = {"taken": 0}
        patch_sampling(monkeypatch, lambda planned: sampled.append((planned.index, state["taken"])))
        loader = Loader(graph, "customers", keys, cutoffs, batch_size=8, workers=2, prefetch=3,
                        **REQUEST)

        def counting(batches):
            for batch in batches:
                state["taken"] += 1
                taken.append(batch.index)
                yield batch

        monkeypatch.setattr(loader, "_with_progress", lambda batches, total: counting(batches))
        leave_early(loader, how)
        assert taken == [0, 1]
        # Batch i is begun only once the caller has taken batch i - 6 (the
        # count here goes up just after the loader hands a batch over, so it
        # may lag by one).
        assert sampled and all(index <= was_taken + 2 * 3 for index, was_taken in sampled)
        assert max(index for index, _ in sampled) < 2 + 6 < len(loader)

    @pytest.mark.parametrize("workers, prefetch", [(1, 3), (2, 2)])
    def test_a_still_loop_has_exactly_prefetch_times_workers_batches_begun_ahead(
            self, shop, monkeypatch, workers, prefetch):
        graph, keys, cutoffs = shop
        begun = []
        patch_sampling(monkeypatch, lambda planned: begun.append(planned.index))

        watched = []

        class Watched(threading.Condition):
            """Sets `idle` once every worker has begun waiting for a batch to
            take since the last notification (the caller's waits have a
            timeout). Then no worker samples, none has a wake-up pending, and
            only the caller can let one go on, by taking a batch."""

            def __init__(self):
                super().__init__()
                self.waiting = 0
                self.idle = threading.Event()
                watched.append(self)

            def notify(self, n=1):
                self.waiting = 0
                self.idle.clear()
                super().notify(n)

            def wait(self, timeout=None):
                if timeout is None:
                    self.waiting += 1
                    if self.waiting == workers:
                        self.idle.set()
                return super().wait(timeout)

        monkeypatch.setattr(_threads, "threading",
                            SimpleNamespace(**vars(threading) | {"Condition": Watched}))
        loader = Loader(graph, "customers", keys, cutoffs, batch_size=8, workers=workers,
                        prefetch=prefetch, **REQUEST)
        with closing(iter(loader)) as batches:
            for taken in (1, 2):
                next(batches)  # taking a batch notifies the workers
                assert watched[0].idle.wait(timeout=60)
                assert sorted(begun) == list(range(taken + prefetch * workers))

    @pytest.mark.parametrize("how", ["close", "exception"])
    def test_workers_run_none_of_the_applications_signal_handlers(self, shop, stalled, tmp_path, how):
        graph, keys, cutoffs = shop
        ran = tmp_path / "handled"

        def checkpoint(number, frame):  # a training script's hook on preemption
            with open(ran, "a") as f:
                f.write(f"{os.getpid()}\n")

        previous = signal.signal(signal.SIGTERM, checkpoint)
        try:
            for kind in ("thread", "process"):
                loader = Loader(graph, "customers", keys, cutoffs, batch_size=8, workers=2,
                                worker_kind=kind, **REQUEST)
                leave_early(loader, how)
        finally:
            signal.signal(signal.SIGTERM, previous)
        assert not ran.exists()
        assert not loader_threads() and not mp.active_children()

    @pytest.mark.parametrize("frozen", [False, True], ids=["unfrozen", "frozen"])
    @pytest.mark.parametrize("kind", WORKER_KINDS)
    def test_the_applications_gc_freeze_is_left_alone(self, shop, kind, frozen):
        graph, keys, cutoffs = shop
        mine = [{"the application's": "object"}]
        gc.freeze() if frozen else gc.unfreeze()
        try:
            def is_frozen():  # the collector's generations hold every tracked object not frozen
                return not any(o is mine for o in gc.get_objects())

            assert is_frozen() == frozen
            epoch(graph, keys[:64], cutoffs[:64], workers=2, worker_kind=kind)
            assert is_frozen() == frozen
            if not frozen:
                assert gc.get_freeze_count() == 0
        finally:
            gc.unfreeze()

    @pytest.mark.parametrize("workers, kind", KINDS)
    def test_a_sampling_error_is_raised_in_the_caller_with_its_batch(self, shop, monkeypatch, workers, kind):
        graph, keys, cutoffs = shop

        def fail(planned):
            if planned.index == 3:
                raise ArithmeticError("boom")

        patch_sampling(monkeypatch, fail)
        loader = Loader(graph, "customers", keys, cutoffs, batch_size=32, workers=workers,
                        worker_kind=kind, **REQUEST)
        got = []
        with pytest.raises(Exception) as caught:
            for batch in loader:
                got.append(batch.index)
        assert got == [0, 1, 2]
        if kind == "process" and workers:
            assert caught.type is RuntimeError
            w = 3 % workers
            assert str(caught.value).startswith(f"loader worker {w} failed on batch 3: ArithmeticError('boom')\n")
        else:
            assert caught.type is ArithmeticError and str(caught.value) == "boom"
            who = "loader worker thread [01] sampling" if workers else "sampling"
            assert re.fullmatch(rf"\(raised by {who} batch 3\)|\(raised {who} batch 3\)",
                                caught.value.__notes__[-1])
        del caught
        assert not loader_threads() and not mp.active_children()

    def test_a_worker_thread_that_dies_is_named_with_its_batch(self, shop, monkeypatch):
        graph, keys, cutoffs = shop
        names = {}

        def die(planned):
            names[planned.index] = threading.current_thread().name
            if planned.index == 2:
                raise SystemExit(3)  # not an error of the batch: the thread ends

        patch_sampling(monkeypatch, die)
        with pytest.raises(RuntimeError) as caught:
            epoch(graph, keys, cutoffs, workers=2)
        w = names[2].rsplit("-", 1)[1]
        assert str(caught.value) == f"loader worker thread {w} died on batch 2: SystemExit(3)"
        assert isinstance(caught.value.__cause__, SystemExit)
        assert not loader_threads()

    def test_a_killed_worker_process_is_named_with_its_batch(self, shop, monkeypatch):
        graph, keys, cutoffs = shop

        def killed(planned):
            if planned.index == 2:  # as by the OOM killer, in the middle of the epoch
                os.kill(os.getpid(), signal.SIGKILL)

        patch_sampling(monkeypatch, killed)
        with pytest.raises(RuntimeError, match="^loader worker 0 exited with code -9 before sending batch 2$"):
            epoch(graph, keys, cutoffs, workers=2, worker_kind="process")
        assert not mp.active_children()


CTRL_C = """
import multiprocessing as mp, os, signal, sys
import numpy as np
from rerozer_tables import Loader, Table, build_graph
from rerozer_tables.load import threads as _threads

# 200 posts per user: a batch (about 128 KiB) does not fit in a worker's pipe, so
# every worker process is still alive at batch 1.
graph = build_graph({
    "users": Table({"id": np.arange(400), "t": np.zeros(400, np.int64)}, primary_key="id",
                   time_column="t"),
    "posts": Table({"by": np.arange(80_000) % 400, "t": np.ones(80_000, np.int64)},
                   foreign_keys={"by": "users"}, time_column="t"),
})
loader = Loader(graph, "users", np.arange(400), np.full(400, 5), batch_size=20, workers=2,
                worker_kind=sys.argv[1], num_neighbors={"posts__by__users": [-1]})
for batch in loader:
    if batch.index == 1:
        print(*(p.pid for p in mp.active_children()), flush=True)
        os.kill(os.getpid(), signal.SIGINT)  # Ctrl-C in the middle of the epoch
raise SystemExit("not interrupted")
"""


def gone(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            return any(line.split() == ["State:", "Z", "(zombie)"] for line in status)
    except FileNotFoundError:
        return True


@pytest.mark.parametrize("kind", WORKER_KINDS)
def test_ctrl_c_leaves_no_worker_behind(kind):
    done = subprocess.run([sys.executable, "-c", CTRL_C, kind], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == -signal.SIGINT, done.stderr
    assert "KeyboardInterrupt" in done.stderr
    pids = [int(p) for p in done.stdout.split()]
    assert len(pids) == (2 if kind == "process" else 0)
    assert all(gone(pid) for pid in pids)


@pytest.mark.parametrize("with_tqdm", [True, False], ids=["tqdm", "plain-line"])
def test_progress_shows_batches_examples_and_edges_per_second(shop, capsys, monkeypatch, with_tqdm):
    if with_tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)  # import fails
    graph, keys, cutoffs = shop
    threads = set(threading.enumerate())
    # No thread redraws the epoch's bar: worker processes are forked inside it.
    for _ in Loader(graph, "customers", keys[:64], cutoffs[:64], batch_size=32, **REQUEST, progress=True):
        assert set(threading.enumerate()) == threads
    err = capsys.readouterr().err
    assert re.search(r"2/2 .*batch.*examples/s, [\d,]+ edges/s", err), err


@pytest.mark.parametrize("workers, kind", KINDS)
def test_batches_name_the_unit_of_their_times(workers, kind):
    graph = build_graph({"a": Table({"id": [1, 2], "t": [5, 7]}, primary_key="id", time_column="t"),
                         "b": Table({"a_id": [1, 2, 2]}, foreign_keys={"a_id": "a"})}, time_unit="ms")
    loader = Loader(graph, "a", [1, 2], None, batch_size=1, num_neighbors=[1], workers=workers, worker_kind=kind)
    assert [(batch.time_unit, batch.seed_time.tolist()) for batch in loader] == [("ms", [5]), ("ms", [7])]


def test_a_sampled_node_outside_its_types_times_is_an_index_error():
    # Item 0's column lists users 0, 0, 0, 2, 1 (times 5, 6 for users 0 and
    # 1 only). The time search never probes user 2, so the sampler takes it
    # and cannot give its time; the batch's own lookup of it fails as numpy
    # does, rather than passing anything off as its time.
    graph = Graph(["item", "user"], [("user", "rates", "item")],
                  {"user__rates__item": np.array([0, 5])},
                  {"user__rates__item": np.array([0, 0, 0, 2, 1])},
                  {"user": np.array([5, 6]), "item": np.array([0])})
    loader = Loader(graph, "item", [0], [10], batch_size=1, num_neighbors=[-1], check=False)
    with pytest.raises(IndexError, match="index 2 is out of bounds"):
        next(iter(loader))
