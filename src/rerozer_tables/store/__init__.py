"""Saved graphs: ``save_graph`` and ``load_graph``, the graph's files and its
version folders."""
