import argparse
import json
import math
import os
import shutil
import sys
from pathlib import Path
from urllib.parse import urlsplit

from common import (
    MIB, Scratch, ServiceProcess, median, parse_command_line, print_machine, run_probe, save_figures, write_file,
)

from pixelmend.sandbox.link import Link

KIB = 1024
# name: (result files, bytes each, link rate in bits per second or None)
WORKLOADS = {
    "96 x 16 KiB": (96, 16 * KIB, None),
    "960 x 16 KiB": (960, 16 * KIB, None),
    "8 x 8 MiB": (8, 8 * MIB, None),
    "8 x 8 MiB at 100 Mbit/s": (8, 8 * MIB, 100e6),
}
# name: (probe client, environment)
CLIENTS = {
    "default": ("pixelmend", {}),
    "downloads 1": ("pixelmend", {"PIXELMEND_DOWNLOADS": "1"}),
    "downloads 4": ("pixelmend", {"PIXELMEND_DOWNLOADS": "4"}),
    "downloads 8": ("pixelmend", {"PIXELMEND_DOWNLOADS": "8"}),
    "downloads 16": ("pixelmend", {"PIXELMEND_DOWNLOADS": "16"}),
    "peer": ("peer", {}),
}
PARALLEL = 8


def parse_arguments():
    parser = argparse.ArgumentParser(description="Result files over a simulated wide-area link")
    parser.add_argument("--rtt", type=float, nargs="+", default=[0, 20, 50], help="round trips in milliseconds")
    parser.add_argument("--workload", nargs="+", choices=list(WORKLOADS), default=list(WORKLOADS))
    parser.add_argument("--client", nargs="+", choices=list(CLIENTS), default=list(CLIENTS))
    parser.add_argument("--runs", type=int, default=1, help="runs of each client per invocation")
    parser.add_argument("--retries", action="store_true",
                        help="instead: 960 files with 5%% of tries answered 503 and 5%% cut, PIXELMEND_RETRIES=3")
    arguments = parse_command_line(parser, quick="96 files and 8 x 1 MiB, 20 ms only")
    if arguments.quick:
        arguments.rtt = [20]
        arguments.workload = ["96 x 16 KiB", "8 x 8 MiB"]
    return arguments


# What no client can avoid on this link: the upload's connection (TCP and TLS, a round trip each) and
# its request, the download connections' handshakes, one round trip per PARALLEL result files, and
# every byte at the link's rate.
def floor_seconds(rtt, count, size, rate):
    seconds = rtt * (5 + math.ceil(count / PARALLEL))
    if rate is not None:
        seconds += count * size * 8 / rate
    return seconds


def one_call(service, link, scratch, image, names, size, client, environment, errors_end=True):
    published = service.command("publish", source=str(scratch.path / f"result-{size}"), names=names)
    path = link.url + urlsplit(published["path"]).path
    service.command("answer_unread", payload={"success": True, "filenames": names, "path": path, "message": ""})
    work = scratch.fresh("work")
    connections = link.connections
    report = run_probe(client, link.url, image=str(image), cwd=work, environment=environment)
    report["connections"] = link.connections - connections
    saved = Path(work) / "results" / image.name
    expected = (scratch.path / f"result-{size}").read_bytes()
    report["saved"] = sum(1 for name in names if (saved / name).is_file() and (saved / name).read_bytes() == expected)
    shutil.rmtree(work)
    if "error" in report and errors_end:
        raise SystemExit(f"{client} failed: {report['error']}")
    return report


def measure(arguments, service, scratch, image):
    figures = []
    for rtt_ms in arguments.rtt:
        for workload in arguments.workload:
            count, size, rate = WORKLOADS[workload]
            names = [f"result-{index:04d}.png" for index in range(count)]
            floor = floor_seconds(rtt_ms / 1000, count, size, rate)
            target = urlsplit(service.url)
            with Link(target.hostname, target.port, rtt=rtt_ms / 1000, rate=rate) as link:
                for name in arguments.client:
                    client, environment = CLIENTS[name]
                    runs = [one_call(service, link, scratch, image, names, size, client, environment)
                            for _ in range(arguments.runs)]
                    seconds = median([run["seconds"] for run in runs])
                    figure = {"rtt_ms": rtt_ms, "workload": workload, "client": name, "seconds": seconds,
                              "floor": floor, "connections": runs[-1]["connections"],
                              "cpu_seconds": median([run["cpu_seconds"] for run in runs]),
                              "lost": sum(count - run["saved"] for run in runs)}
                    figures.append(figure)
                    against = f"{seconds / floor:6.2f} x floor" if floor > 0 else "     (no floor)"
                    print(f"{rtt_ms:4.0f} ms  {workload:24} {name:13} {seconds:8.3f} s  {against}  "
                          f"floor {floor:6.3f} s  {figure['connections']:4} connections  "
                          f"client CPU {figure['cpu_seconds']:.2f} s", flush=True)
    return figures


