import argparse
import os
import shutil

from common import (
    MIB, Scratch, ServiceProcess, median, parse_command_line, print_machine, require_free_space, run_probe,
    save_figures, size_argument, write_file,
)

CLIENTS = ("baseline", "tuned", "pixelmend")


def parse_arguments(description, default_size):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--size", type=size_argument, default=default_size, help="file size, e.g. 1G or 64M")
    parser.add_argument("--runs", type=int, default=5)
    arguments = parse_command_line(parser, quick="64 MiB, 3 runs")
    if arguments.quick:
        arguments.size = min(arguments.size, 64 * MIB)
        arguments.runs = min(arguments.runs, 3)
    return arguments


def idle_rss(service, runs=3):
    return median([run_probe("idle", service.url)["maxrss_kib"] for _ in range(runs)])


def measure(arguments, title, prepare, check, clients=CLIENTS):
    print_machine()
    print(f"{title}: {arguments.size / MIB:.0f} MiB, {arguments.runs} runs per client, interleaved")
    with Scratch("pixelmend-bench-") as scratch:
        require_free_space(scratch.path, 3 * arguments.size + 256 * MIB)
        data = scratch.path / "big.jpg"
        write_file(data, arguments.size)
        with ServiceProcess() as service:
            idle = idle_rss(service)
            samples = {client: [] for client in clients}
            for run in range(arguments.runs):
                order = clients[run % len(clients):] + clients[: run % len(clients)]
                for client in order:
                    work = scratch.fresh("work")
                    image = prepare(service, scratch, data)
                    service_cpu = service.command("cpu")["cpu_seconds"]
                    report = run_probe(client, service.url, image=str(image), cwd=work)
                    report["service_cpu_seconds"] = service.command("cpu")["cpu_seconds"] - service_cpu
                    if "error" in report:
                        raise SystemExit(f"{client} failed: {report['error']}")
                    check(service, work, data, arguments.size)
                    shutil.rmtree(work)
                    samples[client].append(report)
                    print(
                        f"  run {run + 1} {client:24s} {report['seconds']:7.3f} s "
                        f"{arguments.size / MIB / report['seconds']:8.1f} MiB/s  "
                        f"peak RSS {report['maxrss_kib'] / 1024:6.1f} MiB  "
                        f"CPU client {report['cpu_seconds']:6.2f} s service {report['service_cpu_seconds']:6.2f} s",
                        flush=True,
                    )
            errors = service.command("errors")["errors"]
            if errors:
                raise SystemExit("the service reported errors:\n" + "\n".join(errors))
    return summarise(arguments, title, idle, samples, clients)


def summarise(arguments, title, idle, samples, clients=CLIENTS):
    figures = {"title": title, "size_mib": arguments.size / MIB, "runs": arguments.runs, "idle_rss_mib": idle / 1024}
    for client in clients:
        seconds = median([r["seconds"] for r in samples[client]])
        rss = median([r["maxrss_kib"] for r in samples[client]])
        figures[client] = {
            "seconds": seconds,
            "cpu_seconds": median([r["cpu_seconds"] for r in samples[client]]),
            "service_cpu_seconds": median([r["service_cpu_seconds"] for r in samples[client]]),
            "mib_per_s": arguments.size / MIB / seconds,
            "peak_rss_mib": rss / 1024,
            "rss_over_idle_mib": (rss - idle) / 1024,
        }
    # The last of `clients` is measured against each of the others.
    subject = clients[-1]
    figures["throughput_ratio"] = figures[subject]["mib_per_s"] / figures[clients[0]]["mib_per_s"]
    for other in clients[:-1]:
        figures[f"throughput_ratio_{other}"] = figures[subject]["mib_per_s"] / figures[other]["mib_per_s"]
        figures[f"cpu_ratio_{other}"] = figures[subject]["cpu_seconds"] / figures[other]["cpu_seconds"]
    print(f"{title} (medians of {arguments.runs}); idle import peak RSS {idle / 1024:.1f} MiB")
    print(f"  {'client':24s} {'seconds':>8s} {'MiB/s':>8s} {'peak RSS':>9s} {'over idle':>10s} {'client CPU':>11s} {'service CPU':>12s}")
    for client in clients:
        f = figures[client]
        print(
            f"  {client:24s} {f['seconds']:8.3f} {f['mib_per_s']:8.1f} "
            f"{f['peak_rss_mib']:8.1f}M {f['rss_over_idle_mib']:9.1f}M "
            f"{f['cpu_seconds']:10.2f}s {f['service_cpu_seconds']:11.2f}s"
        )
    for other in clients[:-1]:
        print(
            f"  {subject} / {other}: throughput {figures[f'throughput_ratio_{other}']:.3f} (goal >= 0.98), "
            f"client CPU {figures[f'cpu_ratio_{other}']:.3f}"
        )
    over = figures[subject]["rss_over_idle_mib"]
    print(f"  {subject} peak RSS over idle import = {over:.1f} MiB  (goal <= 32 MiB)")
    save_figures(arguments.json, figures)
    return figures


def same_bytes(a, b, block=MIB):
    size = os.path.getsize(a)
    if size != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        for offset in sorted({0, size // 2, max(size - block, 0)}):
            fa.seek(offset)
            fb.seek(offset)
            if fa.read(block) != fb.read(block):
                return False
    return True
