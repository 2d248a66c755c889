from __future__ import annotations

import importlib
import warnings

from urllib3.exceptions import InsecureRequestWarning

from .context import running
from .routing import CLIENT_MODULE


def run() -> int:
    client = importlib.import_module(CLIENT_MODULE)
    from pixelmend._cli import exit_status

    with warnings.catch_warnings():
        # The local service uses a throwaway self-signed certificate that the client does not verify.
        warnings.simplefilter("ignore", InsecureRequestWarning)
        with running(module=client):
            client.main()
    return exit_status()
