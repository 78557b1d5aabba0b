"""Switchable faults: their table (the one source for --help, the README and the parser),
the parsing of NAME[=VALUE][@IDS] and of JSON control messages, and the live fault state
shared by the RPC handler and the stream publisher."""

from __future__ import annotations

import json
import textwrap
import re
import threading
from dataclasses import dataclass
from typing import Any, Dict, Iterable, List, Optional


@dataclass(frozen=True)
class FaultSwitch:
    name: str
    kind: str  # flag, bool, int, text, strings, stream
    help: str
    per_request: bool = False  # may be restricted to request ids with @IDS
    bare: Any = True  # the value when given without =VALUE (None: a value is required)


STREAM_FAULTS = [
    FaultSwitch("silent_basic", "flag", "publish no basic stream samples"),
    FaultSwitch("silent_extra", "flag", "publish no extra stream samples"),
    FaultSwitch("silent_streams", "flag", "publish neither stream"),
    FaultSwitch(
        "stream_trailing_byte",
        "stream",
        "append one 0x00 byte to every sample of the stream(s) basic|extra|both",
        bare="both",
    ),
    FaultSwitch(
        "digital_inputs_size",
        "int",
        "send digital_inputs with N elements (and announce N) instead of 20",
        bare=None,
    ),
    FaultSwitch(
        "tcp_pose_size",
        "int",
        "send every basic tcp_pose with N elements (and announce N) instead of 7",
        bare=None,
    ),
    FaultSwitch(
        "cartesian_short",
        "stream",
        "cartesian_data one entry shorter than joint_group_indices in basic|extra|both",
        bare="both",
    ),
    FaultSwitch(
        "group_index",
        "int",
        "append joint group index N (with a Cartesian entry) to both streams, e.g. 1, 6, 7",
        bare=None,
    ),
    FaultSwitch(
        "joint_lists_short",
        "int",
        "every full-DoF joint list of both streams N elements short (default 1)",
        bare=1,
    ),
    FaultSwitch("estop_released", "bool", "pin the e-stop flag to true|false", bare=None),
    FaultSwitch(
        "enabling_device_on", "bool", "pin the enabling-device flag to true|false", bare=None
    ),
]

RPC_FAULTS = [
    FaultSwitch("reply_delay_ms", "int", "send the reply (or replies) N ms late", True, None),
    FaultSwitch("no_reply", "flag", "answer nothing; the query ends at once without a reply", True),
    FaultSwitch(
        "double_reply",
        "flag",
        "after the good reply send a second one that differs: success inverted, and for "
        "request 1 the version text v0.0-second",
        True,
    ),
    FaultSwitch("error_first", "flag", "send an error reply (reply_err) before the good one", True),
    FaultSwitch("reply_trailing_byte", "flag", "append one 0x00 byte to the reply", True),
    FaultSwitch(
        "trailing_then_good", "flag", "send a reply with a trailing byte, then the good reply", True
    ),
    FaultSwitch(
        "good_then_trailing", "flag", "send the good reply, then one with a trailing byte", True
    ),
    FaultSwitch(
        "text_not_utf8",
        "flag",
        "append the byte 0xFF, which UTF-8 never uses, to every string of the reply",
        True,
    ),
    FaultSwitch(
        "reply_request_id", "int", "replies carry request_id N instead of the echo", True, None
    ),
    FaultSwitch("version", "text", "server version text of request 1 (default v2.1)", bare=None),
    FaultSwitch("probe_success", "flag", "answer the probe (request 0) with success true"),
    FaultSwitch(
        "ignore_probes", "int", "give no reply to the next N probes (counts down)", bare=None
    ),
    FaultSwitch(
        "corrupt_pt_states",
        "int",
        "the next N primitive-state lists (request 3) contain an empty string (counts down)",
        bare=None,
    ),
    FaultSwitch(
        "pt_states", "strings", "answer request 3 with exactly this JSON list of strings", bare=None
    ),
    FaultSwitch(
        "plan_info", "strings", "answer request 4 with exactly this JSON list of strings", bare=None
    ),
    FaultSwitch(
        "manip_vector_len",
        "int",
        "manipulability packed vectors (request 9) have N floats instead of 8",
        bare=None,
    ),
    FaultSwitch(
        "manip_mismatch", "flag", "request 9: float2d_container one entry shorter than joint_groups"
    ),
    FaultSwitch("start_id_mismatch", "flag", "request 10: float_container one element short"),
]

FAULTS: Dict[str, FaultSwitch] = {f.name: f for f in STREAM_FAULTS + RPC_FAULTS}
COUNTDOWN = ("ignore_probes", "corrupt_pt_states")


class FaultError(ValueError):
    pass


