from __future__ import annotations

from PIL import Image, ImageOps

FALSE_COLOUR_DARK = "#1d2b53"
FALSE_COLOUR_MID = "#c0504d"
FALSE_COLOUR_LIGHT = "#ffe8a3"


def grayscale(image: Image.Image) -> Image.Image:
    return image.convert("L")


def false_colour(image: Image.Image) -> Image.Image:
    return ImageOps.colorize(
        grayscale(image), black=FALSE_COLOUR_DARK, white=FALSE_COLOUR_LIGHT, mid=FALSE_COLOUR_MID
    )


def otsu_threshold(gray: Image.Image) -> int:
    histogram = gray.histogram()
    total = sum(histogram)
    weighted_total = sum(level * count for level, count in enumerate(histogram))
    best_level, best_spread = 0, -1.0
    dark_count, dark_weighted = 0, 0
    for level, count in enumerate(histogram):
        dark_count += count
        dark_weighted += level * count
        bright_count = total - dark_count
        if dark_count == 0:
            continue
        if bright_count == 0:
            break
        dark_mean = dark_weighted / dark_count
        bright_mean = (weighted_total - dark_weighted) / bright_count
        spread = dark_count * bright_count * (dark_mean - bright_mean) ** 2
        if spread > best_spread:
            best_level, best_spread = level, spread
    return best_level


def _border_pixels(gray: Image.Image) -> list[int]:
    width, height = gray.size
    strips = [
        gray.crop((0, 0, width, 1)),
        gray.crop((0, height - 1, width, height)),
        gray.crop((0, 0, 1, height)),
        gray.crop((width - 1, 0, width, height)),
    ]
    return [value for strip in strips for value in strip.tobytes()]


def foreground_mask(image: Image.Image) -> Image.Image:
    gray = grayscale(image)
    threshold = otsu_threshold(gray)
    border = _border_pixels(gray)
    border_is_bright = sum(value > threshold for value in border) * 2 >= len(border)
    if border_is_bright:
        return gray.point(lambda value: 255 if value <= threshold else 0)
    return gray.point(lambda value: 255 if value > threshold else 0)
