"""Exact results of small hand-worked requests: the hop expansion examples
(paper/author graph) and the picks of each selection mode."""

import numpy as np
import pytest

import rerozer

WRITES = "author__writes__paper"
CITES = "paper__cites__paper"
BUYS = "user__buys__item"
ORDER_ERROR = "Found invalid non-sorted temporal neighborhood"


def ints(*values):
    return np.array(values, dtype=np.int64)


NO_TIMES = ints()


def assert_result(result, expected):
    """Compares the six dictionaries key by key, in key order, and every
    value as a one-dimensional int64 array."""
    assert isinstance(result, tuple)
    assert len(result) == 6
    for position, (got, want) in enumerate(zip(result, expected)):
        assert list(got) == list(want), f"keys of result {position}"
        for key, values in want.items():
            array = got[key]
            assert array.dtype == np.int64, (position, key)
            assert array.ndim == 1, (position, key)
            assert array.tolist() == values, (position, key)


def paper_author_sampler(node_time=None, seed=123):
    """Node types paper, author; author -> paper writes edges and paper ->
    paper citations, three papers and two authors:

        writes: paper 0 <- authors 0, 1; paper 1 <- author 1
        cites:  paper 0 <- papers 1, 2;  paper 1 <- paper 2
    """
    return rerozer.NeighborSampler(
        ["paper", "author"],
        [("author", "writes", "paper"), ("paper", "cites", "paper")],
        {WRITES: ints(0, 2, 3, 3), CITES: ints(0, 2, 3, 3)},
        {WRITES: ints(0, 1, 1), CITES: ints(1, 2, 2)},
        {} if node_time is None else node_time,
        seed,
    )


def test_two_hops_without_times():
    sampler = paper_author_sampler()
    result = sampler.sample({WRITES: ints(-1, -1), CITES: ints(-1, -1)}, {}, "paper", ints(0, 1), NO_TIMES)
    assert_result(
        result,
        (
            {WRITES: [0, 1, 2, 1], CITES: [2, 3, 4, 3]},
            {WRITES: [0, 0, 1, 2], CITES: [0, 0, 1, 2]},
            {"paper": [0, 1, 1, 2, 2], "author": [0, 1, 1]},
            {"paper": [0, 1, 0, 0, 1], "author": [0, 0, 1]},
            {"paper": [2, 3, 0], "author": [0, 3, 0]},
            {WRITES: [3, 1], CITES: [3, 1]},
        ),
    )


RANDOM_DRAWS_RESULT = (
    {WRITES: [0, 1], CITES: [2, 3]},
    {WRITES: [0, 1], CITES: [0, 1]},
    {"paper": [0, 1, 2, 2], "author": [0, 1]},
    {"paper": [0, 1, 0, 1], "author": [0, 1]},
    {"paper": [2, 2], "author": [0, 2]},
    {WRITES: [2], CITES: [2]},
)


def test_one_hop_with_random_draws():
    # Draws 2991312382 mod 2 = 0 (author 0) and 3062119789 mod 2 = 1 (paper 2)
    # for paper 0; paper 1 has one candidate per edge type and draws nothing.
    sampler = paper_author_sampler(seed=123)
    result = sampler.sample({WRITES: ints(1), CITES: ints(1)}, {}, "paper", ints(0, 1), NO_TIMES)
    assert_result(result, RANDOM_DRAWS_RESULT)


def test_request_key_order_plays_no_part():
    sampler = paper_author_sampler(seed=123)
    result = sampler.sample({CITES: ints(1), WRITES: ints(1)}, {}, "paper", ints(0, 1), NO_TIMES)
    assert_result(result, RANDOM_DRAWS_RESULT)


PAPER_AUTHOR_TIMES = {"paper": ints(10, 20, 30), "author": ints(5, 15)}


def test_one_hop_with_times():
    # Example time 25: most recent author is 1 (time 15); the window [0]
    # takes paper 1 (time 20) but not paper 2 (time 30).
    sampler = paper_author_sampler(node_time=PAPER_AUTHOR_TIMES)
    result = sampler.sample({WRITES: ints(1)}, {CITES: [[None, 0]]}, "paper", ints(0), ints(25))
    assert_result(
        result,
        (
            {WRITES: [0], CITES: [1]},
            {WRITES: [0], CITES: [0]},
            {"paper": [0, 1], "author": [1]},
            {"paper": [0, 0], "author": [0]},
            {"paper": [1, 1], "author": [0, 1]},
            {WRITES: [1], CITES: [1]},
        ),
    )


def test_one_hop_with_times_from_the_seed_itself():
    # Without seed_time the example time is paper 0's own time 10: author 0
    # (time 5) is the most recent, no paper is at or before 10.
    sampler = paper_author_sampler(node_time=PAPER_AUTHOR_TIMES)
    result = sampler.sample({WRITES: ints(1)}, {CITES: [[None, 0]]}, "paper", ints(0), NO_TIMES)
    assert_result(
        result,
        (
            {WRITES: [0], CITES: []},
            {WRITES: [0], CITES: []},
            {"paper": [0], "author": [0]},
            {"paper": [0], "author": [0]},
            {"paper": [1, 0], "author": [0, 1]},
            {WRITES: [1], CITES: [0]},
        ),
    )


