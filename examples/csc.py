"""The graph type the plotting helper annotates with.

Turning tables into the sampler's dictionaries is the installed package
rerozer_tables' job now (``build_graph``, and ``edges_to_csc`` for graphs made
by hand); this module only keeps the name that examples/subgraph_plot.py
imports.
"""

from rerozer_tables import Graph

__all__ = ["Graph"]
