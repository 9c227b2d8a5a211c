"""Train a GNN on a RelBench entity task (binary classification, regression,
multilabel classification): RelBench's graph and model code, PyG's
NeighborLoader API.

The one line that moves it from PyG's sampler to rerozer's is the import of
NeighborLoader below (PyG's: ``from torch_geometric.loader import
NeighborLoader``); the rest is as written for RelBench.

    python examples/relbench/gnn_entity.py --dataset demo-shop --task customer-orders
    python examples/relbench/gnn_entity.py --dataset <RelBench dataset> --task <task>
"""

from __future__ import annotations

import argparse
import copy
import math
import sys
from pathlib import Path

import numpy as np
import torch
from relbench.base import TaskType
from relbench.modeling.graph import get_node_train_table_input, make_pkey_fkey_graph
from relbench.modeling.utils import get_stype_proposal
from torch_frame.config.text_embedder import TextEmbedderConfig
from torch.nn import BCEWithLogitsLoss, L1Loss
from torch_geometric.seed import seed_everything

from rerozer_tables.pyg import NeighborLoader

sys.path.insert(0, str(Path(__file__).resolve().parent))
from model import Model  # noqa: E402
from shop import load  # noqa: E402
from text_embedder import HashTextEmbedding  # noqa: E402


def main(argv: list[str] | None = None) -> dict[str, float]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dataset", type=str, default="demo-shop")
    parser.add_argument("--task", type=str, default="customer-orders")
    parser.add_argument("--lr", type=float, default=0.005)
    parser.add_argument("--epochs", type=int, default=10)
    parser.add_argument("--batch_size", type=int, default=512)
    parser.add_argument("--channels", type=int, default=128)
    parser.add_argument("--aggr", type=str, default="sum")
    parser.add_argument("--num_layers", type=int, default=2)
    parser.add_argument("--num_neighbors", type=int, default=128)
    parser.add_argument("--temporal_strategy", type=str, default="uniform")
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

    clamp_min, clamp_max = None, None
    if task.task_type == TaskType.BINARY_CLASSIFICATION:
        out_channels, loss_fn, tune_metric, higher_is_better = 1, BCEWithLogitsLoss(), "roc_auc", True
    elif task.task_type == TaskType.REGRESSION:
        out_channels, loss_fn, tune_metric, higher_is_better = 1, L1Loss(), "nmae", False
        train_table = task.get_table("train")
        clamp_min, clamp_max = np.percentile(train_table.df[task.target_col].to_numpy(), [2, 98])
    elif task.task_type == TaskType.MULTILABEL_CLASSIFICATION:
        out_channels, loss_fn = task.num_labels, BCEWithLogitsLoss()
        tune_metric, higher_is_better = "multilabel_auprc_macro", True
    else:
        raise ValueError(f"Task type {task.task_type} is unsupported")

    loader_dict: dict[str, NeighborLoader] = {}
    for split in ["train", "val", "test"]:
        table = task.get_table(split)
        table_input = get_node_train_table_input(table=table, task=task)
        entity_table = table_input.nodes[0]
        loader_dict[split] = NeighborLoader(
            data,
            num_neighbors=[int(args.num_neighbors / 2**i) for i in range(args.num_layers)],
            time_attr="time",
            input_nodes=table_input.nodes,
            input_time=table_input.time,
            transform=table_input.transform,
            batch_size=args.batch_size,
            temporal_strategy=args.temporal_strategy,
            shuffle=split == "train",
            num_workers=args.num_workers,
            persistent_workers=args.num_workers > 0,
        )

    def train() -> float:
        model.train()
        loss_accum = count_accum = 0.0
        steps = 0
        for batch in loader_dict["train"]:
            batch = batch.to(device)
            optimizer.zero_grad()
            pred = model(batch, task.entity_table)
            pred = pred.view(-1) if pred.size(1) == 1 else pred
            loss = loss_fn(pred.float(), batch[entity_table].y.float())
            loss.backward()
            optimizer.step()
            loss_accum += loss.detach().item() * pred.size(0)
            count_accum += pred.size(0)
            steps += 1
            if steps >= args.max_steps_per_epoch:
                break
        return loss_accum / count_accum

    @torch.no_grad()
    def test(loader: NeighborLoader) -> np.ndarray:
        model.eval()
        pred_list = []
        for batch in loader:
            batch = batch.to(device)
            pred = model(batch, task.entity_table)
            if task.task_type == TaskType.REGRESSION:
                pred = torch.clamp(pred, clamp_min, clamp_max)
            if task.task_type in [TaskType.BINARY_CLASSIFICATION, TaskType.MULTILABEL_CLASSIFICATION]:
                pred = torch.sigmoid(pred)
            pred = pred.view(-1) if pred.size(1) == 1 else pred
            pred_list.append(pred.detach().cpu())
        return torch.cat(pred_list, dim=0).numpy()

    model = Model(
        data=data, col_stats_dict=col_stats_dict, num_layers=args.num_layers,
        channels=args.channels, out_channels=out_channels, aggr=args.aggr, norm="batch_norm",
    ).to(device)
    optimizer = torch.optim.Adam(model.parameters(), lr=args.lr)
    state_dict = None
    best_val_metric = -math.inf if higher_is_better else math.inf
    for epoch in range(1, args.epochs + 1):
        train_loss = train()
        val_pred = test(loader_dict["val"])
        val_metrics = task.evaluate(val_pred, task.get_table("val"))
        print(f"Epoch: {epoch:02d}, Train loss: {train_loss:.4f}, Val metrics: {val_metrics}")
        if (higher_is_better and val_metrics[tune_metric] > best_val_metric) or (
            not higher_is_better and val_metrics[tune_metric] < best_val_metric
        ):
            best_val_metric = val_metrics[tune_metric]
            state_dict = copy.deepcopy(model.state_dict())

    assert state_dict is not None
    model.load_state_dict(state_dict)
    val_metrics = task.evaluate(test(loader_dict["val"]), task.get_table("val"))
    print(f"Best Val metrics: {val_metrics}")
    test_metrics = task.evaluate(test(loader_dict["test"]))
    print(f"Best test metrics: {test_metrics}")
    return test_metrics


if __name__ == "__main__":
    main()
