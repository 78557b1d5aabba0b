"""Starting and stopping the substitute from tests.

    from korvel_sim.testing import SimProcess
    with SimProcess("KQ T1-000001", layout="two-arm", faults=["version=v9"]) as sim:
        ...                       # READY has been seen; the robot serves in "robot"
        sim.control().set(silent_basic=True)
    # leaving the block stops it with SIGTERM (SIGKILL if it does not stop in time)

The substitute runs in the "robot" network namespace through scripts/lib/robotnet (another
namespace of it with `namespace=`); the test itself (and the control helper) are expected to
run in "host". RouterProcess starts a zenoh router the same way (the routed network's
kqr-router). Paths are found from this package's location, so a fresh clone works wherever
it is.
"""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
from pathlib import Path
from typing import Iterable, List, Optional

REPO_ROOT = Path(__file__).resolve().parents[2]
ROBOTNET = REPO_ROOT / "scripts" / "lib" / "robotnet"


def venv_python() -> str:
    candidate = REPO_ROOT / ".venv" / "bin" / "python"
    return str(candidate) if candidate.exists() else sys.executable


def sim_command(
    serial: str,
    layout: str = "one-arm",
    rate: Optional[float] = None,
    faults: Iterable[str] = (),
    args: Iterable[str] = (),
    namespace: Optional[str] = "robot",
) -> List[str]:
    """The command line that runs the substitute (inside `namespace` unless None)."""
    cmd = [venv_python(), "-m", "korvel_sim", "--serial", serial, "--layout", layout]
    if rate is not None:
        cmd += ["--rate", str(rate)]
    for fault in faults:
        cmd += ["--fault", fault]
    cmd += list(args)
    return [str(ROBOTNET), "exec", namespace] + cmd if namespace else cmd


def _dies_with_parent(cmd: List[str]) -> List[str]:
    """The command killed when the process that started it dies: a crashed test leaves no
    substitute behind. setpriv execs the command, which keeps the signal. (Linux sends it
    when the starting *thread* ends: start substitutes from a thread that outlives them.)"""
    return ["setpriv", "--pdeathsig", "KILL"] + cmd if shutil.which("setpriv") else cmd


def rss_kib() -> int:
    """Resident memory of the calling process, KiB (what the memory checks of tests and
    benchmarks compare)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class SimError(RuntimeError):
    pass


class ReadyProcess:
    """A helper process that prints READY on stdout once it serves; a context manager."""

    def __init__(self, command: List[str], ready_timeout: float = 30.0, what: str = "process"):
        self.command = _dies_with_parent(command)
        self.ready_timeout = ready_timeout
        self.what = what
        self.proc: Optional[subprocess.Popen] = None
        self._stderr = None
        self._ready = threading.Event()

    def start(self):
        self._stderr = tempfile.TemporaryFile()
        self._ready.clear()
        # This checkout's substitute comes first, whatever the virtual environment has installed.
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            p for p in (str(REPO_ROOT / "sim"), env.get("PYTHONPATH")) if p
        )
        self.proc = subprocess.Popen(
            self.command,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=self._stderr,
            cwd=REPO_ROOT,
            env=env,
        )
        threading.Thread(target=self._watch_stdout, args=(self.proc,), daemon=True).start()
        if not self._ready.wait(self.ready_timeout) or self.proc.poll() is not None:
            self.kill()
            raise SimError(
                f"{self.what} gave no READY within {self.ready_timeout} s: {self.stderr_text()}"
            )
        return self

    def _watch_stdout(self, proc):
        # Reads until end of file so that the pipe never fills; an early exit also ends the
        # wait for READY (the poll in start() then reports it).
        for line in proc.stdout:
            if line.strip() == b"READY":
                self._ready.set()
        self._ready.set()

    @property
    def pid(self) -> int:
        return self.proc.pid

    def running(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def stderr_text(self) -> str:
        if self._stderr is None:
            return ""
        self._stderr.seek(0)
        return self._stderr.read().decode(errors="replace")

    def stop(self, timeout: float = 5.0) -> Optional[int]:
        """SIGTERM, then SIGKILL after `timeout`; returns the exit status."""
        self._before_stop()
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode

    def kill(self) -> None:
        """Ends the process at once (for the substitute: a robot that vanishes mid-stream)."""
        self._before_stop()
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        if self._stderr is not None:
            self._stderr.close()

    def _before_stop(self):
        pass


class SimProcess(ReadyProcess):
    def __init__(
        self,
        serial: str,
        layout: str = "one-arm",
        rate: Optional[float] = None,
        faults: Iterable[str] = (),
        args: Iterable[str] = (),
        ready_timeout: float = 30.0,
        namespace: Optional[str] = "robot",
    ):
        super().__init__(
            sim_command(serial, layout, rate, faults, args, namespace), ready_timeout, "substitute"
        )
        self.serial = serial
        self._control = None

    def control(self):
        """A SimControl for this substitute (opened once, closed by stop/kill)."""
        if self._control is None:
            from .control import SimControl

            self._control = SimControl(self.serial)
        return self._control

    def _close_control(self):
        if self._control is not None:
            self._control.close()
            self._control = None

    def _before_stop(self):
        self._close_control()


class RouterProcess(ReadyProcess):
    """A zenoh router (korvel_sim.router) in `namespace`; `subregions` name the interfaces
    whose peers form a region of their own (see that module for why)."""

    def __init__(self, namespace: str, subregions: Iterable[str] = (), ready_timeout: float = 30.0):
        cmd = [venv_python(), "-m", "korvel_sim.router"]
        for name in subregions:
            cmd += ["--subregion", name]
        super().__init__([str(ROBOTNET), "exec", namespace] + cmd, ready_timeout, "router")
