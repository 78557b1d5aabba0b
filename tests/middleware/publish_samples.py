"""Publishes a scripted sequence of extra-stream samples for the typed-subscriber tests.

    publish_samples.py KEY SPEC...

SPEC is good:V (a valid message whose q_d is [V]), trailing:V (the same with one byte too
many) or cut:V (the same, one byte short). Prints READY once declared, waits until a
subscriber matches, publishes the samples 20 ms apart, prints DONE and exits.
"""

import sys
import time

import zenoh

from korvel_sim import wire
from korvel_sim.records import AllExtraStreamData, ExtraJointData


def payload(spec: str) -> bytes:
    kind, value = spec.split(":", 1)
    msg = AllExtraStreamData(joint_data=ExtraJointData(q_d=[float(value)], dq_d=[], tau_d=[]))
    raw = wire.encode(msg)
    return {"good": raw, "trailing": raw + b"\x00", "cut": raw[:-1]}[kind]


def main() -> int:
    key, specs = sys.argv[1], sys.argv[2:]
    payloads = [payload(s) for s in specs]
    with zenoh.open(zenoh.Config()) as session:
        publisher = session.declare_publisher(key, encoding=zenoh.Encoding.ZENOH_SERIALIZED)
        print("READY", flush=True)
        give_up = time.monotonic() + 20
        while not publisher.matching_status.matching:
            if time.monotonic() > give_up:
                return 1
            time.sleep(0.01)
        time.sleep(0.1)  # let the subscriber's declaration settle on both sides
        for p in payloads:
            publisher.put(p)
            time.sleep(0.02)
        time.sleep(0.2)
        print("DONE", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
