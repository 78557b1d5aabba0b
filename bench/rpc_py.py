"""The anchor of the RPC benchmark: a plain eclipse-zenoh Python `get` of the same request
against the same robot, p50/p99 over N calls, printed as one JSON object.

    rpc_py.py SERIAL [CALLS]
"""

import json
import sys
import time

import zenoh

from korvel_sim import wire
from korvel_sim.records import RPCRequest


def main() -> int:
    serial = sys.argv[1]
    calls = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    key = f"korvel/robot/{serial}/rpc"
    payload = wire.encode(RPCRequest(request_id=1, joint_groups=[]))
    with zenoh.open(zenoh.Config()) as session:

        def call() -> bool:
            replies = session.get(
                key, payload=payload, timeout=2.0, encoding=zenoh.Encoding.ZENOH_SERIALIZED
            )
            got = [r for r in replies if r.ok is not None]
            return bool(got) and len(got[0].ok.payload.to_bytes()) > 0

        answered = 0
        for _ in range(500):
            if call():
                answered += 1
                if answered == 100:
                    break
            else:
                time.sleep(0.02)
        times = []
        failures = 0
        for _ in range(calls):
            start = time.perf_counter_ns()
            ok = call()
            end = time.perf_counter_ns()
            if ok:
                times.append((end - start) / 1000.0)
            else:
                failures += 1
    times.sort()
    pct = lambda p: times[int(p * (len(times) - 1))] if times else 0.0
    print(
        json.dumps(
            {
                "calls": len(times),
                "failures": failures,
                "p50_us": round(pct(0.5), 1),
                "p99_us": round(pct(0.99), 1),
                "max_us": round(times[-1], 1) if times else 0,
            }
        )
    )
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
