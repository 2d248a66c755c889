"""Install a pixelmend wheel with no compiler at hand and run a pytest selection against it.

    PYTHON .ci/test_wheel.py --wheel WHEEL --venv DIR [--find-links DIR | --dependencies DIR] [--upgrade-pip] [-- PYTEST ARGUMENTS]

Run by the interpreter under test (the host's, a Debian root's, one under
qemu-user, a musl one), so that the same steps serve each: refuse to go on if
a C or C++ compiler is on PATH, make a fresh virtual environment with that
interpreter, install the wheel with its test extra, check that both
extension modules are the wheel's own files, then run pytest from the source
tree (the tests, never the sources, are imported from there). Exits with
pytest's status; a selection that runs no test fails.

With --dependencies, the wheel's dependencies are already installed in DIR
(by a pip that ran elsewhere, faster than this interpreter: the host's, for
one under emulation); the environment is pointed at DIR and only the wheel
itself is installed into it.

With --leave-out NAME, the test extra (as pyproject.toml lists it) is
installed without NAME, for an interpreter that NAME has no wheel for; the
tests that need it skip.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
import venv
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++", "cpp", "zig", "tcc", "musl-gcc")

FROM_THE_WHEEL = """
import pathlib, sys
from importlib.metadata import distribution
import pixelmend.main, pixelmend.utils.utils
installed = distribution("pixelmend")
recorded = {pathlib.Path(installed.locate_file(f)).resolve() for f in installed.files}
for module in (pixelmend.main, pixelmend.utils.utils):
    if pathlib.Path(module.__file__).resolve() not in recorded:
        sys.exit(f"{module.__name__} comes from {module.__file__}, not from the installed wheel")
python, abi, platform = sys.argv[1][: -len(".whl")].split("-")[-3:]
expected = {f"{p}-{a}-{q}" for p in python.split(".") for a in abi.split(".") for q in platform.split(".")}
tags = {line.split(":", 1)[1].strip() for line in (installed.read_text("WHEEL") or "").splitlines() if line.startswith("Tag:")}
if tags != expected:
    sys.exit(f"the installed pixelmend is tagged {sorted(tags)}, not as the wheel {sys.argv[1]}")
