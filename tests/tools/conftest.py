"""Shared helpers of the recorder tools' suite.

CTest runs it inside the private network's "host" namespace with PYTHONPATH naming the built
modules; the substitute runs in "robot" (korvel_sim.testing), the recorder as a subprocess
(`python -m korvelquor_tools record`) here.
"""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
for folder in ("sim", "tools"):  # this checkout's packages first
    sys.path.insert(0, str(REPO / folder))


def unique_serial(tag: str) -> str:
    return f"KQ TL{tag}-{os.getpid()}"


def tool_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(REPO / "tools")] + [p for p in (env.get("PYTHONPATH"),) if p]
    )
    return env


def korvelquor_cmd(*args, timeout=120, **kw):
    """Runs the korvelquor command to its end; CompletedProcess with text output."""
    return subprocess.run(
        [sys.executable, "-m", "korvelquor_tools", *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=tool_env(),
        **kw,
    )


class Recorder:
    """`korvelquor record` running in the background until stop() or kill()."""

    def __init__(self, serial, out, preexec_fn=None):
        self.out = Path(out)
        self.proc = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "korvelquor_tools",
                "record",
                "--serial",
                serial,
                "--out",
                str(out),
            ],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=tool_env(),
            preexec_fn=preexec_fn,
        )

    def wait_recording(self, min_bytes=200_000, timeout=30.0):
        """Until the file holds samples (the first chunk is out)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError(f"recorder ended early: {self.proc.communicate()}")
            if self.out.exists() and self.out.stat().st_size >= min_bytes:
                return
            time.sleep(0.05)
        self.kill()
        raise AssertionError("the recording did not grow")

    def stop(self, sig=signal.SIGINT, timeout=30.0):
        self.proc.send_signal(sig)
        out, err = self.proc.communicate(timeout=timeout)
        return self.proc.returncode, out, err

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        return self.proc.communicate(timeout=30)


@pytest.fixture(scope="module")
def two_arm_sim():
    from korvel_sim.testing import SimProcess

    with SimProcess(unique_serial("TWO"), layout="two-arm", rate=1000) as sim:
        yield sim
