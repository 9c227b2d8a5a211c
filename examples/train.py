"""Train a graph neural network on the generated shop database.

    python examples/train.py                   # train, print per-epoch metrics
    python examples/train.py --plot curve.png  # and draw the learning curve

The task: will a customer place an order in the 30 days after a cut-off
time? The path is the one a user's data takes: the shop of
examples/database.py is written to an SQLite file, read back with
read_sqlite (keys, times and feature columns), built into a graph, saved and
memory-mapped. training_table labels (customer, cut-off) examples from the
orders in (cut-off, cut-off + 30 days], split_by_time divides them into
training, validation and test months, and a Loader samples each example's
neighbourhood at or before its cut-off. Every batch becomes a PyG HeteroData
(Batch.to_hetero_data) for a heterogeneous GraphSAGE (to_hetero).

Next to it, a baseline that sees no graph learns from the customer's own row
(its features and its age at the cut-off). Each epoch prints both models'
validation AUROC; the end prints the test AUROC of the best epoch of each.

Data-parallel on N processes (DistributedDataParallel over gloo, on the CPU):

    torchrun --standalone --nproc-per-node N examples/train.py [ARGS]

Local rank 0 of each machine writes the database and saves the graph and the
training table into --workdir; every rank then memory-maps the same saved
graph and iterates its own even-batches Loader (--batch-size per rank).
Validation predictions are gathered from every rank, so every rank computes
the same metric; rank 0 alone prints and plots.
"""

from __future__ import annotations

import argparse
import copy
import json
import os
import shutil
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from database import DAY, SPAN, START, Sizes, customer_request, make_tables, write_sqlite
from rerozer_tables import (
    Graph, Loader, TrainingTable, build_graph, load_graph, read_sqlite, save_graph,
    split_by_time, training_table,
)

if TYPE_CHECKING:
    from ddp import World

ENTITY = "customers"
HORIZON = 30 * DAY
# Monthly cut-offs over the last ten months of the data: the first six
# train, the next two validate, the last two test. Each example's label
# window lies inside its part's months.
CUTOFFS = START + SPAN - DAY * 30 * np.arange(10, 0, -1, dtype=np.int64)
VAL_START = int(CUTOFFS[6])
TEST_START = int(CUTOFFS[8])


@dataclass
class Data:
    graph: Graph
    train: TrainingTable
    val: TrainingTable
    test: TrainingTable


def prepare(workdir: Path, scale: float, data_seed: int, world: World) -> Data:
    """Database -> graph (saved, memory-mapped) -> training table, split by time.

    Local rank 0 of each machine writes the database and saves the graph and
    the three parts of the training table into ``workdir``; the other ranks
    wait for it, then every rank maps the graph and reads the parts.
    """
    import ddp

    if world.local_rank == 0:
        database = workdir / "shop.sqlite"
        database.unlink(missing_ok=True)
        write_sqlite(make_tables(Sizes().scaled(scale), seed=data_seed), database)
        tables = read_sqlite(database)
        graph = build_graph(tables)
        save_graph(graph, workdir / "graph")
        examples = training_table(
            tables, ENTITY, CUTOFFS, target=("orders", "customer_id"), horizon=HORIZON,
            aggregate="exists", graph=graph,
        )
        del tables, graph
        parts = dict(zip(("train", "val", "test"), split_by_time(examples, VAL_START, TEST_START)))
        np.savez(workdir / "examples.npz", **{
            f"{name}_{field}": getattr(part, field)
            for name, part in parts.items() for field in ("keys", "times", "labels")
        }, horizon=examples.horizon, time_unit=examples.time_unit)
    ddp.barrier(world)
    graph = load_graph(workdir / "graph", mmap=True)
    with np.load(workdir / "examples.npz") as saved:
        horizon, unit = int(saved["horizon"]), str(saved["time_unit"])
        train, val, test = (
            TrainingTable(ENTITY, saved[f"{name}_keys"], saved[f"{name}_times"],
                          saved[f"{name}_labels"], horizon, unit)
            for name in ("train", "val", "test")
        )
    return Data(graph, train, val, test)


