"""The demo job end to end at a small scale: SQLite file, graph, saved and
memory-mapped, one epoch with worker processes, and its time check."""

import re
import subprocess
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


# The demo runs where torch and PyG are not installed (./dev demo installs neither).
WITHOUT_TORCH = (
    "import os, runpy, sys; sys.modules['torch'] = sys.modules['torch_geometric'] = None; "
    "sys.argv = sys.argv[1:]; sys.path.insert(0, os.path.dirname(sys.argv[0])); "
    "runpy.run_path(sys.argv[0], run_name='__main__')"
)


def test_demo_goes_through_sqlite_and_passes_its_time_check(tmp_path):
    completed = subprocess.run(
        [sys.executable, "-c", WITHOUT_TORCH, str(EXAMPLES / "demo.py"), "--scale", "0.05",
         "--batch-size", "32", "--workers", "2", "--workdir", str(tmp_path)],
        capture_output=True, text=True, timeout=300, check=False,
    )
    assert completed.returncode == 0, completed.stderr
    out = completed.stdout
    assert re.search(r"^Database: 6 tables, [\d,]+ rows", out, re.M)
    assert re.search(r"Time check: 0 of [\d,]+ sampled timed nodes .*: OK$", out, re.M)
    assert re.search(r"^reviews__customer_id__customers +window \(-90 d, 0 d\] each hop", out, re.M)
    # The job left its database and its saved graph where it was told to.
    assert (tmp_path / "shop.sqlite").is_file()
    assert (tmp_path / "graph" / "manifest.json").is_file()