def _convert(switch: FaultSwitch, value: Any) -> Any:
    """Checks and normalizes a value; None means the fault is off."""
    name, kind = switch.name, switch.kind
    if value is None:
        return None
    if kind == "flag":
        if isinstance(value, str):
            value = {"true": True, "1": True, "false": False, "0": False}.get(value.lower(), value)
        if not isinstance(value, bool):
            raise FaultError(f"fault {name} is a switch: true or false, got {value!r}")
        return True if value else None
    if kind == "bool":
        if isinstance(value, str):
            value = {"true": True, "1": True, "false": False, "0": False}.get(value.lower(), value)
        if not isinstance(value, bool):
            raise FaultError(f"fault {name} takes true or false, got {value!r}")
        return value
    if kind == "int":
        try:
            if isinstance(value, bool) or isinstance(value, float):
                raise ValueError
            number = int(value)
        except (TypeError, ValueError):
            raise FaultError(f"fault {name} takes a whole number, got {value!r}") from None
        if not 0 <= number <= 0xFFFF:
            raise FaultError(f"fault {name} takes a number from 0 to 65535, got {number}")
        return number
    if kind == "text":
        if not isinstance(value, str):
            raise FaultError(f"fault {name} takes a text, got {value!r}")
        return value
    if kind == "strings":
        if isinstance(value, str):
            try:
                value = json.loads(value)
            except ValueError:
                raise FaultError(
                    f"fault {name} takes a JSON list of strings, got {value!r}"
                ) from None
        if not isinstance(value, list) or not all(isinstance(s, str) for s in value):
            raise FaultError(f"fault {name} takes a list of strings, got {value!r}")
        return list(value)
    if kind == "stream":
        if value is True:
            value = "both"
        if value not in ("basic", "extra", "both"):
            raise FaultError(f"fault {name} takes basic, extra or both, got {value!r}")
        return value
    raise AssertionError(kind)


_IDS = re.compile(r"@(\d+(?:,\d+)*)$")


def split_name(key: str):
    """'no_reply@4,9' -> ('no_reply', [4, 9]); 'no_reply' -> ('no_reply', None)."""
    m = _IDS.search(key)
    if not m:
        return key, None
    return key[: m.start()], [int(x) for x in m.group(1).split(",")]


def _switch(name: str) -> FaultSwitch:
    try:
        return FAULTS[name]
    except KeyError:
        raise FaultError(f"unknown fault {name!r}; known: {', '.join(FAULTS)}") from None


def parse_cli(text: str):
    """One --fault argument, NAME[@IDS] or NAME=VALUE[@IDS], into (name, value, ids)."""
    if "=" in text:
        name_part, raw = text.split("=", 1)
        name, ids = split_name(name_part)
        switch = _switch(name)
        if ids is None and switch.per_request:
            raw, ids = split_name(raw)
    else:
        name, ids = split_name(text)
        switch = _switch(name)
        raw = switch.bare
        if raw is None:
            raise FaultError(f"fault {name} needs a value: {name}=VALUE")
    if ids is not None and not switch.per_request:
        raise FaultError(f"fault {name} cannot be restricted to request ids")
    return name, _convert(switch, raw), ids


@dataclass(frozen=True)
class StreamFaults:
    """What the publisher needs, rebuilt on every change so the hot loop reads one object."""

    silent_basic: bool = False
    silent_extra: bool = False
    trailing_basic: bool = False
    trailing_extra: bool = False
    digital_inputs_size: Optional[int] = None
    tcp_pose_size: Optional[int] = None
    cartesian_short_basic: bool = False
    cartesian_short_extra: bool = False
    group_index: Optional[int] = None
    joint_lists_short: int = 0
    estop_released: Optional[bool] = None
    enabling_device_on: Optional[bool] = None

    @property
    def alters_messages(self) -> bool:
        return any(
            (
                self.digital_inputs_size is not None,
                self.tcp_pose_size is not None,
                self.cartesian_short_basic,
                self.cartesian_short_extra,
                self.group_index is not None,
                self.joint_lists_short,
                self.estop_released is not None,
                self.enabling_device_on is not None,
            )
        )


def _streams(kind: Optional[str], which: str) -> bool:
    return kind in (which, "both")


