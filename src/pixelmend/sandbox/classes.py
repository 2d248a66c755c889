from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, Optional

from .regions import Region

ALL_CLASSES = 0
ELONGATION = 1.25
SMALL_SHARE = 0.005


@dataclass(frozen=True)
class ObjectClass:
    index: int
    name: str
    stands_in_for: str
    matches: Callable[[Region, float], bool]


def _taller_than_wide(region: Region) -> bool:
    return region.height >= ELONGATION * region.width


def _wider_than_tall(region: Region) -> bool:
    return region.width >= ELONGATION * region.height


def _upright(region: Region, share: float) -> bool:
    return _taller_than_wide(region)


def _wide(region: Region, share: float) -> bool:
    return _wider_than_tall(region)


def _round(region: Region, share: float) -> bool:
    # A disc fills pi/4 (0.785) of its box; anti-aliasing and the downscale move that a little.
    compact = not _taller_than_wide(region) and not _wider_than_tall(region)
    return compact and 0.65 <= region.fill_ratio < 0.9


def _boxy(region: Region, share: float) -> bool:
    return region.fill_ratio >= 0.9


def _small(region: Region, share: float) -> bool:
    return share < SMALL_SHARE


# What the stand-in can tell apart by looking at a region's outline and size; each entry names the kind of
# object it plays in the examples. The real service's indexes are its own.
OBJECT_CLASSES = (
    ObjectClass(1, "upright", "a person", _upright),
    ObjectClass(2, "wide", "a car", _wide),
    ObjectClass(3, "round", "a ball", _round),
    ObjectClass(4, "boxy", "a parcel", _boxy),
    ObjectClass(5, "small", "anything under 0.5% of the picture", _small),
)

OBJECT_CLASSES_BY_INDEX = {c.index: c for c in OBJECT_CLASSES}


def object_class(option: str) -> Optional[ObjectClass]:
    index = int(option)
    return None if index == ALL_CLASSES else OBJECT_CLASSES_BY_INDEX[index]


def class_names(region: Region, share: float) -> list[str]:
    return [c.name for c in OBJECT_CLASSES if c.matches(region, share)]