def measure_retries(arguments, service, scratch, image):
    count, size = 960, 16 * KIB
    names = [f"result-{index:04d}.png" for index in range(count)]
    figures = []
    target = urlsplit(service.url)
    # The default path over a 50 ms link would take minutes a run; on loopback it takes the same
    # retries.
    for name, rtt_ms in (("default", 0), ("downloads 8", 20 if arguments.quick else 50)):
        with Link(target.hostname, target.port, rtt=rtt_ms / 1000) as link:
            for faulty in (False, True):
                environment = {**CLIENTS[name][1], "PIXELMEND_RETRIES": "3"}
                service.command("reset")
                seed = int.from_bytes(os.urandom(4), "big")
                if faulty:
                    service.command("unreliable", failing=0.05, cut=0.05, seed=seed)
                # Tries that all fail end the call as they would without retries: its error is counted, and
                # so is every file it leaves unsaved.
                run = one_call(service, link, scratch, image, names, size, "pixelmend", environment,
                               errors_end=False)
                figure = {"rtt_ms": rtt_ms, "workload": f"{count} x 16 KiB", "client": name, "faults": faulty,
                          "seconds": run["seconds"], "lost": count - run["saved"], "connections": run["connections"],
                          "error": run.get("error"), "seed": seed if faulty else None,
                          "most_tries": max(map(len, service.command("tries")["tries"].values()), default=1)}
                figures.append(figure)
                print(f"{rtt_ms:4.0f} ms  {count} x 16 KiB  {name:13} {'5% 503, 5% cut' if faulty else 'no faults':15} "
                      f"{run['seconds']:8.3f} s  {figure['lost']} lost  {run['connections']} connections  "
                      f"at most {figure['most_tries']} tries a file"
                      f"{'  ' + run['error'] if 'error' in run else ''}", flush=True)
        service.command("reset")
    return figures


# The median and range of each figure over separate invocations' --json files.
def summarize(paths):
    runs = {}
    for path in paths:
        for figure in json.loads(Path(path).read_text())["figures"]:
            key = (figure["rtt_ms"], figure["workload"], figure["client"], figure.get("faults"))
            runs.setdefault(key, []).append(figure)
    for (rtt_ms, workload, client, faults), figures in runs.items():
        seconds = [figure["seconds"] for figure in figures]
        floor = figures[0].get("floor", 0)
        ratios = f"{median(seconds) / floor:.2f} x floor ({min(seconds) / floor:.2f} .. {max(seconds) / floor:.2f})" if floor else ""
        fault_text = {None: "", False: " no faults", True: " 5% 503, 5% cut"}[faults]
        print(f"| {rtt_ms:.0f} ms | {workload}{fault_text} | {client} | {median(seconds):.3f} s "
              f"({min(seconds):.3f} .. {max(seconds):.3f}) | {ratios} | {figures[-1]['connections']} | "
              f"{sum(figure['lost'] for figure in figures)} |")


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "summarize":
        summarize(sys.argv[2:])
        return
    arguments = parse_arguments()
    print_machine()
    image = Path(__file__).resolve().parents[1] / "examples" / "street.jpg"
    with Scratch("pixelmend-bench-wan-") as scratch, ServiceProcess() as service:
        for size in {WORKLOADS[w][1] for w in WORKLOADS} | {16 * KIB}:
            write_file(scratch.path / f"result-{size}", size)
        if arguments.retries:
            figures = measure_retries(arguments, service, scratch, image)
        else:
            figures = measure(arguments, service, scratch, image)
        errors = service.command("errors")["errors"]
    save_figures(arguments.json, {"figures": figures, "service_errors": len(errors)})


if __name__ == "__main__":
    main()
