"""Long run of a capture against the substitute (two arms, both streams at 1 kHz): a client
with a korvelquor_capture.Capture drained every 100 ms for MINUTES, then both streams are
silenced and what the capture got is compared with what the substitute published, per
stream. Resident memory is sampled every 10 s; after the first minute it must stay flat
(within 10 % of its size at one minute).

    scripts/lib/robotnet exec host env PYTHONPATH=build/python .venv/bin/python \\
        bench/capture_longrun.py [--minutes 10] [--json FILE]

Prints one status line while it runs and a summary at the end; exits 1 when a sample is
missing, duplicated or dropped, or when memory grows after the first minute.
"""

import argparse
import json
import os
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "sim"))

import korvelquor  # noqa: E402
import korvelquor_capture  # noqa: E402
from korvel_sim.testing import SimProcess, rss_kib  # noqa: E402

# Growth after the first minute that still counts as flat, against the size at one minute:
# batches that come larger after a stall leave spare storage and allocator pages behind,
# bounded by the capture's capacity; a leak grows without bound.
FLAT_SHARE = 0.10


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--minutes", type=float, default=10.0)
    p.add_argument("--json", type=Path, help="also write the figures here")
    args = p.parse_args()

    serial = f"KQ LONGRUN-{os.getpid()}"
    with SimProcess(serial, layout="two-arm", rate=1000, args=["--lossless"]) as sim:
        control = sim.control()
        client = korvelquor.Client(serial, verbose=False)
        control.set(silent_streams=True)
        time.sleep(0.5)
        capture = korvelquor_capture.Capture(client)
        before = control.state()
        control.clear()
        counts = {"basic": 0, "extra": 0}
        last_seq = {"basic": -1, "extra": -1}
        gaps = 0
        rss = []
        start = time.monotonic()
        next_rss = start
        end = start + args.minutes * 60.0

        def take(batch):
            nonlocal gaps
            for stream in ("basic", "extra"):
                b = getattr(batch, stream)
                seq = np.sort(np.concatenate([b.seq, b.undecodable_seq]))
                if len(seq):
                    expected = np.arange(last_seq[stream] + 1, last_seq[stream] + 1 + len(seq))
                    gaps += int((seq != expected).sum())
                    last_seq[stream] = int(seq[-1])
                counts[stream] += len(seq)

        for batch in capture.batches(0.1):
            take(batch)
            now = time.monotonic()
            if now >= next_rss:
                rss.append((now - start, rss_kib()))
                next_rss += 10.0
                print(
                    f"\rcapture long run: {now - start:6.0f} / {args.minutes * 60:.0f} s, "
                    f"{counts['basic']} basic, {counts['extra']} extra, "
                    f"RSS {rss[-1][1] / 1024:.1f} MiB",
                    end="",
                    file=sys.stderr,
                    flush=True,
                )
            if now >= end:
                break
        control.set(silent_streams=True)
        time.sleep(1.0)
        while True:
            batch = capture.drain()
            take(batch)
            if batch.basic.rows == 0 and batch.extra.rows == 0:
                break
        after = control.state()
        dropped = capture.dropped
        del capture, client
    print(file=sys.stderr)

    published = {s: after[f"published_{s}"] - before[f"published_{s}"] for s in counts}
    later = [kib for t, kib in rss if t >= 60.0]
    growth = (max(later) - min(later)) if later else 0
    result = {
        "minutes": args.minutes,
        "published": published,
        "captured": counts,
        "dropped": dropped,
        "sequence_gaps": gaps,
        "rss_kib": rss,
        "rss_growth_after_first_minute_kib": growth,
    }
    for s in counts:
        print(f"{s}: published {published[s]}, captured {counts[s]}, dropped {dropped[s]}")
    print(
        f"sequence gaps {gaps}; resident memory after the first minute "
        f"{min(later, default=0) / 1024:.1f} .. {max(later, default=0) / 1024:.1f} MiB"
    )
    if args.json:
        args.json.write_text(json.dumps(result, indent=2))
    ok = (
        counts == published
        and not any(dropped.values())
        and gaps == 0
        and growth <= FLAT_SHARE * (later[0] if later else 0)
    )
    print("long run:", "ok" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
