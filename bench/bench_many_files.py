import argparse
import io
import resource
import shutil
from pathlib import Path

from common import Scratch, ServiceProcess, median, parse_command_line, print_machine, run_probe, save_figures

LIMIT = 64


def small_jpeg():
    from PIL import Image

    buffer = io.BytesIO()
    Image.new("RGB", (16, 12), (200, 40, 40)).save(buffer, "JPEG", quality=80)
    return buffer.getvalue()


def make_images(directory, count):
    body = small_jpeg()
    for index in range(count):
        (directory / f"img-{index:05d}.jpg").write_bytes(body)
    return len(body) * count


def parse_arguments():
    parser = argparse.ArgumentParser(description="One call uploading a directory of many small images under a low descriptor limit")
    parser.add_argument("--count", type=int, default=10_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--full", action="store_true", help="let the service analyse every image and download every result")
    arguments = parse_command_line(parser, quick="500 images, 3 runs")
    if arguments.quick:
        arguments.count = min(arguments.count, 500)
        arguments.runs = min(arguments.runs, 3)
    return arguments


def one_call(service, client, images, work, nofile, full, total):
    if not full:
        service.command("answer_unread", payload={"success": True, "filenames": [], "path": service.url + "/results/none", "message": ""})
    before = service.command("count")["count"]
    report = run_probe(client, service.url, image=str(images), cwd=work, nofile=nofile)
    requests_seen = service.command("count")["count"] - before
    if "error" not in report:
        record = service.command("last")["record"] if not full else None
        if record is not None and record["reply"].get("received_bytes", 0) < total:
            raise SystemExit(f"{client}: the service got {record['reply'].get('received_bytes')} bytes, expected at least {total}")
        if full:
            downloaded = len(list((Path(work) / "results" / images.name).iterdir()))
            report["downloaded"] = downloaded
    report["requests"] = requests_seen
    return report


def describe(client, nofile, report):
    if "error" in report:
        return f"  {client:9s} RLIMIT_NOFILE={nofile:<6d} FAILED after {report['seconds']:.3f} s: {report['error'][:120]}"
    extra = f", {report['downloaded']} results downloaded" if "downloaded" in report else ""
    return (
        f"  {client:9s} RLIMIT_NOFILE={nofile:<6d} {report['seconds']:8.3f} s  CPU {report['cpu_seconds']:.2f} s  "
        f"peak RSS {report['maxrss_kib'] / 1024:.1f} MiB  {report['requests']} requests{extra}"
    )


def main():
    arguments = parse_arguments()
    print_machine()
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    roomy = hard if hard == resource.RLIM_INFINITY else min(hard, arguments.count + 1024)
    mode = "analysed and downloaded" if arguments.full else "upload only, the service drains the body"
    print(f"directory of {arguments.count} images in one segment_image call ({mode}); {arguments.runs} runs")
    with Scratch("pixelmend-bench-many-") as scratch:
        images = scratch.path / "images"
        images.mkdir()
        total = make_images(images, arguments.count)
        samples = {("pixelmend", LIMIT): [], ("tuned", LIMIT): [], ("baseline", roomy): []}
        with ServiceProcess() as service:
            work = scratch.fresh("work")
            failed = one_call(service, "baseline", images, work, LIMIT, arguments.full, total)
            print(describe("baseline", LIMIT, failed))
            for run in range(arguments.runs):
                clients = list(samples)
                for client, nofile in clients[run % len(clients):] + clients[: run % len(clients)]:
                    work = scratch.fresh("work")
                    report = one_call(service, client, images, work, nofile, arguments.full, total)
                    print(describe(client, nofile, report), flush=True)
                    if "error" in report:
                        raise SystemExit(f"{client} failed")
                    samples[(client, nofile)].append(report)
                    shutil.rmtree(work)
            errors = service.command("errors")["errors"]
            if errors:
                raise SystemExit("the service reported errors:\n" + "\n".join(errors))
    pixelmend = median([r["seconds"] for r in samples[("pixelmend", LIMIT)]])
    baseline = median([r["seconds"] for r in samples[("baseline", roomy)]])
    tuned = median([r["seconds"] for r in samples[("tuned", LIMIT)]])
    figures = {
        "count": arguments.count,
        "bytes": total,
        "full": arguments.full,
        "runs": arguments.runs,
        "baseline_at_limit_error": failed.get("error"),
        "pixelmend_seconds": pixelmend,
        "baseline_roomy_seconds": baseline,
        "baseline_roomy_limit": roomy,
        "tuned_seconds": tuned,
        "time_ratio": pixelmend / baseline,
        "time_ratio_tuned": pixelmend / tuned,
        "pixelmend_peak_rss_mib": median([r["maxrss_kib"] for r in samples[("pixelmend", LIMIT)]]) / 1024,
        "baseline_peak_rss_mib": median([r["maxrss_kib"] for r in samples[("baseline", roomy)]]) / 1024,
        "tuned_peak_rss_mib": median([r["maxrss_kib"] for r in samples[("tuned", LIMIT)]]) / 1024,
    }
    print(f"medians of {arguments.runs}:")
    print(f"  baseline under RLIMIT_NOFILE={LIMIT}: {'fails: ' + failed['error'][:100] if 'error' in failed else 'succeeded'}")
    print(f"  pixelmend under RLIMIT_NOFILE={LIMIT}: {pixelmend:.3f} s, peak RSS {figures['pixelmend_peak_rss_mib']:.1f} MiB")
    print(f"  baseline under RLIMIT_NOFILE={roomy}: {baseline:.3f} s, peak RSS {figures['baseline_peak_rss_mib']:.1f} MiB")
    print(f"  tuned under RLIMIT_NOFILE={LIMIT}: {tuned:.3f} s, peak RSS {figures['tuned_peak_rss_mib']:.1f} MiB")
    print(f"  time pixelmend (limit {LIMIT}) / baseline (limit {roomy}) = {figures['time_ratio']:.3f}")
    print(f"  time pixelmend / tuned (both limit {LIMIT}) = {figures['time_ratio_tuned']:.3f}")
    save_figures(arguments.json, figures)


if __name__ == "__main__":
    main()
