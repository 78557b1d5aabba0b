"""The substitute as a process: READY, clean stop on signals, start-up faults, bad input."""

import signal
import subprocess
import time

import pytest

from conftest import unique_serial, wait_reachable
from korvel_sim.testing import SimProcess, sim_command


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_signal_stops_it_cleanly_within_a_second(signum, zsession):
    serial = unique_serial(f"sig{signum}")
    sim = SimProcess(serial, layout="two-arm", faults=["version=v9", "no_reply@4"]).start()
    try:
        wait_reachable(zsession, serial)
        assert sim.control().state()["faults"] == {"version": "v9", "no_reply": True}
        sim._close_control()
        start = time.monotonic()
        sim.proc.send_signal(signum)
        assert sim.proc.wait(5) == 0
        assert time.monotonic() - start < 1.0
    finally:
        sim.kill()


@pytest.mark.parametrize(
    "args,message",
    [
        (["--serial", "AB_1-2"], "underscore"),
        (["--serial", "AB-1", "--fault", "reply_delay_ms"], "needs a value"),
        (["--serial", "AB-1", "--rate", "0"], "--rate"),
    ],
)
def test_bad_arguments_are_refused_before_serving(args, message):
    cmd = sim_command("x", namespace=None)[:3] + args
    done = subprocess.run(cmd, capture_output=True, timeout=20)
    assert done.returncode == 2 and message in done.stderr.decode()
