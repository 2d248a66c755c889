"""A CPython for another machine or libc, described from its files alone: it cannot run here.

Given the interpreter's path (inside a root file system of the target, or an
installation prefix), its machine and libc come from the ELF program itself,
and its headers and extension suffix from its sysconfig data file, read as
data. Its pyconfig.h is the target's own: the host's declares features the
target may lack.
"""

import ast
import re
from dataclasses import dataclass
from pathlib import Path

from .common import CACHE, BuildError, run

# Where .ci/sid_root and .ci/musl_cpython keep the interpreters a version
# number names.
ROOTS = {"aarch64": "sid-arm64", "x86_64": "sid-amd64"}
NEWEST_MINOR = 30


@dataclass(frozen=True)
class TargetPython:
    path: Path
    version: str
    include: Path
    ext_suffix: str
    multiarch: str
    multiarch_pyconfig: Path


def default_location(target, version):
    if target.libc == "musl":
        return CACHE / f"musl-cpython-{version}" / "bin" / f"python{version}"
    return CACHE / "roots" / ROOTS[target.machine] / "usr" / "bin" / f"python{version}"


def default_pythons(target):
    found = [str(default_location(target, f"3.{minor}")) for minor in range(9, NEWEST_MINOR)]
    found = [path for path in found if Path(path).is_file()]
    if not found:
        raise BuildError(f"no CPython for {target.tag} found where {default_location(target, '3.X')} would be")
    return found


def program_interpreter(path):
    headers = run(["readelf", "-h", "-l", "-W", path])
    machine = re.search(r"Machine:\s+(.*)", headers)
    loader = re.search(r"\[Requesting program interpreter: ([^\]]+)\]", headers)
    return (machine.group(1).strip() if machine else ""), (loader.group(1) if loader else "")


def check_machine_and_libc(target, path):
    machine, loader = program_interpreter(path)
    wanted = {"x86_64": "X86-64", "aarch64": "AArch64"}[target.machine]
    if wanted not in machine:
        raise BuildError(f"{path} is built for {machine or 'an unknown machine'}, not {target.machine}")
    is_musl = "ld-musl-" in loader
    if is_musl != (target.libc == "musl"):
        raise BuildError(f"{path} loads with {loader or 'no loader'}, not a {target.libc} one")


def sysconfig_data(prefix, version, target):
    candidates = sorted((prefix / "lib" / f"python{version}").glob("_sysconfigdata_*.py"))
    for candidate in candidates:
        tree = ast.parse(candidate.read_text(), str(candidate))
        for statement in tree.body:
            if isinstance(statement, ast.Assign) and [t.id for t in statement.targets if isinstance(t, ast.Name)] == ["build_time_vars"]:
                variables = ast.literal_eval(statement.value)
                if target.machine in variables.get("HOST_GNU_TYPE", "") + variables.get("MULTIARCH", ""):
                    return variables
    raise BuildError(f"no sysconfig data for {target.machine} among {[c.name for c in candidates]} in {prefix / 'lib' / f'python{version}'}")


def located(prefix, configured_prefix, configured_path):
    # The interpreter's paths are as configured; it sits in a root file
    # system or was moved, so they are taken relative to its own prefix.
    try:
        return prefix / Path(configured_path).relative_to(configured_prefix)
    except ValueError:
        raise BuildError(f"{configured_path} lies outside the interpreter's prefix {configured_prefix}") from None


def target_python(target, python):
    path = Path(python) if "/" in python else default_location(target, python)
    match = re.fullmatch(r"python(3\.\d+)", path.name)
    if not match:
        raise BuildError(f"{path}: name the interpreter itself, python3.X")
    if path.is_symlink() or not path.is_file():
        raise BuildError(f"{path} is not the interpreter's own file (a link, or missing)")
    check_machine_and_libc(target, path)
    version = match.group(1)
    prefix = path.parent.parent
    variables = sysconfig_data(prefix, version, target)
    if variables.get("VERSION") != version:
        raise BuildError(f"{path}'s sysconfig data is for Python {variables.get('VERSION')}")
    include = located(prefix, variables["prefix"], variables["INCLUDEPY"])
    multiarch = variables.get("MULTIARCH") or ""
    multiarch_pyconfig = include.parent / multiarch / include.name if multiarch else None
    if multiarch_pyconfig and not (multiarch_pyconfig / "pyconfig.h").is_file():
        multiarch_pyconfig = None
    if not (include / "Python.h").is_file() or not (include / "pyconfig.h").is_file():
        raise BuildError(f"{include} lacks Python.h or pyconfig.h: install the interpreter's development headers")
    return TargetPython(path, version, include, variables["EXT_SUFFIX"], multiarch, multiarch_pyconfig)
