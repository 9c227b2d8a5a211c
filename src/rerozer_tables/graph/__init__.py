"""The graph: ``Graph``, ``build_graph`` (tables to compressed sparse columns),
feature encoding, the time rules that keep the future out of a sample, and
``check_graph``."""

from .graph import EdgeType, Graph, KeyMap, edge_type_key

__all__ = ["EdgeType", "Graph", "KeyMap", "edge_type_key"]
