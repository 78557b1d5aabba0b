"""Random wire messages encoded by eclipse-zenoh's serializer, with the values they hold.

wire_gen.py crosscheck DIR [--count N] [--seed S]
    For each message type (basic, extra, rpc_reply) writes DIR/TYPE.bin (each payload
    preceded by its size as a little-endian uint32) and DIR/TYPE.txt (per message a
    "#message i" line, then its flat form, floats as bit patterns, or the single line
    REFUSED when eclipse-zenoh's z_deserialize refuses the payload, as it does for text
    that is not UTF-8).
wire_gen.py corpus DIR [--seed S]
    Writes small payloads of each type into DIR/TYPE/, named by content, as fuzz seeds.
"""

import argparse
import hashlib
import os
import random
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wire_schema as ws  # noqa: E402
import zenoh  # noqa: E402
from zenoh import ext as zext  # noqa: E402

_RANGES = {
    ws.U16: (0, 0xFFFF),
    ws.I16: (-0x8000, 0x7FFF),
    ws.I32: (-0x80000000, 0x7FFFFFFF),
    ws.U32: (0, 0xFFFFFFFF),
}
_TEXT = "abcXYZ09 _-./éß€☃😀"
# The line that stands for a whole message when eclipse-zenoh refuses to decode it.
REFUSED = "REFUSED"


def random_float_bits(rng):
    """Floats from every corner of binary32. NaNs are quiet: the Python side carries a
    float32 through a double, which would quieten a signalling NaN before zenoh sees it."""
    sign = rng.getrandbits(1) << 31
    kind = rng.randrange(8)
    if kind == 0:
        return sign  # +0 / -0
    if kind == 1:
        return sign | rng.randint(1, 0x7FFFFF)  # subnormal
    if kind == 2:
        return sign | 0x7F800000  # infinity
    if kind == 3:
        return sign | 0x7FC00000 | rng.getrandbits(22)  # NaN with payload bits
    if kind == 4:
        return sign | (rng.randint(1, 254) << 23) | rng.getrandbits(23)  # any normal
    return ws.float_to_bits(rng.uniform(-100.0, 100.0))  # everyday values


def random_text_bytes(rng, n):
    """Bytes for a string field that may or may not be UTF-8: mostly ASCII, with now and
    then a byte that UTF-8 forbids, a cut sequence, an overlong form or a surrogate."""
    pieces = []
    while len(pieces) < n:
        kind = rng.randrange(6)
        if kind == 0:
            pieces.append(bytes([rng.randrange(256)]))
        elif kind == 1:
            pieces.append(
                rng.choice(
                    [
                        b"\xc0\xaf",
                        b"\xe0\x80\xaf",
                        b"\xed\xa0\x80",
                        b"\xf4\x90\x80\x80",
                        b"\xe2\x98",
                        b"\xf0\x9f\x98",
                    ]
                )
            )
        elif kind == 2:
            pieces.append(rng.choice(_TEXT).encode("utf-8"))
        else:
            pieces.append(bytes([rng.randrange(0x20, 0x7F)]))
    return b"".join(pieces)


def accepted_by_zenoh(schema, payload):
    """eclipse-zenoh's own verdict on a payload: does z_deserialize take it?"""
    try:
        zext.z_deserialize(ws.z_type(schema), zenoh.ZBytes(payload))
    except Exception:
        return False
    return True


def random_value(schema, rng, max_len, depth=0, raw_text=False):
    if schema == ws.F32:
        return random_float_bits(rng)
    if schema == ws.BOOL:
        return bool(rng.getrandbits(1))
    if schema in _RANGES:
        lo, hi = _RANGES[schema]
        return rng.choice([lo, hi, 0, rng.randint(lo, hi)])
    if schema == ws.STR:
        n = rng.randint(130, 300) if rng.randrange(10) == 0 else rng.randint(0, 8)
        if raw_text and rng.randrange(8) == 0:
            return random_text_bytes(rng, min(n, max_len))
        return "".join(rng.choice(_TEXT) for _ in range(min(n, max_len)))
    kind = schema[0]
    if kind == "array":
        return [
            random_value(schema[2], rng, max_len, depth + 1, raw_text) for _ in range(schema[1])
        ]
    if kind == "list":
        # Top-level lists span 0..max_len (two-byte counts from 128 on); lists nested in a
        # list stay short, with now and then a long one, to keep payloads moderate.
        if depth == 0 or rng.randrange(20) == 0:
            n = rng.randint(0, max_len)
        else:
            n = rng.randint(0, min(max_len, 6))
        return [random_value(schema[1], rng, max_len, depth + 1, raw_text) for _ in range(n)]
    if kind == "pair":
        return (
            random_value(schema[1], rng, max_len, depth, raw_text),
            random_value(schema[2], rng, max_len, depth, raw_text),
        )
    # Fields of a record sit at the record's own depth.
    return {name: random_value(s, rng, max_len, depth, raw_text) for name, s in schema[1]}


