from __future__ import annotations

import itertools
import logging
import socket
import ssl
import sys
import threading
from traceback import format_exc
from typing import Callable

from cheroot.makefile import StreamReader, StreamWriter
from cheroot.server import HTTPConnection
from cheroot.ssl import Adapter
from cheroot.wsgi import Server

from .client_connection import ClientConnection
from .records import CONNECTION_KEY

# Enough for 32 downloads at once on kept-alive connections, the upload beside them, and a few
# stalled or silent connections; an idle kept-alive connection waits in the selector, not in a worker.
WORKERS = 40
# How long a kept-alive connection may stay idle, and a silent one may hold a worker, before it is closed.
IDLE_TIMEOUT = 30
# How often the selector loop looks up from select(): it bounds how long stop() waits for it.
SELECT_INTERVAL = 0.05
KEPT_ALIVE_LIMIT = 256
LISTEN_BACKLOG = 128


class _WorkerHandshakeAdapter(Adapter):
    # cheroot's own adapter makes the TLS handshake in its accept loop, where a client that
    # connects and says nothing blocks every other client; here each worker makes its own.
    def __init__(self, context: ssl.SSLContext, no_delay: Callable[[], bool]):
        # Every connection it makes tells a client's hang-up apart where the read or write fails.
        context.sslsocket_class = ClientConnection
        self.context = context
        self.no_delay = no_delay
        self.serial = itertools.count(1)

    def bind(self, sock):
        return sock

    def wrap(self, sock):
        # With Nagle's algorithm the last short segment of a reply waits for the client's delayed
        # acknowledgement; set either way, since an accepted socket inherits the listener's setting.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1 if self.no_delay() else 0)
        wrapped = self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return wrapped, {"wsgi.url_scheme": "https", "HTTPS": "on", CONNECTION_KEY: next(self.serial)}

    def get_environ(self, sock=None):
        return {"wsgi.url_scheme": "https", "HTTPS": "on"}

    def makefile(self, sock, mode="r", bufsize=-1):
        return (StreamReader if "r" in mode else StreamWriter)(sock, mode, bufsize)


class _TLSConnection(HTTPConnection):
    handshaken = False

    def communicate(self):
        if not self.server.busy(self, True):
            return False
        try:
            if not self.handshaken:
                try:
                    self.socket.do_handshake()
                except (OSError, ValueError):
                    # A plain-HTTP client, a dropped or silent one, or one closed by stop(): unanswered.
                    return False
                self.handshaken = True
            return super().communicate()
        finally:
            self.server.busy(self, False)

    def force_close(self) -> None:
        try:
            socket.socket.shutdown(self.socket, socket.SHUT_RDWR)
        except OSError:
            pass


class _ErrorsReported:
    # An error before the answer has begun is reported and answered 500 here, with Connection: close:
    # cheroot's own 500 does not say it closes the connection, and a client that sends its next
    # request on it finds it gone. One raised later, mid-body, is left to cheroot, which drops the connection.
    def __init__(self, app, report: Callable[[str], None]):
        self.app = app
        self.report = report

    def __call__(self, environ, start_response):
        try:
            return self.app(environ, start_response)
        except (ConnectionError, socket.timeout):
            # The connection's end, a planned drop among them, or a client gone silent: cheroot's to close.
            raise
        except Exception:
            self.report(format_exc())
            body = b"the local service failed; its errors list says why"
            headers = [("Content-Type", "text/plain"), ("Content-Length", str(len(body))), ("Connection", "close")]
            start_response("500 Internal Server Error", headers, sys.exc_info())
            return [body]


class KeepAliveServer(Server):
    ConnectionClass = _TLSConnection
    expiration_interval = SELECT_INTERVAL
    keep_alive_conn_limit = KEPT_ALIVE_LIMIT

    def __init__(self, host: str, port: int, app, context: ssl.SSLContext, no_delay: Callable[[], bool],
                 report: Callable[[str], None]):
        super().__init__((host, port), _ErrorsReported(app, report), numthreads=WORKERS, request_queue_size=LISTEN_BACKLOG,
                         timeout=IDLE_TIMEOUT, shutdown_timeout=0)
        self.ssl_adapter = _WorkerHandshakeAdapter(context, no_delay)
        self.report = report
        self._busy: set[_TLSConnection] = set()
        self._busy_lock = threading.Lock()
        self._stopping = False

    @property
    def port(self) -> int:
        return self.bind_addr[1]

    # False once the server is stopping: a connection still queued for a worker is then closed unread.
    def busy(self, connection: _TLSConnection, working: bool) -> bool:
        with self._busy_lock:
            if not working:
                self._busy.discard(connection)
                return True
            if self._stopping:
                return False
            self._busy.add(connection)
            return True

    # With an unbounded queue no connection is ever turned away for want of a worker, so the
    # thread that would answer those 503 has nothing to do and is not left running.
    def _serve_unservicable(self):
        return

    def error_log(self, msg="", level=logging.INFO, traceback=False):
        if level < logging.WARNING or self._stopping:
            return
        self.report(format_exc() if traceback else str(msg))

    def stop(self):
        if not self.ready:
            return
        # No connection is handed to a worker once the selector loop has stopped; those still being
        # answered (a slow client, a silent one) end now instead of holding a worker stop() waits for.
        self._connections.stop()
        with self._busy_lock:
            self._stopping = True
            busy = list(self._busy)
        for connection in busy:
            connection.force_close()
        super().stop()

