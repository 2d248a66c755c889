from __future__ import annotations

from PIL import Image

HASH_SIDE = 16
HASH_BITS = HASH_SIDE * HASH_SIDE
MATCH_THRESHOLD = 0.8


def difference_hash(image: Image.Image) -> int:
    gray = image.convert("L").resize((HASH_SIDE + 1, HASH_SIDE), Image.Resampling.BILINEAR)
    values = gray.tobytes()
    bits = 0
    for row in range(HASH_SIDE):
        offset = row * (HASH_SIDE + 1)
        for column in range(HASH_SIDE):
            bits = (bits << 1) | (values[offset + column] > values[offset + column + 1])
    return bits


def similarity(first: int, second: int) -> float:
    return 1.0 - bin(first ^ second).count("1") / HASH_BITS


def compare_faces(image: Image.Image, image_name: str, other: Image.Image, other_name: str) -> dict:
    first, second = difference_hash(image), difference_hash(other)
    score = round(similarity(first, second), 4)
    return {
        "image": image_name,
        "image_to_compare": other_name,
        "hash_image": f"{first:0{HASH_BITS // 4}x}",
        "hash_image_to_compare": f"{second:0{HASH_BITS // 4}x}",
        "similarity": score,
        "threshold": MATCH_THRESHOLD,
        "verdict": "match" if score >= MATCH_THRESHOLD else "no match",
    }
