"""The subgraph picture of examples/subgraph_plot.py: every sampled edge
visible as its own arrow, one colour per edge type, labels inside their nodes
and readable on them, and the output path taken from the caller's directory."""

import subprocess
import sys
from pathlib import Path as FilePath
from types import SimpleNamespace

import numpy as np
import pytest

EXAMPLES = FilePath(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

pytest.importorskip("matplotlib")
pytest.importorskip("networkx")

from matplotlib.colors import to_rgb  # noqa: E402
from matplotlib.patches import FancyArrowPatch  # noqa: E402
from matplotlib.path import Path  # noqa: E402

import subgraph_plot  # noqa: E402
from rerozer import NeighborSampler  # noqa: E402
from subgraph_plot import contrast_ratio, draw_example, label_colour, render_example  # noqa: E402


def i64(*values):
    return np.array(values, dtype=np.int64)


# Papers BASE + 0..3 and authors 0-2 with both directions of the writes key,
# and citations. Paper ids have six digits, so that labels have to shrink to
# fit their nodes. Papers below BASE have no edges.
BASE = 100_000
GRAPH = SimpleNamespace(
    node_types=["paper", "author"],
    edge_types=[("author", "writes", "paper"), ("paper", "rev_writes", "author"),
                ("paper", "cites", "paper")],
)
ARGUMENTS = {
    "node_types": GRAPH.node_types,
    "edge_types": GRAPH.edge_types,
    "colptr": {
        # paper p <- authors: 0 <- {0, 1}, 1 <- {1}, 2 <- {2}, 3 <- {0, 2}
        "author__writes__paper": np.concatenate([np.zeros(BASE, np.int64), i64(0, 2, 3, 4, 6)]),
        # author a <- papers: 0 <- {0, 3}, 1 <- {0, 1}, 2 <- {2, 3}
        "paper__rev_writes__author": i64(0, 2, 4, 6),
        # paper 0 <- {1, 2, 3}, the others cite nothing
        "paper__cites__paper": np.concatenate([np.zeros(BASE + 1, np.int64), i64(3, 3, 3, 3)]),
    },
    "row": {
        "author__writes__paper": i64(0, 1, 1, 2, 0, 2),
        "paper__rev_writes__author": BASE + i64(0, 3, 0, 1, 2, 3),
        "paper__cites__paper": BASE + i64(1, 2, 3),
    },
    "node_time": {},
}


@pytest.fixture(scope="module")
def result():
    sampler = NeighborSampler(**ARGUMENTS)
    return sampler.sample(
        {"author__writes__paper": [-1, -1, -1], "paper__rev_writes__author": [-1, -1, -1],
         "paper__cites__paper": [-1, -1, -1]},
        {}, "paper", BASE + i64(0, 3), i64(),
    )


@pytest.fixture(scope="module")
def picture(result):
    figure, subgraph = render_example(result, GRAPH, 0, 0, "example 0")
    figure.canvas.draw()
    yield figure, subgraph
    subgraph_plot.plt.close(figure)


def arrows(figure):
    return [p for p in figure.axes[0].patches if isinstance(p, FancyArrowPatch)]


def test_every_edge_is_an_arrow_of_its_edge_type_colour(picture):
    figure, subgraph = picture
    drawn = arrows(figure)
    assert subgraph.number_of_edges() > 0
    assert len(drawn) == subgraph.number_of_edges()
    colours = subgraph_plot.relation_colours(GRAPH.edge_types)
    want = sorted(colours[key] for _, _, key in subgraph.edges(keys=True))
    assert sorted(to_rgb(a.get_edgecolor()) for a in drawn) == want


def bulge(figure, arrow, source, target):
    """How far, in pixels, the arrow's path strays from the straight line
    source -> target: positive on its left, negative on its right."""
    axes = figure.axes[0]
    start, end = axes.transData.transform([source, target])
    along = (end - start) / np.linalg.norm(end - start)
    left = np.array([-along[1], along[0]])
    path = arrow.get_path()
    vertices = path.vertices
    if path.codes is not None:  # a closing code's vertex is not drawn
        vertices = vertices[path.codes != Path.CLOSEPOLY]
    offsets = (axes.transData.transform(vertices) - start) @ left
    return offsets[np.argmax(np.abs(offsets))]


def test_the_two_directions_of_a_key_are_two_arcs(picture):
    figure, subgraph = picture
    position = dict(subgraph.nodes(data="position"))
    pairs = [(u, v) for u, v in subgraph.edges() if u != v and subgraph.has_edge(v, u)]
    assert pairs, "the example has no pair of opposite edges to tell apart"
    for u, v in pairs:
        # Seen along u -> v, the arrows of both directions bend visibly, to
        # opposite sides.
        there = [bulge(figure, data["arrow"], position[u], position[v])
                 for data in subgraph.get_edge_data(u, v).values()]
        back = [bulge(figure, data["arrow"], position[u], position[v])
                for data in subgraph.get_edge_data(v, u).values()]
        for a in there:
            for b in back:
                assert abs(a) > 5 and abs(b) > 5 and a * b < 0, (u, v, a, b)


def test_edge_type_legend_names_each_drawn_edge_type_once(picture):
    figure, subgraph = picture
    present = {key for _, _, key in subgraph.edges(keys=True)}
    entries = [text.get_text() for text in figure.legends[1].get_texts()]
    assert len(entries) == len(present)
    colours = [to_rgb(line.get_color()) for line in figure.legends[1].get_lines()]
    assert len(set(colours)) == len(colours)


def test_labels_fit_inside_their_nodes_and_contrast_with_them(picture):
    figure, subgraph = picture
    axes = figure.axes[0]
    renderer = figure.canvas.get_renderer()
    labels = list(axes.texts)
    assert sorted(t.get_text() for t in labels) == sorted(
        str(i) for _, i in subgraph.nodes(data="node_id"))
    for collection in axes.collections:
        if not collection.get_sizes().size:
            continue
        diameter = np.sqrt(collection.get_sizes()[0]) * figure.dpi / 72.0
        fill = to_rgb(collection.get_facecolor()[0])
        for x, y in collection.get_offsets():
            centre = axes.transData.transform((x, y))
            inside = [t for t in labels
                      if np.allclose(axes.transData.transform(t.get_position()), centre)]
            assert len(inside) == 1
            box = inside[0].get_window_extent(renderer)
            corners = np.array([[box.x0, box.y0], [box.x0, box.y1],
                                [box.x1, box.y0], [box.x1, box.y1]])
            assert np.linalg.norm(corners - centre, axis=1).max() <= diameter / 2
            assert contrast_ratio(to_rgb(inside[0].get_color()), fill) >= 4.5


@pytest.mark.parametrize(
    ("fill", "want"),
    [pytest.param("navy", "white", id="navy"), pytest.param("yellow", "black", id="yellow"),
     pytest.param("tab:red", "white", id="tab-red"),
     pytest.param("lightgrey", "black", id="light-grey")],
)
def test_label_colour_of_clear_cases(fill, want):
    assert label_colour(to_rgb(fill)) == want


def test_label_colour_always_reaches_a_readable_contrast():
    levels = np.linspace(0.0, 1.0, 9)
    for fill in np.array(np.meshgrid(levels, levels, levels)).reshape(3, -1).T:
        assert contrast_ratio(to_rgb(label_colour(fill)), fill) >= 4.5, fill


def test_output_path_is_relative_to_the_current_directory(result, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    nodes, edges, written = draw_example(result, GRAPH, 1, 0, "sub.png", "example 1")
    assert written == tmp_path / "sub.png"
    assert written.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert nodes > 0 and edges > 0


def test_demo_writes_the_plot_where_it_was_called_and_prints_its_path(tmp_path):
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / "demo.py"), "--plot", "rel.png"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300, check=True,
    )
    assert (tmp_path / "rel.png").is_file()
    assert f"-> {tmp_path / 'rel.png'}" in done.stdout
