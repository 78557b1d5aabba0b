"""The client side of the fault suite: one process holding korvelquor clients of one robot,
measuring while scripts/faults plays a fault, then timing their destruction.

    probe.py --serial S --role stream|rpc|hold [--clients N] [--sample-hz HZ]
    probe.py --serial S --role constructions --constructions K

stream         reads states() at --sample-hz (round robin over the clients) and records, per
               read, the age of the newest sample (wall clock minus the robot's timestamp),
               the joint count of ALL and whether the joint values are the rogue's marker;
               also CPU time and resident memory at 5 Hz
rpc            calls connected(), plan_info(), configuration_score(), primitive_states() in
               turn, back to back, and records each call's start, duration and outcome
hold           holds the clients only, so that they can be destroyed during a fault
constructions  K constructions and destructions in a row, recording each outcome, the joint
               layout the client took and who answered plan_info()

Protocol on stdin/stdout: prints READY once the clients are built (or FAILED <reason>);
the line `mark WALL` asks for a line `fresh MONO` as soon as a read carries a robot timestamp
at or after WALL (seconds since the epoch); the line `destroy` stops the work, deletes the
clients one by one (timed), prints one JSON line with everything recorded and exits. The
separate roles keep the stream reads free of remote calls: a call holds the interpreter
lock until it returns, up to 2 s on a dead link, and would stall the reads meanwhile.
Times are CLOCK_MONOTONIC, which every namespace shares with the suite.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import threading
import time

import korvelquor as kq

FORGED_MARKER = 4242.0
ROGUE_NAME = "ROGUE"
RPC_CALLS = ("connected", "plan_info", "configuration_score", "primitive_states")


def rss_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_seconds() -> float:
    t = os.times()
    return t.user + t.system


class Probe:
    def __init__(self, args):
        self.args = args
        self.clients = []
        self.stop = threading.Event()
        self.threads = []
        self.reads = []  # (mono, age_s or None, joints of ALL, forged 0/1)
        self.resources = []  # (mono, cpu_s, rss_kib)
        self.calls = []  # (mono_start, name, seconds, ok 0/1, rogue 0/1, error)
        self.mark = None
        self.lock = threading.Lock()

    # --- work ------------------------------------------------------------------------------

    def read_states(self):
        period = 1.0 / self.args.sample_hz
        due = time.monotonic()
        i = 0
        while not self.stop.is_set():
            client = self.clients[i % len(self.clients)]
            i += 1
            states = client.states()
            mono, wall = time.monotonic(), time.time()
            age, joints, forged = None, 0, 0
            all_states = states.get(kq.ALL)
            if all_states is not None:
                sec, nsec = all_states.timestamp
                age = wall - (sec + nsec * 1e-9)
                joints = len(all_states.q)
                forged = int(joints > 0 and all_states.q[0] == FORGED_MARKER)
                with self.lock:
                    if self.mark is not None and age is not None and wall - age >= self.mark:
                        self.mark = None
                        print(f"fresh {mono:.6f}", flush=True)
            self.reads.append(
                (round(mono, 6), None if age is None else round(age, 6), joints, forged)
            )
            due += period
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            else:
                due = time.monotonic()

    def sample_resources(self):
        while not self.stop.is_set():
            self.resources.append((round(time.monotonic(), 6), round(cpu_seconds(), 4), rss_kib()))
            self.stop.wait(0.2)

    def call_rpcs(self):
        i = 0
        while not self.stop.is_set():
            client = self.clients[i % len(self.clients)]
            name = RPC_CALLS[i % len(RPC_CALLS)]
            i += 1
            started = time.monotonic()
            ok, rogue, error = 0, 0, ""
            try:
                result = getattr(client, name)()
                ok = int(result is True) if name == "connected" else 1
                if name == "plan_info":
                    rogue = int(result.pt_name == ROGUE_NAME)
                elif name == "primitive_states":
                    rogue = int(any(p.pt_name == ROGUE_NAME for p in result.values()))
            except RuntimeError as e:
                error = str(e)[:80]
            self.calls.append(
                (round(started, 6), name, round(time.monotonic() - started, 6), ok, rogue, error)
            )

    # --- lifecycle -------------------------------------------------------------------------

    def build(self):
        for _ in range(self.args.clients):
            self.clients.append(kq.Client(self.args.serial, verbose=False))
        if self.args.role == "stream":
            give_up = time.monotonic() + 5.0
            while not self.clients[0].states() and time.monotonic() < give_up:
                time.sleep(0.01)
        work = {
            "stream": [self.read_states, self.sample_resources],
            "rpc": [self.call_rpcs],
            "hold": [],
        }[self.args.role]
        for target in work:
            thread = threading.Thread(target=target, daemon=True)
            thread.start()
            self.threads.append(thread)

    def destroy(self) -> dict:
        self.stop.set()
        for thread in self.threads:
            thread.join()
        rss_before = rss_kib()
        times = []
        while self.clients:
            client = self.clients.pop()
            started = time.monotonic()
            del client
            times.append(time.monotonic() - started)
        return {
            "role": self.args.role,
            "clients": self.args.clients,
            "destroy_s": [round(t, 4) for t in times],
            "rss_before_destroy_kib": rss_before,
            "reads": self.reads,
            "resources": self.resources,
            "calls": self.calls,
        }


def constructions(args) -> dict:
    """Each construction's outcome: the error, or the joint count of ALL it took and whether
    the rogue answered plan_info()."""
    outcomes = []
    for _ in range(args.constructions):
        started = time.monotonic()
        try:
            client = kq.Client(args.serial, verbose=False)
        except RuntimeError as e:
            outcomes.append(
                {
                    "ok": False,
                    "error": str(e)[:120],
                    "seconds": round(time.monotonic() - started, 3),
                }
            )
            continue
        give_up = time.monotonic() + 2.0
        while not client.states() and time.monotonic() < give_up:
            time.sleep(0.01)
        states = client.states()
        joints = len(states[kq.ALL].q) if kq.ALL in states else 0
        try:
            plan_rogue = client.plan_info().pt_name == ROGUE_NAME
        except RuntimeError:
            plan_rogue = None
        took = time.monotonic() - started
        started = time.monotonic()
        del client
        outcomes.append(
            {
                "ok": True,
                "joints": joints,
                "plan_rogue": plan_rogue,
                "seconds": round(took, 3),
                "destroy_s": round(time.monotonic() - started, 4),
            }
        )
    return {"role": "constructions", "outcomes": outcomes}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--serial", required=True)
    parser.add_argument("--role", required=True, choices=["stream", "rpc", "hold", "constructions"])
    parser.add_argument("--clients", type=int, default=1)
    parser.add_argument("--sample-hz", type=float, default=200.0)
    parser.add_argument("--constructions", type=int, default=10)
    args = parser.parse_args()

    if args.role == "constructions":
        print(json.dumps(constructions(args)), flush=True)
        return 0
    probe = Probe(args)
    try:
        probe.build()
    except RuntimeError as e:
        print(f"FAILED {e}", flush=True)
        return 1
    print("READY", flush=True)
    for line in sys.stdin:
        word, _, rest = line.strip().partition(" ")
        if word == "mark":
            with probe.lock:
                probe.mark = float(rest)
        elif word == "destroy":
            break
    print(json.dumps(probe.destroy()), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
