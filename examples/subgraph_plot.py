"""Draw the subgraph of one example of a ``sample`` result.

Nodes are coloured by node type and placed in columns by hop (the seed on the
left, the nodes first reached in hop k in column k), labelled with their ids.
Every sampled edge is an arrow from its source to its destination in the
colour of its edge type. Arrows bend slightly, all the same way as seen from
their source, so that the two directions of a foreign key between the same
two nodes form two arcs, one on each side, instead of one line drawn twice.
The two edge types of a foreign key share a hue, dark for the child -> parent
direction and light for the reverse. Only the Agg backend is used, so no
display is needed.
"""

from __future__ import annotations

import datetime as dt
from collections.abc import Sequence
from pathlib import Path
from typing import Protocol

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import networkx as nx  # noqa: E402
import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402
from matplotlib.colors import to_rgb  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402

Result = tuple[dict[str, npt.NDArray[np.int64]], ...]
EdgeType = tuple[str, str, str]
Node = tuple[str, int]

# How much every arrow bends (matplotlib's arc3 radius).
ARC = 0.18
# Node diameter as a share of the vertical distance between two nodes.
NODE_SHARE = 0.7
# Labels fill at most this share of their node's diameter.
LABEL_WIDTH_SHARE = 0.82
LABEL_HEIGHT_SHARE = 0.6
MAX_FONT_SIZE = 9.0
MIN_FONT_SIZE = 3.5
DPI = 130


class GraphTypes(Protocol):
    """The node and edge types of the sampled graph."""

    node_types: list[str]
    edge_types: list[EdgeType]


def edge_type_key(edge_type: Sequence[str]) -> str:
    src, rel, dst = edge_type
    return f"{src}__{rel}__{dst}"


def example_subgraph(result: Result, graph: GraphTypes, x: int) -> nx.MultiDiGraph:
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
    for edge_type in graph.edge_types:
        src, _, dst = edge_type
        key = edge_type_key(edge_type)
        for row, col in zip(out_row[key].tolist(), out_col[key].tolist()):
            if out_batch[dst][col] == x:
                subgraph.add_edge((src, row), (dst, col), key=key)
    return subgraph


def reverse_of(edge_type: EdgeType, edge_types: Sequence[EdgeType]) -> EdgeType | None:
    """The other direction of a foreign key: (child, col, parent) and
    (parent, rev_col, child) are each other's reverse."""
    src, rel, dst = edge_type
    wanted = rel[4:] if rel.startswith("rev_") else "rev_" + rel
    candidate = (dst, wanted, src)
    return candidate if candidate in edge_types else None


def relation_colours(edge_types: Sequence[EdgeType]) -> dict[str, tuple[float, float, float]]:
    """A colour per edge type key: a foreign key's two directions get the dark
    and the light shade of one hue, other edge types a hue of their own."""
    # tab20 holds ten (dark, light) pairs in tab10's order, and node types take
    # tab10's colours from the start: edge types take them from the end, so
    # that in small graphs no edge has a node's colour. Grey (pair 7) is left
    # out.
    pairs = [i for i in reversed(range(10)) if i != 7]
    palette = plt.get_cmap("tab20")
    colours: dict[str, tuple[float, float, float]] = {}
    hue = 0
    for edge_type in edge_types:
        if edge_type_key(edge_type) in colours:
            continue
        reverse = reverse_of(edge_type, edge_types)
        forward = edge_type
        if reverse is not None and edge_type[1].startswith("rev_"):
            forward, reverse = reverse, edge_type
        pair = pairs[hue % len(pairs)]
        hue += 1
        colours[edge_type_key(forward)] = to_rgb(palette(2 * pair))
        if reverse is not None:
            colours[edge_type_key(reverse)] = to_rgb(palette(2 * pair + 1))
    return colours


def relative_luminance(colour: Sequence[float]) -> float:
    """The relative luminance of an sRGB colour, as used for contrast ratios."""
    linear = [c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4 for c in colour[:3]]
    return 0.2126 * linear[0] + 0.7152 * linear[1] + 0.0722 * linear[2]


