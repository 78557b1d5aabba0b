"""Command line of the substitute robot controller."""

from __future__ import annotations

import argparse
import logging
import os
import signal
import sys
import threading

from .faults import FaultError, FaultState, help_text, parse_cli
from .layouts import LAYOUTS
from .serial import InvalidSerial, normalize_serial

DESCRIPTION = """\
Substitute korvel robot controller. Serves, under korvel/robot/<normalized serial>/, the
RPC queryable (.../rpc) and publishes the basic and extra streams
(.../basic_stream_data, .../extra_stream_data) at --rate Hz. Faults for tests are set with
--fault at start or at run time through the queryable korvel/sim/<serial>/control, which
takes JSON such as {"set": {"reply_delay_ms": 1500}, "requests": [4]} or {"clear": true}
and answers with the fault state as JSON. Prints READY once everything is declared;
SIGTERM or SIGINT stops it with exit status 0.

With --replay FILE.mcap (a recording of `korvelquor record`) it publishes the recorded
payloads instead, with the recorded timing, and answers the remote calls from the recorded
facts; --serial then defaults to the recorded one and --layout/--rate do not apply. When the
recording is over (every round with --loop) the streams stop and the remote calls are still
answered until SIGTERM."""


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="korvel-sim",
        description=DESCRIPTION,
        epilog=help_text(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument(
        "--serial",
        help='robot serial number, normalized like the client does ("AB 4s-012345" '
        'serves AB-4s-012345); required unless --replay gives it',
    )
    p.add_argument(
        "--layout",
        choices=sorted(LAYOUTS),
        default="one-arm",
        help="one-arm: groups ALL, ARM_1 over 7 joints; two-arm: ALL, ARMS, ARM_1, "
        "ARM_2, EXT_AXIS over 21 joints (default one-arm)",
    )
    p.add_argument(
        "--rate",
        type=float,
        default=1000.0,
        help="samples per second on each stream (default 1000)",
    )
    p.add_argument(
        "--fault",
        action="append",
        default=[],
        metavar="NAME[=VALUE][@IDS]",
        help="switch a fault on at start; repeatable (list below)",
    )
    p.add_argument(
        "--lossless",
        action="store_true",
        help="publish with zenoh's congestion control 'block' instead of 'drop', so "
        "that no sample is dropped when the link is congested (for counting a "
        "client's loss against published_basic / published_extra)",
    )
    p.add_argument("--verbose", action="store_true", help="log every RPC detail to stderr")
    p.add_argument(
        "--replay",
        nargs="+",
        metavar="FILE.mcap",
        help="publish a recording (korvelquor record) instead of the moving model; the "
        "folder or the parts of a split recording (record --split-*) replay as one",
    )
    p.add_argument(
        "--speed",
        type=float,
        default=1.0,
        help="replay speed factor (default 1: the recorded timing)",
    )
    p.add_argument("--loop", action="store_true", help="replay the recording over and over")
    return p


def _exit_after(seconds: float):
    """Ends the process even if zenoh takes too long to close, so a stop stays under a second."""
    timer = threading.Timer(seconds, lambda: os._exit(0))
    timer.daemon = True
    timer.start()


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    logging.basicConfig(
        level=logging.DEBUG if args.verbose else logging.INFO,
        format="korvel-sim %(levelname)s %(message)s",
        stream=sys.stderr,
    )
    parser = _parser()
    replay = None
    if args.replay is not None:
        from .replay import Replay, ReplayError

        try:
            path = args.replay[0] if len(args.replay) == 1 else args.replay
            replay = Replay(path, speed=args.speed, loop=args.loop)
        except ReplayError as e:
            # A file that cannot be replayed is not a usage error: one line, status 1.
            print(f"korvel-sim: {e}", file=sys.stderr)
            return 1
        if args.serial is None:
            args.serial = replay.robot.serial
    elif args.speed != 1.0 or args.loop:
        parser.error("--speed and --loop apply to --replay only")
    if args.serial is None:
        parser.error("--serial is required (or --replay FILE.mcap, which records one)")
    try:
        serial = normalize_serial(args.serial)
    except InvalidSerial as e:
        parser.error(str(e))
    if not 0 < args.rate <= 20000:
        parser.error(f"--rate must be above 0 and at most 20000, got {args.rate}")
    faults = FaultState()
    try:
        for text in args.fault:
            name, value, ids = parse_cli(text)
            faults.set(name, value, ids)
    except FaultError as e:
        parser.error(str(e))

    stop = threading.Event()

    def on_signal(signum, frame):
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    from .server import Simulator  # zenoh is only needed once the arguments are good

    if replay is not None:
        sim = Simulator(
            serial,
            replay.robot.layout,
            args.rate,
            faults,
            model=replay.robot,
            replay=replay,
            lossless=args.lossless,
        )
    else:
        sim = Simulator(serial, LAYOUTS[args.layout], args.rate, faults, lossless=args.lossless)
    try:
        sim.open()
    except Exception as e:
        print(f"korvel-sim: cannot serve robot {serial!r}: {e}", file=sys.stderr)
        return 1
    logging.getLogger("korvel_sim").info(
        "serving korvel/robot/%s (%s), faults %s",
        serial,
        f"replay of {args.replay} at speed {args.speed:g}{', looping' if args.loop else ''}"
        if replay is not None
        else f"{args.layout}, {args.rate:g} Hz",
        faults.snapshot()["faults"],
    )
    print("READY", flush=True)
    sim.run(stop)
    _exit_after(0.8)
    sim.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
