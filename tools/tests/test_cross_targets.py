import re
from pathlib import Path

import pytest

from wheelbuild import linux, sources, target_python
from wheelbuild.common import BuildError

AARCH64 = linux.TARGETS["manylinux_2_17_aarch64"]
MUSL = linux.TARGETS["musllinux_1_2_x86_64"]
GLIBC_AARCH64 = ("AArch64", "/lib/ld-linux-aarch64.so.1")


def interpreter(place, configured_prefix, machine, multiarch, ext_suffix, version="3.13", with_headers=True):
    python = place / "bin" / f"python{version}"
    python.parent.mkdir(parents=True)
    python.write_bytes(b"\x7fELF")
    library = place / "lib" / f"python{version}"
    library.mkdir(parents=True)
    variables = {
        "prefix": configured_prefix,
        "INCLUDEPY": f"{configured_prefix}/include/python{version}",
        "EXT_SUFFIX": ext_suffix,
        "MULTIARCH": multiarch,
        "HOST_GNU_TYPE": f"{machine}-unknown-linux-gnu",
        "VERSION": version,
    }
    (library / f"_sysconfigdata__linux_{multiarch or machine}.py").write_text(f"# generated\nbuild_time_vars = {variables!r}\n")
    include = place / "include" / f"python{version}"
    include.mkdir(parents=True)
    if with_headers:
        (include / "Python.h").write_text("")
        (include / "pyconfig.h").write_text(f"#include <{multiarch}/python{version}/pyconfig.h>\n" if multiarch else "")
    if multiarch:
        (place / "include" / multiarch / f"python{version}").mkdir(parents=True)
        (place / "include" / multiarch / f"python{version}" / "pyconfig.h").write_text("#define SIZEOF_LONG 8\n")
    return python


def test_a_debian_root_interpreter_is_read_from_its_files(tmp_path, monkeypatch):
    monkeypatch.setattr(target_python, "program_interpreter", lambda path: GLIBC_AARCH64)
    python = interpreter(tmp_path / "root" / "usr", "/usr", "aarch64", "aarch64-linux-gnu", ".cpython-313-aarch64-linux-gnu.so")
    found = target_python.target_python(AARCH64, str(python))
    assert found.version == "3.13"
    assert found.include == tmp_path / "root" / "usr" / "include" / "python3.13"
    assert found.multiarch_pyconfig == tmp_path / "root" / "usr" / "include" / "aarch64-linux-gnu" / "python3.13"
    assert found.ext_suffix == ".cpython-313-aarch64-linux-gnu.so"


def test_a_moved_musl_installation_is_read_relative_to_where_it_is(tmp_path, monkeypatch):
    monkeypatch.setattr(target_python, "program_interpreter", lambda path: ("Advanced Micro Devices X86-64", "/lib/ld-musl-x86_64.so.1"))
    python = interpreter(tmp_path / "moved", "/opt/musl-python", "x86_64", "", ".cpython-313-x86_64-linux-musl.so")
    found = target_python.target_python(MUSL, str(python))
    assert found.include == tmp_path / "moved" / "include" / "python3.13"
    assert found.multiarch_pyconfig is None


@pytest.mark.parametrize(
    "target, machine_and_loader, refusal",
    [
        (AARCH64, ("Advanced Micro Devices X86-64", "/lib64/ld-linux-x86-64.so.2"), "not aarch64"),
        (AARCH64, ("AArch64", "/lib/ld-musl-aarch64.so.1"), "not a glibc one"),
        (MUSL, ("Advanced Micro Devices X86-64", "/lib64/ld-linux-x86-64.so.2"), "not a musl one"),
    ],
    ids=["host-python-for-aarch64", "musl-python-for-glibc", "glibc-python-for-musl"],
)
def test_an_interpreter_of_another_machine_or_libc_is_refused(tmp_path, monkeypatch, target, machine_and_loader, refusal):
    monkeypatch.setattr(target_python, "program_interpreter", lambda path: machine_and_loader)
    python = interpreter(tmp_path / "usr", "/usr", target.machine, "", ".so")
    with pytest.raises(BuildError, match=refusal):
        target_python.target_python(target, str(python))


def test_missing_development_headers_are_named(tmp_path, monkeypatch):
    monkeypatch.setattr(target_python, "program_interpreter", lambda path: GLIBC_AARCH64)
    python = interpreter(tmp_path / "usr", "/usr", "aarch64", "aarch64-linux-gnu", ".so", with_headers=False)
    with pytest.raises(BuildError, match="development headers"):
        target_python.target_python(AARCH64, str(python))


def test_a_version_names_the_interpreter_of_the_targets_own_root():
    assert str(target_python.default_location(AARCH64, "3.14")) == "/var/cache/pixelmend/roots/sid-arm64/usr/bin/python3.14"
    assert str(target_python.default_location(MUSL, "3.13")) == "/var/cache/pixelmend/musl-cpython-3.13/bin/python3.13"


@pytest.mark.parametrize("windows, layer, other", [(False, "platform_posix.cpp", "platform_windows.cpp"), (True, "platform_windows.cpp", "platform_posix.cpp")])
def test_each_platform_compiles_its_own_platform_layer(windows, layer, other):
    modules = sources.module_sources(windows=windows)
    assert set(modules) == {"main", "utils"}
    assert all(layer in {path.name for path in files} and other not in {path.name for path in files} for files in modules.values())



@pytest.mark.parametrize("windows", [False, True])
def test_every_quoted_include_resolves_from_the_compilers_include_directories(windows):
    flags = sources.compiler_include_flags("/system")
    search = [Path(flags[index + 1]) for index, flag in enumerate(flags) if flag == "-I"]
    pending = [path for files in sources.module_sources(windows=windows).values() for path in files]
    seen = set()
    while pending:
        source = pending.pop()
        seen.add(source)
        for name in re.findall(r'^#include "([^"]+)"', source.read_text(), re.MULTILINE):
            found = [directory / name for directory in (source.parent, *search) if (directory / name).is_file()]
            assert found, f"{source.name} includes {name}, which no include directory holds"
            pending += [found[0]] if found[0] not in seen else []

def test_two_targets_sharing_the_tools_keep_their_own_compiler_wrappers(tmp_path):
    environments = {tag: linux.compiler_environment(target, tmp_path, "/tools/python") for tag, target in linux.TARGETS.items()}
    assert len({environment["CXX"] for environment in environments.values()}) == len(linux.TARGETS)
    for tag, environment in environments.items():
        assert f"-target {linux.TARGETS[tag].zig} " in Path(environment["CXX"]).read_text()
