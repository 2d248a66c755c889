from __future__ import annotations

import errno
import mimetypes
import re
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Iterator, Optional

from werkzeug.http import parse_range_header
from werkzeug.wrappers import Response

READ_SIZE = 64 * 1024
_REQUEST_ID = re.compile(r"[0-9a-f]{32}")


class PlannedDrop(ConnectionAbortedError):
    # With this errno the server takes the error for the connection's end and closes it unanswered
    # and unreported, as it does when a client hangs up.
    def __init__(self, message: str):
        super().__init__(errno.ECONNABORTED, message)


class DownloadCutOff(PlannedDrop):
    pass


class StallEnded(PlannedDrop):
    pass


def is_plain_name(name: str) -> bool:
    return name not in ("", ".", "..") and not any(c in name for c in "/\\\0")


class ResultStore:
    def __init__(self, root: Path):
        self.root = root
        root.mkdir(parents=True, exist_ok=True)

    def new_request_id(self) -> str:
        return uuid.uuid4().hex

    def directory(self, request_id: str) -> Path:
        return self.root / request_id

    def find(self, request_id: str, name: str) -> Optional[Path]:
        if not _REQUEST_ID.fullmatch(request_id) or not is_plain_name(name):
            return None
        path = self.directory(request_id) / name
        return path if path.is_file() else None


def _content_type(path: Path) -> str:
    return mimetypes.guess_type(path.name)[0] or "application/octet-stream"


@dataclass(frozen=True)
class Span:
    start: int
    stop: int
    size: int
    partial: bool

    @property
    def length(self) -> int:
        return self.stop - self.start

    @property
    def status(self) -> int:
        return 206 if self.partial else 200

    def headers(self) -> dict[str, str]:
        headers = {"Content-Length": str(self.length), "Accept-Ranges": "bytes"}
        if self.partial:
            headers["Content-Range"] = f"bytes {self.start}-{self.stop - 1}/{self.size}"
        return headers


def whole(size: int) -> Span:
    return Span(0, size, size, False)


# From `start` to the end, never past the last byte.
def from_start(start: int, size: int) -> Span:
    return Span(min(start, max(size - 1, 0)), size, size, True)


# One range (bytes=B-, B-E or -N) is answered; none, a malformed one or several get the whole
# file, as HTTP allows. None: a range that lies past the end, answered 416.
def requested_span(range_header: Optional[str], size: int) -> Optional[Span]:
    if not range_header:
        return whole(size)
    parsed = parse_range_header(range_header)
    if parsed is None or len(parsed.ranges) != 1:
        return whole(size)
    bounds = parsed.range_for_length(size)
    if bounds is None:
        return None
    return Span(bounds[0], bounds[1], size, True)


def _span_bytes(path: Path, span: Span, count: int) -> Iterator[bytes]:
    remaining = count
    with open(path, "rb") as handle:
        handle.seek(span.start)
        while remaining > 0:
            chunk = handle.read(min(READ_SIZE, remaining))
            if not chunk:
                break
            remaining -= len(chunk)
            yield chunk


def file_response(path: Path, span: Span) -> Response:
    return Response(_span_bytes(path, span, span.length), status=span.status, mimetype=_content_type(path),
                    headers=span.headers(), direct_passthrough=True)


def unsatisfiable_response(size: int) -> Response:
    return Response(b"", status=416, headers={"Content-Range": f"bytes */{size}"})


def status_response(status: int, retry_after: Optional[str]) -> Response:
    headers = {"Retry-After": retry_after} if retry_after is not None else {}
    return Response(f"planned answer {status}", status=status, mimetype="text/plain", headers=headers)


class HeadersFirstResponse(Response):
    # The status line and headers leave at once, even when no body byte follows for a while: the
    # server sends them on WSGI's write() callable, and holds them back until the first body byte.
    def __call__(self, environ, start_response):
        writers = []

        def start(status, headers, exc_info=None):
            writers.append(start_response(status, headers, exc_info))
            return writers[-1]

        body = super().__call__(environ, start)
        writers[-1](b"")
        return body


def _leading_bytes_then_abort(path: Path, span: Span, count: int) -> Iterator[bytes]:
    yield from _span_bytes(path, span, count)
    # The server takes a ConnectionError from the body for a dropped connection and closes
    # it unreported, so the client sees fewer bytes than Content-Length announced.
    raise DownloadCutOff(f"download of {path.name} cut off after {count} bytes")


def _leading_bytes_then_stall(path: Path, span: Span, count: int, wait: Callable[[], None]) -> Iterator[bytes]:
    yield from _span_bytes(path, span, count)
    wait()
    # As for a cut download: the server drops the connection without an answer or a report.
    raise StallEnded(f"stalled download of {path.name} released")


def stalled_response(path: Path, span: Span, after_bytes: Optional[int], wait: Callable[[], None]) -> Response:
    if after_bytes is None:
        # Raised before anything is sent, the error makes the server drop the connection unanswered.
        wait()
        raise StallEnded(f"stalled download of {path.name} released")
    return HeadersFirstResponse(
        _leading_bytes_then_stall(path, span, min(after_bytes, max(span.length - 1, 0)), wait),
        status=span.status,
        mimetype=_content_type(path),
        headers=span.headers(),
        direct_passthrough=True,
    )


def cut_response(path: Path, span: Span, sent: int) -> Response:
    return HeadersFirstResponse(
        _leading_bytes_then_abort(path, span, sent),
        status=span.status,
        mimetype=_content_type(path),
        headers=span.headers(),
        direct_passthrough=True,
    )
