#!/usr/bin/env python3
"""Live monitor of a Korvel robot through korvelquor.

Shows, per joint group, the joint positions, TCP pose and TCP wrench, then the e-stop and
enabling-device flags, the digital inputs and outputs, the plan info, the primitive states
and the configuration scores. On a terminal the screen is redrawn about 10 times a second;
when stdout is not a terminal one frame a second is printed instead.

    python examples/monitor.py --serial AB-4s-012345              # a real robot, 10 s
    python examples/monitor.py --serial AB-4s-012345 --duration 0 # until Ctrl-C
    python examples/monitor.py --plot run.png                     # also save a plot

The remote calls (plan info, primitive states, configuration score) are made twice a second;
when the robot refuses one, its error text is shown in place of the values.
"""

import argparse
import signal
import sys
import time

try:
    import korvelquor
except ImportError as e:  # pragma: no cover - a hint for a module that is not on the path
    sys.exit(
        f"monitor: cannot import korvelquor ({e}); build it (scripts/setup) and put its "
        "folder (build/python) on PYTHONPATH, or pip install the project"
    )

DEFAULT_SERIAL = "KQ DEMO-000001"  # the substitute controller that scripts/demo starts
REFRESH_HZ = 10
RECORD_HZ = 100
RPC_EVERY = 5  # frames between remote calls
Q_PER_LINE = 7


def fmt(values, width=7, digits=3):
    return " ".join(f"{v:{width}.{digits}f}" for v in values)


def bits(values):
    return "".join("1" if v else "0" for v in values)


def call(fn):
    """Result of one accessor, or the text of the error it raised (the monitor goes on)."""
    try:
        return fn()
    except (RuntimeError, ValueError, IndexError) as e:
        return e


class Monitor:
    def __init__(self, client):
        self.client = client
        self.remote = {}
        self.frame = 0

    def refresh_remote(self):
        self.remote = {
            "plan info": call(self.client.plan_info),
            "primitive states": call(self.client.primitive_states),
            "scores": call(self.client.configuration_score),
        }

    def render(self, serial, elapsed):
        c = self.client
        if self.frame % RPC_EVERY == 0 or not self.remote:
            self.refresh_remote()
        self.frame += 1
        lines = [
            f"korvelquor monitor  robot [{serial}]  t = {elapsed:6.1f} s   (Ctrl-C to stop)",
            "",
        ]
        scores = self.remote["scores"]
        states = call(c.states)
        if isinstance(states, Exception):
            lines.append(f"states: error: {states}")
            states = {}
        if not states:
            lines.append("states: no data (no stream sample yet, or it does not fit the layout)")
        for group, s in states.items():
            sec, nsec = s.timestamp
            score = ""
            if not isinstance(scores, Exception) and group in scores:
                score = "  configuration score {:.1f} / {:.1f}".format(*scores[group])
            lines.append(f"[{group.name}]  DoF {len(s.q)}  stamp {sec}.{nsec % 10**9:09d}{score}")
            for i in range(0, max(len(s.q), 1), Q_PER_LINE):  # keeps lines terminal-wide
                lines.append(f"  {'q' if i == 0 else '':<6} {fmt(s.q[i : i + Q_PER_LINE])}")
            lines.append(f"  pose   xyz {fmt(s.tcp_pose[:3])}   quat wxyz {fmt(s.tcp_pose[3:])}")
            lines.append(f"  wrench F   {fmt(s.tcp_wrench[:3])}   T        {fmt(s.tcp_wrench[3:])}")
        lines.append("")
        lines.append(
            f"e-stop released: {'yes' if c.estop_released() else 'NO '}   "
            f"enabling device: {'on ' if c.enabling_device_on() else 'off'}"
        )
        lines.append(f"digital inputs : {bits(c.digital_inputs())}")
        lines.append(f"digital outputs: {bits(c.digital_outputs())}")
        lines.append("")
        for title, render in (
            ("plan info", self.plan_lines),
            ("primitive states", self.prim_lines),
        ):
            result = self.remote[title]
            try:
                lines += (
                    render(result)
                    if not isinstance(result, Exception)
                    else [f"{title}: error: {result}"]
                )
            except UnicodeDecodeError as e:  # the robot's text is not UTF-8
                lines.append(f"{title}: error: {e}")
        if isinstance(scores, Exception):
            lines.append(f"configuration score: error: {scores}")
        return lines

    @staticmethod
    def plan_lines(plan):
        return [
            f"plan info: plan '{plan.assigned_plan_name}'  primitive '{plan.pt_name}'"
            f"  node '{plan.node_name}'  path '{plan.node_path}'",
            f"           velocity scale {plan.velocity_scale:.2f}"
            f"  waiting for step: {'yes' if plan.waiting_for_step else 'no'}"
            f"  period {plan.node_path_time_period}  number {plan.node_path_number}",
        ]

    @staticmethod
    def prim_lines(prims):
        lines = ["primitive states:" + ("" if prims else " none")]
        for group, p in prims.items():
            values = "  ".join(
                f"{k}={v:.3f}" if isinstance(v, float) else f"{k}={v}"
                for k, v in p.names_and_values.items()
            )
            lines.append(f"  [{group.name}] {p.pt_name}: {values}")
        return lines


