"""Destroying a client whose robot can no longer be reached (every packet dropped) returns
within about a second, and the process can exit right after, cleanly. Runs in the fault
suite's own namespaces (kqf-robot, kqf-host), so the drop rules disturb no other test."""

import subprocess
import sys
import textwrap
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "sim"))

from korvel_sim.testing import SimProcess  # noqa: E402


def drop_everything(on: bool) -> None:
    for chain in ("INPUT", "OUTPUT"):
        subprocess.run(
            [
                "iptables",
                "-A" if on else "-D",
                chain,
                "-i" if chain == "INPUT" else "-o",
                "kqf-host",
                "-j",
                "DROP",
            ],
            check=True,
        )


def next_line(child, prefix: str) -> str:
    """The child's next line starting with `prefix`; its log lines share stdout."""
    for line in child.stdout:
        if line.startswith(prefix):
            return line.strip()
    raise AssertionError(f"no line starting {prefix!r}; exit status {child.wait()}")


def test_destroying_a_client_on_a_dead_link_is_quick_and_the_process_exits_cleanly():
    with SimProcess("KQ DEADLINK-1", layout="two-arm", rate=1000, namespace="kqf-robot") as sim:
        program = textwrap.dedent(f"""
            import subprocess, sys, time, korvelquor
            c = korvelquor.Client("{sim.serial}", verbose=False)
            time.sleep(0.3)
            print("connected", flush=True)
            sys.stdin.readline()  # the link is dead now
            start = time.monotonic()
            del c
            print(f"destroyed {{time.monotonic() - start:.3f}}", flush=True)
        """)
        child = subprocess.Popen(
            [sys.executable, "-c", program],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        try:
            next_line(child, "connected")
            drop_everything(True)
            try:
                child.stdin.write("\n")
                child.stdin.flush()
                line = next_line(child, "destroyed").split()
                assert line[0] == "destroyed" and float(line[1]) < 1.5, line
                # Exiting while zenoh still closes the session behind it: no abort, no hang.
                assert child.wait(timeout=10) == 0
            finally:
                drop_everything(False)
        finally:
            child.kill()
