"""Cost of the substitute robot controller.

Run from the repository root, in the private network's host namespace:

    scripts/lib/robotnet exec host .venv/bin/python bench/sim_cost.py [--seconds 10] [--layout two-arm]

It starts the substitute (both streams at 1 kHz) in the "robot" namespace, subscribes to
both streams here so that every sample really travels, and reads the substitute's CPU time
from /proc over the measuring window. The target is under half of one core. It also prints
the median time to build and encode one message of each stream, beside the same encoding
done by zenoh.ext.z_serialize as the anchor.
"""

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "sim"))

import zenoh  # noqa: E402
import zenoh.ext as ze  # noqa: E402

from korvel_sim.layouts import LAYOUTS  # noqa: E402
from korvel_sim.motion import RobotModel  # noqa: E402
from korvel_sim.serial import normalize_serial  # noqa: E402
from korvel_sim.testing import SimProcess  # noqa: E402
from korvel_sim.wire import encode  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


def median_us(fn, repeat=2000):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times) * 1e6


def typed_basic(m):
    F, U16 = ze.Float32, ze.UInt16
    fl = lambda vs: [F(v) for v in vs]  # noqa: E731
    j = m.joint_data
    joint = tuple(
        fl(getattr(j, n))
        for n in (
            "q",
            "theta",
            "dq",
            "dtheta",
            "tau",
            "tau_dot",
            "tau_ext",
            "tau_interact",
            "temperature",
        )
    )
    joint += ([fl(v) for v in j.contact_forces], [fl(v) for v in j.contact_positions])
    carts = [tuple(fl(v) for v in vars(c).values()) for c in m.cartesian_data]
    return (
        U16(m.system_state),
        ze.Int16(m.safety_board_state),
        m.estop_released,
        m.enabling_device_on,
        m.safety_inputs,
        m.digital_inputs,
        m.digital_outputs,
        [U16(g) for g in m.joint_group_indices],
        joint,
        carts,
        ze.Int32(m.timestamp[0]),
        ze.UInt32(m.timestamp[1]),
    )


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--layout", default="two-arm", choices=sorted(LAYOUTS))
    ap.add_argument("--rate", type=float, default=1000.0)
    args = ap.parse_args()

    model = RobotModel(LAYOUTS[args.layout])
    basic, extra = model.messages(1.0, (0, 0))
    tb = typed_basic(basic)
    print(f"per message, median of 2000 ({args.layout}):")
    print(f"  build both messages        {median_us(lambda: model.messages(1.0, (0, 0))):8.1f} us")
    print(
        f"  encode basic ({len(encode(basic))} B)     {median_us(lambda: encode(basic)):8.1f} us"
        f"   anchor z_serialize {median_us(lambda: ze.z_serialize(tb), 300):8.1f} us"
    )
    print(
        f"  encode extra ({len(encode(extra))} B)      {median_us(lambda: encode(extra)):8.1f} us"
    )

    serial = f"KQ BENCH-{os.getpid()}"
    key = f"korvel/robot/{normalize_serial(serial)}/"
    session = zenoh.open(zenoh.Config())
    counts = {"basic": 0, "extra": 0}

    def counter(name):
        def on_sample(_sample):
            counts[name] += 1

        return on_sample

    subs = [
        session.declare_subscriber(key + "basic_stream_data", counter("basic")),
        session.declare_subscriber(key + "extra_stream_data", counter("extra")),
    ]
    with SimProcess(serial, layout=args.layout, rate=args.rate) as sim:
        time.sleep(2.0)  # discovery and warm-up
        c0, w0, n0 = cpu_seconds(sim.pid), time.monotonic(), dict(counts)
        time.sleep(args.seconds)
        c1, w1, n1 = cpu_seconds(sim.pid), time.monotonic(), dict(counts)
    for s in subs:
        s.undeclare()
    session.close()
    wall = w1 - w0
    share = (c1 - c0) / wall
    print(f"substitute, {args.layout}, {args.rate:g} Hz, both streams, over {wall:.1f} s:")
    print(f"  CPU {c1 - c0:.2f} s = {100 * share:.1f} % of one core (target < 50 %)")
    print(
        f"  received basic {(n1['basic'] - n0['basic']) / wall:.0f}/s, "
        f"extra {(n1['extra'] - n0['extra']) / wall:.0f}/s"
    )
    return 0 if share < 0.5 else 1


if __name__ == "__main__":
    sys.exit(main())
