"""Robot layouts the substitute can stand in for: how the full joint vector is cut into
joint groups, and which groups run a primitive."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, Tuple


@dataclass(frozen=True)
class Group:
    index: int  # the JointGroup value
    start: int  # index of the group's first joint in the full joint vector
    dof: int


@dataclass(frozen=True)
class Layout:
    name: str
    joints: int
    groups: Tuple[Group, ...]
    primitives: Dict[int, str]  # group index -> name of the primitive it runs

    def group(self, index: int) -> Group:
        for g in self.groups:
            if g.index == index:
                return g
        raise KeyError(f"layout {self.name} has no joint group {index}")

    @property
    def indices(self):
        return [g.index for g in self.groups]


LAYOUTS = {
    "one-arm": Layout(
        name="one-arm",
        joints=7,
        groups=(Group(0, 0, 7), Group(3, 0, 7)),
        primitives={3: "MoveL"},
    ),
    "two-arm": Layout(
        name="two-arm",
        joints=21,
        groups=(Group(0, 0, 21), Group(2, 0, 14), Group(3, 0, 7), Group(4, 7, 7), Group(5, 14, 7)),
        primitives={3: "MoveL", 4: "MoveJ", 5: "Hold"},
    ),
}
