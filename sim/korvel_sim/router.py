"""A zenoh router for test networks: eclipse-zenoh's own session in router mode, otherwise
zenoh's default configuration (listens on TCP 7447 on every interface, answers multicast
scouting). Peers on either side of it find it by multicast and connect to it by themselves.

    python -m korvel_sim.router [--subregion INTERFACE ...] [--listen ENDPOINT ...]

Why --subregion: zenoh (1.10) puts every peer that connects to a router into one region of
peers and assumes those peers reach each other directly (the router gossips their addresses
so that they connect); it forwards nothing between two peers of one region. A robot and a
workstation on two networks joined only by the router share no link, so each side's peers
must form a region of their own: --subregion names the interface a region's peers arrive
on, and the router then forwards between the regions, as a zenohd between a robot's network
and an office network would. Without it, both sides connect to the router and see nothing
of each other.

Prints READY once the session is open; SIGTERM or SIGINT stops it with exit status 0.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import threading


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="korvel-router", description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--subregion",
        action="append",
        default=[],
        metavar="INTERFACE",
        help="peers that connect over this interface form a region of their "
        "own (repeatable; one per side)",
    )
    parser.add_argument(
        "--listen",
        action="append",
        default=[],
        metavar="ENDPOINT",
        help="listen on this endpoint instead of the default (repeatable)",
    )
    args = parser.parse_args(argv)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())

    import zenoh

    config = zenoh.Config()
    config.insert_json5("mode", json.dumps("router"))
    if args.subregion:
        regions = [{"filters": [{"interfaces": [name]}]} for name in args.subregion]
        config.insert_json5("gateway", json.dumps({"south": regions}))
    if args.listen:
        config.insert_json5("listen/endpoints", json.dumps(args.listen))
    try:
        session = zenoh.open(config)
    except Exception as e:
        print(f"korvel-router: cannot open a router session: {e}", file=sys.stderr)
        return 1
    print("READY", flush=True)
    stop.wait()
    # zenoh may wait on unresponsive peers while closing; a stop stays under a second.
    timer = threading.Timer(0.8, lambda: os._exit(0))
    timer.daemon = True
    timer.start()
    session.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
