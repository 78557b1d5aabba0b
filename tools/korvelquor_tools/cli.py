"""The `korvelquor` command: record, export and plot robot recordings."""

from __future__ import annotations

import argparse
import math
import os
import sys
from typing import Optional

from . import __version__
from .errors import RecordingError
from .outputs import refuse_the_input
from .status import StatusLine

DESCRIPTION = """\
Record every sample of a Korvel robot's two streams into an MCAP file (viewable in Foxglove),
export recordings to Parquet or CSV tables or to Foxglove, plot them, and serve a robot live
to Foxglove. The substitute controller replays recordings
(korvel-sim --replay FILE.mcap)."""

RECORD_HELP = """\
Connects to the robot like korvelquor.Client and writes every sample of both streams, exactly
as received (undecodable ones too), into an MCAP file, with the connection facts (serial
number, protocol version, joint-group layout, plan info, configuration score, primitive
states, client version) as metadata. A status line is updated once a second on a terminal.
Beside these raw channels it writes decoded ones that Foxglove shows (plots, joint states
for a URDF model, TCP frames in 3D; korvelquor_tools.viewable lists them), stamped with the
robot's time, at most --view-rate samples a second per stream (default 100; full: every one).
Ctrl-C, SIGTERM or --duration end it with a complete file and a one-line summary.
Exit status: 0 done, 1 no connection, 2 the output cannot be written, 3 writing failed part
way (disk full: what was written stays readable)."""

EXPORT_HELP = """\
Writes DIR/basic.EXT and DIR/extra.EXT (one row per sample: the robot timestamp as
robot_sec and robot_nsec, receive_time_ns, status fields, digital I/O, and per joint group
one column per field and joint, e.g. ARM_1.q.0, with world-frame wrenches as states()
computes them),
DIR/undecodable.EXT (every sample that did not decode: stream, seq, size, receive time,
reason) and DIR/recording.json (the recorded facts and how the file ended). A file cut short
is exported up to its last complete sample, and the command says where it ends.
With --to foxglove OUT.mcap: a copy of the recording (raw channels byte for byte, metadata)
with the decoded channels Foxglove shows, as `korvelquor record` writes them today."""

LIVE_HELP = """\
Connects to the robot and serves its decoded channels (the same as a recording's, see
`korvelquor record --help`) through the Foxglove WebSocket protocol until Ctrl-C: in
Foxglove, Open connection, Foxglove WebSocket, and the URL it prints. The protocol has no
authentication: the server binds to 127.0.0.1 unless --host says otherwise, and whoever
reaches the port then reads the robot's data. It keeps serving while the robot is silent.
Needs the live extra (foxglove-sdk, Python 3.10 or newer). Exit status: 0 stopped, 1 it
cannot start (port in use, no robot, bad --rate)."""

PLOT_HELP = """\
Plots, per joint group, the joint positions and the world-frame TCP wrench over the robot's
time, and a panel of the digital inputs and outputs, into an image file (format from the
extension: .png, .svg, .pdf)."""


def _robot_args(parser: argparse.ArgumentParser):
    """The commands that connect to a robot."""
    parser.add_argument("--serial", required=True, help="robot serial number, e.g. AB-4s-012345")
    parser.add_argument(
        "--verbose",
        action="store_true",
        help="let the client log its connection steps (on standard output)",
    )


def _rate_arg(parser: argparse.ArgumentParser, flag: str, what: str):
    parser.add_argument(
        flag, default="100", metavar="HZ", help=f"{what}, or full for every sample (default 100)"
    )


