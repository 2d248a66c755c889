from __future__ import annotations

import datetime
import email.utils
import json
import random
import threading
from collections import deque
from dataclasses import dataclass, field
from typing import Any, Callable, Generic, Iterable, Optional, TypeVar, Union


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
    kind = "missing"


@dataclass(frozen=True)
class CutDownload:
    after_bytes: int = 0
    # Set by the random mode: the share of the body sent before the cut, instead of a count.
    share: Optional[float] = None
    kind = "cut"

    # Never the whole body, or the cut would go unnoticed.
    def sent_of(self, length: int) -> int:
        wanted = self.after_bytes if self.share is None else int(self.share * length)
        return min(wanted, max(length - 1, 0))


@dataclass(frozen=True)
class SlowDownload:
    seconds: float
    kind = "slow"


@dataclass(frozen=True)
class StalledDownload:
    # None: nothing at all is sent; a count: the headers and that many bytes of the body.
    after_bytes: Optional[int] = None
    kind = "stall"


@dataclass(frozen=True)
class StatusDownload:
    status: int
    retry_after: Optional[str] = None
    kind = "status"


# The two below answer only a request that asks for a range; one that does not passes them by.
@dataclass(frozen=True)
class MisplacedRange:
    start: int
    kind = "misplaced-range"


@dataclass(frozen=True)
class IgnoredRange:
    kind = "ignored-range"


DownloadFault = Union[
    MissingDownload, CutDownload, SlowDownload, StalledDownload, StatusDownload, MisplacedRange, IgnoredRange
]
_RANGE_ONLY = (MisplacedRange, IgnoredRange)


@dataclass(frozen=True)
class UnreliableDownloads:
    failing: float
    cut: float
    status: int
    chance: random.Random

    def draw(self) -> Optional[DownloadFault]:
        roll = self.chance.random()
        if roll < self.failing:
            return StatusDownload(self.status)
        if roll < self.failing + self.cut:
            return CutDownload(share=self.chance.random())
        return None

Planned = TypeVar("Planned")


# What is planned for the requests to come, in the order planned: each is taken by the first
# request it applies to. Not locked itself: the plan that holds it locks around it.
class _Queue(Generic[Planned]):
    def __init__(self) -> None:
        self._items: deque[Planned] = deque()

    def add(self, item: Planned, tries: int = 1) -> None:
        self._items.extend([item] * tries)

    def take(self, applies: Callable[[Planned], bool] = lambda item: True) -> Optional[Planned]:
        for index, item in enumerate(self._items):
            if applies(item):
                del self._items[index]
                return item
        return None

    def clear(self) -> None:
        self._items.clear()


# The longest a stalled request is held when nobody releases it; long enough for any
# client timeout worth showing, short enough that a forgotten stall does not hang a run.
STALL_LIMIT = 300.0


def _as_bytes(body: str | bytes) -> bytes:
    return body.encode("utf-8") if isinstance(body, str) else bytes(body)


# Seconds as a whole number, a moment as an HTTP date, or a text sent as it is (a malformed one too).
def retry_after_text(value: Union[int, float, datetime.datetime, str, None]) -> Optional[str]:
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, datetime.datetime):
        moment = value if value.tzinfo is not None else value.replace(tzinfo=datetime.timezone.utc)
        return email.utils.format_datetime(moment.astimezone(datetime.timezone.utc), usegmt=True)
    if value < 0:
        raise ValueError(f"Retry-After cannot be negative: {value!r}")
    return str(int(value))


def _tries(count: int) -> int:
    if int(count) < 1:
        raise ValueError(f"a fault applies to at least one try, not {count!r}")
    return int(count)


def _share(name: str, value: float) -> float:
    if not 0.0 <= float(value) <= 1.0:
        raise ValueError(f"{name} is a share of the tries, from 0 to 1, not {value!r}")
    return float(value)


