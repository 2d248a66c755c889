import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / ".ci" / "free_threaded_cpython"

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the CI's interpreters are built on Linux"),
    pytest.mark.skipif(shutil.which("bash") is None or not SCRIPT.is_file(), reason="bash or the script is missing"),
    pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="ownership checks need root"),
]


def script_function(*command, **variables):
    assignments = "".join(f"{name}='{value}'; " for name, value in variables.items())
    script = f'set +e; source "{SCRIPT}"; set -e; {assignments}' + " ".join(f"'{part}'" for part in command)
    return subprocess.run(["bash", "-c", script], capture_output=True, text=True)


def directory(path, mode=0o755, owner=0):
    path.mkdir(parents=True, exist_ok=True)
    path.chmod(mode)
    os.chown(path, owner, owner)
    return path


def test_a_directory_another_job_made_a_moment_earlier_is_taken(tmp_path):
    made = directory(tmp_path / "cache")
    (made / "kept").write_text("x")
    taken = script_function("make_trusted_directory", str(made))
    assert taken.returncode == 0, taken.stderr
    assert (made / "kept").exists()
    fresh = script_function("make_trusted_directory", str(tmp_path / "fresh"))
    assert fresh.returncode == 0, fresh.stderr
    assert (tmp_path / "fresh").stat().st_mode & 0o777 == 0o755


@pytest.mark.parametrize(
    "prepare, says",
    [
        (lambda cache: directory(cache, 0o1777), "writable by others"),
        (lambda cache: directory(cache, owner=65534), "not root"),
        (lambda cache: cache.symlink_to(directory(cache.parent / "elsewhere")), "symbolic link"),
    ],
    ids=["world-writable", "other-owner", "symlink"],
)
def test_a_cache_made_by_someone_else_is_refused(tmp_path, prepare, says):
    cache = tmp_path / "cache"
    prepare(cache)
    refused = script_function("make_trusted_directory", str(cache))
    assert refused.returncode != 0 and says in refused.stderr


def fake_interpreter_tree(cache):
    final = directory(cache / "cpython-3.13t")
    bin_dir = directory(final / "bin")
    ran = cache.parent / "ran"
    interpreter = bin_dir / "python3.13t"
    interpreter.write_text(f"#!/bin/sh\ntouch '{ran}'\n")
    interpreter.chmod(0o755)
    (bin_dir / "python3").symlink_to("python3.13t")
    directory(final / "lib" / "python3.13t" / "site-packages")
    module = final / "lib" / "python3.13t" / "site-packages" / "module.py"
    module.write_text("")
    return final, module, ran


@pytest.mark.parametrize(
    "spoil, says",
    [
        (lambda module: None, None),
        (lambda module: module.chmod(0o666), "writable by others"),
        (lambda module: os.chown(module, 65534, 65534), "not owned by root"),
        (lambda module: module.parent.chmod(0o775), "writable by others"),
    ],
    ids=["trusted", "world-writable-file", "file-of-another-user", "group-writable-directory"],
)
def test_nothing_in_an_untrusted_tree_is_run(tmp_path, spoil, says):
    cache = directory(tmp_path / "cache")
    final, module, ran = fake_interpreter_tree(cache)
    spoil(module)
    recipe = script_function("recipe").stdout.strip()
    (final / ".pixelmend-recipe").write_text(recipe + "\n")
    checked = script_function("usable", final=str(final))
    if says is None:
        assert ran.exists(), checked.stderr
        return
    assert checked.returncode != 0 and says in checked.stderr
    assert not ran.exists()


def test_a_tree_from_another_recipe_is_not_run(tmp_path):
    cache = directory(tmp_path / "cache")
    final, _, ran = fake_interpreter_tree(cache)
    (final / ".pixelmend-recipe").write_text("an older recipe\n")
    checked = script_function("usable", final=str(final))
    assert checked.returncode != 0
    assert not ran.exists()


def test_a_cache_under_a_shared_directory_is_refused_before_anything_is_made(tmp_path):
    shared = directory(tmp_path / "shared", 0o1777)
    refused = subprocess.run([SCRIPT, str(shared / "cache")], capture_output=True, text=True)
    assert refused.returncode != 0 and "writable by others" in refused.stderr
    assert not (shared / "cache").exists()
