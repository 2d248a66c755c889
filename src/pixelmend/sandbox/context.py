from __future__ import annotations

from contextlib import contextmanager
from types import ModuleType
from typing import Iterable, Iterator, Optional

from .server import Service


@contextmanager
def serve(
    accepted_keys: Optional[Iterable[str]] = None, host: str = "127.0.0.1", port: int = 0
) -> Iterator[Service]:
    with Service(host=host, port=port, accepted_keys=accepted_keys) as service:
        yield service


@contextmanager
def running(
    accepted_keys: Optional[Iterable[str]] = None,
    host: str = "127.0.0.1",
    port: int = 0,
    module: Optional[ModuleType] = None,
) -> Iterator[Service]:
    with serve(accepted_keys, host, port) as service, service.route(module):
        yield service
