import contextvars
import sys
from typing import Any

from . import main as _client

# Kept per context, as main() keeps it: a call on another thread, greenlet
# or task never decides the status of this one.
_last: "contextvars.ContextVar[int]" = contextvars.ContextVar("pixelmend_exit_status", default=0)


# pixelmend.main.main() announces the exit status it has earned with an
# audit event in the context that called it, on every way out, an exception
# included; this keeps the compiled module's namespace as it is.
def _record_exit_status(event: str, args: tuple[Any, ...]) -> None:
    if event == "pixelmend.main.exit_status":
        _last.set(args[0])


sys.addaudithook(_record_exit_status)


# The exit status earned by the last call of pixelmend.main.main() in this
# context: 0 when it did its work, 1 (or argparse's status) when it did not.
def exit_status() -> int:
    return _last.get()


# Ctrl-C ends a command as a shell expects (status 130, 128 plus SIGINT's
# number) with one line instead of a traceback. On a terminal the cursor may
# stand after a prompt, a progress bar or the echoed ^C, so the line starts
# on a line of its own.
def interrupted() -> int:
    stream = sys.stderr
    if stream is not None:
        start = "\n" if stream.isatty() else ""
        stream.write(f"{start}Interrupted\n")
        stream.flush()
    return 130


# The `pixelmend` console script.
def run() -> int:
    try:
        _client.main()
    except KeyboardInterrupt:
        return interrupted()
    return exit_status()
