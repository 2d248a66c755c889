from __future__ import annotations

from dataclasses import dataclass

from PIL import Image


@dataclass(frozen=True)
class Region:
    pixels: tuple[int, ...]
    box: tuple[int, int, int, int]

    @property
    def area(self) -> int:
        return len(self.pixels)

    @property
    def width(self) -> int:
        return self.box[2] - self.box[0]

    @property
    def height(self) -> int:
        return self.box[3] - self.box[1]

    @property
    def fill_ratio(self) -> float:
        x0, y0, x1, y1 = self.box
        return self.area / ((x1 - x0) * (y1 - y0))


def _region_from(pixels: list[int], width: int) -> Region:
    xs = [p % width for p in pixels]
    ys = [p // width for p in pixels]
    return Region(tuple(pixels), (min(xs), min(ys), max(xs) + 1, max(ys) + 1))


def _neighbours(index: int, width: int, height: int):
    x, y = index % width, index // width
    if x > 0:
        yield index - 1
    if x < width - 1:
        yield index + 1
    if y > 0:
        yield index - width
    if y < height - 1:
        yield index + width


def _flood(start: int, inside: bytes, seen: bytearray, width: int, height: int) -> list[int]:
    seen[start] = 1
    stack, pixels = [start], []
    while stack:
        index = stack.pop()
        pixels.append(index)
        for neighbour in _neighbours(index, width, height):
            if inside[neighbour] and not seen[neighbour]:
                seen[neighbour] = 1
                stack.append(neighbour)
    return pixels


def connected_regions(mask: Image.Image) -> list[Region]:
    width, height = mask.size
    inside = bytes(1 if value else 0 for value in mask.convert("L").tobytes())
    seen = bytearray(len(inside))
    regions = []
    for start, value in enumerate(inside):
        if value and not seen[start]:
            regions.append(_region_from(_flood(start, inside, seen, width, height), width))
    return regions