def contrast_ratio(a: Sequence[float], b: Sequence[float]) -> float:
    high, low = sorted((relative_luminance(a), relative_luminance(b)), reverse=True)
    return (high + 0.05) / (low + 0.05)


def label_colour(fill: Sequence[float]) -> str:
    """Black or white, whichever contrasts more with ``fill``."""
    black = contrast_ratio(fill, (0.0, 0.0, 0.0))
    white = contrast_ratio(fill, (1.0, 1.0, 1.0))
    return "black" if black >= white else "white"


def _layout(subgraph: nx.MultiDiGraph, node_types: list[str]) -> dict[Node, tuple[float, float]]:
    """Columns by hop; within a column, nodes grouped by type, centred on 0."""
    layers: dict[int, list[Node]] = {}
    for node, hop in subgraph.nodes(data="hop"):
        layers.setdefault(hop, []).append(node)
    order = {name: i for i, name in enumerate(node_types)}
    position = {}
    for hop, nodes in layers.items():
        nodes.sort(key=lambda n: (order[n[0]], n[1]))
        for i, node in enumerate(nodes):
            position[node] = (float(hop), (len(nodes) - 1) / 2.0 - i)
    return position


def render_example(
    result: Result, graph: GraphTypes, x: int, example_time: int, title: str
) -> tuple[Figure, nx.MultiDiGraph]:
    """The figure of example ``x`` and the subgraph it shows, each node with its
    place in data units (attribute ``position``) and each edge with its arrow
    (attribute ``arrow``). The caller closes the figure."""
    subgraph = example_subgraph(result, graph, x)
    position = _layout(subgraph, graph.node_types)
    nx.set_node_attributes(subgraph, position, "position")
    columns = max((hop for _, hop in subgraph.nodes(data="hop")), default=0) + 1
    tallest = max(
        (sum(1 for _, h in subgraph.nodes(data="hop") if h == hop) for hop in range(columns)),
        default=1,
    )

    # Fixed margins, so that data units map to known lengths on the page; the
    # legends take a strip on the right.
    legend_width, left, bottom, top = 3.6, 0.3, 0.55, 0.6
    plot_width = 2.4 * max(columns - 1, 1) + 1.2
    # Tall enough for the columns and for the legends beside them.
    legend_lines = len(graph.node_types) + len(graph.edge_types) + 7
    plot_height = min(max(0.5 * tallest, 0.2 * legend_lines), 16.0)
    width, height = left + plot_width + legend_width, bottom + plot_height + top
    figure = plt.figure(figsize=(width, height), dpi=DPI)
    axes = figure.add_axes(
        (left / width, bottom / height, plot_width / width, plot_height / height)
    )
    half = max((tallest - 1) / 2.0, 0.5)
    axes.set_xlim(-0.5, columns - 0.5)
    axes.set_ylim(-half - 0.6, half + 0.6)

    # Node size from the distance between two nodes of a column, in points.
    points_per_unit_y = plot_height * 72.0 / (2 * half + 1.2)
    points_per_unit_x = plot_width * 72.0 / columns
    diameter = min(NODE_SHARE * points_per_unit_y, 0.25 * points_per_unit_x, 34.0)
    node_size = diameter**2

    colour_of_type = {name: to_rgb(plt.get_cmap("tab10")(i % 10))
                      for i, name in enumerate(graph.node_types)}
    colour_of_edge = relation_colours(graph.edge_types)

    # 1. Edges, one edge type at a time, under the nodes.
    edge_handles = []
    for edge_type in graph.edge_types:
        key = edge_type_key(edge_type)
        edges = [(u, v, k) for u, v, k in subgraph.edges(keys=True) if k == key]
        if not edges:
            continue
        patches = nx.draw_networkx_edges(
            subgraph, position, edgelist=edges, ax=axes, edge_color=[colour_of_edge[key]],
            width=1.3, arrows=True, arrowstyle="-|>", arrowsize=9, node_size=node_size,
            connectionstyle=f"arc3,rad={ARC}",
        )
        for edge, patch in zip(edges, patches):
            subgraph.edges[edge]["arrow"] = patch
        src, rel, dst = edge_type
        edge_handles.append(Line2D(
            [], [], color=colour_of_edge[key], linewidth=2,
            label=f"{src} \N{RIGHTWARDS ARROW} {dst} ({rel}): {len(edges)}",
        ))

    # 2. Nodes, one node type at a time.
    node_handles = []
    for name in graph.node_types:
        members = [n for n, t in subgraph.nodes(data="node_type") if t == name]
        if not members:
            continue
        nx.draw_networkx_nodes(
            subgraph, position, nodelist=members, ax=axes, node_size=node_size,
            node_color=[colour_of_type[name]], edgecolors="black", linewidths=0.5,
        )
        node_handles.append(Line2D(
            [], [], linestyle="none", marker="o", markersize=9,
            markerfacecolor=colour_of_type[name], markeredgecolor="black",
            label=f"{name}: {len(members)}",
        ))

    # 3. Labels: each at the largest size (up to MAX_FONT_SIZE) at which it
    # stays inside its node; none where that would be unreadably small.
    labels = {n: str(i) for n, i in subgraph.nodes(data="node_id")}
    texts = nx.draw_networkx_labels(subgraph, position, labels=labels, ax=axes,
                                    font_size=MAX_FONT_SIZE)
    renderer = figure.canvas.get_renderer()  # type: ignore[attr-defined]
    diameter_pixels = diameter * DPI / 72.0
    for node, text in texts.items():
        extent = text.get_window_extent(renderer)
        scale = min(1.0, LABEL_WIDTH_SHARE * diameter_pixels / extent.width,
                    LABEL_HEIGHT_SHARE * diameter_pixels / extent.height)
        if MAX_FONT_SIZE * scale < MIN_FONT_SIZE:
            text.remove()
            continue
        text.set_fontsize(MAX_FONT_SIZE * scale)
        text.set_color(label_colour(colour_of_type[node[0]]))

    when = dt.datetime.fromtimestamp(example_time, dt.timezone.utc).strftime("%Y-%m-%d")
    axes.set_title(
        f"{title} at {when}: {subgraph.number_of_nodes()} nodes, "
        f"{subgraph.number_of_edges()} edges"
    )
    axes.set_xticks(range(columns), ["seed"] + [f"hop {h}" for h in range(1, columns)])
    axes.tick_params(left=False, labelleft=False, bottom=True, labelbottom=True)
    for side in ("left", "right", "top"):
        axes.spines[side].set_visible(False)

    # The node types, and below them the edge types.
    legend_x = (left + plot_width + 0.15) / width
    node_legend = figure.legend(
        handles=node_handles, title="node type: nodes", loc="upper left",
        bbox_to_anchor=(legend_x, 1 - top / height), frameon=False, fontsize=8,
        title_fontsize=8, alignment="left",
    )
    node_legend_bottom = figure.transFigure.inverted().transform(
        node_legend.get_window_extent(renderer).p0
    )[1]
    figure.legend(
        handles=edge_handles, loc="upper left", frameon=False, fontsize=8, title_fontsize=8,
        bbox_to_anchor=(legend_x, node_legend_bottom - 0.1 / height), alignment="left",
        title="edge type (relation): edges\n"
              "arrows point from source to destination;\n"
              "the two directions of a foreign key are\n"
              "shades of one hue and bend to opposite sides",
    )
    return figure, subgraph


def draw_example(
    result: Result, graph: GraphTypes, x: int, example_time: int, path: str | Path, title: str
) -> tuple[int, int, Path]:
    """Write the picture of example ``x`` to ``path`` (relative to the current
    directory); return its node and edge counts and the absolute path written."""
    figure, subgraph = render_example(result, graph, x, example_time, title)
    target = Path(path).resolve()
    try:
        figure.savefig(target, dpi=DPI)
    finally:
        plt.close(figure)
    return subgraph.number_of_nodes(), subgraph.number_of_edges(), target
