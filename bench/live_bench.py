"""What the live bridge (`korvelquor live`) costs and how late its messages are, against the
two-arm substitute (both streams at 1 kHz) in the private network:

  * CPU of the bridge process, share of one core, at the default rate (100 samples a
    second per stream out) and at full rate (every sample);
  * latency from the robot's stamp of a basic sample (the substitute stamps with this
    machine's wall clock as it publishes) to its message at a Foxglove WebSocket client
    (tests/js/live_client.mjs, @foxglove/ws-protocol on Node), p50 and p99: an upper bound
    of arrival-to-client, as the publish-to-arrival hop is in it.

    PYTHONPATH=build/python scripts/lib/robotnet exec host .venv/bin/python bench/live_bench.py
        [--seconds 20] [--json FILE]
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
for folder in ("sim", "tools"):
    sys.path.insert(0, str(ROOT / folder))

from korvel_sim.testing import SimProcess  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
JS = ROOT / "tests" / "js"
# Channels stamped with their own basic sample's time (actions carry the latest basic stamp).
STAMPED = ("/states", "/joint_states", "/tf", "/io")


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def run(serial, rate, seconds):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(ROOT / "tools")] + [p for p in (env.get("PYTHONPATH"),) if p]
    )
    proc = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "korvelquor_tools",
            "live",
            "--serial",
            serial,
            "--port",
            "0",
            "--rate",
            rate,
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        for _ in range(20):  # the client's own log lines come first
            line = proc.stdout.readline()
            if " at ws://" in line or not line:
                break
        if " at ws://" not in line:
            sys.exit(f"live did not start: {line}{proc.communicate(timeout=30)}")
        url = line.split(" at ", 1)[1].split(": in Foxglove")[0]
        client = subprocess.Popen(
            [
                "node",
                "live_client.mjs",
                url,
                "--per",
                "10000000",
                "--seconds",
                str(seconds + 2),
                "--no-data",
            ],
            cwd=JS,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        time.sleep(2.0)  # connected and subscribed; the window starts after it
        c0, w0 = cpu_seconds(proc.pid), time.monotonic()
        time.sleep(seconds)
        c1, w1 = cpu_seconds(proc.pid), time.monotonic()
        out, err = client.communicate(timeout=120)
        if client.returncode != 0:
            sys.exit(f"client failed: {err}")
    finally:
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=60)
    seen = json.loads(out)["messages"]
    late = [
        int(m["wallNs"]) - int(m["logTime"])
        for topic, msgs in seen.items()
        if topic.endswith(STAMPED)
        for m in msgs
    ]
    late = np.array(late, np.float64) / 1e6
    return {
        "rate": "every sample" if rate == "full" else f"{rate}/s",
        "cpu_share": (c1 - c0) / (w1 - w0),
        "messages": int(late.size),
        "latency_p50_ms": float(np.percentile(late, 50)),
        "latency_p99_ms": float(np.percentile(late, 99)),
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=20.0)
    ap.add_argument("--json", type=Path)
    args = ap.parse_args()
    if shutil.which("node") is None or not (JS / "node_modules").is_dir():
        sys.exit("live_bench: needs node and tests/js/node_modules (scripts/setup)")
    runs = []
    with SimProcess(f"KQ BENCHLIVE-{os.getpid()}", layout="two-arm", rate=1000) as sim:
        for rate in ("100", "full"):
            print(f"live bridge, {rate} ...", file=sys.stderr, flush=True)
            runs.append(run(sim.serial, rate, args.seconds))
    for r in runs:
        print(
            f"live, {r['rate']:>12} out: CPU {100 * r['cpu_share']:.1f} % of one core, "
            f"latency p50 {r['latency_p50_ms']:.2f} ms p99 {r['latency_p99_ms']:.2f} ms "
            f"({r['messages']} messages)"
        )
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({"runs": runs}, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
