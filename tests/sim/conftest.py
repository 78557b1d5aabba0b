"""Shared helpers of the substitute's suite. Live tests run in the "host" namespace (CTest
wraps pytest in scripts/lib/robotnet exec host) and start the substitute in "robot"."""

import os
import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "sim"))  # this checkout's korvel_sim

from korvel_sim.records import RPCRequest
from korvel_sim.serial import normalize_serial
from korvel_sim.wire import encode


def unique_serial(tag: str) -> str:
    """One serial per test module and run, so suites can run side by side."""
    return f"KQ SIM{tag}-{os.getpid()}"


@pytest.fixture(scope="module")
def zsession():
    import zenoh

    session = zenoh.open(zenoh.Config())
    yield session
    session.close()


def rpc(session, serial, request_id, groups=(), payload=None, timeout=2.0):
    """All replies to one query, unconsolidated: [(ok, bytes)], plus the elapsed time."""
    import zenoh

    if payload is None:
        payload = encode(RPCRequest(request_id, list(groups)))
    start = time.monotonic()
    replies = []
    for r in session.get(
        f"korvel/robot/{normalize_serial(serial)}/rpc",
        payload=payload,
        timeout=timeout,
        consolidation=zenoh.ConsolidationMode.NONE,
        encoding=zenoh.Encoding.ZENOH_SERIALIZED,
    ):
        if r.ok is not None:
            replies.append((True, r.ok.payload.to_bytes()))
        else:
            replies.append((False, r.err.payload.to_bytes()))
    return replies, time.monotonic() - start


def wait_reachable(session, serial, timeout=10.0):
    """Discovery of a new peer takes a moment: probe until the substitute answers."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if rpc(session, serial, 0)[0]:
            return
        time.sleep(0.05)
    raise AssertionError(f"substitute {serial} not reachable within {timeout} s")


class Collector:
    """Counts and keeps the samples of one key expression."""

    def __init__(self, session, key):
        self.samples = []
        self.encodings = set()
        self._sub = session.declare_subscriber(key, self._on_sample)

    def _on_sample(self, sample):
        self.samples.append(sample.payload.to_bytes())
        self.encodings.add(str(sample.encoding))

    def take(self):
        taken, self.samples = self.samples, []
        return taken

    def close(self):
        self._sub.undeclare()
