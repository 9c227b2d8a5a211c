"""Data-parallel training over torch.distributed with gloo: two real processes
that meet through a file store and talk over the loopback device only, each
with its own even-batches Loader over one saved, memory-mapped graph.

Every run of the ranks is bounded: the process group times out collective
calls after 60 s, and the test kills ranks still running after JOIN_SECONDS.
"""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import torch

import distributed_worker as worker
from rerozer_tables import Table, build_graph, load_graph, save_graph

pytestmark = pytest.mark.torch

DAY = 86_400
JOIN_SECONDS = 240
WORLD_SIZE = 2
# 161 training examples: shares of 81 and 80, so 6 and 5 batches of 16
# without padding; 47 validation examples: 24 and 23.
TRAIN, VALID = 161, 47


def make_workdir(workdir: Path) -> None:
    """Save the graph once, and the training and validation examples."""
    rng = np.random.default_rng(5)
    customers, products, orders = 90, 12, 700
    signed_up = rng.integers(0, 100 * DAY, customers)
    order_customer = rng.integers(0, customers, orders)
    order_time = signed_up[order_customer] + rng.integers(0, 200 * DAY, orders)
    graph = build_graph({
        "customers": Table({"id": np.arange(customers), "t": signed_up}, primary_key="id", time_column="t"),
        "products": Table({"sku": np.arange(products)}, primary_key="sku"),
        "orders": Table({"customer_id": order_customer, "sku": rng.integers(0, products, orders),
                         "t": order_time},
                        foreign_keys={"customer_id": "customers", "sku": "products"}, time_column="t"),
    })
    save_graph(graph, workdir / "graph")
    data = {}
    for split, count, cutoff in (("train", TRAIN, 150 * DAY), ("valid", VALID, 250 * DAY)):
        keys = rng.integers(0, customers, count)
        cutoffs = np.full(count, cutoff) - rng.integers(0, 30 * DAY, count)
        # The label: orders in the 30 days after the cutoff, which the model cannot see.
        later = [(order_customer == k) & (order_time > t) & (order_time <= t + 30 * DAY)
                 for k, t in zip(keys, cutoffs)]
        data |= {f"{split}_keys": keys, f"{split}_cutoffs": cutoffs,
                 f"{split}_labels": np.array([m.sum() for m in later], dtype=np.float32)}
    np.savez(workdir / "examples.npz", **data)


