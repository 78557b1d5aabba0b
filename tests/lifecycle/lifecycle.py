"""Lifecycle and soak of korvelquor against the substitute controller (two arms, 1 kHz,
both streams), in one process:

1. churn: N Client constructions and destructions; resident memory must not grow beyond
   noise, and after the last one the zenoh session is closed (its sockets are gone) and a
   new client opens a new one;
2. threads: 4 Python threads call every accessor of one client for D seconds while the
   streams run; only documented answers, nothing hangs;
3. outage: the substitute is killed mid-stream and restarted: the stream accessors keep
   answering from the cache, connected() turns false within its timeout, the remote
   accessors raise RuntimeError within theirs, and after the restart everything answers
   again.

    lifecycle.py [--constructions N] [--duration SECONDS] [--outages K]

Runs in the "host" namespace; starts the substitute in "robot" itself. Prints its
figures and exits non-zero on the first failed check.
"""

from __future__ import annotations

import argparse
import os
import resource
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "sim"))

import korvelquor  # noqa: E402
from korvel_sim.testing import SimProcess, rss_kib  # noqa: E402

PROBE_BOUND = 1.0 + 0.5
REQUEST_BOUND = 2.0 + 0.5


class CheckFailed(AssertionError):
    pass


def check(condition: bool, what: str) -> None:
    if not condition:
        raise CheckFailed(what)


def socket_count() -> int:
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}").startswith("socket:"):
                count += 1
        except OSError:
            pass
    return count


def wait_until(predicate, timeout: float) -> bool:
    give_up = time.monotonic() + timeout
    while time.monotonic() < give_up:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


def churn(serial: str, constructions: int) -> dict:
    sockets_before = socket_count()
    samples = []
    started = time.monotonic()
    for i in range(constructions):
        client = korvelquor.Client(serial, verbose=False)
        check(wait_until(lambda: len(client.states()) == 5, 5.0), f"construction {i}: no states")
        del client
        if i == 9 or i == constructions - 1:
            samples.append(rss_kib())
    took = time.monotonic() - started
    # With the last client gone the session is closed: its sockets go with it. zenoh gives
    # unresponsive peers up to 10 s to acknowledge the close.
    check(
        wait_until(lambda: socket_count() <= sockets_before, 15.0),
        f"session still open after the last client: {socket_count()} sockets, "
        f"{sockets_before} before",
    )
    client = korvelquor.Client(serial, verbose=False)
    check(client.connected(), "a client after the churn does not connect")
    del client
    growth = samples[-1] - samples[0] if len(samples) == 2 else 0
    # Noise: allocator arenas and zenoh's runtime settle within a few MiB.
    check(growth < 8 * 1024, f"resident memory grew by {growth} KiB over the churn")
    return {
        "constructions": constructions,
        "seconds": round(took, 1),
        "rss_after_10_kib": samples[0],
        "rss_end_kib": samples[-1],
        "rss_growth_kib": growth,
    }


