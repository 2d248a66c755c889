"""Both extension modules compiled and linked by Zig for a Linux target, against given headers."""

import concurrent.futures

from .common import run
from .sources import compiler_include_flags, module_sources

CXX_FLAGS = ("-std=c++20", "-O3", "-DNDEBUG", "-fPIC", "-fvisibility=hidden", "-fvisibility-inlines-hidden", "-Wall", "-Wextra")


# As in the CMake build, each module is one translation unit: pybind11's
# headers, compiled once per module instead of once per source, are most of
# the time.
def unity_source(name, sources, scratch):
    path = scratch / f"{name}-unity.cpp"
    path.write_text("".join(f'#include "{source}"\n' for source in sources))
    return path


# Each module's unit, compiled by compile_unit(path), the two side by side.
def compiled_units(modules, scratch, compile_unit):
    units = {name: unity_source(name, sources, scratch) for name, sources in modules.items()}
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(units)) as pool:
        return dict(zip(units, pool.map(compile_unit, units.values())))


def compile_module(zig_python, zig_target, include_flags, source):
    output = source.with_suffix(".o")
    run([zig_python, "-m", "ziglang", "c++", "-target", zig_target, *CXX_FLAGS, *include_flags, "-c", source, "-o", output])
    return output


# The sources' own directory, then the target's headers and the tools'
# pybind11, for Linux and Windows builds alike.
def include_flags(zig_python, *header_dirs):
    pybind11_include = run([zig_python, "-c", "import pybind11; print(pybind11.get_include())"]).strip()
    return compiler_include_flags(*header_dirs, pybind11_include)


def build_modules(zig_python, zig_target, header_dirs, ext_suffix, exports, scratch):
    flags = include_flags(zig_python, *header_dirs)
    objects = compiled_units(module_sources(windows=False), scratch,
                             lambda unit: compile_module(zig_python, zig_target, flags, unit))
    built = {}
    for name, compiled in objects.items():
        module = scratch / f"{name}{ext_suffix}"
        run([zig_python, "-m", "ziglang", "c++", "-target", zig_target, "-shared", "-s", f"-Wl,--version-script={exports}",
             "-o", module, compiled])
        built[name] = module
    return built
