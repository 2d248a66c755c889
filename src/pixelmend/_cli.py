import sys
import threading
from typing import Any

from . import main as _client

# Per thread, as main() keeps it: a call on another thread never decides the
# status of this one.
_last = threading.local()


# pixelmend.main.main() announces the exit status it has earned with an
# audit event on the thread that called it, which keeps the compiled
# module's namespace as it is.
def _record_exit_status(event: str, args: tuple[Any, ...]) -> None:
    if event == "pixelmend.main.exit_status":
        _last.status = args[0]


sys.addaudithook(_record_exit_status)


# The exit status earned by this thread's last call of
# pixelmend.main.main(): 0 when it did its work, 1 when it printed why it
# did not.
def exit_status() -> int:
    return getattr(_last, "status", 0)


# The `pixelmend` console script.
def run() -> int:
    _client.main()
    return exit_status()