class Recorder:
    """Joint positions, TCP wrench and digital I/O over time, for the plot."""

    def __init__(self):
        self.t = []
        self.q = {}
        self.wrench = {}
        self.inputs = []
        self.outputs = []
        self.start = None

    def add(self, states, client):
        # states() answers with every group of the layout or, on bad data, with none.
        if isinstance(states, Exception) or not states:
            return
        stamp = next(iter(states.values())).timestamp
        t = stamp[0] + stamp[1] * 1e-9
        if self.start is None:
            self.start = t
        if self.t and t - self.start <= self.t[-1]:
            return  # no new sample since the last call
        if self.q and set(self.q) != {g.name for g in states}:
            return
        self.t.append(t - self.start)
        for group, s in states.items():
            self.q.setdefault(group.name, []).append(list(s.q))
            self.wrench.setdefault(group.name, []).append(list(s.tcp_wrench))
        self.inputs.append(client.digital_inputs())
        self.outputs.append(client.digital_outputs())

    def save(self, path, serial):
        """The recorder tools' states plot (korvelquor_tools.plot), the same as
        `korvelquor plot` draws for a recording."""
        import numpy as np
        from korvelquor_tools.plot import StatesSeries, save_states_plot

        t = np.array(self.t)
        series = StatesSeries(
            t=t,
            q={g: np.array(v) for g, v in self.q.items()},
            wrench={g: np.array(v) for g, v in self.wrench.items()},
            io_t=t,
            inputs=np.array(self.inputs, bool).reshape(-1, 20),
            outputs=np.array(self.outputs, bool).reshape(-1, 20),
            title=f"{serial}  (monitor)",
        )
        if not save_states_plot(series, path):
            print("monitor: nothing recorded, no plot written", file=sys.stderr)
            return False
        return True


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument(
        "--serial",
        default=DEFAULT_SERIAL,
        help=f"robot serial number (default: the demo substitute, {DEFAULT_SERIAL!r})",
    )
    p.add_argument(
        "--duration",
        type=float,
        default=10.0,
        help="seconds to run; 0 runs until Ctrl-C (default 10)",
    )
    p.add_argument(
        "--plot",
        metavar="FILE.png",
        help="record the states and save a plot of joint positions, TCP wrench and "
        "digital I/O (needs korvelquor_tools: scripts/setup's .venv or "
        "pip install 'korvelquor[tools]')",
    )
    p.add_argument("--quiet", action="store_true", help="construct the client with verbose=False")
    return p.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(True))

    try:
        client = korvelquor.Client(args.serial, verbose=not args.quiet)
    except (RuntimeError, ValueError, IndexError) as e:
        print(f"monitor: cannot connect to [{args.serial}]: {e}", file=sys.stderr)
        return 1

    tty = sys.stdout.isatty()
    monitor = Monitor(client)
    recorder = Recorder() if args.plot else None
    tick = 1.0 / (RECORD_HZ if recorder else REFRESH_HZ)
    ticks_per_frame = round((1.0 / REFRESH_HZ) / tick)
    frame_every = 1 if tty else REFRESH_HZ  # not a terminal: one frame a second
    start = time.monotonic()
    next_tick = start
    n = 0
    if tty:
        sys.stdout.write("\x1b[?25l\x1b[2J")  # hide the cursor, clear once
    try:
        while not stop:
            elapsed = time.monotonic() - start
            if args.duration > 0 and elapsed >= args.duration:
                break
            if recorder:
                recorder.add(call(client.states), client)
            if n % ticks_per_frame == 0:
                frame = n // ticks_per_frame
                lines = monitor.render(args.serial, elapsed)
                if tty:
                    sys.stdout.write("\x1b[H" + "\x1b[K\n".join(lines) + "\x1b[K\n\x1b[J")
                    sys.stdout.flush()
                elif frame % frame_every == 0:
                    print("\n".join(lines) + "\n" + "-" * 78, flush=True)
            n += 1
            next_tick += tick
            time.sleep(max(0.0, next_tick - time.monotonic()))
    except KeyboardInterrupt:
        pass
    finally:
        if tty:
            sys.stdout.write("\x1b[?25h")
            sys.stdout.flush()
    print(f"monitor: stopped after {time.monotonic() - start:.1f} s", flush=True)
    if recorder and recorder.save(args.plot, args.serial):
        print(f"monitor: plot saved to {args.plot} ({len(recorder.t)} samples)", flush=True)
    del client
    return 0


if __name__ == "__main__":
    sys.exit(main())
