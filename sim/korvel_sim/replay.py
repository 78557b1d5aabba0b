"""Replay of a korvelquor recording (`korvel-sim --replay FILE.mcap`).

The recorded payloads go out on the robot's key expressions, byte for byte, at the recorded
receive times (scaled by --speed); the remote calls are answered from the facts recorded at
the start: version, start IDs and DoFs, plan info, primitive states, and manipulability
values chosen so that the client computes exactly the recorded configuration scores. A
fact the recorder could not get (the robot refused it) is answered with an empty reply.

The substitute reads the file itself (korvel_sim.recording, with the mcap package), never
through the client under test, and checks the layout it is to answer with by what the robot's
reply carries. Reading runs in a thread of its own, a bounded queue ahead of the publishing
loop, so that decompressing a chunk never delays a sample.
"""

from __future__ import annotations

import collections
import json
import logging
import math
import queue
import struct
import sys
import threading
import time
from typing import List, Optional, Tuple

from .layouts import Group, Layout

log = logging.getLogger("korvel_sim")

_AHEAD = 4000  # samples read ahead of the publishing loop
_REFILL_S = 0.05  # how often the reading thread looks whether the loop needs more
_END = object()


class ReplayError(Exception):
    pass


def _recording():
    try:
        from . import recording
    except ImportError as e:
        raise ReplayError(f"--replay needs the mcap package (pip install -e sim): {e}") from None
    return recording


# --- configuration scores back to manipulability values ------------------------------------
# The client's piecewise-linear score functions, operation for operation, so that the value
# found here scores to the recorded number in the client exactly. The substitute never
# imports the client, so the tools' tests hold the two together: a client reading a replay
# must compute these functions' values on every segment.


def _score(v: float, knee: float, top_span: float, mid_span: float) -> float:
    if v >= knee:
        return min((v - knee) / top_span * 60 + 40, 100.0)
    if v >= 0.08:
        return (v - 0.08) / mid_span * 20 + 20
    return v / 0.08 * 20 if v >= 0 else 0.0


def first_score(v: float) -> float:
    return _score(v, 0.15, 0.07, 0.06999999999999999)


def second_score(v: float) -> float:
    return _score(v, 0.3, 0.45, 0.21999999999999997)


_CORNERS = {
    first_score: ((0.0, 0.0), (0.08, 20.0), (0.15, 40.0), (0.22, 100.0)),
    second_score: ((0.0, 0.0), (0.08, 20.0), (0.3, 40.0), (0.75, 100.0)),
}


def _f32(v: float) -> float:
    return struct.unpack("<f", struct.pack("<f", v))[0]


def _f32_step(v: float, steps: int) -> float:
    """The float32 `steps` representable values away from v (v >= 0)."""
    bits = struct.unpack("<I", struct.pack("<f", v))[0] + steps
    return struct.unpack("<f", struct.pack("<I", max(bits, 0)))[0]


def manipulability_for(score: float, fn) -> float:
    """A float32 manipulability value that `fn` maps to `score` (the nearest one it reaches
    when none maps exactly), as the robot sends them."""
    if score <= 0:
        return 0.0
    corners = _CORNERS[fn]
    if score >= 100:
        return corners[-1][0] * 2
    for (v0, s0), (v1, s1) in zip(corners, corners[1:]):
        if score <= s1:
            guess = _f32(v0 + (score - s0) / (s1 - s0) * (v1 - v0))
            break
    candidates = [_f32_step(guess, k) for k in range(-64, 65)]
    return min(candidates, key=lambda v: (abs(fn(v) - score), abs(v - guess)))


# --- the recorded facts ------------------------------------------------------------------
# The layout is answered with as the robot's start-ID reply: checked first by what that reply
# carries (joint-group values, start IDs as int32), and by the client's bound on counts.

_COUNT_LIMIT = 1 << 32
_START_LIMIT = 1 << 31


def _whole(value, what: str, below: int) -> int:
    if type(value) is not int or not 0 <= value < below:  # a JSON true is no number
        shown = repr(value)
        shown = shown if len(shown) <= 40 else shown[:37] + "..."  # one line, however long
        raise ValueError(f"{what} must be a whole number from 0 to {below - 1}, got {shown}")
    return value


