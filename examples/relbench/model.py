"""The GNN of the RelBench scripts beside this file: each table's features
encoded by PyTorch Frame (``HeteroEncoder``), plus each node's age relative
to its example's time (``HeteroTemporalEncoder``), through heterogeneous
GraphSAGE layers, read out at the seeds."""

from __future__ import annotations

from typing import Any

import torch
from relbench.modeling.nn import HeteroEncoder, HeteroGraphSAGE, HeteroTemporalEncoder
from torch import Tensor
from torch.nn import Embedding, ModuleDict
from torch_geometric.data import HeteroData
from torch_geometric.nn import MLP


class Model(torch.nn.Module):
    def __init__(
        self,
        data: HeteroData,
        col_stats_dict: dict[str, dict[str, dict[Any, Any]]],
        num_layers: int,
        channels: int,
        out_channels: int,
        aggr: str,
        norm: str,
        shallow_list: list[str] = [],  # noqa: B006 (read only)
    ) -> None:
        super().__init__()
        self.encoder = HeteroEncoder(
            channels=channels,
            node_to_col_names_dict={t: data[t].tf.col_names_dict for t in data.node_types},
            node_to_col_stats=col_stats_dict,
        )
        self.temporal_encoder = HeteroTemporalEncoder(
            node_types=[t for t in data.node_types if "time" in data[t]], channels=channels
        )
        self.gnn = HeteroGraphSAGE(
            node_types=data.node_types, edge_types=data.edge_types, channels=channels,
            aggr=aggr, num_layers=num_layers,
        )
        self.head = MLP(channels, out_channels=out_channels, norm=norm, num_layers=1)
        # Learnt embeddings of the nodes of these tables (items, in a
        # two-tower model), added to their encoded features.
        self.embedding_dict = ModuleDict(
            {t: Embedding(data.num_nodes_dict[t], channels) for t in shallow_list}
        )
        self.reset_parameters()

    def reset_parameters(self) -> None:
        self.encoder.reset_parameters()
        self.temporal_encoder.reset_parameters()
        self.gnn.reset_parameters()
        self.head.reset_parameters()
        for embedding in self.embedding_dict.values():
            torch.nn.init.normal_(embedding.weight, std=0.1)

    def forward(self, batch: HeteroData, entity_table: str) -> Tensor:
        seed_time = batch[entity_table].seed_time
        x_dict = self.encoder(batch.tf_dict)
        rel_time_dict = self.temporal_encoder(seed_time, batch.time_dict, batch.batch_dict)
        for node_type, rel_time in rel_time_dict.items():
            x_dict[node_type] = x_dict[node_type] + rel_time
        for node_type, embedding in self.embedding_dict.items():
            x_dict[node_type] = x_dict[node_type] + embedding(batch[node_type].n_id)
        x_dict = self.gnn(
            x_dict, batch.edge_index_dict, batch.num_sampled_nodes_dict,
            batch.num_sampled_edges_dict,
        )
        return self.head(x_dict[entity_table][: seed_time.size(0)])
