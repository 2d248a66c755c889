import os
import queue
import random
import subprocess
import sys
import textwrap
import threading

import pytest
import requests

import pixelmend.main as pm
from pixelmend._cli import exit_status

DOWNLOADED = "Files downloaded to " + os.path.join("results", "img.png")


def names(count):
    return [f"f{index:02d}" for index in range(count)]


# Holds every GET until it is released, one at a time, in an order drawn from
# `seed` among the GETs under way, each released file settled (put on the
# call's queue) before the next is released: the order in which downloads
# finish is shuffled, and what started before or after each outcome is known.
class Gate:
    def __init__(self, monkeypatch, seed):
        self.random = random.Random(seed)
        self.condition = threading.Condition()
        self.waiting = []
        self.released = set()
        self.history = []
        self.finished = False
        gate = self

        class SettlingQueue(queue.SimpleQueue):
            def put(self, item, block=True, timeout=None):
                if item is not None:
                    with gate.condition:
                        gate.history.append(("settled", item))
                        gate.condition.notify_all()
                super().put(item, block, timeout)

        monkeypatch.setattr(queue, "SimpleQueue", SettlingQueue)

    # An answer `alone` comes once every other download thread is held or
    # gone, so that nothing else runs while it settles.
    def hold(self, name, answer, alone=False):
        def held():
            with self.condition:
                self.history.append(("start", name))
                self.waiting.append(name)
                self.condition.notify_all()
                self.condition.wait_for(lambda: name in self.released)
                while alone and len(self.waiting) < len(downloads_alive()) - 1:
                    self.condition.wait(0.01)
            return answer

        return held

    def release_in_turn(self, index_of):
        while True:
            with self.condition:
                self.condition.wait_for(lambda: self.waiting or self.finished)
                if self.finished:
                    return
                name = self.random.choice(self.waiting)
                self.waiting.remove(name)
                self.released.add(name)
                self.condition.notify_all()
                self.condition.wait_for(lambda: ("settled", index_of[name]) in self.history or self.finished)

    def run(self, call, index_of):
        releaser = threading.Thread(target=self.release_in_turn, args=(index_of,))
        releaser.start()
        try:
            return call()
        finally:
            with self.condition:
                self.finished = True
                self.condition.notify_all()
            releaser.join()


def downloads_alive():
    return [thread for thread in threading.enumerate() if thread.name.startswith("pixelmend-download")]


def black_white():
    return pm.Pixelmend("K").black_white("img.png")


def arrange(fake_service, monkeypatch, seed, outcomes):
    files = names(len(outcomes))
    service = fake_service(files)
    gate = Gate(monkeypatch, seed)
    for name, outcome in zip(files, outcomes):
        service.answer(name, gate.hold(name, outcome, alone=isinstance(outcome, BaseException)))
    return service, gate, {name: index for index, name in enumerate(files)}


def no_temporaries():
    return not [name for name in os.listdir("results/img.png") if name.endswith(".part")]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("downloads", [1, 4, 8])
