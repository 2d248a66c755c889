from __future__ import annotations

import hashlib
from dataclasses import dataclass
from pathlib import Path
from typing import Union

from werkzeug.exceptions import RequestEntityTooLarge
from werkzeug.http import parse_options_header
from werkzeug.sansio.multipart import Data, Epilogue, Field, File, MultipartDecoder, NeedData
from werkzeug.wsgi import get_input_stream

READ_SIZE = 256 * 1024
DRAIN_SIZE = 1024 * 1024
DECODER_BUFFER_LIMIT = 4 * READ_SIZE
MAX_FIELD_BYTES = 64 * 1024


class MalformedUpload(Exception):
    pass


@dataclass(frozen=True)
class FormField:
    name: str
    value: str


@dataclass(frozen=True)
class UploadedFile:
    field: str
    filename: str
    content_type: str
    path: Path
    size: int
    sha256: str


Part = Union[FormField, UploadedFile]


@dataclass(frozen=True)
class Upload:
    parts: tuple[Part, ...]

    @property
    def fields(self) -> tuple[FormField, ...]:
        return tuple(p for p in self.parts if isinstance(p, FormField))

    @property
    def files(self) -> tuple[UploadedFile, ...]:
        return tuple(p for p in self.parts if isinstance(p, UploadedFile))

    def values(self, name: str) -> list[str]:
        return [f.value for f in self.fields if f.name == name]

    def files_in(self, field: str) -> list[UploadedFile]:
        return [f for f in self.files if f.field == field]


class _FieldSink:
    def __init__(self, name: str):
        self.name = name
        self.chunks: list[bytes] = []
        self.size = 0

    def write(self, data: bytes) -> None:
        self.size += len(data)
        if self.size > MAX_FIELD_BYTES:
            raise MalformedUpload(f"form field {self.name!r} is larger than {MAX_FIELD_BYTES} bytes")
        self.chunks.append(data)

    def finish(self) -> FormField:
        return FormField(self.name, b"".join(self.chunks).decode("utf-8", "replace"))


class _FileSink:
    def __init__(self, event: File, path: Path):
        self.event = event
        self.path = path
        self.handle = open(path, "wb")
        self.digest = hashlib.sha256()
        self.size = 0

    def write(self, data: bytes) -> None:
        self.handle.write(data)
        self.digest.update(data)
        self.size += len(data)

    def finish(self) -> UploadedFile:
        self.handle.close()
        return UploadedFile(
            field=self.event.name or "",
            filename=self.event.filename,
            content_type=self.event.headers.get("content-type", ""),
            path=self.path,
            size=self.size,
            sha256=self.digest.hexdigest(),
        )

    def abandon(self) -> None:
        self.handle.close()


class _PartCollector:
    def __init__(self, directory: Path):
        self.directory = directory
        self.parts: list[Part] = []
        self.sink: _FieldSink | _FileSink | None = None

    def accept(self, event) -> None:
        if isinstance(event, Field):
            self.sink = _FieldSink(event.name or "")
        elif isinstance(event, File):
            self.sink = _FileSink(event, self.directory / f"part-{len(self.parts):05d}")
        elif isinstance(event, Data) and self.sink is not None:
            self.sink.write(event.data)
            if not event.more_data:
                self.parts.append(self.sink.finish())
                self.sink = None

    def abandon(self) -> None:
        if isinstance(self.sink, _FileSink):
            self.sink.abandon()


def multipart_boundary(environ) -> bytes:
    mimetype, options = parse_options_header(environ.get("CONTENT_TYPE", ""))
    boundary = options.get("boundary", "")
    if mimetype != "multipart/form-data" or not boundary:
        raise MalformedUpload("the request body is not multipart/form-data")
    return boundary.encode("latin-1")


def _drain(decoder: MultipartDecoder, collector: _PartCollector) -> bool:
    event = decoder.next_event()
    while not isinstance(event, NeedData):
        if isinstance(event, Epilogue):
            return True
        collector.accept(event)
        event = decoder.next_event()
    return False


def parse_upload(environ, directory: Path) -> Upload:
    decoder = MultipartDecoder(multipart_boundary(environ), DECODER_BUFFER_LIMIT)
    collector = _PartCollector(directory)
    stream = get_input_stream(environ)
    try:
        while True:
            chunk = stream.read(READ_SIZE)
            decoder.receive_data(chunk or None)
            if _drain(decoder, collector):
                return Upload(tuple(collector.parts))
    except RequestEntityTooLarge as error:
        raise MalformedUpload("a multipart part header or preamble is too long") from error
    except ValueError as error:
        raise MalformedUpload(f"the multipart body could not be read: {error}") from error
    finally:
        collector.abandon()


def drain_body(environ) -> int:
    stream = get_input_stream(environ)
    received = 0
    while True:
        chunk = stream.read(DRAIN_SIZE)
        if not chunk:
            return received
        received += len(chunk)
