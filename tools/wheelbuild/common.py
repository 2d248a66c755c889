"""What every target family shares: the project's place, the size limit, running commands, finding CPythons."""

import glob
import re
import shutil
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
MAX_WHEEL_BYTES = 3 * 1024 * 1024 // 2
CACHE = Path("/var/cache/pixelmend")
PYENV_VERSIONS = Path("/root/.pyenv/versions")


class BuildError(Exception):
    pass


def run(command, **options):
    completed = subprocess.run([str(part) for part in command], text=True, capture_output=True, **options)
    if completed.returncode != 0:
        raise BuildError(f"{' '.join(map(str, command))} failed ({completed.returncode}):\n{completed.stdout}{completed.stderr}")
    return completed.stdout


# Final releases only: a free-threaded (3.13.1t), candidate or development
# build of the same minor is another interpreter.
def newest_pyenv_python(minor):
    found = glob.glob(f"{PYENV_VERSIONS}/3.{minor}.*/bin/python3")
    found = [path for path in found if re.fullmatch(rf"3\.{minor}\.\d+", Path(path).parents[1].name)]
    return max(found, key=lambda path: [int(n) for n in Path(path).parents[1].name.split(".")], default=None)


# This machine's newest CPython 3.X: pyenv's, else python3.X on PATH. The CI
# scripts ask the same through tools/host_python.py.
def find_python(version):
    minor = int(version.split(".")[1])
    return newest_pyenv_python(minor) or shutil.which(f"python3.{minor}")


# "3.13", or "3.13t" for a free-threaded build, whose extension modules have
# their own ABI (cp313t).
def python_version(python):
    asked = "import sys, sysconfig; print('%d.%d' % sys.version_info[:2] + ('t' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''))"
    return run([python, "-c", asked]).strip()
