from __future__ import annotations

import re
import warnings
from pathlib import Path, PurePosixPath

from PIL import Image, UnidentifiedImageError

VIDEO_SUFFIXES = frozenset({".mp4", ".avi", ".mov", ".mkv"})
_UNSAFE_NAME_CHARACTERS = re.compile(r"[^A-Za-z0-9_-]+")
MAX_STEM_LENGTH = 80


class UnreadableImage(Exception):
    pass


def is_video(filename: str, content_type: str) -> bool:
    suffix = PurePosixPath(filename.replace("\\", "/")).suffix.lower()
    return suffix in VIDEO_SUFFIXES or content_type.lower().startswith("video/")


def _flatten_transparency(image: Image.Image) -> Image.Image:
    rgba = image.convert("RGBA")
    background = Image.new("RGBA", rgba.size, (255, 255, 255, 255))
    return Image.alpha_composite(background, rgba).convert("RGB")


def _reason(error: Exception) -> str:
    # Pillow's messages can name the file it opened, which is the service's own part file in its
    # temporary directory: the client needs what was wrong with its image, not where it was kept.
    if isinstance(error, UnidentifiedImageError):
        return "its format is not recognised"
    if isinstance(error, (Image.DecompressionBombError, Image.DecompressionBombWarning)):
        return "it has too many pixels"
    return "it is damaged or cut short"


def open_rgb_image(path: Path, filename: str) -> Image.Image:
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error", Image.DecompressionBombWarning)
            with Image.open(path) as image:
                image.load()
                if image.mode in ("RGBA", "LA", "PA") or "transparency" in image.info:
                    return _flatten_transparency(image)
                return image.convert("RGB")
    except (OSError, ValueError, SyntaxError, Image.DecompressionBombError, Image.DecompressionBombWarning) as error:
        raise UnreadableImage(f"file {filename!r} is not an image the service can read ({_reason(error)})") from error


def safe_stem(filename: str) -> str:
    base = PurePosixPath(filename.replace("\\", "/")).name
    stem = PurePosixPath(base).stem if not base.startswith(".") else base
    cleaned = _UNSAFE_NAME_CHARACTERS.sub("_", stem).strip("_")[:MAX_STEM_LENGTH]
    return cleaned or "image"


def unique_stems(filenames: list[str]) -> list[str]:
    seen: dict[str, int] = {}
    stems = []
    for filename in filenames:
        stem = safe_stem(filename)
        count = seen.get(stem, 0) + 1
        seen[stem] = count
        stems.append(stem if count == 1 else f"{stem}-{count}")
    return stems
