"""``from rerozer_tables.pyg import NeighborLoader``: PyG's ``NeighborLoader``
for heterogeneous temporal graphs, in place of
``from torch_geometric.loader import NeighborLoader`` (see
``rerozer_tables.load.pyg_loader``)."""

from .load.pyg_loader import NeighborLoader

__all__ = ["NeighborLoader"]
