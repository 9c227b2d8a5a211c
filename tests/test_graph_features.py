"""Feature columns: their encoding, their place in the graph (row order of
the node ids), saving and memory-mapping, read_sqlite, and the rows a batch
gathers for its sampled nodes."""

import dataclasses
import json
import re
import sqlite3

import numpy as np
import pytest

from rerozer_tables import (
    Loader, Table, build_graph, check_graph, load_graph, read_parquet, read_sqlite, save_graph,
)
from rerozer_tables.graph.features import encode_features
from rerozer_tables.inference import high_cardinality

NAN = float("nan")


def encoded(columns, unit="s", **options):
    return encode_features("t", Table(columns, **options), unit)


@pytest.mark.parametrize("kind", ["categorical", "text", "multicategorical", "parquet"])
def test_trailing_nul_strings_keep_their_own_codes_through_save_and_load(tmp_path, kind):
    values, options = ["a\0", "a", "a\0"], {}
    if kind == "parquet":
        pa, parquet = pytest.importorskip("pyarrow"), pytest.importorskip("pyarrow.parquet")
        parquet.write_table(pa.table({"v": values}), tmp_path / "t.parquet")
        tables = read_parquet(tmp_path)
    else:
        if kind == "text":
            options = dict(text_embedder=lambda strings: np.zeros((len(strings), 1), np.float32))
        column = [[v] for v in values] if kind == "multicategorical" else values
        tables = {"t": Table({"v": column}, **({"text": ["v"]} if kind == "text" else {}))}
    save_graph(build_graph(tables, **options), tmp_path / "g")
    loaded = load_graph(tmp_path / "g").features["t"]
    codes = {"text": loaded.x_text, "multicategorical": loaded.multi_codes}.get(kind, loaded.x_cat)
    assert loaded.vocabularies["v"].tolist() == ["a", "a\0"]
    assert np.asarray(codes).ravel().tolist() == [1, 0, 1]


@pytest.mark.parametrize(
    ("values", "expected"),
    [
        ([3, 1, 2], [3.0, 1.0, 2.0]),
        ([0.5, None, 2.0], [0.5, NAN, 2.0]),
        (np.array([1.5, np.nan]), [1.5, NAN]),
        ([True, False, None], [1.0, 0.0, NAN]),
        (np.array(["2024-01-01T00:01", "NaT"], dtype="datetime64[m]"), [1704067260.0, NAN]),
        (np.array([2**40 + 1], dtype=np.int64), [float(np.float32(2**40))]),
        (np.array([90, "NaT"], dtype="timedelta64[s]"), [90.0, NAN]),
        ([2] * 5 + [3] * 4, [2.0] * 5 + [3.0] * 4),
    ],
    ids=["ints", "floats-with-none", "floats-with-nan", "bools-with-none", "timestamps", "big-int",
         "durations-with-nat", "ints-one-value-seen-4-times"],
)
def test_numerical_columns_are_float32_with_nan_for_null(values, expected):
    features = encoded({"v": values})
    assert features.numerical == ["v"] and features.categorical == []
    assert features.x.dtype == np.float32 and features.x.shape == (len(expected), 1)
    np.testing.assert_array_equal(features.x[:, 0], np.array(expected, dtype=np.float32))


def test_timestamps_are_numbers_in_the_graph_unit():
    days = encoded({"v": np.array(["1970-01-03", "1970-01-01T12"], dtype="datetime64[h]")}, "D")
    assert days.x[:, 0].tolist() == [2.0, 0.0]  # rounded down to whole days


