import importlib.util
import shutil
import sys
import sysconfig
from importlib.metadata import PackageNotFoundError, distribution
from pathlib import Path

import pytest

# The installed modules are checked as the wheel builder checks them before
# it keeps a wheel, and it builds Linux wheels only (its module for them
# needs venv, which an embeddable CPython lacks).
if not sys.platform.startswith("linux"):
    pytest.skip("the wheel builder checks Linux wheels only", allow_module_level=True)

TOOLS = Path(__file__).resolve().parents[1] / "tools"
sys.path.insert(0, str(TOOLS))
try:
    from wheelbuild import linux
finally:
    sys.path.remove(str(TOOLS))


def installed_wheel_target():
    try:
        tags = distribution("pixelmend").read_text("WHEEL") or ""
    except PackageNotFoundError:
        return None
    return next((target for tag, target in linux.TARGETS.items() if tag in tags), None)


@pytest.mark.skipif(installed_wheel_target() is None, reason="pixelmend was not installed from a Linux wheel")
@pytest.mark.skipif(shutil.which("nm") is None or shutil.which("readelf") is None, reason="binutils is not installed")
@pytest.mark.parametrize("module_name", ["pixelmend.main", "pixelmend.utils.utils"])
def test_installed_wheel_module_is_for_this_interpreter_exports_only_its_init_and_needs_only_its_libc(tmp_path, module_name):
    module = Path(importlib.util.find_spec(module_name).origin)
    abi = "cp%d%d" % sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
    assert linux.module_problems(module.name, module.read_bytes(), tmp_path, installed_wheel_target(), abi) == []
