"""The fault suite: korvelquor clients against the substitute controller while the network and
the segment misbehave, one table row per fault.

For each fault it starts a substitute (one arm, --rate Hz) in the namespace kqf-robot and
three client processes in kqf-host (tests/faults/probe.py: stream reads, remote calls, and
one that only holds a client to destroy it during the fault), waits a baseline,
plays the fault, ends it, waits for fresh samples, then destroys the remaining clients.
The namespaces are scripts/lib/robotnet's `faults` pair, used by nothing else, so runs on the
direct robot/host pair go on undisturbed.

Columns: stream sample age p50/p99 during the fault (wall clock minus the robot's timestamp
of the newest sample, read at 200 Hz), remote-call success rate during the fault and the
slowest call of the run, recovery (fault end to the first read of a sample stamped after
it), client CPU (share of one core during the fault) and resident memory (peak during the
fault / just before destruction), destruction time of a client (1 s into the fault, or
halfway through a shorter one / after it), and the verdict against these bounds:

  * destruction of a client under 1.5 s, in every fault
  * no remote call past its timeout + 50 ms (connected() 1 s, the others 2 s)
  * recovery after a 2 s link flap under 1 s
  * resident memory under 200 MiB during the 16 MiB-payload flood, and at most 16 MiB above
    the baseline after it
  * after the robot comes back with another joint layout, no read returns the old one's

A second table gives what a rogue peer on the segment achieves (forged reads, remote calls
answered by the rogue, constructions whose version check or joint layout it decided).

Runs as root, from the root namespace; every zenoh session it causes (substitute, clients,
rogue peers) opens inside kqf-robot or kqf-host.
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Dict, List, Optional

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "sim"))

from korvel_sim.testing import ReadyProcess, SimProcess, venv_python  # noqa: E402

ROBOTNET = REPO / "scripts" / "lib" / "robotnet"
HERE = Path(__file__).resolve().parent
NS_ROBOT, NS_HOST = "kqf-robot", "kqf-host"
IF_ROBOT, IF_HOST = "kqf-robot", "kqf-host"  # the veth ends, one in each namespace

DESTROY_BOUND_S = 1.5
CALL_TIMEOUT_S = {"connected": 1.0}
DEFAULT_CALL_TIMEOUT_S = 2.0
CALL_SLACK_S = 0.05
FLAP_RECOVERY_BOUND_S = 1.0
FLOOD_RSS_BOUND_MIB = 200.0
FLOOD_RSS_RETURN_MIB = 16.0
TWO_ARM_JOINTS = 21
HOLD_DESTROY_AFTER_S = 1.0


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


class Progress:
    """One line on stderr, rewritten in place on a terminal, a line per step otherwise."""

    def __init__(self, total: int):
        self.total = total
        self.tty = sys.stderr.isatty()
        self.width = 0

    def show(self, index: int, name: str, step: str) -> None:
        text = f"[{index}/{self.total}] {name}: {step}"
        if self.tty:
            sys.stderr.write("\r" + text.ljust(self.width))
            self.width = len(text)
        else:
            sys.stderr.write(text + "\n")
        sys.stderr.flush()

    def done(self, index: int, name: str, verdict: str) -> None:
        if self.tty:
            sys.stderr.write("\r" + " " * self.width + "\r")
            self.width = 0
        sys.stderr.write(f"[{index}/{self.total}] {name}: {verdict}\n")
        sys.stderr.flush()


# --- the network ---------------------------------------------------------------------------------


def sh(*cmd: str) -> None:
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


def in_ns(ns: str, *cmd: str) -> None:
    sh("ip", "netns", "exec", ns, *cmd)


def set_loss(probability: float) -> None:
    """Drops packets arriving on each end of the link at random: loss both ways."""
    for ns, ifname in ((NS_ROBOT, IF_ROBOT), (NS_HOST, IF_HOST)):
        in_ns(
            ns,
            "iptables",
            "-A",
            "INPUT",
            "-i",
            ifname,
            "-m",
            "statistic",
            "--mode",
            "random",
            "--probability",
            f"{probability}",
            "-j",
            "DROP",
        )


def clear_loss() -> None:
    for ns in (NS_ROBOT, NS_HOST):
        in_ns(ns, "iptables", "-F", "INPUT")


def link_down() -> None:
    # The robot's end: its peer loses carrier, as when the robot's cable is pulled.
    sh("ip", "-n", NS_ROBOT, "link", "set", IF_ROBOT, "down")


def link_up() -> None:
    sh("ip", "-n", NS_ROBOT, "link", "set", IF_ROBOT, "up")
    # Taking a link down drops its routes; the robot's own network set-up would put the
    # multicast route back, or zenoh could not scout on it again.
    for ns, ifname in ((NS_ROBOT, IF_ROBOT), (NS_HOST, IF_HOST)):
        sh("ip", "-n", ns, "route", "replace", "224.0.0.0/4", "dev", ifname)


def reset_network() -> None:
    subprocess.run([str(ROBOTNET), "up", "faults"], check=True)
    clear_loss()
    link_up()


# --- processes -----------------------------------------------------------------------------------


def rogue_process(serial: str, kind: str, *extra: str) -> ReadyProcess:
    cmd = [
        str(ROBOTNET),
        "exec",
        NS_ROBOT,
        venv_python(),
        str(HERE / "rogue.py"),
        "--serial",
        serial,
        "--kind",
        kind,
        *extra,
    ]
    return ReadyProcess(cmd, what=f"rogue {kind}")


class ProbeProcess:
    """A probe.py in kqf-host, driven over its stdin; its lines are read by a thread."""

    def __init__(
        self, build_dir: Path, serial: str, role: str, clients: int = 1, extra: tuple = ()
    ):
        env = dict(os.environ, PYTHONPATH=str(build_dir / "python"))
        cmd = [str(ROBOTNET), "exec", NS_HOST]
        if shutil.which("setpriv"):
            cmd += ["setpriv", "--pdeathsig", "KILL"]
        cmd += [
            venv_python(),
            str(HERE / "probe.py"),
            "--serial",
            serial,
            "--role",
            role,
            "--clients",
            str(clients),
            *extra,
        ]
        self.role = role
        self.stderr = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            cmd,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self.stderr,
            text=True,
            env=env,
        )
        self.ready = threading.Event()
        self.failure: Optional[str] = None
        self.fresh: Optional[float] = None
        self.fresh_event = threading.Event()
        self.result: Optional[dict] = None
        self.done = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            line = line.strip()
            if line == "READY":
                self.ready.set()
            elif line.startswith("FAILED"):
                self.failure = line[7:]
                self.ready.set()
            elif line.startswith("fresh "):
                self.fresh = float(line[6:])
                self.fresh_event.set()
            elif line.startswith("{"):
                self.result = json.loads(line)
        self.ready.set()
        self.done.set()

    def wait_ready(self, timeout: float) -> bool:
        self.ready.wait(timeout)
        if self.failure is None and self.proc.poll() is not None:
            self.failure = f"exited with {self.proc.returncode}: {self.stderr_tail()}"
        return self.ready.is_set() and self.failure is None

    def send(self, line: str) -> None:
        try:
            self.proc.stdin.write(line + "\n")
            self.proc.stdin.flush()
        except (BrokenPipeError, ValueError):
            pass

    def finish(self, timeout: float) -> Optional[dict]:
        """Asks for destruction and waits for the result (None if none came in time)."""
        self.send("destroy")
        self.done.wait(timeout)
        try:
            self.proc.wait(max(1.0, timeout / 4))
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        return self.result

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def stderr_tail(self) -> str:
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")[-400:]


# --- faults --------------------------------------------------------------------------------------


@dataclass
class Row:
    """What a fault's start and end act on."""

    serial: str
    layout: str
    rate: float
    sim: Optional[SimProcess] = None
    rogue: Optional[ReadyProcess] = None

    def start_sim(self, layout: Optional[str] = None) -> None:
        self.sim = SimProcess(
            self.serial, layout=layout or self.layout, rate=self.rate, namespace=NS_ROBOT
        ).start()


