from __future__ import annotations

import shutil
import tempfile
import threading
import uuid
from pathlib import Path
from types import ModuleType
from typing import Any, ContextManager, Iterable, Mapping, Optional

from .accepted_keys import accepted_key_set
from .app import SandboxApp
from .certificate import server_ssl_context
from .faults import FaultPlan
from .records import RequestLog, RequestRecord
from .routing import SERVICE_BASE, RequestsProxy, Router, https_url, is_loopback_host, routed
from .wsgi_server import KeepAliveServer


# Off only to measure what it saves (bench/bench_result_files.py --nagle).
NO_DELAY = True


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
        self._server: Optional[KeepAliveServer] = None
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
        return https_url(self.host, self.port)

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
            server = KeepAliveServer(
                self.host, self.requested_port, app, server_ssl_context(tls_directory), lambda: NO_DELAY,
                self._report,
            )
            server.prepare()
        except BaseException:
            shutil.rmtree(self._workspace, ignore_errors=True)
            self._workspace = None
            raise
        self._server = server
        self._router = Router(self.url)
        self.faults.allow_stalls()
        self._thread = threading.Thread(target=server.serve, name="pixelmend-sandbox", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        server, thread = self._server, self._thread
        if server is None:
            return
        self.faults.end_stalls()
        server.stop()
        if thread is not None:
            thread.join()
        self._server = self._thread = self._router = None
        shutil.rmtree(self.workspace, ignore_errors=True)
        self._workspace = None

    def __enter__(self) -> "Service":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    # The next upload's reply names `files`, in this order, at the service's base address; they are
    # served from the service's own store, so that every download fault applies to them.
    def plant_results(self, files: Mapping[str, bytes]) -> None:
        request_id = uuid.uuid4().hex
        directory = self.workspace / "results" / request_id
        directory.mkdir()
        for name, content in files.items():
            (directory / name).write_bytes(content)
        path = f"{SERVICE_BASE}/results/{request_id}"
        self.faults.answer_next_post({"success": True, "filenames": list(files), "path": path, "message": ""})

    def received(self) -> list[RequestRecord]:
        return self.log.snapshot()

    def downloads_of(self, name: str) -> list[RequestRecord]:
        return self.log.downloads_of(name)

    # `via`: a Link in front of this service (or anything with the `url` of one), which the
    # service's base address is then routed through.
    def route(self, module: Optional[ModuleType] = None, via: Any = None) -> ContextManager[RequestsProxy]:
        if self._router is None:
            raise RuntimeError("the local service is not running")
        return routed(self._router if via is None else self._router.through(via.url), module)

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