@pytest.mark.parametrize(
    ("values", "options", "codes", "vocabulary"),
    [
        (["b", None, "a", "b"], {}, [1, -1, 0, 1], ["a", "b"]),
        (np.array([b"x", b"y"]), {}, [0, 1], ["x", "y"]),
        ([30, 10, 30, None], {"categorical": ["v"]}, [1, 0, 1, -1], [10, 30]),
        (["a\0", "a", None, "a\0\0"], {}, [1, 0, -1, 2], ["a", "a\0", "a\0\0"]),
        ([3] * 5 + [1] * 5 + [None], {}, [1] * 5 + [0] * 5 + [-1], [1, 3]),
        ("Int64", {}, [1] * 5 + [0] * 5 + [-1], [1, 3]),
        (["é", "", "b", None, "é"], {}, [2, 0, 1, -1, 2], ["", "b", "é"]),
        (np.array([4, -3, 4, 0], np.int8), {"categorical": ["v"]}, [2, 0, 2, 1], [-3, 0, 4]),
        ([2**62, -5, 2**62], {"categorical": ["v"]}, [1, 0, 1], [-5, 2**62]),
    ],
    ids=["strings", "bytes", "declared-integers", "trailing-nuls-differ",
         "ints-every-value-seen-5-times", "pandas-nullable-ints-as-the-same-list",
         "strings-non-ascii-and-empty", "small-ints-declared", "ints-spread-wide"],
)
@pytest.mark.parametrize("hashed", [True, False], ids=["hashed", "without-pyarrow"])
def test_categorical_columns_are_codes_into_a_sorted_vocabulary(
    monkeypatch, values, options, codes, vocabulary, hashed
):
    from rerozer_tables.tables import text_hash

    if not hashed:
        monkeypatch.setattr(text_hash, "_arrow", lambda: None)
    if isinstance(values, str):  # "Int64": pandas' nullable integers are inferred as the same list would be
        values = pytest.importorskip("pandas").array([3] * 5 + [1] * 5 + [None], dtype="Int64")
    features = encoded({"v": values}, **options)
    assert features.categorical == ["v"] and features.numerical == []
    assert features.x_cat.dtype == np.int64
    assert features.x_cat[:, 0].tolist() == codes
    assert features.vocabularies["v"].tolist() == vocabulary


# 150 distinct zip codes in 200 rows, 120 distinct cities (each at least
# once), and a size with 5 values (each 40 times).
ZIPS = [f"{i:05d}" for i in range(150)] + ["00000"] * 50
PLACES = {"zip": ZIPS, "city": [f"c{i % 120}" for i in range(200)], "size": ["s", "m", "l", "xl", "xs"] * 40}


@pytest.mark.parametrize(("options", "embed", "categorical", "text", "left_out"), [
    ({}, False, ["size"], [], {"zip": 150, "city": 120}),
    ({}, True, ["size"], ["zip", "city"], {}),
    ({"categorical": ["zip"]}, False, ["zip", "size"], [], {"city": 120}),
    ({"features": ["size"]}, False, ["size"], [], {}),
], ids=["left-out", "text-with-an-embedder", "declared-categorical-wins", "not-a-feature"])
def test_strings_with_nearly_one_value_per_row_are_no_categories(tmp_path, options, embed, categorical, text,
                                                                  left_out):
    embedder = (lambda strings: np.ones((len(strings), 2), np.float32)) if embed else None
    graph = build_graph({"places": Table(dict(PLACES), **options)}, text_embedder=embedder)
    held = graph.features["places"]
    assert (held.categorical, held.text, held.left_out) == (categorical, text, left_out)
    report = [line for line in check_graph(graph) if "too many for categories" in line]
    assert report == [f"places.{column}: {n:,} distinct strings in 200 rows are too many for categories, so "
                      "the column was left out of the features; give build_graph a text_embedder to "
                      "embed it as text, or declare it categorical" for column, n in left_out.items()]
    save_graph(graph, tmp_path / "g")
    assert load_graph(tmp_path / "g").features["places"].left_out == left_out


@pytest.mark.parametrize(("distinct", "rows", "expected"), [
    (100, 199, 100), (99, 150, None), (100, 200, None), (10_001, 30_000, 10_001), (10_000, 30_000, None),
], ids=["at-the-minimum", "below-the-minimum", "half-the-rows", "over-the-maximum", "at-the-maximum"])
def test_high_cardinality_bounds(distinct, rows, expected):
    values = np.array([f"v{i % distinct}" for i in range(rows)])
    assert high_cardinality(values) == expected


