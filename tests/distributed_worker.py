"""One rank of the gloo tests in test_distributed.py.

    python distributed_worker.py SCENARIO RANK WORLD_SIZE WORKDIR

The ranks meet through a file store in WORKDIR (no port to pick), and gloo
talks over the loopback device only (the caller sets GLOO_SOCKET_IFNAME=lo).
Each rank memory-maps the graph saved once in WORKDIR/graph and iterates its
own even-batches Loader. What a rank found is written to WORKDIR/rankR.pt.

Scenarios:
  train  DDP training of ``TinyModel`` for two epochs, recording per step the
         real examples and the batch sizes, and the validation sums and
         gathered predictions after each epoch.
  fail   rank 1 raises at its third step; the other ranks step on and must
         get an error from their next collective call.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import torch
import torch.distributed as dist
from torch.nn.parallel import DistributedDataParallel

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

import ddp  # noqa: E402
from rerozer_tables import Batch, Graph, Loader, load_graph  # noqa: E402

DAY = 86_400
BATCH_SIZE = 16
EPOCHS = 2
REQUEST = {
    ("orders", "customer_id", "customers"): [4, 0],
    ("products", "rev_sku", "orders"): [0, 2],
}


def node_features(graph: Graph) -> dict[str, torch.Tensor]:
    """Fixed random features per node type, the same on every rank."""
    generator = torch.Generator().manual_seed(7)
    return {t: torch.randn(int(graph.num_nodes[t]), 3, generator=generator) for t in graph.node_types}


class TinyModel(torch.nn.Module):
    """A seed's features plus the mean of a projection of its sampled nodes, per type."""

    def __init__(self, node_types: list[str]) -> None:
        super().__init__()
        generator = torch.Generator().manual_seed(1)
        self.node_types = node_types
        self.project = torch.nn.ParameterDict({
            t: torch.nn.Parameter(torch.randn(3, 4, generator=generator) * 0.3) for t in node_types
        })
        self.out = torch.nn.Parameter(torch.randn(4, generator=generator) * 0.3)
        self.bias = torch.nn.Parameter(torch.zeros(()))

    def forward(self, batch: Batch, features: dict[str, torch.Tensor], entity: str) -> torch.Tensor:
        seeds = batch.seed_node.size
        hidden = torch.zeros(seeds, 4)
        for t in self.node_types:
            nodes = torch.from_numpy(batch.out_node[t])
            owner = torch.from_numpy(batch.out_batch[t])
            projected = torch.tanh(features[t][nodes] @ self.project[t])
            total = torch.zeros(seeds, 4).index_add(0, owner, projected)
            count = torch.zeros(seeds).index_add(0, owner, torch.ones(owner.size(0))).clamp(min=1)
            hidden = hidden + total / count[:, None]
        return hidden @ self.out + self.bias


def per_example_loss(model: torch.nn.Module, batch: Batch, features: dict[str, torch.Tensor],
                     labels: torch.Tensor) -> torch.Tensor:
    prediction = model(batch, features, "customers")
    return (prediction - labels[torch.from_numpy(batch.example_index)]) ** 2


def loader(graph: Graph, data: dict[str, np.ndarray], split: str, rank: int, world_size: int) -> Loader:
    return Loader(graph, "customers", data[f"{split}_keys"], data[f"{split}_cutoffs"],
                  batch_size=BATCH_SIZE, num_neighbors=REQUEST, shuffle=split == "train", seed=3,
                  rank=rank, world_size=world_size, even_batches=True, check=False)


def train(world: ddp.World, graph: Graph, data: dict[str, np.ndarray], workdir: Path) -> dict:
    features = node_features(graph)
    labels = {split: torch.from_numpy(data[f"{split}_labels"]) for split in ("train", "valid")}
    model = DistributedDataParallel(TinyModel(graph.node_types))
    optimiser = torch.optim.SGD(model.parameters(), lr=0.5)
    train_loader = loader(graph, data, "train", world.rank, world.world_size)
    valid_loader = loader(graph, data, "valid", world.rank, world.world_size)
    record: dict = {"steps": [], "sizes": [], "real": [], "valid": []}
    for epoch in range(EPOCHS):
        train_loader.set_epoch(epoch)
        steps, real = 0, []
        for batch in train_loader:
            loss = ddp.global_mean(per_example_loss(model, batch, features, labels["train"]), batch, world)
            optimiser.zero_grad()
            loss.backward()
            optimiser.step()
            steps += 1
            record["sizes"].append(batch.seed_node.size)
            real.extend(batch.example_index[batch.mask].tolist())
        record["steps"].append(steps)
        record["real"].append(real)
        with torch.no_grad():
            predictions, index, keep = [], [], []
            for batch in valid_loader:
                predictions.append(model.module(batch, features, "customers"))
                index.append(torch.from_numpy(batch.example_index))
                keep.append(ddp.mask(batch))
            keep_all = torch.cat(keep)
            gathered = ddp.gather(torch.cat(predictions), keep_all, world)
            gathered_index = ddp.gather(torch.cat(index), keep_all, world)
            errors = (torch.cat(predictions) - labels["valid"][torch.cat(index)]) ** 2
            sums = ddp.all_ranks_sum([float(errors[keep_all].sum()), float(keep_all.sum())], world)
            record["valid"].append({"predictions": gathered, "index": gathered_index, "sums": sums})
    record["state"] = {k: v.detach().clone() for k, v in model.module.state_dict().items()}
    return record


def fail(world: ddp.World, graph: Graph, data: dict[str, np.ndarray], workdir: Path) -> dict:
    steps = 0
    for batch in loader(graph, data, "train", world.rank, world.world_size):
        if world.rank == 1 and steps == 2:
            raise RuntimeError("rank 1 fails on purpose at step 2")
        ddp.all_ranks_sum([float(batch.seed_node.size)], world)
        steps += 1
    return {"steps": steps}


def main() -> None:
    scenario, rank, world_size, workdir = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), Path(sys.argv[4])
    world = ddp.start(timeout_seconds=60, init_method=f"file://{workdir / 'store'}",
                      rank=rank, world_size=world_size)
    graph = load_graph(workdir / "graph", mmap=True)
    data = dict(np.load(workdir / "examples.npz"))
    record = {"train": train, "fail": fail}[scenario](world, graph, data, workdir)
    torch.save(record, workdir / f"rank{rank}.pt")
    ddp.stop(world)


if __name__ == "__main__":
    main()
