import argparse
import json
import os
import sys
import time
from pathlib import Path

from common import Scratch, ServiceProcess, median, parse_command_line, print_machine, probe_report, save_figures

FILE_SIZE = 16 * 1024
# What PIXELMEND_VERIFY hands to requests.get for each setting: False; True with the stand-in's certificate
# appended to the default CA bundle (see trusted_default_store), so the handshake succeeds at the cost of
# loading and checking against the whole default store; the stand-in's certificate file alone.
SETTINGS = ("off", "default store", "own bundle")


def parse_arguments():
    parser = argparse.ArgumentParser(
        description="Client CPU of one requests.get per result file with certificate verification off and on"
    )
    parser.add_argument("--count", type=int, default=100, help="GETs per probe process")
    parser.add_argument("--runs", type=int, default=5, help="probe processes per setting, interleaved")
    parser.add_argument("--probe", help=argparse.SUPPRESS)
    arguments = parse_command_line(parser, quick="20 GETs, 2 runs")
    if arguments.quick:
        arguments.count, arguments.runs = min(arguments.count, 20), min(arguments.runs, 2)
    return arguments


def default_store():
    import certifi

    # What requests.get(verify=True) loads: these variables first (this machine sets them), then certifi.
    return os.environ.get("REQUESTS_CA_BUNDLE") or os.environ.get("CURL_CA_BUNDLE") or certifi.where()


def trusted_default_store(certificate, directory):
    bundle = Path(directory) / "default-and-stand-in.pem"
    bundle.write_bytes(Path(default_store()).read_bytes() + b"\n" + Path(certificate).read_bytes())
    os.environ["REQUESTS_CA_BUNDLE"] = str(bundle)
    return True


def probe(job):
    import warnings

    import requests
    from urllib3.exceptions import InsecureRequestWarning

    warnings.simplefilter("ignore", InsecureRequestWarning)
    verify = {
        "off": lambda: False,
        "default store": lambda: trusted_default_store(job["certificate"], job["scratch"]),
        "own bundle": lambda: job["certificate"],
    }[job["setting"]]()
    urls = [f"{job['path']}/{name}" for name in job["names"]]

    def fetch(url):
        # As the exchange does it: a new connection per file, the body streamed in 8 KiB chunks.
        response = requests.get(url, stream=True, verify=verify)
        received = sum(len(chunk) for chunk in response.iter_content(chunk_size=8192))
        if response.status_code != 200 or received != FILE_SIZE:
            raise SystemExit(f"GET {url} answered {response.status_code} with {received} bytes")

    fetch(urls[0])
    cpu, wall = time.process_time(), time.perf_counter()
    for url in urls:
        fetch(url)
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    print(json.dumps({"cpu_ms": cpu / len(urls) * 1000, "wall_ms": wall / len(urls) * 1000}))


def one_probe(setting, published, certificate, names, scratch):
    job = {"setting": setting, "path": published["path"], "certificate": certificate, "names": names,
           "scratch": str(scratch)}
    return probe_report([sys.executable, __file__, "--probe", json.dumps(job)], setting, timeout=600)


def main():
    arguments = parse_arguments()
    if arguments.probe:
        probe(json.loads(arguments.probe))
        return
    print_machine()
    store = Path(default_store())
    print(f"default store: {store}, {store.read_bytes().count(b'BEGIN CERTIFICATE')} certificates")
    print(f"{arguments.count} GETs of {FILE_SIZE // 1024} KiB per probe process; {arguments.runs} processes per "
          "setting, interleaved")
    names = [f"result-{index:04d}.png" for index in range(arguments.count)]
    samples = {setting: [] for setting in SETTINGS}
    with Scratch("pixelmend-bench-verify-") as scratch, ServiceProcess() as service:
        source = scratch.path / "result.png"
        source.write_bytes(os.urandom(FILE_SIZE))
        published = service.command("publish", source=str(source), names=names)
        certificate = str(service.workspace / "tls" / "certificate.pem")
        for run in range(arguments.runs):
            for setting in SETTINGS if run % 2 == 0 else reversed(SETTINGS):
                report = one_probe(setting, published, certificate, names, scratch.path)
                samples[setting].append(report)
                print(f"  run {run + 1} {setting:14s} {report['cpu_ms']:6.2f} ms CPU {report['wall_ms']:6.2f} ms wall "
                      "per GET", flush=True)
    figures = {"count": arguments.count, "runs": arguments.runs, "file_bytes": FILE_SIZE}
    print(f"medians of {arguments.runs}, per result file:")
    for setting in SETTINGS:
        cpu = median([r["cpu_ms"] for r in samples[setting]])
        wall = median([r["wall_ms"] for r in samples[setting]])
        figures[setting.replace(" ", "_")] = {"cpu_ms": cpu, "wall_ms": wall}
        print(f"  {setting:14s} {cpu:6.2f} ms CPU {wall:6.2f} ms wall")
    save_figures(arguments.json, figures)


if __name__ == "__main__":
    main()