def test_keys_and_time_are_not_features_and_features_selects():
    columns = {"id": [1, 2], "parent": [1, 1], "at": [5, 6], "n": [1.0, 2.0], "s": ["a", "b"]}
    keys = {"primary_key": "id", "foreign_keys": {"parent": "t"}, "time_column": "at"}
    every = encoded(columns, **keys)
    assert (every.numerical, every.categorical) == (["n"], ["s"])
    chosen = encoded(columns, **keys, features=["s"])
    assert (chosen.numerical, chosen.categorical, chosen.x.shape) == ([], ["s"], (2, 0))
    none = encoded(columns, **keys, features=[])
    assert none.x.shape == (2, 0) and none.x_cat.shape == (2, 0)
    dated = encoded({**columns, "at": np.array([5, 6], "datetime64[s]")}, **keys, features=["at", "n"])
    assert (dated.numerical, dated.timestamps, dated.x[:, 0].tolist()) == (["at", "n"], ["at"], [5, 6])


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"features": ["nope"]}, "features names the column 'nope', which is not one of 'id', 'v'"),
        ({"features": ["id"]}, "features names 'id', which is the primary key, not a feature"),
        ({"categorical": ["id"]}, "categorical names 'id', which is the primary key, not a feature"),
        ({"time_column": "v", "numerical": ["v"]}, "numerical names 'v', which is the time column, not a feature"),
        ({"features": [], "categorical": ["v"]}, "categorical names 'v', which is not one of the features"),
        ({"categorical": ["v"], "numerical": ["v"]}, "numerical names 'v', which categorical names too"),
    ],
    ids=["unknown", "key-as-feature", "key-as-category", "time-declared", "category-not-selected",
         "declared-twice"],
)
def test_feature_options_are_checked(options, message):
    with pytest.raises(ValueError) as error:
        Table({"id": [1], "v": [2]}, primary_key="id", **options)
    assert str(error.value) == message


@pytest.mark.parametrize(
    ("columns", "options", "message"),
    [
        ({"v": [1.5, 2.5]}, {"categorical": ["v"]}, "t.v is declared categorical but holds float64 values"),
        ({"v": [object(), object()]}, {}, "t.v holds object values that are neither numbers"),
        ({"v": np.array([b"ok", b"\xff"])}, {}, "t.v holds bytes that are not UTF-8 text"),
        ({"v": [1, 2**64]}, {}, "t.v holds an integer beyond int64"),
        ({"v": np.array(["2300-01-01"], "datetime64[D]")}, {"unit": "ns"},
         "t.v row 0: 2300-01-01 lies outside the range of time_unit 'ns'"),
        ({"v": ["a", "b"]}, {"text": ["v"]}, "t.v is declared text, but no text_embedder was given"),
        ({"v": ["a", "b"]}, {"numerical": ["v"]}, "t.v is declared numerical but holds <U1 values"),
        ({"v": [1, 2]}, {"text": ["v"]}, "t.v is declared text but holds int64 values"),
    ],
    ids=["float-category", "objects", "not-utf-8", "beyond-int64", "datetime-out-of-range",
         "text-without-embedder", "numerical-strings", "text-ints"],
)
def test_columns_that_cannot_be_encoded_name_table_and_column(columns, options, message):
    with pytest.raises(ValueError, match=message):
        encoded(columns, **options)


def strict_embedder(strings):
    assert strings, "an embedder need not embed nothing"
    return np.ones((len(strings), 3), np.float32)


@pytest.mark.parametrize("column, declared", [
    (np.zeros(0, "<U1"), []),             # an empty table's string column, inferred text
    (np.zeros(0, np.int64), ["v"]),       # an empty table as read_sqlite gives it
    ([None, None], ["v"]),                # every value null
], ids=["empty-strings", "empty-declared", "all-null-declared"])
def test_text_columns_without_a_value_embed_nothing(column, declared):
    held = build_graph({"t": Table({"v": column}, text=declared)}, text_embedder=strict_embedder).features["t"]
    assert held.text == ["v"] and held.embeddings["v"].shape == (0, 3)
    assert np.asarray(held.x_text).ravel().tolist() == [-1] * len(column)


def shop_tables():
    return {
        "users": Table(
            {"id": ["u2", "u1", "u3"], "joined": [1, 2, 3], "age": [30, None, 41],
             "plan": ["pro", "free", None]},
            primary_key="id", time_column="joined", categorical=["plan"],
        ),
        "posts": Table(
            {"by": ["u1", "u1", "u2", "u3", "u2"], "at": [5, 3, 4, 9, 6],
             "likes": [1.0, 2.0, 3.0, 4.0, 5.0], "lang": ["en", "de", "en", "fr", "de"]},
            foreign_keys={"by": "users"}, time_column="at", categorical=["lang"],
        ),
    }


