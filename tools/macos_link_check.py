"""Inspects the macOS modules that tools/check_macos_compile links with Zig.

    python tools/macos_link_check.py targets
    python tools/macos_link_check.py inspect ARCH MODULE_FILE...

`targets` prints, per architecture, the Zig target at the deployment target
that the hosted workflow builds for ([tool.cibuildwheel] in pyproject.toml).
`inspect` reads each module and fails unless it is a dylib of that
architecture, its minimum macOS is that deployment target, it links only
libSystem (libc++ is linked in), and it exports its PyInit_ function and
nothing else beyond what Zig's Mach-O linker cannot hide.
"""

import sys
from pathlib import Path

from macho import MachOError, read_macho

ROOT = Path(__file__).resolve().parents[1]
ZIG_ARCHITECTURES = {"arm64": "aarch64", "x86_64": "x86_64"}
MH_DYLIB = 6
ALLOWED_DYLIBS = {"/usr/lib/libSystem.B.dylib"}


def operator_manglings():
    news = [f"__Zn{kind}m{align}{nothrow}" for kind in "wa" for align in ("", "St11align_val_t")
            for nothrow in ("", "RKSt9nothrow_t")]
    deletes = [f"__Zd{kind}Pv{size}{align}" for kind in "la" for size in ("", "m") for align in ("", "St11align_val_t")]
    deletes += [f"__Zd{kind}Pv{align}RKSt9nothrow_t" for kind in "la" for align in ("", "St11align_val_t")]
    return set(news + deletes)


# Zig's Mach-O linker exports libc++'s replaceable operator new and delete
# (weak definitions) and two symbols of its own, whatever the visibility of
# the code; nothing else may appear beside PyInit_.
LINKER_SYMBOLS = {"__mh_dylib_header", "___dso_handle"}
UNHIDDEN_EXPORTS = operator_manglings() | LINKER_SYMBOLS


def deployment_targets(pyproject=ROOT / "pyproject.toml"):
    import tomllib

    settings = tomllib.loads(pyproject.read_text())["tool"]["cibuildwheel"]
    default = settings["macos"]["environment"]["MACOSX_DEPLOYMENT_TARGET"]
    targets = dict.fromkeys(ZIG_ARCHITECTURES, default)
    for override in settings.get("overrides", []):
        chosen = override.get("environment", {}).get("MACOSX_DEPLOYMENT_TARGET")
        for architecture in ZIG_ARCHITECTURES:
            if chosen and override["select"] in (f"*-macosx_{architecture}", f"*macosx_{architecture}"):
                targets[architecture] = chosen
    return targets


def version_tuple(text):
    parts = [int(part) for part in text.split(".")]
    while len(parts) > 2 and parts[-1] == 0:
        parts.pop()
    return tuple(parts)


def module_problems(path, architecture, minimum_macos):
    try:
        found = read_macho(path.read_bytes())
    except (MachOError, OSError) as error:
        return [f"{path.name}: {error}"]
    name = path.name.split(".", 1)[0]
    problems = []
    if found.filetype != MH_DYLIB:
        problems.append(f"{path.name} is Mach-O file type {found.filetype}, not a dylib")
    if found.architecture != architecture:
        problems.append(f"{path.name} is {found.architecture}, not {architecture}")
    if not found.minimum_macos or version_tuple(found.minimum_macos) != version_tuple(minimum_macos):
        problems.append(f"{path.name} needs macOS {found.minimum_macos or '(unstated)'}, not {minimum_macos}")
    foreign = [dylib for dylib in found.dylibs if dylib not in ALLOWED_DYLIBS]
    if foreign or not found.dylibs:
        problems.append(f"{path.name} links {found.dylibs}, not only {sorted(ALLOWED_DYLIBS)}")
    expected = f"_PyInit_{name}"
    if expected not in found.exports:
        problems.append(f"{path.name} does not export {expected}")
    extra = sorted(found.exports - UNHIDDEN_EXPORTS - {expected})
    if extra:
        problems.append(f"{path.name} exports {extra} beyond {expected} and what Zig cannot hide")
    return problems


def summary(path):
    found = read_macho(path.read_bytes())
    beside = sorted(found.exports & UNHIDDEN_EXPORTS)
    return (f"{path.name}: {found.architecture}, macOS {found.minimum_macos}, {path.stat().st_size / 1024:.0f} KiB, "
            f"links {', '.join(found.dylibs)}, exports _PyInit_{path.name.split('.', 1)[0]} "
            f"and {len(beside)} that Zig cannot hide")


def main(arguments):
    if arguments[:1] == ["targets"]:
        for architecture, version in deployment_targets().items():
            print(architecture, f"{ZIG_ARCHITECTURES[architecture]}-macos.{version}", version)
        return 0
    if len(arguments) >= 3 and arguments[0] == "inspect":
        architecture, modules = arguments[1], [Path(module) for module in arguments[2:]]
        minimum = deployment_targets()[architecture]
        problems = [problem for module in modules for problem in module_problems(module, architecture, minimum)]
        for problem in problems:
            print(f"FAILED {problem}")
        if not problems:
            for module in modules:
                print(summary(module))
        return 1 if problems else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
