import sys
import zipfile

import pytest

from wheelbuild import linux

DEFAULT = linux.TARGETS["manylinux_2_17_x86_64"]

GOOD_NAME = "pixelmend-0.1.0-cp311-cp311-manylinux_2_17_x86_64.manylinux2014_x86_64.whl"
PACKAGE = ["pixelmend/__init__.py", "pixelmend/main.pyi", "pixelmend-0.1.0.dist-info/RECORD"]


def make_wheel(directory, members, name=GOOD_NAME, padding=0):
    wheel = directory / name
    with zipfile.ZipFile(wheel, "w", compression=zipfile.ZIP_STORED) as archive:
        for member in members:
            archive.writestr(member, b"x")
        if padding:
            archive.writestr("pixelmend/padding.bin", bytes(padding))
    return wheel


def problems_without_modules(wheel):
    return [p for p in linux.wheel_problems(wheel) if "expected main and utils" not in p]


def test_package_members_pass(tmp_path):
    assert problems_without_modules(make_wheel(tmp_path, PACKAGE)) == []


@pytest.mark.parametrize(
    "stray",
    [
        "tests/test_cli.py",
        "pixelmend/tests/test_cli.py",
        "pixelmend/__pycache__/main.cpython-311.pyc",
        "pixelmend/CMakeFiles/main.dir/client.cpp.o",
        "pixelmend/libhelper.a",
        "CMakeCache.txt",
        "pixelmend/build/CMakeCache.txt",
        "src/native/client.cpp",
        "pixelmend.libs/libc++.so.1",
    ],
)
def test_leftovers_and_foreign_files_are_refused(tmp_path, stray):
    problems = problems_without_modules(make_wheel(tmp_path, [*PACKAGE, stray]))
    assert problems == [f"{GOOD_NAME} holds {stray}"]


def test_oversized_wheel_is_refused(tmp_path):
    wheel = make_wheel(tmp_path, PACKAGE, padding=linux.MAX_WHEEL_BYTES)
    assert any("over" in p for p in problems_without_modules(wheel))


def test_wheel_without_manylinux_tag_is_refused(tmp_path):
    wheel = make_wheel(tmp_path, PACKAGE, name="pixelmend-0.1.0-cp311-cp311-linux_x86_64.whl")
    assert problems_without_modules(wheel) == [f"{wheel.name} is not tagged {DEFAULT.tag}"]


@pytest.mark.parametrize(
    "name, abi",
    [
        (GOOD_NAME, "cp311"),
        ("pixelmend-0.1.0-cp313-cp313t-manylinux_2_17_x86_64.whl", "cp313t"),
        ("pixelmend-0.1.0-py3-none-manylinux_2_17_x86_64.whl", None),
        ("pixelmend-0.1.0-cp313-cp313t-extra-manylinux_2_17_x86_64.whl", None),
    ],
)
def test_the_abi_is_read_from_the_wheel_name(name, abi):
    assert linux.wheel_abi(name) == abi


def test_a_wheel_naming_no_cpython_abi_is_refused(tmp_path):
    wheel = make_wheel(tmp_path, PACKAGE, name="pixelmend-0.1.0-py3-none-manylinux_2_17_x86_64.whl")
    assert problems_without_modules(wheel) == [f"{wheel.name} names no CPython ABI (cp3X or cp3Xt)"]


FREE_THREADED_REFCOUNT = {"_Py_DecRefShared", "_Py_MergeZeroLocalRefcount", "PyObject_GetAttr"}
REFCOUNT = {"_Py_Dealloc", "PyObject_GetAttr"}


@pytest.mark.parametrize(
    "name, abi, undefined, says",
    [
        ("pixelmend/main.cpython-313t-x86_64-linux-gnu.so", "cp313t", FREE_THREADED_REFCOUNT, None),
        ("pixelmend/main.cpython-313-x86_64-linux-gnu.so", "cp313", REFCOUNT, None),
        ("pixelmend/main.cpython-313-x86_64-linux-musl.so", "cp313", REFCOUNT, None),
        ("pixelmend/main.cpython-313-x86_64-linux-gnu.so", "cp313t", FREE_THREADED_REFCOUNT, "not named for cp313t"),
        ("pixelmend/main.cpython-313t-x86_64-linux-gnu.so", "cp313t", REFCOUNT, "not compiled for the free-threaded cp313t"),
        ("pixelmend/main.cpython-313-x86_64-linux-gnu.so", "cp313", FREE_THREADED_REFCOUNT, "compiled for a free-threaded CPython, not cp313"),
        ("pixelmend/main.cpython-314-x86_64-linux-gnu.so", "cp313", REFCOUNT, "not named for cp313"),
    ],
    ids=["free-threaded", "default", "musl", "free-threaded-wheel-default-name", "default-headers-in-free-threaded-wheel",
         "free-threaded-headers-in-default-wheel", "other-version"],
)
def test_a_module_must_be_compiled_for_the_abi_its_wheel_names(name, abi, undefined, says):
    problems = linux.abi_problems(name, abi, undefined)
    if says is None:
        assert problems == []
    else:
        assert len(problems) == 1 and says in problems[0]


def test_wheel_without_both_modules_is_refused(tmp_path):
    assert linux.wheel_problems(make_wheel(tmp_path, PACKAGE)) == [f"{GOOD_NAME} holds modules [], expected main and utils"]


def interpreter_with_headers(directory, multiarch_pyconfig):
    include = directory / "usr" / "include" / "python3.15"
    include.mkdir(parents=True)
    (include / "pyconfig.h").write_text("#include <x86_64-linux-gnu/python3.15/pyconfig.h>\n")
    if multiarch_pyconfig:
        found = directory / "usr" / "include" / "x86_64-linux-gnu" / "python3.15"
        found.mkdir(parents=True)
        (found / "pyconfig.h").write_text("#define SIZEOF_VOID_P 8\n")
    config = {"INCLUDEPY": str(include), "MULTIARCH": "x86_64-linux-gnu"}
    (directory / "interpreter.py").write_text(
        f"import sys, sysconfig\nsysconfig.get_config_var = {config!r}.get\nexec(sys.argv[2])\n"
    )
    python = directory / "python"
    python.write_text(f"#!/bin/sh\nexec '{sys.executable}' '{directory / 'interpreter.py'}' \"$@\"\n")
    python.chmod(0o755)
    return python


@pytest.mark.parametrize("multiarch_pyconfig", [True, False], ids=["distribution", "self-built"])
def test_only_a_multiarch_pyconfig_directory_is_added_to_the_compile(tmp_path, multiarch_pyconfig):
    python = interpreter_with_headers(tmp_path / "root", multiarch_pyconfig)
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    environment = linux.with_multiarch_headers(python, {"PATH": "/bin"}, scratch)
    if not multiarch_pyconfig:
        assert environment == {"PATH": "/bin"}
        return
    shim = scratch / "multiarch-include"
    assert environment == {"PATH": "/bin", "CFLAGS": f"-isystem {shim}", "CXXFLAGS": f"-isystem {shim}"}
    assert (shim / "x86_64-linux-gnu" / "python3.15" / "pyconfig.h").read_text() == "#define SIZEOF_VOID_P 8\n"
    assert [path.name for path in shim.iterdir()] == ["x86_64-linux-gnu"]
    assert [path.name for path in (shim / "x86_64-linux-gnu").iterdir()] == ["python3.15"]