RECORDING_ARG = (
    "the recording; a recording split into parts (record --split-*) as its folder or as its "
    "parts in order"
)


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="korvelquor", description=DESCRIPTION)
    p.add_argument("--version", action="version", version=f"korvelquor_tools {__version__}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    r = sub.add_parser(
        "record", help="record both streams of a robot into an MCAP file", description=RECORD_HELP
    )
    _robot_args(r)
    r.add_argument("--out", required=True, metavar="FILE.mcap", help="the recording to write")
    r.add_argument(
        "--duration",
        type=float,
        metavar="S",
        help="seconds to record (default: until Ctrl-C or SIGTERM)",
    )
    r.add_argument(
        "--compression",
        choices=("zstd", "lz4", "none"),
        default="zstd",
        help="compression of the file's chunks (default zstd)",
    )
    _rate_arg(
        r, "--view-rate", "samples a second per stream in the decoded (Foxglove) channels: a number"
    )
    r.add_argument("--no-view", action="store_true", help="only the raw channels, no decoded ones")
    split = r.add_mutually_exclusive_group()
    split.add_argument(
        "--split-seconds",
        type=float,
        metavar="S",
        help="a recording in parts of about S seconds, each complete, in the folder --out (a "
        "trailing .mcap left off), named OUT_000000.mcap, OUT_000001.mcap, ...",
    )
    split.add_argument(
        "--split-mb", type=float, metavar="M", help="the same, a new part once one holds M MB"
    )
    r.add_argument(
        "--keep",
        type=int,
        metavar="N",
        default=0,
        help="with --split-*: only the newest N parts are kept, older ones deleted (default: all)",
    )

    e = sub.add_parser(
        "export",
        help="write a recording's samples as Parquet or CSV tables",
        description=EXPORT_HELP,
    )
    e.add_argument("recording", nargs="+", metavar="FILE.mcap", help=RECORDING_ARG)
    e.add_argument(
        "--to",
        required=True,
        nargs=2,
        metavar=("FORMAT", "DIR"),
        help="parquet or csv and the folder to write the tables into, or foxglove "
        "and the MCAP file to write",
    )
    _window_args(e, "--until")
    _columns_args(e)
    _rate_arg(
        e, "--view-rate", "with --to foxglove: samples a second per stream in the decoded channels"
    )

    lv = sub.add_parser(
        "live", help="serve a robot live to Foxglove (WebSocket)", description=LIVE_HELP
    )
    _robot_args(lv)
    lv.add_argument("--port", type=int, default=8765, help="TCP port (default 8765; 0: any free)")
    lv.add_argument(
        "--host",
        default="127.0.0.1",
        help="address to bind to (default 127.0.0.1, this machine only)",
    )
    _rate_arg(lv, "--rate", "samples a second per stream sent")

    pl = sub.add_parser(
        "plot", help="plot joint positions, TCP wrench and digital I/O", description=PLOT_HELP
    )
    pl.add_argument("recording", nargs="+", metavar="FILE.mcap", help=RECORDING_ARG)
    pl.add_argument("--out", required=True, metavar="FILE.png", help="the image to write")
    pl.add_argument(
        "--groups",
        metavar="G[,G...]",
        help="joint groups to show, e.g. ARM_1,ARM_2 (default: every one)",
    )
    _window_args(pl, "--to")
    return p


def _window_args(p, end_flag: str):
    p.add_argument(
        "--from",
        dest="start",
        type=float,
        metavar="S",
        help="only the samples received from S seconds after the first sample on; only the "
        "chunks of the file that hold them are read",
    )
    p.add_argument(
        end_flag,
        dest="stop",
        type=float,
        metavar="S",
        help="only the samples received up to S seconds after the first sample",
    )


def _columns_args(p):
    p.add_argument(
        "--groups", metavar="G[,G...]", help="only these joint groups' columns, e.g. ARM_1"
    )
    p.add_argument(
        "--fields",
        metavar="F[,F...]",
        help="only these fields' columns, e.g. q,tcp_wrench,digital_inputs (the identifying "
        "columns seq, robot_sec, robot_nsec, receive_time_ns and layout_ok stay)",
    )


def _listed(text):
    return [g.strip() for g in text.split(",") if g.strip()] if text else None


def _progress(verb: str, status: StatusLine):
    def report(count, share):
        status.update(f"{verb}: {count} samples read ({100 * share:.0f} % of the file)")

    return report


def parse_rate(text: str) -> Optional[float]:
    """--rate and --view-rate: a positive number of samples a second, or full (None)."""
    if text.strip().lower() == "full":
        return None
    try:
        rate = float(text)
    except ValueError:
        rate = float("nan")
    if not (rate > 0 and math.isfinite(rate)):
        raise ValueError(f"must be a positive number of samples a second or full, got {text!r}")
    return rate


def _to_foxglove(args, rate) -> int:
    from .convert import to_foxglove

    out = args.to[1]
    status = StatusLine()
    end = to_foxglove(
        args.recording, out, rate, progress=lambda n: status.update(f"export: {n} samples copied")
    )
    status.done()
    print(
        f"export: {args.recording} -> {out} with the Foxglove channels "
        f"({'every sample' if rate is None else f'{rate:g} samples/s per stream'})"
    )
    if not end.clean:
        print(f"export: {end.describe(args.recording)}", file=sys.stderr)
    return 0


