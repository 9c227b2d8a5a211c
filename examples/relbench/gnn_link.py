"""Train a two-tower GNN on a RelBench recommendation task: RelBench's
graph and model code, PyG's NeighborLoader API.

A customer's (source's) embedding comes from its subgraph at the example's
time, an item's (destination's) from its own subgraph at the same time plus
a learnt embedding of the item; their dot product scores the pair. Each
step takes a random positive and a random item as negative per example
(BPR loss); evaluation ranks every item for every example.

The one line that moves it from PyG's sampler to rerozer's is the import of
NeighborLoader below (PyG's: ``from torch_geometric.loader import
NeighborLoader``); the rest is as written for RelBench.

    python examples/relbench/gnn_link.py --dataset demo-shop --task customer-products
"""

from __future__ import annotations

import argparse
import copy
import sys
from pathlib import Path

import numpy as np
import torch
import torch.nn.functional as F
from relbench.modeling.graph import get_link_train_table_input, make_pkey_fkey_graph, num_dst_nodes
from relbench.modeling.utils import get_stype_proposal
from torch_frame.config.text_embedder import TextEmbedderConfig
from torch_geometric.seed import seed_everything

from rerozer_tables.pyg import NeighborLoader

sys.path.insert(0, str(Path(__file__).resolve().parent))
from model import Model  # noqa: E402
from shop import load  # noqa: E402
from text_embedder import HashTextEmbedding  # noqa: E402


def main(argv: list[str] | None = None) -> dict[str, float]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dataset", type=str, default="demo-shop")
    parser.add_argument("--task", type=str, default="customer-products")
    parser.add_argument("--lr", type=float, default=0.001)
    parser.add_argument("--epochs", type=int, default=10)
    parser.add_argument("--eval_epochs_interval", type=int, default=1)
    parser.add_argument("--batch_size", type=int, default=512)
    parser.add_argument("--channels", type=int, default=128)
    parser.add_argument("--aggr", type=str, default="sum")
    parser.add_argument("--num_layers", type=int, default=2)
    parser.add_argument("--num_neighbors", type=int, default=128)
    parser.add_argument("--temporal_strategy", type=str, default="last")
    parser.add_argument("--max_steps_per_epoch", type=int, default=2000)
    parser.add_argument("--num_workers", type=int, default=0)
    parser.add_argument("--seed", type=int, default=42)
    args = parser.parse_args(argv)

    device = torch.device("cuda" if torch.cuda.is_available() else "cpu")
    seed_everything(args.seed)

    dataset, task = load(args.dataset, args.task)
    db = task.get_db()
    col_to_stype_dict = get_stype_proposal(db)
    data, col_stats_dict = make_pkey_fkey_graph(
        db,
        col_to_stype_dict=col_to_stype_dict,
        text_embedder_cfg=TextEmbedderConfig(text_embedder=HashTextEmbedding(), batch_size=256),
    )
    num_neighbors = [int(args.num_neighbors // 2**i) for i in range(args.num_layers)]
    num_items = num_dst_nodes(db, task)
    src_table, dst_table = task.src_entity_table, task.dst_entity_table

    def loader(nodes: torch.Tensor, node_type: str, time: torch.Tensor, shuffle: bool = False) -> NeighborLoader:
        return NeighborLoader(
            data,
            num_neighbors=num_neighbors,
            time_attr="time",
            input_nodes=(node_type, nodes),
            input_time=time,
            batch_size=args.batch_size,
            temporal_strategy=args.temporal_strategy,
            shuffle=shuffle,
            num_workers=args.num_workers,
            persistent_workers=args.num_workers > 0,
        )

    train_input = get_link_train_table_input(task.get_table("train"), task, num_items)
    src_nodes, src_time = train_input.src_nodes[1], train_input.src_time
    positives = train_input.dst_nodes[1]  # CSR: row i holds example i's items
    counts = positives.crow_indices().diff()
    keep = counts > 0
    train_loader = loader(src_nodes[keep], src_table, src_time[keep], shuffle=True)
    crow, col = positives.crow_indices()[:-1][keep], positives.col_indices()
    counts = counts[keep]

    model = Model(
        data=data, col_stats_dict=col_stats_dict, num_layers=args.num_layers,
        channels=args.channels, out_channels=args.channels, aggr=args.aggr, norm="layer_norm",
        shallow_list=[dst_table],
    ).to(device)
    optimizer = torch.optim.Adam(model.parameters(), lr=args.lr)

    def train() -> float:
        model.train()
        # One random positive and one random item (a negative) per example.
        pick = crow + (torch.rand(counts.size(0)) * counts).long()
        pos_loader = loader(col[pick], dst_table, src_time[keep])
        neg_loader = loader(torch.randint(0, num_items, (counts.size(0),)), dst_table, src_time[keep])
        loss_accum = count_accum = 0.0
        for steps, batch in enumerate(train_loader, 1):
            index = batch[src_table].input_id
            src = model(batch.to(device), src_table)
            pos = model(pos_loader(index).to(device), dst_table)
            neg = model(neg_loader(index).to(device), dst_table)
            loss = F.softplus(-((src * pos).sum(-1) - (src * neg).sum(-1))).mean()  # BPR
            optimizer.zero_grad()
            loss.backward()
            optimizer.step()
            loss_accum += loss.detach().item() * src.size(0)
            count_accum += src.size(0)
            if steps >= args.max_steps_per_epoch:
                break
        return loss_accum / count_accum

    @torch.no_grad()
    def test(split: str) -> np.ndarray:
        model.eval()
        table = task.get_table(split)
        table_input = get_link_train_table_input(table, task, num_items)
        time = table_input.src_time
        items = []
        # Every item at the split's time (RelBench's tasks have one per split).
        for batch in loader(torch.arange(num_items), dst_table, torch.full((num_items,), int(time[0]))):
            items.append(model(batch.to(device), dst_table))
        item_emb = torch.cat(items)
        preds = []
        for batch in loader(table_input.src_nodes[1], src_table, time):
            scores = model(batch.to(device), src_table) @ item_emb.t()
            preds.append(scores.topk(task.eval_k, dim=1).indices.cpu())
        return torch.cat(preds).numpy()

    state_dict, best_val_metric = None, -1.0
    for epoch in range(1, args.epochs + 1):
        train_loss = train()
        if epoch % args.eval_epochs_interval == 0:
            val_metrics = task.evaluate(test("val"), task.get_table("val"))
            print(f"Epoch: {epoch:02d}, Train loss: {train_loss:.4f}, Val metrics: {val_metrics}")
            tune = next(iter(val_metrics.values()))
            if tune > best_val_metric:
                best_val_metric, state_dict = tune, copy.deepcopy(model.state_dict())

    assert state_dict is not None
    model.load_state_dict(state_dict)
    print(f"Best Val metrics: {task.evaluate(test('val'), task.get_table('val'))}")
    test_metrics = task.evaluate(test("test"))
    print(f"Best test metrics: {test_metrics}")
    return test_metrics


if __name__ == "__main__":
    main()
