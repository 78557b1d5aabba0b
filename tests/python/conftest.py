"""Shared helpers of the korvelquor suite.

CTest runs it inside the private network's "host" namespace with PYTHONPATH naming the
built module; the live tests start the substitute controller in "robot" (korvel_sim.testing).
"""

import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "sim"))  # this checkout's korvel_sim

import korvelquor  # noqa: E402


def unique_serial(tag: str) -> str:
    """One serial per test module and run, so suites can run side by side."""
    return f"KQ PY{tag}-{os.getpid()}"


def wait_for(predicate, timeout: float = 3.0) -> bool:
    """Polls `predicate` until it holds (True) or `timeout` seconds pass (False)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return False


def run_python(code: str, timeout: float = 60.0, executable: str = sys.executable):
    """Runs `code` in a fresh interpreter with this process's environment (module path
    included); returns the CompletedProcess with text stdout and stderr."""
    return subprocess.run(
        [executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=dict(os.environ),
    )


@pytest.fixture(scope="module")
def two_arm_sim():
    """A two-arm substitute at 1 kHz for the whole module; yields it (its serial is .serial)."""
    from korvel_sim.testing import SimProcess

    with SimProcess(unique_serial("TWO"), layout="two-arm", rate=1000) as sim:
        yield sim


@pytest.fixture(scope="module")
def client(two_arm_sim):
    c = korvelquor.Client(two_arm_sim.serial, verbose=False)
    yield c
    del c
