"""A rogue zenoh peer on the robot's segment, for the fault suite: it publishes on the robot's
stream keys or answers on its RPC key, under the robot's own serial number.

    rogue.py --serial S --kind garbage|counts|huge|forged|queryable [--rate HZ]
             [--layout one-arm|two-arm] [--version TEXT] [--dof N]

garbage    random bytes of random length (1 B to 4 KiB) on both stream keys
counts     well-formed messages whose first list announces 2^32, 2^60 or 2^64-1 elements
huge       16 MiB payloads, alternately random bytes and a well-formed message with about
           270 000 joints (its joint values are FORGED_MARKER)
forged     well-formed messages of the layout at the robot's rate, current timestamps, every
           joint position FORGED_MARKER: indistinguishable from the robot but for the values
queryable  answers every request on the RPC key at once: the version --version, a joint
           layout of --dof joints per group, plan info and primitive states named ROGUE,
           configuration scores of 99

Encodes with the substitute's own encoder (korvel_sim.wire). Prints READY once declared;
SIGTERM stops it. Must run inside a private network namespace (it opens a zenoh session).
"""

from __future__ import annotations

import argparse
import copy
import os
import random
import signal
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "sim"))

import zenoh  # noqa: E402
from korvel_sim.layouts import LAYOUTS  # noqa: E402
from korvel_sim.motion import RobotModel  # noqa: E402
from korvel_sim.records import AllBasicStreamData, RPCReply  # noqa: E402
from korvel_sim.server import basic_key, extra_key, rpc_key  # noqa: E402
from korvel_sim.wire import WireError, decode_request, encode, leb128  # noqa: E402

FORGED_MARKER = 4242.0
ROGUE_NAME = "ROGUE"
HUGE_BYTES = 16 * 1024 * 1024
HUGE_RATE = 8.0


