import argparse
import os
import ssl
import statistics
import tempfile
import time
import warnings
from pathlib import Path

import requests
from urllib3.exceptions import InsecureRequestWarning
from urllib3.util.ssl_ import create_urllib3_context

import pixelmend.main as pm
from common import parse_command_line, print_machine, save_figures
from pixelmend.sandbox import running

KEY = "bench-key"
STREET = str(Path(__file__).resolve().parents[1] / "examples" / "street.jpg")


def parse_arguments():
    parser = argparse.ArgumentParser(
        description="Fresh TLS connections with and without a prepared context; one call's result files "
        "fetched one after another and PIXELMEND_DOWNLOADS at a time, against the local stand-in"
    )
    parser.add_argument("--connections", type=int, default=100, help="fresh connections per way, per run")
    parser.add_argument("--files", type=int, default=96)
    parser.add_argument("--size", type=int, default=16 * 1024, help="bytes per result file")
    parser.add_argument("--runs", type=int, default=5)
    arguments = parse_command_line(parser, quick="20 connections, 24 files, 2 runs")
    if arguments.quick:
        arguments.connections, arguments.files, arguments.runs = 20, 24, 2
    return arguments


def result_url(service):
    with tempfile.TemporaryDirectory(prefix="pixelmend-bench-parallel-") as work:
        previous = os.getcwd()
        os.chdir(work)
        try:
            pm.Pixelmend(KEY).smart_object_detection(STREET)
        finally:
            os.chdir(previous)
    [post] = [record for record in service.received() if record.method == "POST"]
    return post.reply["path"] + "/street_detection.json"


# Each GET on a new connection (Connection: close), the body streamed as the
# exchange streams it: the package-level get builds a context and loads the
# system's certificate store for each; the prepared context loads none.
def fresh_connections(url, count, prepared):
    session = requests.Session()
    if prepared:
        adapter = requests.adapters.HTTPAdapter()
        adapter.init_poolmanager(10, 10, ssl_context=create_urllib3_context(cert_reqs=ssl.CERT_NONE))
        session.mount("https://", adapter)
    get = session.get if prepared else requests.get
    cpu, wall = time.process_time(), time.perf_counter()
    for _ in range(count):
        response = get(url, stream=True, verify=False, headers={"Connection": "close"})
        for _chunk in response.iter_content(chunk_size=8192):
            pass
        response.close()
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    session.close()
    return {"wall_ms": wall / count * 1000, "cpu_ms": cpu / count * 1000}


def one_call(service, files, size, downloads):
    if downloads is None:
        os.environ.pop("PIXELMEND_DOWNLOADS", None)
    else:
        os.environ["PIXELMEND_DOWNLOADS"] = str(downloads)
    service.faults.plant_filenames([f"result-{index:03d}.bin" for index in range(files)], os.urandom(size))
    with tempfile.TemporaryDirectory(prefix="pixelmend-bench-parallel-") as work:
        previous = os.getcwd()
        os.chdir(work)
        try:
            started = time.perf_counter()
            pm.Pixelmend(KEY).segment_image(STREET)
            seconds = time.perf_counter() - started
            saved = len(os.listdir(os.path.join("results", "street.jpg")))
        finally:
            os.chdir(previous)
    if saved != files:
        raise SystemExit(f"{saved} of {files} result files saved")
    return seconds


def main():
    arguments = parse_arguments()
    warnings.simplefilter("ignore", InsecureRequestWarning)
    print_machine()
    figures = {"connections": {}, "call_seconds": {}}
    with running(accepted_keys=[KEY], module=pm) as service:
        url = result_url(service)
        samples = {"package-level get": [], "prepared context": []}
        for _ in range(arguments.runs):
            for way in samples:
                samples[way].append(fresh_connections(url, arguments.connections, way == "prepared context"))
        print(f"{arguments.connections} fresh TLS connections per run, {arguments.runs} runs (medians):")
        for way, runs in samples.items():
            wall = statistics.median(run["wall_ms"] for run in runs)
            cpu = statistics.median(run["cpu_ms"] for run in runs)
            figures["connections"][way] = {"wall_ms": wall, "cpu_ms": cpu}
            print(f"  {way:18s} {wall:7.2f} ms wall  {cpu:7.2f} ms CPU per connection")
        calls = {None: [], 1: [], 4: [], 8: []}
        for _ in range(arguments.runs):
            for downloads in calls:
                calls[downloads].append(one_call(service, arguments.files, arguments.size, downloads))
    print(f"one call, {arguments.files} result files of {arguments.size} bytes over loopback (medians):")
    for downloads, runs in calls.items():
        label = "one after another" if downloads is None else f"PIXELMEND_DOWNLOADS={downloads}"
        figures["call_seconds"][label] = statistics.median(runs)
        print(f"  {label:22s} {statistics.median(runs):7.3f} s")
    save_figures(arguments.json, figures)


if __name__ == "__main__":
    main()