@dataclass
class Fault:
    name: str
    seconds: float
    start: Callable[[Row], None] = lambda row: None
    end: Callable[[Row], None] = lambda row: None
    clients: int = 1
    checks: tuple = ()


def loss(percent: int, seconds: float) -> Fault:
    return Fault(
        f"packet loss {percent} % both ways",
        seconds,
        lambda row: set_loss(percent / 100),
        lambda row: clear_loss(),
    )


def link(seconds: float) -> Fault:
    return Fault(
        f"link down {seconds:g} s",
        seconds,
        lambda row: link_down(),
        lambda row: link_up(),
        checks=("recovery",) if seconds <= 2 else (),
    )


def restart(layout: str, dead_s: float) -> Fault:
    same = layout == "one-arm"
    return Fault(
        "robot killed, back with the same layout"
        if same
        else "robot killed, back with two arms (was one)",
        dead_s,
        lambda row: row.sim.kill(),
        lambda row: row.start_sim(layout),
        checks=() if same else ("layout",),
    )


def rogue(kind: str, label: str, seconds: float, checks: tuple = ()) -> Fault:
    def start(row: Row):
        row.rogue = rogue_process(row.serial, kind).start()

    def end(row: Row):
        row.rogue.stop()
        row.rogue = None

    return Fault(label, seconds, start, end, checks=checks)


