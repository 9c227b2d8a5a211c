"""Coming from RelBench: its Database and entity tasks as our tables and
training tables, batches with node times, labels and TensorFrames, text and
multi-category columns, and RelBench's own model code trained on our batches.

RelBench cannot download its datasets here, so the database and the task
are built from DataFrames."""

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
relbench_base = pytest.importorskip("relbench.base")

from rerozer_tables import Loader, Table, build_graph, load_graph, save_graph, training_table  # noqa: E402
from rerozer_tables.relbench import from_relbench, task_tables  # noqa: E402

START = pd.Timestamp("2024-01-01")
DAY = 86400


def shop(users=40, orders=400, seed=0):
    """Users with a plan (pro users order about four times as often) and
    their orders; times at microseconds, as pandas 3 holds them."""
    rng = np.random.default_rng(seed)
    plan = rng.choice(["free", "pro"], users)
    weight = np.where(plan == "pro", 4.0, 1.0)
    frame_users = pd.DataFrame({
        "user_id": np.arange(users),
        "joined": (START + pd.to_timedelta(rng.integers(0, 20, users), "D")).astype("datetime64[us]"),
        "plan": plan,
    })
    placed = START + pd.to_timedelta(np.sort(rng.integers(30 * DAY, 150 * DAY, orders)), "s")
    frame_orders = pd.DataFrame({
        "order_id": np.arange(orders),
        "user_id": rng.choice(users, orders, p=weight / weight.sum()),
        "at": placed.astype("datetime64[us]") + pd.to_timedelta(rng.integers(0, 10**6, orders), "us")
        .floor("s"),
        "stars": rng.integers(1, 6, orders),
        "total": rng.lognormal(3, 1, orders),
    })
    return relbench_base.Database({
        "users": relbench_base.Table(frame_users, {}, "user_id", "joined"),
        "orders": relbench_base.Table(frame_orders, {"user_id": "users"}, "order_id", "at"),
    })


class Shop(relbench_base.Dataset):
    val_timestamp = START + pd.Timedelta(days=110)
    test_timestamp = START + pd.Timedelta(days=130)

    def make_db(self):
        return shop()


class WillOrder(relbench_base.EntityTask):
    """Does the user order in the next 10 days?"""

    task_type = relbench_base.TaskType.BINARY_CLASSIFICATION
    entity_col, entity_table, time_col, target_col = "user_id", "users", "timestamp", "ordered"
    timedelta = pd.Timedelta(days=10)
    metrics = []

    def make_table(self, db, timestamps):
        users, orders = db.table_dict["users"].df, db.table_dict["orders"].df
        parts = []
        for t in timestamps:
            window = orders[(orders["at"] > t) & (orders["at"] <= t + self.timedelta)]
            alive = users[users["joined"] <= t]
            parts.append(pd.DataFrame({
                "timestamp": t, "user_id": alive["user_id"].to_numpy(),
                "ordered": alive["user_id"].isin(window["user_id"]).astype(int).to_numpy(),
            }))
        return relbench_base.Table(pd.concat(parts, ignore_index=True), {"user_id": "users"}, None,
                                   "timestamp")


@pytest.fixture(scope="module")
def task():
    return WillOrder(Shop())


def test_from_relbench_keeps_keys_times_and_features(task):
    database = task.get_db()
    tables = from_relbench(database)
    graph = build_graph(tables)
    orders = database.table_dict["orders"].df
    assert graph.edge_types == [("orders", "user_id", "users"), ("users", "rev_user_id", "orders")]
    # Microsecond times read as such: seconds since 1970, not 1000 times too small.
    expected = orders["at"].to_numpy().astype("datetime64[s]").astype(np.int64)
    np.testing.assert_array_equal(graph.node_time["orders"], expected)
    held = graph.features["orders"]
    assert (held.numerical, held.categorical) == (["total"], ["stars"])  # 1..5 is frequent
    assert graph.features["users"].categorical == ["plan"]


@pytest.mark.parametrize(
    ("declared", "numerical", "categorical"),
    [
        ({"orders": {"stars": "numerical"}}, ["stars"], []),
        ({"orders": {"total": "numerical", "stars": "categorical"}}, ["total"], ["stars"]),
        # get_stype_proposal declares the time column a timestamp: it stays a feature.
        ({"orders": {"at": "timestamp", "order_id": "numerical", "user_id": "numerical"}}, ["at"], []),
    ],
    ids=["declared-numerical-keeps-only-named", "both-declared", "time-column-a-timestamp"],
)
def test_col_to_stype_dict_declares_and_selects(task, declared, numerical, categorical):
    held = build_graph(from_relbench(task.get_db(), declared)).features["orders"]
    assert (held.numerical, held.categorical) == (numerical, categorical)