# Selection picks, through the Python surface. One edge type user -> item;
# item 0 has two incoming edges (positions 0, 1), item 1 the rest, and
# position p holds user 20 - p, so every user id names its position.


def user_item_sampler(column_size):
    colptr = ints(0, 2, 2 + column_size)
    row = ints(*[20 - p for p in range(2 + column_size)])
    return rerozer.NeighborSampler(["item", "user"], [("user", "buys", "item")], {BUYS: colptr}, {BUYS: row}, {})


def sampled_positions(result):
    return [20 - user for user in result[2]["user"].tolist()]


@pytest.mark.parametrize(
    ("column_size", "count", "positions"),
    [
        # Draws mod 8, 9, 10 give offsets 6, 1, 2 from b = 2.
        pytest.param(10, 3, [8, 3, 4], id="ten_choose_three"),
        # Draws mod 2, 3, 4, 5 give 0, 1, 2, 0; the last repeats, so offset 4.
        pytest.param(5, 4, [2, 3, 4, 6], id="five_choose_four"),
    ],
)
def test_uniform_picks_of_seed_123(column_size, count, positions):
    sampler = user_item_sampler(column_size)
    result = sampler.sample({BUYS: ints(count)}, {}, "item", ints(1), NO_TIMES)
    assert sampled_positions(result) == positions
    assert result[0][BUYS].tolist() == list(range(count))
    assert result[1][BUYS].tolist() == [0] * count


@pytest.mark.parametrize(
    "first_count",
    [
        pytest.param(-1, id="all"),
        pytest.param(10, id="count_equal_to_column"),
        pytest.param(11, id="count_above_column"),
        pytest.param(0, id="none"),
    ],
)
def test_selections_without_a_choice_leave_the_stream_alone(first_count):
    sampler = user_item_sampler(10)
    first = sampler.sample({BUYS: ints(first_count)}, {}, "item", ints(1), NO_TIMES)
    taken = 0 if first_count == 0 else 10
    assert sampled_positions(first) == list(range(2, 2 + taken))
    second = sampler.sample({BUYS: ints(3)}, {}, "item", ints(1), NO_TIMES)
    assert sampled_positions(second) == [8, 3, 4]


def timed_column_sampler(times):
    """Item 0 has users 0, 1, ... as its sources, user u with time times[u]."""
    n = len(times)
    return rerozer.NeighborSampler(
        ["item", "user"],
        [("user", "buys", "item")],
        {BUYS: ints(0, n)},
        {BUYS: ints(*range(n))},
        {"user": ints(*times)},
    )


@pytest.mark.parametrize(
    ("count", "users"),
    [
        pytest.param(2, [1, 2], id="two_takes_both_twos"),
        pytest.param(1, [2], id="one_takes_the_later_two"),
        pytest.param(-1, [0, 1, 2], id="all_takes_the_first_three"),
        pytest.param(0, [], id="none"),
    ],
)
def test_most_recent_picks(count, users):
    sampler = timed_column_sampler([1, 2, 2, 5])
    result = sampler.sample({BUYS: ints(count)}, {}, "item", ints(0), ints(2))
    assert result[2]["user"].tolist() == users
    assert result[5][BUYS].tolist() == [len(users)]


@pytest.mark.parametrize(
    ("row", "users"),
    [
        pytest.param([-2, 1], [1, 2], id="minus_two_to_one"),
        pytest.param([-1, 1], [2], id="minus_one_to_one"),
        pytest.param([None, 1], [0, 1, 2], id="up_to_one"),
        pytest.param([1, 1], [], id="one_to_one"),
    ],
)
def test_time_window_picks(row, users):
    sampler = timed_column_sampler([1, 3, 5, 7])
    result = sampler.sample({}, {BUYS: [row]}, "item", ints(0), ints(4))
    assert result[2]["user"].tolist() == users


@pytest.mark.parametrize(
    ("times", "time", "num_neighbors", "offsets", "users"),
    [
        pytest.param([5, 1], 9, {BUYS: ints(-1)}, {}, None, id="most_recent_reversed_ends"),
        pytest.param([5, 1], 9, {BUYS: ints(1)}, {}, None, id="most_recent_checks_before_the_cut"),
        pytest.param([5, 1], 9, {}, {BUYS: [[None, 0]]}, None, id="time_window_reversed_ends"),
        pytest.param([1, 9, 3, 10], 10, {BUYS: ints(-1)}, {}, [0, 1, 2, 3], id="only_the_ends_are_compared"),
        pytest.param([5], 9, {BUYS: ints(-1)}, {}, [0], id="one_entry_most_recent"),
        pytest.param([5], 9, {}, {BUYS: [[None, 0]]}, [0], id="one_entry_time_window"),
    ],
)
def test_order_check(times, time, num_neighbors, offsets, users):
    sampler = timed_column_sampler(times)
    if users is None:
        with pytest.raises(RuntimeError) as excinfo:
            sampler.sample(num_neighbors, offsets, "item", ints(0), ints(time))
        assert str(excinfo.value) == ORDER_ERROR
    else:
        result = sampler.sample(num_neighbors, offsets, "item", ints(0), ints(time))
        assert result[2]["user"].tolist() == users
