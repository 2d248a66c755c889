from __future__ import annotations

import time
from pathlib import Path
from typing import Callable, Optional

from werkzeug.exceptions import NotFound
from werkzeug.wrappers import Response

from .downloads import (
    cut_response,
    file_response,
    from_start,
    requested_span,
    stalled_response,
    status_response,
    unsatisfiable_response,
    whole,
)
from .faults import (
    CutDownload,
    DownloadFault,
    IgnoredRange,
    MisplacedRange,
    MissingDownload,
    SlowDownload,
    StalledDownload,
    StatusDownload,
)


def answer_download(
    path: Path, range_header: Optional[str], fault: Optional[DownloadFault], wait: Callable[[], None], environ
) -> Response:
    if isinstance(fault, MissingDownload):
        return NotFound().get_response(environ)
    if isinstance(fault, StatusDownload):
        return status_response(fault.status, fault.retry_after)
    size = path.stat().st_size
    if isinstance(fault, IgnoredRange):
        span = whole(size)
    elif isinstance(fault, MisplacedRange):
        span = from_start(fault.start, size)
    else:
        span = requested_span(range_header, size)
    if span is None:
        return unsatisfiable_response(size)
    if isinstance(fault, CutDownload):
        return cut_response(path, span, fault.sent_of(span.length))
    if isinstance(fault, StalledDownload):
        return stalled_response(path, span, fault.after_bytes, wait)
    if isinstance(fault, SlowDownload):
        time.sleep(fault.seconds)
    return file_response(path, span)