def run_ranks(scenario: str, workdir: Path) -> list[tuple[int, str]]:
    """Start every rank, wait for all of them (bounded); their exit codes and stderr."""
    env = {**os.environ, "GLOO_SOCKET_IFNAME": "lo", "MASTER_ADDR": "127.0.0.1", "OMP_NUM_THREADS": "1"}
    ranks = [
        subprocess.Popen([sys.executable, worker.__file__, scenario, str(rank), str(WORLD_SIZE), str(workdir)],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
        for rank in range(WORLD_SIZE)
    ]
    ended = []
    try:
        for process in ranks:
            _, stderr = process.communicate(timeout=JOIN_SECONDS)
            ended.append((process.returncode, stderr))
    finally:
        for process in ranks:
            if process.poll() is None:
                process.kill()
                process.wait()
    return ended


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """Two epochs of DDP training of the tiny model on 2 ranks; what each rank recorded."""
    workdir = tmp_path_factory.mktemp("ddp-train")
    make_workdir(workdir)
    ended = run_ranks("train", workdir)
    for rank, (code, stderr) in enumerate(ended):
        assert code == 0, f"rank {rank} exited with {code}:\n{stderr}"
    records = [torch.load(workdir / f"rank{rank}.pt") for rank in range(WORLD_SIZE)]
    return workdir, records


def test_ranks_take_equal_steps_and_together_see_each_example_once_per_epoch(trained):
    _, records = trained
    for epoch in range(worker.EPOCHS):
        # 6 steps each, though the plain split would give rank 1 only 5.
        assert [r["steps"][epoch] for r in records] == [6, 6]
        seen = sorted(i for r in records for i in r["real"][epoch])
        assert seen == list(range(TRAIN))
    assert records[0]["sizes"] == records[1]["sizes"]


def reference(workdir: Path) -> tuple[dict, list]:
    """One process trained on the same global batches: the ranks' batches of
    each step together, with the mean loss over their real examples."""
    graph = load_graph(workdir / "graph", mmap=True)
    data = dict(np.load(workdir / "examples.npz"))
    features = worker.node_features(graph)
    labels = {split: torch.from_numpy(data[f"{split}_labels"]) for split in ("train", "valid")}
    model = worker.TinyModel(graph.node_types)
    optimiser = torch.optim.SGD(model.parameters(), lr=0.5)
    loaders = [worker.loader(graph, data, "train", rank, WORLD_SIZE) for rank in range(WORLD_SIZE)]
    valid = [batch for rank in range(WORLD_SIZE)
             for batch in worker.loader(graph, data, "valid", rank, WORLD_SIZE)]
    predictions = []
    for epoch in range(worker.EPOCHS):
        for loader in loaders:
            loader.set_epoch(epoch)
        for step in zip(*loaders, strict=True):
            loss = sum(
                (worker.per_example_loss(model, b, features, labels["train"]) * torch.from_numpy(b.mask)).sum()
                for b in step
            ) / step[0].global_examples
            optimiser.zero_grad()
            loss.backward()
            optimiser.step()
        with torch.no_grad():
            by_example = {}
            for batch in valid:
                for i, p, real in zip(batch.example_index.tolist(), model(batch, features, "customers"),
                                      batch.mask.tolist()):
                    if real:
                        by_example[i] = float(p)
            predictions.append(by_example)
    return model.state_dict(), predictions


def test_averaged_gradients_give_the_model_of_one_process_on_the_global_batches(trained):
    workdir, records = trained
    state, _ = reference(workdir)
    initial = worker.TinyModel(load_graph(workdir / "graph").node_types).state_dict()
    for name, value in state.items():
        for record in records:
            torch.testing.assert_close(record["state"][name], value, rtol=1e-5, atol=1e-6)
    # Training moved the model far beyond that tolerance.
    assert max(float((state[n] - initial[n]).abs().max()) for n in state) > 1e-2


def test_validation_is_gathered_and_reduced_over_all_ranks(trained):
    workdir, records = trained
    data = np.load(workdir / "examples.npz")
    _, predictions = reference(workdir)
    for epoch in range(worker.EPOCHS):
        found = [r["valid"][epoch] for r in records]
        # Each rank gathered every validation example once, with the reference's prediction.
        for valid in found:
            index = valid["index"].tolist()
            assert sorted(index) == list(range(VALID))
            expected = torch.tensor([predictions[epoch][i] for i in index])
            torch.testing.assert_close(valid["predictions"], expected, rtol=1e-5, atol=1e-5)
        # Both ranks hold the same sums, those of the whole split.
        assert found[0]["sums"] == found[1]["sums"]
        squared = sum((predictions[epoch][i] - float(data["valid_labels"][i])) ** 2 for i in range(VALID))
        assert found[0]["sums"][1] == VALID
        assert found[0]["sums"][0] == pytest.approx(squared, rel=1e-5)


def test_a_failing_rank_makes_the_others_exit_with_an_error(tmp_path):
    make_workdir(tmp_path)
    (failed_code, failed_err), (other_code, other_err) = run_ranks("fail", tmp_path)[::-1]
    assert failed_code != 0 and "rank 1 fails on purpose at step 2" in failed_err
    # Rank 0 did not wait for ever: its next collective call raised.
    assert other_code != 0, other_err
    assert "Traceback" in other_err
    assert not (tmp_path / "rank0.pt").exists()


@pytest.mark.training_run
def test_train_example_under_torchrun_on_two_processes(tmp_path):
    """examples/train.py end to end under torchrun: rank 0 alone prints and
    plots, and an epoch's steps cover every training example once."""
    example = Path(__file__).resolve().parents[1] / "examples" / "train.py"
    env = {**os.environ, "GLOO_SOCKET_IFNAME": "lo"}
    completed = subprocess.run(
        [sys.executable, "-m", "torch.distributed.run", "--nnodes", "1", "--nproc-per-node", "2",
         "--rdzv-backend", "c10d", "--rdzv-endpoint", "127.0.0.1:0",
         str(example), "--scale", "0.05", "--epochs", "2", "--batch-size", "128", "--no-progress",
         "--dist-timeout", "60", "--workdir", str(tmp_path / "work"),
         "--stats", str(tmp_path / "stats.json"), "--plot", str(tmp_path / "curve.png")],
        capture_output=True, text=True, timeout=JOIN_SECONDS, env=env, cwd=tmp_path, check=False,
    )
    assert completed.returncode == 0, completed.stderr[-3000:]
    out = completed.stdout
    assert out.count("Data-parallel: 2 processes (gloo)") == 1
    assert [line.split(":")[0] for line in out.splitlines() if line.startswith("epoch")] == ["epoch  1", "epoch  2"]
    assert out.count("Test AUROC at the best validation epoch") == 1
    assert (tmp_path / "curve.png").stat().st_size > 0
    stats = json.loads((tmp_path / "stats.json").read_text())
    train_examples = int(re.search(r"^Examples: train ([\d,]+)", out, re.M).group(1).replace(",", ""))
    assert stats["world_size"] == 2
    for epoch in stats["epochs"]:
        assert epoch["examples"] == train_examples
        assert epoch["steps"] == -(-train_examples // (2 * 128))
        assert 0 <= epoch["sampling_share"] <= 1
