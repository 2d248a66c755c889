import _thread
import contextlib
import contextvars
import signal
import sys
import threading
from typing import Any, Iterator

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


# Sent as Ctrl-C sends it, so that a blocking call on the main thread wakes.
def _interrupt(main_thread: int) -> None:
    if hasattr(signal, "pthread_kill"):
        signal.pthread_kill(main_thread, signal.SIGINT)
    else:
        _thread.interrupt_main()


# A Ctrl-C that lands while a finalizer runs (the garbage collector closing a
# socket, say) is printed as "Exception ignored" and lost, and the command
# would go on waiting for a reply that may never come. While a console
# script runs, such an interrupt is sent to the main thread again, from
# another thread: raised in this hook, it would be lost in the hook. Should
# it land in a finalizer again, it comes back here. Ctrl-C interrupts only
# the main thread, so only a run there swaps the process's hook, and runs
# nest there in order.
@contextlib.contextmanager
def interrupts_kept() -> Iterator[None]:
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = sys.unraisablehook
    main_thread = threading.get_ident()

    def hand_back(unraisable: Any) -> None:
        if unraisable.exc_type is not None and issubclass(unraisable.exc_type, KeyboardInterrupt):
            _thread.start_new_thread(_interrupt, (main_thread,))
        else:
            previous(unraisable)

    sys.unraisablehook = hand_back
    try:
        yield
    finally:
        sys.unraisablehook = previous


# The `pixelmend` console script.
def run() -> int:
    with interrupts_kept():
        try:
            _client.main()
        except KeyboardInterrupt:
            return interrupted()
    return exit_status()
