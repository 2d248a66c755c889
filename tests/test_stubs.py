import subprocess
import sys

import pytest

pytest.importorskip("mypy")


def test_type_stubs_agree_with_the_compiled_modules(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "pixelmend.main", "pixelmend.utils.utils"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, done.stdout + done.stderr