def test_lines_keep_the_reply_order_whatever_order_downloads_end_in(fake_service, fakes, monkeypatch, capsys, downloads,
                                                                    seed):
    monkeypatch.setenv("PIXELMEND_DOWNLOADS", str(downloads))
    outcomes = [fakes.FileReply(status=404) if index % 3 == 1 else fakes.FileReply(chunks=[b"body", f"{index}".encode()])
                for index in range(12)]
    service, gate, index_of = arrange(fake_service, monkeypatch, seed, outcomes)
    service.upload_reply.filenames.insert(5, "../evil")
    index_of = {name: service.upload_reply.filenames.index(name) for name in index_of}

    monkeypatch.setattr(sys, "argv", ["pixelmend", "K", "img.png", "black_white"])
    gate.run(pm.main, index_of)

    failed = [name for index, name in enumerate(names(12)) if index % 3 == 1]
    lines = [f"Failed to download {name}" for name in failed]
    lines.insert(2, "Failed to download ../evil")
    assert capsys.readouterr().out == "\n".join(lines + [DOWNLOADED]) + "\n"
    assert exit_status() == 1
    assert fakes.saved_files() == {name: b"body" + str(index).encode() for index, name in enumerate(names(12))
                             if index % 3 != 1}
    [session] = service.download_sessions()
    assert sorted(name for name, _, _ in service.gets) == names(12)
    assert all(keywords == {"stream": True, "verify": False} and used is session for _, keywords, used in service.gets)
    assert session.closed and not downloads_alive()
    adapter = session.mounted["https://"]
    assert session.mounted == {"https://": adapter, "http://": adapter}
    assert adapter.keywords["pool_maxsize"] == downloads


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("downloads", [1, 4, 8])
def test_the_first_error_in_the_reply_order_ends_the_call_and_nothing_starts_after_it(
    fake_service, fakes, monkeypatch, capsys, downloads, seed
):
    monkeypatch.setenv("PIXELMEND_DOWNLOADS", str(downloads))
    first, later = fakes.Gone("first"), fakes.Gone("later")
    outcomes = [fakes.FileReply(chunks=[b"v"]), fakes.FileReply(status=404), fakes.FileReply(chunks=[b"v"]), first,
                fakes.FileReply(status=404), later, fakes.FileReply(chunks=[b"v"])] + [
        fakes.FileReply(chunks=[b"v"])] * 5
    service, gate, index_of = arrange(fake_service, monkeypatch, seed, outcomes)

    with pytest.raises(fakes.Gone) as raised:
        gate.run(black_white, index_of)

    assert raised.value is first and raised.traceback
    assert capsys.readouterr().out == "Failed to download f01\n"
    assert {"f00", "f02"} <= set(fakes.saved_files()) <= {"f00", "f02", "f06", "f07", "f08", "f09", "f10", "f11"}
    assert no_temporaries()
    settled_error = [event for event in gate.history if event[0] == "settled" and event[1] in (3, 5)][0]
    after = gate.history[gate.history.index(settled_error):]
    assert not [event for event in after if event[0] == "start"]
    started = [name for name, _, _ in service.gets]
    assert {"f00", "f01", "f02", "f03"} <= set(started)
    [session] = service.download_sessions()
    assert session.closed and not downloads_alive()


@pytest.mark.parametrize(
    ("verify", "context"),
    [(None, True), ("0", True), ("1", False)],
)
def test_the_pool_keeps_a_connection_per_download_and_a_context_without_certificates_only_unverified(
    fake_service, monkeypatch, verify, context
):
    monkeypatch.setenv("PIXELMEND_DOWNLOADS", "6")
    if verify:
        monkeypatch.setenv("PIXELMEND_VERIFY", verify)
    service = fake_service(names(3))
    assert black_white() == DOWNLOADED
    [session] = service.download_sessions()
    adapter = session.mounted["http://"]
    assert adapter.keywords == {"pool_connections": 10, "pool_maxsize": 6}
    if context:
        connections, maxsize, keywords = adapter.pool_keywords
        tls = keywords["ssl_context"]
        assert (connections, maxsize, list(keywords)) == (10, 6, ["ssl_context"])
        assert tls.verify_mode == 0 and tls.check_hostname is False and tls.get_ca_certs() == []
    else:
        assert adapter.pool_keywords is None
    assert [keywords["verify"] for _, keywords, _ in service.gets] == [verify == "1"] * 3


def test_no_result_files_make_no_session_and_no_thread(fake_service, fakes, monkeypatch):
    monkeypatch.setenv("PIXELMEND_DOWNLOADS", "4")
    service = fake_service([])
    assert black_white() == DOWNLOADED
    assert service.download_sessions() == []


