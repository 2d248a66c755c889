import sys
from typing import Any

from . import main as _client

_last_status = 0


# pixelmend.main.main() announces the exit status it has earned with an
# audit event, which keeps the compiled module's namespace as it is.
def _record_exit_status(event: str, args: tuple[Any, ...]) -> None:
    global _last_status
    if event == "pixelmend.main.exit_status":
        _last_status = args[0]


sys.addaudithook(_record_exit_status)


# The exit status earned by the last call of pixelmend.main.main(): 0 when
# it did its work, 1 when it printed why it did not.
def exit_status() -> int:
    return _last_status


# The `pixelmend` console script.
def run() -> int:
    _client.main()
    return exit_status()
