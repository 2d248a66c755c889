import os
import sys
import threading
from pathlib import Path

import pytest

from pixelmend.sandbox import SERVICE_BASE, running

try:
    from concurrent import interpreters
except ImportError:
    interpreters = None
    low_level = pytest.importorskip("_interpreters", reason="isolated interpreters with their own GIL came with 3.13")

KEY = "isolated-key"
IMAGE = Path(__file__).resolve().parents[1] / "examples" / "street.jpg"

# Runs in an interpreter of its own: the stand-in's routing cannot load there
# (Pillow refuses isolated interpreters), so requests is routed by hand.
SCRIPT = """
import os, sys, types
sys.path[:] = {path!r}
import requests
import pixelmend.main as pm
from pixelmend._cli import exit_status

class Routed(requests.Session):
    def request(self, method, url, *args, **keywords):
        return super().request(method, url.replace({base!r}, {url!r}, 1), *args, **keywords)

def get(url, **keywords):
    with Routed() as session:
        return session.get(url, **keywords)

pm.requests = types.SimpleNamespace(Session=Routed, get=get, adapters=requests.adapters, exceptions=requests.exceptions)
lines = [pm.Pixelmend({key!r}).segment_image({image!r}), pm.Pixelmend({key!r}).black_white("missing.png")]
for key in ({key!r}, "wrong-key"):
    sys.argv = ["pixelmend", key, {image!r}, "colorization"]
    pm.main()
    lines.append(str(exit_status()))
with open({outcome!r}, "w") as outcome:
    outcome.write("\\n".join(lines))
"""


# The standard library's interface from 3.14 on; the module beneath it on 3.13.
def run_isolated(script):
    if interpreters is not None:
        interpreter = interpreters.create()
        try:
            interpreter.exec(script)
        except interpreters.ExecutionFailed as failure:
            return str(failure)
        finally:
            interpreter.close()
        return None
    interpreter = low_level.create("isolated")
    try:
        failure = low_level.run_string(interpreter, script)
        return None if failure is None else failure.formatted
    finally:
        low_level.destroy(interpreter)


# Two isolated interpreters, each with its own GIL, make operations and two
# command lines at once against the stand-in (the working directory is the
# process's, so each uploads an image of its own name), their result files
# fetched one after another or on threads of their own.
@pytest.mark.parametrize("downloads", [None, "2"])
def test_operations_and_main_run_in_isolated_interpreters(tmp_path, monkeypatch, downloads):
    monkeypatch.chdir(tmp_path)
    if downloads:
        monkeypatch.setenv("PIXELMEND_DOWNLOADS", downloads)
    images = [tmp_path / f"image{index}.jpg" for index in range(2)]
    for image in images:
        image.write_bytes(Path(IMAGE).read_bytes())
    errors = []
    with running(accepted_keys=[KEY]) as service:

        def run(image):
            script = SCRIPT.format(
                path=sys.path, outcome=f"{image}.outcome", base=SERVICE_BASE, url=service.url, key=KEY, image=str(image),
            )
            failure = run_isolated(script)
            if failure is not None:
                errors.append(failure)

        threads = [threading.Thread(target=run, args=(image,)) for image in images]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(300)
    assert errors == []
    for image in images:
        assert Path(f"{image}.outcome").read_text().splitlines() == [
            f"Files downloaded to {os.path.join('results', image.name)}",
            "File does not exist: missing.png",
            "0",
            "1",
        ]
        assert os.listdir(Path("results", image.name))
