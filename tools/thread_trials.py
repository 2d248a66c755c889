# Repeated trials of what threads share: one upload reader read by many
# threads at once, and the first command-line calls of fresh processes.
#
#     python tools/thread_trials.py shared-reader --trials 1000
#     python tools/thread_trials.py first-calls --processes 100
#
# Each prints its counts and exits with 1 if any trial went wrong. They are
# meant for free-threaded CPython with PYTHON_GIL=0, and run anywhere.

import argparse
import json
import os
import subprocess
import sys
import sysconfig
import tempfile
import threading
import types
from pathlib import Path

BLOCK = 4096
BUSY = "UploadFile is being read by another thread"


def gil_enabled():
    return getattr(sys, "_is_gil_enabled", lambda: True)()


def gil_state():
    enabled = gil_enabled()
    built = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "with the GIL"
    return f"{sys.version.split()[0]} {built}, GIL {'on' if enabled else 'off'}"


# Every block of the file is its own number repeated, so a lost, repeated or
# torn block shows in the blocks the readers got.
def numbered_file(directory, blocks):
    path = Path(directory, "shared.bin")
    path.write_bytes(b"".join(index.to_bytes(4, "big") * (BLOCK // 4) for index in range(blocks)))
    return path


def one_shared_read(path, blocks, threads):
    from pixelmend.utils.utils import handle_image_path

    reader = handle_image_path([], str(path))[0][1][1]
    got, problems = [], []
    lock = threading.Lock()
    start = threading.Barrier(threads)

    def read():
        start.wait()
        while True:
            try:
                block = reader.read(BLOCK)
            except RuntimeError as error:
                if str(error) != BUSY:
                    problems.append(repr(error))
                    return
                continue
            if not block:
                return
            with lock:
                got.append(block)

    workers = [threading.Thread(target=read) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    numbers = []
    for block in got:
        number = block[:4]
        if len(block) != BLOCK or block != number * (BLOCK // 4):
            problems.append("a torn block")
        numbers.append(int.from_bytes(number, "big"))
    if sorted(numbers) != list(range(blocks)):
        problems.append(f"{len(numbers)} blocks for {blocks}, {len(set(numbers))} distinct")
    if not reader.closed and reader.len != 0:
        problems.append(f"{reader.len} bytes left unread")
    return problems


# Where the GIL is on, the readers take turns rather than contend, and each
# trial spends seconds spinning on "being read by another thread" to show
# no more than the first did.
def shared_reader(trials, threads, blocks, trials_with_gil):
    # Importing an extension may turn the GIL back on, so it is asked after.
    import pixelmend.utils.utils

    if trials_with_gil is not None and gil_enabled():
        trials = min(trials, trials_with_gil)
    wrong = 0
    with tempfile.TemporaryDirectory() as directory:
        path = numbered_file(directory, blocks)
        for _ in range(trials):
            problems = one_shared_read(path, blocks, threads)
            if problems:
                wrong += 1
                print("wrong:", "; ".join(problems), flush=True)
    print(f"shared reader: {threads} threads, {blocks} blocks, {trials} trials, {wrong} wrong ({gil_state()})")
    return wrong == 0


# One fresh process: its threads wait at a barrier right after the import,
# then each makes its first main() call, half of them failing in one of two
# ways; each must get its own status.
def first_calls_child(threads):
    import argparse as real_argparse

    import pixelmend.main as pm
    from pixelmend._cli import run

    local = threading.local()

    class Parser(real_argparse.ArgumentParser):
        def parse_args(self, args=None, namespace=None):
            return super().parse_args(local.argv if args is None else args, namespace)

    class Reply:
        status_code = 200

        def __init__(self, filenames):
            self.filenames = filenames

        def json(self):
            return {"success": True, "filenames": self.filenames, "path": "http://127.0.0.1:9"}

        def iter_content(self, chunk_size):
            yield b"data"

    class Session:
        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return None

        def post(self, url, data=None, headers=None, verify=None):
            data.read()
            return Reply(local.filenames)

    pm.argparse = types.SimpleNamespace(ArgumentParser=Parser)
    pm.requests = types.SimpleNamespace(Session=Session, get=lambda url, **keywords: Reply([]))
    start = threading.Barrier(threads)
    statuses, expected = {}, {}

    # Each thread its own image, so that no two save the same result file:
    # Windows refuses to replace a file that another thread is replacing.
    def call(index):
        kind = index % 3
        image = Path(f"image{index}.png")
        image.write_bytes(b"\x89PNG image")
        local.argv = ["key", "missing.png" if kind == 1 else str(image), "segment_image"]
        local.filenames = ["/unsafe"] if kind == 2 else ["fine.png"]
        expected[index] = 0 if kind == 0 else 1
        start.wait()
        statuses[index] = run()

    workers = [threading.Thread(target=call, args=(index,)) for index in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    sys.stdout = sys.__stdout__
    print(json.dumps({"wrong": sum(statuses.get(i) != expected[i] for i in expected), "state": gil_state()}))


def first_calls(processes, threads):
    wrong = crashed = 0
    state = ""
    for _ in range(processes):
        with tempfile.TemporaryDirectory() as directory:
            child = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "first-calls-child", "--threads", str(threads)],
                cwd=directory, capture_output=True, text=True, timeout=300,
            )
        last = child.stdout.strip().splitlines()[-1:] or [""]
        if child.returncode != 0 or not last[0].startswith("{"):
            crashed += 1
            print("failed:", child.returncode, child.stderr[-2000:], flush=True)
            continue
        outcome = json.loads(last[0])
        state = outcome["state"]
        if outcome["wrong"]:
            wrong += 1
            print("wrong statuses:", outcome["wrong"], flush=True)
    print(f"first calls: {threads} threads, {processes} processes, {wrong} with a wrong status, {crashed} failed ({state})")
    return wrong == 0 and crashed == 0


def main():
    parser = argparse.ArgumentParser(description="Repeated trials of what threads share.")
    commands = parser.add_subparsers(dest="command", required=True)
    reader = commands.add_parser("shared-reader")
    reader.add_argument("--trials", type=int, default=1000)
    reader.add_argument("--threads", type=int, default=8)
    reader.add_argument("--blocks", type=int, default=256)
    reader.add_argument("--trials-with-gil", type=int, help="at most this many trials where the GIL is on")
    calls = commands.add_parser("first-calls")
    calls.add_argument("--processes", type=int, default=100)
    calls.add_argument("--threads", type=int, default=16)
    child = commands.add_parser("first-calls-child")
    child.add_argument("--threads", type=int, default=16)
    options = parser.parse_args()
    if options.command == "shared-reader":
        return 0 if shared_reader(options.trials, options.threads, options.blocks, options.trials_with_gil) else 1
    if options.command == "first-calls":
        return 0 if first_calls(options.processes, options.threads) else 1
    # The child's printed lines go to a buffer: only its outcome is read.
    sys.stdout = open(os.devnull, "w")
    first_calls_child(options.threads)
    return 0


if __name__ == "__main__":
    sys.exit(main())