def fault_list(short: bool) -> List[Fault]:
    window = 4.0 if short else 10.0
    faults = [Fault("no fault", window)]
    faults += [loss(p, window) for p in ((20,) if short else (5, 20, 50))]
    faults += [link(s) for s in ((2,) if short else (2, 10, 30))]
    faults += [restart("one-arm", 2.0), restart("two-arm", 2.0)]
    faults += [
        rogue("garbage", "rogue publisher: random bytes", window),
        rogue("huge", "rogue publisher: 16 MiB payloads", window, checks=("memory",)),
        rogue("counts", "rogue publisher: absurd element counts", window),
        rogue("forged", "rogue publisher: forged valid data", window),
        rogue("queryable", "rogue queryable on the RPC key", window),
        Fault("32 clients in one process", window, clients=32),
    ]
    return faults


# --- one row -------------------------------------------------------------------------------------


@dataclass
class Timeline:
    fault_start: float = 0.0
    fault_end: float = 0.0
    fault_end_wall: float = 0.0
    hold_destroy_sent: float = 0.0


def run_row(index: int, fault: Fault, opts, progress: Progress) -> dict:
    slug = "".join(ch for ch in fault.name.title() if ch.isalnum())[:20]
    row = Row(serial=f"KQF-{slug}{index}-{os.getpid()}", layout="one-arm", rate=opts.rate)
    probes: Dict[str, ProbeProcess] = {}
    times = Timeline()
    hold_result: List[Optional[dict]] = [None]
    errors: List[str] = []
    try:
        progress.show(index, fault.name, "starting the substitute and the clients")
        row.start_sim()
        for role in ("stream", "rpc", "hold"):
            probes[role] = ProbeProcess(opts.build_dir, row.serial, role, fault.clients)
        for role, probe in probes.items():
            if not probe.wait_ready(60.0):
                raise RuntimeError(f"{role} client not built: {probe.failure}")
        progress.show(index, fault.name, f"baseline {opts.baseline:g} s")
        time.sleep(opts.baseline)

        progress.show(index, fault.name, f"fault for {fault.seconds:g} s")
        times.fault_start = time.monotonic()
        fault.start(row)
        # Early in the fault: on a dead link zenoh keeps the session to the robot until its
        # lease (10 s) runs out, and a destruction then is the slowest.
        destroy_at = times.fault_start + min(HOLD_DESTROY_AFTER_S, fault.seconds / 2)
        time.sleep(max(0.0, destroy_at - time.monotonic()))
        times.hold_destroy_sent = time.monotonic()
        holder = threading.Thread(
            target=lambda: hold_result.__setitem__(0, probes["hold"].finish(90.0)), daemon=True
        )
        holder.start()
        time.sleep(max(0.0, times.fault_start + fault.seconds - time.monotonic()))
        fault.end(row)
        times.fault_end, times.fault_end_wall = time.monotonic(), time.time()

        progress.show(index, fault.name, "waiting for fresh samples")
        probes["stream"].send(f"mark {times.fault_end_wall:.6f}")
        probes["stream"].fresh_event.wait(opts.recovery_wait)
        time.sleep(opts.settle)

        progress.show(index, fault.name, "destroying the clients")
        finals: Dict[str, Optional[dict]] = {}
        finishers = [
            threading.Thread(target=lambda r=r: finals.__setitem__(r, probes[r].finish(90.0)))
            for r in ("stream", "rpc")
        ]
        for t in finishers:
            t.start()
        for t in finishers + [holder]:
            t.join(120.0)
        for role in ("stream", "rpc"):
            if finals.get(role) is None:
                errors.append(f"{role} client gave no result: {probes[role].stderr_tail()}")
        if hold_result[0] is None:
            errors.append(f"hold client gave no result: {probes['hold'].stderr_tail()}")
        return analyse(
            fault,
            times,
            finals.get("stream"),
            finals.get("rpc"),
            hold_result[0],
            probes["stream"].fresh,
            errors,
        )
    except Exception as e:  # noqa: BLE001 - a broken row is reported, the suite goes on
        return {"fault": fault.name, "verdict": f"FAIL: {e}", "failures": [str(e)]}
    finally:
        for probe in probes.values():
            probe.kill()
        if row.rogue is not None:
            row.rogue.stop()
        if row.sim is not None:
            row.sim.stop()
        reset_network()


