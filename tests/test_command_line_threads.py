import io
import sys
import sysconfig
import threading
import types
from pathlib import Path

import pytest

import pixelmend.main as pm
from pixelmend._cli import exit_status, run

STREET = str(Path(__file__).resolve().parents[1] / "examples" / "street.jpg")



# Two command-line calls that overlap on two threads and end out of order:
# A starts, B starts while A is still uploading, A ends, then B ends.
def test_overlapping_calls_on_two_threads_each_keep_their_own_outcome(monkeypatch, fake_requests, tmp_path, capsys, reply):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "argv", ["pixelmend", "k", STREET, "segment_image"])
    status_here = exit_status()
    a_uploading, b_uploading, a_finished = threading.Event(), threading.Event(), threading.Event()
    names = {"A": [], "B": ["/unsafe", "ok.png"]}

    def post(data):
        data.read()
        name = threading.current_thread().name
        if name == "A":
            a_uploading.set()
            assert b_uploading.wait(30)
        else:
            b_uploading.set()
            assert a_finished.wait(30)
        return reply(names[name])

    fake_requests(post, lambda url, stream, verify: reply())
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
    assert exit_status() == status_here


class Terminal(io.StringIO):
    def isatty(self):
        return True


# Two command-line calls interleaved on greenlets of one thread, which swap
# their C stacks in and out: A's operation fails after B has started and
# paused deeper in its own frames.
@pytest.mark.parametrize("depth_of_b", [0, 2, 5])
def test_calls_interleaved_on_greenlets_each_keep_their_own_outcome(monkeypatch, tmp_path, capsys, depth_of_b):
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        pytest.skip("greenlet turns the GIL back on for the whole process on free-threaded builds")
    greenlet = pytest.importorskip("greenlet")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "stderr", Terminal())

    def refuse(*args, **kwargs):
        raise ConnectionError("no network here")

    monkeypatch.setattr(pm, "requests", types.SimpleNamespace(Session=refuse, get=refuse))
    hub, real = greenlet.getcurrent(), pm.Pixelmend

    class Switching(real):
        def a_op(self, image_path):
            hub.switch()
            return real(self.key).segment_image(image_path)

        def b_op(self, image_path):
            hub.switch()
            return "B done"

    monkeypatch.setattr(pm, "Pixelmend", Switching)
    statuses = {}

    def command_line(name, depth):
        call = pm.main
        for _ in range(depth):
            call = (lambda inner: lambda: list(map(lambda _: inner(), [0]))[0])(call)
        sys.argv = ["pixelmend", "k", STREET, f"{name.lower()}_op"]
        call()
        statuses[name] = exit_status()

    a = greenlet.greenlet(lambda: command_line("A", 0))
    b = greenlet.greenlet(lambda: command_line("B", depth_of_b))
    monkeypatch.setattr(sys, "argv", sys.argv)
    a.switch(), b.switch(), a.switch(), b.switch()
    assert a.dead and b.dead
    assert statuses == {"A": 1, "B": 0}
    assert capsys.readouterr().out == "('Error:', ConnectionError('no network here'))\nB done\n"


def interrupted(self, image_path):
    raise KeyboardInterrupt


# A call that an exception leaves reports its own status, not the last one.
@pytest.mark.parametrize(
    ("argv", "error", "status"),
    [
        (["k", STREET, "segment_image"], KeyboardInterrupt, 1),
        (["--no-such-option"], SystemExit, 2),
        (["--help"], SystemExit, 0),
    ],
    ids=["interrupt", "bad-option", "help"],
)
def test_a_call_ended_by_an_exception_reports_its_status(monkeypatch, capsys, argv, error, status):
    # The call before leaves the other status behind.
    earlier = ["--list"] if status else ["k", "/nonexistent", "segment_image"]
    monkeypatch.setattr(sys, "argv", ["pixelmend", *earlier])
    pm.main()
    assert exit_status() == 1 - min(status, 1)
    monkeypatch.setattr(pm.Pixelmend, "segment_image", interrupted)
    monkeypatch.setattr(sys, "argv", ["pixelmend", *argv])
    with pytest.raises(error):
        pm.main()
    assert exit_status() == status
