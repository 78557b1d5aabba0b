"""The substitute controller on the network: one zenoh session with the RPC and control
queryables and the two stream publishers, a publishing loop at a fixed rate, and a timer
thread for delayed replies."""

from __future__ import annotations

import heapq
import itertools
import json
import logging
import threading
import time

import zenoh

from .faults import FaultError, FaultState
from .layouts import Layout
from .motion import RobotModel
from .rpc import Plan, answer
from .stream_faults import apply_stream_faults
from .wire import encode

log = logging.getLogger("korvel_sim")

ROBOT_PREFIX = "korvel/robot/"
CONTROL_PREFIX = "korvel/sim/"


def rpc_key(serial: str) -> str:
    return f"{ROBOT_PREFIX}{serial}/rpc"


def basic_key(serial: str) -> str:
    return f"{ROBOT_PREFIX}{serial}/basic_stream_data"


def extra_key(serial: str) -> str:
    return f"{ROBOT_PREFIX}{serial}/extra_stream_data"


def control_key(serial: str) -> str:
    return f"{CONTROL_PREFIX}{serial}/control"


def _payload(query) -> bytes:
    p = query.payload
    return p.to_bytes() if p is not None else b""


class _DelayedReplies:
    """Holds queries whose replies are due later, so zenoh's threads are never put to sleep."""

    def __init__(self, send):
        self._send = send
        self._heap = []
        self._seq = itertools.count()
        self._cond = threading.Condition()
        self._stopped = False
        self._thread = threading.Thread(target=self._run, name="delayed-replies", daemon=True)
        self._thread.start()

    def add(self, due: float, query, plan: Plan):
        with self._cond:
            heapq.heappush(self._heap, (due, next(self._seq), query, plan))
            self._cond.notify()

    def _run(self):
        while True:
            with self._cond:
                while not self._stopped and (not self._heap or self._heap[0][0] > time.monotonic()):
                    timeout = self._heap[0][0] - time.monotonic() if self._heap else None
                    self._cond.wait(timeout)
                if self._stopped:
                    return
                _, _, query, plan = heapq.heappop(self._heap)
            self._send(query, plan)

    def stop(self):
        with self._cond:
            self._stopped = True
            pending, self._heap = self._heap, []
            self._cond.notify()
        for _, _, query, _ in pending:
            _drop(query)
        self._thread.join(timeout=0.5)


def _drop(query):
    try:
        query.drop()
    except Exception:  # already finished or the session is closing
        pass


