from __future__ import annotations

import errno
import mimetypes
import re
import uuid
from pathlib import Path
from typing import Callable, Iterator, Optional

from werkzeug.utils import send_file
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


def file_response(path: Path, environ) -> Response:
    return send_file(path, environ, mimetype=_content_type(path), conditional=False, etag=False)


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


def _leading_bytes(path: Path, count: int) -> Iterator[bytes]:
    remaining = count
    with open(path, "rb") as handle:
        while remaining > 0:
            chunk = handle.read(min(READ_SIZE, remaining))
            if not chunk:
                break
            remaining -= len(chunk)
            yield chunk


def _leading_bytes_then_abort(path: Path, count: int) -> Iterator[bytes]:
    yield from _leading_bytes(path, count)
    # The server takes a ConnectionError from the body for a dropped connection and closes
    # it unreported, so the client sees fewer bytes than Content-Length announced.
    raise DownloadCutOff(f"download of {path.name} cut off after {count} bytes")


def _leading_bytes_then_stall(path: Path, count: int, wait: Callable[[], None]) -> Iterator[bytes]:
    yield from _leading_bytes(path, count)
    wait()
    # As for a cut download: the server drops the connection without an answer or a report.
    raise StallEnded(f"stalled download of {path.name} released")


def stalled_response(path: Path, after_bytes: Optional[int], wait: Callable[[], None]) -> Response:
    if after_bytes is None:
        # Raised before anything is sent, the error makes the server drop the connection unanswered.
        wait()
        raise StallEnded(f"stalled download of {path.name} released")
    size = path.stat().st_size
    return HeadersFirstResponse(
        _leading_bytes_then_stall(path, min(after_bytes, max(size - 1, 0)), wait),
        mimetype=_content_type(path),
        headers={"Content-Length": str(size)},
        direct_passthrough=True,
    )


def cut_response(path: Path, after_bytes: int) -> Response:
    size = path.stat().st_size
    return HeadersFirstResponse(
        _leading_bytes_then_abort(path, min(after_bytes, max(size - 1, 0))),
        mimetype=_content_type(path),
        headers={"Content-Length": str(size)},
        direct_passthrough=True,
    )