print(f"   {pixelmend.main.__file__}")
"""


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--wheel", required=True, type=Path)
    parser.add_argument("--venv", required=True, type=Path, help="the virtual environment to make (replaced if it exists)")
    sources = parser.add_mutually_exclusive_group()
    sources.add_argument("--find-links", type=Path, help="a directory of wheels pip may also take from")
    sources.add_argument("--dependencies", type=Path, help="a directory where the wheel's dependencies are installed")
    parser.add_argument("--upgrade-pip", action="store_true", help="upgrade pip in the new environment first")
    parser.add_argument("--leave-out", action="append", default=[], metavar="NAME", help="a test dependency not to install; repeatable")
    parser.add_argument("pytest", nargs=argparse.REMAINDER, help="arguments for pytest, after --")
    arguments = parser.parse_args()
    if arguments.pytest[:1] == ["--"]:
        arguments.pytest = arguments.pytest[1:]
    return arguments


def compilers_on_path():
    return [found for found in map(shutil.which, COMPILERS) if found]


def environment_python(directory):
    return directory / ("Scripts/python.exe" if os.name == "nt" else "bin/python")


def step(command, **options):
    completed = subprocess.run([str(part) for part in command], **options)
    if completed.returncode != 0:
        sys.exit(f"{' '.join(map(str, command))} exited {completed.returncode}")


# The pip wheel that ensurepip would install: CPython's own, or the one a
# distribution keeps in its wheel directory (Debian's /usr/share/python-wheels).
def bundled_pip_wheel():
    import ensurepip

    places = [Path(ensurepip.__file__).parent / "_bundled", getattr(ensurepip, "_WHEEL_PKG_DIR", None)]
    found = sorted(path for place in places if place for path in Path(place).glob("pip-*.whl"))
    return found[-1] if found else None


# Installing pip into the environment byte-compiles it, minutes under
# emulation; pip runs as well straight from its wheel, which only installs.
def environment_with_pip(arguments):
    wheel = None if arguments.upgrade_pip else bundled_pip_wheel()
    venv.EnvBuilder(with_pip=wheel is None, clear=True).create(arguments.venv)
    python = environment_python(arguments.venv)
    if wheel is None:
        if arguments.upgrade_pip:
            step([python, "-m", "pip", "install", "--quiet", "--upgrade", "pip"])
        return [python, "-m", "pip"]
    return [python, wheel / "pip"]


# A path file makes the directory part of the environment's sys.path, after
# its own site-packages, where the wheel goes. The environment's interpreter
# names that directory itself: distributions patch the default layouts.
def use_installed_dependencies(arguments, python):
    asked = [str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"]
    site_packages = subprocess.run(asked, capture_output=True, text=True, check=True).stdout.strip()
    Path(site_packages, "pixelmend-test-dependencies.pth").write_text(f"{arguments.dependencies.resolve()}\n")
    return ["--no-deps", "--no-index", str(arguments.wheel.resolve())]


def requirement_name(requirement):
    return re.sub(r"[-_.]+", "-", re.match(r"\s*([A-Za-z0-9][A-Za-z0-9._-]*)", requirement).group(1)).lower()


# The requirements keep their own markers, which pip evaluates; a name left
# out that the extra does not hold is a mistake, not a no-op.
def wheel_with_test_dependencies(wheel, leave_out):
    if not leave_out:
        return [f"{wheel}[test]"]
    import tomllib

    with open(ROOT / "pyproject.toml", "rb") as pyproject:
        test = tomllib.load(pyproject)["project"]["optional-dependencies"]["test"]
    left_out = {requirement_name(name) for name in leave_out}
    unknown = left_out - {requirement_name(r) for r in test}
    if unknown:
        sys.exit(f"the test extra holds no {', '.join(sorted(unknown))} to leave out")
    print(f"   leaving out {', '.join(sorted(left_out))}", flush=True)
    return [str(wheel), *(r for r in test if requirement_name(r) not in left_out)]


def install(arguments):
    pip = environment_with_pip(arguments)
    python = environment_python(arguments.venv)
    if arguments.dependencies:
        wanted = use_installed_dependencies(arguments, python)
    else:
        links = ["--find-links", arguments.find_links] if arguments.find_links else []
        wanted = [*links, *wheel_with_test_dependencies(arguments.wheel.resolve(), arguments.leave_out)]
    # Byte-compiling every installed module is slow under emulation; the
    # tests compile only what they import.
    step([*pip, "install", "--quiet", "--no-compile", "--only-binary", "pixelmend", *wanted])
    return python


def main():
    arguments = parse_arguments()
    version = "%d.%d" % sys.version_info[:2] + getattr(sys, "abiflags", "")
    found = compilers_on_path()
    if found:
        sys.exit(f"a compiler is on PATH: {', '.join(found)}")
    print(f"== Python {version} ({sys.executable}): installing {arguments.wheel.name}, no compiler on PATH", flush=True)
    started = time.monotonic()
    python = install(arguments)
    step([python, "-c", FROM_THE_WHEEL, arguments.wheel.name], cwd=arguments.venv)
    installed = time.monotonic()
    print(f"== Python {version}: installed in {installed - started:.0f} s; pytest {' '.join(arguments.pytest)}", flush=True)
    status = subprocess.run([str(python), "-m", "pytest", "-p", "no:cacheprovider", *arguments.pytest], cwd=ROOT).returncode
    print(f"== Python {version}: pytest exited {status} after {time.monotonic() - installed:.0f} s", flush=True)
    # pytest's 5, nothing ran, stays a failure: a selection that matches nothing is a fault.
    sys.exit(status)


if __name__ == "__main__":
    main()
