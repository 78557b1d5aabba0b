"""A plausible, smoothly moving robot: every quantity is a closed-form function of the time
since start, so the streams and the RPC answers agree with each other without shared state.

Status schedule (seconds since start, so that tests see a known state early on):
the e-stop is pressed during [25, 26) of every 30 s, the enabling device is off during
[6, 8) of every 8 s, the digital inputs change every 0.5 s and the outputs every 1 s.
"""

from __future__ import annotations

import math
from typing import List, Tuple

from .layouts import Layout
from .records import (
    AllBasicStreamData,
    AllExtraStreamData,
    BasicCartesianData,
    BasicJointData,
    ExtraCartesianData,
    ExtraJointData,
)

SYSTEM_WORKING_AUTO = 7
SYSTEM_STOPPED_AUTO = 3
SAFETY_NORMAL = 12
SAFETY_CAT_0_STOP = 40

_TWO_PI = 2.0 * math.pi


def _quaternion(yaw: float, pitch: float, roll: float) -> List[float]:
    """Z-Y-X Euler angles to (w, x, y, z); unit length by construction."""
    cy, sy = math.cos(yaw * 0.5), math.sin(yaw * 0.5)
    cp, sp = math.cos(pitch * 0.5), math.sin(pitch * 0.5)
    cr, sr = math.cos(roll * 0.5), math.sin(roll * 0.5)
    return [
        cr * cp * cy + sr * sp * sy,
        sr * cp * cy - cr * sp * sy,
        cr * sp * cy + sr * cp * sy,
        cr * cp * sy - sr * sp * cy,
    ]


