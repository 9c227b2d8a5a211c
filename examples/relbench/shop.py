"""The demo shop (examples/database.py) as a RelBench ``Dataset`` with two
tasks, so that the RelBench scripts beside this file run where RelBench's
hosted datasets cannot be downloaded (and in the tests):

- ``CustomerOrders`` (entity, binary classification): does a customer place
  an order in the 30 days after the cut-off?
- ``CustomerProducts`` (recommendation): which products does a customer buy
  in those 30 days?

``ShopDataset(scale)`` makes the shop at ``scale`` times the demo's size.
The keys are renumbered 0..n-1 in row order, as RelBench requires.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pandas as pd
from relbench.base import Database, Dataset, EntityTask, RecommendationTask, Table, TaskType
from relbench.metrics import map as link_prediction_map
from relbench.metrics import roc_auc

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from database import START, Sizes, make_tables  # noqa: E402

DAY = 86400


def _frame(table):
    return pd.DataFrame({
        # Nanoseconds, as RelBench's own datasets hold times and its graph reads them.
        name: (pd.to_datetime(values).astype("datetime64[ns]") if np.asarray(values).dtype.kind == "M"
               else np.asarray(values))
        for name, values in table.columns.items()
    })


def shop_database(scale: float = 0.05, seed: int = 0) -> Database:
    """The demo shop's tables, rows in time order, keys renumbered 0..n-1 in
    row order (so that the rows up to any time keep keys 0..m-1)."""
    tables = make_tables(Sizes().scaled(scale), seed=seed)
    frames = {name: _frame(table) for name, table in tables.items()}
    for name, table in tables.items():
        if table.time_column is not None:
            frames[name] = frames[name].sort_values(table.time_column, kind="stable", ignore_index=True)
    renumbered = {}
    for name, table in tables.items():
        if table.primary_key is not None:
            keys = frames[name][table.primary_key]
            renumbered[name] = pd.Series(np.arange(len(keys)), index=keys.to_numpy())
            frames[name][table.primary_key] = np.arange(len(keys))
    for name, table in tables.items():
        for column, parent in table.foreign_keys.items():
            frames[name][column] = renumbered[parent].reindex(frames[name][column].to_numpy()).to_numpy()
    return Database({
        name: Table(frames[name], dict(table.foreign_keys), table.primary_key, table.time_column)
        for name, table in tables.items()
    })


class ShopDataset(Dataset):
    """The demo shop: two years from 2023-01-01; validation from day 600, test from day 665."""

    val_timestamp = pd.Timestamp(START + 600 * DAY, unit="s").as_unit("ns")
    test_timestamp = pd.Timestamp(START + 665 * DAY, unit="s").as_unit("ns")

    def __init__(self, scale: float = 0.05, seed: int = 0) -> None:
        self.scale, self.seed = scale, seed

    def make_db(self) -> Database:
        return shop_database(self.scale, self.seed)


def _orders_after(db: Database, timestamps: pd.Series, span: pd.Timedelta) -> pd.DataFrame:
    """Per cut-off, the orders placed in (t, t + span], with their customers."""
    orders = db.table_dict["orders"].df
    parts = []
    for t in timestamps:
        window = orders[(orders["placed_at"] > t) & (orders["placed_at"] <= t + span)]
        parts.append(window.assign(timestamp=t))
    return pd.concat(parts, ignore_index=True)


def _in_ns(parts: list[pd.DataFrame]) -> pd.DataFrame:
    """The task table, its cut-off times in nanoseconds (RelBench's graph
    code reads every time as nanoseconds)."""
    frame = pd.concat(parts, ignore_index=True)
    frame["timestamp"] = frame["timestamp"].astype("datetime64[ns]")
    return frame


class CustomerOrders(EntityTask):
    """Does a customer who has signed up place an order in the next 30 days?"""

    task_type = TaskType.BINARY_CLASSIFICATION
    entity_col, entity_table, time_col, target_col = "customer_id", "customers", "timestamp", "ordered"
    timedelta = pd.Timedelta(days=30)
    metrics = [roc_auc]

    def make_table(self, db: Database, timestamps: pd.Series) -> Table:
        customers = db.table_dict["customers"].df
        placed = _orders_after(db, timestamps, self.timedelta)
        parts = []
        for t in timestamps:
            alive = customers[customers["signed_up"] <= t]["id"].to_numpy()
            buyers = placed[placed["timestamp"] == t]["customer_id"].to_numpy()
            parts.append(pd.DataFrame({"timestamp": t, "customer_id": alive,
                                       "ordered": np.isin(alive, buyers).astype(int)}))
        return Table(_in_ns(parts), {"customer_id": "customers"}, None, "timestamp")


class CustomerProducts(RecommendationTask):
    """Which products does a customer buy in the next 30 days?"""

    task_type = TaskType.RECOMMENDATION
    src_entity_col, src_entity_table = "customer_id", "customers"
    dst_entity_col, dst_entity_table = "product_id", "products"
    time_col = "timestamp"
    timedelta = pd.Timedelta(days=30)
    metrics = [link_prediction_map]
    eval_k = 10

    def make_table(self, db: Database, timestamps: pd.Series) -> Table:
        items = db.table_dict["order_items"].df
        orders = db.table_dict["orders"].df[["id", "customer_id"]].rename(columns={"id": "order_id"})
        bought = items.merge(orders, on="order_id")
        parts = []
        for t in timestamps:
            window = bought[(bought["placed_at"] > t) & (bought["placed_at"] <= t + self.timedelta)]
            lists = window.groupby("customer_id")["product_id"].agg(lambda p: sorted(set(p)))
            parts.append(pd.DataFrame({"timestamp": t, "customer_id": lists.index.to_numpy(),
                                       "product_id": lists.to_list()}))
        return Table(_in_ns(parts), {"customer_id": "customers", "product_id": "products"}, None,
                     "timestamp")


TASKS = {"customer-orders": CustomerOrders, "customer-products": CustomerProducts}


def load(dataset: str, task: str, scale: float = 0.05):
    """``(dataset, task)``: the demo shop's (``dataset="demo-shop"``, at
    ``scale``) or a RelBench dataset's, read by ``relbench.load_dataset``
    (a hosted name or a local folder)."""
    if dataset == "demo-shop":
        shop = ShopDataset(scale)
        return shop, TASKS[task](shop)
    from relbench import load_dataset

    held = load_dataset(dataset)
    return held, held.load_task(task)
