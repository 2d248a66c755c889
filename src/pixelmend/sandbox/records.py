from __future__ import annotations

import dataclasses
import threading
from dataclasses import dataclass, field
from typing import Any, Optional

from .upload import FormField, Upload, UploadedFile

# Where the server puts the connection's serial number in each request's WSGI environment.
CONNECTION_KEY = "pixelmend.connection"


@dataclass(frozen=True)
class FileRecord:
    field: str
    filename: str
    content_type: str
    size: int
    sha256: str


@dataclass(frozen=True)
class RequestRecord:
    method: str
    path: str
    status: int
    fields: tuple[tuple[str, str], ...] = ()
    files: tuple[FileRecord, ...] = ()
    parts: tuple[tuple[str, str], ...] = ()
    reply: Any = None
    # The serial number of the connection it came on, counted from 1 by each service.
    connection: int = 0
    # The Range header as the client sent it, and the planned fault that answered (its kind).
    range: Optional[str] = None
    fault: Optional[str] = None


def _file_record(upload: UploadedFile) -> FileRecord:
    return FileRecord(upload.field, upload.filename, upload.content_type, upload.size, upload.sha256)


def _part_kind(part) -> tuple[str, str]:
    if isinstance(part, FormField):
        return ("field", part.name)
    return ("file", part.field)


def record_for(
    method: str,
    path: str,
    status: int,
    upload: Upload | None,
    reply: Any = None,
    connection: int = 0,
    range_header: Optional[str] = None,
    fault: Optional[str] = None,
) -> RequestRecord:
    request = RequestRecord(method, path, status, reply=reply, connection=connection, range=range_header, fault=fault)
    if upload is None:
        return request
    return dataclasses.replace(
        request,
        fields=tuple((f.name, f.value) for f in upload.fields),
        files=tuple(_file_record(f) for f in upload.files),
        parts=tuple(_part_kind(p) for p in upload.parts),
    )


@dataclass
class RequestLog:
    _records: list[RequestRecord] = field(default_factory=list)
    _lock: threading.Lock = field(default_factory=threading.Lock)

    def add(self, record: RequestRecord) -> None:
        with self._lock:
            self._records.append(record)

    def snapshot(self) -> list[RequestRecord]:
        with self._lock:
            return list(self._records)

    # Every try at one result file, in the order they came.
    def downloads_of(self, name: str) -> list[RequestRecord]:
        return [r for r in self.snapshot() if r.method in ("GET", "HEAD") and r.path.rsplit("/", 1)[-1] == name]

    def clear(self) -> None:
        with self._lock:
            self._records.clear()
