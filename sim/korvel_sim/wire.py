"""The wire format: little-endian scalars, LEB128 sequence lengths, fixed-size arrays with
their own length prefix, nested records back to back, and a payload that must be used up.

Encoding builds one struct format and one argument list per message and packs them in a
single call: per-element Python work is limited to the few places that need a prefix per
element (strings, inner vectors, the 3-element contact arrays).
"""

from __future__ import annotations

import struct
from typing import Callable, Dict, List

from .records import (
    DIGITAL_IO,
    POSE,
    SAFETY_INPUTS,
    SIX,
    VEC3,
    AllBasicStreamData,
    AllExtraStreamData,
    BasicCartesianData,
    BasicJointData,
    ExtraCartesianData,
    ExtraJointData,
    RPCReply,
    RPCRequest,
)


class WireError(ValueError):
    """A payload that does not decode as the expected record."""


def leb128(n: int) -> bytes:
    if n < 0:
        raise ValueError(f"sequence length must not be negative, got {n}")
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        if n:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


class _Packer:
    __slots__ = ("fmt", "args")

    def __init__(self):
        self.fmt = ["<"]
        self.args = []

    def length(self, n: int):
        if n < 0x80:
            self.fmt.append("B")
            self.args.append(n)
        else:
            prefix = leb128(n)
            self.fmt.append(f"{len(prefix)}s")
            self.args.append(prefix)

    def scalar(self, code: str, value):
        self.fmt.append(code)
        self.args.append(value)

    def seq(self, code: str, values):
        """A variable-length vector or a fixed-size array of one scalar type."""
        n = len(values)
        self.length(n)
        if n:
            self.fmt.append(f"{n}{code}")
            self.args.extend(values)

    def seq_of_seq(self, code: str, rows):
        self.length(len(rows))
        for row in rows:
            self.seq(code, row)

    def strings(self, texts):
        self.length(len(texts))
        for text in texts:
            raw = text.encode("utf-8") if isinstance(text, str) else bytes(text)
            self.length(len(raw))
            if raw:
                self.fmt.append(f"{len(raw)}s")
                self.args.append(raw)

    def pack(self) -> bytes:
        return struct.pack("".join(self.fmt), *self.args)


# --- encoders of each record into a packer -------------------------------------------------


def _put_request(p: _Packer, r: RPCRequest):
    p.scalar("H", r.request_id)
    p.seq("H", r.joint_groups)


def _put_reply(p: _Packer, r: RPCReply):
    p.scalar("H", r.request_id)
    p.scalar("?", r.success)
    p.seq("H", r.joint_groups)
    p.seq("i", r.int_container)
    p.strings(r.string_container)
    p.seq("f", r.float_container)
    p.seq_of_seq("f", r.float2d_container)


def _put_basic_joint(p: _Packer, j: BasicJointData):
    for values in (
        j.q,
        j.theta,
        j.dq,
        j.dtheta,
        j.tau,
        j.tau_dot,
        j.tau_ext,
        j.tau_interact,
        j.temperature,
    ):
        p.seq("f", values)
    p.seq_of_seq("f", j.contact_forces)
    p.seq_of_seq("f", j.contact_positions)


def _put_basic_cartesian(p: _Packer, c: BasicCartesianData):
    for values in (
        c.flange_pose,
        c.tcp_pose,
        c.tcp_twist,
        c.tcp_wrench_local,
        c.ignored_6,
        c.raw_tcp_wrench_local,
        c.raw_ft_sensor,
    ):
        p.seq("f", values)


def _put_basic(p: _Packer, m: AllBasicStreamData):
    p.scalar("H", m.system_state)
    p.scalar("h", m.safety_board_state)
    p.scalar("?", m.estop_released)
    p.scalar("?", m.enabling_device_on)
    p.seq("?", m.safety_inputs)
    p.seq("?", m.digital_inputs)
    p.seq("?", m.digital_outputs)
    p.seq("H", m.joint_group_indices)
    _put_basic_joint(p, m.joint_data)
    p.length(len(m.cartesian_data))
    for c in m.cartesian_data:
        _put_basic_cartesian(p, c)
    p.scalar("i", m.timestamp[0])
    p.scalar("I", m.timestamp[1])


def _put_extra_joint(p: _Packer, j: ExtraJointData):
    for values in (j.q_d, j.dq_d, j.tau_d):
        p.seq("f", values)


def _put_extra_cartesian(p: _Packer, c: ExtraCartesianData):
    for values in (c.tcp_pose_d, c.tcp_twist_d, c.tcp_wrench_d):
        p.seq("f", values)


def _put_extra(p: _Packer, m: AllExtraStreamData):
    p.seq("H", m.joint_group_indices)
    _put_extra_joint(p, m.joint_data)
    p.length(len(m.cartesian_data))
    for c in m.cartesian_data:
        _put_extra_cartesian(p, c)


_PUTTERS: Dict[type, Callable] = {
    RPCRequest: _put_request,
    RPCReply: _put_reply,
    BasicJointData: _put_basic_joint,
    BasicCartesianData: _put_basic_cartesian,
    AllBasicStreamData: _put_basic,
    ExtraJointData: _put_extra_joint,
    ExtraCartesianData: _put_extra_cartesian,
    AllExtraStreamData: _put_extra,
}