def _wall():
    now = time.time_ns()
    return (now // 1_000_000_000, now % 1_000_000_000)


def _announcing(message, owner, name, count) -> bytes:
    """The encoded message with the list `name` of owner(message) announcing `count`
    elements, everything else as it was. The list's length prefix is found as the first
    byte that changes when the list grows by one element (it holds fewer than 128)."""
    good = encode(message)
    longer = copy.deepcopy(message)
    values = getattr(owner(longer), name)
    setattr(owner(longer), name, values + values[:1])
    offset = next(i for i, (x, y) in enumerate(zip(good, encode(longer))) if x != y)
    return good[:offset] + leb128(count) + good[offset + 1 :]


def absurd_count_payloads(layout):
    """Well-formed messages whose joint-group list, or first joint list, announces far more
    elements than the payload holds."""
    basic, extra = RobotModel(layout).messages(0.0, _wall())
    out = []
    for message, first_joint_list in ((basic, "q"), (extra, "q_d")):
        for owner, name in (
            (lambda m: m, "joint_group_indices"),
            (lambda m: m.joint_data, first_joint_list),
        ):
            for count in (2**32, 2**60, 2**64 - 1):
                out.append((type(message), _announcing(message, owner, name, count)))
    return out


def huge_payloads(layout):
    joints = HUGE_BYTES // 62  # each joint: nine floats and two 3-float contact entries
    model = RobotModel(layout)
    basic, _ = model.messages(0.0, _wall())
    jd = basic.joint_data
    column = [FORGED_MARKER] * joints
    for name in (
        "q",
        "theta",
        "dq",
        "dtheta",
        "tau",
        "tau_dot",
        "tau_ext",
        "tau_interact",
        "temperature",
    ):
        setattr(jd, name, column)
    jd.contact_forces = [[0.0, 0.0, 0.0]] * joints
    jd.contact_positions = [[0.0, 0.0, 0.0]] * joints
    well_formed = encode(basic)
    return [os.urandom(HUGE_BYTES), well_formed]


def forged_messages(model, t):
    basic, extra = model.messages(t, _wall())
    basic.joint_data.q = [FORGED_MARKER] * len(basic.joint_data.q)
    extra.joint_data.q_d = [FORGED_MARKER] * len(extra.joint_data.q_d)
    return encode(basic), encode(extra)


class RogueQueryable:
    def __init__(self, layout, version: str, dof: int):
        self.layout = layout
        self.version = version
        self.dof = dof

    def reply_for(self, payload: bytes):
        try:
            req = decode_request(payload)
        except WireError:
            return None
        rep = RPCReply(request_id=req.request_id, success=True)
        rid = req.request_id
        if rid == 0:
            rep.success = False
        elif rid == 1:
            rep.string_container = [self.version]
        elif rid == 3:
            rep.string_container = [
                f"jointGroup = {g.index}" if i == 0 else f"primitiveName = {ROGUE_NAME}"
                for g in self.layout.groups[-1:]
                for i in range(2)
            ]
        elif rid == 4:
            rep.string_container = [ROGUE_NAME, "node", "a/b", "0.250", "1", ROGUE_NAME, "0.8", "0"]
        elif rid == 9:
            for g in self.layout.groups:
                rep.joint_groups.append(g.index)
                rep.float2d_container.append([float(g.index), float(self.dof)] + [0.99] * 6)
        elif rid == 10:
            for index in req.joint_groups:
                if index in self.layout.indices:
                    rep.joint_groups.append(index)
                    rep.int_container.append(0)
                    rep.float_container.append(float(self.dof))
        else:
            rep.success = False
        return encode(rep)

    def __call__(self, query):
        try:
            payload = query.payload.to_bytes() if query.payload is not None else b""
            reply = self.reply_for(payload)
            if reply is not None:
                query.reply(query.key_expr, reply, encoding=zenoh.Encoding.ZENOH_SERIALIZED)
        except Exception:
            pass
        finally:
            try:
                query.drop()
            except Exception:
                pass


def publish(session, serial, kind, layout, rate, stop):
    encoding = zenoh.Encoding.ZENOH_SERIALIZED
    pub_basic = session.declare_publisher(basic_key(serial), encoding=encoding)
    pub_extra = session.declare_publisher(extra_key(serial), encoding=encoding)
    print("READY", flush=True)
    rng = random.Random(13)
    model = RobotModel(layout)
    t0 = time.monotonic()
    if kind == "counts":
        payloads = absurd_count_payloads(layout)
    elif kind == "huge":
        payloads = huge_payloads(layout)
        rate = HUGE_RATE
    period, due, n = 1.0 / rate, time.perf_counter(), 0
    while not stop.is_set():
        now = time.perf_counter()
        if now < due:
            time.sleep(min(due - now, 0.05))
            continue
        due += period
        if now - due > 0.1:
            due = now
        n += 1
        if kind == "garbage":
            for pub in (pub_basic, pub_extra):
                pub.put(rng.randbytes(rng.randint(1, 4096)))
        elif kind == "counts":
            cls, payload = payloads[n % len(payloads)]
            (pub_basic if cls is AllBasicStreamData else pub_extra).put(payload)
        elif kind == "huge":
            pub_basic.put(payloads[n % 2])
        elif kind == "forged":
            basic, extra = forged_messages(model, time.monotonic() - t0)
            pub_basic.put(basic)
            pub_extra.put(extra)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--serial", required=True, help="normalized serial number")
    parser.add_argument(
        "--kind", required=True, choices=["garbage", "counts", "huge", "forged", "queryable"]
    )
    parser.add_argument("--rate", type=float, default=1000.0, help="messages per second")
    parser.add_argument("--layout", choices=sorted(LAYOUTS), default="one-arm")
    parser.add_argument("--version", default="v2.1", help="version the queryable answers")
    parser.add_argument(
        "--dof", type=int, default=3, help="joints per group in the queryable's layout"
    )
    args = parser.parse_args()

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    layout = LAYOUTS[args.layout]
    session = zenoh.open(zenoh.Config())
    if args.kind == "queryable":
        queryable = session.declare_queryable(
            rpc_key(args.serial), RogueQueryable(layout, args.version, args.dof)
        )
        print("READY", flush=True)
        stop.wait()
        queryable.undeclare()
    else:
        publish(session, args.serial, args.kind, layout, args.rate, stop)
    # Closing may wait on peers that have gone; the suite wants the process gone at once.
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
