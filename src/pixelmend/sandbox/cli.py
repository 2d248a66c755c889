from __future__ import annotations

import importlib
import os
import sys
import warnings
from typing import Callable, Optional

from urllib3.exceptions import InsecureRequestWarning

from .certificate import UnsafeCertificateDirectory
from .context import running
from .faults import FaultPlan
from .routing import CLIENT_MODULE

# The command takes exactly the client's arguments, so its own settings come from the environment.
STALL_VARIABLE = "PIXELMEND_SANDBOX_STALL"
STALL_CHOICES = "post, result:NAME or result:NAME:BYTES"


# What the stall setting asks for, as a change to the fault plan; None for a value it does not take.
def stall_from(setting: str) -> Optional[Callable[[FaultPlan], None]]:
    if setting == "post":
        return lambda faults: faults.stall_next_post()
    kind, _, target = setting.partition(":")
    if kind != "result" or not target:
        return None
    name, _, after = target.rpartition(":")
    if name and after.isdigit():
        return lambda faults: faults.stall_download(name, int(after))
    return lambda faults: faults.stall_download(target)


def _serve_and_run_client() -> int:
    setting = os.environ.get(STALL_VARIABLE, "")
    stall = stall_from(setting) if setting else None
    if setting and stall is None:
        print(f"{STALL_VARIABLE} must be {STALL_CHOICES}, not {setting!r}", file=sys.stderr)
        return 2
    client = importlib.import_module(CLIENT_MODULE)
    from pixelmend._cli import exit_status

    with warnings.catch_warnings():
        # The local service uses a throwaway self-signed certificate that the client does not verify.
        warnings.simplefilter("ignore", InsecureRequestWarning)
        try:
            with running(module=client) as service:
                if stall is not None:
                    stall(service.faults)
                client.main()
        except UnsafeCertificateDirectory as refused:
            print(refused, file=sys.stderr)
            return 2
    return exit_status()


# The console script: Ctrl-C while the client waits for the service ends it with one line,
# not the traceback of wherever the client was waiting.
def run() -> int:
    from pixelmend._cli import interrupted, interrupts_kept

    with interrupts_kept():
        try:
            return _serve_and_run_client()
        except KeyboardInterrupt:
            return interrupted()
