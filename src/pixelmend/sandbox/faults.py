from __future__ import annotations

import json
import threading
from collections import deque
from dataclasses import dataclass, field
from typing import Any, Iterable, Optional, Union


@dataclass(frozen=True)
class RawReply:
    status: int
    body: bytes
    content_type: str


@dataclass(frozen=True)
class ReplyEdit:
    drop: tuple[str, ...] = ()
    replace: dict[str, Any] = field(default_factory=dict)

    def apply(self, reply: dict[str, Any]) -> dict[str, Any]:
        edited = {k: v for k, v in reply.items() if k not in self.drop}
        edited.update(self.replace)
        return edited


PostAction = Union[RawReply, ReplyEdit]


@dataclass(frozen=True)
class MissingDownload:
    pass


@dataclass(frozen=True)
class CutDownload:
    after_bytes: int


@dataclass(frozen=True)
class SlowDownload:
    seconds: float


@dataclass(frozen=True)
class StalledDownload:
    # None: nothing at all is sent; a count: the headers and that many bytes of the body.
    after_bytes: Optional[int] = None


DownloadFault = Union[MissingDownload, CutDownload, SlowDownload, StalledDownload]

# The longest a stalled request is held when nobody releases it; long enough for any
# client timeout worth showing, short enough that a forgotten stall does not hang a run.
STALL_LIMIT = 300.0


def _as_bytes(body: str | bytes) -> bytes:
    return body.encode("utf-8") if isinstance(body, str) else bytes(body)


class FaultPlan:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._post_actions: deque[PostAction] = deque()
        self._post_delays: deque[float] = deque()
        self._download_faults: dict[str, deque[DownloadFault]] = {}
        self._unknown_download_content: bytes | None = None
        self._unread_post_payloads: deque[Any] = deque()
        self._post_stalls = 0
        self._stall_release = threading.Event()

    def fail_next_post(self, status: int, body: str | bytes = "", content_type: str = "text/plain") -> None:
        self._add_post_action(RawReply(status, _as_bytes(body), content_type))

    def answer_next_post(self, payload: Any) -> None:
        self._add_post_action(RawReply(200, json.dumps(payload).encode("utf-8"), "application/json"))

    def answer_next_post_raw(self, body: str | bytes, content_type: str = "text/plain") -> None:
        self._add_post_action(RawReply(200, _as_bytes(body), content_type))

    def refuse_next_post(self, message: str | None = None) -> None:
        payload: dict[str, Any] = {"success": False}
        if message is not None:
            payload["message"] = message
        self.answer_next_post(payload)

    def drop_from_next_reply(self, *keys: str) -> None:
        self._add_post_action(ReplyEdit(drop=tuple(keys)))

    def override_next_reply(self, **values: Any) -> None:
        self._add_post_action(ReplyEdit(replace=dict(values)))

    def plant_filenames(self, names: Iterable[str], content: bytes = b"planted by the local service") -> None:
        self.override_next_reply(filenames=list(names))
        self.serve_unknown_downloads(content)

    # For benchmarks: the next POST body is read and thrown away without being
    # parsed, so a 1 GiB upload costs the service no disk writes and no Pillow.
    def answer_next_post_unread(self, payload: Any) -> None:
        with self._lock:
            self._unread_post_payloads.append(payload)

    def delay_next_post(self, seconds: float) -> None:
        with self._lock:
            self._post_delays.append(float(seconds))

    # The next POST's body is read, then nothing is answered until the stall is released
    # (clear(), the service stopping, or STALL_LIMIT); then the connection is dropped.
    def stall_next_post(self) -> None:
        with self._lock:
            self._post_stalls += 1

    # The next download of `name` sends nothing (or, with after_bytes, its headers and that
    # many bytes) and then waits like a stalled POST.
    def stall_download(self, name: str, after_bytes: Optional[int] = None) -> None:
        self._add_download_fault(name, StalledDownload(None if after_bytes is None else int(after_bytes)))

    def missing_download(self, name: str) -> None:
        self._add_download_fault(name, MissingDownload())

    def cut_download(self, name: str, after_bytes: int) -> None:
        self._add_download_fault(name, CutDownload(int(after_bytes)))

    def delay_download(self, name: str, seconds: float) -> None:
        self._add_download_fault(name, SlowDownload(float(seconds)))

    def serve_unknown_downloads(self, content: bytes | None) -> None:
        with self._lock:
            self._unknown_download_content = content

    def clear(self) -> None:
        with self._lock:
            self._post_actions.clear()
            self._post_delays.clear()
            self._download_faults.clear()
            self._unknown_download_content = None
            self._unread_post_payloads.clear()
            self._post_stalls = 0
        self.release_stalls()

    def release_stalls(self) -> None:
        with self._lock:
            self._stall_release.set()
            self._stall_release = threading.Event()

    def take_post_action(self) -> PostAction | None:
        with self._lock:
            return self._post_actions.popleft() if self._post_actions else None

    def take_unread_post(self) -> tuple[bool, Any]:
        with self._lock:
            if not self._unread_post_payloads:
                return False, None
            return True, self._unread_post_payloads.popleft()

    def take_post_stall(self) -> bool:
        with self._lock:
            if not self._post_stalls:
                return False
            self._post_stalls -= 1
            return True

    # Returns once the stalls in progress are released, or after STALL_LIMIT.
    def wait_out_stall(self) -> None:
        with self._lock:
            release = self._stall_release
        release.wait(STALL_LIMIT)

    def take_post_delay(self) -> float:
        with self._lock:
            return self._post_delays.popleft() if self._post_delays else 0.0

    def take_download_fault(self, name: str) -> DownloadFault | None:
        with self._lock:
            pending = self._download_faults.get(name)
            if not pending:
                return None
            fault = pending.popleft()
            if not pending:
                del self._download_faults[name]
            return fault

    def unknown_download_content(self) -> bytes | None:
        with self._lock:
            return self._unknown_download_content

    def _add_post_action(self, action: PostAction) -> None:
        with self._lock:
            self._post_actions.append(action)

    def _add_download_fault(self, name: str, fault: DownloadFault) -> None:
        with self._lock:
            self._download_faults.setdefault(name, deque()).append(fault)