class RobotModel:
    def __init__(self, layout: Layout):
        self.layout = layout
        n = layout.joints
        self.offset = [0.25 * ((i % 7) - 3) for i in range(n)]
        self.amp = [0.3 + 0.05 * (i % 5) for i in range(n)]
        self.omega = [_TWO_PI * (0.07 + 0.011 * i) for i in range(n)]
        self.phase = [0.9 * i for i in range(n)]
        self.gravity = [14.0 - 1.5 * (i % 7) for i in range(n)]
        self.ext_gain = [0.4 + 0.1 * (i % 3) for i in range(n)]
        self.temp_base = [31.0 + 0.4 * (i % 7) for i in range(n)]
        self._zero3 = [0.0, 0.0, 0.0]
        self._contact_pos = [[0.0, 0.0, 0.05 * (i % 7)] for i in range(n)]
        # The digital I/O words only change every 0.5 s / 1 s: cache them per step.
        self._io_key = None
        self._io = ([False] * 20, [False] * 20)

    # --- joints ----------------------------------------------------------------------------

    def joints(self, t: float):
        """Positions, velocities and accelerations of every joint at time t."""
        args = [w * t + p for w, p in zip(self.omega, self.phase)]
        s = [math.sin(a) for a in args]
        c = [math.cos(a) for a in args]
        q = [o + a * x for o, a, x in zip(self.offset, self.amp, s)]
        dq = [a * w * x for a, w, x in zip(self.amp, self.omega, c)]
        ddq = [-a * w * w * x for a, w, x in zip(self.amp, self.omega, s)]
        return q, dq, ddq, s, c

    # --- status ------------------------------------------------------------------------------

    @staticmethod
    def estop_released(t: float) -> bool:
        return not (25.0 <= t % 30.0 < 26.0)

    @staticmethod
    def enabling_device_on(t: float) -> bool:
        return t % 8.0 < 6.0

    def digital_io(self, t: float):
        key = int(t * 2.0)
        if key != self._io_key:
            k_in, k_out = key, key // 2
            inputs = [bool(((k_in >> (i % 6)) ^ (i // 6)) & 1) for i in range(20)]
            outputs = [bool(((k_out >> (i % 5)) + i) & 1) for i in range(20)]
            self._io_key, self._io = key, (inputs, outputs)
        return self._io

    # --- Cartesian ---------------------------------------------------------------------------

    def _group_frame(self, q, dq, start, dof, index):
        part = q[start : start + dof]
        dpart = dq[start : start + dof]
        yaw, pitch, roll = part[0], 0.5 * part[1 % dof], 0.3 * part[-1]
        dyaw, dpitch, droll = dpart[0], 0.5 * dpart[1 % dof], 0.3 * dpart[-1]
        reach = 0.55 + 0.1 * math.sin(part[2 % dof])
        cyaw, syaw = math.cos(yaw), math.sin(yaw)
        lateral = 0.6 * (index - 3) if index >= 3 else 0.0
        pos = [reach * cyaw, reach * syaw + lateral, 0.4 + 0.15 * math.sin(pitch)]
        vel = [-reach * syaw * dyaw, reach * cyaw * dyaw, 0.15 * math.cos(pitch) * dpitch]
        return pos, _quaternion(yaw, pitch, roll), vel + [droll, dpitch, dyaw]

    @staticmethod
    def _wrench(t: float, index: int) -> List[float]:
        a = 1.3 * t + index
        return [
            4.0 * math.sin(a),
            2.5 * math.cos(0.7 * a),
            -9.5 + 1.5 * math.sin(0.5 * a),
            0.3 * math.sin(0.9 * a),
            0.2 * math.cos(1.1 * a),
            0.1 * math.sin(0.4 * a),
        ]

    # --- messages ----------------------------------------------------------------------------

    def messages(self, t: float, wall: Tuple[int, int]):
        """The basic and extra stream messages at time t, stamped with the wall clock."""
        q, dq, ddq, s, c = self.joints(t)
        ext = math.sin(0.9 * t)
        tau = [g * (0.6 + 0.4 * x) + 0.2 * a for g, x, a in zip(self.gravity, c, ddq)]
        tau_dot = [-0.4 * g * w * x for g, w, x in zip(self.gravity, self.omega, s)]
        tau_ext = [k * ext for k in self.ext_gain]
        tau_interact = [0.5 * v for v in tau_ext]
        drift = 2.0 * (1.0 - math.exp(-t / 600.0))
        temperature = [b + drift for b in self.temp_base]
        theta = [x + v / 5000.0 for x, v in zip(q, tau)]
        dtheta = [x + v / 5000.0 for x, v in zip(dq, tau_dot)]

        n = self.layout.joints
        contact = [self._zero3] * n
        contact[-1] = [1.5 * ext, 0.5 * ext, -2.0 + ext]
        joint_data = BasicJointData(
            q,
            theta,
            dq,
            dtheta,
            tau,
            tau_dot,
            tau_ext,
            tau_interact,
            temperature,
            contact,
            self._contact_pos,
        )

        basic_cart, extra_cart = [], []
        noise = 0.05 * math.sin(37.0 * t)
        for g in self.layout.groups:
            pos, quat, twist = self._group_frame(q, dq, g.start, g.dof, g.index)
            tcp_pose = pos + quat
            flange = [pos[0], pos[1], pos[2] + 0.1] + quat
            wrench = self._wrench(t, g.index)
            raw = [w + noise for w in wrench]
            basic_cart.append(
                BasicCartesianData(
                    flange,
                    tcp_pose,
                    twist,
                    wrench,
                    [0.9 * w for w in wrench],
                    raw,
                    [r + 0.2 for r in raw],
                )
            )
            desired_pose = [pos[0] + 0.001, pos[1], pos[2]] + quat
            extra_cart.append(
                ExtraCartesianData(desired_pose, twist, [0.0, 0.0, -5.0, 0.0, 0.0, 0.0])
            )

        released = self.estop_released(t)
        inputs, outputs = self.digital_io(t)
        indices = self.layout.indices
        basic = AllBasicStreamData(
            system_state=SYSTEM_WORKING_AUTO if released else SYSTEM_STOPPED_AUTO,
            safety_board_state=SAFETY_NORMAL if released else SAFETY_CAT_0_STOP,
            estop_released=released,
            enabling_device_on=self.enabling_device_on(t),
            safety_inputs=[released, released, True, True, True, True, True, True],
            digital_inputs=inputs,
            digital_outputs=outputs,
            joint_group_indices=indices,
            joint_data=joint_data,
            cartesian_data=basic_cart,
            timestamp=wall,
        )
        extra = AllExtraStreamData(
            joint_group_indices=list(indices),
            joint_data=ExtraJointData(
                [x + 0.004 * v for x, v in zip(q, dq)], dq, [a - b for a, b in zip(tau, tau_ext)]
            ),
            cartesian_data=extra_cart,
        )
        return basic, extra

    # --- RPC answers -------------------------------------------------------------------------

    def manipulability(self, t: float):
        """Per group: a packed vector of 8 floats; elements 2..7 follow the configuration."""
        q = self.joints(t)[0]
        out = []
        for g in self.layout.groups:
            x = sum(q[g.start : g.start + g.dof]) / g.dof
            values = [0.3 + 0.25 * math.sin(1.7 * x + k) for k in range(6)]
            out.append((g.index, [float(g.index), float(g.dof)] + values))
        return out

    def primitive_states(self, t: float) -> List[str]:
        entries = []
        for index, name in sorted(self.layout.primitives.items()):
            progress = (t / 4.0 + 0.1 * index) % 1.0
            entries += [
                f"jointGroup = {index}",
                f"primitiveName = {name}",
                f"cycle = {int(t / 4.0)}",
                f"progress = {progress:.3f}",
                f"phase = {'approach' if progress < 0.5 else 'retreat'}",
            ]
        return entries

    @staticmethod
    def plan_info(t: float) -> List[str]:
        step = int(t / 2.0) % 3
        node = ("approach", "grasp", "retreat")[step]
        return [
            "MoveL",
            node,
            f"PickAndPlace/pick/{node}",
            "0.250",
            str(step + 1),
            "PickAndPlace",
            "0.8",
            "0",
        ]
