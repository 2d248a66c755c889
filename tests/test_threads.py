import argparse
import contextvars
import os
import subprocess
import sys
import threading
import types
from pathlib import Path

import pytest

import pixelmend.main as pm
from pixelmend._cli import run
from pixelmend.utils.utils import handle_image_path

TRIALS = Path(__file__).resolve().parents[1] / "tools" / "thread_trials.py"
THREADS = 8



def run_together(count, body):
    start = threading.Barrier(count)
    errors = []

    def worker(index):
        start.wait()
        try:
            body(index)
        except BaseException as error:
            errors.append(error)

    workers = [threading.Thread(target=worker, args=(index,)) for index in range(count)]
    for thread in workers:
        thread.start()
    for thread in workers:
        thread.join(120)
    assert not errors, errors


@pytest.fixture
def images(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    paths = []
    for index in range(THREADS):
        path = tmp_path / f"image{index}.png"
        path.write_bytes(b"\x89PNG" + os.urandom(32 * 1024) + index.to_bytes(2, "big"))
        paths.append(str(path))
    return paths


# Each upload body must carry its own image whole, whichever client and
# thread sent it.
@pytest.mark.parametrize("clients", ["one", "many"])
def test_concurrent_operations_each_send_and_save_their_own(fake_requests, images, clients, reply):
    bodies = {}

    def post(data):
        bodies[threading.get_ident()] = data.read()
        return reply(["out.png"])

    fake_requests(post, lambda url, stream, verify: reply())
    shared = pm.Pixelmend("k")

    def operate(index):
        client = shared if clients == "one" else pm.Pixelmend(f"k{index}")
        for _ in range(5):
            outcome = client.segment_image(images[index])
            assert outcome == f"Files downloaded to {os.path.join('results', f'image{index}.png')}"
            assert Path(images[index]).read_bytes() in bodies[threading.get_ident()]

    run_together(THREADS, operate)
    assert all(Path("results", f"image{i}.png", "out.png").read_bytes() == b"result" for i in range(THREADS))


# argparse is looked up in the module's namespace at each call: a parser that
# reads each thread's own command line lets calls of main() overlap with
# different arguments.
@pytest.fixture
def per_thread_command_line(monkeypatch):
    local = threading.local()

    class Parser(argparse.ArgumentParser):
        def parse_args(self, args=None, namespace=None):
            return super().parse_args(local.argv if args is None else args, namespace)

    monkeypatch.setattr(pm, "argparse", types.SimpleNamespace(ArgumentParser=Parser))
    return local


def test_concurrent_command_lines_each_keep_their_own_exit_status(fake_requests, images, per_thread_command_line, reply):
    local = per_thread_command_line
    fake_requests(lambda data: reply(local.filenames), lambda url, stream, verify: reply())
    statuses = {}
    expected = {}

    def command_line(index):
        kind = index % 4
        local.argv = ["k", "missing.png" if kind == 1 else images[index], "segment_image" if kind != 3 else "nothing"]
        local.filenames = ["/unsafe", "fine.png"] if kind == 2 else ["fine.png"]
        expected[index] = 0 if kind == 0 else 1
        statuses[index] = [run() for _ in range(5)]

    run_together(THREADS, command_line)
    assert statuses == {index: [status] * 5 for index, status in expected.items()}


# The module's state is made when it executes, not by the first caller:
# fresh processes whose threads make their first calls all at once.
def test_first_command_lines_of_fresh_processes_keep_their_statuses():
    trial = subprocess.run(
        [sys.executable, str(TRIALS), "first-calls", "--processes", "3", "--threads", "16"],
        capture_output=True, text=True, timeout=600,
    )
    assert trial.returncode == 0, trial.stdout + trial.stderr


def test_threads_reading_one_upload_reader_get_every_block_once():
    trial = subprocess.run(
        [sys.executable, str(TRIALS), "shared-reader", "--trials", "30", "--trials-with-gil", "2"],
        capture_output=True, text=True, timeout=600,
    )
    assert trial.returncode == 0, trial.stdout + trial.stderr


# A reader closed while other threads read it refuses every read after, and
# lets its file go once the read under way has ended.
def test_closing_an_upload_reader_while_threads_read_it(tmp_path):
    size = 8 * 1024 * 1024
    path = tmp_path / "big.png"
    path.write_bytes(os.urandom(size))
    reader = handle_image_path([], str(path))[0][1][1]
    outcomes = []

    def read_or_close(index):
        while True:
            try:
                if not reader.read(4096):
                    outcomes.append("read to the end")
                    return
            except RuntimeError as error:
                assert str(error) == "UploadFile is being read by another thread"
            except ValueError as error:
                outcomes.append(str(error))
                return
            if reader.len < size // 2:
                reader.close()

    run_together(4, read_or_close)
    assert outcomes == ["I/O operation on closed file"] * 4
    assert reader.closed
    with pytest.raises(ValueError):
        reader.read(1)


# Operations read their names from the namespace at every call; rebinding one
# to a fresh object while they run must never free the one a call holds.
@pytest.mark.parametrize("name", ["requests", "handle_image_path", "MultipartEncoder"])
def test_rebinding_a_module_global_while_calls_run(fake_requests, images, monkeypatch, name, reply):
    fake_requests(lambda data: reply(["out.png"]) if data.read() else None, lambda url, stream, verify: reply())
    original = getattr(pm, name)
    done = threading.Event()

    def fresh():
        if name == "requests":
            return types.SimpleNamespace(**vars(original))
        return lambda *args, **keywords: original(*args, **keywords)

    def work(index):
        if index == THREADS:
            while not done.is_set():
                setattr(pm, name, fresh())
            return
        try:
            for _ in range(20):
                assert pm.Pixelmend("k").segment_image(images[index]).startswith("Files downloaded to")
        finally:
            if index == 0:
                done.set()

    monkeypatch.setattr(pm, name, original)
    run_together(THREADS + 1, work)


def runs_value(context):
    [value] = [value for variable, value in context.items() if variable.name == "pixelmend.main.command_line_runs"]
    return value


# A context copied from one that ran main() sees that one's calls but must
# make its own list, even when it takes the address of the context it came
# from, gone meanwhile: contexts are freed and their memory reused.
def test_a_copied_context_never_takes_the_list_it_inherits(fake_requests, images, per_thread_command_line, reply):
    per_thread_command_line.argv = ["k", images[0], "segment_image"]
    fake_requests(lambda data: reply([]), lambda url, stream, verify: reply())
    for _ in range(20):
        first = contextvars.Context()
        assert first.run(run) == 0
        copy = first.copy()
        inherited = runs_value(copy)
        del first
        later = copy.copy()
        assert later.run(run) == 0
        assert runs_value(later) is not inherited
