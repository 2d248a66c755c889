import argparse
import json
import os
import shutil
from pathlib import Path

from common import Scratch, ServiceProcess, median, print_machine, run_probe

SETTINGS = {"TCP_NODELAY": (), "Nagle": ("--nagle",)}
FILE_SIZE = 16 * 1024


def parse_arguments():
    parser = argparse.ArgumentParser(description="Per-result-file cost of downloads, with and without TCP_NODELAY on the service")
    parser.add_argument("--count", type=int, default=100, help="result files per call")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="20 files, 3 runs")
    parser.add_argument("--json", help="also write the figures to this file")
    arguments = parser.parse_args()
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
                    samples[setting].append(report)
                    print(
                        f"  run {run + 1} {setting:12s} {report['seconds'] / arguments.count * 1000:6.2f} ms wall "
                        f"{report['cpu_seconds'] / arguments.count * 1000:6.2f} ms CPU per file",
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
        figures[setting] = {"wall_ms": wall, "cpu_ms": cpu}
        print(f"  {setting:12s} {wall:6.2f} ms wall {cpu:6.2f} ms CPU")
    figures["wall_saved_ms"] = figures["Nagle"]["wall_ms"] - figures["TCP_NODELAY"]["wall_ms"]
    figures["cpu_saved_ms"] = figures["Nagle"]["cpu_ms"] - figures["TCP_NODELAY"]["cpu_ms"]
    print(f"  TCP_NODELAY saves {figures['wall_saved_ms']:.2f} ms wall and {figures['cpu_saved_ms']:.2f} ms CPU per file")
    if arguments.json:
        with open(arguments.json, "w") as out:
            json.dump(figures, out, indent=2)


if __name__ == "__main__":
    main()