def hammer(serial: str, duration: float) -> dict:
    client = korvelquor.Client(serial, verbose=False)
    accessors = {
        "connected": client.connected,
        "groups": client.groups,
        "states": client.states,
        "actions": client.actions,
        "primitive_states": client.primitive_states,
        "configuration_score": client.configuration_score,
        "plan_info": client.plan_info,
        "estop_released": client.estop_released,
        "enabling_device_on": client.enabling_device_on,
        "digital_inputs": client.digital_inputs,
        "digital_outputs": client.digital_outputs,
    }
    counts = {name: 0 for name in accessors}
    slowest = {name: 0.0 for name in accessors}
    errors: list = []
    lock = threading.Lock()
    stop = time.monotonic() + duration

    def worker(offset: int) -> None:
        names = list(accessors)
        i = offset
        while time.monotonic() < stop:
            name = names[i % len(names)]
            i += 1
            started = time.monotonic()
            try:
                result = accessors[name]()
                if name in ("states", "actions", "groups"):
                    check(len(result) == 5, f"{name} returned {len(result)} groups")
                if name in ("digital_inputs", "digital_outputs"):
                    check(len(result) == 20, f"{name} returned {len(result)} values")
                if name == "connected":
                    check(result is True, "connected() false while the robot runs")
            except Exception as e:  # noqa: BLE001 - every exception is a finding here
                with lock:
                    errors.append(f"{name}: {type(e).__name__}: {e}")
            took = time.monotonic() - started
            with lock:
                counts[name] += 1
                slowest[name] = max(slowest[name], took)

    # Resident memory at ten points of the run: a leak per call shows as a steady climb,
    # allocator and zenoh buffer warm-up as an early step that then stays flat.
    rss_trace: list = []

    def sample_rss() -> None:
        while time.monotonic() < stop:
            rss_trace.append(rss_kib())
            time.sleep(max(duration / 10, 0.1))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    threads.append(threading.Thread(target=sample_rss))
    for t in threads:
        t.start()
    for t in threads:
        t.join(duration + 30)
        check(not t.is_alive(), "an accessor thread hangs")
    del client
    check(not errors, f"{len(errors)} accessor failures, first: {errors[:3]}")
    # Past the first tenth the calls have warmed every pool up; what grows after is a leak.
    if len(rss_trace) >= 3:
        growth = rss_trace[-1] - rss_trace[1]
        check(growth < 8 * 1024, f"resident memory grew by {growth} KiB while the threads ran")
    return {
        "seconds": duration,
        "calls": sum(counts.values()),
        "rss_trace_kib": rss_trace,
        "slowest_ms": {k: round(v * 1000, 1) for k, v in slowest.items()},
    }


def outage(serial: str, sim: SimProcess, rounds: int) -> tuple:
    client = korvelquor.Client(serial, verbose=False)
    figures = []
    for r in range(rounds):
        check(wait_until(lambda: len(client.states()) == 5, 5.0), "no states before the outage")
        sim.kill()
        time.sleep(0.1)
        cached = client.states()
        check(len(cached) == 5, "the cache was lost with the robot")
        stamp = cached[korvelquor.ALL].timestamp
        time.sleep(0.3)
        check(client.states()[korvelquor.ALL].timestamp == stamp, "states changed with no robot")
        check(
            len(client.groups()) == 5 and len(client.digital_inputs()) == 20,
            "stream accessors stopped answering",
        )
        started = time.monotonic()
        answered = client.connected()
        probe_s = time.monotonic() - started
        check(
            not answered and probe_s <= PROBE_BOUND,
            f"connected() answered {answered} after {probe_s:.2f} s",
        )
        for call in (client.plan_info, client.configuration_score, client.primitive_states):
            started = time.monotonic()
            try:
                call()
                raise CheckFailed(f"{call.__name__} answered with no robot")
            except RuntimeError:
                pass
            took = time.monotonic() - started
            check(took <= REQUEST_BOUND, f"{call.__name__} took {took:.2f} s with no robot")
        sim = SimProcess(serial, layout="two-arm", rate=1000).__enter__()
        started = time.monotonic()
        check(wait_until(client.connected, 10.0), "connected() stays false after the restart")
        check(
            wait_until(lambda: client.states()[korvelquor.ALL].timestamp != stamp, 10.0),
            "the streams do not resume after the restart",
        )
        figures.append(round(time.monotonic() - started, 2))
        client.plan_info()
    del client
    return sim, {"outages": rounds, "seconds_to_recover": figures}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--constructions", type=int, default=40)
    parser.add_argument("--duration", type=float, default=10.0)
    parser.add_argument("--outages", type=int, default=1)
    args = parser.parse_args()
    serial = f"KQ-SOAK-{os.getpid()}"
    sim = SimProcess(serial, layout="two-arm", rate=1000).__enter__()
    try:
        figures = {"rss_start_kib": rss_kib()}
        figures["churn"] = churn(serial, args.constructions)
        print("churn", figures["churn"], flush=True)
        figures["threads"] = hammer(serial, args.duration)
        print("threads", figures["threads"], flush=True)
        sim, figures["outage"] = outage(serial, sim, args.outages)
        print("outage", figures["outage"], flush=True)
        figures["rss_end_kib"] = rss_kib()
        figures["max_rss_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print("figures", figures, flush=True)
    except CheckFailed as failure:
        print(f"FAILED: {failure}", file=sys.stderr, flush=True)
        return 1
    finally:
        sim.__exit__(None, None, None)
    return 0


if __name__ == "__main__":
    sys.exit(main())
