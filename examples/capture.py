"""Captures every sample of a robot's streams for a while and summarises them per joint group:
the sample count, each joint's mean and largest speed, and the estimated network loss.

    python examples/capture.py --serial AB-4s-012345 [--seconds 10]

Against the substitute controller in the private network (as scripts/demo runs it):

    scripts/lib/robotnet exec robot .venv/bin/python -m korvel_sim --serial KQ-DEMO-1 --layout two-arm &
    scripts/lib/robotnet exec host env PYTHONPATH=build/python .venv/bin/python examples/capture.py --serial KQ-DEMO-1
"""

import argparse
import sys
import time

import numpy as np

import korvelquor
import korvelquor_capture


def estimated_loss(robot_time: np.ndarray) -> tuple:
    """Samples missing from the robot's timestamps, assuming it publishes at a steady rate
    (the median interval): the samples its time span should hold, less those that arrived.
    Counting over the whole span lets a late sample and the early one after it cancel out.
    The robot's messages carry no sequence number, so this is an estimate, not a count."""
    t = robot_time[:, 0].astype(np.float64) + robot_time[:, 1].astype(np.float64) * 1e-9
    dt = np.diff(t)
    if len(dt) == 0 or np.median(dt) <= 0:
        return 0, 0.0
    period = float(np.median(dt))
    expected = int(round((t[-1] - t[0]) / period)) + 1
    return max(expected - len(t), 0), period


def main(argv=None) -> int:
    p = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    p.add_argument("--serial", required=True, help="the robot's serial number")
    p.add_argument("--seconds", type=float, default=10.0, help="how long to capture (default 10)")
    args = p.parse_args(argv)

    client = korvelquor.Client(args.serial, verbose=False)
    speeds = {}  # group -> list of (rows, dof) dq arrays
    stamps = []
    dropped = 0
    start = time.monotonic()
    with korvelquor_capture.Capture(client) as capture:
        for batch in capture.batches(0.1):
            basic = batch.basic
            dropped += basic.dropped
            ok = basic.layout_ok
            stamps.append(basic.robot_time)
            for group, columns in basic.groups.items():
                speeds.setdefault(group, []).append(columns.dq[ok])
            elapsed = time.monotonic() - start
            print(f"\rcapturing: {elapsed:5.1f} / {args.seconds:g} s", end="", file=sys.stderr)
            if elapsed >= args.seconds:
                break
    print(file=sys.stderr)

    robot_time = np.concatenate(stamps) if stamps else np.zeros((0, 2), np.int32)
    missing, period = estimated_loss(robot_time)
    for group, parts in speeds.items():
        dq = np.abs(np.concatenate(parts))
        print(f"{group.name}: {len(dq)} samples")
        for j in range(dq.shape[1]):
            print(f"  joint {j}: mean |dq| {dq[:, j].mean():.4f}, max |dq| {dq[:, j].max():.4f}")
    rate = 1.0 / period if period > 0 else 0.0
    print(
        f"basic stream: {len(robot_time)} samples at {rate:.0f} Hz; "
        f"estimated lost on the network: {missing}; dropped by the buffer: {dropped}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