# --- figures -------------------------------------------------------------------------------------


def percentile(values: List[float], q: float) -> Optional[float]:
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(q * (len(ordered) - 1))))]


def call_bound(name: str) -> float:
    return CALL_TIMEOUT_S.get(name, DEFAULT_CALL_TIMEOUT_S) + CALL_SLACK_S


def analyse(
    fault: Fault,
    times: Timeline,
    stream: Optional[dict],
    rpc: Optional[dict],
    hold: Optional[dict],
    fresh: Optional[float],
    errors: List[str],
) -> dict:
    start, end = times.fault_start, times.fault_end
    out = {"fault": fault.name, "fault_s": round(end - start, 2), "clients": fault.clients}
    failures = list(errors)
    notes = []

    reads = stream["reads"] if stream else []
    during = [r for r in reads if start <= r[0] <= end]
    ages = [r[1] for r in during if r[1] is not None]
    out["age_p50_ms"] = _ms(percentile(ages, 0.5))
    out["age_p99_ms"] = _ms(percentile(ages, 0.99))
    out["empty_reads_pct"] = _pct(sum(1 for r in during if r[1] is None), len(during))
    with_data = [r for r in during if r[1] is not None]
    out["forged_reads_pct"] = _pct(sum(r[3] for r in with_data), len(with_data))
    if out["forged_reads_pct"]:
        notes.append(f"{out['forged_reads_pct']:.0f} % of states() reads forged")

    calls = rpc["calls"] if rpc else []
    in_window = [c for c in calls if start <= c[0] <= end]
    out["rpc_calls"] = len(in_window)
    out["rpc_ok_pct"] = _pct(sum(c[3] for c in in_window), len(in_window))
    out["rpc_worst_s"] = round(max((c[2] for c in calls), default=0.0), 3)
    late = [c for c in calls if c[2] > call_bound(c[1])]
    if late:
        worst = max(late, key=lambda c: c[2] - call_bound(c[1]))
        failures.append(f"{len(late)} calls past their bound, {worst[1]}() {worst[2]:.2f} s")
    plans = [c for c in in_window if c[1] == "plan_info" and c[3]]
    prims = [c for c in in_window if c[1] == "primitive_states" and c[3]]
    out["plan_info_rogue_pct"] = _pct(sum(c[4] for c in plans), len(plans))
    out["primitive_states_rogue_pct"] = _pct(sum(c[4] for c in prims), len(prims))
    if out["plan_info_rogue_pct"] or out["primitive_states_rogue_pct"]:
        notes.append(
            f"plan_info() from the rogue {out['plan_info_rogue_pct']:.0f} %, "
            f"primitive_states() {out['primitive_states_rogue_pct']:.0f} %"
        )

    out["recovery_s"] = None if fresh is None else round(max(0.0, fresh - end), 3)
    if "recovery" in fault.checks and (
        out["recovery_s"] is None or out["recovery_s"] >= FLAP_RECOVERY_BOUND_S
    ):
        failures.append(f"recovery {out['recovery_s']} s (bound {FLAP_RECOVERY_BOUND_S:g} s)")
    if fresh is None:
        notes.append("no fresh sample after the fault")

    resources = stream["resources"] if stream else []
    window = [r for r in resources if start <= r[0] <= end]
    before = [r for r in resources if r[0] < start]
    if len(window) >= 2:
        out["cpu_pct"] = round(
            100 * (window[-1][1] - window[0][1]) / max(1e-9, window[-1][0] - window[0][0]), 1
        )
    else:
        out["cpu_pct"] = None
    out["rss_baseline_mib"] = _mib(before[-1][2]) if before else None
    out["rss_peak_mib"] = _mib(max((r[2] for r in window), default=0)) if window else None
    out["rss_after_mib"] = _mib(stream["rss_before_destroy_kib"]) if stream else None
    if "memory" in fault.checks and out["rss_peak_mib"] is not None:
        if out["rss_peak_mib"] >= FLOOD_RSS_BOUND_MIB:
            failures.append(f"resident memory {out['rss_peak_mib']:.0f} MiB during the flood")
        if (
            out["rss_baseline_mib"] is not None
            and out["rss_after_mib"] - out["rss_baseline_mib"] > FLOOD_RSS_RETURN_MIB
        ):
            failures.append(
                f"resident memory {out['rss_after_mib']:.0f} MiB after the flood "
                f"(baseline {out['rss_baseline_mib']:.0f} MiB)"
            )

    out["destroy_during_s"] = max(hold["destroy_s"]) if hold else None
    after = [max(r["destroy_s"]) for r in (stream, rpc) if r]
    out["destroy_after_s"] = max(after) if after else None
    for label, value in (
        ("in the fault", out["destroy_during_s"]),
        ("after it", out["destroy_after_s"]),
    ):
        if value is not None and value >= DESTROY_BOUND_S:
            failures.append(f"destruction {label} {value:.1f} s")

    if "layout" in fault.checks:
        # Samples the restarted robot published (read time less their age after the fault's
        # end): none may come cut by the old layout. The last sample of the old robot, which
        # states() keeps answering with until a new one arrives, is no such read.
        later = [r for r in reads if r[1] is not None and r[0] - r[1] > end]
        wrong = [r for r in later if r[2] != TWO_ARM_JOINTS]
        out["wrong_layout_reads_pct"] = _pct(len(wrong), len(later))
        if wrong:
            failures.append(
                f"{out['wrong_layout_reads_pct']:.0f} % of reads after the "
                f"restart have {wrong[0][2]} joints under ALL (robot has "
                f"{TWO_ARM_JOINTS})"
            )
    out["notes"] = "; ".join(notes)
    out["failures"] = failures
    out["verdict"] = "pass" if not failures else "FAIL: " + "; ".join(failures)
    return out


