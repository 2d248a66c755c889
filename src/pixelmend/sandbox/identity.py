from __future__ import annotations

import importlib
import shutil
from typing import cast

from PIL import Image

PALETTE_SAMPLE_SIDE = 64
DOMINANT_COLOUR_COUNT = 5
NO_OCR_NOTE = "no OCR engine is installed in the local service, so text lines were not read"


def dominant_colours(image: Image.Image) -> list[dict]:
    sample = image.convert("RGB")
    sample.thumbnail((PALETTE_SAMPLE_SIDE, PALETTE_SAMPLE_SIDE))
    quantized = sample.quantize(colors=DOMINANT_COLOUR_COUNT, method=Image.Quantize.MEDIANCUT)
    palette = quantized.getpalette() or []
    counts = sorted(quantized.getcolors() or [], reverse=True)
    total = sample.width * sample.height
    colours = []
    for count, index in counts:
        start = 3 * cast(int, index)
        red, green, blue = palette[start : start + 3]
        colours.append({"hex": f"#{red:02x}{green:02x}{blue:02x}", "share": round(count / total, 4)})
    return colours


def _ocr_engine():
    if shutil.which("tesseract") is None:
        return None
    try:
        return importlib.import_module("pytesseract")
    except ImportError:
        return None


def read_text_lines(image: Image.Image) -> tuple[list[str], str]:
    engine = _ocr_engine()
    if engine is None:
        return [], NO_OCR_NOTE
    text = engine.image_to_string(image)
    return [line.strip() for line in text.splitlines() if line.strip()], ""


def describe_card(image: Image.Image, filename: str, country: str) -> dict:
    lines, note = read_text_lines(image)
    return {
        "country": country,
        "image": filename,
        "image_size": [image.width, image.height],
        "dominant_colours": dominant_colours(image),
        "text_lines": lines,
        "note": note,
    }