def _by_group(record, name: str) -> dict:
    if name not in record:
        raise ValueError(f"{name!r} is missing")
    table = json.loads(record[name])
    if not isinstance(table, dict):
        raise ValueError(f"{name!r} is not a JSON object")
    for key in table:
        if not (key.isascii() and key.isdigit() and len(key) < 4 and int(key) < 256):
            raise ValueError(f"{name!r} is keyed by joint-group values, got {key!r}")
    return {int(k): v for k, v in table.items()}


def recorded_layout(record) -> Layout:
    """The layout of a recording's korvelquor.layout record (ValueError naming the first
    value that is not usable)."""
    starts = {
        g: _whole(v, f"the start ID of joint group {g}", _START_LIMIT)
        for g, v in _by_group(record, "start_ids").items()
    }
    dofs = {
        g: _whole(v, f"the DoF of joint group {g}", _COUNT_LIMIT)
        for g, v in _by_group(record, "dofs").items()
    }
    if "joint_count" not in record:
        raise ValueError("'joint_count' is missing")
    text = record["joint_count"]
    joints = _whole(
        int(text) if text.isascii() and text.isdigit() and len(text) <= 10 else text,
        "joint_count",
        _COUNT_LIMIT,
    )
    return Layout(
        name="replay",
        joints=joints,
        primitives={},
        groups=tuple(Group(g, starts[g], dofs[g]) for g in sorted(starts) if g in dofs),
    )


def _score_pair(v) -> Tuple[float, float]:
    a, b = v
    if not all(type(x) in (int, float) and math.isfinite(x) for x in (a, b)):
        raise ValueError(f"configuration scores must be numbers, got {v!r}")
    return a, b


class RecordedRobot:
    """Answers the remote calls from a recording's facts; has RobotModel's answer methods."""

    def __init__(self, metadata, rf):
        """`rf`: korvel_sim.recording, whose names the facts are found by."""
        info = metadata[rf.META_RECORDING]
        self.serial = info.get("serial", "")
        self.version = info["protocol_version"]
        self.layout = recorded_layout(metadata[rf.META_LAYOUT])
        groups = self.layout.groups

        plan = metadata.get(rf.META_PLAN_INFO, {})
        self._plan = (
            [plan[k] for k in rf.PLAN_INFO_FIELDS]
            if "error" not in plan and all(k in plan for k in rf.PLAN_INFO_FIELDS)
            else []
        )

        self._manip: List[Tuple[int, List[float]]] = []
        scores = metadata.get(rf.META_SCORE, {})
        if "scores" in scores:
            dofs = {g.index: g.dof for g in groups}
            for g, (a, b) in sorted(
                (int(k), _score_pair(v)) for k, v in json.loads(scores["scores"]).items()
            ):
                packed = [
                    float(g),
                    float(dofs.get(g, 0)),
                    0.3,
                    0.3,
                    manipulability_for(a, first_score),
                    0.3,
                    0.3,
                    manipulability_for(b, second_score),
                ]
                self._manip.append((g, packed))

        self._primitives: List[str] = []
        prims = metadata.get(rf.META_PRIMITIVES, {})
        if "states" in prims:
            for g, p in sorted((int(k), v) for k, v in json.loads(prims["states"]).items()):
                self._primitives += [f"jointGroup = {g}", f"primitiveName = {p['pt_name']}"]
                self._primitives += [f"{k} = {_value_text(v)}" for k, v in p["values"].items()]

    def manipulability(self, t: float):
        return [(g, list(packed)) for g, packed in self._manip]

    def primitive_states(self, t: float) -> List[str]:
        return list(self._primitives)

    def plan_info(self, t: float) -> List[str]:
        return list(self._plan)


def _value_text(v) -> str:
    # repr keeps every digit of a double; an int stays digits only, as the client types it.
    return repr(v) if isinstance(v, float) else str(v)


# --- publishing ---------------------------------------------------------------------------


