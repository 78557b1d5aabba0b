"""A robot watched from another network. The client runs in kqr-host, the substitute in
kqr-robot, and between them is only a zenoh router in kqr-router (scripts/lib/robotnet's routed
network: the two namespaces share no link and the router namespace does not forward IP).
The client keeps zenoh's default configuration and names no endpoint: it finds the router
by multicast scouting like any peer, and everything it reads crosses the router.
"""

import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "sim"))

import korvelquor as kq  # noqa: E402
from korvel_sim.testing import RouterProcess, SimProcess  # noqa: E402

ROBOT_ADDRESS = "10.213.8.1"
SERIAL = f"KQ RT-{os.getpid()}"
NORMALIZED = SERIAL.replace(" ", "-")
TWO_ARM = {kq.ALL: 21, kq.ARMS: 14, kq.ARM_1: 7, kq.ARM_2: 7, kq.EXT_AXIS: 7}


def wait_until(predicate, timeout):
    give_up = time.monotonic() + timeout
    while time.monotonic() < give_up:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


@pytest.fixture(scope="module")
def routed_robot():
    # Without this, a route or a forwarding router namespace would let the client reach the
    # robot directly and the test would prove nothing about the zenoh router.
    route = subprocess.run(["ip", "route", "get", ROBOT_ADDRESS], capture_output=True, text=True)
    assert route.returncode != 0, f"kqr-host has an IP route to the robot: {route.stdout}"
    with (
        RouterProcess("kqr-router", subregions=["kqr-r-robot", "kqr-r-host"]),
        SimProcess(SERIAL, layout="two-arm", rate=200, namespace="kqr-robot") as sim,
    ):
        yield sim


def test_client_reads_both_streams_and_every_call_through_the_router(routed_robot):
    client = kq.Client(NORMALIZED, verbose=False)
    try:
        assert client.connected() is True
        assert list(client.groups()) == list(TWO_ARM)
        states, actions = client.states(), client.actions()
        assert {g: len(s.q) for g, s in states.items()} == TWO_ARM
        assert {g: len(a.q_d) for g, a in actions.items()} == TWO_ARM
        # Both streams keep flowing across the router, not just a first sample.
        assert wait_until(
            lambda: client.states()[kq.ALL].timestamp != states[kq.ALL].timestamp, 5.0
        )
        assert wait_until(lambda: client.actions()[kq.ALL].q_d != actions[kq.ALL].q_d, 5.0)
        assert len(client.digital_inputs()) == 20

        plan = client.plan_info()
        assert (plan.pt_name, plan.velocity_scale) == ("MoveL", pytest.approx(0.8))
        scores = client.configuration_score()
        assert list(scores) == list(TWO_ARM)
        assert all(0 <= v <= 100 for pair in scores.values() for v in pair)
        primitives = client.primitive_states()
        assert {g: p.pt_name for g, p in primitives.items()} == {
            kq.ARM_1: "MoveL",
            kq.ARM_2: "MoveJ",
            kq.EXT_AXIS: "Hold",
        }
    finally:
        del client
