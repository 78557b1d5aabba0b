"""The live monitor (examples/monitor.py) against the substitute: one frame a second when
stdout is not a terminal, remote errors shown without stopping, a plot file, exit status."""

import os
import subprocess
import sys

import pytest

from conftest import REPO, unique_serial

MONITOR = REPO / "examples" / "monitor.py"


@pytest.fixture(scope="module")
def sim():
    from korvel_sim.testing import SimProcess

    with SimProcess(unique_serial("MON"), layout="two-arm", rate=1000) as s:
        yield s


def run_monitor(*args, timeout=60):
    return subprocess.run(
        [sys.executable, str(MONITOR), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=dict(os.environ),
    )


def test_frames_and_plot(sim, tmp_path):
    plot = tmp_path / "run.png"
    result = run_monitor(
        "--serial", sim.serial, "--duration", "2.2", "--plot", str(plot), "--quiet"
    )
    assert result.returncode == 0, result.stderr
    frames = result.stdout.split("-" * 78)
    # Frames at t = 0, 1 and 2 s (a loaded machine may fall behind by one), then the closing
    # lines.
    assert len(frames) - 1 in (2, 3), result.stdout
    first = frames[0]
    for text in (
        "[ALL]  DoF 21",
        "[ARMS]  DoF 14",
        "[EXT_AXIS]  DoF 7",
        "e-stop released:",
        "digital inputs : ",
        "plan info: plan '",
        "[ARM_2] MoveJ:",
        "configuration score 100.0 /",
    ):
        assert text in first, text
    assert "\x1b[" not in result.stdout  # no terminal codes into a pipe
    assert "monitor: plot saved to" in result.stdout
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_remote_errors_are_shown_and_the_monitor_goes_on(sim):
    control = sim.control()
    control.set(requests=[4, 9], no_reply=True)
    try:
        result = run_monitor("--serial", sim.serial, "--duration", "1.2", "--quiet")
    finally:
        control.clear()
    assert result.returncode == 0, result.stderr
    frames = result.stdout.count("-" * 78)
    assert (
        frames >= 1
        and result.stdout.count(
            "plan info: error: [korvel::quor::Client] plan_info: No reply from the robot"
        )
        == frames
    )
    assert (
        "configuration score: error: [korvel::quor::Model::configuration_score] "
        "No reply from the robot"
    ) in result.stdout
    assert "[ARM_1] MoveL:" in result.stdout  # the other remote call still answers


def test_unreachable_robot_exits_non_zero():
    result = run_monitor("--serial", unique_serial("NOBODY"), "--duration", "1", "--quiet")
    assert result.returncode == 1
    assert "monitor: cannot connect to" in result.stderr and "Failed to connect" in result.stderr