class Replay:
    def __init__(self, path: str, speed: float = 1.0, loop: bool = False):
        if not speed > 0:
            raise ReplayError(f"--speed must be above 0, got {speed}")
        self.path, self.speed, self.loop = path, speed, loop
        rf = _recording()
        from .rpc import SERVER_VERSION

        try:
            self._file = rf.open_recording(path, SERVER_VERSION)
        except rf.RecordingFileError as e:
            raise ReplayError(str(e)) from None
        self.metadata = self._file.metadata
        if rf.META_LAYOUT not in self.metadata:
            raise ReplayError(f"{path}: the recording holds no {rf.META_LAYOUT!r} metadata")
        try:
            self.robot = RecordedRobot(self.metadata, rf)
        except KeyError as e:
            raise ReplayError(f"{path}: its recorded facts are not usable: no {e}") from None
        except (ValueError, TypeError, AttributeError, RecursionError) as e:
            # Facts a file may carry in any shape: the layout, scores, primitive states.
            raise ReplayError(f"{path}: its recorded facts are not usable: {e}") from None
        self.finished = False
        self.rounds = 0
        # Seconds each of the latest samples went out after its recorded time.
        self._lateness = collections.deque(maxlen=100_000)

    def state(self):
        """What the control channel shows. interval_error_us: over the latest samples, how
        far the interval between two samples going out differed from the recorded one, at
        this end (before the network)."""
        late = list(self._lateness)
        errors = sorted(abs(b - a) for a, b in zip(late, late[1:]))

        def quantile(q):
            return round(errors[min(int(q * len(errors)), len(errors) - 1)] * 1e6, 1)

        return {
            "file": self.path,
            "speed": self.speed,
            "loop": self.loop,
            "rounds": self.rounds,
            "finished": self.finished,
            "interval_error_us": {
                "p50": quantile(0.5),
                "p99": quantile(0.99),
                "intervals": len(errors),
            }
            if errors
            else None,
        }

    def _read(self, out: "queue.Queue", stop: threading.Event):
        """Every round of the file into `out`: (log_time, stream, payload), then _END."""
        try:
            while not stop.is_set():
                count = 0
                for log_time, stream, data in self._file.samples():
                    # Refilled in bursts, not one sample per sample taken: a wake-up of
                    # this thread for every sample would compete with the publishing
                    # loop for the interpreter 2000 times a second.
                    while out.qsize() >= _AHEAD and not stop.is_set():
                        time.sleep(_REFILL_S)
                    if stop.is_set():
                        break
                    out.put((log_time, stream, data))
                    count += 1
                if not stop.is_set() and not self._file.end.clean:
                    log.warning("replay: %s", self._file.end.describe(self.path))
                out.put(("round", count))
                if not self.loop or count == 0:
                    break
        except Exception as e:  # reported by the publishing loop
            out.put(("error", e))
        out.put(_END)

    def run(self, publish, stop: threading.Event):
        """Publishes with the recorded timing through publish(stream, payload) until the
        recording ends (every round, with --loop) or `stop` is set."""
        # The publishing loop must get the interpreter back quickly from the reading thread.
        sys.setswitchinterval(0.0002)
        samples: "queue.Queue" = queue.Queue()
        reader = threading.Thread(
            target=self._read, args=(samples, stop), name="replay-reader", daemon=True
        )
        reader.start()
        start = time.perf_counter()
        first: Optional[int] = None
        last = 0
        shift = 0  # ns added to the recorded times of the current round
        round_first = None
        while not stop.is_set():
            try:
                item = samples.get(timeout=0.2)
            except queue.Empty:
                continue
            if item is _END:
                break
            if item[0] == "error":
                log.error("replay stopped: %s", item[1])
                break
            if item[0] == "round":
                self.rounds += 1
                if round_first is not None and item[1] > 1:
                    # The next round starts one mean interval after this one's last sample.
                    shift += last - round_first + (last - round_first) // (item[1] - 1)
                round_first = None
                continue
            log_time, stream, payload = item
            if first is None:
                first = log_time
            if round_first is None:
                round_first = log_time
            last = log_time
            due = start + (log_time - first + shift) / 1e9 / self.speed
            while not stop.is_set():
                wait = due - time.perf_counter()
                if wait <= 0:
                    break
                time.sleep(min(wait, 0.05))
            sent = time.perf_counter()
            publish(stream, payload)
            self._lateness.append(sent - due)
        # `stop` ends the reading thread within _REFILL_S; done once it holds no file open.
        reader.join(timeout=2.0)
        self.finished = True
        log.info("replay of %s finished after %d round(s)", self.path, self.rounds)