class FaultPlan:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._post_actions: _Queue[PostAction] = _Queue()
        self._post_delays: _Queue[float] = _Queue()
        self._download_faults: _Queue[tuple[str, DownloadFault]] = _Queue()
        self._unreliable: Optional[UnreliableDownloads] = None
        self._unknown_download_content: bytes | None = None
        self._unread_post_payloads: deque[Any] = deque()
        self._post_stalls = 0
        self._stall_release = threading.Event()
        self._stalls_ended = False

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
            self._post_delays.add(float(seconds))

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

    # The headers announce the whole length, `after_bytes` of the body follow (of the range asked
    # for, on a Range request), then the connection is closed.
    def cut_download(self, name: str, after_bytes: int, tries: int = 1) -> None:
        self._add_download_fault(name, CutDownload(int(after_bytes)), tries)

    # The first `tries` downloads of `name` are answered with `status`, and a Retry-After header
    # when `retry_after` is given: seconds, a datetime (sent as an HTTP date) or a text as it is.
    def fail_download(
        self,
        name: str,
        status: int = 503,
        tries: int = 1,
        retry_after: Union[int, float, datetime.datetime, str, None] = None,
    ) -> None:
        if not 100 <= int(status) <= 599:
            raise ValueError(f"not an HTTP status: {status!r}")
        self._add_download_fault(name, StatusDownload(int(status), retry_after_text(retry_after)), tries)

    # The next Range requests of `name` get a 206 whose Content-Range and body begin at `start`
    # instead of the byte asked for.
    def misplace_range(self, name: str, start: int, tries: int = 1) -> None:
        if int(start) < 0:
            raise ValueError(f"a range cannot start before the file: {start!r}")
        self._add_download_fault(name, MisplacedRange(int(start)), tries)

    # The next Range requests of `name` get a 200 with the whole file.
    def ignore_range(self, name: str, tries: int = 1) -> None:
        self._add_download_fault(name, IgnoredRange(), tries)

    # For benchmarks: each download of any result file that no fault above is planned for is
    # answered `status` with the chance `failing`, or cut at a random byte with the chance `cut`,
    # drawn from a generator seeded with `seed`. All zero turns it off.
    def unreliable_downloads(self, failing: float = 0.0, cut: float = 0.0, seed: int = 0, status: int = 503) -> None:
        failing, cut = _share("failing", failing), _share("cut", cut)
        if failing + cut > 1.0:
            raise ValueError(f"failing and cut add up to more than every try: {failing} + {cut}")
        unreliable = UnreliableDownloads(failing, cut, int(status), random.Random(seed)) if failing or cut else None
        with self._lock:
            self._unreliable = unreliable

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
            self._unreliable = None
            self._unknown_download_content = None
            self._unread_post_payloads.clear()
            self._post_stalls = 0
        self.release_stalls()

    def release_stalls(self) -> None:
        with self._lock:
            self._stall_release.set()
            self._stall_release = threading.Event()

    # While the service stops, a request that reaches its stall after release_stalls() would hold
    # its worker, and so stop(), for STALL_LIMIT: from here until allow_stalls() none waits.
    def end_stalls(self) -> None:
        with self._lock:
            self._stalls_ended = True
            self._stall_release.set()
            self._stall_release = threading.Event()

    def allow_stalls(self) -> None:
        with self._lock:
            self._stalls_ended = False

    def take_post_action(self) -> PostAction | None:
        with self._lock:
            return self._post_actions.take()

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
            if self._stalls_ended:
                return
            release = self._stall_release
        release.wait(STALL_LIMIT)

    def take_post_delay(self) -> float:
        with self._lock:
            delay = self._post_delays.take()
        return 0.0 if delay is None else delay

    def take_download_fault(self, name: str, ranged: bool = False) -> DownloadFault | None:
        def applies(planned: tuple[str, DownloadFault]) -> bool:
            return planned[0] == name and (ranged or not isinstance(planned[1], _RANGE_ONLY))

        with self._lock:
            planned = self._download_faults.take(applies)
            if planned is not None:
                return planned[1]
            return self._unreliable.draw() if self._unreliable is not None else None

    def unknown_download_content(self) -> bytes | None:
        with self._lock:
            return self._unknown_download_content

    def _add_post_action(self, action: PostAction) -> None:
        with self._lock:
            self._post_actions.add(action)

    def _add_download_fault(self, name: str, fault: DownloadFault, tries: int = 1) -> None:
        count = _tries(tries)
        with self._lock:
            self._download_faults.add((name, fault), count)