def test_graph_features_follow_the_row_order_and_survive_save_and_mmap(tmp_path):
    graph = build_graph(shop_tables())
    users = graph.features["users"]
    # Row p is node p: the table's row p, whatever the key order.
    assert graph.key("users", [0, 1, 2]).tolist() == ["u2", "u1", "u3"]
    np.testing.assert_array_equal(users.x[:, 0], np.array([30, NAN, 41], np.float32))
    assert users.x_cat[:, 0].tolist() == [1, 0, -1]
    save_graph(graph, tmp_path / "g")
    for mmap in (True, False):
        loaded = load_graph(tmp_path / "g", mmap=mmap)
        for node_type, held in graph.features.items():
            again = loaded.features[node_type]
            assert (again.numerical, again.categorical) == (held.numerical, held.categorical)
            np.testing.assert_array_equal(again.x, held.x)
            np.testing.assert_array_equal(again.x_cat, held.x_cat)
            assert again.x.shape == held.x.shape and again.x_cat.shape == held.x_cat.shape
            for name, vocabulary in held.vocabularies.items():
                assert again.vocabularies[name].tolist() == vocabulary.tolist()
        assert isinstance(loaded.features["posts"].x, np.memmap) == mmap


def edit_manifest(change):
    def edit(path):
        manifest = json.loads((path / "manifest.json").read_text())
        change(manifest)
        (path / "manifest.json").write_text(json.dumps(manifest))
    return edit


def drop_vocabulary(manifest):
    manifest["arrays"] = [e for e in manifest["arrays"] if e["name"][0] != "vocabulary"]


# users is node0 (x: age; x_cat: plan), posts node1 (x: likes; x_cat: lang).
@pytest.mark.parametrize(("damage", "file", "message"), [
    pytest.param(lambda p: np.save(p / "node0.x.npy", np.zeros((3, 1), np.float64)), "node0.x.npy",
                 r"holds <f8 of shape \(3, 1\), but the manifest gives x\['users'\], <f4 of shape \(3, 1\)",
                 id="x-float64"),
    pytest.param(lambda p: np.save(p / "node1.x_cat.npy", np.zeros((5, 2), np.int64)),
                 "node1.x_cat.npy", r"holds <i8 of shape \(5, 2\), but the manifest gives x_cat\['posts'\]",
                 id="x_cat-other-shape"),
    pytest.param(lambda p: np.save(p / "node1.x.npy", np.zeros(5, np.float32)), "node1.x.npy",
                 r"holds <f4 of shape \(5,\), but the manifest gives x\['posts'\]", id="x-one-dimensional"),
    pytest.param(edit_manifest(lambda m: m["features"]["users"]["numerical"].append("extra")),
                 "manifest.json", r"gives x\['users'\] as float32 of shape \(3, 1\), but 2 float32 columns",
                 id="more-column-names"),
    pytest.param(edit_manifest(drop_vocabulary), "manifest.json",
                 r"gives vocabularies of 'users' for \[\], but its categorical columns are \['plan'\]",
                 id="no-vocabulary"),
    pytest.param(edit_manifest(lambda m: m["features"].pop("posts")), "manifest.json",
                 "gives feature arrays of 'posts' but no feature columns for it", id="no-column-names"),
    pytest.param(edit_manifest(lambda m: m.update(features={"users": ["age"]})), "manifest.json",
                 "features is not an object of numerical, categorical and timestamp column lists",
                 id="column-names-malformed"),
    pytest.param(edit_manifest(lambda m: m.update(left_out_columns={"users": {"name": -1}})), "manifest.json",
                 "left_out_columns is not an object of counts per column", id="left-out-malformed"),
    pytest.param(edit_manifest(lambda m: m.update(left_out_columns={"nobody": {"name": 3}})), "manifest.json",
                 "names left-out columns of 'nobody' but no feature columns for it", id="left-out-of-no-type"),
    pytest.param(edit_manifest(lambda m: m["num_nodes"].update(users=2)), "node0.x.npy",
                 r"holds x\['users'\] with 3 rows, but users has 2 nodes", id="more-rows-than-nodes"),
    pytest.param(edit_manifest(lambda m: m["num_nodes"].update(users=4)), "node0.x.npy",
                 r"holds x\['users'\] with 3 rows, but users has 4 nodes", id="fewer-rows-than-nodes"),
])
def test_damaged_feature_files_and_names_are_refused(tmp_path, damage, file, message):
    path = tmp_path / "g"
    save_graph(build_graph(shop_tables()), path)
    damage(path)
    for mmap in (True, False):
        with pytest.raises(ValueError, match="^" + re.escape(f"{path}/{file}: ") + message):
            load_graph(path, mmap=mmap)


def set_code(code):
    def change(graph):
        graph.features["users"].x_cat[0, 0] = code
    return change


def unsort_vocabulary(graph):
    graph.features["users"].vocabularies["plan"][:] = ["pro", "free"]