def _ms(seconds: Optional[float]) -> Optional[float]:
    return None if seconds is None else round(seconds * 1000, 1)


def _pct(part: float, whole: int) -> Optional[float]:
    return None if whole == 0 else round(100.0 * part / whole, 1)


def _mib(kib: float) -> float:
    return round(kib / 1024, 1)


# --- what a rogue peer decides -------------------------------------------------------------------


def construction_trials(
    opts, rogue_args: tuple, label: str, progress: Progress, index: int
) -> dict:
    serial = f"KQF-Rogue{index}-{os.getpid()}"
    row = Row(serial=serial, layout="one-arm", rate=opts.rate)
    rogue_proc = None
    try:
        progress.show(index, label, f"{opts.constructions} constructions")
        row.start_sim()
        rogue_proc = rogue_process(serial, "queryable", *rogue_args).start()
        probe = ProbeProcess(
            opts.build_dir,
            serial,
            "constructions",
            extra=("--constructions", str(opts.constructions)),
        )
        probe.done.wait(opts.constructions * 30.0)
        probe.kill()
        return probe.result or {"outcomes": [], "error": probe.stderr_tail()}
    finally:
        if rogue_proc is not None:
            rogue_proc.stop()
        if row.sim is not None:
            row.sim.stop()


def security_figures(rows: List[dict], version_trials: dict, layout_trials: dict) -> List[dict]:
    by_name = {r["fault"]: r for r in rows}
    out = []
    forged = by_name.get("rogue publisher: forged valid data", {})
    out.append(
        {
            "what": "rogue publisher of valid data at the robot's rate: states() reads "
            "that return its values",
            "measured": _fmt_pct(forged.get("forged_reads_pct")),
        }
    )
    queried = by_name.get("rogue queryable on the RPC key", {})
    out.append(
        {
            "what": "rogue queryable: plan_info() calls answered with its plan",
            "measured": _fmt_pct(queried.get("plan_info_rogue_pct")),
        }
    )
    out.append(
        {
            "what": "rogue queryable: primitive_states() calls answered with its list",
            "measured": _fmt_pct(queried.get("primitive_states_rogue_pct")),
        }
    )
    outcomes = version_trials.get("outcomes", [])
    refused = sum(1 for o in outcomes if not o["ok"] and "incompatible" in o["error"])
    out.append(
        {
            "what": "rogue queryable answering version v0.0: constructions refused as incompatible",
            "measured": f"{refused} of {len(outcomes)}",
        }
    )
    outcomes = layout_trials.get("outcomes", [])
    built = [o for o in outcomes if o["ok"]]
    taken = sum(1 for o in built if o["joints"] == 3)
    out.append(
        {
            "what": "rogue queryable with 3 joints per group: clients that took its "
            "joint layout (the robot has 7)",
            "measured": f"{taken} of {len(built)}",
        }
    )
    plan = sum(1 for o in built if o.get("plan_rogue"))
    out.append(
        {
            "what": "same clients: first plan_info() answered by the rogue",
            "measured": f"{plan} of {len(built)}",
        }
    )
    return out


