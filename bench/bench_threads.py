import argparse
import json
import os
import resource
import shutil
import sys
import sysconfig
import threading
import time

from common import (
    KEY, MIB, Scratch, ServiceProcess, median, parse_command_line, print_machine, probe_report, require_free_space,
    save_figures, size_argument, write_file,
)

# The service keeps one setting whichever the client runs with, so that the two client runs meet the same service.
SERVICE_GIL = "0"
SETTINGS = {"GIL off": "0", "GIL on": "1"}
SMALL_IMAGE_BYTES = 4 * 1024
SMALL_RESULT_BYTES = 16 * 1024


def parse_arguments():
    parser = argparse.ArgumentParser(
        description="Threads making operations at once from one process, the GIL off (PYTHON_GIL=0) against on (PYTHON_GIL=1)"
    )
    parser.add_argument("--threads", type=int, default=4, help="threads each making one large operation")
    parser.add_argument("--size", type=size_argument, default=64 * MIB, help="each large operation's upload, e.g. 64M")
    parser.add_argument("--results", type=int, default=2, help="result files each large operation downloads")
    parser.add_argument("--result-size", type=size_argument, default=16 * MIB, help="size of each of those result files")
    parser.add_argument("--small-threads", type=int, default=8, help="threads making small operations")
    parser.add_argument("--small-operations", type=int, default=10, help="small operations per thread")
    parser.add_argument("--runs", type=int, default=5, help="runs per setting, the settings interleaved")
    parser.add_argument("--probe", help=argparse.SUPPRESS)
    arguments = parse_command_line(parser, quick="8 MiB uploads, 2 runs")
    if arguments.quick:
        arguments.size = min(arguments.size, 8 * MIB)
        arguments.result_size = min(arguments.result_size, 2 * MIB)
        arguments.runs = min(arguments.runs, 2)
    return arguments


# Nanoseconds this thread has spent runnable but waiting for a core (Linux's schedstat).
def waited_for_a_core():
    try:
        with open("/proc/thread-self/schedstat") as schedstat:
            return int(schedstat.read().split()[1]) / 1e9
    except (OSError, IndexError, ValueError):
        return 0.0


def probe(job):
    from client_probe import load_routing

    import pixelmend.main
    import urllib3

    urllib3.disable_warnings()
    routing = load_routing()
    router = routing.Router(job["origin"])
    images = job["images"]
    start = threading.Barrier(len(images) + 1)
    busy = [0.0] * len(images)
    waited = [0.0] * len(images)
    errors = []

    def worker(index):
        client = pixelmend.main.Pixelmend(KEY)
        start.wait()
        begun, waiting = time.thread_time(), waited_for_a_core()
        try:
            for _ in range(job["operations"]):
                client.segment_image(images[index])
        except Exception as error:
            errors.append(f"{type(error).__name__}: {error}")
        busy[index] = time.thread_time() - begun
        waited[index] = waited_for_a_core() - waiting

    with routing.routed(router, pixelmend.main):
        workers = [threading.Thread(target=worker, args=(index,)) for index in range(len(images))]
        for thread in workers:
            thread.start()
        before = resource.getrusage(resource.RUSAGE_SELF)
        start.wait()
        started = time.perf_counter()
        for thread in workers:
            thread.join()
        seconds = time.perf_counter() - started
        after = resource.getrusage(resource.RUSAGE_SELF)
    report = {
        "seconds": seconds,
        "cpu_seconds": after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime,
        "thread_cpu_seconds": busy,
        "waiting_for_a_core_seconds": sum(waited),
        "gil_enabled": sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True,
    }
    if errors:
        report["error"] = errors[0]
    print(json.dumps(report))


def run_probe(gil, origin, images, operations, cwd, environment):
    job = {"origin": origin, "images": [str(image) for image in images], "operations": operations}
    command = [sys.executable, "-W", "error::RuntimeWarning", __file__, "--probe", json.dumps(job)]
    report = probe_report(command, f"with PYTHON_GIL={gil}", cwd, {**environment, "PYTHON_GIL": gil})
    if "error" in report:
        raise SystemExit(f"probe with PYTHON_GIL={gil} failed: {report['error']}")
    if report["gil_enabled"] != (gil == "1"):
        raise SystemExit(f"PYTHON_GIL={gil} ran with the GIL {'on' if report['gil_enabled'] else 'off'}")
    return report


class Workload:
    def __init__(self, name, scratch, service, images, operations, results, result_bytes, environment=None):
        self.name, self.service, self.images, self.operations = name, service, images, operations
        self.environment = environment or {}
        self.scratch = scratch
        source = scratch.path / f"{name}-result.bin"
        write_file(source, result_bytes)
        self.result_bytes = result_bytes
        self.names = [f"result-{index}.bin" for index in range(results)]
        self.path = service.command("publish", source=str(source), names=self.names)["path"]

    def upload_bytes(self):
        return sum(os.path.getsize(image) for image in self.images) * self.operations

    def download_bytes(self):
        return len(self.images) * self.operations * len(self.names) * self.result_bytes

    def run(self, gil):
        work = self.scratch.fresh("work")
        payload = {"success": True, "filenames": self.names, "path": self.path, "message": ""}
        for _ in range(len(self.images) * self.operations):
            self.service.command("answer_unread", payload=payload)
        seen_before = self.service.command("count")["count"]
        service_cpu = self.service.command("cpu")["cpu_seconds"]
        load = os.getloadavg()[0]
        report = run_probe(gil, self.service.url, self.images, self.operations, work, self.environment)
        report["service_cpu_seconds"] = self.service.command("cpu")["cpu_seconds"] - service_cpu
        report["load_before"] = load
        expected = len(self.images) * self.operations * (1 + len(self.names))
        if self.service.command("count")["count"] - seen_before != expected:
            raise SystemExit(f"{self.name}: the service did not see {expected} requests")
        for image in self.images:
            for name in self.names:
                result = work / "results" / image.name / name
                if not result.is_file() or result.stat().st_size != self.result_bytes:
                    raise SystemExit(f"{self.name}: {result} is missing or incomplete")
        shutil.rmtree(work)
        return report