# Ctrl-C while one body is being read and another file waits out a
# Retry-After: the call stops at once, cutting the read through its
# socket and waking the wait, and leaves no thread and no torn file.
def test_ctrl_c_while_waiting_stops_every_download(fake_service, fakes, monkeypatch):
    monkeypatch.setenv("PIXELMEND_DOWNLOADS", "3")
    monkeypatch.setenv("PIXELMEND_RETRIES", "2")
    service = fake_service(["slow", "later", "done"])
    reading, waiting = threading.Event(), threading.Event()

    def stall():
        reading.set()
        if not slow.socket.shut.wait(60):
            return b"never cut"
        raise requests.exceptions.ChunkedEncodingError("cut")

    slow = fakes.FileReply(chunks=[b"x" * 10000, stall])
    service.answer("slow", slow)
    service.answer("later", lambda: waiting.set() or fakes.FileReply(status=503, headers={"Retry-After": "60"}))

    class InterruptedQueue(queue.SimpleQueue):
        def get(self, block=True, timeout=None):
            if reading.is_set() and waiting.is_set():
                raise KeyboardInterrupt
            return super().get(block, timeout)

    monkeypatch.setattr(queue, "SimpleQueue", InterruptedQueue)
    with pytest.raises(KeyboardInterrupt):
        black_white()
    assert slow.socket.shut.is_set()
    assert not downloads_alive() and no_temporaries()
    assert [name for name, _, _ in service.gets].count("later") == 1
    [session] = service.download_sessions()
    assert session.closed


# Calls on several threads at once, each with its own batch: every result
# lands whole in its own call's directory (run with the GIL off on a
# free-threaded build).
def test_calls_on_many_threads_each_fetch_their_own_files(fake_service, fakes, monkeypatch):
    monkeypatch.setenv("PIXELMEND_DOWNLOADS", "4")
    files = names(16)
    service = fake_service(files)
    for name in files:
        service.answer(name, lambda name=name: fakes.FileReply(chunks=[name.encode() * 4000, threading.current_thread().name.encode()]))
    errors = []

    def calls(worker):
        try:
            for call in range(5):
                image = f"img-{worker}-{call}.png"
                assert pm.Pixelmend("K").black_white(image) == "Files downloaded to " + os.path.join("results", image)
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=calls, args=(worker,)) for worker in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    for worker in range(4):
        for call in range(5):
            saved = fakes.saved_files(os.path.join("results", f"img-{worker}-{call}.png"))
            assert sorted(saved) == files
            for name, body in saved.items():
                assert body.startswith(name.encode() * 4000) and body[len(name) * 4000:].startswith(b"pixelmend-download-")
    assert all(session.closed for session in service.download_sessions()) and len(service.download_sessions()) == 20
    assert not downloads_alive()


GEVENT_TRIAL = textwrap.dedent(
    """
    import gevent.monkey
    gevent.monkey.patch_all()
    import importlib.util, os, sys, gevent, threading
    import pixelmend.main as pm
    spec = importlib.util.spec_from_file_location("shared_fakes", sys.argv[1])
    fakes = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(fakes)
    FakeRequests, FileReply = fakes.FakeRequests, fakes.FileReply

    at_once = [0, 0]

    def answer(name):
        def fetch():
            at_once[0] += 1
            at_once[1] = max(at_once)
            gevent.sleep(0.02)
            at_once[0] -= 1
            assert type(gevent.getcurrent()).__module__.startswith("gevent")
            return FileReply(chunks=[name.encode()])
        return fetch

    os.chdir(sys.argv[2])
    os.environ["PIXELMEND_DOWNLOADS"] = "4"
    service = FakeRequests([f"f{index}" for index in range(12)])
    for index in range(12):
        service.answer(f"f{index}", answer(f"f{index}"))
    pm.requests = service
    pm.handle_image_path = lambda fields, image_path: fields
    print(pm.Pixelmend("K").black_white("img.png"))
    print(at_once[1], sorted(os.listdir("results/img.png")) == sorted(f"f{index}" for index in range(12)))
    print(service.download_sessions()[0].closed, threading.active_count())
    """
)


