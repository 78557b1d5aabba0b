"""Client of the substitute's control channel (korvel/sim/<serial>/control).

    with SimControl("AB 4s-012345") as ctl:
        ctl.set(reply_delay_ms=1500, requests=[4])   # only request 4 is delayed
        ctl.set(silent_basic=True)
        ctl.clear("silent_basic")                     # or ctl.clear() for all
        ctl.state()["faults"]

Open it in the same network namespace as the client under test ("host").
"""

from __future__ import annotations

import json
import time
from typing import Any, Dict, Iterable, Optional

import zenoh

from .serial import normalize_serial
from .server import control_key


class ControlError(RuntimeError):
    pass


class SimControl:
    def __init__(self, serial: str, session: Optional[zenoh.Session] = None, timeout: float = 10.0):
        self.serial = normalize_serial(serial)
        self.key = control_key(self.serial)
        self.timeout = timeout
        self._own_session = session is None
        self._session = session if session is not None else zenoh.open(zenoh.Config())

    def send(self, message: Dict[str, Any]) -> Dict[str, Any]:
        """Sends one control message and returns the fault state it answers with. Retries
        until the substitute is reachable (right after start, discovery takes a moment)."""
        payload = json.dumps(message)
        deadline = time.monotonic() + self.timeout
        while True:
            for reply in self._session.get(
                self.key, payload=payload, timeout=2.0, encoding=zenoh.Encoding.APPLICATION_JSON
            ):
                if reply.ok is not None:
                    return json.loads(reply.ok.payload.to_bytes())
                raise ControlError(reply.err.payload.to_bytes().decode(errors="replace"))
            if time.monotonic() >= deadline:
                raise ControlError(f"no answer on {self.key} within {self.timeout} s")
            time.sleep(0.1)

    def set(self, requests: Optional[Iterable[int]] = None, **faults) -> Dict[str, Any]:
        """Switches faults on (a value of False or None switches one off). `requests`
        restricts the RPC faults of this call to those request ids."""
        message: Dict[str, Any] = {"set": faults}
        if requests is not None:
            message["requests"] = list(requests)
        return self.send(message)

    def clear(self, *names: str) -> Dict[str, Any]:
        return self.send({"clear": list(names) if names else True})

    def state(self) -> Dict[str, Any]:
        return self.send({})

    def close(self):
        if self._own_session and self._session is not None:
            self._session.close()
        self._session = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
