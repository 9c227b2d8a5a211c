"""``save_graph``, ``load_graph`` and ``crc32``, by the name of their former module
(the rules of saved graphs are in ``rerozer_tables.store.save``)."""

from .graph.arrays import crc32
from .store.load import load_graph
from .store.save import save_graph

__all__ = ["crc32", "load_graph", "save_graph"]
