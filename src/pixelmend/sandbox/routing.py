from __future__ import annotations

import importlib
import ipaddress
import threading
from contextlib import contextmanager
from types import ModuleType
from typing import Any, Iterator, Optional
from urllib.parse import urlsplit, urlunsplit

import requests

SERVICE_BASE = "https://api.pixelmend.ai"
CLIENT_MODULE = "pixelmend.main"
_SERVICE_HOST = urlsplit(SERVICE_BASE).hostname
_MISSING = object()


class RefusedDestination(requests.exceptions.ConnectionError):
    pass


def is_loopback_host(host: Optional[str]) -> bool:
    if not host:
        return False
    if host.lower() in ("localhost", "localhost."):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def https_url(host: str, port: int) -> str:
    return f"https://[{host}]:{port}" if ":" in host else f"https://{host}:{port}"


def _is_service_base(url: str) -> bool:
    parts = urlsplit(url)
    return parts.scheme == "https" and parts.hostname == _SERVICE_HOST and parts.port in (None, 443)


class Router:
    def __init__(self, origin: str):
        self.origin = urlsplit(origin)
        self._seen: list[tuple[str, str]] = []
        self._lock = threading.Lock()

    def seen(self) -> list[tuple[str, str]]:
        with self._lock:
            return list(self._seen)

    def forget(self) -> None:
        with self._lock:
            self._seen.clear()

    # The same routing to another origin (a link in front of this one), recording what it sees here.
    def through(self, origin: str) -> "Router":
        other = Router(origin)
        other._seen, other._lock = self._seen, self._lock
        return other

    def destination(self, method: str, url: str) -> str:
        with self._lock:
            self._seen.append((method.upper(), url))
        if _is_service_base(url):
            parts = urlsplit(url)
            return urlunsplit((self.origin.scheme, self.origin.netloc, parts.path, parts.query, parts.fragment))
        self.ensure_loopback(url)
        return url

    def ensure_loopback(self, url: str) -> None:
        host = urlsplit(url).hostname
        if not is_loopback_host(host):
            raise RefusedDestination(
                f"refusing to send a request to {host!r}: the local service routing reaches loopback addresses only"
            )


class RoutedSession(requests.Session):
    def __init__(self, router: Router):
        super().__init__()
        self.trust_env = False
        self.router = router

    def request(self, method, url, *args, **kwargs):
        text_url = url.decode("utf-8") if isinstance(url, bytes) else str(url)
        return super().request(method, self.router.destination(method, text_url), *args, **kwargs)

    def send(self, request, **kwargs):
        self.router.ensure_loopback(request.url)
        return super().send(request, **kwargs)


class RequestsProxy:
    def __init__(self, router: Router, real: ModuleType = requests):
        self._router = router
        self._real = real

    def Session(self) -> RoutedSession:
        return RoutedSession(self._router)

    session = Session

    def request(self, method: str, url: str, **kwargs: Any) -> requests.Response:
        with self.Session() as routed_session:
            return routed_session.request(method, url, **kwargs)

    def get(self, url: str, params: Any = None, **kwargs: Any) -> requests.Response:
        return self.request("GET", url, params=params, **kwargs)

    def options(self, url: str, **kwargs: Any) -> requests.Response:
        return self.request("OPTIONS", url, **kwargs)

    def head(self, url: str, **kwargs: Any) -> requests.Response:
        kwargs.setdefault("allow_redirects", False)
        return self.request("HEAD", url, **kwargs)

    def post(self, url: str, data: Any = None, json: Any = None, **kwargs: Any) -> requests.Response:
        return self.request("POST", url, data=data, json=json, **kwargs)

    def put(self, url: str, data: Any = None, **kwargs: Any) -> requests.Response:
        return self.request("PUT", url, data=data, **kwargs)

    def patch(self, url: str, data: Any = None, **kwargs: Any) -> requests.Response:
        return self.request("PATCH", url, data=data, **kwargs)

    def delete(self, url: str, **kwargs: Any) -> requests.Response:
        return self.request("DELETE", url, **kwargs)

    def seen(self) -> list[tuple[str, str]]:
        return self._router.seen()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._real, name)


@contextmanager
def routed(router: Router, module: Optional[ModuleType] = None) -> Iterator[RequestsProxy]:
    target = module if module is not None else importlib.import_module(CLIENT_MODULE)
    original = getattr(target, "requests", _MISSING)
    proxy = RequestsProxy(router)
    setattr(target, "requests", proxy)
    try:
        yield proxy
    finally:
        if original is _MISSING:
            delattr(target, "requests")
        else:
            setattr(target, "requests", original)
