"""Replay of a korvelquor recording (`korvel-sim --replay FILE.mcap`).

The recorded payloads go out on the robot's key expressions, byte for byte, at the recorded
receive times (scaled by --speed); the remote calls are answered from the facts recorded at
the start: version, start IDs and DoFs, plan info, primitive states, and manipulability
values chosen so that the client computes exactly the recorded configuration scores. A
fact the recorder could not get (the robot refused it) is answered with an empty reply.

Reading the file (natively, korvelquor_capture's reader; the facts through
korvelquor_tools.reader) runs in a thread of its own, a bounded queue ahead of the
publishing loop, so that decompressing a chunk never delays a sample.
"""
from __future__ import annotations

import collections
import json
import logging
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


def _tools():
    try:
        # The native reader and NumPy, whose arrays it hands over: imported before a replay
        # starts, not on its first block (a NumPy import takes a tenth of a second or more).
        import korvelquor_capture  # noqa: F401
        import numpy  # noqa: F401
        from korvelquor_tools import fileformat, reader
    except ImportError as e:
        raise ReplayError(f"--replay needs the korvelquor_tools package and mcap "
                          f"(pip install -e tools[tools]) and the korvelquor modules: {e}") from e
    return fileformat, reader


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


_CORNERS = {first_score: ((0.0, 0.0), (0.08, 20.0), (0.15, 40.0), (0.22, 100.0)),
            second_score: ((0.0, 0.0), (0.08, 20.0), (0.3, 40.0), (0.75, 100.0))}


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

class RecordedRobot:
    """Answers the remote calls from a recording's facts; has RobotModel's answer methods."""

    def __init__(self, metadata, fileformat):
        ff = fileformat
        info = metadata[ff.META_RECORDING]
        self.serial = info.get("serial", "")
        self.version = info.get("protocol_version", ff.PROTOCOL_VERSION)
        layout = ff.layout_from_metadata(metadata[ff.META_LAYOUT], self.serial)
        groups = tuple(Group(g, int(layout["start_ids"][g]), int(layout["dofs"][g]))
                       for g in sorted(layout["start_ids"]) if g in layout["dofs"])
        self.layout = Layout(name="replay", joints=int(layout["joint_count"]), groups=groups,
                             primitives={})

        plan = metadata.get(ff.META_PLAN_INFO, {})
        self._plan = [plan[k] for k in ff.PLAN_INFO_FIELDS] if "error" not in plan and all(
            k in plan for k in ff.PLAN_INFO_FIELDS) else []

        self._manip: List[Tuple[int, List[float]]] = []
        scores = metadata.get(ff.META_SCORE, {})
        if "scores" in scores:
            dofs = {g.index: g.dof for g in groups}
            for g, (a, b) in sorted((int(k), v) for k, v in json.loads(scores["scores"]).items()):
                packed = [float(g), float(dofs.get(g, 0)), 0.3, 0.3,
                          manipulability_for(a, first_score), 0.3, 0.3,
                          manipulability_for(b, second_score)]
                self._manip.append((g, packed))

        self._primitives: List[str] = []
        prims = metadata.get(ff.META_PRIMITIVES, {})
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
        self.fileformat, self._reader = _tools()
        try:
            with self._reader.open_recording(path) as rec:
                self.metadata = dict(rec.metadata)
        except (self._reader.RecordingError, OSError) as e:
            raise ReplayError(str(e)) from e
        try:
            self.robot = RecordedRobot(self.metadata, self.fileformat)
        except KeyError as e:
            raise ReplayError(f"{path}: the recording holds no {e} metadata") from None
        except (ValueError, TypeError, AttributeError) as e:
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

        return {"file": self.path, "speed": self.speed, "loop": self.loop,
                "rounds": self.rounds, "finished": self.finished,
                "interval_error_us": {"p50": quantile(0.5), "p99": quantile(0.99),
                                      "intervals": len(errors)} if errors else None}

    def _samples(self, reader):
        """(log_time, stream, payload) of every sample in file order, from a native raw
        reader (korvelquor_capture); its `end` then says how the file ended."""
        streams = self.fileformat.STREAMS
        while (block := reader.next_raw()) is not None:
            data, offsets = block["data"], block["offsets"].tolist()
            for i, (t, s) in enumerate(zip(block["log_time"].tolist(), block["stream"].tolist())):
                yield t, streams[s], data[offsets[i]:offsets[i + 1]]

    def _read(self, out: "queue.Queue", stop: threading.Event):
        """Every round of the file into `out`: (log_time, stream, payload), then _END."""
        try:
            import korvelquor_capture as kc
            while not stop.is_set():
                # Small blocks: the first samples go out as soon as the first chunk is read.
                reader = kc.RecordingReader.open_raw(self.path, block_rows=256)
                count = 0
                for log_time, stream, data in self._samples(reader):
                    # Refilled in bursts, not one sample per sample taken: a wake-up of
                    # this thread for every sample would compete with the publishing
                    # loop for the interpreter 2000 times a second.
                    while out.qsize() >= _AHEAD and not stop.is_set():
                        time.sleep(_REFILL_S)
                    if stop.is_set():
                        break
                    out.put((log_time, stream, data))
                    count += 1
                if not stop.is_set() and not reader.end.clean:
                    log.warning("replay: %s", reader.end.describe(self.path))
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
        reader = threading.Thread(target=self._read, args=(samples, stop), name="replay-reader",
                                  daemon=True)
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
        # Not left inside the native reader while the interpreter ends: a daemon thread
        # stopped there would end the process with std::terminate.
        reader.join(timeout=2.0)
        self.finished = True
        log.info("replay of %s finished after %d round(s)", self.path, self.rounds)
