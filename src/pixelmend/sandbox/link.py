from __future__ import annotations

import selectors
import socket
import threading
import time
from collections import deque
from typing import Optional

from .routing import https_url, is_loopback_host

READ_SIZE = 64 * 1024
# What one direction of one connection holds at most on an unlimited link, as a TCP window would.
QUEUE_LIMIT = 16 * 1024 * 1024
# How often the accepting thread looks up from accept(): it bounds how long stop() waits for it.
ACCEPT_INTERVAL = 0.05
# How often a reader waiting for data looks up to see whether its relay is closing. shutdown() from
# another thread ends a blocked recv() on Linux, but not on Windows nor under Wine, so the reader waits
# for data in a selector, never in recv().
READ_INTERVAL = 0.05
_END = None


class Bottleneck:
    # One direction of the link, shared by all its connections: bytes leave it one after another at
    # `rate` bits per second. It buffers one round trip's worth (at least 10 ms) before a reader is
    # held back, as a router's queue is sized to the path it serves.
    def __init__(self, rate: Optional[float], backlog: float):
        self.rate = rate
        self.backlog = max(backlog, 0.01)
        self._free_at = 0.0
        self._lock = threading.Lock()

    # When `count` bytes read at `now` are through, and how long their reader should wait before the next.
    def book(self, now: float, count: int) -> tuple[float, float]:
        if self.rate is None:
            return now, 0.0
        with self._lock:
            start = max(now, self._free_at)
            self._free_at = start + count * 8 / self.rate
            return self._free_at, max(start - now - self.backlog, 0.0)


class _Direction:
    def __init__(self, source: socket.socket, target: socket.socket, delay: float, bottleneck: Bottleneck,
                 relay: "_Relay"):
        self.source, self.target = source, target
        self.delay, self.bottleneck, self.relay = delay, bottleneck, relay
        self._queue: deque[tuple[float, Optional[bytes]]] = deque()
        self._queued = 0
        self._last_due = 0.0
        self._changed = threading.Condition()

    def read(self) -> None:
        with selectors.DefaultSelector() as arrivals:
            arrivals.register(self.source, selectors.EVENT_READ)
            while not self.relay.closing.is_set():
                if arrivals.select(READ_INTERVAL) and not self._queue_what_arrived():
                    return
        self._put(0.0, _END)

    # False once the source has ended: its end is queued after the data before it.
    def _queue_what_arrived(self) -> bool:
        try:
            data = self.source.recv(READ_SIZE)
        except OSError:
            data = b""
        now = time.monotonic()
        if not data:
            self._put(max(now + self.delay, self._last_due), _END)
            return False
        through, hold = self.bottleneck.book(now, len(data))
        self._put(through + self.delay, data)
        if hold:
            self.relay.closing.wait(hold)
        return True

    def _put(self, due: float, data: Optional[bytes]) -> None:
        with self._changed:
            while data and self._queued > QUEUE_LIMIT and not self.relay.closing.is_set():
                self._changed.wait()
            self._last_due = due
            self._queue.append((due, data))
            self._queued += len(data) if data else 0
            self._changed.notify_all()

    def _take(self) -> Optional[tuple[float, Optional[bytes]]]:
        with self._changed:
            while True:
                if self.relay.closing.is_set():
                    return None
                if self._queue:
                    due, data = self._queue[0]
                    wait = due - time.monotonic()
                    if wait <= 0:
                        self._queue.popleft()
                        self._queued -= len(data) if data else 0
                        self._changed.notify_all()
                        return due, data
                    self._changed.wait(wait)
                else:
                    self._changed.wait()

    def write(self) -> None:
        while True:
            item = self._take()
            if item is None:
                return
            data = item[1]
            try:
                if data is _END:
                    self.target.shutdown(socket.SHUT_WR)
                    self.relay.direction_ended()
                    return
                self.target.sendall(data)
            except OSError:
                self.relay.close()
                return

    def wake(self) -> None:
        with self._changed:
            self._changed.notify_all()


