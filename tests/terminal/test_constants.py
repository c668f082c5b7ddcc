"""quorvane/constants.py mirrors the Terminal's enumerations exactly."""

from __future__ import annotations

import importlib.util
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def load_constants():
    found = importlib.util.spec_from_file_location("qvn_constants", ROOT / "src" / "quorvane" / "constants.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def snake_upper(name: str) -> str:
    return re.sub(r"(?<=[a-z0-9])(?=[A-Z])", "_", name).upper()


def header_enums() -> dict[str, dict[str, int]]:
    text = (ROOT / "terminal" / "enums.hpp").read_text()
    enums = {}
    for name, body in re.findall(r"enum(?: class)? (\w+) : [\w:]+ \{(.*?)\};", text, re.S):
        members = {}
        for member, value in re.findall(r"(\w+) = (\d+)", body):
            members[snake_upper(member.removeprefix("kTick"))] = int(value)
        enums[name] = members
    return enums


ENUMS = header_enums()


def test_every_enumeration_is_mirrored():
    constants = load_constants()
    assert set(ENUMS) == {cls.__name__ for cls in constants._ENUMS}
    assert len(ENUMS) == 32


@pytest.mark.parametrize("name", sorted(ENUMS))
def test_members_and_values(name):
    cls = getattr(load_constants(), name)
    assert {m.name: int(m.value) for m in cls} == ENUMS[name]