def write_crosscheck(directory, count, rng):
    os.makedirs(directory, exist_ok=True)
    for name, schema in ws.MESSAGES.items():
        with (
            open(os.path.join(directory, name + ".bin"), "wb") as payloads,
            open(os.path.join(directory, name + ".txt"), "w", encoding="ascii") as expected,
        ):
            for i in range(count):
                # One message in three may carry strings of raw bytes, not all UTF-8.
                value = random_value(schema, rng, 300, raw_text=rng.randrange(3) == 0)
                payload = ws.encode(schema, value)
                payloads.write(struct.pack("<I", len(payload)) + payload)
                expected.write(f"#message {i}\n")
                if accepted_by_zenoh(schema, payload):
                    expected.write("\n".join(ws.flatten(schema, value)) + "\n")
                else:
                    expected.write(REFUSED + "\n")


def zero_value(schema):
    """The record's default: numbers zero, flags false, arrays zero-filled, lists empty."""
    if isinstance(schema, str):
        return "" if schema == ws.STR else (False if schema == ws.BOOL else 0)
    kind = schema[0]
    if kind == "array":
        return [zero_value(schema[2]) for _ in range(schema[1])]
    if kind == "list":
        return []
    if kind == "pair":
        return (zero_value(schema[1]), zero_value(schema[2]))
    return {name: zero_value(s) for name, s in schema[1]}


def worked_examples():
    """The hand-checked messages of the unit tests, plus one two-byte count per type."""
    one = ws.float_to_bits(1.0)
    basic = zero_value(ws.BASIC)
    basic.update(
        system_state=258, safety_board_state=-3, estop_released=True, timestamp=(-5, 0xDEADBEEF)
    )
    long_basic = zero_value(ws.BASIC)
    long_basic["joint_group_indices"] = list(range(130))
    extra = zero_value(ws.EXTRA)
    extra["joint_group_indices"] = [0]
    extra["joint_data"] = {"q_d": [one], "dq_d": [0], "tau_d": [0]}
    cartesian = zero_value(ws.EXTRA_CARTESIAN)
    cartesian["tcp_pose_d"][3] = one
    extra["cartesian_data"] = [cartesian]
    long_extra = zero_value(ws.EXTRA)
    long_extra["joint_data"]["tau_d"] = [one] * 130
    reply = zero_value(ws.RPC_REPLY)
    full_reply = dict(
        request_id=10,
        success=True,
        joint_groups=[0, 5],
        int_container=[7, -1],
        string_container=["v2", "", "\u2603"],
        float_container=[0x3FC00000],
        float2d_container=[[ws.float_to_bits(-1.0), 0x80000000], []],
    )
    long_reply = zero_value(ws.RPC_REPLY)
    long_reply["string_container"] = ["x" * 200]
    return {
        "basic": [basic, long_basic],
        "extra": [extra, long_extra],
        "rpc_reply": [reply, full_reply, long_reply],
    }


def write_corpus(directory, rng, per_type=8):
    examples = worked_examples()
    for name, schema in ws.MESSAGES.items():
        target = os.path.join(directory, name)
        os.makedirs(target, exist_ok=True)
        values = examples[name] + [random_value(schema, rng, 3) for _ in range(per_type)]
        for value in values:
            payload = ws.encode(schema, value)
            digest = hashlib.sha1(payload).hexdigest()
            with open(os.path.join(target, digest), "wb") as f:
                f.write(payload)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("mode", choices=["crosscheck", "corpus"])
    parser.add_argument("directory")
    parser.add_argument("--count", type=int, default=200)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(2**32)
    print(f"wire_gen: seed {seed} (replay with --seed {seed})", flush=True)
    rng = random.Random(seed)
    if args.mode == "crosscheck":
        write_crosscheck(args.directory, args.count, rng)
    else:
        write_corpus(args.directory, rng)


if __name__ == "__main__":
    main()