class _Relay:
    def __init__(self, link: "Link", client: socket.socket, accepted_at: float):
        self.link, self.client, self.accepted_at = link, client, accepted_at
        self.upstream: Optional[socket.socket] = None
        self.closing = threading.Event()
        self.threads: list[threading.Thread] = []
        self.directions: list[_Direction] = []
        self._ended = 0
        self._lock = threading.Lock()

    def run(self) -> None:
        # A new connection costs one round trip before its first byte can leave, as TCP's handshake does.
        if self.closing.wait(max(self.accepted_at + self.link.rtt - time.monotonic(), 0.0)):
            self._close_sockets()
            return
        try:
            self.upstream = socket.create_connection(self.link.target)
            self.upstream.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            self._close_sockets()
            return
        half = self.link.rtt / 2
        self.directions = [
            _Direction(self.client, self.upstream, half, self.link.upstream_bottleneck, self),
            _Direction(self.upstream, self.client, half, self.link.downstream_bottleneck, self),
        ]
        with self._lock:
            if self.closing.is_set():
                self._close_sockets()
                return
            for direction in self.directions:
                for step in (direction.read, direction.write):
                    self.threads.append(threading.Thread(target=step, name="pixelmend-link", daemon=True))
            for thread in self.threads:
                thread.start()
        for thread in self.threads:
            thread.join()
        self._close_sockets()

    def direction_ended(self) -> None:
        with self._lock:
            self._ended += 1
            both = self._ended == 2
        if both:
            self.close()

    def close(self) -> None:
        with self._lock:
            self.closing.set()
            for direction in self.directions:
                direction.wake()
            for sock in (self.client, self.upstream):
                if sock is not None:
                    try:
                        sock.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass

    def _close_sockets(self) -> None:
        for sock in (self.client, self.upstream):
            if sock is not None:
                sock.close()


class Link:
    def __init__(
        self,
        target_host: str,
        target_port: int,
        rtt: float = 0.05,
        rate: Optional[float] = None,
        host: str = "127.0.0.1",
        port: int = 0,
    ):
        for name in (host, target_host):
            if not is_loopback_host(name):
                raise ValueError(f"the link joins loopback addresses only, not {name!r}")
        if rtt < 0 or (rate is not None and rate <= 0):
            raise ValueError(f"a link needs a round trip of 0 s or more and a positive rate, not {rtt!r}, {rate!r}")
        self.target = (target_host, int(target_port))
        self.rtt = float(rtt)
        self.rate = None if rate is None else float(rate)
        self.host = host
        self.requested_port = port
        self.upstream_bottleneck = Bottleneck(self.rate, self.rtt)
        self.downstream_bottleneck = Bottleneck(self.rate, self.rtt)
        self._accepted = 0
        self._relays: list[tuple[_Relay, threading.Thread]] = []
        self._lock = threading.Lock()
        self._listener: Optional[socket.socket] = None
        self._accepting: Optional[threading.Thread] = None
        self._stopping = threading.Event()

    @classmethod
    def to(cls, service, **settings) -> "Link":
        return cls(service.host, service.port, **settings)

    @property
    def port(self) -> int:
        if self._listener is None:
            raise RuntimeError("the link is not running")
        return self._listener.getsockname()[1]

    @property
    def url(self) -> str:
        return https_url(self.host, self.port)

    @property
    def connections(self) -> int:
        with self._lock:
            return self._accepted

    def start(self) -> "Link":
        if self._listener is not None:
            raise RuntimeError("the link is already running")
        family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
        listener = socket.create_server((self.host, self.requested_port), family=family, backlog=128)
        listener.settimeout(ACCEPT_INTERVAL)
        self._listener = listener
        self._stopping.clear()
        self._accepting = threading.Thread(target=self._accept, name="pixelmend-link", daemon=True)
        self._accepting.start()
        return self

    def _accept(self) -> None:
        assert self._listener is not None
        while not self._stopping.is_set():
            try:
                client, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            accepted_at = time.monotonic()
            client.settimeout(None)
            client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            relay = _Relay(self, client, accepted_at)
            thread = threading.Thread(target=relay.run, name="pixelmend-link", daemon=True)
            with self._lock:
                self._accepted += 1
                self._relays = [(r, t) for r, t in self._relays if t.is_alive()]
                self._relays.append((relay, thread))
            thread.start()

    def stop(self) -> None:
        if self._listener is None:
            return
        self._stopping.set()
        if self._accepting is not None:
            self._accepting.join()
        self._listener.close()
        with self._lock:
            relays = list(self._relays)
            self._relays.clear()
        for relay, _ in relays:
            relay.close()
        for _, thread in relays:
            thread.join()
        self._listener = self._accepting = None

    def __enter__(self) -> "Link":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()