def test_col_to_stype_dict_refuses_types_without_a_counterpart(task):
    with pytest.raises(ValueError, match="orders.total is of the semantic type 'sequence_numerical'"):
        from_relbench(task.get_db(), {"orders": {"total": "sequence_numerical"}})


def test_task_tables_match_our_own_training_table(task):
    tables = from_relbench(task.get_db(upto_test_timestamp=False))
    parts = task_tables(task)
    assert [len(p) for p in parts] == [len(task.get_table(s, mask_input_cols=False).df)
                                       for s in ("train", "val", "test")]
    for part in parts:
        assert part.horizon == 10 * DAY and part.entity_table == "users"
        ours = training_table(tables, "users", np.unique(part.times), keys=None,
                              target=("orders", "user_id"), horizon=part.horizon, aggregate="exists")
        theirs = dict(zip(zip(part.keys.tolist(), part.times.tolist()), part.labels.tolist()))
        assert dict(zip(zip(ours.keys.tolist(), ours.times.tolist()), ours.labels.tolist())) == theirs


@pytest.mark.parametrize(("workers", "kind"), [(0, "thread"), (1, "process")],
                         ids=["in-turn", "worker-process"])
def test_batches_carry_labels_and_node_times(task, workers, kind):
    graph = build_graph(from_relbench(task.get_db()))
    train = task_tables(task)[0]
    loader = Loader(graph, "users", train.keys, train.times, batch_size=50, num_neighbors=[4, 4],
                    labels=train.labels, shuffle=True, workers=workers, worker_kind=kind)
    for batch in loader:
        np.testing.assert_array_equal(batch.y, train.labels[batch.example_index])
        for node_type, nodes in batch.out_node.items():
            np.testing.assert_array_equal(batch.time[node_type], graph.node_time[node_type][nodes])
    with pytest.raises(ValueError, match=r"labels must hold one label per example \(%d\), got 3"
                       % len(train)):
        Loader(graph, "users", train.keys, train.times, batch_size=50, num_neighbors=[4],
               labels=[1, 0, 1])


def embedder(calls):
    def embed(strings):
        calls.append(list(strings))
        return np.array([[len(s), s.count(" ")] for s in strings])
    return embed


def rich_graph(path, calls):
    items = Table({"id": [10, 11, 12, 13, 14], "shop": [1, 1, 1, 1, 1],
                   "note": ["a b c", None, "hi", "a b c", "x y"],
                   "tags": [["red", "big"], [], None, ["big"], ["red"]], "n": [1, 2, 3, 4, 5],
                   # With an embedder, strings with rare values are inferred to be text.
                   "sku": ["s 1", "s 2", "s 3", "s 4", "s 5"], "colour": ["red"] * 5},
                  primary_key="id", foreign_keys={"shop": "shops"}, text=["note"])
    tables = {"shops": Table({"id": [1]}, primary_key="id"), "items": items}
    save_graph(build_graph(tables, text_embedder=embedder(calls)), path)
    return load_graph(path)


@pytest.mark.parametrize("worker_kind", ["thread", "process"])
def test_text_and_multi_category_columns_survive_save_and_reach_the_batch(tmp_path, worker_kind):
    calls = []
    graph = rich_graph(tmp_path / "g", calls)
    assert calls == [["a b c", "hi", "x y"], ["s 1", "s 2", "s 3", "s 4", "s 5"]]  # once per value
    held = graph.features["items"]
    assert (held.numerical, held.categorical, held.text, held.multicategorical) == (
        ["n"], ["colour"], ["note", "sku"], ["tags"])
    loader = Loader(graph, "shops", [1], batch_size=1, num_neighbors=[-1], workers=1,
                    worker_kind=worker_kind)
    batch = next(iter(loader))
    assert batch.out_node["items"].tolist() == [0, 1, 2, 3, 4]
    np.testing.assert_array_equal(batch.x_text["items"],
                                  [[5, 2, 3, 1], [np.nan, np.nan, 3, 1], [2, 0, 3, 1],
                                   [5, 2, 3, 1], [3, 1, 3, 1]])
    offsets, codes = batch.x_multi["items"]
    vocabulary = held.vocabularies["tags"].tolist()
    lists = [[vocabulary[c] for c in codes[offsets[i]:offsets[i + 1]]] for i in range(5)]
    assert lists == [["red", "big"], [], [], ["big"], ["red"]]


