from __future__ import annotations

import math
from dataclasses import dataclass

from PIL import Image, ImageDraw

from .classes import ObjectClass, class_names
from .regions import Region, connected_regions
from .tones import foreground_mask

ANALYSIS_SIDE = 192
MIN_AREA_FRACTION = 0.0015
MAX_AREA_FRACTION = 0.5
COLOUR_TOLERANCE = 60.0
DEFAULT_DRAW_COLOUR = (255, 0, 0)
MASK_OPACITY = 0.55


@dataclass(frozen=True)
class Detection:
    box: tuple[int, int, int, int]
    score: float
    label: str
    classes: tuple[str, ...]
    region: Region

    def as_json(self) -> dict:
        return {"box": list(self.box), "score": self.score, "label": self.label, "classes": list(self.classes)}


def shape_label(fill_ratio: float) -> str:
    if fill_ratio >= 0.9:
        return "block"
    if fill_ratio >= 0.7:
        return "rounded"
    return "irregular"


def analysis_copy(image: Image.Image) -> Image.Image:
    small = image.convert("RGB")
    small.thumbnail((ANALYSIS_SIDE, ANALYSIS_SIDE))
    return small


def _typical_colour(rgb: bytes, region: Region) -> tuple[int, int, int]:
    # The median of each channel: a car's wheels and windows do not shift the colour of its body.
    channels = []
    for channel in range(3):
        values = sorted(rgb[index * 3 + channel] for index in region.pixels)
        channels.append(values[len(values) // 2])
    return (channels[0], channels[1], channels[2])


def _scale_box(box: tuple[int, int, int, int], small: Image.Image, image: Image.Image) -> tuple[int, int, int, int]:
    scale_x, scale_y = image.width / small.width, image.height / small.height
    x0, y0, x1, y1 = box
    return (
        math.floor(x0 * scale_x),
        math.floor(y0 * scale_y),
        min(image.width, math.ceil(x1 * scale_x)),
        min(image.height, math.ceil(y1 * scale_y)),
    )


def _spans_whole_image(region: Region, small: Image.Image) -> bool:
    x0, y0, x1, y1 = region.box
    return (x1 - x0) >= small.width or (y1 - y0) >= small.height


def _plausible_object(region: Region, share: float, small: Image.Image) -> bool:
    # Bands crossing the whole picture (road, sky, floor) are background, not objects.
    return MIN_AREA_FRACTION <= share <= MAX_AREA_FRACTION and not _spans_whole_image(region, small)


def find_objects(
    image: Image.Image,
    small: Image.Image,
    threshold: float,
    colour: tuple[int, int, int] | None,
    wanted: ObjectClass | None = None,
) -> list[Detection]:
    rgb = small.tobytes()
    detections = []
    for region in connected_regions(foreground_mask(small)):
        share = region.area / (small.width * small.height)
        if not _plausible_object(region, share, small):
            continue
        if wanted is not None and not wanted.matches(region, share):
            continue
        if colour is not None and math.dist(_typical_colour(rgb, region), colour) > COLOUR_TOLERANCE:
            continue
        score = round(region.fill_ratio, 3)
        if score > threshold:
            box = _scale_box(region.box, small, image)
            detections.append(Detection(box, score, shape_label(score), tuple(class_names(region, share)), region))
    return sorted(detections, key=lambda d: -d.score)


def draw_boxes(image: Image.Image, detections: list[Detection], colour: tuple[int, int, int]) -> Image.Image:
    drawn = image.convert("RGB")
    pen = ImageDraw.Draw(drawn)
    width = max(2, round(min(drawn.size) / 150))
    for detection in detections:
        x0, y0, x1, y1 = detection.box
        pen.rectangle((x0, y0, x1 - 1, y1 - 1), outline=colour, width=width)
    return drawn


def draw_masks(
    image: Image.Image, small: Image.Image, detections: list[Detection], colour: tuple[int, int, int]
) -> Image.Image:
    small_mask = Image.new("L", small.size, 0)
    selected = bytearray(small.width * small.height)
    for detection in detections:
        for index in detection.region.pixels:
            selected[index] = 255
    small_mask.frombytes(bytes(selected))
    mask = small_mask.resize(image.size, Image.Resampling.NEAREST)
    base = image.convert("RGB")
    tinted = Image.blend(base, Image.new("RGB", base.size, colour), MASK_OPACITY)
    return Image.composite(tinted, base, mask)
