import importlib.machinery
import types

from . import main as _client


def _load_exit_status() -> types.ModuleType:
    # The outcome is kept by the compiled library of pixelmend.main, which
    # also holds this small second module; loading it from that file shares
    # the library's state without adding a name to pixelmend.main.
    name = __package__ + "._exit_status"
    loader = importlib.machinery.ExtensionFileLoader(name, _client.__file__)
    module = loader.create_module(importlib.machinery.ModuleSpec(name, loader, origin=_client.__file__))
    loader.exec_module(module)
    return module


_exit_status = _load_exit_status()


# The exit status earned by the last call of pixelmend.main.main(): 0 when
# it did its work, 1 when it printed why it did not.
def exit_status() -> int:
    return int(_exit_status.last())


# The `pixelmend` console script.
def run() -> int:
    _client.main()
    return exit_status()