@pytest.mark.torch
def test_tensor_frames_hold_text_and_multi_category_columns(tmp_path):
    pytest.importorskip("torch_frame")
    from rerozer_tables.frames import column_stats

    graph = rich_graph(tmp_path / "g", [])
    batch = next(iter(Loader(graph, "shops", [1], batch_size=1, num_neighbors=[-1])))
    frame = batch.to_hetero_data(tensor_frame=True)["items"].tf
    assert {str(k.value): v for k, v in frame.col_names_dict.items()} == {
        "numerical": ["n"], "categorical": ["colour"], "embedding": ["note", "sku"],
        "multicategorical": ["tags"]}
    by_name = {str(k.value): v for k, v in frame.feat_dict.items()}
    np.testing.assert_array_equal(by_name["embedding"].values.numpy(), batch.x_text["items"])
    assert by_name["multicategorical"][0, 0].tolist() == [1, 0]  # red, big
    stats = {column: {k.name: v for k, v in held.items()}
             for column, held in column_stats(graph)["items"].items()}
    assert stats["tags"] == {"MULTI_COUNT": (["big", "red"], [2, 2])}
    assert stats["note"] == {"EMB_DIM": 2} and stats["colour"] == {"COUNT": (["red"], [5])}
    assert stats["n"]["MEAN"] == 3.0 and stats["n"]["QUANTILES"] == [1.0, 2.0, 3.0, 4.0, 5.0]
    assert stats["n"]["STD"] == pytest.approx(2**0.5)  # of the values themselves, not an estimate
    assert list(column_stats(graph)["shops"]) == ["__const__"]


@pytest.mark.torch
@pytest.mark.training_run
def test_relbench_model_code_trains_on_our_batches(task):
    torch = pytest.importorskip("torch")
    nn = pytest.importorskip("relbench.modeling.nn")
    from rerozer_tables.frames import column_stats

    graph = build_graph(from_relbench(task.get_db()))
    train = task_tables(task)[0]
    loader = Loader(graph, "users", train.keys, train.times, batch_size=64, num_neighbors=[8, 8],
                    labels=train.labels, shuffle=True)
    stats = column_stats(graph)
    assert column_stats(graph) is stats  # computed once per graph
    first = next(iter(loader)).to_hetero_data(tensor_frame=True)
    names = {str(k.value): v for k, v in first["orders"].tf.col_names_dict.items()}
    assert names == {"numerical": ["total"], "categorical": ["stars"]}
    np.testing.assert_array_equal(first["orders"].time.numpy(),
                                  graph.node_time["orders"][first["orders"].n_id.numpy()])

    class Model(torch.nn.Module):
        """RelBench's example model, as its scripts build it."""

        def __init__(self, data):
            super().__init__()
            names = {t: data[t].tf.col_names_dict for t in data.node_types}
            self.encoder = nn.HeteroEncoder(16, names, stats)
            self.temporal = nn.HeteroTemporalEncoder(
                [t for t in data.node_types if "time" in data[t]], 16)
            self.gnn = nn.HeteroGraphSAGE(data.node_types, data.edge_types, 16)
            self.head = torch.nn.Linear(16, 1)

        def forward(self, data):
            seed_time = data["users"].seed_time
            x = self.encoder(data.tf_dict)
            for node_type, rel in self.temporal(seed_time, data.time_dict, data.batch_dict).items():
                x[node_type] = x[node_type] + rel
            x = self.gnn(x, data.edge_index_dict)
            return self.head(x["users"][: seed_time.size(0)]).squeeze(-1)

    torch.manual_seed(0)
    model = Model(first)
    optimizer = torch.optim.Adam(model.parameters(), lr=0.01)
    losses = []
    for _ in range(4):
        total = 0.0
        for batch in loader:
            data = batch.to_hetero_data(tensor_frame=True)
            loss = torch.nn.functional.binary_cross_entropy_with_logits(
                model(data), data["users"].y.float())
            optimizer.zero_grad()
            loss.backward()
            optimizer.step()
            total += loss.item() * batch.seed_node.size
        losses.append(total / len(train))
    assert losses[-1] < losses[0] - 0.02, losses


class FakeTask:
    """A task as task_tables reads it: a type, a window, a database and the
    three tables (the test table read with its targets)."""

    def __init__(self, task_type, frames, item_keys=None, **columns):
        self.task_type = relbench_base.TaskType(task_type) if task_type in {
            t.value for t in relbench_base.TaskType} else task_type
        self.timedelta, self.time_col, self.frames = pd.Timedelta(days=1), "timestamp", frames
        self.__dict__.update(columns)
        tables = {} if item_keys is None else {
            "songs": relbench_base.Table(pd.DataFrame({"song_id": item_keys}), {}, "song_id", None)}
        self.database = relbench_base.Database(tables)

    def get_db(self, upto_test_timestamp=True):
        return self.database

    def get_table(self, split, mask_input_cols=None, db=None):
        assert mask_input_cols is False and db is self.database
        return relbench_base.Table(self.frames[split], {}, None, "timestamp")


def frames(**columns):
    times = pd.to_datetime(["2024-01-01", "2024-01-02", "2024-01-03"])
    return {split: pd.DataFrame({"timestamp": times[i:i + 1], **{k: v[i:i + 1] for k, v in columns.items()}})
            for i, split in enumerate(("train", "val", "test"))}


