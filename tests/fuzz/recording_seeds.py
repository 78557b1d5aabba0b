"""Writes the seeds of the recording fuzz target: small recordings as `korvelquor record`
writes them (the tools' writer), one per compression, with chunks of a few samples so that
every seed holds several chunks, a message index and a summary.

    PYTHONPATH=build/python .venv/bin/python tests/fuzz/recording_seeds.py
"""

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "recordings"))

from conftest import basic, extra, write_recording  # noqa: E402
from korvelquor_tools import writer  # noqa: E402

COMPRESSIONS = ("zstd", "lz4", "none")


def main():
    writer.CHUNK_BYTES = 2048
    out = HERE / "corpus" / "recording"
    out.mkdir(parents=True, exist_ok=True)
    t0 = 1_700_000_000_000_000_000
    b = [(basic(k, (1, k)), t0 + 1_000_000 * k, (1, k)) for k in range(6)]
    e = [(extra(k), t0 + 1_000_000 * k + 500, (1, k)) for k in range(6)]
    for compression in COMPRESSIONS:
        write_recording(out / f"{compression}.mcap", b, e, compression=compression)


if __name__ == "__main__":
    main()
