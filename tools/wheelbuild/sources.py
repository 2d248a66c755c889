"""The sources of each extension module, as CMakeLists.txt lists them for a platform."""

import re

from .common import ROOT, BuildError

NATIVE = ROOT / "src" / "native"


# The sources include each other by layer ("capi/interned.hpp"), from
# src/native, as CMakeLists.txt's include directory has them do.
def compiler_include_flags(*system_dirs):
    return ["-I", str(NATIVE), *(flag for directory in system_dirs for flag in ("-isystem", str(directory)))]


def cmake_command_arguments(text, command):
    return [body.split() for body in re.findall(rf"^\s*{command}\(([^)]*)\)", text, re.MULTILINE)]


def module_sources(windows, cmake_lists=ROOT / "CMakeLists.txt"):
    text = cmake_lists.read_text()
    branches = re.search(r"^if\(WIN32\)\n(.*?)^else\(\)\n(.*?)^endif\(\)", text, re.MULTILINE | re.DOTALL)
    variables = {}
    for arguments in cmake_command_arguments(text, "set"):
        variables.setdefault(arguments[0], arguments[1:])
    if branches:
        for arguments in cmake_command_arguments(branches.group(1 if windows else 2), "set"):
            variables[arguments[0]] = arguments[1:]
    modules = {}
    for target, output_name, *sources in cmake_command_arguments(text, "pixelmend_module"):
        expanded = []
        for source in sources:
            reference = re.fullmatch(r"\$\{(\w+)\}", source)
            expanded += variables.get(reference.group(1), []) if reference else [source]
        files = [ROOT / source for source in expanded if source.endswith(".cpp")]
        if not files or any(not path.is_file() for path in files):
            raise BuildError(f"CMakeLists.txt: the sources of {target} read as {expanded}")
        modules[output_name] = files
    layer = "platform_windows.cpp" if windows else "platform_posix.cpp"
    if set(modules) != {"main", "utils"} or not all(any(path.name == layer for path in files) for files in modules.values()):
        raise BuildError(f"CMakeLists.txt: expected the modules main and utils with the platform layer {layer}, read {modules}")
    return modules
