"""What the substitute answers to one RPC request, faults included. Pure: it returns the
replies to send and when, and leaves the sending to the server."""

from __future__ import annotations

import copy
from dataclasses import dataclass, field
from typing import List, Optional

from .faults import FaultState
from .layouts import Layout
from .motion import RobotModel
from .records import RPCReply, RPCRequest
from .wire import WireError, decode_request, encode

PROBE, VERSION, PT_STATES, PLAN_INFO, MANIPULABILITY, START_ID_DOF = 0, 1, 3, 4, 9, 10
# The protocol this substitute speaks; every client that connects to it checks it against its
# own, so the suites fail at once when the two part.
SERVER_VERSION = "v2.1"
SECOND_REPLY_VERSION = "v0.0-second"
ERROR_TEXT = b"korvel-sim: simulated error reply"


@dataclass
class Plan:
    """Replies to send, in order, after delay_s. No replies: the query just ends."""

    replies: List[bytes] = field(default_factory=list)
    errors_first: List[bytes] = field(default_factory=list)
    delay_s: float = 0.0


def build_reply(
    req: RPCRequest, layout: Layout, model: RobotModel, faults: FaultState, t: float
) -> RPCReply:
    rid = req.request_id
    rep = RPCReply(request_id=rid, success=True)
    if rid == PROBE:
        rep.success = bool(faults.get("probe_success"))
    elif rid == VERSION:
        version = faults.get("version")
        if version is None:  # a replay answers with the recorded version
            version = getattr(model, "version", SERVER_VERSION)
        rep.string_container = [version]
    elif rid == PT_STATES:
        verbatim = faults.get("pt_states")
        entries = list(verbatim) if verbatim is not None else model.primitive_states(t)
        if faults.take("corrupt_pt_states"):
            entries.insert(len(entries) // 2, "")
        rep.string_container = entries
    elif rid == PLAN_INFO:
        given = faults.get("plan_info")
        rep.string_container = list(given) if given is not None else model.plan_info(t)
    elif rid == MANIPULABILITY:
        size = faults.get("manip_vector_len")
        for index, packed in model.manipulability(t):
            if size is not None:
                packed = (packed + [0.5] * size)[:size]
            rep.joint_groups.append(index)
            rep.float2d_container.append(packed)
        if faults.get("manip_mismatch") and rep.float2d_container:
            rep.float2d_container.pop()
    elif rid == START_ID_DOF:
        for index in req.joint_groups:
            try:
                g = layout.group(index)
            except KeyError:
                continue  # a group the robot does not have is left out of the answer
            rep.joint_groups.append(g.index)
            rep.int_container.append(g.start)
            rep.float_container.append(float(g.dof))
        if faults.get("start_id_mismatch") and rep.float_container:
            rep.float_container.pop()
    else:
        rep.success = False
    return rep


def answer(
    payload: bytes, layout: Layout, model: RobotModel, faults: FaultState, t: float
) -> Optional[Plan]:
    """None when the payload is not a request: such a query gets no reply at all."""
    try:
        req = decode_request(payload)
    except WireError:
        return None
    rid = req.request_id
    if rid == PROBE and faults.take("ignore_probes"):
        return Plan()
    if faults.get("no_reply", rid):
        return Plan()

    rep = build_reply(req, layout, model, faults, t)
    if faults.get("text_not_utf8", rid):
        rep.string_container = [text.encode("utf-8") + b"\xff" for text in rep.string_container]
    echoed = faults.get("reply_request_id", rid)
    if echoed is not None:
        rep.request_id = echoed
    good = encode(rep)
    trailing = good + b"\x00"

    replies = [good]
    if faults.get("reply_trailing_byte", rid):
        replies = [trailing]
    if faults.get("trailing_then_good", rid):
        replies = [trailing, good]
    if faults.get("good_then_trailing", rid):
        replies = [good, trailing]
    if faults.get("double_reply", rid):
        second = copy.deepcopy(rep)
        second.success = not rep.success
        if rid == VERSION:
            second.string_container = [SECOND_REPLY_VERSION]
        replies.append(encode(second))

    plan = Plan(replies=replies)
    if faults.get("error_first", rid):
        plan.errors_first = [ERROR_TEXT]
    delay = faults.get("reply_delay_ms", rid)
    if delay:
        plan.delay_s = delay / 1000.0
    return plan