def loader(data: Data, part: TrainingTable, args: argparse.Namespace, world: World, shuffle: bool) -> Loader:
    num_neighbors, offsets = customer_request(num_hops=args.hops)
    return Loader(
        data.graph, ENTITY, part.keys, part.times, batch_size=args.batch_size,
        num_neighbors=num_neighbors, sampling_time_offsets=offsets, shuffle=shuffle,
        seed=args.seed, workers=args.workers, rank=world.rank,
        world_size=world.world_size, even_batches=True,
    )


def auroc(labels: npt.NDArray[Any], scores: npt.NDArray[Any]) -> float:
    """Area under the ROC curve, ties counted half (the Mann-Whitney statistic)."""
    positive = labels > 0.5
    n_pos, n_neg = int(positive.sum()), int((~positive).sum())
    if n_pos == 0 or n_neg == 0:
        return float("nan")
    _, inverse, counts = np.unique(scores, return_inverse=True, return_counts=True)
    ranks = (np.cumsum(counts) - (counts - 1) / 2.0)[inverse.reshape(-1)]
    return float((ranks[positive].sum() - n_pos * (n_pos + 1) / 2.0) / (n_pos * n_neg))


def build_models(graph: Graph, args: argparse.Namespace) -> tuple[Any, Any]:
    """The GNN and the no-graph baseline (imports torch only here)."""
    import torch
    from torch import nn
    from torch_geometric.nn import SAGEConv, to_hetero

    class Encoder(nn.Module):
        """Per node type: standardised numbers (NaN -> 0), an embedding per
        categorical column, the node's age at its example's cut-off in days
        (log scale) for timed types, and a constant, mapped to ``hidden``."""

        def __init__(self, node_types: list[str], hidden: int) -> None:
            super().__init__()
            self.node_types = node_types
            self.linear = nn.ModuleDict()
            self.embeddings = nn.ModuleDict()
            for node_type in node_types:
                held = graph.features.get(node_type)
                numbers = held.x.shape[1] if held is not None else 0
                sizes = [held.vocabularies[c].size + 1 for c in held.categorical] if held else []
                if numbers:
                    x = np.asarray(held.x, dtype=np.float64)
                    mean, std = np.nanmean(x, axis=0), np.nanstd(x, axis=0)
                else:
                    mean, std = np.zeros(0), np.ones(0)
                self.register_buffer(f"mean_{node_type}", torch.tensor(mean, dtype=torch.float32))
                self.register_buffer(
                    f"std_{node_type}", torch.tensor(np.where(std > 0, std, 1.0), dtype=torch.float32)
                )
                self.embeddings[node_type] = nn.ModuleList(nn.Embedding(n, 8) for n in sizes)
                timed = 1 if node_type in graph.node_time else 0
                self.linear[node_type] = nn.Linear(numbers + 8 * len(sizes) + timed + 1, hidden)

        def forward(self, data: Any) -> dict[str, Any]:
            out = {}
            seed_time = data[ENTITY].seed_time
            for node_type in self.node_types:
                store = data[node_type]
                mean = getattr(self, f"mean_{node_type}")
                std = getattr(self, f"std_{node_type}")
                parts = [torch.nan_to_num((store.x - mean) / std)]
                for c, embedding in enumerate(self.embeddings[node_type]):
                    parts.append(embedding(store.x_cat[:, c] + 1))  # code -1 (null) -> 0
                if node_type in graph.node_time:
                    node_time = torch.from_numpy(graph.node_time[node_type][store.n_id.numpy()])
                    age = (seed_time[store.batch] - node_time).clamp(min=0).float() / DAY
                    parts.append(torch.log1p(age).unsqueeze(1))
                parts.append(torch.ones(store.n_id.size(0), 1))
                out[node_type] = self.linear[node_type](torch.cat(parts, dim=1))
            return out

    class GNN(nn.Module):
        def __init__(self, hidden: int, layers: int) -> None:
            super().__init__()
            self.convs = nn.ModuleList(SAGEConv((-1, -1), hidden) for _ in range(layers))

        def forward(self, x: Any, edge_index: Any) -> Any:
            for i, conv in enumerate(self.convs):
                x = conv(x, edge_index)
                if i + 1 < len(self.convs):
                    x = x.relu()
            return x

    class Model(nn.Module):
        def __init__(self, hidden: int, layers: int) -> None:
            super().__init__()
            self.encoder = Encoder(graph.node_types, hidden)
            metadata = (graph.node_types, graph.edge_types)
            self.gnn = to_hetero(GNN(hidden, layers), metadata, aggr="sum")
            self.head = nn.Sequential(nn.ReLU(), nn.Linear(hidden, 1))

        def forward(self, data: Any) -> Any:
            h = self.gnn(self.encoder(data), data.edge_index_dict)
            return self.head(h[ENTITY][: data[ENTITY].batch_size]).squeeze(-1)

    class Baseline(nn.Module):
        """The customer's own row only: the same encoding, then an MLP."""

        def __init__(self, hidden: int) -> None:
            super().__init__()
            self.encoder = Encoder([ENTITY], hidden)
            self.head = nn.Sequential(nn.ReLU(), nn.Linear(hidden, hidden), nn.ReLU(), nn.Linear(hidden, 1))

        def forward(self, data: Any) -> Any:
            h = self.encoder(data)[ENTITY]
            return self.head(h[: data[ENTITY].batch_size]).squeeze(-1)

    torch.manual_seed(args.seed)
    return Model(args.hidden, args.hops), Baseline(args.hidden)