def images_for(scratch, prefix, count, source):
    images = []
    for index in range(count):
        image = scratch.path / f"{prefix}-{index}.jpg"
        os.link(source, image)
        images.append(image)
    return images


def describe(report, gil_label):
    return (
        f"{gil_label:8s} {report['seconds']:7.3f} s  CPU client {report['cpu_seconds']:6.2f} s "
        f"(busiest thread {max(report['thread_cpu_seconds']):5.2f} s) service {report['service_cpu_seconds']:6.2f} s; "
        f"client threads waiting for a core {report['waiting_for_a_core_seconds']:6.2f} s  "
        f"load before {report['load_before']:.2f}"
    )


def summarise(workload, samples, runs):
    figures = {"threads": len(workload.images), "operations_per_thread": workload.operations}
    for label in SETTINGS:
        reports = samples[label]
        seconds = median([r["seconds"] for r in reports])
        cpu = median([r["cpu_seconds"] for r in reports])
        service_cpu = median([r["service_cpu_seconds"] for r in reports])
        figures[label] = {
            "seconds": seconds,
            "operations_per_s": len(workload.images) * workload.operations / seconds,
            "upload_mib_per_s": workload.upload_bytes() / MIB / seconds,
            "client_cpu_seconds": cpu,
            "service_cpu_seconds": service_cpu,
            "client_cores": cpu / seconds,
            "service_cores": service_cpu / seconds,
            "waiting_for_a_core_seconds": median([r["waiting_for_a_core_seconds"] for r in reports]),
            "load_before": median([r["load_before"] for r in reports]),
        }
    figures["speedup"] = figures["GIL on"]["seconds"] / figures["GIL off"]["seconds"]
    print(f"{workload.name} (medians of {runs}):")
    for label in SETTINGS:
        f = figures[label]
        print(
            f"  {label:8s} {f['seconds']:7.3f} s {f['operations_per_s']:7.2f} operations/s "
            f"{f['upload_mib_per_s']:7.1f} MiB/s up; cores busy: client {f['client_cores']:.2f} service {f['service_cores']:.2f}; "
            f"client threads waited {f['waiting_for_a_core_seconds']:.2f} s for a core"
        )
    print(f"  GIL on / GIL off wall time: {figures['speedup']:.3f}")
    return figures


def main():
    arguments = parse_arguments()
    if arguments.probe:
        probe(json.loads(arguments.probe))
        return
    print_machine()
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        raise SystemExit("this benchmark needs a free-threaded CPython (3.13t or later), where PYTHON_GIL chooses")
    os.environ["PYTHON_GIL"] = SERVICE_GIL
    figures = {}
    with Scratch("pixelmend-bench-threads-") as scratch:
        require_free_space(scratch.path, arguments.size + arguments.results * arguments.result_size * (arguments.threads + 1) + 64 * MIB)
        large_image = scratch.path / "large.jpg"
        write_file(large_image, arguments.size)
        small_image = scratch.path / "small.jpg"
        small_image.write_bytes(b"\xff\xd8\xff\xe0" + os.urandom(SMALL_IMAGE_BYTES - 4))
        with ServiceProcess() as service:
            workloads = [
                Workload(
                    f"{arguments.threads} threads, one operation each: {arguments.size // MIB} MiB up, "
                    f"{arguments.results} x {arguments.result_size // MIB} MiB down",
                    scratch, service, images_for(scratch, "large", arguments.threads, large_image),
                    1, arguments.results, arguments.result_size,
                ),
                Workload(
                    f"{arguments.small_threads} threads, {arguments.small_operations} small operations each: "
                    f"{SMALL_IMAGE_BYTES // 1024} KiB up, 1 x {SMALL_RESULT_BYTES // 1024} KiB down",
                    scratch, service, images_for(scratch, "small", arguments.small_threads, small_image),
                    arguments.small_operations, 1, SMALL_RESULT_BYTES,
                ),
                # The same, each connection trusting the stand-in's certificate alone: no CA store to load.
                Workload(
                    f"{arguments.small_threads} threads, {arguments.small_operations} small operations each, "
                    "verified against the stand-in's certificate (PIXELMEND_VERIFY)",
                    scratch, service, images_for(scratch, "verified", arguments.small_threads, small_image),
                    arguments.small_operations, 1, SMALL_RESULT_BYTES,
                    {"PIXELMEND_VERIFY": str(service.workspace / "tls" / "certificate.pem")},
                ),
            ]
            for key, workload in zip(("large", "small", "small_verified"), workloads):
                print(f"{workload.name}; {arguments.runs} runs per setting, interleaved; the service runs with PYTHON_GIL={SERVICE_GIL}")
                samples = {label: [] for label in SETTINGS}
                for run in range(arguments.runs):
                    order = list(SETTINGS) if run % 2 == 0 else list(reversed(SETTINGS))
                    for label in order:
                        report = workload.run(SETTINGS[label])
                        samples[label].append(report)
                        print(f"  run {run + 1} {describe(report, label)}", flush=True)
                figures[key] = summarise(workload, samples, arguments.runs)
            errors = service.command("errors")["errors"]
            if errors:
                raise SystemExit("the service reported errors:\n" + "\n".join(errors))
    save_figures(arguments.json, figures)


if __name__ == "__main__":
    main()
