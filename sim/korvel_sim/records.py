"""Plain records exchanged with the client: the two RPC messages and the six stream records.

Field order is wire order. Fixed-size arrays are plain lists whose default has the right
length; the encoder writes whatever length a list has, so a fault can announce a wrong size
simply by handing over a list of that size.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import List, Tuple


def _zeros(n: int):
    return lambda: [0.0] * n


@dataclass
class RPCRequest:
    request_id: int = 0
    joint_groups: List[int] = field(default_factory=list)


@dataclass
class RPCReply:
    request_id: int = 0
    success: bool = False
    joint_groups: List[int] = field(default_factory=list)
    int_container: List[int] = field(default_factory=list)
    string_container: List[str] = field(default_factory=list)
    float_container: List[float] = field(default_factory=list)
    float2d_container: List[List[float]] = field(default_factory=list)


@dataclass
class BasicJointData:
    q: List[float] = field(default_factory=list)
    theta: List[float] = field(default_factory=list)
    dq: List[float] = field(default_factory=list)
    dtheta: List[float] = field(default_factory=list)
    tau: List[float] = field(default_factory=list)
    tau_dot: List[float] = field(default_factory=list)
    tau_ext: List[float] = field(default_factory=list)
    tau_interact: List[float] = field(default_factory=list)
    temperature: List[float] = field(default_factory=list)
    contact_forces: List[List[float]] = field(default_factory=list)  # each of 3
    contact_positions: List[List[float]] = field(default_factory=list)  # each of 3


@dataclass
class BasicCartesianData:
    flange_pose: List[float] = field(default_factory=_zeros(7))
    tcp_pose: List[float] = field(default_factory=_zeros(7))
    tcp_twist: List[float] = field(default_factory=_zeros(6))
    tcp_wrench_local: List[float] = field(default_factory=_zeros(6))
    ignored_6: List[float] = field(default_factory=_zeros(6))
    raw_tcp_wrench_local: List[float] = field(default_factory=_zeros(6))
    raw_ft_sensor: List[float] = field(default_factory=_zeros(6))


@dataclass
class AllBasicStreamData:
    system_state: int = 0
    safety_board_state: int = 0
    estop_released: bool = False
    enabling_device_on: bool = False
    safety_inputs: List[bool] = field(default_factory=lambda: [False] * 8)
    digital_inputs: List[bool] = field(default_factory=lambda: [False] * 20)
    digital_outputs: List[bool] = field(default_factory=lambda: [False] * 20)
    joint_group_indices: List[int] = field(default_factory=list)
    joint_data: BasicJointData = field(default_factory=BasicJointData)
    cartesian_data: List[BasicCartesianData] = field(default_factory=list)
    timestamp: Tuple[int, int] = (0, 0)  # int32 seconds, uint32 nanoseconds


@dataclass
class ExtraJointData:
    q_d: List[float] = field(default_factory=list)
    dq_d: List[float] = field(default_factory=list)
    tau_d: List[float] = field(default_factory=list)


@dataclass
class ExtraCartesianData:
    tcp_pose_d: List[float] = field(default_factory=_zeros(7))
    tcp_twist_d: List[float] = field(default_factory=_zeros(6))
    tcp_wrench_d: List[float] = field(default_factory=_zeros(6))


@dataclass
class AllExtraStreamData:
    joint_group_indices: List[int] = field(default_factory=list)
    joint_data: ExtraJointData = field(default_factory=ExtraJointData)
    cartesian_data: List[ExtraCartesianData] = field(default_factory=list)


# Sizes the decoder insists on for fixed-size arrays.
SAFETY_INPUTS = 8
DIGITAL_IO = 20
POSE = 7
SIX = 6
VEC3 = 3