# Under gevent's monkey-patching the workers are greenlets and their waits
# cooperative: downloads overlap on one thread.
def test_under_gevent_the_downloads_are_greenlets(tmp_path):
    pytest.importorskip("gevent")
    trial = tmp_path / "trial.py"
    trial.write_text(GEVENT_TRIAL)
    finished = subprocess.run([sys.executable, str(trial), os.path.join(os.path.dirname(__file__), "conftest.py"), str(tmp_path)],
                              capture_output=True, text=True, timeout=120)
    assert finished.returncode == 0, finished.stderr
    assert finished.stdout.splitlines() == [DOWNLOADED, "4 True", "True 1"]


KEY = "parallel-key"
STREET = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "street.jpg")
STREET_RESULTS = os.path.join("results", "street.jpg")


def served(service, name):
    [post] = [record for record in service.received() if record.method == "POST"]
    return (service.workspace / "results" / post.reply["path"].rsplit("/", 1)[1] / name).read_bytes()


# Over real TLS with verification off, each package-level get loads the
# whole certificate store, as the upload's connection does; the pooled
# connections load none.
@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
@pytest.mark.parametrize(("downloads", "loads"), [(None, 3), ("4", 1)])
def test_pooled_connections_load_no_certificate_store(sandbox, monkeypatch, downloads, loads):
    import ssl

    if downloads:
        monkeypatch.setenv("PIXELMEND_DOWNLOADS", downloads)
    loaded = []
    real = ssl.SSLContext.load_default_certs
    monkeypatch.setattr(ssl.SSLContext, "load_default_certs", lambda self, *args: loaded.append(self) or real(self, *args))
    assert pm.Pixelmend(KEY).smart_object_detection(STREET) == "Files downloaded to " + STREET_RESULTS
    for name in ("street_detection.json", "street_detection.png"):
        with open(os.path.join(STREET_RESULTS, name), "rb") as saved:
            assert saved.read() == served(sandbox, name)
    assert len(loaded) == loads


# A body cut short over a real connection is fetched again whole: the
# stand-in answers the Range request with the whole file.
@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
@pytest.mark.parametrize("downloads", [None, "2"])
def test_a_cut_result_file_is_fetched_again(sandbox, monkeypatch, downloads):
    if downloads:
        monkeypatch.setenv("PIXELMEND_DOWNLOADS", downloads)
    monkeypatch.setenv("PIXELMEND_RETRIES", "2")
    sandbox.faults.cut_download("street_detection.png", 1000)
    assert pm.Pixelmend(KEY).smart_object_detection(STREET) == "Files downloaded to " + STREET_RESULTS
    assert sorted(os.listdir(STREET_RESULTS)) == ["street_detection.json", "street_detection.png"]
    with open(os.path.join(STREET_RESULTS, "street_detection.png"), "rb") as saved:
        assert saved.read() == served(sandbox, "street_detection.png")


# Ctrl-C while a real body stalls with no timeout set: urllib3's response is
# shut down under its reader, and the call ends with nothing left behind.
@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
def test_ctrl_c_cuts_a_stalled_body_over_a_real_connection(sandbox, monkeypatch):
    monkeypatch.setenv("PIXELMEND_DOWNLOADS", "2")
    sandbox.faults.stall_download("street_detection.png", 1000)
    first = threading.Event()

    class InterruptedQueue(queue.SimpleQueue):
        def get(self, block=True, timeout=None):
            if first.is_set():
                raise KeyboardInterrupt
            item = super().get(block, timeout)
            if item is not None:
                first.set()
            return item

    monkeypatch.setattr(queue, "SimpleQueue", InterruptedQueue)
    with pytest.raises(KeyboardInterrupt):
        pm.Pixelmend(KEY).smart_object_detection(STREET)
    assert not downloads_alive()
    assert os.listdir(STREET_RESULTS) == ["street_detection.json"]
