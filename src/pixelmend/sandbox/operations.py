from __future__ import annotations

import json
from dataclasses import dataclass
from pathlib import Path

from PIL import Image

from .checks import parse_hex_colour
from .classes import object_class
from .detection import DEFAULT_DRAW_COLOUR, analysis_copy, draw_boxes, draw_masks, find_objects
from .identity import describe_card
from .tones import false_colour, foreground_mask, grayscale
from .verification import compare_faces


@dataclass(frozen=True)
class LoadedImage:
    field: str
    filename: str
    stem: str
    image: Image.Image


def _save_png(image: Image.Image, directory: Path, name: str) -> str:
    image.save(directory / name, format="PNG")
    return name


def _save_json(payload: dict, directory: Path, name: str) -> str:
    (directory / name).write_text(json.dumps(payload, indent=2), encoding="utf-8")
    return name


def segmentation_masks(images: list[LoadedImage], fields: dict[str, str], directory: Path) -> list[str]:
    return [_save_png(foreground_mask(i.image), directory, f"{i.stem}_mask.png") for i in images]


def black_white(images: list[LoadedImage], fields: dict[str, str], directory: Path) -> list[str]:
    return [_save_png(grayscale(i.image), directory, f"{i.stem}_bw.png") for i in images]


def colorization(images: list[LoadedImage], fields: dict[str, str], directory: Path) -> list[str]:
    return [_save_png(false_colour(i.image), directory, f"{i.stem}_color.png") for i in images]


def _colour_filter(fields: dict[str, str]) -> tuple[int, int, int] | None:
    # The colour selects objects only for masks; boxes are drawn for every object found.
    if fields["display"] == "Masks" and fields.get("color"):
        return parse_hex_colour(fields["color"])
    return None


def _detect_one(loaded: LoadedImage, fields: dict[str, str], directory: Path) -> list[str]:
    threshold = float(fields["confidence_threshold"])
    wanted_colour = _colour_filter(fields)
    wanted_class = object_class(fields["option"])
    small = analysis_copy(loaded.image)
    detections = find_objects(loaded.image, small, threshold, wanted_colour, wanted_class)
    pen_colour = wanted_colour or DEFAULT_DRAW_COLOUR
    if fields["display"] == "Masks":
        drawn = draw_masks(loaded.image, small, detections, pen_colour)
    else:
        drawn = draw_boxes(loaded.image, detections, pen_colour)
    summary = {
        "image": loaded.filename,
        "image_size": [loaded.image.width, loaded.image.height],
        "class_index": int(fields["option"]),
        "class_name": wanted_class.name if wanted_class is not None else "all",
        "confidence_threshold": threshold,
        "display": fields["display"],
        "color": fields["color"] if wanted_colour is not None else None,
        "boxes": [d.as_json() for d in detections],
    }
    return [
        _save_png(drawn, directory, f"{loaded.stem}_detection.png"),
        _save_json(summary, directory, f"{loaded.stem}_detection.json"),
    ]


def smart_object_detection(images: list[LoadedImage], fields: dict[str, str], directory: Path) -> list[str]:
    return [name for loaded in images for name in _detect_one(loaded, fields, directory)]


def identity_data(images: list[LoadedImage], fields: dict[str, str], directory: Path) -> list[str]:
    return [
        _save_json(describe_card(i.image, i.filename, fields["country"]), directory, f"{i.stem}_identity.json")
        for i in images
    ]


def face_verification(images: list[LoadedImage], fields: dict[str, str], directory: Path) -> list[str]:
    first = next(i for i in images if i.field == "image")
    second = next(i for i in images if i.field == "image_to_compare")
    verdict = compare_faces(first.image, first.filename, second.image, second.filename)
    return [_save_json(verdict, directory, "verification.json")]