def encode(record) -> bytes:
    """Encodes any of the eight records; the result is the whole payload."""
    try:
        put = _PUTTERS[type(record)]
    except KeyError:
        raise TypeError(f"no wire encoding for {type(record).__name__}") from None
    p = _Packer()
    put(p, record)
    try:
        return p.pack()
    except struct.error as e:
        raise ValueError(f"cannot encode {type(record).__name__}: {e}") from None


# --- decoding --------------------------------------------------------------------------------


class _Reader:
    __slots__ = ("buf", "pos")

    def __init__(self, payload):
        self.buf = memoryview(bytes(payload))
        self.pos = 0

    def _take(self, fmt: str, size: int):
        if self.pos + size > len(self.buf):
            raise WireError(
                f"payload ends at byte {len(self.buf)}, {size} more needed at {self.pos}"
            )
        values = struct.unpack_from(fmt, self.buf, self.pos)
        self.pos += size
        return values

    def u16(self):
        return self._take("<H", 2)[0]

    def i16(self):
        return self._take("<h", 2)[0]

    def i32(self):
        return self._take("<i", 4)[0]

    def u32(self):
        return self._take("<I", 4)[0]

    def boolean(self):
        b = self._take("<B", 1)[0]
        if b > 1:
            raise WireError(f"bool byte {b} at {self.pos - 1} is neither 0 nor 1")
        return bool(b)

    def length(self):
        n = shift = 0
        while True:
            if self.pos >= len(self.buf):
                raise WireError("payload ends inside a sequence length")
            if shift > 63:
                raise WireError(f"sequence length at {self.pos} is longer than 64 bits")
            b = self.buf[self.pos]
            self.pos += 1
            n |= (b & 0x7F) << shift
            shift += 7
            if not b & 0x80:
                return n

    def seq(self, code: str, width: int, fixed: int = None):
        n = self.length()
        if fixed is not None and n != fixed:
            raise WireError(f"fixed-size array announced with {n} elements, {fixed} expected")
        if n * width > len(self.buf) - self.pos:
            raise WireError(f"sequence of {n} elements runs past the payload end")
        values = list(self._take(f"<{n}{code}", n * width))
        return [bool(v) for v in values] if code == "?" else values

    def floats(self, fixed: int = None):
        return self.seq("f", 4, fixed)

    def strings(self):
        out = []
        for _ in range(self.length()):
            n = self.length()
            raw = self._take(f"<{n}s", n)[0]
            out.append(raw.decode("utf-8"))
        return out

    def done(self):
        if self.pos != len(self.buf):
            raise WireError(f"{len(self.buf) - self.pos} byte(s) left after the last field")


def _read_count(r: _Reader, min_size: int) -> int:
    n = r.length()
    if n * min_size > len(r.buf) - r.pos:
        raise WireError(f"{n} records announced, payload too short for them")
    return n


def decode_request(payload) -> RPCRequest:
    r = _Reader(payload)
    req = RPCRequest(r.u16(), r.seq("H", 2))
    r.done()
    return req


def decode_reply(payload) -> RPCReply:
    r = _Reader(payload)
    rep = RPCReply(r.u16(), r.boolean(), r.seq("H", 2), r.seq("i", 4), r.strings(), r.floats())
    rep.float2d_container = [r.floats() for _ in range(_read_count(r, 1))]
    r.done()
    return rep


def _read_basic_cartesian(r: _Reader) -> BasicCartesianData:
    return BasicCartesianData(
        r.floats(POSE),
        r.floats(POSE),
        r.floats(SIX),
        r.floats(SIX),
        r.floats(SIX),
        r.floats(SIX),
        r.floats(SIX),
    )


def decode_basic(payload) -> AllBasicStreamData:
    r = _Reader(payload)
    m = AllBasicStreamData(
        r.u16(),
        r.i16(),
        r.boolean(),
        r.boolean(),
        r.seq("?", 1, SAFETY_INPUTS),
        r.seq("?", 1, DIGITAL_IO),
        r.seq("?", 1, DIGITAL_IO),
        r.seq("H", 2),
    )
    lists = [r.floats() for _ in range(9)]
    contacts = [[r.floats(VEC3) for _ in range(_read_count(r, 13))] for _ in range(2)]
    m.joint_data = BasicJointData(*lists, *contacts)
    m.cartesian_data = [_read_basic_cartesian(r) for _ in range(_read_count(r, 40))]
    m.timestamp = (r.i32(), r.u32())
    r.done()
    return m


def decode_extra(payload) -> AllExtraStreamData:
    r = _Reader(payload)
    m = AllExtraStreamData(r.seq("H", 2))
    m.joint_data = ExtraJointData(r.floats(), r.floats(), r.floats())
    m.cartesian_data = [
        ExtraCartesianData(r.floats(POSE), r.floats(SIX), r.floats(SIX))
        for _ in range(_read_count(r, 22))
    ]
    r.done()
    return m
