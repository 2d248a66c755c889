import argparse
import http.client
import os
import shutil
import ssl
import time
from pathlib import Path
from urllib.parse import urlsplit

from common import Scratch, ServiceProcess, median, parse_command_line, print_machine, run_probe, save_figures

SETTINGS = {"TCP_NODELAY": (), "Nagle": ("--nagle",)}
FILE_SIZE = 16 * 1024


def parse_arguments():
    parser = argparse.ArgumentParser(description="Per-result-file cost of downloads, with and without TCP_NODELAY on the service")
    parser.add_argument("--count", type=int, default=100, help="result files per call")
    parser.add_argument("--runs", type=int, default=5)
    arguments = parse_command_line(parser, quick="20 files, 3 runs")
    if arguments.quick:
        arguments.count, arguments.runs = min(arguments.count, 20), min(arguments.runs, 3)
    return arguments


def one_call(service, scratch, source, image, names):
    published = service.command("publish", source=str(source), names=names)
    service.command("answer_unread", payload={"success": True, "filenames": names, "path": published["path"], "message": ""})
    work = scratch.fresh("work")
    report = run_probe("pixelmend", service.url, image=str(image), cwd=work)
    if "error" in report:
        raise SystemExit(f"pixelmend failed: {report['error']}")
    if len(os.listdir(Path(work) / "results" / image.name)) != len(names):
        raise SystemExit("not every result file arrived")
    shutil.rmtree(work)
    return report


def unverified_context():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def one_get(origin, path, context):
    # A new connection per file, as requests.get makes; the context is made once, so the figure is the
    # exchange itself, without the CA store that each requests.get loads.
    connection = http.client.HTTPSConnection(origin.hostname, origin.port, context=context)
    try:
        started = time.perf_counter()
        connection.request("GET", path)
        response = connection.getresponse()
        first = response.read(1)
        first_byte = time.perf_counter() - started
        body = first + response.read()
        whole = time.perf_counter() - started
    finally:
        connection.close()
    if response.status != 200 or len(body) != FILE_SIZE:
        raise SystemExit(f"GET {path} answered {response.status} with {len(body)} bytes")
    return first_byte, whole


def exchange_latency(service, source, names):
    published = service.command("publish", source=str(source), names=names)
    origin = urlsplit(published["path"])
    context = unverified_context()
    samples = [one_get(origin, f"{origin.path}/{name}", context) for name in names]
    return median([s[0] for s in samples]) * 1000, median([s[1] for s in samples]) * 1000


def main():
    arguments = parse_arguments()
    print_machine()
    print(f"one segment_image call downloading {arguments.count} result files of {FILE_SIZE // 1024} KiB; {arguments.runs} runs per setting, interleaved")
    names = [f"result-{index:04d}.png" for index in range(arguments.count)]
    samples = {setting: [] for setting in SETTINGS}
    with Scratch("pixelmend-bench-results-") as scratch:
        source = scratch.path / "result.png"
        source.write_bytes(os.urandom(FILE_SIZE))
        image = scratch.path / "small.jpg"
        image.write_bytes(b"\xff\xd8\xff\xe0" + bytes(1020))
        services = {setting: ServiceProcess(*options) for setting, options in SETTINGS.items()}
        try:
            for run in range(arguments.runs):
                for setting in (list(SETTINGS) if run % 2 == 0 else list(reversed(SETTINGS))):
                    report = one_call(services[setting], scratch, source, image, names)
                    report["first_byte_ms"], report["exchange_ms"] = exchange_latency(services[setting], source, names)
                    samples[setting].append(report)
                    print(
                        f"  run {run + 1} {setting:12s} {report['seconds'] / arguments.count * 1000:6.2f} ms wall "
                        f"{report['cpu_seconds'] / arguments.count * 1000:6.2f} ms CPU per file; bare GET: first byte "
                        f"{report['first_byte_ms']:6.2f} ms, whole file {report['exchange_ms']:6.2f} ms",
                        flush=True,
                    )
        finally:
            for service in services.values():
                service.close()
    figures = {"count": arguments.count, "runs": arguments.runs, "file_bytes": FILE_SIZE}
    print(f"medians of {arguments.runs}, per result file:")
    for setting in SETTINGS:
        wall = median([r["seconds"] for r in samples[setting]]) / arguments.count * 1000
        cpu = median([r["cpu_seconds"] for r in samples[setting]]) / arguments.count * 1000
        first_byte = median([r["first_byte_ms"] for r in samples[setting]])
        exchange = median([r["exchange_ms"] for r in samples[setting]])
        figures[setting] = {"wall_ms": wall, "cpu_ms": cpu, "first_byte_ms": first_byte, "exchange_ms": exchange}
        print(
            f"  {setting:12s} pixelmend {wall:6.2f} ms wall {cpu:6.2f} ms CPU; "
            f"bare GET {first_byte:6.2f} ms to the first byte, {exchange:6.2f} ms for the file"
        )
    figures["wall_saved_ms"] = figures["Nagle"]["wall_ms"] - figures["TCP_NODELAY"]["wall_ms"]
    figures["cpu_saved_ms"] = figures["Nagle"]["cpu_ms"] - figures["TCP_NODELAY"]["cpu_ms"]
    print(f"  TCP_NODELAY saves {figures['wall_saved_ms']:.2f} ms wall and {figures['cpu_saved_ms']:.2f} ms CPU per file")
    save_figures(arguments.json, figures)


if __name__ == "__main__":
    main()
