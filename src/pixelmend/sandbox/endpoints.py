from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional

from . import operations
from .checks import (
    CONFIDENCE_CHOICES,
    COUNTRY_CHOICES,
    DISPLAY_CHOICES,
    Check,
    class_index,
    exactly,
    hex_colour,
    one_of,
)

Operation = Callable[[list, dict, Path], list]


@dataclass(frozen=True)
class FieldRule:
    name: str
    check: Check
    required: bool = True


@dataclass(frozen=True)
class FileRule:
    field: str
    at_least: int
    at_most: Optional[int]


@dataclass(frozen=True)
class Endpoint:
    name: str
    path: str
    fields: tuple[FieldRule, ...]
    files: tuple[FileRule, ...]
    operation: Operation


IMAGES = (FileRule("image", 1, None),)
FACE_PAIR = (FileRule("image", 1, 1), FileRule("image_to_compare", 1, 1))

ENDPOINTS = (
    Endpoint(
        "segment_image",
        "/vision/v0/segmention-masks",
        (FieldRule("option", exactly("0")),),
        IMAGES,
        operations.segmentation_masks,
    ),
    Endpoint(
        "black_white",
        "/vision/v0/black-white",
        (FieldRule("option", exactly("1")),),
        IMAGES,
        operations.black_white,
    ),
    Endpoint(
        "colorization",
        "/vision/v0/colorization",
        (FieldRule("option", exactly("2")),),
        IMAGES,
        operations.colorization,
    ),
    Endpoint(
        "smart_object_detection",
        "/vision/v0/smart-object-detection",
        (
            FieldRule("option", class_index),
            FieldRule("confidence_threshold", one_of(CONFIDENCE_CHOICES)),
            FieldRule("display", one_of(DISPLAY_CHOICES)),
            FieldRule("color", hex_colour, required=False),
        ),
        IMAGES,
        operations.smart_object_detection,
    ),
    Endpoint(
        "get_identity_data",
        "/vision/v0/getIdentityData",
        (FieldRule("country", one_of(COUNTRY_CHOICES)),),
        IMAGES,
        operations.identity_data,
    ),
    Endpoint(
        "face_id_verification",
        "/vision/v0/faceIdVerification",
        (),
        FACE_PAIR,
        operations.face_verification,
    ),
)

ENDPOINTS_BY_NAME = {endpoint.name: endpoint for endpoint in ENDPOINTS}
