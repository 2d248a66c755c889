import argparse
import json
import subprocess
import sys
import time

from common import median, print_machine

TIMED = "import time; t = time.perf_counter(); {imports}; print(time.perf_counter() - t)"
SUBJECTS = {
    "baseline": "import requests, requests_toolbelt, urllib3",
    "pixelmend": "import pixelmend.main",
}


def one_run(imports):
    started = time.perf_counter()
    completed = subprocess.run([sys.executable, "-c", TIMED.format(imports=imports)], capture_output=True, text=True, check=True)
    wall = time.perf_counter() - started
    return float(completed.stdout.strip()), wall


def import_times(imports):
    completed = subprocess.run([sys.executable, "-X", "importtime", "-c", imports], capture_output=True, text=True, check=True)
    times = {}
    for line in completed.stderr.splitlines():
        if not line.startswith("import time:") or "imported package" in line:
            continue
        self_us, cumulative_us, name = (part.strip() for part in line[len("import time:"):].split("|"))
        times[name] = (int(self_us), int(cumulative_us))
    return times


def extra_modules():
    both = import_times("import requests, requests_toolbelt, urllib3; import pixelmend.main")
    baseline = import_times(SUBJECTS["baseline"])
    return sorted(((name, t) for name, t in both.items() if name not in baseline), key=lambda item: -item[1][0])


def main():
    parser = argparse.ArgumentParser(description="Import time of pixelmend.main against requests, requests_toolbelt and urllib3")
    parser.add_argument("--runs", type=int, default=40)
    parser.add_argument("--quick", action="store_true", help="10 runs")
    parser.add_argument("--json", help="also write the figures to this file")
    arguments = parser.parse_args()
    runs = min(arguments.runs, 10) if arguments.quick else arguments.runs
    print_machine()
    for imports in SUBJECTS.values():
        one_run(imports)
    samples = {name: [] for name in SUBJECTS}
    for run in range(runs):
        names = list(SUBJECTS) if run % 2 == 0 else list(reversed(SUBJECTS))
        for name in names:
            samples[name].append(one_run(SUBJECTS[name]))
    figures = {"runs": runs}
    print(f"fresh interpreters, {runs} runs each, interleaved; medians")
    for name, imports in SUBJECTS.items():
        inside = median([s[0] for s in samples[name]])
        wall = median([s[1] for s in samples[name]])
        figures[name] = {"import_ms": inside * 1000, "process_ms": wall * 1000}
        print(f"  {name:10s} import {inside * 1000:7.1f} ms   whole python -c {wall * 1000:7.1f} ms   ({imports})")
    figures["import_ratio"] = figures["pixelmend"]["import_ms"] / figures["baseline"]["import_ms"]
    figures["process_ratio"] = figures["pixelmend"]["process_ms"] / figures["baseline"]["process_ms"]
    print(f"  import time pixelmend / baseline = {figures['import_ratio']:.3f}  (goal <= 1.05)")
    print(f"  whole process pixelmend / baseline = {figures['process_ratio']:.3f}")
    extra = extra_modules()
    figures["extra_modules_us"] = {name: {"self": s, "cumulative": c} for name, (s, c) in extra}
    print("  modules only pixelmend.main imports (python -X importtime, one run; self / cumulative microseconds):")
    for name, (self_us, cumulative_us) in extra:
        print(f"    {name:28s} {self_us:7d} {cumulative_us:9d}")
    if arguments.json:
        with open(arguments.json, "w") as out:
            json.dump(figures, out, indent=2)


if __name__ == "__main__":
    main()
