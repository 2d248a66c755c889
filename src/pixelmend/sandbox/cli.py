from __future__ import annotations

import importlib
import warnings
from typing import Optional

from urllib3.exceptions import InsecureRequestWarning

from .context import running
from .routing import CLIENT_MODULE


def run() -> Optional[int]:
    client = importlib.import_module(CLIENT_MODULE)
    with warnings.catch_warnings():
        # The local service uses a throwaway self-signed certificate that the client does not verify.
        warnings.simplefilter("ignore", InsecureRequestWarning)
        with running(module=client):
            outcome = client.main()
    return outcome if isinstance(outcome, int) else None