def _fmt_pct(value: Optional[float]) -> str:
    return "n/a" if value is None else f"{value:.0f} %"


# --- output --------------------------------------------------------------------------------------

COLUMNS = [
    ("fault", "fault", "{}"),
    ("age_p50_ms", "age p50", "ms"),
    ("age_p99_ms", "age p99", "ms"),
    ("rpc_ok_pct", "RPC ok", "{:.0f} %"),
    ("rpc_worst_s", "worst RPC", "{:.2f} s"),
    ("recovery_s", "recovery", "{:.2f} s"),
    ("cpu_pct", "CPU", "{:.1f} %"),
    ("rss_peak_mib", "RSS peak", "{:.0f} MiB"),
    ("rss_after_mib", "RSS after", "{:.0f} MiB"),
    ("destroy_during_s", "del in fault", "{:.2f} s"),
    ("destroy_after_s", "del after", "{:.2f} s"),
    ("verdict", "verdict", "{}"),
    ("notes", "notes", "{}"),
]


def _cell(value, fmt: str) -> str:
    if value is None or value == "":
        return "—"
    if fmt == "ms":  # ages span a millisecond to half a minute
        return f"{value:.1f} ms" if value < 1000 else f"{value / 1000:.1f} s"
    return fmt.format(value).replace("|", "\\|")


def markdown(rows: List[dict], security: List[dict], header: str) -> str:
    lines = [
        header,
        "",
        "| " + " | ".join(c[1] for c in COLUMNS) + " |",
        "|" + "---|" * len(COLUMNS),
    ]
    for r in rows:
        lines.append("| " + " | ".join(_cell(r.get(k), f) for k, _, f in COLUMNS) + " |")
    lines += ["", "| what a rogue peer on the segment does | measured |", "|---|---|"]
    lines += [f"| {s['what']} | {s['measured']} |" for s in security]
    return "\n".join(lines) + "\n"