def replace(node_type, **arrays):
    def change(graph):
        graph.features[node_type] = dataclasses.replace(graph.features[node_type], **arrays)
    return change


def films_table():
    """Films (node2) with title codes [0, 1, 2] and genre lists [a], [c, b],
    [b]: offsets [0, 1, 3, 4], codes [0, 2, 1, 1]."""
    return Table({"genres": [["a"], ["c", "b"], ["b"]], "title": ["x", "y", "z"]}, text=["title"])


@pytest.mark.parametrize(("change", "file", "message"), [
    pytest.param(set_code(2), "node0.x_cat.npy", "x_cat['users'] row 0 holds code 2 for plan, outside [-1, 2)",
                 id="code-past-vocabulary"),
    pytest.param(set_code(-2), "node0.x_cat.npy", "x_cat['users'] row 0 holds code -2 for plan", id="code-below-null"),
    pytest.param(unsort_vocabulary, "node0.vocab0.npy",
                 "the vocabulary of users.plan is not sorted and distinct: 'pro' at position 0, then 'free'",
                 id="vocabulary-unsorted"),
    pytest.param(lambda g: replace("users", x=g.features["users"].x[:2])(g), "node0.x.npy",
                 "x['users'] has 2 rows, but users has 3 nodes (num_nodes)", id="too-few-rows"),
    pytest.param(replace("films", x_text=np.array([[0], [7], [1]])), "node2.x_text.npy",
                 "x_text['films'] row 1 holds code 7 for title, outside [-1, 3)", id="text-code-past-vocabulary"),
    pytest.param(replace("films", x_text=np.array([[0], [1]])), "node2.x_text.npy",
                 "x_text['films'] has 2 rows, but films has 3 nodes (num_nodes)", id="text-too-few-rows"),
    pytest.param(replace("films", embeddings={"title": np.ones((2, 2), np.float32)}), "node2.embedding0.npy",
                 "the embedding of films.title has shape (2, 2), but its vocabulary has 3 entries",
                 id="embedding-too-few-rows"),
    pytest.param(replace("films", multi_codes=np.array([0, 2, -1, 1])), "node2.multi_codes.npy",
                 "multi_codes['films'] position 2 (row 1) holds code -1 for genres, outside [0, 3)",
                 id="list-code-null"),
    pytest.param(replace("films", multi_offsets=np.array([0, 3, 1, 4])), "node2.multi_offsets.npy",
                 "multi_offsets['films'] decreases at position 2: 3 then 1", id="list-offsets-decreasing"),
    pytest.param(replace("films", multi_offsets=np.array([0, 1, 4])), "node2.multi_offsets.npy",
                 "multi_offsets['films'] has 3 entries, but films has 3 nodes (num_nodes) and 1 "
                 "multi-category columns, so it needs 4", id="list-offsets-short"),
    pytest.param(replace("films", vocabularies={"title": np.array(["x", "y", "z"]),
                                                "genres": np.array(["a", "c", "c"])}), "node2.vocab1.npy", "the vocabulary of films.genres is not sorted and distinct: 'c' at position 1",
                 id="list-vocabulary-repeated"),
])
def test_check_graph_checks_codes_vocabularies_and_feature_rows(tmp_path, change, file, message):
    embedder = lambda strings: np.ones((len(strings), 2), np.float32)  # noqa: E731
    save_graph(build_graph({**shop_tables(), "films": films_table()}, text_embedder=embedder), tmp_path / "g")
    graph = load_graph(tmp_path / "g", mmap=False)
    change(graph)
    with pytest.raises(ValueError, match="^" + re.escape(f"{tmp_path / 'g'}/{file}: {message}")):
        check_graph(graph)


def test_swapped_feature_values_are_found_by_the_checksum(tmp_path):
    path = tmp_path / "g"
    save_graph(build_graph(shop_tables()), path)
    with open(path / "node1.x.npy", "r+b") as handle:  # posts' likes: 1.0, 2.0, ...
        np.lib.format.read_magic(handle)
        np.lib.format.read_array_header_1_0(handle)
        offset = handle.tell()
        first, second = handle.read(4), handle.read(4)
        handle.seek(offset)
        handle.write(second + first)
    graph = load_graph(path)
    assert graph.features["posts"].x[:2, 0].tolist() == [2.0, 1.0]
    message = "^" + re.escape(f"{path}/node1.x.npy: the CRC-32 of x['posts'] is ")
    with pytest.raises(ValueError, match=message):
        check_graph(graph, verify=True)
    with pytest.raises(ValueError, match=message):
        load_graph(path, verify=True)