@dataclass
class Epoch:
    """What one pass over a loader gave, over all ranks."""

    losses: list[float]  # each model's mean loss over the examples
    scores: list[npt.NDArray[np.float64]]  # each model's scores, in example order
    examples: int = 0  # real examples, all ranks
    steps: int = 0
    seconds: float = 0.0  # the loop on rank 0
    sampling_share: float = 0.0  # of the loop spent waiting for batches, mean over ranks
    sampling_seconds: float = 0.0  # of that wait, summed over the steps, mean over ranks


def run_epoch(
    models: list[Any], optimizers: list[Any] | None, batches: Loader, labels: npt.NDArray[Any],
    desc: str, world: World, progress: bool,
) -> Epoch:
    """One pass over ``batches``: train when ``optimizers`` are given, else
    predict. Every rank returns the same: each model's mean loss and its
    scores over the examples of all ranks, padding left out."""
    import torch
    from tqdm import tqdm

    import ddp

    loss_fn = torch.nn.BCEWithLogitsLoss(reduction="none")
    target_all = torch.from_numpy(labels.astype(np.float32))
    totals = [0.0 for _ in models]
    outputs: list[list[Any]] = [[] for _ in models]
    indices, masks = [], []
    seen = steps = 0
    waited = 0.0
    for model in models:
        model.train(optimizers is not None)
    began = time.perf_counter()
    with torch.set_grad_enabled(optimizers is not None), tqdm(
        total=len(batches), desc=desc, unit="batch", leave=False, file=sys.stderr,
        disable=not (progress and world.main),
    ) as bar:
        iterator = iter(batches)
        while True:
            # Sampling's part of a step: the wait for the loader's next batch
            # and its conversion to a HeteroData.
            started = time.perf_counter()
            batch = next(iterator, None)
            if batch is None:
                break
            data = batch.to_hetero_data()
            waited += time.perf_counter() - started
            index = data[ENTITY].input_id
            target = target_all[index]
            keep = ddp.mask(batch)
            for m, model in enumerate(models):
                logits = model(data)
                per_example = loss_fn(logits, target)
                if optimizers is not None:
                    optimizers[m].zero_grad()
                    ddp.global_mean(per_example, batch, world).backward()
                    optimizers[m].step()
                totals[m] += float(per_example.detach()[keep].sum())
                outputs[m].append(logits.detach())
            indices.append(index)
            masks.append(keep)
            seen += int(keep.sum())
            steps += 1
            bar.update(1)
            bar.set_postfix_str(f"loss {totals[0] / max(seen, 1):.4f}", refresh=False)
    seconds = time.perf_counter() - began
    # The same on every rank: sums over all ranks, and every rank's scores.
    keep_all = torch.cat(masks) if masks else torch.zeros(0, dtype=torch.bool)
    index_all = ddp.gather(torch.cat(indices) if indices else torch.zeros(0, dtype=torch.int64), keep_all, world)
    scores = []
    for m in range(len(models)):
        gathered = ddp.gather(torch.cat(outputs[m]) if outputs[m] else torch.zeros(0), keep_all, world)
        score = np.zeros(labels.size)
        score[index_all.numpy()] = gathered.numpy()
        scores.append(score)
    *sums, seen_all, share, waited_all = ddp.all_ranks_sum(
        totals + [seen, waited / max(seconds, 1e-9), waited], world
    )
    return Epoch(
        [total / max(seen_all, 1) for total in sums], scores, int(seen_all), steps, seconds,
        share / world.world_size, waited_all / world.world_size,
    )