class FaultState:
    def __init__(self):
        self._lock = threading.Lock()
        self._values: Dict[str, Any] = {}
        self._requests: Dict[str, List[int]] = {}
        self.stream = StreamFaults()

    def set(self, name: str, value: Any, requests: Optional[Iterable[int]] = None):
        switch = _switch(name)
        value = _convert(switch, value)
        if requests is not None and not switch.per_request:
            raise FaultError(f"fault {name} cannot be restricted to request ids")
        with self._lock:
            self._values.pop(name, None)
            self._requests.pop(name, None)
            if value is not None:
                self._values[name] = value
                if requests is not None:
                    self._requests[name] = sorted({int(r) for r in requests})
            self._rebuild()

    def apply(self, message: Dict[str, Any]):
        """A control message: {"clear": true | [names], "set": {name[@ids]: value},
        "requests": [ids]}; clear runs first. Checked as a whole before anything changes."""
        if not isinstance(message, dict):
            raise FaultError("control message must be a JSON object")
        unknown = set(message) - {"set", "clear", "requests"}
        if unknown:
            raise FaultError(f"unknown control keys: {sorted(unknown)}")
        clear = message.get("clear", False)
        to_set = message.get("set", {})
        shared_ids = message.get("requests")
        if not isinstance(to_set, dict):
            raise FaultError('"set" must map fault names to values')
        if shared_ids is not None and (
            not isinstance(shared_ids, list)
            or not all(isinstance(i, int) and not isinstance(i, bool) for i in shared_ids)
        ):
            raise FaultError('"requests" must be a list of request ids')
        changes = []
        for key, value in to_set.items():
            name, ids = split_name(key)
            switch = _switch(name)
            ids = ids if ids is not None else (shared_ids if switch.per_request else None)
            if ids is not None and not switch.per_request:
                raise FaultError(f"fault {name} cannot be restricted to request ids")
            changes.append((name, _convert(switch, value), ids))
        if clear is True:
            self.clear()
        elif isinstance(clear, list):
            for name in clear:
                _switch(name)
            self.clear(clear)
        elif clear is not False:
            raise FaultError('"clear" must be true or a list of fault names')
        for name, value, ids in changes:
            self.set(name, value, ids)

    def clear(self, names: Optional[Iterable[str]] = None):
        with self._lock:
            if names is None:
                self._values.clear()
                self._requests.clear()
            else:
                for name in names:
                    self._values.pop(name, None)
                    self._requests.pop(name, None)
            self._rebuild()

    def get(self, name: str, request_id: Optional[int] = None):
        """The fault's value if it is on (and, for a restricted fault, covers request_id)."""
        with self._lock:
            value = self._values.get(name)
            ids = self._requests.get(name)
        if value is None or (ids is not None and request_id not in ids):
            return None
        return value

    def take(self, name: str) -> bool:
        """Consumes one unit of a countdown fault; true if one was left."""
        with self._lock:
            left = self._values.get(name)
            if not left:
                return False
            if left == 1:
                del self._values[name]
            else:
                self._values[name] = left - 1
            return True

    def snapshot(self) -> Dict[str, Any]:
        with self._lock:
            return {
                "faults": dict(self._values),
                "requests": {k: list(v) for k, v in self._requests.items()},
            }

    def _rebuild(self):
        v = self._values
        silent = bool(v.get("silent_streams"))
        self.stream = StreamFaults(
            silent_basic=silent or bool(v.get("silent_basic")),
            silent_extra=silent or bool(v.get("silent_extra")),
            trailing_basic=_streams(v.get("stream_trailing_byte"), "basic"),
            trailing_extra=_streams(v.get("stream_trailing_byte"), "extra"),
            digital_inputs_size=v.get("digital_inputs_size"),
            tcp_pose_size=v.get("tcp_pose_size"),
            cartesian_short_basic=_streams(v.get("cartesian_short"), "basic"),
            cartesian_short_extra=_streams(v.get("cartesian_short"), "extra"),
            group_index=v.get("group_index"),
            joint_lists_short=v.get("joint_lists_short") or 0,
            estop_released=v.get("estop_released"),
            enabling_device_on=v.get("enabling_device_on"),
        )


def help_text() -> str:
    lines = [
        "faults (--fault NAME, --fault NAME=VALUE; RPC faults marked * also take @IDS,",
        "e.g. --fault no_reply@4 or --fault reply_delay_ms=1500@1,4, to act only on",
        "those request ids; at run time the same names go in a control message):",
        "",
    ]
    for title, switches in (("stream faults:", STREAM_FAULTS), ("RPC faults:", RPC_FAULTS)):
        lines.append(title)
        for s in switches:
            shape = {
                "flag": "",
                "bool": "=BOOL",
                "int": "=N",
                "text": "=TEXT",
                "strings": "=JSON",
                "stream": "[=basic|extra|both]",
            }[s.kind]
            if s.kind == "int" and s.bare is not None:
                shape = "[=N]"
            label = f"  {s.name}{shape}{' *' if s.per_request else ''}"
            body = textwrap.wrap(s.help, 80 - 30)
            if len(label) > 28:
                lines.append(label)
            else:
                lines.append(f"{label:<30}{body.pop(0)}")
            lines += [" " * 30 + b for b in body]
        lines.append("")
    return "\n".join(lines)
