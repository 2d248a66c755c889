import argparse
import json
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from common import machine, print_machine
from results_tables import markdown

HERE = Path(__file__).resolve().parent
SCRIPTS = (
    "bench_upload.py",
    "bench_download.py",
    "bench_many_files.py",
    "bench_result_files.py",
    "bench_verification.py",
    "bench_import.py",
    "bench_binding.py",
)
TRANSFERS = ("bench_upload.py", "bench_download.py")
# Run only when named with --only: it needs a free-threaded CPython.
FREE_THREADED = ("bench_threads.py",)


def parse_arguments():
    parser = argparse.ArgumentParser(
        description="Runs every benchmark in N separate invocations and prints each figure's median and range"
    )
    parser.add_argument("--invocations", type=int, default=3, help="separate runs of each script (default 3)")
    parser.add_argument("--only", nargs="+", choices=SCRIPTS + FREE_THREADED, help="run these scripts only")
    parser.add_argument("--size", help="file size for the upload and download benchmarks, e.g. 1G (their default)")
    parser.add_argument("--runs", type=int, help="runs per client inside each upload and download invocation")
    parser.add_argument("--quick", action="store_true", help="small sizes and few runs, to check that the scripts work")
    parser.add_argument("--json", help="write every invocation's figures and the summary into this file")
    parser.add_argument("--markdown", help="write the summary as the tables of RESULTS.md into this file")
    return parser.parse_args()


def command_for(script, arguments, figures):
    command = [sys.executable, str(HERE / script), "--json", str(figures)]
    if arguments.quick:
        command.append("--quick")
    if script in TRANSFERS + FREE_THREADED:
        command += (["--size", arguments.size] if arguments.size else []) + (["--runs", str(arguments.runs)] if arguments.runs else [])
    return command


def numeric_leaves(value, prefix=""):
    if isinstance(value, bool):
        return {}
    if isinstance(value, (int, float)):
        return {prefix: float(value)}
    if isinstance(value, dict):
        leaves = {}
        for key, inner in value.items():
            leaves.update(numeric_leaves(inner, f"{prefix}.{key}" if prefix else str(key)))
        return leaves
    return {}


def summarise(invocations):
    summary = {}
    for script in invocations[0]:
        series = {}
        for run in invocations:
            for name, number in numeric_leaves(run.get(script, {})).items():
                series.setdefault(name, []).append(number)
        summary[script] = {
            name: {"median": statistics.median(values), "min": min(values), "max": max(values), "n": len(values)}
            for name, values in series.items()
        }
    return summary


def print_summary(summary):
    for script, figures in summary.items():
        print(f"\n{script}: median [min .. max] over invocations")
        for name, f in figures.items():
            print(f"  {name:48s} {f['median']:12.4g}  [{f['min']:.4g} .. {f['max']:.4g}]  n={f['n']}")


def main():
    arguments = parse_arguments()
    print_machine()
    scripts = arguments.only or SCRIPTS
    invocations, failed = [], []
    with tempfile.TemporaryDirectory(prefix="pixelmend-bench-figures-") as directory:
        for number in range(1, arguments.invocations + 1):
            collected = {"machine": machine()}
            for script in scripts:
                print(f"\n== invocation {number} of {arguments.invocations}: {script}", flush=True)
                figures = Path(directory) / f"{number}-{script}.json"
                if subprocess.run(command_for(script, arguments, figures)).returncode != 0:
                    failed.append(f"{script} (invocation {number})")
                    continue
                collected[script] = json.loads(figures.read_text())
            invocations.append(collected)
    summary = summarise([{k: v for k, v in run.items() if k != "machine"} for run in invocations])
    print_summary(summary)
    if arguments.json:
        Path(arguments.json).write_text(json.dumps({"invocations": invocations, "summary": summary}, indent=2))
    if arguments.markdown:
        Path(arguments.markdown).write_text(markdown(summary))
    if failed:
        print(f"\nfailed: {', '.join(failed)}")
        sys.exit(1)


if __name__ == "__main__":
    main()
