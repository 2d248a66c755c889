import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
KEY = "bench-key"
MIB = 1024 * 1024
GIB = 1024 * MIB


class ServiceProcess:
    def __init__(self, *options):
        self.process = subprocess.Popen(
            [sys.executable, str(HERE / "service_runner.py"), *options],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        started = json.loads(self.process.stdout.readline())
        self.url = started["url"]
        self.workspace = Path(started["workspace"])

    def command(self, op, **arguments):
        self.process.stdin.write(json.dumps({"op": op, **arguments}) + "\n")
        self.process.stdin.flush()
        answer = json.loads(self.process.stdout.readline())
        if "error" in answer:
            raise RuntimeError(f"service runner: {answer['error']}")
        return answer

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()


# The report a probe process prints as JSON on its last line; `what` names the probe if it fails.
def probe_report(command, what, cwd=None, environment=None, timeout=1800):
    completed = subprocess.run(
        command,
        cwd=cwd,
        env=None if environment is None else {**os.environ, **environment},
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    if completed.returncode != 0:
        raise SystemExit(f"probe {what} exited with {completed.returncode}: {completed.stderr.strip()}")
    return json.loads(completed.stdout.strip().splitlines()[-1])


def run_probe(client, origin, image=None, cwd=None, nofile=None, timeout=1800, environment=None):
    job = {"client": client, "origin": origin, "image": image, "key": KEY, "nofile": nofile}
    return probe_report([sys.executable, str(HERE / "client_probe.py"), json.dumps(job)], client, cwd, environment, timeout)


class Scratch:
    def __init__(self, prefix):
        self.path = Path(tempfile.mkdtemp(prefix=prefix, dir=os.environ.get("PIXELMEND_BENCH_TMP", "/tmp")))

    def fresh(self, name):
        directory = self.path / name
        shutil.rmtree(directory, ignore_errors=True)
        directory.mkdir()
        return directory

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        shutil.rmtree(self.path, ignore_errors=True)


def require_free_space(path, needed):
    free = shutil.disk_usage(path).free
    if free < needed:
        raise SystemExit(f"{path} has {free // MIB} MiB free; this benchmark needs {needed // MIB} MiB")


def write_file(path, size, block=8 * MIB):
    pattern = os.urandom(block)
    with open(path, "wb") as handle:
        remaining = size
        while remaining > 0:
            handle.write(pattern[: min(block, remaining)])
            remaining -= block


def median(values):
    return statistics.median(values)


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = os.getloadavg()
    return {
        "nproc": os.cpu_count(),
        "cpu": model,
        "python": platform.python_version(),
        "loadavg": f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f}",
    }


def print_machine():
    m = machine()
    print(f"machine: {m['nproc']} CPUs, {m['cpu']}; Python {m['python']}; load average {m['loadavg']}")


# The command line, with the options every script takes: --quick (`quick` says what it makes smaller) and --json.
def parse_command_line(parser, quick):
    parser.add_argument("--quick", action="store_true", help=quick)
    parser.add_argument("--json", help="also write the figures to this file")
    return parser.parse_args()


def save_figures(path, figures):
    if path:
        with open(path, "w") as out:
            json.dump(figures, out, indent=2)


def size_argument(text):
    units = {"k": 1024, "m": MIB, "g": 1024 * MIB}
    text = text.strip().lower().rstrip("ib")
    if text and text[-1] in units:
        return int(float(text[:-1]) * units[text[-1]])
    return int(text)
