"""Draw the subgraph of one example of a ``sample`` result.

Nodes are coloured by node type and placed in columns by hop (the seed on the
left, the nodes first reached in hop k in column k); lines are the sampled
edges. Only the Agg backend is used, so no display is needed.
"""

from __future__ import annotations

import datetime as dt

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import networkx as nx  # noqa: E402
import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402

from csc import Graph  # noqa: E402

Result = tuple[dict[str, npt.NDArray[np.int64]], ...]


def example_subgraph(result: Result, graph: Graph, x: int) -> nx.MultiDiGraph:
    """The nodes and edges of example ``x``: node (type, local index) with its
    global id and hop, edge source -> destination with its edge type key."""
    out_row, out_col, out_node, out_batch, num_sampled_nodes, _ = result
    subgraph = nx.MultiDiGraph()
    for node_type in graph.node_types:
        # Local indices come in hop blocks: seeds, then hop 1, hop 2, ...
        block_ends = np.cumsum(num_sampled_nodes[node_type])
        for local in np.flatnonzero(out_batch[node_type] == x):
            hop = int(np.searchsorted(block_ends, local, side="right"))
            subgraph.add_node(
                (node_type, int(local)),
                node_type=node_type,
                node_id=int(out_node[node_type][local]),
                hop=hop,
            )
    for src, rel, dst in graph.edge_types:
        key = f"{src}__{rel}__{dst}"
        for row, col in zip(out_row[key].tolist(), out_col[key].tolist()):
            if out_batch[dst][col] == x:
                subgraph.add_edge((src, row), (dst, col), key=key)
    return subgraph


def draw_example(
    result: Result, graph: Graph, x: int, example_time: int, path: str, title: str
) -> tuple[int, int]:
    """Write the picture of example ``x`` to ``path``; return its node and edge counts."""
    subgraph = example_subgraph(result, graph, x)
    hops = nx.get_node_attributes(subgraph, "hop")
    layers: dict[int, list[tuple[str, int]]] = {}
    for node, hop in hops.items():
        layers.setdefault(hop, []).append(node)
    # Within a column, group nodes of one type together.
    order = {name: i for i, name in enumerate(graph.node_types)}
    position = {}
    for hop, nodes in layers.items():
        nodes.sort(key=lambda n: (order[n[0]], n[1]))
        for i, node in enumerate(nodes):
            position[node] = (float(hop), (len(nodes) - 1) / 2.0 - i)
    tallest = max(len(nodes) for nodes in layers.values())
    columns = max(layers) + 1

    colours = plt.get_cmap("tab10")
    colour_of = {name: colours(i % 10) for i, name in enumerate(graph.node_types)}
    figure, axes = plt.subplots(figsize=(3.2 * columns + 3, max(4.0, 0.28 * tallest + 1.5)))
    nx.draw_networkx_edges(
        subgraph, position, ax=axes, arrows=False, edge_color="#999999", width=0.6, alpha=0.7
    )
    for name in graph.node_types:
        members = [n for n, t in subgraph.nodes(data="node_type") if t == name]
        if not members:
            continue
        nx.draw_networkx_nodes(
            subgraph, position, nodelist=members, ax=axes, node_size=140,
            node_color=[colour_of[name]], edgecolors="black", linewidths=0.4,
            label=f"{name} ({len(members)})",
        )
    if tallest <= 40:
        labels = {n: str(d) for n, d in subgraph.nodes(data="node_id")}
        nx.draw_networkx_labels(subgraph, position, labels=labels, ax=axes, font_size=5)
    when = dt.datetime.fromtimestamp(example_time, dt.timezone.utc).strftime("%Y-%m-%d")
    axes.set_title(
        f"{title} at {when}: {subgraph.number_of_nodes()} nodes, "
        f"{subgraph.number_of_edges()} edges"
    )
    axes.set_xticks(range(columns), ["seed"] + [f"hop {h}" for h in range(1, columns)])
    axes.tick_params(left=False, labelleft=False, bottom=True, labelbottom=True)
    for side in ("left", "right", "top"):
        axes.spines[side].set_visible(False)
    axes.legend(loc="upper left", bbox_to_anchor=(1.0, 1.0), frameon=False, fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=130)
    plt.close(figure)
    return subgraph.number_of_nodes(), subgraph.number_of_edges()
