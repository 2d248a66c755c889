from __future__ import annotations

import re
from typing import Callable, Optional

from .classes import ALL_CLASSES, OBJECT_CLASSES

Check = Callable[[str, str], Optional[str]]

CONFIDENCE_CHOICES = tuple(format(hundredths / 100, "g") for hundredths in range(25, 91, 5))
DISPLAY_CHOICES = ("Boxes", "Masks")
COUNTRY_CHOICES = ("CM", "SEN", "DE", "FR", "BEN", "CIV")

_HEX_COLOUR = re.compile(r"#?([0-9a-fA-F]{3}|[0-9a-fA-F]{6})")


def exactly(expected: str) -> Check:
    def check(name: str, value: str) -> str | None:
        if value != expected:
            return f"field {name!r} must be {expected!r} for this endpoint, got {value!r}"
        return None

    return check


def one_of(choices: tuple[str, ...]) -> Check:
    def check(name: str, value: str) -> str | None:
        if value not in choices:
            return f"field {name!r} must be one of {', '.join(choices)}; got {value!r}"
        return None

    return check


CLASS_INDEX_CHOICES = (str(ALL_CLASSES), *(str(c.index) for c in OBJECT_CLASSES))


def class_index(name: str, value: str) -> str | None:
    if value not in CLASS_INDEX_CHOICES:
        return (
            f"field {name!r} must be an object class index, {ALL_CLASSES} for all or "
            f"{CLASS_INDEX_CHOICES[1]} to {CLASS_INDEX_CHOICES[-1]}, got {value!r}"
        )
    return None


def hex_colour(name: str, value: str) -> str | None:
    if not _HEX_COLOUR.fullmatch(value):
        return f"field {name!r} must be a hexadecimal colour like '#ff0000' or 'f00', got {value!r}"
    return None


def parse_hex_colour(value: str) -> tuple[int, int, int]:
    digits_only = value.lstrip("#")
    if len(digits_only) == 3:
        digits_only = "".join(c * 2 for c in digits_only)
    return (int(digits_only[0:2], 16), int(digits_only[2:4], 16), int(digits_only[4:6], 16))
