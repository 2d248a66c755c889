from __future__ import annotations

from collections import Counter
from typing import AbstractSet, Optional

from .endpoints import Endpoint
from .images import is_video
from .upload import Upload

KEY_FIELD = "api_key"
VIDEO_REFUSAL = "video processing is not available in the local service"


def _key_problem(endpoint: Endpoint, upload: Upload, accepted_keys: Optional[AbstractSet[str]]) -> Optional[str]:
    keys = upload.values(KEY_FIELD)
    if not keys or not keys[0]:
        return "api_key is missing or empty"
    if accepted_keys is not None and keys[0] not in accepted_keys:
        return "api_key is not valid"
    return None


def _field_problem(endpoint: Endpoint, upload: Upload, accepted_keys) -> Optional[str]:
    known = {KEY_FIELD, *(rule.name for rule in endpoint.fields)}
    counts = Counter(f.name for f in upload.fields)
    for name, count in counts.items():
        if name not in known:
            return f"unexpected field {name!r}"
        if count > 1:
            return f"field {name!r} was sent {count} times"
    for rule in endpoint.fields:
        values = upload.values(rule.name)
        if not values:
            if rule.required:
                return f"field {rule.name!r} is missing"
            continue
        problem = rule.check(rule.name, values[0])
        if problem:
            return problem
    return None


def _file_count_problem(endpoint: Endpoint, upload: Upload, accepted_keys) -> Optional[str]:
    allowed = {rule.field for rule in endpoint.files}
    for uploaded in upload.files:
        if uploaded.field not in allowed:
            return f"unexpected file field {uploaded.field!r}"
    for rule in endpoint.files:
        count = len(upload.files_in(rule.field))
        if count < rule.at_least:
            return f"no file was sent in field {rule.field!r}"
        if rule.at_most is not None and count > rule.at_most:
            return f"field {rule.field!r} takes exactly {rule.at_most} file, got {count}"
    return None


def _file_content_problem(endpoint: Endpoint, upload: Upload, accepted_keys) -> Optional[str]:
    for uploaded in upload.files:
        if is_video(uploaded.filename, uploaded.content_type):
            return f"file {uploaded.filename!r} is a video: {VIDEO_REFUSAL}"
        if uploaded.size == 0:
            return f"file {uploaded.filename!r} is empty"
    return None


_PROBLEM_FINDERS = (_key_problem, _field_problem, _file_count_problem, _file_content_problem)


def refusal(endpoint: Endpoint, upload: Upload, accepted_keys: Optional[AbstractSet[str]]) -> Optional[str]:
    for find_problem in _PROBLEM_FINDERS:
        problem = find_problem(endpoint, upload, accepted_keys)
        if problem:
            return problem
    return None
