"""The sampler at the edges of a process's life: daemon threads inside a
call while the interpreter exits, a call from a __del__ while it
finalises, samplers dropped while their arrays live on, a wait for another
thread's call interrupted by Ctrl-C, forks during a call, and interrupts
raised while a call fetches its parameters.

Each scenario runs in a child process (tests/sampler_scenarios.py) with a
timeout, so that an abort or a hang fails its test instead of the run.
"""

import os
import subprocess
import sys

import pytest

SCENARIOS = os.path.join(os.path.dirname(__file__), "sampler_scenarios.py")
TIMEOUT = 300 if os.environ.get("REROZER_SANITIZER_BUILD") == "1" else 120

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals and fork")


def run_scenario(*args):
    """(exit status, stdout, stderr) of the scenario; a child still running
    after TIMEOUT seconds is killed and fails the test."""
    try:
        done = subprocess.run([sys.executable, SCENARIOS, *args], capture_output=True,
                              text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"scenario {args} still running after {TIMEOUT} s: "
                    f"stdout {expired.stdout!r}, stderr {expired.stderr!r}")
    return done.returncode, done.stdout, done.stderr


@pytest.mark.parametrize("scenario, expected", [
    ("exit_during_hops", ""),
    ("exit_with_loading_threads", ""),
    # The thread that finalises is never parked: the process must end.
    ("call_from_del_during_finalisation", "same\n"),
])
def test_interpreter_exits_normally_with_calls_during_finalisation(scenario, expected):
    assert run_scenario(scenario) == (0, expected, "")


def test_dropped_sampler_keeps_no_blocks_for_arrays_that_outlive_it():
    # Twelve dropped samplers, each with one 128 KiB array kept: the blocks
    # of their other arrays (about 3 MiB a sampler) must not stay with them.
    outcomes = {}
    for how in ("array", "copy"):
        status, out, err = run_scenario("dropped_samplers", how)
        assert (status, err) == (0, ""), err
        outcomes[how] = int(out)
    assert outcomes["array"] - outcomes["copy"] < 8 << 20, outcomes


def test_sigint_ends_a_call_waiting_for_another_threads_call():
    assert run_scenario("sigint_while_waiting") == (0, "KeyboardInterrupt\n", "")


@pytest.mark.parametrize("scenario, expected", [
    ("fork_while_a_call_runs_python_code", "child 0\n"),
    ("fork_during_hops", "children 0 0 0 0 0\n"),
])
def test_child_forked_during_a_call_can_use_the_sampler(scenario, expected):
    assert run_scenario(scenario) == (0, expected, "")


@pytest.mark.parametrize("case, expected", [
    # Interrupts end the call before any hop; other exceptions are raised
    # where the hops reach them, after hops 0 and 1 have drawn.
    ("lookup-KeyboardInterrupt", "KeyboardInterrupt drew-nothing"),
    ("lookup-SystemExit", "SystemExit drew-nothing"),
    ("conversion-KeyboardInterrupt", "KeyboardInterrupt drew-nothing"),
    ("lookup-LookupError", "LookupError drew"),
    ("conversion-LookupError", "LookupError drew"),
])
def test_interrupt_during_the_parameter_fetch_ends_the_call_at_once(case, expected):
    assert run_scenario("interrupt_during_prefetch", case) == (0, expected + "\n", "")
