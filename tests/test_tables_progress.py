"""Progress bars of the long stages: shown when asked, or by default only in
an interactive terminal after a delay; never in CI, logs or pipes."""

import sys

import pytest

from rerozer_tables import (
    Table, build_graph, check_graph, link_training_table, read_sqlite, save_graph, training_table,
)
from rerozer_tables.tables import progress


def shop():
    return {
        "users": Table({"id": ["a", "b"], "t": [0, 1]}, primary_key="id", time_column="t"),
        "songs": Table({"id": [1, 2]}, primary_key="id"),
        "plays": Table({"user": ["a", "b", "a"], "song": [1, 2, 2], "at": [2, 3, 4]},
                       foreign_keys={"user": "users", "song": "songs"}, time_column="at"),
    }


def sqlite_file(tmp_path):
    import sqlite3

    connection = sqlite3.connect(tmp_path / "db.sqlite")
    connection.executescript("CREATE TABLE a (id INTEGER PRIMARY KEY, t TIMESTAMP);"
                             "INSERT INTO a VALUES (1, '2024-01-01');")
    connection.commit()
    connection.close()
    return tmp_path / "db.sqlite"


STAGES = {
    "read_sqlite": lambda tmp, **p: read_sqlite(sqlite_file(tmp), **p),
    "build_graph": lambda tmp, **p: build_graph(shop(), **p),
    "training_table": lambda tmp, **p: training_table(shop(), "users", [1], target=("plays", "user"),
                                                      horizon=5, **p),
    "link_training_table": lambda tmp, **p: link_training_table(
        shop(), "users", [1], target=("plays", "user", "song"), horizon=5, **p),
    "save_graph": lambda tmp, **p: save_graph(build_graph(shop(), progress=False), tmp / "g", **p),
    "check_graph": lambda tmp, **p: check_graph(build_graph(shop(), progress=False), **p),
}


@pytest.mark.parametrize("with_tqdm", [True, False], ids=["tqdm", "plain-line"])
@pytest.mark.parametrize(
    "progress_option, terminal, delay, shown",
    [
        pytest.param(None, False, 0.0, False, id="default-in-a-log"),
        pytest.param(None, True, 0.0, True, id="default-in-a-terminal"),
        pytest.param(None, True, 1e9, False, id="default-quick-in-a-terminal"),
        pytest.param(False, True, 0.0, False, id="off-in-a-terminal"),
        pytest.param(True, False, 1e9, True, id="on-in-a-log"),
    ],
)
@pytest.mark.parametrize("stage", list(STAGES))
def test_long_stages_show_progress_only_where_a_person_watches(
    tmp_path, capsys, monkeypatch, stage, progress_option, terminal, delay, shown, with_tqdm
):
    if with_tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)  # import fails
    monkeypatch.setattr(progress, "interactive", lambda: terminal)
    monkeypatch.setattr(progress, "DELAY", delay)
    STAGES[stage](tmp_path, progress=progress_option)
    err = capsys.readouterr().err
    assert (stage in err) == shown, err
    assert bool(err) == shown, err


class Terminal:
    def __init__(self, tty):
        self.tty = tty

    def isatty(self):
        return self.tty


@pytest.mark.parametrize(
    "ci, tty, expected",
    [
        pytest.param(None, True, True, id="terminal"),
        pytest.param(None, False, False, id="file-or-pipe"),
        pytest.param("true", True, False, id="ci"),
        pytest.param("false", True, True, id="ci-false"),
    ],
)
def test_interactive_means_a_terminal_outside_ci(monkeypatch, ci, tty, expected):
    if ci is None:
        monkeypatch.delenv("CI", raising=False)
    else:
        monkeypatch.setenv("CI", ci)
    monkeypatch.setattr(sys, "stderr", Terminal(tty))
    assert progress.interactive() is expected


def test_progress_takes_only_none_true_or_false():
    with pytest.raises(TypeError, match="progress must be None, True or False, got 'yes'"):
        build_graph(shop(), progress="yes")


@pytest.mark.parametrize("with_tqdm", [True, False], ids=["tqdm", "plain-line"])
@pytest.mark.parametrize(
    "enabled, tick, redrawn, drawn",
    [
        pytest.param(True, True, True, True, id="shown"),
        pytest.param(False, True, False, False, id="off"),
        pytest.param(True, False, False, False, id="shown-without-ticks"),
        # By default in a terminal: ticking, but nothing drawn before the delay.
        pytest.param(None, True, True, False, id="before-its-delay"),
    ],
)
def test_a_shown_bar_is_redrawn_during_one_long_step_and_leaves_no_thread(
    capsys, monkeypatch, enabled, tick, redrawn, drawn, with_tqdm
):
    import threading

    if with_tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setattr(progress, "TICK", 0.001)
    monkeypatch.setattr(progress, "interactive", lambda: True)
    monkeypatch.setattr(progress, "DELAY", 1e9)
    third = threading.Event()
    ticks, tickers, goal = [], [], [3]
    started = progress._Ticker.__init__

    def counting(self, redraw, interval):
        tickers.append(self)

        def counted():
            redraw()
            ticks.append(1)
            if len(ticks) >= goal[0]:
                third.set()
        started(self, counted, interval)

    monkeypatch.setattr(progress._Ticker, "__init__", counting)
    before = set(threading.enumerate())
    with progress.progress_bar(4, "a stage", "step", enabled, tick=tick) as bar:
        bar.update(1)
        capsys.readouterr()
        goal[0] = len(ticks) + 3  # three redraws after this point
        third.clear()
        # One long step: no update until the ticker has redrawn three times.
        assert bool(tickers) == redrawn
        assert not redrawn or third.wait(30)
        during = capsys.readouterr().err
    assert set(threading.enumerate()) == before
    assert ("a stage: 1/4" in during or "a stage:  25%" in during) == drawn, during
