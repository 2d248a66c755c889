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


CALLS = '''
import pathlib
import pixelmend
from pixelmend import Pixelmend
from pixelmend.utils.utils import handle_image_path

client = Pixelmend("key")
version: str = pixelmend.__version__
text: str = client.smart_object_detection("a.jpg", "Masks", "0.5", "2", "ff0000")
text = client.smart_object_detection("a.jpg", confidence_threshold="0.5", option="2")
text = client.get_identity_data("card.png", "cm")
text = client.face_id_verification("me.jpg", pathlib.Path("id.jpg"))
names: list[str] = client.list_methods()
handle_image_path([("api_key", "key")], "a.jpg")
client.smart_object_detection("a.jpg", confidence_threshold=0.5)  # wrong
client.smart_object_detection("a.jpg", option=2)  # wrong
client.smart_object_detection("a.jpg", "Masks", "0.5", "0", 0xFF0000)  # wrong
client.get_identity_data("card.png", None)  # wrong
client.get_identity_data("card.png")  # wrong
client.face_id_verification("me.jpg", None)  # wrong
client.segment_image(pathlib.Path("a.jpg"))  # wrong
number: int = client.segment_image("a.jpg")  # wrong
'''


def test_stubs_reject_the_usual_mistakes_under_strict_mypy(tmp_path):
    (tmp_path / "calls.py").write_text(CALLS)
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "calls.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    flagged = {int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line}
    wrong = {number for number, line in enumerate(CALLS.splitlines(), 1) if line.endswith("# wrong")}
    assert flagged == wrong, done.stdout