def _export(args) -> int:
    from .decode import BLOCK_ROWS as BLOCK
    from .export import export

    fmt, out_dir = args.to
    if fmt == "foxglove":
        if any(v is not None for v in (args.start, args.stop, args.groups, args.fields)):
            print(
                "export: --from, --until, --groups and --fields make tables (parquet or csv); "
                "--to foxglove copies the whole recording",
                file=sys.stderr,
            )
            return 1
        try:
            rate = parse_rate(args.view_rate)
        except ValueError as e:
            print(f"export: --view-rate {e}", file=sys.stderr)
            return 1
        return _to_foxglove(args, rate)
    if fmt not in ("parquet", "csv"):
        print(f"export: format must be parquet, csv or foxglove, got {fmt!r}", file=sys.stderr)
        return 2
    from .selection import Selection

    status = StatusLine()
    try:
        selection = Selection.of(args.start, args.stop, _listed(args.groups), _listed(args.fields))
        result = export(
            args.recording, fmt, out_dir, progress=_progress("export", status), selection=selection
        )
    except ValueError as e:  # a selection the recording does not have
        status.done()
        print(f"export: {e}", file=sys.stderr)
        return 1
    status.done()
    undecodable = len(result.undecodable)
    print(
        f"export: basic {result.rows['basic']} rows, extra {result.rows['extra']} rows, "
        f"{undecodable} undecodable samples -> {out_dir}"
    )
    for stream, seq, size, reason in result.undecodable[:5]:
        print(f"  undecodable: {stream} seq {seq}, {size} bytes: {reason}")
    if undecodable > 5:
        print(f"  ... {undecodable - 5} more in {out_dir}/undecodable.{fmt}")
    if result.left_out:
        groups = sorted({c.split(".")[0] for c in result.left_out})
        print(
            f"export: {len(result.left_out)} columns of joint groups the robot named only "
            f"after the first {BLOCK} samples ({', '.join(groups)}) are not in the files; "
            f"read_recording() has them",
            file=sys.stderr,
        )
    if not result.end.clean:
        print(f"export: {result.end.describe(args.recording)}", file=sys.stderr)
    return 0


def _plot(args) -> int:
    from .plot import save_states_plot
    from .plot_recording import recording_series

    folder = os.path.dirname(os.path.abspath(args.out))
    if not os.path.isdir(folder):  # known before the whole recording is read
        print(f"plot: cannot write {args.out}: no folder {folder}", file=sys.stderr)
        return 2
    refuse_the_input(args.out, args.recording)
    groups = _listed(args.groups)
    status = StatusLine()
    try:
        series = recording_series(
            args.recording,
            groups=groups,
            start=args.start,
            stop=args.stop,
            progress=lambda n: status.update(f"plot: {n} samples read"),
        )
    except ValueError as e:  # a window that is none
        status.done()
        print(f"plot: {e}", file=sys.stderr)
        return 1
    status.done()
    for note in series.notes:
        print(f"plot: {note}", file=sys.stderr)
    if not save_states_plot(series, args.out):
        print(
            f"plot: no sample to plot in {args.recording}"
            + (" within the window" if args.start is not None or args.stop is not None else ""),
            file=sys.stderr,
        )
        return 1
    print(f"plot: {len(series.t)} samples of {', '.join(series.q)} -> {args.out}")
    return 0


def main(argv=None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command in ("export", "plot") and len(args.recording) == 1:
        args.recording = args.recording[0]
    if args.command == "record" and args.duration is not None and not args.duration > 0:
        parser.error(f"--duration must be a positive number of seconds, got {args.duration}")
    if args.command == "record":
        for flag, value in (("--split-seconds", args.split_seconds), ("--split-mb", args.split_mb)):
            if value is not None and not value > 0:
                parser.error(f"{flag} must be a positive number, got {value}")
        if args.keep < 0 or (args.keep and args.split_seconds is None and args.split_mb is None):
            parser.error("--keep takes a number of parts with --split-seconds or --split-mb")
    try:
        if args.command in ("record", "live"):
            flag, text = (
                ("--rate", args.rate) if args.command == "live" else ("--view-rate", args.view_rate)
            )
            try:
                rate = parse_rate(text)
            except ValueError as e:
                print(f"{args.command}: {flag} {e}", file=sys.stderr)
                return 1
        if args.command == "live":
            if not 0 <= args.port <= 65535:
                print(f"live: --port must be 0 to 65535, got {args.port}", file=sys.stderr)
                return 1
            from .live import live

            return live(
                args.serial, host=args.host, port=args.port, rate_hz=rate, verbose=args.verbose
            )
        if args.command == "record":
            from .record import record

            return record(
                args.serial,
                args.out,
                duration=args.duration,
                verbose=args.verbose,
                compression=args.compression,
                view=not args.no_view,
                view_rate=rate,
                split_seconds=args.split_seconds or 0.0,
                split_bytes=int((args.split_mb or 0) * 1e6),
                keep=args.keep,
            )
        if args.command == "export":
            return _export(args)
        return _plot(args)
    except RecordingError as e:  # a file that is not a usable recording: one line, status 1
        print(f"{args.command}: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"{args.command}: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
