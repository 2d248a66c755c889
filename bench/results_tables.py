import json
import sys

TRANSFER_ROWS = (
    ("throughput, MiB/s: pixelmend", "pixelmend.mib_per_s", "{:.0f}"),
    ("throughput, MiB/s: baseline", "baseline.mib_per_s", "{:.0f}"),
    ("throughput, MiB/s: tuned", "tuned.mib_per_s", "{:.0f}"),
    ("throughput pixelmend / baseline", "throughput_ratio_baseline", "{:.2f}"),
    ("throughput pixelmend / tuned", "throughput_ratio_tuned", "{:.2f}"),
    ("client CPU pixelmend / baseline", "cpu_ratio_baseline", "{:.2f}"),
    ("client CPU pixelmend / tuned", "cpu_ratio_tuned", "{:.2f}"),
    ("peak RSS over idle import, MiB: pixelmend", "pixelmend.rss_over_idle_mib", "{:.1f}"),
    ("peak RSS over idle import, MiB: baseline", "baseline.rss_over_idle_mib", "{:.1f}"),
    ("peak RSS over idle import, MiB: tuned", "tuned.rss_over_idle_mib", "{:.1f}"),
)
THREAD_ROWS = tuple(
    row
    for setting in ("GIL off", "GIL on")
    for row in (
        (f"wall s, {setting}", f"{{workload}}.{setting}.seconds", "{:.3f}"),
        (f"operations/s, {setting}", f"{{workload}}.{setting}.operations_per_s", "{:.2f}"),
        (f"client CPU s, {setting}", f"{{workload}}.{setting}.client_cpu_seconds", "{:.2f}"),
        (f"service CPU s, {setting}", f"{{workload}}.{setting}.service_cpu_seconds", "{:.2f}"),
        (f"client threads' wait for a core, s, {setting}", f"{{workload}}.{setting}.waiting_for_a_core_seconds", "{:.2f}"),
    )
) + (("wall GIL on / GIL off", "{workload}.speedup", "{:.3f}"),)
TABLES = {
    "bench_upload.py": ("Upload of one large image", TRANSFER_ROWS),
    "bench_download.py": ("Download of one large result file", TRANSFER_ROWS),
    "bench_many_files.py": (
        "A directory of small images in one call",
        (
            ("pixelmend, RLIMIT_NOFILE=64, s", "pixelmend_seconds", "{:.3f}"),
            ("tuned, RLIMIT_NOFILE=64, s", "tuned_seconds", "{:.3f}"),
            ("baseline, roomy limit, s", "baseline_roomy_seconds", "{:.3f}"),
            ("pixelmend / baseline", "time_ratio", "{:.2f}"),
            ("pixelmend / tuned", "time_ratio_tuned", "{:.2f}"),
            ("peak RSS, MiB: pixelmend", "pixelmend_peak_rss_mib", "{:.1f}"),
            ("peak RSS, MiB: tuned", "tuned_peak_rss_mib", "{:.1f}"),
            ("peak RSS, MiB: baseline", "baseline_peak_rss_mib", "{:.1f}"),
        ),
    ),
    "bench_result_files.py": (
        "Per result file, one call downloading many small files",
        (
            ("wall ms, service with TCP_NODELAY", "TCP_NODELAY.wall_ms", "{:.1f}"),
            ("wall ms, service with Nagle (before)", "Nagle.wall_ms", "{:.1f}"),
            ("client CPU ms, TCP_NODELAY", "TCP_NODELAY.cpu_ms", "{:.1f}"),
            ("client CPU ms, Nagle (before)", "Nagle.cpu_ms", "{:.1f}"),
            ("wall ms saved", "wall_saved_ms", "{:.1f}"),
            ("bare GET, ms to the first byte, TCP_NODELAY", "TCP_NODELAY.first_byte_ms", "{:.1f}"),
            ("bare GET, ms to the first byte, Nagle (before)", "Nagle.first_byte_ms", "{:.1f}"),
            ("bare GET, ms for the whole file, TCP_NODELAY", "TCP_NODELAY.exchange_ms", "{:.1f}"),
            ("bare GET, ms for the whole file, Nagle (before)", "Nagle.exchange_ms", "{:.1f}"),
        ),
    ),
    "bench_verification.py": (
        "Per result file, one requests.get with certificate verification off and on",
        (
            ("client CPU ms, verify=False (default)", "off.cpu_ms", "{:.1f}"),
            ("client CPU ms, verify=True, default store", "default_store.cpu_ms", "{:.1f}"),
            ("client CPU ms, verify=the stand-in's certificate", "own_bundle.cpu_ms", "{:.1f}"),
            ("wall ms, verify=False (default)", "off.wall_ms", "{:.1f}"),
            ("wall ms, verify=True, default store", "default_store.wall_ms", "{:.1f}"),
            ("wall ms, verify=the stand-in's certificate", "own_bundle.wall_ms", "{:.1f}"),
        ),
    ),
    "bench_import.py": (
        "Import of pixelmend.main",
        (
            ("import wall, ms: baseline", "baseline.import_wall_ms", "{:.1f}"),
            ("import wall, ms: dependencies", "dependencies.import_wall_ms", "{:.1f}"),
            ("import wall, ms: pixelmend", "pixelmend.import_wall_ms", "{:.1f}"),
            ("import wall pixelmend / baseline (goal <= 1.05)", "import_wall_ratio", "{:.3f}"),
            ("import CPU pixelmend / baseline", "import_cpu_ratio", "{:.3f}"),
            ("instructions pixelmend / baseline", "instructions_ratio", "{:.3f}"),
            ("import wall pixelmend / dependencies", "import_wall_ratio_dependencies", "{:.3f}"),
            ("import CPU pixelmend / dependencies", "import_cpu_ratio_dependencies", "{:.3f}"),
            ("instructions pixelmend / dependencies", "instructions_ratio_dependencies", "{:.3f}"),
        ),
    ),
}


def cell(figure, style):
    if figure is None:
        return "n/a"
    return f"{style.format(figure['median'])} ({style.format(figure['min'])} to {style.format(figure['max'])})"


def binding_rows(figures):
    cases = [name[: -len(".ratio")] for name in figures if name.endswith(".ratio")]
    return [(f"{case}: pixelmend / python", f"{case}.ratio", "{:.2f}") for case in cases]


def thread_rows(workload):
    return [(f"{workload}: {label}", key.format(workload=workload), style) for label, key, style in THREAD_ROWS]


def markdown(summary):
    lines = []
    for script, figures in summary.items():
        if script == "bench_binding.py":
            title, rows = "Argument binding, per call", binding_rows(figures)
        elif script == "bench_threads.py":
            title, rows = "Threads in one process on a free-threaded CPython, the GIL off and on", (
                thread_rows("large") + thread_rows("small") + thread_rows("small_verified")
            )
        elif script in TABLES:
            title, rows = TABLES[script]
        else:
            continue
        runs = max((f["n"] for f in figures.values()), default=0)
        lines += [f"### {title} (`{script}`, {runs} invocations)", "", "| figure | median (range) |", "|---|---|"]
        lines += [f"| {label} | {cell(figures.get(key), style)} |" for label, key, style in rows]
        lines.append("")
    return "\n".join(lines)


if __name__ == "__main__":
    print(markdown(json.load(open(sys.argv[1]))["summary"]))