def test_read_sqlite_reads_feature_columns_in_rowid_order(tmp_path):
    path = tmp_path / "db.sqlite"
    connection = sqlite3.connect(path)
    connection.executescript("""
        CREATE TABLE users (id TEXT PRIMARY KEY, joined TIMESTAMP NOT NULL, score REAL,
                            visits INTEGER, city TEXT, last_seen DATETIME, flagged BOOLEAN);
        INSERT INTO users VALUES ('b', '2024-01-01', 1.5, 3, 'oslo', '1970-01-02 00:00:00', 1);
        INSERT INTO users VALUES ('a', '2024-01-02', NULL, NULL, NULL, NULL, 0);
        INSERT INTO users VALUES ('c', '2024-01-03', 2.0, 7, 'bergen', '1970-01-01 00:01:00', NULL);
    """)
    connection.commit()
    connection.close()
    # Several timestamp columns: the one named is the time, the other a feature.
    tables = read_sqlite(path, time_columns={"users": "joined"})
    graph = build_graph(tables)
    users = graph.features["users"]
    assert users.numerical == ["score", "visits", "last_seen", "flagged"]
    assert users.categorical == ["city"]
    np.testing.assert_array_equal(
        users.x,
        np.array([[1.5, 3, 86400, 1], [NAN, NAN, NAN, 0], [2.0, 7, 60, NAN]], dtype=np.float32),
    )
    assert users.x_cat[:, 0].tolist() == [1, -1, 0]
    assert users.vocabularies["city"].tolist() == ["bergen", "oslo"]
    declared = build_graph(read_sqlite(path, time_columns={"users": "joined"},
                                       categorical={"Users": ["visits"]},
                                       features={"users": ["visits", "city"]})).features["users"]
    assert (declared.numerical, declared.categorical) == ([], ["visits", "city"])
    with pytest.raises(ValueError, match="text names the table 'posts', which the database does not have"):
        read_sqlite(path, time_columns={"users": "joined"}, text={"posts": ["body"]})


@pytest.mark.parametrize(
    ("workers", "kind", "strategy"),
    [(0, "thread", "last"), (2, "thread", "last"), (2, "process", "last"), (2, "thread", "uniform")],
    ids=["in-turn", "worker-threads", "worker-processes", "worker-threads-uniform"],
)
def test_batches_carry_the_feature_rows_of_their_sampled_nodes(tmp_path, workers, kind, strategy):
    save_graph(build_graph(shop_tables()), tmp_path / "g")
    graph = load_graph(tmp_path / "g")
    loader = Loader(
        graph, "users", ["u1", "u2", "u3", "u1"], [4, 9, 9, 9], batch_size=2, workers=workers,
        worker_kind=kind, temporal_strategy=strategy,
        num_neighbors={("posts", "by", "users"): [-1], ("users", "rev_by", "posts"): [0]},
    )
    batches = list(loader)
    assert len(batches) == 2
    for batch in batches:
        assert batch.entity_table == "users"
        assert set(batch.x) == {"users", "posts"} and set(batch.x_cat) == {"users", "posts"}
        for node_type, nodes in batch.out_node.items():
            held = graph.features[node_type]
            np.testing.assert_array_equal(batch.x[node_type], held.x[nodes])
            np.testing.assert_array_equal(batch.x_cat[node_type], held.x_cat[nodes])
            assert batch.x[node_type].dtype == np.float32
    posts = batches[0].out_node["posts"]
    assert posts.size > 0  # the gather was not vacuous


def test_a_loader_without_features_and_a_graph_without_them():
    graph = build_graph(shop_tables())
    quiet = Loader(graph, "users", ["u1"], [9], batch_size=1, features=False,
                   num_neighbors={("posts", "by", "users"): [-1]})
    assert next(iter(quiet)).x == {}
    bare = build_graph({name: Table(t.columns, primary_key=t.primary_key,
                                    foreign_keys=t.foreign_keys, time_column=t.time_column,
                                    features=[])
                        for name, t in shop_tables().items()})
    batch = next(iter(Loader(bare, "users", ["u1"], [9], batch_size=1,
                             num_neighbors={("posts", "by", "users"): [-1]})))
    assert batch.x["posts"].shape == (batch.out_node["posts"].size, 0)
    assert {t: a.shape for t, a in batch.x_cat.items()} == {
        t: (batch.out_node[t].size, 0) for t in ("users", "posts")}
