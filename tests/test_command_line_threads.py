import sys
import threading
import types
from pathlib import Path

import pixelmend.main as pm
from pixelmend._cli import exit_status, run

STREET = str(Path(__file__).resolve().parents[1] / "examples" / "street.jpg")


class Reply:
    status_code = 200

    def __init__(self, filenames=()):
        self.filenames = list(filenames)

    def json(self):
        return {"success": True, "filenames": self.filenames, "path": "http://127.0.0.1:9"}

    def iter_content(self, chunk_size):
        yield b"data"


# Two command-line calls that overlap on two threads and end out of order:
# A starts, B starts while A is still uploading, A ends, then B ends.
def test_overlapping_calls_on_two_threads_each_keep_their_own_outcome(monkeypatch, tmp_path, capsys):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "argv", ["pixelmend", "k", STREET, "segment_image"])
    a_uploading, b_uploading, a_finished = threading.Event(), threading.Event(), threading.Event()
    names = {"A": [], "B": ["/unsafe", "ok.png"]}

    class Session:
        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return None

        def post(self, url, data=None, headers=None, verify=None):
            data.read()
            name = threading.current_thread().name
            if name == "A":
                a_uploading.set()
                assert b_uploading.wait(30)
            else:
                b_uploading.set()
                assert a_finished.wait(30)
            return Reply(names[name])

    monkeypatch.setattr(pm, "requests", types.SimpleNamespace(Session=Session, get=lambda url, stream, verify: Reply()))
    statuses = {}

    def command_line():
        statuses[threading.current_thread().name] = run()
        if threading.current_thread().name == "A":
            a_finished.set()

    threads = [threading.Thread(target=command_line, name=name) for name in "AB"]
    threads[0].start()
    assert a_uploading.wait(30)
    threads[1].start()
    for thread in threads:
        thread.join(60)
    assert statuses == {"A": 0, "B": 1}
    assert "Failed to download /unsafe\n" in capsys.readouterr().out
    # Nothing of either call is left behind for a later call to report to.
    assert pm.Pixelmend("k").segment_image("/nonexistent") == "File does not exist: /nonexistent"
    assert exit_status() == 0
