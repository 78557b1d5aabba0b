"""`korvelquor live`: the robot's viewable channels served live through the Foxglove
WebSocket protocol (foxglove-sdk's server; the `live` extra, Python 3.10 or newer).

The channels and message bytes are those of a recording's viewable channels
(korvelquor_tools.viewable). A capture of the client is drained every DRAIN_PERIOD, short,
since a sample waits in it at most that long before it is sent. A silent robot only makes
the drains empty: the server keeps serving, and messages resume when the robot does.
"""

from __future__ import annotations

import sys
import time
from typing import Optional

from .record import StopFlag
from .status import StatusLine
from .viewable import ViewEncoder

DRAIN_PERIOD = 0.01  # a sample waits at most this long; shorter drains cost more CPU
BUFFER_SAMPLES = 10_000
LOCAL_HOSTS = ("127.0.0.1", "localhost", "::1")


def url(host: str, port: int) -> str:
    shown = f"[{host}]" if ":" in host else host
    return f"ws://{shown}:{port}"


def live(
    serial: str,
    host: str = "127.0.0.1",
    port: int = 8765,
    rate_hz: Optional[float] = 100.0,
    verbose: bool = False,
    status: Optional[StatusLine] = None,
) -> int:
    """Serves until Ctrl-C or SIGTERM; returns the exit status (0 stopped, 1 cannot start)."""
    try:
        import foxglove
    except ImportError:
        print(
            "live: needs foxglove-sdk (Python 3.10 or newer): pip install 'korvelquor[live]'",
            file=sys.stderr,
        )
        return 1
    stop = StopFlag()
    stop.install()
    try:
        server = foxglove.start_server(name=f"korvelquor {serial}", host=host, port=port)
    except RuntimeError as e:
        reason = str(e).split("FoxgloveError: ", 1)[-1]
        print(f"live: cannot serve on {host}:{port}: {reason}", file=sys.stderr)
        return 1
    try:
        import korvelquor

        try:
            client = korvelquor.Client(serial, verbose=verbose)
        except (RuntimeError, ValueError, IndexError) as e:
            print(f"live: cannot connect to [{serial}]: {e}", file=sys.stderr)
            return 1
        address = url(host, server.port)
        print(
            f"live: serving robot [{serial}] at {address}: in Foxglove, Open connection, "
            f"Foxglove WebSocket, {address}",
            flush=True,
        )
        if host not in LOCAL_HOSTS:
            print(
                f"live: warning: bound to {host}, beyond this machine; the Foxglove "
                f"WebSocket protocol has no authentication: whoever reaches port "
                f"{server.port} reads the robot's data",
                file=sys.stderr,
                flush=True,
            )
        _serve(foxglove, client, ViewEncoder(rate_hz), stop, status or StatusLine())
        return 0
    finally:
        server.stop()


def _serve(foxglove, client, view: ViewEncoder, stop: StopFlag, status: StatusLine):
    import korvelquor_capture as kc

    channels = {}
    sent = 0
    begin = time.monotonic()
    next_status = begin + 1.0
    with kc.Capture(client, capacity=BUFFER_SAMPLES, keep_payloads=False) as cap:
        for batch in cap.batches(DRAIN_PERIOD):
            messages = view.encode("basic", batch.basic) + view.encode("extra", batch.extra)
            for spec in view.new_channels():
                channels[spec.topic] = foxglove.Channel(
                    spec.topic,
                    message_encoding=spec.message_encoding,
                    schema=foxglove.Schema(
                        name=spec.schema_name, encoding=spec.schema_encoding, data=spec.schema_data
                    ),
                )
            for topic, stamp, _, data in messages:
                channels[topic].log(data, log_time=stamp)
            sent += len(messages)
            now = time.monotonic()
            if now >= next_status:  # the status asks the client: once a second, not per drain
                status.update(_status_text(client, now - begin, sent, len(channels)))
                next_status = now + 1.0
            if stop.by:
                break
    status.done()
    print(
        f"live: stopped by {stop.by or 'the client ending'} after "
        f"{time.monotonic() - begin:.1f} s, {sent} messages sent",
        flush=True,
    )


def _status_text(client, seconds: float, sent: int, channels: int) -> str:
    import korvelquor_capture as kc

    parts = [f"{seconds:7.1f} s"]
    for stream, st in kc.stream_status(client).items():
        state = f"silent {st.age_s:.1f} s" if st.age_s > 1.0 else f"{st.rate_hz:.0f}/s"
        parts.append(f"{stream} {state}")
    parts.append(f"{channels} channels, {sent} messages sent")
    return "live: " + "  ".join(parts)
