from __future__ import annotations

import shutil
import socket
import tempfile
import threading
import traceback
from pathlib import Path
from types import ModuleType
from typing import Callable, ContextManager, Iterable, Optional

from werkzeug.serving import ThreadedWSGIServer, WSGIRequestHandler

from .accepted_keys import accepted_key_set
from .app import SandboxApp
from .certificate import server_ssl_context
from .faults import FaultPlan
from .records import RequestLog, RequestRecord
from .routing import RequestsProxy, Router, is_loopback_host, routed


class _QuietRequestHandler(WSGIRequestHandler):
    def log(self, type: str, message: str, *args) -> None:
        self.server.log(type, message, *args)


# Off only to measure what it saves (bench/bench_result_files.py --nagle).
NO_DELAY = True


class _ReportingServer(ThreadedWSGIServer):
    # What make_server(threaded=True) builds, except that request lines are dropped and
    # errors are kept for the test handle instead of going to the shared werkzeug logger.
    def __init__(self, host: str, port: int, app, ssl_context, report: Callable[[str], None]):
        self.report = report
        super().__init__(host, port, app, handler=_QuietRequestHandler, ssl_context=ssl_context)

    def get_request(self):
        connection, address = super().get_request()
        # Every answer ends the connection; with Nagle's algorithm the last short segment of a reply
        # waits for the client's delayed acknowledgement, about 10 ms per download on loopback.
        if NO_DELAY:
            connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return connection, address

    def log(self, type: str, message: str, *args) -> None:
        if type != "info":
            self.report(message % args if args else message)

    def handle_error(self, request, client_address) -> None:
        self.report(traceback.format_exc())


def _require_loopback(host: str) -> None:
    if not is_loopback_host(host):
        raise ValueError(f"the local service listens on loopback addresses only, not {host!r}")


class Service:
    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        accepted_keys: Optional[Iterable[str]] = None,
    ):
        _require_loopback(host)
        self.host = host
        self.requested_port = port
        self.accepted_keys = accepted_key_set(accepted_keys)
        self.faults = FaultPlan()
        self.log = RequestLog()
        self.errors: list[str] = []
        self._errors_lock = threading.Lock()
        self._server: Optional[_ReportingServer] = None
        self._thread: Optional[threading.Thread] = None
        self._workspace: Optional[Path] = None
        self._router: Optional[Router] = None

    @property
    def port(self) -> int:
        if self._server is None:
            raise RuntimeError("the local service is not running")
        return self._server.port

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"https://{host}:{self.port}"

    @property
    def workspace(self) -> Path:
        if self._workspace is None:
            raise RuntimeError("the local service is not running")
        return self._workspace

    @property
    def certificate_path(self) -> Path:
        return self.workspace / "tls" / "certificate.pem"

    def start(self) -> "Service":
        if self._server is not None:
            raise RuntimeError("the local service is already running")
        self._workspace = Path(tempfile.mkdtemp(prefix="pixelmend-sandbox-"))
        tls_directory = self._workspace / "tls"
        tls_directory.mkdir()
        app = SandboxApp(self._workspace, self.faults, self.log, self.accepted_keys, lambda: self.url)
        try:
            server = _ReportingServer(
                self.host, self.requested_port, app, server_ssl_context(tls_directory), self._report
            )
        except BaseException:
            shutil.rmtree(self._workspace, ignore_errors=True)
            self._workspace = None
            raise
        self._server = server
        self._router = Router(self.url)
        self._thread = threading.Thread(target=server.serve_forever, name="pixelmend-sandbox", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        server, thread = self._server, self._thread
        if server is None:
            return
        self.faults.release_stalls()
        server.shutdown()
        server.server_close()
        if thread is not None:
            thread.join()
        self._server = self._thread = self._router = None
        shutil.rmtree(self.workspace, ignore_errors=True)
        self._workspace = None

    def __enter__(self) -> "Service":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    def received(self) -> list[RequestRecord]:
        return self.log.snapshot()

    def route(self, module: Optional[ModuleType] = None) -> ContextManager[RequestsProxy]:
        if self._router is None:
            raise RuntimeError("the local service is not running")
        return routed(self._router, module)

    def routed_urls(self) -> list[tuple[str, str]]:
        return self._router.seen() if self._router is not None else []

    def reset(self) -> None:
        self.faults.clear()
        self.log.clear()
        if self._router is not None:
            self._router.forget()
        with self._errors_lock:
            self.errors.clear()

    def _report(self, message: str) -> None:
        with self._errors_lock:
            self.errors.append(message)