@pytest.mark.parametrize(("task_type", "target", "labels"), [
    ("regression", [2.5, 0.0, -1.0], [[2.5], [0.0], [-1.0]]),
    ("multiclass_classification", [2, 0, 1], [[2.0], [0.0], [1.0]]),
    ("multilabel_classification", [[1, 0, 1], np.array([0, 0, 1]), (1, 1, 0)],
     [[[1.0, 0.0, 1.0]], [[0.0, 0.0, 1.0]], [[1.0, 1.0, 0.0]]]),
])
def test_task_tables_takes_every_entity_task_type(task_type, target, labels):
    task = FakeTask(task_type, frames(user_id=[7, 8, 9], y=pd.Series(list(target), dtype=object)),
                    entity_table="users", entity_col="user_id", target_col="y")
    parts = task_tables(task)
    assert [part.labels.tolist() for part in parts] == labels
    assert [part.keys.tolist() for part in parts] == [[7], [8], [9]]
    assert parts[2].times.tolist() == [int(pd.Timestamp("2024-01-03").timestamp())]
    assert parts[0].horizon == 86400 and parts[0].entity_table == "users"


def test_task_tables_gives_recommendation_tasks_link_tables():
    # Items as keys of the item table, repeated and out of order in a list.
    task = FakeTask("recommendation", frames(user_id=[1, 2, 3], song_id=[[30, 10, 30], [], [20]]),
                    item_keys=[10, 30, 20], src_entity_table="users", src_entity_col="user_id",
                    dst_entity_table="songs", dst_entity_col="song_id")
    train, val, test = task_tables(task)
    assert (train.source_table, train.item_table, train.horizon) == ("users", "songs", 86400)
    assert [(p.keys.tolist(), p.offsets.tolist(), p.items.tolist()) for p in (train, val, test)] == [
        ([1], [0, 2], [0, 1]), ([2], [0, 0], []), ([3], [0, 1], [2])]  # row positions, distinct
    task.frames["val"] = task.frames["val"].assign(song_id=[[40]])
    with pytest.raises(ValueError, match=r"the val table of FakeTask.song_id: item 40 matches no row"):
        task_tables(task)


def test_task_tables_refuses_other_task_types_by_name():
    task = FakeTask("link_prediction", frames(user_id=[1, 2, 3]))
    with pytest.raises(ValueError, match="FakeTask is a task of type 'link_prediction', which "
                                         "task_tables does not take: it takes binary_classification"):
        task_tables(task)


@pytest.mark.torch
@pytest.mark.filterwarnings("ignore:The given NumPy array is not writable",  # PyTorch Frame's own
                            "ignore:Series.dt.dayofweek is deprecated")
def test_timestamp_features_reach_tensor_frames_as_pytorch_frame_encodes_them(task):
    torch = pytest.importorskip("torch")
    torch_frame = pytest.importorskip("torch_frame")
    nn = pytest.importorskip("relbench.modeling.nn")
    from torch_frame.data.mapper import TimestampTensorMapper
    from torch_frame.data.stats import compute_col_stats

    from rerozer_tables.frames import column_stats

    database = task.get_db()
    orders = database.table_dict["orders"].df
    # Whole days, which float32 seconds hold exactly (not every minute); one null.
    shipped = (orders["at"] + pd.to_timedelta(np.arange(len(orders)) % 5, "D")).dt.floor("D")
    orders["shipped"] = shipped.where(np.arange(len(orders)) != 3)
    graph = build_graph(from_relbench(database))
    batch = next(iter(Loader(graph, "users", [0, 1, 2], [10**10] * 3, batch_size=3, num_neighbors=[-1])))
    frame = batch.to_hetero_data(tensor_frame=True)["orders"].tf
    names = {str(k.value): v for k, v in frame.col_names_dict.items()}
    assert names["timestamp"] == ["shipped"] and names["numerical"] == ["total"]
    expected = TimestampTensorMapper.to_tensor(orders["shipped"].iloc[batch.out_node["orders"]])
    assert torch.equal(frame.feat_dict[torch_frame.stype.timestamp][:, 0], expected)
    assert frame.feat_dict[torch_frame.stype.timestamp].shape == (batch.out_node["orders"].size, 1, 7)
    ours = column_stats(graph)["orders"]["shipped"]
    theirs = compute_col_stats(orders["shipped"], torch_frame.stype.timestamp)
    assert set(ours) == set(theirs)
    for stat, value in theirs.items():
        assert (list(map(int, value)) == list(map(int, ours[stat]))), stat
    # RelBench's encoder takes the frame with these statistics.
    encoder = nn.HeteroEncoder(8, {"orders": frame.col_names_dict}, {"orders": column_stats(graph)["orders"]})
    assert encoder({"orders": frame})["orders"].shape == (frame.num_rows, 8)
