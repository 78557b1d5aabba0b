"""Serial-number normalization, identical to the client's: the model designation before the
last dash is rewritten into dash-separated ASCII letter/digit tokens; the unit part after it
is kept as given."""

from __future__ import annotations

import string

_TOKEN_CHARS = frozenset(string.ascii_letters + string.digits)


class InvalidSerial(ValueError):
    pass


def normalize_serial(serial: str) -> str:
    def reject(why: str):
        raise InvalidSerial(f"invalid robot serial number {serial!r}: {why}")

    if not serial:
        reject("it is empty")
    if "_" in serial:
        reject("it contains an underscore")
    dash = serial.rfind("-")
    if dash < 0:
        reject("it has no dash between model and unit number")
    if dash == 0 or dash == len(serial) - 1:
        reject("the last dash must have a model part before it and a unit number after it")
    model, unit = serial[:dash], serial[dash + 1 :]

    tokens, current = [], []
    for pos, ch in enumerate(model):
        if ch in _TOKEN_CHARS:
            current.append(ch)
        elif ch in " -":
            if not current:
                reject(f"separator {ch!r} at position {pos} leads, trails or is doubled")
            tokens.append("".join(current))
            current = []
        else:
            reject(f"character {ch!r} at position {pos} is not allowed in the model part")
    if not current:
        reject("the model part ends with a separator")
    tokens.append("".join(current))
    return "-".join(tokens) + "-" + unit
