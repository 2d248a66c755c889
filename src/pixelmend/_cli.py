import importlib.machinery
import importlib.util

from . import main as _client


def _load_exit_status():
    # The outcome is kept by the compiled library of pixelmend.main, which
    # also holds this small second module; loading it from that file shares
    # the library's state without adding a name to pixelmend.main.
    loader = importlib.machinery.ExtensionFileLoader(__package__ + "._exit_status", _client.__file__)
    spec = importlib.util.spec_from_loader(loader.name, loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


_exit_status = _load_exit_status()


# The exit status earned by the last call of pixelmend.main.main(): 0 when
# it did its work, 1 when it printed why it did not.
def exit_status() -> int:
    return _exit_status.last()


# The `pixelmend` console script.
def run() -> int:
    _client.main()
    return exit_status()
