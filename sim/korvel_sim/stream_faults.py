"""Stream faults applied to freshly built messages. The messages' lists may be shared with
the model's caches, so every change replaces a list instead of editing it in place."""

from __future__ import annotations

from .faults import StreamFaults
from .records import AllBasicStreamData, AllExtraStreamData, BasicCartesianData, ExtraCartesianData

_UNIT_POSE = [0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0]


def _resized(values, n, fill):
    return (list(values) + [fill] * n)[:n]


def _shortened(values, k):
    return values[: max(len(values) - k, 0)]


def apply_stream_faults(
    basic: AllBasicStreamData, extra: AllExtraStreamData, sf: StreamFaults
) -> None:
    if sf.estop_released is not None:
        basic.estop_released = sf.estop_released
    if sf.enabling_device_on is not None:
        basic.enabling_device_on = sf.enabling_device_on
    if sf.digital_inputs_size is not None:
        basic.digital_inputs = _resized(basic.digital_inputs, sf.digital_inputs_size, False)
    if sf.tcp_pose_size is not None:
        for c in basic.cartesian_data:
            c.tcp_pose = _resized(c.tcp_pose, sf.tcp_pose_size, 0.0)
    if sf.group_index is not None:
        basic.joint_group_indices = list(basic.joint_group_indices) + [sf.group_index]
        basic.cartesian_data = basic.cartesian_data + [
            BasicCartesianData(flange_pose=list(_UNIT_POSE), tcp_pose=list(_UNIT_POSE))
        ]
        extra.joint_group_indices = list(extra.joint_group_indices) + [sf.group_index]
        extra.cartesian_data = extra.cartesian_data + [
            ExtraCartesianData(tcp_pose_d=list(_UNIT_POSE))
        ]
    if sf.cartesian_short_basic:
        basic.cartesian_data = basic.cartesian_data[:-1]
    if sf.cartesian_short_extra:
        extra.cartesian_data = extra.cartesian_data[:-1]
    k = sf.joint_lists_short
    if k:
        j = basic.joint_data
        for name in (
            "q",
            "theta",
            "dq",
            "dtheta",
            "tau",
            "tau_dot",
            "tau_ext",
            "tau_interact",
            "temperature",
            "contact_forces",
            "contact_positions",
        ):
            setattr(j, name, _shortened(getattr(j, name), k))
        e = extra.joint_data
        e.q_d, e.dq_d, e.tau_d = (_shortened(v, k) for v in (e.q_d, e.dq_d, e.tau_d))