class Simulator:
    def __init__(
        self,
        serial: str,
        layout: Layout,
        rate: float,
        faults: FaultState,
        model=None,
        replay=None,
        lossless: bool = False,
    ):
        self.serial = serial
        self.layout = layout
        self.rate = rate
        self.faults = faults
        # What answers the remote calls: the moving model, or a recording's facts.
        self.model = model if model is not None else RobotModel(layout)
        self.replay = replay
        self.t0 = time.monotonic()
        # The wall clock at t0: a sample's stamp is the wall-clock time of the t its values are
        # computed for, so stamps and motion agree even when the thread is preempted between
        # reading the two clocks (and stamps keep rising if the wall clock is stepped).
        self.wall0_ns = time.time_ns()
        self.samples = 0
        self.lossless = lossless
        # Samples put on each stream (a silent stream puts none), for loss accounting.
        self.published = {"basic": 0, "extra": 0}
        self._session = None
        self._declared = []

    # --- lifecycle ---------------------------------------------------------------------------

    def open(self, config=None):
        self._session = zenoh.open(config if config is not None else zenoh.Config())
        self._delayed = _DelayedReplies(self._send)
        s = self._session
        serialized = zenoh.Encoding.ZENOH_SERIALIZED
        # zenoh's default drops a sample when the link is congested; lossless blocks instead,
        # so that every sample put is delivered and can be counted against what arrived.
        congestion = (
            zenoh.CongestionControl.BLOCK if self.lossless else zenoh.CongestionControl.DROP
        )
        self._pub_basic = s.declare_publisher(
            basic_key(self.serial), encoding=serialized, congestion_control=congestion
        )
        self._pub_extra = s.declare_publisher(
            extra_key(self.serial), encoding=serialized, congestion_control=congestion
        )
        self._declared = [
            s.declare_queryable(rpc_key(self.serial), self._on_rpc),
            s.declare_queryable(control_key(self.serial), self._on_control),
            self._pub_basic,
            self._pub_extra,
        ]

    def close(self):
        self._delayed.stop()
        for entity in reversed(self._declared):
            try:
                entity.undeclare()
            except Exception as e:
                log.debug("undeclare failed: %s", e)
        self._declared = []
        if self._session is not None:
            self._session.close()
            self._session = None

    def now(self) -> float:
        return time.monotonic() - self.t0

    # --- RPC -----------------------------------------------------------------------------------

    def _on_rpc(self, query):
        # Runs on a zenoh thread: whatever arrives, nothing may escape from here.
        try:
            plan = answer(_payload(query), self.layout, self.model, self.faults, self.now())
            if plan is None:
                log.debug("dropped an RPC query whose payload is not a request")
                _drop(query)
            elif plan.delay_s > 0:
                self._delayed.add(time.monotonic() + plan.delay_s, query, plan)
            else:
                self._send(query, plan)
        except Exception:
            log.exception("RPC query failed")
            _drop(query)

    @staticmethod
    def _send(query, plan: Plan):
        try:
            for text in plan.errors_first:
                query.reply_err(text)
            for payload in plan.replies:
                query.reply(query.key_expr, payload, encoding=zenoh.Encoding.ZENOH_SERIALIZED)
        except Exception as e:  # the client may have given up on the query
            log.debug("reply not sent: %s", e)
        finally:
            _drop(query)

    # --- control -------------------------------------------------------------------------------

    def state(self):
        snap = self.faults.snapshot()
        snap.update(
            serial=self.serial,
            layout=self.layout.name,
            rate=self.rate,
            samples=self.samples,
            published_basic=self.published["basic"],
            published_extra=self.published["extra"],
        )
        if self.replay is not None:
            snap["replay"] = self.replay.state()
        return snap

    def _on_control(self, query):
        try:
            raw = _payload(query).strip()
            message = json.loads(raw) if raw else {}
            self.faults.apply(message)
            if message:
                log.info("faults now %s", self.faults.snapshot())
            query.reply(
                query.key_expr, json.dumps(self.state()), encoding=zenoh.Encoding.APPLICATION_JSON
            )
        except (ValueError, FaultError) as e:
            try:
                query.reply_err(f"korvel-sim control: {e}")
            except Exception:
                pass
        except Exception:
            log.exception("control query failed")
        finally:
            _drop(query)

    # --- streams -------------------------------------------------------------------------------

    def tick(self, t: float):
        sf = self.faults.stream
        if sf.silent_basic and sf.silent_extra:
            return
        wall = self.wall0_ns + round(t * 1e9)
        basic, extra = self.model.messages(t, (wall // 1_000_000_000, wall % 1_000_000_000))
        if sf.alters_messages:
            apply_stream_faults(basic, extra, sf)
        if not sf.silent_basic:
            self.publish("basic", encode(basic))
        if not sf.silent_extra:
            self.publish("extra", encode(extra))
        self.samples += 1

    def publish(self, stream: str, payload: bytes):
        """One sample on its stream, with the silent and trailing-byte faults applied."""
        sf = self.faults.stream
        if stream == "basic":
            if sf.silent_basic:
                return
            self._pub_basic.put(payload + b"\x00" if sf.trailing_basic else payload)
        else:
            if sf.silent_extra:
                return
            self._pub_extra.put(payload + b"\x00" if sf.trailing_extra else payload)
        self.published[stream] += 1

    def run(self, stop: threading.Event):
        if self.replay is not None:
            self.replay.run(self.publish, stop)
            stop.wait()  # the remote calls are still answered until the stop
            return
        period = 1.0 / self.rate
        due = time.perf_counter()
        while not stop.is_set():
            now = time.perf_counter()
            if now < due:
                time.sleep(min(due - now, 0.05))
                continue
            try:
                self.tick(self.now())
            except Exception:
                log.exception("publishing failed")
                stop.wait(0.1)
            due += period
            if now - due > 0.1:
                due = now  # after a stall, carry on at the rate instead of catching up in a burst
