"""Construction: the checks of colptr, row and node_time, their order, the
lookups that follow them, and the reading of the graph arrays."""

import gc

import numpy as np
import pytest

from rerozer import NeighborSampler

from helpers import ARRAY_LAYOUTS, assert_same_result

WRITES = "author__writes__paper"
CITES = "paper__cites__paper"
EMPTY = np.array([], dtype=np.int64)


def build_error(graph, exception):
    with pytest.raises(exception) as excinfo:
        NeighborSampler(**graph)
    return excinfo.value


def sample_error(sampler, request):
    with pytest.raises(RuntimeError) as excinfo:
        sampler.sample(**request)
    return str(excinfo.value)


class PrintsAs:
    """A dictionary key that is not a string but prints as one."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


@pytest.mark.parametrize("name, key, value, message", [
    pytest.param("colptr", "paper", [0], "Invalid type 'paper' found in colptr.", id="key"),
    pytest.param("row", ("author", "writes", "paper"), [0],
                 "Invalid type '('author', 'writes', 'paper')' found in row.", id="tuple-key"),
    pytest.param("node_time", WRITES, [1], f"Invalid type '{WRITES}' found in node_time.",
                 id="edge-key-in-node-time"),
    pytest.param("colptr", WRITES, np.int64(3), f"Type '{WRITES}' in colptr is not 1D.",
                 id="scalar"),
    pytest.param("node_time", "paper", np.zeros((0, 3)), "Type 'paper' in node_time is not 1D.",
                 id="empty-2d"),
    pytest.param("colptr", WRITES, np.array([0, 2, 3, 3], dtype=np.int32),
                 f"Type '{WRITES}' in colptr must have dtype int64.", id="int32"),
    pytest.param("row", WRITES, np.array([0, 1, 1], dtype=np.uint64),
                 f"Type '{WRITES}' in row must have dtype int64.", id="uint64"),
    pytest.param("node_time", "author", np.array([True, False]),
                 "Type 'author' in node_time must have dtype int64.", id="bool"),
    pytest.param("row", CITES, [1.0, 2.0, 2.0], f"Type '{CITES}' in row must have dtype int64.",
                 id="float"),
])
def test_check_messages(paper_author_timed, name, key, value, message):
    paper_author_timed[name][key] = value
    assert str(build_error(paper_author_timed, RuntimeError)) == message


def test_empty_values_pass_whatever_their_dtype(paper_author):
    # Never sampled: an empty colptr only has to pass the checks.
    paper_author["colptr"][WRITES] = np.array([], dtype=np.float64)
    paper_author["node_time"] = {"author": []}
    NeighborSampler(**paper_author)


@pytest.mark.parametrize("changes, exception, message", [
    pytest.param({"colptr": {WRITES: [0.5], "c": [0]}}, RuntimeError,
                 f"Type '{WRITES}' in colptr must have dtype int64.", id="first-entry-dtype"),
    pytest.param({"colptr": {"c": [0], WRITES: [0.5]}}, RuntimeError,
                 "Invalid type 'c' found in colptr.", id="first-entry-key"),
    pytest.param({"row": {"r": np.zeros((2, 2))}}, RuntimeError,
                 "Invalid type 'r' found in row.", id="key-before-value"),
    pytest.param({"colptr": {"c": [0]}, "row": {"r": [0]}, "node_time": {"n": [0]}},
                 RuntimeError, "Invalid type 'c' found in colptr.", id="colptr-first"),
    pytest.param({"row": {"r": [0]}, "node_time": {"n": [0]}}, RuntimeError,
                 "Invalid type 'r' found in row.", id="row-before-node-time"),
    # The array lookups come only after all three checks ...
    pytest.param({"colptr": {CITES: [0, 1]}, "row": {"r": [0]}}, RuntimeError,
                 "Invalid type 'r' found in row.", id="row-key-before-colptr-lookup"),
    pytest.param({"colptr": {CITES: [0, 1]}, "node_time": {"n": [0]}}, RuntimeError,
                 "Invalid type 'n' found in node_time.", id="node-time-before-colptr-lookup"),
    # ... edge type by edge type, colptr before row.
    pytest.param({"colptr": {CITES: [0, 1]}}, KeyError, WRITES, id="missing-colptr"),
    pytest.param({"row": {WRITES: [0]}}, KeyError, CITES, id="missing-row"),
    pytest.param({"colptr": {WRITES: [0, 1]}, "row": {CITES: [0]}}, KeyError, WRITES,
                 id="writes-row-before-cites-colptr"),
    pytest.param({"colptr": {PrintsAs(WRITES): [0, 1], CITES: [0, 1]}}, KeyError, WRITES,
                 id="key-printing-as-edge-key"),
])
def test_check_order(paper_author_timed, changes, exception, message):
    paper_author_timed.update(changes)
    error = build_error(paper_author_timed, exception)
    assert (error.args == (message,)) if exception is KeyError else (str(error) == message)


@pytest.mark.parametrize("node_types, edge_types, bad_text", [
    pytest.param([b"\xff"], [], b"\xff", id="node-type"),
    pytest.param(["paper"], [(b"\xfe", "r", "paper")], b"\xfe__r__paper", id="edge-type"),
])
def test_name_that_is_not_utf8(node_types, edge_types, bad_text):
    with pytest.raises(UnicodeDecodeError) as expected:
        bad_text.decode("utf-8")
    graph = {"node_types": node_types, "edge_types": edge_types, "colptr": {}, "row": {},
             "node_time": {}}
    assert str(build_error(graph, UnicodeDecodeError)) == str(expected.value)


# Which node types get times, and whether the sampler is temporal: only a
# temporal sampler compares seed sizes, and a time window needs times of
# its edge type's source type.

@pytest.mark.parametrize("node_time, timed", [
    pytest.param({}, set(), id="empty-dict"),
    pytest.param([], set(), id="empty-list"),
    pytest.param({"paper": [10, 20, 30]}, {"paper"}, id="paper-only"),
    pytest.param({"author": [5, 15]}, {"author"}, id="author-only"),
])
def test_node_time_coverage(paper_author, node_time, timed):
    paper_author["node_time"] = node_time
    sampler = NeighborSampler(**paper_author)
    zero = {WRITES: np.array([0]), CITES: np.array([0])}
    mismatched = {"num_neighbors": zero, "sampling_time_offsets": {}, "entity_table": "paper",
                  "seed_node": np.array([0, 1]), "seed_time": np.array([25, 25, 25])}
    if timed:
        assert sample_error(sampler, mismatched) == "'seed_node' and 'seed_time' size mismatch."
    else:
        sampler.sample(**mismatched)
    for key, source in ((WRITES, "author"), (CITES, "paper")):
        request = dict(mismatched, seed_time=np.array([25, 25]),
                       num_neighbors={k: v for k, v in zero.items() if k != key},
                       sampling_time_offsets={key: [[-100, 100]]})
        if source in timed:
            sampler.sample(**request)
        else:
            assert sample_error(sampler, request) == (
                f"'sampling_time_offsets' contains '{key}' but {source} is not included in "
                "'node_time'.")


@pytest.mark.parametrize("key, has_times", [
    pytest.param("5", True, id="str"),
    pytest.param(5, False, id="int"),
    pytest.param(PrintsAs("5"), False, id="object"),
])
def test_node_time_key_printing_as_a_name(key, has_times):
    graph = {"node_types": ["paper", "5"], "edge_types": [("5", "r", "paper")],
             "colptr": {"5__r__paper": [0, 1]}, "row": {"5__r__paper": [0]},
             "node_time": {key: [1]}}
    sampler = NeighborSampler(**graph)
    request = {"num_neighbors": {}, "sampling_time_offsets": {"5__r__paper": [[None, 0]]},
               "entity_table": "paper", "seed_node": np.array([0]), "seed_time": np.array([3, 4])}
    # The entry makes the sampler temporal whatever its key ...
    assert sample_error(sampler, request) == "'seed_node' and 'seed_time' size mismatch."
    # ... but only a string key gives type "5" its times.
    request["seed_time"] = np.array([3])
    if has_times:
        assert list(sampler.sample(**request)[2]["5"]) == [0]
    else:
        assert sample_error(sampler, request) == (
            "'sampling_time_offsets' contains '5__r__paper' but 5 is not included in "
            "'node_time'.")


# Graph arrays in other layouts are read as the values they hold: a sampler
# built from them answers like one built from clean copies. The requests take
# every candidate or a time window, so no random draw is involved.

REQUESTS = [
    {"num_neighbors": {WRITES: np.array([-1, -1]), CITES: np.array([-1, -1])},
     "sampling_time_offsets": {}, "entity_table": "paper",
     "seed_node": np.array([0, 1, 2, 0]), "seed_time": EMPTY},
    {"num_neighbors": {WRITES: np.array([-1, 1])},
     "sampling_time_offsets": {CITES: [[None, 0], [-15, 15]]}, "entity_table": "paper",
     "seed_node": np.array([0, 1, 2, 0]), "seed_time": np.array([25, 35, 15, 40])},
]


LAYOUTS = dict(ARRAY_LAYOUTS, list=lambda values: [int(v) for v in values])


@pytest.mark.parametrize("target", ["colptr", "row", "node_time"])
@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_graph_arrays_in_other_layouts(paper_author_timed, layout, target):
    clean = NeighborSampler(**paper_author_timed)
    graph = dict(paper_author_timed)
    graph[target] = {key: LAYOUTS[layout](value) for key, value in graph[target].items()}
    other = NeighborSampler(**graph)
    # What the sampler made of the values must outlive the caller's copies.
    del graph
    gc.collect()
    clutter = [np.full(8, -7, dtype=np.int64) for _ in range(1000)]
    for request in REQUESTS:
        assert_same_result(other.sample(**request), clean.sample(**request))
    del clutter
