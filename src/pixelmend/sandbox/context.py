from __future__ import annotations

import os
from contextlib import contextmanager
from types import ModuleType
from typing import Iterable, Iterator, Optional

from .server import Service

BASE_ADDRESS_VARIABLE = "PIXELMEND_BASE_URL"


@contextmanager
def serve(
    accepted_keys: Optional[Iterable[str]] = None, host: str = "127.0.0.1", port: int = 0
) -> Iterator[Service]:
    with Service(host=host, port=port, accepted_keys=accepted_keys) as service:
        yield service


# The processes a pool starts with spawn or forkserver import the client afresh, with
# nothing routed: the service's address reaches them, and anything they start, only
# through the environment.
@contextmanager
def _named_as_base_address(url: str) -> Iterator[None]:
    before = os.environ.get(BASE_ADDRESS_VARIABLE)
    os.environ[BASE_ADDRESS_VARIABLE] = url
    try:
        yield
    finally:
        if before is None:
            os.environ.pop(BASE_ADDRESS_VARIABLE, None)
        else:
            os.environ[BASE_ADDRESS_VARIABLE] = before


@contextmanager
def running(
    accepted_keys: Optional[Iterable[str]] = None,
    host: str = "127.0.0.1",
    port: int = 0,
    module: Optional[ModuleType] = None,
) -> Iterator[Service]:
    with serve(accepted_keys, host, port) as service, service.route(module), _named_as_base_address(service.url):
        yield service
