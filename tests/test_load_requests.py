"""Loader requests in the forms PyG users write them: one list of counts for
every edge type or a mapping, int counts only, offsets as ints or
timedeltas, and no request at all refused."""

import datetime as dt
import re

import numpy as np
import pytest

from rerozer_tables import Loader, Table, build_graph

HOUR = 3600


@pytest.fixture(scope="module")
def graph():
    rng = np.random.default_rng(7)
    return build_graph({
        "users": Table({"id": np.arange(10), "t": np.zeros(10, dtype=np.int64)}, primary_key="id", time_column="t"),
        "posts": Table({"by": rng.integers(0, 10, 80), "t": rng.integers(0, 100 * HOUR, 80)},
                       foreign_keys={"by": "users"}, time_column="t"),
    })


POSTS_BY = ("posts", "by", "users")
USERS_REV = ("users", "rev_by", "posts")


def sampled(graph, **request):
    loader = Loader(graph, "users", np.arange(10), np.full(10, 60 * HOUR), batch_size=4, seed=3, **request)
    return [[(k, v.tolist()) for part in batch.result for k, v in sorted(part.items())] for batch in loader]


def test_one_list_of_counts_is_taken_for_every_edge_type(graph):
    every = {POSTS_BY: [3, 2], USERS_REV: [3, 2]}
    assert sampled(graph, num_neighbors=[3, 2]) == sampled(graph, num_neighbors=every)
    assert sampled(graph, num_neighbors=np.array([3, 2])) == sampled(graph, num_neighbors=every)
    # Beside time windows, the list covers the edge types the windows leave out.
    windows = {POSTS_BY: [[-10 * HOUR, 0], [None, 0]]}
    assert sampled(graph, num_neighbors=[1, 1], sampling_time_offsets=windows) == sampled(
        graph, num_neighbors={USERS_REV: [1, 1]}, sampling_time_offsets=windows)


@pytest.mark.parametrize(
    "num_neighbors, message",
    [
        pytest.param({POSTS_BY: 10}, "num_neighbors['posts__by__users'] must be a list with one entry per hop, got 10",
                     id="bare-int-for-an-edge-type"),
        pytest.param(10, "num_neighbors must be a list with one entry per hop, got 10", id="bare-int"),
        pytest.param({POSTS_BY: "10"}, "num_neighbors['posts__by__users'] must be a list with one entry per hop, "
                     "got '10'", id="text-for-an-edge-type"),
        pytest.param({POSTS_BY: [10.7]}, "num_neighbors['posts__by__users'] hop 0: 10.7 is not an integer count",
                     id="float-count"),
        pytest.param({POSTS_BY: [2, "10"]}, "num_neighbors['posts__by__users'] hop 1: '10' is not an integer count",
                     id="text-count"),
        pytest.param({POSTS_BY: [True]}, "num_neighbors['posts__by__users'] hop 0: True is not an integer count",
                     id="bool-count"),
        pytest.param([5, np.float64(2.0)], "num_neighbors hop 1: np.float64(2.0) is not an integer count",
                     id="float-in-the-list-for-every-edge-type"),
    ],
)
def test_counts_must_be_int_lists_and_errors_name_the_edge_type_and_value(graph, num_neighbors, message):
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        Loader(graph, "users", [1], [0], batch_size=1, num_neighbors=num_neighbors)


@pytest.mark.parametrize(
    "start, end",
    [
        pytest.param(-10 * HOUR, 0, id="ints-in-the-graph-unit"),
        pytest.param(np.timedelta64(-10, "h"), np.timedelta64(0, "s"), id="numpy-timedeltas"),
        pytest.param(dt.timedelta(hours=-10), dt.timedelta(0), id="datetime-timedeltas"),
        pytest.param(np.timedelta64(-36_000_000, "ms"), 0, id="finer-but-whole"),
    ],
)
def test_offsets_may_be_ints_or_timedeltas_converted_exactly(graph, start, end):
    expected = sampled(graph, sampling_time_offsets={POSTS_BY: [[-10 * HOUR, 0]]}, num_neighbors={USERS_REV: [0]})
    got = sampled(graph, sampling_time_offsets={POSTS_BY: [[start, end]]}, num_neighbors={USERS_REV: [0]})
    assert got == expected
    assert any(v for batch in got for k, v in batch if k == "posts")  # the window took posts


@pytest.mark.parametrize(
    "row, error, message",
    [
        pytest.param([dt.timedelta(seconds=-1.5), 0], ValueError,
                     "sampling_time_offsets['posts__by__users'] hop 0 start: datetime.timedelta(days=-1, "
                     "seconds=86398, microseconds=500000) is not a whole number of the graph's unit 's'",
                     id="fractional-datetime-timedelta"),
        pytest.param([None, np.timedelta64(1, "ms")], ValueError,
                     "sampling_time_offsets['posts__by__users'] hop 0 end: np.timedelta64(1,'ms') is not a whole "
                     "number of the graph's unit 's'", id="fractional-numpy-timedelta"),
        pytest.param([None, 1.5], TypeError,
                     "sampling_time_offsets['posts__by__users'] hop 0 end: 1.5 is neither an integer (in the "
                     "graph's unit 's') nor a timedelta", id="float-offset"),
        pytest.param([None, None], ValueError,
                     "sampling_time_offsets['posts__by__users'] hop 0 must be (start or None, end), got [None, None]",
                     id="no-end"),
    ],
)
def test_offsets_that_are_not_whole_units_are_refused_by_name(graph, row, error, message):
    with pytest.raises(error, match="^" + re.escape(message) + "$"):
        Loader(graph, "users", [1], [0], batch_size=1, sampling_time_offsets={POSTS_BY: [row]})


@pytest.mark.parametrize(
    "request_",
    [
        pytest.param({}, id="nothing"),
        pytest.param({"num_neighbors": {}, "sampling_time_offsets": {}}, id="empty-mappings"),
        pytest.param({"num_neighbors": []}, id="no-hops"),
    ],
)
def test_a_loader_without_a_request_is_refused(graph, request_):
    message = (
        "the request follows no edge, so every batch would hold its seeds alone: give num_neighbors "
        "(counts per hop, one list for every edge type as [10, 5] or a mapping by edge type) or "
        "sampling_time_offsets"
    )
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        Loader(graph, "users", [1], [0], batch_size=1, **request_)