def plot(path: str, history: dict[str, list[float]]) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    epochs = np.arange(1, len(history["val_gnn"]) + 1)
    figure, (left, right) = plt.subplots(1, 2, figsize=(10, 4))
    left.plot(epochs, history["loss_gnn"], marker="o", label="GNN")
    left.plot(epochs, history["loss_baseline"], marker="o", label="baseline (no graph)")
    left.set(title="training loss", xlabel="epoch", ylabel="binary cross-entropy")
    right.plot(epochs, history["val_gnn"], marker="o", label="GNN")
    right.plot(epochs, history["val_baseline"], marker="o", label="baseline (no graph)")
    right.set(title="validation AUROC", xlabel="epoch", ylabel="AUROC")
    for axes in (left, right):
        axes.legend()
        axes.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(path, dpi=100)


def run(args: argparse.Namespace, workdir: Path, world: World) -> int:
    import torch
    from torch.nn.parallel import DistributedDataParallel

    def say(text: str) -> None:
        if world.main:
            print(text, flush=True)

    local_world = int(os.environ.get("LOCAL_WORLD_SIZE", "1"))
    # One core of each process's share is left to its loader's sampling:
    # torch's threads wait for each other at every operation, so a thread
    # that shares its core with the sampler holds all of them up (on 2
    # cores, 2 torch threads beside the loader ran 5x slower than 1).
    threads = args.threads or max(1, (os.cpu_count() or 1) // local_world - 1)
    torch.set_num_threads(threads)
    began = time.perf_counter()
    data = prepare(workdir, args.scale, args.data_seed, world)
    parts = {"train": data.train, "val": data.val, "test": data.test}
    say(
        "Examples: " + ", ".join(
            f"{name} {len(part):,} ({part.labels.mean():.1%} positive)" for name, part in parts.items()
        ) + f"; database, graph and training table in {time.perf_counter() - began:.1f} s"
    )
    if world.distributed:
        say(
            f"Data-parallel: {world.world_size} processes (gloo), {threads} torch thread(s) each; "
            f"global batch {world.world_size} x {args.batch_size}"
        )
    train_loader = loader(data, data.train, args, world, shuffle=True)
    val_loader = loader(data, data.val, args, world, shuffle=False)
    test_loader = loader(data, data.test, args, world, shuffle=False)
    gnn, baseline = build_models(data.graph, args)
    models = [gnn, baseline]
    # One batch through each model initialises the GNN's lazy input sizes.
    with torch.no_grad():
        first = next(iter(val_loader)).to_hetero_data()
        for model in models:
            model(first)
    # Under DDP every rank starts from rank 0's parameters, and each step's
    # gradients are averaged over the ranks. The GNN's last layer has
    # convolutions into other node types than the customers', which never
    # reach the output: DDP must look for unused parameters there (and only
    # there, since the search costs a walk of the autograd graph per step).
    # Validation and test call the modules inside, which share their
    # parameters: nothing to average there.
    trained = [
        DistributedDataParallel(m, find_unused_parameters=m is gnn) if world.distributed else m
        for m in models
    ]
    optimizers = [torch.optim.Adam(m.parameters(), lr=args.lr) for m in trained]
    history: dict[str, list[float]] = {k: [] for k in ("loss_gnn", "loss_baseline", "val_gnn", "val_baseline")}
    stats: list[dict[str, float]] = []
    best: list[tuple[float, int, Any]] = [(-1.0, 0, None), (-1.0, 0, None)]
    for epoch in range(1, args.epochs + 1):
        started = time.perf_counter()
        train = run_epoch(
            trained, optimizers, train_loader, data.train.labels, f"epoch {epoch}", world, args.progress
        )
        val = run_epoch(models, None, val_loader, data.val.labels, "validation", world, args.progress)
        metrics = [auroc(data.val.labels, s) for s in val.scores]
        # Every rank has the same metrics, so every rank keeps the same epoch.
        for m, metric in enumerate(metrics):
            if metric > best[m][0]:
                best[m] = (metric, epoch, copy.deepcopy(models[m].state_dict()))
        history["loss_gnn"].append(train.losses[0])
        history["loss_baseline"].append(train.losses[1])
        history["val_gnn"].append(metrics[0])
        history["val_baseline"].append(metrics[1])
        rate = train.examples / max(train.seconds, 1e-9)
        stats.append({
            "epoch": epoch, "examples": train.examples, "steps": train.steps,
            "seconds": train.seconds, "examples_per_second": rate,
            "seconds_per_step": train.seconds / max(train.steps, 1),
            "sampling_share": train.sampling_share,
            "sampling_seconds_per_step": train.sampling_seconds / max(train.steps, 1),
            "val_gnn": metrics[0], "val_baseline": metrics[1],
        })
        say(
            f"epoch {epoch:>2}: train loss {train.losses[0]:.4f} (baseline {train.losses[1]:.4f}), "
            f"validation AUROC GNN {metrics[0]:.4f}, baseline {metrics[1]:.4f} "
            f"({time.perf_counter() - started:.1f} s, {rate:,.0f} examples/s)"
        )
    for m, model in enumerate(models):
        model.load_state_dict(best[m][2])
    test = [auroc(data.test.labels, s) for s in run_epoch(
        models, None, test_loader, data.test.labels, "test", world, args.progress
    ).scores]
    say(
        f"Test AUROC at the best validation epoch: GNN {test[0]:.4f} (epoch {best[0][1]}), "
        f"baseline {test[1]:.4f} (epoch {best[1][1]})"
    )
    say(f"Total time: {time.perf_counter() - began:.1f} s")
    if world.main and args.stats:
        Path(args.stats).write_text(json.dumps({
            "world_size": world.world_size, "epochs": stats, "test_gnn": test[0], "test_baseline": test[1],
        }, indent=1))
    if world.main and args.plot:
        plot(args.plot, history)
        say(f"Plot: learning curve -> {args.plot}")
    return 0


def parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="database size factor")
    parser.add_argument("--epochs", type=int, default=5)
    parser.add_argument("--batch-size", type=int, default=512)
    parser.add_argument("--hidden", type=int, default=32, help="hidden channels")
    parser.add_argument("--hops", type=int, default=2, help="sampled hops = GNN layers")
    parser.add_argument("--lr", type=float, default=0.005, help="Adam's learning rate")
    parser.add_argument("--workers", type=int, default=1, help="loader worker processes (per rank)")
    parser.add_argument(
        "--threads", type=int, default=0,
        help="torch's CPU threads per process (default: the cores over the processes of this machine, less one for sampling)",
    )
    parser.add_argument("--data-seed", type=int, default=0, help="seed of the generated data")
    parser.add_argument("--seed", type=int, default=0, help="seed of sampling and model")
    parser.add_argument("--plot", metavar="FILE.png", help="draw the learning curve into FILE.png")
    parser.add_argument("--stats", metavar="FILE.json", help="write per-epoch figures into FILE.json")
    parser.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bars")
    parser.add_argument(
        "--dist-timeout", type=float, default=300.0, metavar="SECONDS",
        help="under torchrun: how long a collective call may wait for the other ranks",
    )
    parser.add_argument(
        "--workdir", metavar="DIR",
        help="keep shop.sqlite and the saved graph in DIR (default: a temporary directory)",
    )
    return parser


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    import ddp

    world = ddp.start(args.dist_timeout)
    try:
        if args.workdir:
            workdir = Path(args.workdir)
        else:
            # Rank 0 names a temporary directory; every machine's local rank 0
            # makes it, and removes it at the end.
            workdir = Path(ddp.broadcast_text(
                tempfile.mkdtemp(prefix="rerozer-train-") if world.main else "", world
            ))
        if world.local_rank == 0:
            workdir.mkdir(parents=True, exist_ok=True)
        try:
            code = run(args, workdir, world)
            ddp.barrier(world)  # every rank has let go of the files
            return code
        finally:
            if not args.workdir and world.local_rank == 0:
                shutil.rmtree(workdir, ignore_errors=True)
    finally:
        ddp.stop(world)


if __name__ == "__main__":
    sys.exit(main())
