from __future__ import annotations

import shutil
from pathlib import Path
from typing import AbstractSet, Any, Optional

from .endpoints import Endpoint
from .images import UnreadableImage, open_rgb_image, unique_stems
from .operations import LoadedImage
from .upload import Upload
from .validation import refusal


def refused(message: str) -> dict[str, Any]:
    return {"success": False, "message": message}


def load_images(upload: Upload) -> list[LoadedImage]:
    stems = unique_stems([f.filename for f in upload.files])
    return [
        LoadedImage(f.field, f.filename, stem, open_rgb_image(f.path, f.filename))
        for f, stem in zip(upload.files, stems)
    ]


def perform(
    endpoint: Endpoint,
    upload: Upload,
    accepted_keys: Optional[AbstractSet[str]],
    directory: Path,
    public_path: str,
) -> dict[str, Any]:
    problem = refusal(endpoint, upload, accepted_keys)
    if problem:
        return refused(problem)
    try:
        images = load_images(upload)
    except UnreadableImage as error:
        return refused(str(error))
    fields = {f.name: f.value for f in upload.fields}
    directory.mkdir(parents=True)
    try:
        filenames = endpoint.operation(images, fields, directory)
    except BaseException:
        shutil.rmtree(directory, ignore_errors=True)
        raise
    return {"success": True, "filenames": filenames, "path": public_path, "message": ""}
