"""The "Common errors" table of README.md: every message in it is the one the
module raises for the mistake on its row, made in the Usage example.

Rows are matched to the mistakes below by their first cell, so a row added
without a mistake here, or a mistake whose row was removed, fails too.
"""

import re
from pathlib import Path

import numpy as np
import pytest

from rerozer import NeighborSampler

README = Path(__file__).resolve().parents[1] / "README.md"
WRITES = "author__writes__paper"
CITES = "paper__cites__paper"


def common_errors_table():
    """{mistake: message} from the README's "Common errors" table."""
    lines = README.read_text(encoding="utf-8").splitlines()
    start = lines.index("### Common errors")
    rows = {}
    table = False
    for line in lines[start + 1:]:
        if not line.startswith("|"):
            if table:
                break
            continue
        table = True
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if cells[0] == "Mistake" or set(cells[0]) <= {"-"}:
            continue
        message = re.fullmatch(r"`(.+)`", cells[1])
        assert message, f"message cell of {cells[0]!r} is not one code span: {cells[1]!r}"
        rows[cells[0]] = message.group(1)
    return rows


def message_pattern(message):
    """The table's message as a regular expression; `...` stands for any text."""
    parts = re.split(r"\s*\.\.\.\s*", message)
    return "(?s)" + ".*".join(re.escape(part) for part in parts)


def usage_graph():
    """The sampler arguments of the README's Usage example."""
    def i64(*values):
        return np.array(values, dtype=np.int64)

    return {
        "node_types": ["paper", "author"],
        "edge_types": [("author", "writes", "paper"), ("paper", "cites", "paper")],
        "colptr": {WRITES: i64(0, 2, 3, 3), CITES: i64(0, 2, 3, 3)},
        "row": {WRITES: i64(0, 1, 1), CITES: i64(1, 2, 2)},
        "node_time": {"paper": i64(10, 20, 30), "author": i64(5, 15)},
    }


def usage_request(**changes):
    """The request of the README's Usage example, with some arguments changed."""
    request = {
        "num_neighbors": {WRITES: [1]},
        "sampling_time_offsets": {CITES: [[None, 0]]},
        "entity_table": "paper",
        "seed_node": np.array([0], dtype=np.int64),
        "seed_time": np.array([25], dtype=np.int64),
    }
    request.update(changes)
    return request


def sample_with(graph_changes=None, **request_changes):
    graph = usage_graph()
    graph.update(graph_changes or {})
    NeighborSampler(**graph).sample(**usage_request(**request_changes))


def left_out_edge_type():
    sample_with(num_neighbors={})


def tuple_key_in_colptr():
    colptr = usage_graph()["colptr"]
    colptr[("author", "writes", "paper")] = colptr.pop(WRITES)
    sample_with({"colptr": colptr})


def seed_time_list():
    sample_with(seed_time=[25])


def seed_node_list():
    sample_with(seed_node=[0])


def seed_time_missing():
    sampler = NeighborSampler(**usage_graph())
    request = usage_request()
    del request["seed_time"]
    sampler.sample(**request)


def float_offset():
    sample_with(sampling_time_offsets={CITES: [[None, 0.5]]})


def node_time_none():
    sample_with({"node_time": None})


def unknown_node_type():
    graph = usage_graph()
    key = "author__writes__papers"
    graph["edge_types"] = [("author", "writes", "papers"), ("paper", "cites", "paper")]
    graph["colptr"][key] = graph["colptr"].pop(WRITES)
    graph["row"][key] = graph["row"].pop(WRITES)
    NeighborSampler(**graph).sample(**usage_request(num_neighbors={key: [1]}))


def unsorted_column():
    # Paper 0's authors in the order 1, 0: times 15, then 5.
    sample_with({"row": dict(usage_graph()["row"], **{WRITES: np.array([1, 0, 1])})})


def seed_beyond_colptr():
    sample_with(seed_node=np.array([7], dtype=np.int64))


def colptr_beyond_row():
    colptr = dict(usage_graph()["colptr"], **{WRITES: np.array([0, 2, 5, 5])})
    sample_with({"colptr": colptr}, seed_node=np.array([1], dtype=np.int64))


def source_beyond_node_time():
    row = dict(usage_graph()["row"], **{WRITES: np.array([0, 1, 9])})
    sample_with({"row": row}, seed_node=np.array([1], dtype=np.int64))


def seed_beyond_node_time():
    sample_with(seed_node=np.array([5], dtype=np.int64), seed_time=np.array([], dtype=np.int64))


def int32_seeds():
    sample_with(seed_node=np.array([0], dtype=np.int32))


MISTAKES = {
    "An edge type left out of the request": [left_out_edge_type],
    "A tuple as an edge type key": [tuple_key_in_colptr],
    "`seed_node` or `seed_time` a list, or `seed_time` left out":
        [seed_time_list, seed_node_list, seed_time_missing],
    "A float in `sampling_time_offsets`": [float_offset],
    "`node_time=None`": [node_time_none],
    "An edge type naming a node type that is not in `node_types`": [unknown_node_type],
    "A column not ordered by source time": [unsorted_column],
    "A seed or node id beyond an edge type's `colptr`": [seed_beyond_colptr],
    "A `colptr` entry beyond the end of `row`": [colptr_beyond_row],
    "A source id beyond its type's `node_time`": [source_beyond_node_time],
    "A seed beyond its type's `node_time`, with no `seed_time`": [seed_beyond_node_time],
    "An array that is not int64": [int32_seeds],
}
TABLE = common_errors_table()


def test_every_row_has_its_mistake_and_every_mistake_its_row():
    assert {"rows without a mistake": set(TABLE) - set(MISTAKES),
            "mistakes without a row": set(MISTAKES) - set(TABLE)} == {
        "rows without a mistake": set(), "mistakes without a row": set()}


@pytest.mark.parametrize(
    ("row", "mistake"),
    [pytest.param(row, mistake, id=mistake.__name__)
     for row, mistakes in MISTAKES.items() for mistake in mistakes],
)
def test_message_is_the_one_raised(row, mistake):
    if row not in TABLE:
        pytest.fail(f"README's Common errors table has no row {row!r}")
    with pytest.raises(Exception) as excinfo:
        mistake()
    # What a traceback's last line shows.
    raised = f"{type(excinfo.value).__name__}: {excinfo.value}"
    assert re.fullmatch(message_pattern(TABLE[row]), raised), raised
