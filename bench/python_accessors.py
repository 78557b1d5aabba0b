"""What a Python user of korvelquor pays, measured against the substitute controller (two
arms, both streams at 1 kHz) in the private network:

  * the median time of client.states(), client.actions() and client.groups() from Python
    (target: states() under 15 us);
  * the CPU a process spends receiving both streams at 1 kHz: korvelquor beside a plain
    Python client on eclipse-zenoh that decodes every sample of both streams with
    zenoh.ext.z_deserialize into the same shapes and keeps the latest of each;
  * the same with every sample kept: korvelquor with a korvelquor_capture.Capture drained
    every 100 ms, beside the eclipse-zenoh client appending every decoded sample to lists,
    and the floor, a bare C++ subscriber on the project's transport (bench/floor_subscriber,
    named by KQ_FLOOR_SUBSCRIBER);
  * drain() of 100 ms of both streams.

Run it with bench/python (which builds the module and sets the paths), or from the
repository root in the host namespace:

    PYTHONPATH=build/python scripts/lib/robotnet exec host .venv/bin/python bench/python_accessors.py

Each measurement runs in a process of its own, one after the other, against the one
substitute; the CPU figures are that process's user + system time over the window.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "sim"))
sys.path.insert(0, str(ROOT / "tests" / "msgs"))

STATES_TARGET_US = 15.0
SERIAL = f"KQ BENCHPY-{os.getpid()}"


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_now():
    t = os.times()
    return t.user + t.system


# --- children -----------------------------------------------------------------------------


def child_accessors(serial, calls):
    import korvelquor

    client = korvelquor.Client(serial, verbose=False)
    time.sleep(0.5)
    result = {}
    for name in ("states", "actions", "groups"):
        fn = getattr(client, name)
        assert fn(), f"{name}() returned nothing"
        for _ in range(1000):  # warm-up
            fn()
        times = []
        perf = time.perf_counter_ns
        for _ in range(calls):
            t = perf()
            fn()
            times.append(perf() - t)
        times.sort()
        result[name] = {
            "median_us": statistics.median(times) / 1e3,
            "p90_us": times[int(len(times) * 0.9)] / 1e3,
            "p99_us": times[int(len(times) * 0.99)] / 1e3,
        }
    return result


def child_cpu_korvelquor(serial, seconds):
    import korvelquor

    client = korvelquor.Client(serial, verbose=False)
    time.sleep(1.0)  # discovery and the first samples
    first = client.states()
    start_cpu, start = cpu_now(), time.monotonic()
    time.sleep(seconds)
    cpu, wall = cpu_now() - start_cpu, time.monotonic() - start
    last = client.states()
    stamp = lambda s: next(iter(s.values())).timestamp  # noqa: E731
    advanced = stamp(last)[0] + stamp(last)[1] * 1e-9 - stamp(first)[0] - stamp(first)[1] * 1e-9
    return {"cpu_s": cpu, "wall_s": wall, "stream_advanced_s": advanced, "rss_kib": rss_kib()}


def child_cpu_zenoh(serial, seconds, keep_every=False):
    """A plain-Python eclipse-zenoh client that decodes every sample of both streams with
    z_deserialize and keeps the latest of each or, with keep_every, appends every one to a
    list (what a Python user writes to keep every sample)."""
    import zenoh
    from zenoh import ext as zext
    import wire_schema as ws
    from korvel_sim.serial import normalize_serial

    key = f"korvel/robot/{normalize_serial(serial)}"
    basic_type, extra_type = ws.z_type(ws.BASIC), ws.z_type(ws.EXTRA)
    lock = threading.Lock()
    kept = {"basic": [], "extra": []}
    counts = {"basic": 0, "extra": 0}

    def handler(name, kind):
        def on_sample(sample):
            try:
                value = zext.z_deserialize(kind, sample.payload)
            except Exception:  # noqa: BLE001 - a bad sample is dropped, as the client does
                return
            with lock:
                if keep_every:
                    kept[name].append(value)
                else:
                    kept[name] = [value]
                counts[name] += 1

        return on_sample

    session = zenoh.open(zenoh.Config())
    subs = [
        session.declare_subscriber(f"{key}/basic_stream_data", handler("basic", basic_type)),
        session.declare_subscriber(f"{key}/extra_stream_data", handler("extra", extra_type)),
    ]
    time.sleep(1.0)
    with lock:
        before = dict(counts)
    start_cpu, start = cpu_now(), time.monotonic()
    time.sleep(seconds)
    cpu, wall = cpu_now() - start_cpu, time.monotonic() - start
    with lock:
        rates = {k: (counts[k] - before[k]) / wall for k in counts}
    rss = rss_kib()
    for s in subs:
        s.undeclare()
    session.close()
    return {"cpu_s": cpu, "wall_s": wall, "samples_per_s": rates, "rss_kib": rss}


def child_cpu_capture(serial, seconds):
    """The client with a capture drained every 100 ms, as a logging program runs it."""
    import korvelquor
    import korvelquor_capture

    client = korvelquor.Client(serial, verbose=False)
    capture = korvelquor_capture.Capture(client)
    time.sleep(1.0)
    capture.drain()
    rows = 0
    start_cpu, start = cpu_now(), time.monotonic()
    for batch in capture.batches(0.1):
        rows += batch.basic.rows + batch.extra.rows
        if time.monotonic() - start >= seconds:
            break
    cpu, wall = cpu_now() - start_cpu, time.monotonic() - start
    return {
        "cpu_s": cpu,
        "wall_s": wall,
        "rows_per_s": rows / wall,
        "dropped": capture.dropped,
        "rss_kib": rss_kib(),
    }


def child_cpu_zenoh_lists(serial, seconds):
    return child_cpu_zenoh(serial, seconds, keep_every=True)


def child_drain(serial, rounds):
    """drain() of 100 ms of both streams (about 100 + 100 samples), timed call by call."""
    import korvelquor
    import korvelquor_capture

    client = korvelquor.Client(serial, verbose=False)
    capture = korvelquor_capture.Capture(client)
    time.sleep(0.5)
    capture.drain()
    times, rows = [], []
    for _ in range(int(rounds)):
        time.sleep(0.1)
        t = time.perf_counter_ns()
        batch = capture.drain()
        times.append(time.perf_counter_ns() - t)
        rows.append(batch.basic.rows + batch.extra.rows)
    times.sort()
    return {
        "median_us": statistics.median(times) / 1e3,
        "p99_us": times[int(len(times) * 0.99)] / 1e3,
        "median_rows": statistics.median(rows),
    }


def run_floor(serial, seconds):
    floor = os.environ.get("KQ_FLOOR_SUBSCRIBER")
    if not floor:
        return None
    from korvel_sim.serial import normalize_serial

    out = subprocess.run(
        [floor, normalize_serial(serial), str(seconds)], capture_output=True, text=True, timeout=120
    )
    if out.returncode != 0:
        raise SystemExit(f"floor subscriber failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


CHILDREN = {
    "accessors": child_accessors,
    "cpu-korvelquor": child_cpu_korvelquor,
    "cpu-zenoh": child_cpu_zenoh,
    "cpu-capture": child_cpu_capture,
    "cpu-zenoh-lists": child_cpu_zenoh_lists,
    "drain": child_drain,
}


# --- parent -------------------------------------------------------------------------------


def run_child(kind, serial, amount):
    out = subprocess.run(
        [sys.executable, __file__, "--child", kind, "--serial", serial, "--amount", str(amount)],
        capture_output=True,
        text=True,
        timeout=600,
        env=dict(os.environ),
    )
    if out.returncode != 0:
        raise SystemExit(f"{kind} failed:\n{out.stdout}\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--child", choices=CHILDREN)
    p.add_argument("--serial", default=SERIAL)
    p.add_argument("--amount", type=float)
    p.add_argument("--seconds", type=float, default=8.0, help="CPU window per run (default 8)")
    p.add_argument("--rounds", type=int, default=2, help="CPU runs per client (default 2)")
    p.add_argument("--calls", type=int, default=20000, help="timed calls per accessor")
    p.add_argument("--out", type=Path, default=ROOT / "bench" / "results" / "python")
    args = p.parse_args()

    if args.child:
        amount = int(args.amount) if args.child == "accessors" else args.amount
        print(json.dumps(CHILDREN[args.child](args.serial, amount)))
        return 0

    from korvel_sim.testing import SimProcess

    with SimProcess(args.serial, layout="two-arm", rate=1000):
        accessors = run_child("accessors", args.serial, args.calls)
        drain = run_child("drain", args.serial, 200)
        cpu = {
            "cpu-korvelquor": [],
            "cpu-zenoh": [],
            "cpu-capture": [],
            "cpu-zenoh-lists": [],
            "cpu-floor": [],
        }
        for _ in range(args.rounds):
            for kind in cpu:  # alternating, so that drift in the machine's load hits all
                if kind == "cpu-floor":
                    floor = run_floor(args.serial, args.seconds)
                    if floor:
                        cpu[kind].append(floor)
                else:
                    cpu[kind].append(run_child(kind, args.serial, args.seconds))

    print(
        f"korvelquor from Python, substitute two-arm at 1 kHz (median of {args.calls} calls each)"
    )
    print(f"  {'accessor':<10} {'median':>10} {'p90':>10}")
    for name, r in accessors.items():
        print(f"  {name + '()':<10} {r['median_us']:>8.2f}us {r['p90_us']:>8.2f}us")
    share = {
        k: statistics.median(r["cpu_s"] / r["wall_s"] for r in runs)
        for k, runs in cpu.items()
        if runs
    }
    print(
        f"\nCPU receiving both streams at 1 kHz ({args.rounds} x {args.seconds:.0f} s windows, "
        "median share of one core)"
    )
    print(f"  korvelquor.Client                      {share['cpu-korvelquor'] * 100:6.1f} %")
    zrates = cpu["cpu-zenoh"][-1]["samples_per_s"]
    print(
        f"  eclipse-zenoh + z_deserialize (Python) {share['cpu-zenoh'] * 100:6.1f} %"
        f"   ({zrates['basic']:.0f} basic/s, {zrates['extra']:.0f} extra/s decoded)"
    )
    ratio = (
        share["cpu-zenoh"] / share["cpu-korvelquor"] if share["cpu-korvelquor"] else float("inf")
    )
    print(f"  ratio plain Python / korvelquor         {ratio:6.1f} x")
    advanced = cpu["cpu-korvelquor"][-1]["stream_advanced_s"]
    print(f"  (korvelquor's cached stamp advanced {advanced:.2f} s over the last window)")

    print(
        f"  korvelquor.Client + Capture, drained every 100 ms {share['cpu-capture'] * 100:6.1f} %"
    )
    print(
        f"  eclipse-zenoh + z_deserialize, every sample kept  {share['cpu-zenoh-lists'] * 100:6.1f} %"
    )
    if "cpu-floor" in share:
        print(
            f"  bare subscriber on the transport (floor)          {share['cpu-floor'] * 100:6.1f} %"
        )
    print(
        f"\ndrain() of 100 ms of both streams: median {drain['median_us']:.0f} us, "
        f"p99 {drain['p99_us']:.0f} us ({drain['median_rows']:.0f} rows)"
    )

    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "python_accessors.json").write_text(
        json.dumps(
            {
                "accessors": accessors,
                "cpu": cpu,
                "cpu_share": share,
                "cpu_ratio": ratio,
                "drain": drain,
            },
            indent=2,
        )
    )
    ok = accessors["states"]["median_us"] < STATES_TARGET_US
    print(f"\nstates() median {'meets' if ok else 'MISSES'} the {STATES_TARGET_US:.0f} us target")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
