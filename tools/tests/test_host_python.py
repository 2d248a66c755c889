import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from wheelbuild import common

SHARED = Path(__file__).resolve().parents[2] / ".ci" / "shared.sh"


def pyenv_with(versions_dir, *versions):
    for version in versions:
        python = versions_dir / version / "bin" / "python3"
        python.parent.mkdir(parents=True)
        python.touch()
    return versions_dir


@pytest.mark.parametrize(
    "installed, found",
    [
        (["3.13.0", "3.13.9", "3.13.10"], "3.13.10"),
        (["3.13.1", "3.13.2t", "3.13.3rc1", "3.13-dev"], "3.13.1"),
        (["3.1.5", "3.12.9", "3.13.0", "3.130.0"], "3.13.0"),
    ],
    ids=["numeric-order", "final-releases-only", "other-minors"],
)
def test_the_newest_final_pyenv_release_of_the_minor_is_taken(tmp_path, monkeypatch, installed, found):
    monkeypatch.setattr(common, "PYENV_VERSIONS", pyenv_with(tmp_path, *installed))
    assert common.find_python("3.13") == str(tmp_path / found / "bin" / "python3")


@pytest.mark.parametrize("on_path", [True, False], ids=["on-path", "nowhere"])
def test_without_a_pyenv_release_python3_x_on_path_is_taken(tmp_path, monkeypatch, on_path):
    monkeypatch.setattr(common, "PYENV_VERSIONS", pyenv_with(tmp_path / "versions", "3.12.1", "3.13.1t"))
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    if on_path:
        (bin_dir / "python3.13").write_text("#!/bin/sh\n")
        (bin_dir / "python3.13").chmod(0o755)
    monkeypatch.setenv("PATH", str(bin_dir))
    assert common.find_python("3.13") == (str(bin_dir / "python3.13") if on_path else None)


@pytest.mark.skipif(shutil.which("bash") is None or shutil.which("python3") is None, reason="bash or python3 is missing")
@pytest.mark.skipif(not SHARED.is_file(), reason="the CI scripts are not in the source archive")
@pytest.mark.parametrize("version", ["3.%d" % sys.version_info[1], "3.99"], ids=["this-minor", "none"])
def test_the_ci_scripts_find_the_interpreter_the_tools_find(version):
    found = subprocess.run(["bash", "-c", f'. "{SHARED}"; host_python "$0"', version], capture_output=True, text=True, cwd="/")
    assert found.returncode == 0, found.stderr
    assert found.stdout == (common.find_python(version) or "") + "\n"