def write_outputs(out_dir: Path, rows: List[dict], security: List[dict], meta: dict) -> Path:
    """faults.md, .csv and .json for a run of every fault; a run of some faults (--only)
    writes faults-only.* instead, so that it never replaces the table of a whole run."""
    out_dir.mkdir(parents=True, exist_ok=True)
    only = meta.get("only") or []
    command = (
        "scripts/faults"
        + (" --short" if meta["short"] else "")
        + "".join(f' --only "{t}"' for t in only)
    )
    header = (
        f"Measured {meta['date']} on {meta['cores']} cores, Linux {meta['kernel']}, "
        f"with `{command}` (substitute one arm at {meta['rate']:g} Hz in private "
        f"namespaces; stream reads at 200 Hz)."
    )
    stem = "faults-only" if only else "faults"
    if only:  # what this run did not measure is left out, not shown as n/a
        security = [s for s in security if s["measured"] not in ("n/a", "0 of 0")]
    table = out_dir / f"{stem}.md"
    table.write_text(markdown(rows, security, header))
    keys = [k for k, _, _ in COLUMNS] + sorted(
        {k for r in rows for k in r} - {k for k, _, _ in COLUMNS} - {"failures"}
    )
    with open(out_dir / f"{stem}.csv", "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=keys, extrasaction="ignore")
        writer.writeheader()
        writer.writerows(rows)
    (out_dir / f"{stem}.json").write_text(
        json.dumps({"meta": meta, "rows": rows, "security": security}, indent=1)
    )
    return table


# --- command line --------------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(
        prog="scripts/faults",
        description=__doc__.split("\n\n")[0],
        epilog=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--short",
        action="store_true",
        help="one loss rate, one link flap, 4 s faults (about 3 minutes)",
    )
    parser.add_argument(
        "--only",
        metavar="TEXT",
        action="append",
        default=[],
        help="run only the faults whose name contains TEXT (repeatable)",
    )
    parser.add_argument(
        "--clients",
        type=int,
        default=None,
        help="clients per process in every fault (default 1; 32 in its row)",
    )
    parser.add_argument(
        "--rate",
        type=float,
        default=1000.0,
        help="the substitute's stream rate in Hz (default 1000)",
    )
    parser.add_argument(
        "--constructions",
        type=int,
        default=None,
        help="constructions per rogue-queryable trial (default 20, short 8)",
    )
    parser.add_argument(
        "--out",
        type=Path,
        default=REPO / "tests" / "faults" / "results",
        help="folder for faults.md, faults.csv, faults.json",
    )
    parser.add_argument(
        "--build-dir",
        type=Path,
        default=REPO / "build",
        help="build tree holding the korvelquor module (python/)",
    )
    opts = parser.parse_args()
    if os.geteuid() != 0:
        parser.error("needs root (network namespaces, iptables)")
    opts.baseline = 2.0 if opts.short else 3.0
    opts.settle = 2.0
    opts.recovery_wait = 20.0 if opts.short else 40.0
    if opts.constructions is None:
        opts.constructions = 8 if opts.short else 20

    faults = fault_list(opts.short)
    if opts.clients is not None:
        for fault in faults:
            fault.clients = opts.clients
    if opts.only:
        faults = [f for f in faults if any(t in f.name for t in opts.only)]
    trials = not opts.only or any("rogue" in t for t in opts.only)
    progress = Progress(len(faults) + (2 if trials else 0))
    reset_network()
    rows = []
    for i, fault in enumerate(faults, 1):
        row = run_row(i, fault, opts, progress)
        rows.append(row)
        progress.done(i, fault.name, row["verdict"])
    version_trials, layout_trials = {}, {}
    if trials:
        n = len(faults)
        version_trials = construction_trials(
            opts,
            ("--version", "v0.0", "--dof", "7"),
            "rogue queryable answering version v0.0",
            progress,
            n + 1,
        )
        progress.done(n + 1, "rogue version trials", "done")
        layout_trials = construction_trials(
            opts, ("--dof", "3"), "rogue queryable with 3 joints per group", progress, n + 2
        )
        progress.done(n + 2, "rogue layout trials", "done")
    security = security_figures(rows, version_trials, layout_trials)
    meta = {
        "date": time.strftime("%Y-%m-%d"),
        "cores": os.cpu_count(),
        "kernel": platform.release(),
        "short": opts.short,
        "rate": opts.rate,
        "only": opts.only,
        "version_trials": version_trials,
        "layout_trials": layout_trials,
    }
    table = write_outputs(opts.out, rows, security, meta)
    print(table.read_text())
    log(f"written: {table} with its .csv and .json")
    return 0 if all(r["verdict"] == "pass" for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
