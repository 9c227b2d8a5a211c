"""The RelBench scripts of examples/relbench, on the drop-in NeighborLoader,
run for a few batches on the demo shop as a RelBench dataset."""

import importlib.util
import math
import sys
from pathlib import Path

import pytest

pytestmark = [pytest.mark.torch, pytest.mark.training_run]
pytest.importorskip("torch")
pytest.importorskip("torch_frame")
pytest.importorskip("relbench.modeling.graph")

EXAMPLES = Path(__file__).resolve().parents[1] / "examples" / "relbench"
SMALL = ["--epochs", "1", "--max_steps_per_epoch", "2", "--channels", "16", "--num_neighbors", "8",
         "--batch_size", "64"]


def script(name):
    found = importlib.util.spec_from_file_location(f"relbench_example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::FutureWarning",
                            "ignore::UserWarning")  # pandas', torch's and PyTorch Frame's own
@pytest.mark.parametrize(("name", "task", "metric"), [
    ("gnn_entity", "customer-orders", "roc_auc"),
    ("gnn_link", "customer-products", "map"),
])
def test_the_relbench_scripts_train_and_evaluate(name, task, metric, capsys, monkeypatch):
    monkeypatch.setattr(sys, "path", list(sys.path))
    module = script(name)
    source = (EXAMPLES / f"{name}.py").read_text()
    # The one line that differs from the script on PyG's sampler.
    assert source.count("from rerozer_tables.pyg import NeighborLoader\n") == 1
    assert not [line for line in source.splitlines() if line.startswith("from torch_geometric.loader")]
    metrics = module.main(["--dataset", "demo-shop", "--task", task, *SMALL])
    assert set(metrics) == {metric} and 0.0 <= metrics[metric] <= 1.0 and not math.isnan(metrics[metric])
    printed = capsys.readouterr().out
    assert "Epoch: 01, Train loss: " in printed and "Best test metrics: " in printed
